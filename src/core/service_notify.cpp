#include "core/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"

namespace {

std::string socket_path;  // as given: a path, or "@name" for the abstract namespace
std::chrono::microseconds watchdog_interval{0};
std::chrono::steady_clock::time_point last_ping;

std::int64_t number_of(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    return errno != 0 || *end != '\0' || value < 0 ? 0 : value;
}

}  // namespace

void service_notify_init() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    socket_path = path != nullptr && (path[0] == '/' || path[0] == '@') ? path : "";
    if (path != nullptr && socket_path.empty() && *path != '\0') {
        log_warning("NOTIFY_SOCKET %s is neither a path nor an abstract name, not used", path);
    }
    watchdog_interval = std::chrono::microseconds(0);
    // The watchdog is meant for this process only when WATCHDOG_PID is unset or names it.
    const std::int64_t pid = number_of(std::getenv("WATCHDOG_PID"));
    const std::int64_t usec = number_of(std::getenv("WATCHDOG_USEC"));
    if (!socket_path.empty() && usec > 0 && (pid == 0 || pid == getpid())) {
        watchdog_interval = std::chrono::microseconds(usec / 2);
    }
    last_ping = std::chrono::steady_clock::now();
}

bool service_notify(std::string_view state) {
    if (socket_path.empty()) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path.size());
    if (socket_path[0] == '@') {
        address.sun_path[0] = '\0';  // abstract: the name is not NUL-terminated
    } else {
        ++length;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    // Never waits: a manager that does not read loses this message, not the event loop's time.
    const ssize_t n = sendto(fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address), length);
    const int err = errno;
    close(fd);
    if (n != static_cast<ssize_t>(state.size())) {
        log_printf("Cannot notify the service manager of %.*s. Errno: %d (%s)",
                   static_cast<int>(state.size()), state.data(), err, std::strerror(err));
        return false;
    }
    return true;
}

std::chrono::microseconds service_watchdog_interval() {
    return watchdog_interval;
}

void service_watchdog_tick() {
    if (watchdog_interval.count() == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ping >= watchdog_interval) {
        last_ping = now;
        service_notify("WATCHDOG=1");
    }
}
