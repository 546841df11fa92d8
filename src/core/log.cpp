#include "core/log.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

FILE* log_file = nullptr;
log_level log_threshold = log_level::debug;
std::int64_t ticks_per_second = 100;

namespace {
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;

// Lines wait here until the loop is about to sleep, the process exits or forks, or the next line
// might not fit; a fatal signal writes out what is here with async-signal-safe calls only.
// `buffered` and `written` only ever cover whole lines, so a signal handler never sees a line
// that is being formatted.
constexpr std::size_t kLineSize = 1024;
char pending_lines[64 * 1024];
volatile std::size_t buffered = 0;  // bytes of whole lines in pending_lines
volatile std::size_t written = 0;   // of those, bytes already written out
volatile int buffered_fd = -1;      // descriptor of the stream the buffered lines belong to

// The stamp of the last line, reused while the clock stays in the same millisecond.
struct stamp_cache {
    time_t second = -1;
    long millis = -1;
    struct tm local {};
    char text[32] = {};
    std::size_t length = 0;
} last_stamp;

void round_to_millis(const struct timeval& tv, time_t& seconds, long& millis) {
    seconds = tv.tv_sec;
    millis = (tv.tv_usec + 500) / 1000;
    if (millis >= 1000) {
        millis = 0;
        ++seconds;
    }
}

int print_stamp(const struct tm& local, long millis, char* out, std::size_t out_size) {
    return std::snprintf(out, out_size, "[%02d-%02d_%02d:%02d:%02d:%03d]", local.tm_mon + 1,
                         local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                         static_cast<int>(millis));
}

// Async-signal-safe: write() only.
void write_out_lines() {
    int fd = buffered_fd;
    while (written < buffered && fd >= 0) {
        ssize_t n = write(fd, pending_lines + written, buffered - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // write errors of the log are ignored; the lines are dropped
        }
        written = written + static_cast<std::size_t>(n);
    }
    buffered = 0;
    written = 0;
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS,  SIGFPE,  SIGILL, SIGABRT, SIGSYS,
                                 SIGTRAP, SIGQUIT, SIGTERM, SIGINT, SIGHUP};
struct sigaction previous_actions[NSIG];

void flush_on_fatal_signal(int number, siginfo_t* info, void*) {
    int saved_errno = errno;
    write_out_lines();
    // Hand the signal on to whoever had it before.  A fault comes back when the faulting
    // instruction runs again; a signal that was sent is raised again (it is blocked until this
    // handler returns).
    sigaction(number, &previous_actions[number], nullptr);
    if (info == nullptr || info->si_code <= 0 ||
        (number != SIGSEGV && number != SIGBUS && number != SIGFPE && number != SIGILL &&
         number != SIGTRAP)) {
        raise(number);
    }
    errno = saved_errno;
}

void flush_before_fork() {
    log_flush();
}

// Every process flushes its lines when it exits and before it forks, so that a child never
// starts with a copy of its parent's unwritten lines.
struct flush_registration {
    flush_registration() {
        pthread_atfork(flush_before_fork, nullptr, nullptr);
        std::atexit(log_flush);
    }
} registration;
}  // namespace

std::string log_time_stamp(const struct timeval& tv) {
    time_t seconds = 0;
    long millis = 0;
    round_to_millis(tv, seconds, millis);
    struct tm local {};
    localtime_r(&seconds, &local);
    char stamp[64];
    print_stamp(local, millis, stamp, sizeof stamp);
    return stamp;
}

std::optional<log_level> log_level_from(std::string_view name) {
    constexpr std::pair<std::string_view, log_level> kNames[] = {{"debug", log_level::debug},
                                                                 {"info", log_level::info},
                                                                 {"warning", log_level::warning},
                                                                 {"error", log_level::error}};
    for (const auto& [text, level] : kNames) {
        if (name == text) {
            return level;
        }
    }
    return std::nullopt;
}

namespace {

// The budget of the transaction whose lines are being written, if any.
log_budget* active_budget = nullptr;

// A line of the given level (the threshold has been applied); `counted` when it goes against
// the active budget.
void log_line(log_level level, bool counted, const char* format, va_list args) {
    if (counted && active_budget != nullptr && !active_budget->admit(level)) {
        return;
    }
    pthread_mutex_lock(&log_mutex);
    if (log_file == nullptr) {
        pthread_mutex_unlock(&log_mutex);
        return;
    }
    int fd = fileno(log_file);
    if (fd != buffered_fd || sizeof pending_lines - buffered < kLineSize + 1) {
        write_out_lines();
        buffered_fd = fd;
    }
    struct timeval now {};
    gettimeofday(&now, nullptr);
    time_t seconds = 0;
    long millis = 0;
    round_to_millis(now, seconds, millis);
    if (seconds != last_stamp.second || millis != last_stamp.millis) {
        if (seconds != last_stamp.second) {
            localtime_r(&seconds, &last_stamp.local);
            last_stamp.second = seconds;
        }
        last_stamp.millis = millis;
        int n = print_stamp(last_stamp.local, millis, last_stamp.text, sizeof last_stamp.text);
        last_stamp.length = n < 0 ? 0 : std::min<std::size_t>(n, sizeof last_stamp.text - 1);
    }
    // The line: stamp, one blank, the message, cut so that the line is at most 1023 characters.
    char* line = pending_lines + buffered;
    std::size_t used = last_stamp.length;
    std::memcpy(line, last_stamp.text, used);
    line[used++] = ' ';
    int n = std::vsnprintf(line + used, kLineSize - used, format, args);
    if (n > 0) {
        used += std::min<std::size_t>(n, kLineSize - 1 - used);
    }
    line[used++] = '\n';
    buffered = buffered + used;
    pthread_mutex_unlock(&log_mutex);
}

}  // namespace

// The level is tested before anything else: a line below the threshold costs one comparison
// (its arguments are still evaluated by the caller).
#define MM7_LOG_AT(level)                \
    if (!log_enabled(level)) {           \
        return;                          \
    }                                    \
    va_list args;                        \
    va_start(args, format);              \
    log_line(level, true, format, args); \
    va_end(args)

void log_printf(const char* format, ...) {
    MM7_LOG_AT(log_level::debug);
}

void log_info(const char* format, ...) {
    MM7_LOG_AT(log_level::info);
}

void log_warning(const char* format, ...) {
    MM7_LOG_AT(log_level::warning);
}

void log_error(const char* format, ...) {
    MM7_LOG_AT(log_level::error);
}

void log_at(log_level level, const char* format, ...) {
    MM7_LOG_AT(level);
}

#undef MM7_LOG_AT

void log_fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    log_line(log_level::error, false, format, args);
    va_end(args);
    std::fputs("mm7_server: ", stderr);
    std::vfprintf(stderr, format, copy);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    va_end(copy);
    log_flush();
}

void log_flush() {
    pthread_mutex_lock(&log_mutex);
    write_out_lines();
    pthread_mutex_unlock(&log_mutex);
}

void log_flush_on_fatal_signals() {
    struct sigaction action {};
    action.sa_sigaction = flush_on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : kFatalSignals) {
        struct sigaction current {};
        if (sigaction(number, nullptr, &current) != 0 ||
            ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == flush_on_fatal_signal)) {
            continue;
        }
        bool terminates = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
        bool fault = number != SIGTERM && number != SIGINT && number != SIGHUP && number != SIGQUIT;
        // A handler the process installed for a request signal stays as it is.
        if (terminates || fault) {
            previous_actions[number] = current;
            sigaction(number, &action, nullptr);
        }
    }
}

bool log_reopen(const std::string& path) {
    FILE* fresh = std::fopen(path.c_str(), "a");
    if (fresh == nullptr) {
        return false;
    }
    pthread_mutex_lock(&log_mutex);
    write_out_lines();
    FILE* old = log_file;
    log_file = fresh;
    pthread_mutex_unlock(&log_mutex);
    if (old != nullptr) {
        std::fclose(old);
    }
    return true;
}

void log_limiter::printf(const char* format, ...) {
    if (!log_enabled(level_)) {
        return;
    }
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - window_start_ >= static_cast<std::int64_t>(period_)) {
        window_start_ = now.tv_sec;
        used_ = 0;
    }
    if (used_ >= burst_) {
        ++suppressed_;
        return;
    }
    ++used_;
    if (suppressed_ > 0) {
        log_at(level_, "(%zu similar lines suppressed)", suppressed_);
        suppressed_ = 0;
    }
    va_list args;
    va_start(args, format);
    log_line(level_, true, format, args);
    va_end(args);
}

namespace {
// A line at its level that no budget counts.
void log_uncounted(log_level level, const char* format, ...) {
    if (!log_enabled(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    log_line(level, false, format, args);
    va_end(args);
}
}  // namespace

bool log_budget::admit(log_level level) {
    if (written_ < limit_) {
        ++written_;
        return true;
    }
    ++suppressed_;
    worst_ = std::max(worst_, level);
    return false;
}

log_budget::~log_budget() {
    if (suppressed_ > 0) {
        log_uncounted(worst_, "%s: suppressed %zu lines", label_.c_str(), suppressed_);
    }
}

log_scope::log_scope(log_budget* budget) : previous_(active_budget) {
    active_budget = budget;
}

log_scope::~log_scope() {
    active_budget = previous_;
}

void ticks_init() {
    ticks_per_second = sysconf(_SC_CLK_TCK);
}

// Read from the monotonic clock, which the C library serves without entering the kernel; like
// the elapsed-time count of times(), only differences mean anything.
std::int64_t ticks_now() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t rate = ticks_per_second > 0 ? ticks_per_second : 100;
    return static_cast<std::int64_t>(now.tv_sec) * rate +
           static_cast<std::int64_t>(now.tv_nsec) / (1000000000 / rate);
}
