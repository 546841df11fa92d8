// Process signals as events of the loop: a handler only writes the signal's number into a pipe,
// and the loop reads it back and dispatches it like any other input.
#pragma once

#include <functional>

// What the daemon does on a signal.
enum class process_signal {
    reopen_log,  // SIGHUP: the log file was rotated away
    stop,        // SIGTERM, SIGINT: stop cleanly
};

// Called from the event loop (never from the signal handler); a non-zero result ends the loop.
using process_signal_handler = std::function<int(process_signal)>;

// Installs handlers for SIGHUP, SIGTERM and SIGINT and registers the pipe's read end with the
// event loop.  False (logged) when the pipe cannot be made.
bool signals_init(process_signal_handler handler);

// For a forked child: default dispositions again and the parent's pipe closed, so that a signal
// sent to the child is never taken for one sent to the parent.
void signals_reset_in_child();
