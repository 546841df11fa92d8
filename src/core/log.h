// The log, and the tick clock used by the event loop.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/string_utils.h"

// Process-wide log stream; nothing is written while it is null.
extern FILE* log_file;

// Adds one time-stamped line ("[MM-DD_hh:mm:ss:mmm] message") to the log.  Lines are cut at 1023
// characters.  Lines are buffered: the event loop writes them out before it waits, and every
// process does before it exits or forks.
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the buffered lines out with as few write calls as possible.
void log_flush();

// Makes crash signals, and terminating signals left at their default action, write the buffered
// lines out (async-signal-safe) before the signal takes its course.
void log_flush_on_fatal_signals();

// The time stamp of a log line for the given wall-clock time, in local time, milliseconds rounded
// to the nearest (a carry moves into the seconds).
std::string log_time_stamp(const struct timeval& tv);

// Opens path for appending and makes it the log (after a rotation moved the old file away).
// False, with the old stream kept, when the file cannot be opened.
bool log_reopen(const std::string& path);

// Keeps a kind of line that a peer can provoke at will from flooding the log: at most `burst`
// lines per `period` seconds go out; the rest are counted, and the count is logged with the next
// line that goes out.
class log_limiter {
  public:
    log_limiter(unsigned burst, unsigned period) : burst_(burst), period_(period) {}
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  private:
    unsigned burst_;
    unsigned period_;
    std::int64_t window_start_ = 0;  // seconds of the monotonic clock
    unsigned used_ = 0;
    std::size_t suppressed_ = 0;
};

extern std::int64_t ticks_per_second;
void ticks_init();
std::int64_t ticks_now();
