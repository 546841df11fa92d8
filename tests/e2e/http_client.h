// A raw-socket HTTP client for the end-to-end tests: sends a request in pieces of our choosing
// and reads the reply until the server closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace e2e {

class http_connection {
  public:
    explicit http_connection(std::uint16_t port = 8887) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~http_connection() { close_now(); }
    http_connection(const http_connection&) = delete;
    http_connection& operator=(const http_connection&) = delete;

    bool connected() const { return connected_; }

    bool send_all(std::string_view data) {
        while (!data.empty()) {
            ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Sends the data in pieces of `piece` bytes with a pause after each.
    bool send_in_pieces(std::string_view data, std::size_t piece, std::chrono::microseconds pause) {
        while (!data.empty()) {
            std::size_t n = std::min(piece, data.size());
            if (!send_all(data.substr(0, n))) {
                return false;
            }
            data.remove_prefix(n);
            std::this_thread::sleep_for(pause);
        }
        return true;
    }

    // Everything the server sends until it closes (or the timeout passes).
    std::string read_all(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        char chunk[65536];
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timed_out_ = true;
                break;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            out.append(chunk, static_cast<std::size_t>(n));
        }
        return out;
    }
    // What has arrived so far, waiting at most `timeout` for the first byte.
    std::string read_some(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return {};
        }
        char chunk[65536];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        return n > 0 ? std::string(chunk, static_cast<std::size_t>(n)) : std::string();
    }
    bool timed_out() const { return timed_out_; }
    // Ends our side of the request (a half-close); the reply can still be read.
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }
    void close_now() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool timed_out_ = false;
};

// One request, one reply.
inline std::string exchange(std::string_view request) {
    http_connection c;
    c.send_all(request);
    return c.read_all();
}

}  // namespace e2e
