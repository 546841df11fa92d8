#include "core/log.h"

#include <pthread.h>
#include <sys/times.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

FILE* log_file = nullptr;
std::int64_t ticks_per_second = 100;

namespace {
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
char log_line[1024];
char log_stamp[64];

void format_stamp(const struct timeval& tv, char* out, std::size_t out_size) {
    time_t seconds = tv.tv_sec;
    long millis = (tv.tv_usec + 500) / 1000;
    if (millis >= 1000) {
        millis = 0;
        ++seconds;
    }
    struct tm local {};
    localtime_r(&seconds, &local);
    std::snprintf(out, out_size, "[%02d-%02d_%02d:%02d:%02d:%03d]", local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis));
}
}  // namespace

std::string log_time_stamp(const struct timeval& tv) {
    char stamp[64];
    format_stamp(tv, stamp, sizeof stamp);
    return stamp;
}

void log_printf(const char* format, ...) {
    pthread_mutex_lock(&log_mutex);
    if (log_file == nullptr) {
        pthread_mutex_unlock(&log_mutex);
        return;
    }
    struct timeval now {};
    gettimeofday(&now, nullptr);
    format_stamp(now, log_stamp, sizeof log_stamp);
    int used = std::snprintf(log_line, sizeof log_line, "%s ", log_stamp);
    if (used < 0) {
        used = 0;
    }
    if (static_cast<std::size_t>(used) < sizeof log_line) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(log_line + used, sizeof log_line - used, format, args);
        va_end(args);
    }
    std::fputs(log_line, log_file);
    std::fputc('\n', log_file);
    std::fflush(log_file);
    pthread_mutex_unlock(&log_mutex);
}

bool log_reopen(const std::string& path) {
    FILE* fresh = std::fopen(path.c_str(), "a");
    if (fresh == nullptr) {
        return false;
    }
    pthread_mutex_lock(&log_mutex);
    FILE* old = log_file;
    log_file = fresh;
    pthread_mutex_unlock(&log_mutex);
    if (old != nullptr) {
        std::fclose(old);
    }
    return true;
}

std::string log_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void log_limiter::printf(const char* format, ...) {
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
        log_printf("(%zu similar lines suppressed)", suppressed_);
        suppressed_ = 0;
    }
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_printf("%s", line);
}

void ticks_init() {
    ticks_per_second = sysconf(_SC_CLK_TCK);
}

std::int64_t ticks_now() {
    struct tms unused {};
    return static_cast<std::int64_t>(times(&unused));
}
