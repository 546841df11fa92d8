// The log, and the tick clock used by the event loop.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <string>

// Process-wide log stream; nothing is written while it is null.
extern FILE* log_file;

// Writes one time-stamped line ("[MM-DD_hh:mm:ss:mmm] message") and flushes it.  Lines are cut
// at 1023 characters.
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The time stamp of a log line for the given wall-clock time, in local time, milliseconds rounded
// to the nearest (a carry moves into the seconds).
std::string log_time_stamp(const struct timeval& tv);

// Opens path for appending and makes it the log (after a rotation moved the old file away).
// False, with the old stream kept, when the file cannot be opened.
bool log_reopen(const std::string& path);

extern std::int64_t ticks_per_second;
void ticks_init();
std::int64_t ticks_now();
