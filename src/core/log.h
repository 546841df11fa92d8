// The log, and the tick clock used by the event loop.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "core/string_utils.h"

// Process-wide log stream; nothing is written while it is null.
extern FILE* log_file;

// How much the log tells, from everything (debug) to failures only (error).  A line is written
// when its level is at least the threshold.
enum class log_level { debug, info, warning, error };
// The threshold of this process (and of the workers it forks); debug unless --loglevel says
// otherwise.
extern log_level log_threshold;
// "debug", "info", "warning" or "error"; nullopt for anything else.
std::optional<log_level> log_level_from(std::string_view name);
inline bool log_enabled(log_level level) {
    return level >= log_threshold;
}

// Adds one time-stamped line ("[MM-DD_hh:mm:ss:mmm] message") to the log.  Lines are cut at 1023
// characters.  Lines are buffered: the event loop writes them out before it waits, and every
// process does before it exits or forks.  log_printf writes at debug level; the others at theirs.
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_at(log_level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A line that ends the process: written at error level whatever the threshold, also to stderr
// ("mm7_server: message"), and flushed at once, so a service manager shows why the process ended.
void log_fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

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
// line that goes out.  These lines are refusals: warnings unless said otherwise.
class log_limiter {
  public:
    log_limiter(unsigned burst, unsigned period, log_level level = log_level::warning)
        : burst_(burst), period_(period), level_(level) {}
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  private:
    unsigned burst_;
    unsigned period_;
    log_level level_;
    std::int64_t window_start_ = 0;  // seconds of the monotonic clock
    unsigned used_ = 0;
    std::size_t suppressed_ = 0;
};

// The lines of one transaction (a VASP request, a delivery, an exchange with the MMSC), which
// its peer can make as many as it likes: at most `limit` of those the threshold keeps, whatever
// their level.  The rest are counted, and when the budget ends one line says how many
// ("<label>: suppressed N lines"), at the highest level among them.
inline constexpr std::size_t LOG_TRANSACTION_LINES = 1000;
class log_budget {
  public:
    explicit log_budget(std::string label, std::size_t limit = LOG_TRANSACTION_LINES)
        : label_(std::move(label)), limit_(limit) {}
    ~log_budget();
    log_budget(const log_budget&) = delete;
    log_budget& operator=(const log_budget&) = delete;
    // Named once the transaction is known; peer text in the label is the caller's to escape.
    void relabel(std::string label) { label_ = std::move(label); }
    // Ends without its line: a forked process forgets its parent's transactions.
    void forget() { suppressed_ = 0; }
    // Takes one more line at `level`; false when it is over the bound.
    bool admit(log_level level);

  private:
    std::string label_;
    std::size_t limit_;
    std::size_t written_ = 0;
    std::size_t suppressed_ = 0;
    log_level worst_ = log_level::debug;  // of the suppressed lines
};

// While a scope lives, the lines written count against its budget (none for a null budget);
// scopes nest, the innermost counts.
class log_scope {
  public:
    explicit log_scope(log_budget* budget);
    ~log_scope();
    log_scope(const log_scope&) = delete;
    log_scope& operator=(const log_scope&) = delete;

  private:
    log_budget* previous_;
};

extern std::int64_t ticks_per_second;
void ticks_init();
std::int64_t ticks_now();
