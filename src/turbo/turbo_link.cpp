#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "turbo/turbo_protocol.h"

namespace {
// Never more than one message of the largest kind plus its kind word is waiting to be whole;
// a reader that falls this far behind is read again on the next event.
constexpr std::size_t MAX_INPUT = 8192;
}  // namespace

bool turbo_link::fill() {
    char chunk[4096];
    while (input.size() < MAX_INPUT) {
        ssize_t n = recv(fd, chunk, std::min(sizeof chunk, MAX_INPUT - input.size()), 0);
        if (n > 0) {
            input.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;  // end of stream or a broken link
    }
    return true;
}

bool turbo_link::next(std::uint32_t& kind, std::string& body, bool& bad_kind,
                      std::uint32_t accept_a, std::uint32_t accept_b) {
    bad_kind = false;
    if (input.size() < 4) {
        return false;
    }
    std::memcpy(&kind, input.data(), 4);
    if (kind != accept_a && kind != accept_b) {
        bad_kind = true;
        return false;
    }
    std::size_t size = turbo_body_size(kind);
    if (input.size() < 4 + size) {
        return false;
    }
    body.assign(input, 4, size);
    input.erase(0, 4 + size);
    return true;
}

bool turbo_link::send(std::uint32_t kind, const void* body, std::size_t size) {
    output.append(reinterpret_cast<const char*>(&kind), 4);
    output.append(static_cast<const char*>(body), size);
    return flush();
}

bool turbo_link::flush() {
    while (!output.empty()) {
        ssize_t n = ::send(fd, output.data(), output.size(), MSG_NOSIGNAL);
        if (n > 0) {
            output.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
    return true;
}
