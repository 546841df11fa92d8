#include "core/metrics_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "core/log.h"
#include "core/mainloop.h"
#include "core/metrics.h"

namespace {

struct scrape_connection {
    std::string input;
    std::string output;
    std::size_t sent = 0;
    bool replying = false;
    std::int64_t accepted = 0;       // ticks
    std::int64_t head_deadline = 0;  // ticks: the request head must be complete by then
    std::int64_t deadline = 0;       // ticks: the whole exchange must be over by then
};

std::unordered_map<int, scrape_connection> connections;
health_check health_of;
log_limiter refusal_log(5, 60);

void close_connection(int fd) {
    if (mainloop_is_registered(fd)) {
        mainloop_unregister_fd(fd);
    }
    close(fd);
    connections.erase(fd);
}

// Writes what the socket takes; the rest waits for the next writable event.
void write_some(int fd, scrape_connection& c) {
    while (c.sent < c.output.size()) {
        ssize_t n = send(fd, c.output.data() + c.sent, c.output.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            mainloop_set_fd_flags(fd, MAINLOOP_OUT);
            return;
        }
        if (n <= 0) {
            break;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    close_connection(fd);
}

// The end of the request head, or npos while it is incomplete.  A bare LF ends lines too.
std::size_t head_end(std::string_view input) {
    std::size_t crlf = input.find("\r\n\r\n");
    std::size_t lf = input.find("\n\n");
    return std::min(crlf, lf);
}

int handle_connection(int fd, int flags) {
    auto it = connections.find(fd);
    if (it == connections.end()) {
        return 0;
    }
    scrape_connection& c = it->second;
    if (c.replying) {
        if (flags & (MAINLOOP_OUT | MAINLOOP_ERR)) {
            write_some(fd, c);
        }
        return 0;
    }
    char chunk[4096];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    if (n <= 0) {
        close_connection(fd);  // gone before the request was complete
        return 0;
    }
    c.input.append(chunk, static_cast<std::size_t>(n));
    std::size_t end = head_end(c.input);
    if (end == std::string::npos && c.input.size() <= METRICS_MAX_REQUEST) {
        return 0;
    }
    c.input.resize(std::min(end, c.input.size()));
    c.output = metrics_reply(c.input, health_of);
    c.replying = true;
    write_some(fd, c);
    return 0;
}

int handle_listener(int fd, int flags) {
    if (!(flags & MAINLOOP_IN)) {
        return 0;
    }
    int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            refusal_log.printf("metrics: cannot accept. Errno: %d (%s)", errno,
                               std::strerror(errno));
        }
        return 0;
    }
    if (connections.size() >= METRICS_MAX_CONNECTIONS) {
        // A scraper that comes now is more likely to ask something than one that has been
        // sitting on a half-sent request: the oldest idle connection makes room.
        const auto oldest = std::min_element(connections.begin(), connections.end(),
                                             [](const auto& a, const auto& b) {
                                                 return a.second.replying != b.second.replying
                                                            ? !a.second.replying
                                                            : a.second.accepted < b.second.accepted;
                                             });
        if (!oldest->second.replying) {
            refusal_log.printf("metrics: too many connections, closing the oldest idle one (fd %d)",
                               oldest->first);
            close_connection(oldest->first);
        }
    }
    if (connections.size() >= METRICS_MAX_CONNECTIONS || client >= MAINLOOP_MAX_FDS) {
        refusal_log.printf("metrics: too many connections, closing fd %d", client);
        close(client);
        return 0;
    }
    scrape_connection& c = connections[client];
    c.accepted = ticks_now();
    c.head_deadline = c.accepted + METRICS_HEAD_SECONDS * ticks_per_second;
    c.deadline = c.accepted + METRICS_CONNECTION_SECONDS * ticks_per_second;
    mainloop_register_fd(client, MAINLOOP_IN, handle_connection);
    if (!mainloop_is_registered(client)) {
        connections.erase(client);
        close(client);
    }
    return 0;
}

int metrics_tick() {
    const std::int64_t now = ticks_now();
    std::vector<int> late;
    for (const auto& [fd, c] : connections) {
        if (now - c.deadline >= 0 || (!c.replying && now - c.head_deadline >= 0)) {
            late.push_back(fd);
        }
    }
    for (int fd : late) {
        close_connection(fd);
    }
    return 0;
}

std::string read_proc_file(const char* path) {
    std::string text;
    if (FILE* file = std::fopen(path, "r")) {
        char chunk[1024];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, n);
        }
        std::fclose(file);
    }
    return text;
}

// Seconds since the epoch at which this process started, from its start in clock ticks after
// boot and the boot time.
double process_start_time() {
    std::string stat = read_proc_file("/proc/self/stat");
    std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        return 0;
    }
    // Fields after the command: state is field 3, start time field 22.
    const char* p = stat.c_str() + paren + 1;
    unsigned long long start = 0;
    for (int field = 3; field <= 22 && *p != '\0'; ++field) {
        while (*p == ' ') {
            ++p;
        }
        if (field == 22) {
            start = std::strtoull(p, nullptr, 10);
        }
        while (*p != ' ' && *p != '\0') {
            ++p;
        }
    }
    std::string proc_stat = read_proc_file("/proc/stat");
    std::size_t btime = proc_stat.find("\nbtime ");
    if (btime == std::string::npos) {
        return 0;
    }
    double boot = std::strtod(proc_stat.c_str() + btime + 7, nullptr);
    long hz = sysconf(_SC_CLK_TCK);
    return boot + static_cast<double>(start) / static_cast<double>(hz > 0 ? hz : 100);
}

void collect_process() {
    std::string statm = read_proc_file("/proc/self/statm");
    unsigned long long size = 0;
    unsigned long long resident = 0;
    if (std::sscanf(statm.c_str(), "%llu %llu", &size, &resident) == 2) {
        metrics_set("process_resident_memory_bytes", {},
                    static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)));
    }
    double open = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            open += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
        open -= 1;  // the directory's own descriptor
    }
    metrics_set("process_open_fds", {}, open);
}

std::string reply(std::string_view status, std::string_view content_type, std::string_view body,
                  bool head_only, std::string_view extra = {}) {
    std::string out = "HTTP/1.1 ";
    out.append(status);
    out += "\r\nContent-Type: ";
    out.append(content_type);
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    out.append(extra);
    out += "Connection: close\r\n\r\n";
    if (!head_only) {
        out.append(body);
    }
    return out;
}

}  // namespace

std::string metrics_reply(std::string_view request_head, const health_check& health) {
    constexpr std::string_view text = "text/plain; charset=utf-8";
    std::string_view line = request_head.substr(0, request_head.find_first_of("\r\n"));
    std::size_t first = line.find(' ');
    std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || !line.substr(second + 1).starts_with("HTTP/1.") ||
        request_head.size() > METRICS_MAX_REQUEST) {
        return reply("400 Bad Request", text, "bad request\n", false);
    }
    std::string_view method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    target = target.substr(0, target.find('?'));
    // The absolute form names the path after the authority.
    if (target.starts_with("http://")) {
        std::size_t slash = target.find('/', 7);
        target = slash == std::string_view::npos ? "/" : target.substr(slash);
    }
    if (target != "/metrics" && target != "/health") {
        return reply("404 Not Found", text, "not found\n", method == "HEAD");
    }
    if (method != "GET" && method != "HEAD") {
        return reply("405 Method Not Allowed", text, "method not allowed\n", false,
                     "Allow: GET, HEAD\r\n");
    }
    if (target == "/metrics") {
        return reply("200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics_render(),
                     method == "HEAD");
    }
    std::string problems = health ? health() : std::string();
    if (problems.empty()) {
        return reply("200 OK", text, "ok\n", method == "HEAD");
    }
    return reply("503 Service Unavailable", text, problems, method == "HEAD");
}

void metrics_server_open(std::uint32_t port, health_check health) {
    if (port == 0) {
        return;
    }
    health_of = std::move(health);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 64) != 0) {
        log_fatal("Cannot open metrics port %u. Errno: %d (%s)", port, errno, std::strerror(errno));
        std::exit(1);
    }
    log_printf("Metrics served on 127.0.0.1:%u, fd=%d", port, fd);
    metrics_describe("process_resident_memory_bytes", metric_type::gauge,
                     "Resident memory of the main process in bytes.");
    metrics_describe("process_open_fds", metric_type::gauge,
                     "Open file descriptors of the main process.");
    metrics_describe("process_start_time_seconds", metric_type::gauge,
                     "Start time of the main process since the epoch in seconds.");
    metrics_describe("mm7_build_info", metric_type::gauge,
                     "The daemon's version, as a label; always 1.");
    metrics_set("process_start_time_seconds", {}, process_start_time());
    metrics_set("mm7_build_info", {{"version", MM7_VERSION}}, 1);
    metrics_add_collector(collect_process);
    mainloop_register_fd(fd, MAINLOOP_IN, handle_listener);
    mainloop_add_tick(metrics_tick);
}
