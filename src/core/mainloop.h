// The single-threaded epoll event loop that every process of the daemon runs.
#pragma once

#include <functional>
#include <memory>

#include "core/log.h"

inline constexpr int MAINLOOP_IN = 1;
inline constexpr int MAINLOOP_OUT = 2;
inline constexpr int MAINLOOP_ERR = 4;
inline constexpr int MAINLOOP_MAX_FDS = 4096;

// Called with (descriptor, flags); a non-zero result ends mainloop_run with that result.
using mainloop_handler = std::function<int(int fd, int flags)>;
// Called at the loop's tick rate; a non-zero result ends mainloop_run with that result.
using mainloop_tick = std::function<int()>;

void mainloop_register_fd(int fd, int flags, mainloop_handler handler);
void mainloop_unregister_fd(int fd);
void mainloop_set_fd_flags(int fd, int flags);
// The lines written while fd's events are handled, the loop's own included, count against
// `budget`, its transaction's.  The registration keeps the budget until it ends (or the budget
// is replaced).
void mainloop_limit_lines(int fd, std::shared_ptr<log_budget> budget);
// True when fd has a handler (lets callers notice a descriptor the loop refused).
bool mainloop_is_registered(int fd);
// Highest registered descriptor, -1 when none.
int mainloop_highest_fd();
void mainloop_add_tick(mainloop_tick callback);
void mainloop_clear_ticks();
void mainloop_cleanup();
int mainloop_run(int rate);
