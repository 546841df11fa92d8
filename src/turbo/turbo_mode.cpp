#include "turbo/turbo_mode.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <forward_list>
#include <list>
#include <memory>

#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "core/metrics.h"
#include "core/signals.h"
#include "core/tls_client.h"
#include "mm7/mms_message.h"
#include "turbo/turbo_protocol.h"
#include "turbo/turbo_settings.h"
#include "turbo/turbo_worker.h"
#include "xgate/xgate.h"

turbo_hooks turbo_hooks_table;

namespace {

constexpr std::size_t PENDING_BUCKETS = 640;
// A connection on the turbo port has this long to say hello (a worker says it at once), and at
// most this many per configured port wait for theirs: anyone on this machine may connect, and
// must not take the descriptors every other kind of peer needs.
constexpr std::int64_t HELLO_TIMEOUT_S = 2;
constexpr std::size_t HELLO_WAITS_PER_PORT = 2;

// A worker that lets requests pass their deadline in this many passes of the loop in a row,
// answering nothing in between, is ended and forked again.
constexpr int MAX_MISSED_DEADLINES = 3;

// A request handed to a worker and not answered yet.
struct pending_request {
    std::uint32_t id = 0;
    outgoing_mms_info* client = nullptr;  // not owned; null for a fetch
    int port = 0;
    std::int64_t deadline = 0;  // ticks
};

// A connection on the turbo port that has not said hello yet.
struct hello_wait {
    turbo_link link;
    std::int64_t accepted = 0;  // ticks
};

server_config* turbo_config = nullptr;
std::array<pid_t, TURBO_MAX_PORTS> worker_pids = [] {
    std::array<pid_t, TURBO_MAX_PORTS> pids{};
    pids[0] = -1;
    return pids;
}();
// The connected worker of each port; empty when the port has no worker.
std::array<std::unique_ptr<turbo_link>, TURBO_MAX_PORTS> worker_sockets;
std::list<hello_wait> hello_waits;
std::uint32_t next_request_id = 1000000000;
std::array<std::forward_list<pending_request>, PENDING_BUCKETS> pending_requests;
// Deadlines each port's worker has missed since it last answered anything.
std::array<int, TURBO_MAX_PORTS> missed_deadlines{};
// Anyone on this machine can connect to the workers' port.
log_limiter hello_log(10, 5);
log_limiter crowd_log(10, 5);
// Kept for the moment the process has no descriptor left: given up to take a waiting
// connection and close it, so the listener does not stay ready for ever.
int reserve_fd = -1;

// Fetched messages are stored in the work directory as "<IMSI>_<hex>.mm1": the SIM's IMSI (at
// most 15 digits, none when the indication had none), then the seconds and the microseconds of
// the monotonic clock in lower-case hexadecimal (at most 16 and 5 digits).
constexpr std::size_t MAX_FETCHED_HEX = 21;
// A fetched file is kept no longer than this once its fetch ended (the main process hands it on
// at once); one left behind by a worker that was killed, or by an earlier run, goes when it is
// older than an hour, or than twice a fetch's deadline when that is longer.
constexpr std::int64_t MIN_FETCHED_FILE_AGE = 3600;
std::int64_t next_fetched_sweep = 0;  // ticks

bool is_fetched_file_name(std::string_view name) {
    constexpr std::string_view suffix = ".mm1";
    if (!name.ends_with(suffix)) {
        return false;
    }
    name.remove_suffix(suffix.size());
    const std::size_t bar = name.find('_');
    if (bar == std::string_view::npos || bar > 15) {
        return false;
    }
    const std::string_view hex = name.substr(bar + 1);
    return name.substr(0, bar).find_first_not_of("0123456789") == std::string_view::npos &&
           !hex.empty() && hex.size() <= MAX_FETCHED_HEX &&
           hex.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::int64_t fetched_file_age(const server_config& config) {
    const std::int64_t deadline =
        std::int64_t{std::max(config.turbo_mode_timeout, 0)} + config.confirm_grace;
    return std::max(MIN_FETCHED_FILE_AGE, 2 * deadline);
}

// Removes the fetched files of the work directory that are older than fetched_file_age.
void remove_old_fetched_files(const server_config& config) {
    DIR* dir = opendir(config.workdir.c_str());
    if (dir == nullptr) {
        return;
    }
    const std::int64_t age = fetched_file_age(config);
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        struct stat st {};
        if (is_fetched_file_name(entry->d_name) &&
            fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            now - static_cast<std::int64_t>(st.st_mtime) > age &&
            unlinkat(dirfd(dir), entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    closedir(dir);
    if (removed > 0) {
        log_info("Removed %d fetched message files older than %lld s", removed,
                 static_cast<long long>(age));
    }
}

// A fetched file whose message has been handed on (spooled, or dropped with its reason logged)
// or whose fetch failed: only a file of that name form in the work directory is removed.
void remove_fetched_file(std::string_view path) {
    const std::string_view dir = turbo_config->workdir;
    if (!path.starts_with(dir)) {
        return;
    }
    std::string_view name = path.substr(dir.size());
    while (name.starts_with('/')) {
        name.remove_prefix(1);
    }
    if (is_fetched_file_name(name) && name.find('/') == std::string_view::npos) {
        unlink(std::string(path).c_str());
    }
}

std::uint32_t take_request_id() {
    return next_request_id++;
}

int port_of_pid(pid_t pid) {
    for (int port = 0; port < TURBO_MAX_PORTS; ++port) {
        if (pid > 0 && worker_pids[port] == pid) {
            return port;
        }
    }
    return -1;
}

int handle_worker_response(int fd, int flags, int port);

// True when the peer end of the loopback connection fd is a socket held open by process pid:
// the peer's socket is looked up in the kernel's TCP table by its port, and its inode among the
// descriptors of pid.
bool pid_owns_peer(pid_t pid, int fd) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
        return false;
    }
    unsigned peer_port = ntohs(peer.sin_port);
    FILE* table = std::fopen("/proc/net/tcp", "r");
    if (table == nullptr) {
        return false;
    }
    char line[512];
    unsigned long inode = 0;
    while (inode == 0 && std::fgets(line, sizeof line, table)) {
        unsigned local_address = 0;
        unsigned local_port = 0;
        unsigned remote_address = 0;
        unsigned remote_port = 0;
        unsigned long node = 0;
        if (std::sscanf(line, " %*d: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %*u %*d %lu",
                        &local_address, &local_port, &remote_address, &remote_port, &node) == 5 &&
            local_port == peer_port && remote_port == TURBO_MODE_PORT) {
            inode = node;
        }
    }
    std::fclose(table);
    if (inode == 0) {
        return false;
    }
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "socket:[%lu]", inode);
    char dir_path[64];
    std::snprintf(dir_path, sizeof dir_path, "/proc/%d/fd", static_cast<int>(pid));
    DIR* dir = opendir(dir_path);
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        char link_path[320];
        char target[64] = {};
        std::snprintf(link_path, sizeof link_path, "%s/%s", dir_path, entry->d_name);
        ssize_t n = readlink(link_path, target, sizeof target - 1);
        if (n > 0 && std::strcmp(target, wanted) == 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Asks for write readiness while queued bytes wait.
void update_flags(turbo_link& link) {
    if (mainloop_is_registered(link.fd)) {
        mainloop_set_fd_flags(link.fd, MAINLOOP_IN | (link.output.empty() ? 0 : MAINLOOP_OUT));
    }
}

// A send's or a fetch's result, as the worker reported it (or "no_answer").
void count_result(bool send, int port, std::string_view result) {
    metrics_add(send ? "mm7_turbo_sends_total" : "mm7_turbo_receives_total",
                {{"port", std::to_string(port)}, {"result", result}});
}
void count_result(bool send, int port, int result) {
    count_result(send, port, std::to_string(result));
}

// Per port: whether its worker is connected, and the requests it holds.
void collect_ports() {
    std::array<int, TURBO_MAX_PORTS> pending{};
    for (const auto& bucket : pending_requests) {
        for (const pending_request& r : bucket) {
            ++pending[r.port];
        }
    }
    for (int port = 0; port < TURBO_MAX_PORTS; ++port) {
        if (turbo_config->turbo_mode_mask & (std::uint64_t{1} << port)) {
            const std::string label = std::to_string(port);
            metrics_set("mm7_turbo_worker_up", {{"port", label}}, worker_sockets[port] ? 1 : 0);
            metrics_set("mm7_turbo_requests_pending", {{"port", label}}, pending[port]);
        }
    }
}

void describe_metrics(std::uint64_t mask) {
    metrics_describe("mm7_turbo_worker_up", metric_type::gauge,
                     "1 while the port's worker is connected, else 0.");
    metrics_describe("mm7_turbo_worker_restarts_total", metric_type::counter,
                     "Times the port's worker ended and was forked again.");
    metrics_describe(
        "mm7_turbo_sends_total", metric_type::counter,
        "Submissions the port's worker answered, by result code (no_answer: none in time).");
    metrics_describe(
        "mm7_turbo_receives_total", metric_type::counter,
        "Fetches the port's worker answered, by result code (no_answer: none in time).");
    metrics_describe("mm7_turbo_requests_pending", metric_type::gauge,
                     "Requests handed to the port's worker and not answered yet.");
    for (int port = 0; port < TURBO_MAX_PORTS; ++port) {
        if (mask & (std::uint64_t{1} << port)) {
            metrics_add("mm7_turbo_worker_restarts_total", {{"port", std::to_string(port)}}, 0);
        }
    }
    metrics_add_collector(collect_ports);
}

// Closes a port's worker link and answers every submission still waiting for that worker: the
// worker will never answer them.
void drop_worker(int port) {
    std::unique_ptr<turbo_link> link = std::move(worker_sockets[port]);
    if (!link) {
        return;
    }
    mainloop_unregister_fd(link->fd);
    close(link->fd);
    std::vector<pending_request> orphans;
    for (auto& bucket : pending_requests) {
        bucket.remove_if([&](const pending_request& r) {
            if (r.port != port) {
                return false;
            }
            orphans.push_back(r);
            return true;
        });
    }
    // The kernel module hears of each failed send with the port's SIM, when it is known.
    mm7_settings settings;
    if (!orphans.empty()) {
        load_port_settings(port, settings, "drop_worker");
    }
    opt_view imsi;
    if (settings.imsi[0] != '\0') {
        imsi = turbo_text(settings.imsi);
    }
    for (const pending_request& r : orphans) {
        count_result(r.client != nullptr, port, TURBO_RESULT_LOCAL_ERROR);
        log_warning("%s: worker for port %d is gone, request id=%u failed", "drop_worker", port,
                    r.id);
        if (r.client != nullptr && turbo_hooks_table.send_response) {
            turbo_hooks_table.send_response(r.client, nullptr, TURBO_RESULT_LOCAL_ERROR, 0, imsi,
                                            port, std::nullopt);
        }
    }
}

// Takes the request out of the pending table; false when it is not there.
bool take_pending(std::uint32_t id, pending_request& found) {
    auto& bucket = pending_requests[id % PENDING_BUCKETS];
    auto before = bucket.before_begin();
    for (auto it = bucket.begin(); it != bucket.end(); before = it, ++it) {
        if (it->id == id) {
            found = *it;
            bucket.erase_after(before);
            return true;
        }
    }
    return false;
}

// A worker answers a fetch within its time-out, and a send within twice that: the send may
// wait in the worker's pacing queue for up to the time-out before its transfer starts.
void add_pending(std::uint32_t id, outgoing_mms_info* client, int port) {
    const std::int64_t timeout = std::max(turbo_config->turbo_mode_timeout, 0);
    const std::int64_t seconds =
        (client != nullptr ? 2 : 1) * timeout + turbo_config->confirm_grace;
    pending_requests[id % PENDING_BUCKETS].push_front(
        {id, client, port, ticks_now() + seconds * ticks_per_second});
}

// Answers the requests whose worker let their deadline pass, and ends a worker that keeps
// missing them: deadlines that pass in the same pass count as one miss, so a burst of requests
// handed over together cannot end a worker on its own.
void check_deadlines() {
    const std::int64_t now = ticks_now();
    std::vector<pending_request> overdue;
    std::array<bool, TURBO_MAX_PORTS> missed{};
    for (auto& bucket : pending_requests) {
        bucket.remove_if([&](const pending_request& r) {
            if (now - r.deadline < 0) {
                return false;
            }
            overdue.push_back(r);
            return true;
        });
    }
    for (const pending_request& r : overdue) {
        log_warning("%s: no answer from the worker of port %d for request id=%u in time, giving up",
                    "check_deadlines", r.port, r.id);
        missed[r.port] = true;
        count_result(r.client != nullptr, r.port, "no_answer");
        if (r.client != nullptr && turbo_hooks_table.send_timeout) {
            turbo_hooks_table.send_timeout(r.client);
        }
    }
    for (int port = 0; port < TURBO_MAX_PORTS; ++port) {
        missed_deadlines[port] += missed[port] ? 1 : 0;
        if (missed_deadlines[port] < MAX_MISSED_DEADLINES) {
            continue;
        }
        log_warning("%s: worker for port %d missed %d deadlines in a row, ending it",
                    "check_deadlines", port, missed_deadlines[port]);
        missed_deadlines[port] = 0;
        if (worker_pids[port] > 0) {
            kill(worker_pids[port], SIGKILL);  // reaped and forked again by the next pass
        }
        drop_worker(port);
    }
}

void handle_send_message_response(const turbo_send_response& response, int port) {
    pending_request request;
    if (!take_pending(response.id, request)) {
        log_warning("%s: cannot find request id %d", "handle_send_message_response",
                    static_cast<int>(response.id));
        return;
    }
    if (request.client == nullptr) {
        log_warning("%s: request id %d is no send", "handle_send_message_response",
                    static_cast<int>(response.id));
        return;
    }
    count_result(true, port, static_cast<int>(response.result));
    std::uint32_t length = std::min<std::uint32_t>(response.length, sizeof response.data);
    buffer pdu(response.data, response.data + length);
    // A worker that could not use its port's settings says why; the VASP hears it.
    std::string_view text(
        reinterpret_cast<const char*>(response.data),
        strnlen(reinterpret_cast<const char*>(response.data), sizeof response.data));
    opt_view reason;
    if (response.length == 0 && text.starts_with(TURBO_SETTINGS_REFUSED)) {
        reason = text;
    }
    if (turbo_hooks_table.send_response) {
        turbo_hooks_table.send_response(request.client, &pdu, static_cast<int>(response.result),
                                        static_cast<int>(response.cause), turbo_text(response.imsi),
                                        port, reason);
    }
}

void handle_receive_message_response(const turbo_receive_response& response, int port) {
    pending_request request;
    if (!take_pending(response.id, request)) {
        // Late, but what was fetched is delivered all the same.
        log_warning("%s: cannot find request id %d", "handle_receive_message_response",
                    static_cast<int>(response.id));
    }
    count_result(false, port, static_cast<int>(response.result));
    const std::string path(turbo_text(response.path));
    if (response.result != TURBO_RESULT_OK) {
        remove_fetched_file(path);  // the worker has logged why
        return;
    }
    xgate_message indication;
    indication.kind = MMS_MMSRCV_IND;
    indication.imsi = std::string(turbo_text(response.imsi).substr(0, 15));
    indication.port = static_cast<std::uint32_t>(port);
    indication.flags = MMSRCV_FLAG_FILE;
    indication.data.assign(path.begin(), path.end());
    if (xgate_hooks_table.on_mms_rcv_ind) {
        xgate_hooks_table.on_mms_rcv_ind(indication, *turbo_config);
    } else {
        log_warning("%s: no delivery for fetched message %s", "handle_receive_message_response",
                    path.c_str());
    }
    remove_fetched_file(path);  // spooled, or a delivery tried without a copy has it open
}

int handle_worker_response(int fd, int flags, int port) {
    turbo_link* link = worker_sockets[port].get();
    if (link == nullptr || link->fd != fd) {
        return 0;
    }
    if ((flags & MAINLOOP_OUT) && !link->flush()) {
        log_warning("%s: Socket error , fd=%d", "handle_worker_response", fd);
        drop_worker(port);
        return 0;
    }
    if (!(flags & (MAINLOOP_IN | MAINLOOP_ERR))) {
        update_flags(*link);
        return 0;
    }
    bool alive = link->fill();
    std::uint32_t kind = 0;
    std::string body;
    bool bad_kind = false;
    while (worker_sockets[port].get() == link &&
           link->next(kind, body, bad_kind, TURBO_SEND_RESPONSE, TURBO_RECEIVE_RESPONSE)) {
        missed_deadlines[port] = 0;  // it answers
        if (kind == TURBO_SEND_RESPONSE) {
            turbo_send_response response;
            std::memcpy(&response, body.data(), sizeof response);
            handle_send_message_response(response, port);
        } else {
            turbo_receive_response response;
            std::memcpy(&response, body.data(), sizeof response);
            handle_receive_message_response(response, port);
        }
    }
    if (worker_sockets[port].get() != link) {
        return 0;  // dropped while answering
    }
    if (bad_kind) {
        // A worker that sends what it never should is not trusted with further requests: its
        // link is closed, the worker ends and is forked again.
        log_error("%s: unknown message %d received from worker %d", "handle_worker_response",
                  static_cast<int>(kind), port);
        drop_worker(port);
        return 0;
    }
    if (!alive) {
        if (link->input.size() >= 4) {
            std::memcpy(&kind, link->input.data(), 4);
            log_warning("%s: received incomplete message response, size=%d/%d",
                        kind == TURBO_SEND_RESPONSE ? "handle_send_message_response"
                                                    : "handle_receive_message_response",
                        static_cast<int>(link->input.size() - 4),
                        static_cast<int>(turbo_body_size(kind)));
        }
        log_warning("%s: Socket error , fd=%d", "handle_worker_response", fd);
        drop_worker(port);
        return 0;
    }
    update_flags(*link);
    return 0;
}

void close_hello_wait(std::list<hello_wait>::iterator it) {
    mainloop_unregister_fd(it->link.fd);
    close(it->link.fd);
    hello_waits.erase(it);
}

int handle_worker_hello(int fd, int) {
    auto it = hello_waits.begin();
    while (it != hello_waits.end() && it->link.fd != fd) {
        ++it;
    }
    if (it == hello_waits.end()) {
        return 0;
    }
    bool alive = it->link.fill();
    if (it->link.input.size() < 4 && alive) {
        return 0;  // the rest of the hello is still on its way
    }
    std::uint32_t hello = 0;
    std::memcpy(&hello, it->link.input.data(), std::min<std::size_t>(4, it->link.input.size()));
    int n = static_cast<int>(std::min<std::size_t>(4, it->link.input.size()));
    int port = static_cast<int>(hello & 0xFF);
    if (n != 4 || (hello & 0xFFFFFF00u) != TURBO_HELLO || port >= TURBO_MAX_PORTS) {
        hello_log.printf("%s: invalid worker hello. n=%d, hello=0x%.8x",
                         "turbo_mode_worker_connected_handler", n, hello);
        close_hello_wait(it);
        return 0;
    }
    // Only the worker this process forked for the port may register as it.
    if (worker_pids[port] <= 0 || !pid_owns_peer(worker_pids[port], fd)) {
        hello_log.printf(
            "%s: refusing worker hello for port %d: the peer is not its worker (pid %d)",
            "turbo_mode_worker_connected_handler", port, static_cast<int>(worker_pids[port]));
        close_hello_wait(it);
        return 0;
    }
    log_info("%s: worker connected, fd=%d, port=%d", "turbo_mode_worker_connected_handler", fd,
             port);
    drop_worker(port);  // an earlier link of the same port
    missed_deadlines[port] = 0;
    auto link = std::make_unique<turbo_link>(std::move(it->link));
    link->input.erase(0, 4);
    hello_waits.erase(it);
    mainloop_unregister_fd(fd);
    worker_sockets[port] = std::move(link);
    mainloop_register_fd(fd, MAINLOOP_IN, [port](int f, int flags) {
        return handle_worker_response(f, flags, port);
    });
    return 0;
}

int turbo_mode_worker_connected_handler(int fd, int flags) {
    const char* who = "turbo_mode_worker_connected_handler";
    if (!(flags & MAINLOOP_IN)) {
        crowd_log.printf("%s: Something went wrong", who);
        return 0;
    }
    int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            return 0;
        }
        crowd_log.printf("%s: Cannot accept socket. Errno: %d (%s)", who, err, std::strerror(err));
        if ((err == EMFILE || err == ENFILE) && reserve_fd >= 0) {
            close(reserve_fd);
            if (int waiting = accept(fd, nullptr, nullptr); waiting >= 0) {
                close(waiting);
            }
            reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        return 0;
    }
    if (client >= MAINLOOP_MAX_FDS) {
        crowd_log.printf("%s: descriptor %d is beyond the event loop, closing it", who, client);
        close(client);
        return 0;
    }
    hello_wait& wait = hello_waits.emplace_back();
    wait.link.fd = client;
    wait.accepted = ticks_now();
    mainloop_register_fd(client, MAINLOOP_IN, handle_worker_hello);
    handle_worker_hello(client, MAINLOOP_IN);  // the hello usually came with the connection
    const std::size_t cap = HELLO_WAITS_PER_PORT *
                            static_cast<std::size_t>(std::popcount(turbo_config->turbo_mode_mask));
    while (hello_waits.size() > cap) {
        crowd_log.printf("%s: more than %zu connections without a hello, closing the oldest", who,
                         cap);
        close_hello_wait(hello_waits.begin());
    }
    return 0;
}

// A worker ends without running the main process's exit handlers or destructors: they would
// flush or release copies of the main process's streams and records.
[[noreturn]] void run_worker(server_config& config) {
    turbo_mode_worker(config);
    log_flush();
    _exit(0);
}

// A worker forked again by the running main process drops everything it inherited: the
// loop's handlers and ticks and every descriptor but the log, so that no VASP connection,
// listener or kernel link stays open in it.
void forget_parent_state(server_config& config) {
    mainloop_clear_ticks();
    mainloop_cleanup();
    signals_reset_in_child();
    int keep = log_file != nullptr ? fileno(log_file) : -1;
    for (int fd = 3; fd < MAINLOOP_MAX_FDS; ++fd) {
        if (fd != keep) {
            close(fd);
        }
    }
    config.server_fd = -1;
    config.turbo_fd = -1;
    config.xgate_fd = -1;
}

int timeout_handler_child_worker() {
    check_deadlines();
    const std::int64_t now = ticks_now();
    if (now - next_fetched_sweep >= 0) {
        next_fetched_sweep = now + MIN_FETCHED_FILE_AGE * ticks_per_second;
        remove_old_fetched_files(*turbo_config);
    }
    for (auto it = hello_waits.begin(); it != hello_waits.end();) {
        auto current = it++;
        if (now - current->accepted >= HELLO_TIMEOUT_S * ticks_per_second) {
            hello_log.printf("%s: invalid worker hello. n=%d, hello=0x%.8x",
                             "turbo_mode_worker_connected_handler",
                             static_cast<int>(current->link.input.size()), 0u);
            close_hello_wait(current);
        }
    }
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) {
        return 0;
    }
    int port = port_of_pid(pid);
    if (port < 0) {
        log_printf("%s: reaped process %d, not a worker", "timeout_handler_child_worker",
                   static_cast<int>(pid));
        return 0;
    }
    metrics_add("mm7_turbo_worker_restarts_total", {{"port", std::to_string(port)}});
    log_warning("%s: Worker for port %d has been terminated, trying to restart...",
                "timeout_handler_child_worker", port);
    drop_worker(port);  // the link of a dead worker is never used again
    server_config& config = *turbo_config;
    config.worker_index = port;
    pid_t child = fork();
    if (child == 0) {
        forget_parent_state(config);
        run_worker(config);
    }
    config.worker_index = -1;
    if (child < 0) {
        log_error("%s: cannot fork worker %d", "timeout_handler_child_worker", port);
        worker_pids[port] = 0;
        return 0;
    }
    worker_pids[port] = child;
    return 0;
}

[[noreturn]] void fail_start(const char* message, int value = 0, bool with_value = false) {
    if (with_value) {
        log_fatal(message, value);
    } else {
        log_fatal("%s", message);
    }
    std::exit(1);
}

}  // namespace

bool turbo_mode_check_tls(const server_config& config) {
    if (config.mmsc_insecure) {
        log_warning(
            "--mmscinsecure: the certificates of https MMSCs are not verified; anyone on the way "
            "to an MMSC can pose as it and read the messages sent to it%s",
            config.mmsc_ca_file.empty() ? "" : " (--mmsccafile is not used)");
        return true;
    }
    return config.mmsc_ca_file.empty() || tls_ca_file_usable(config.mmsc_ca_file, "MMSC CA file");
}

void turbo_mode_init(server_config& config, int& turbo_fd) {
    turbo_config = &config;
    remove_old_fetched_files(config);  // whether or not turbo mode is on this time
    next_fetched_sweep = ticks_now() + MIN_FETCHED_FILE_AGE * ticks_per_second;
    if (config.turbo_mode_mask == 0) {
        return;
    }
    for (int port = 0; port < TURBO_MAX_PORTS; ++port) {
        if (!(config.turbo_mode_mask & (std::uint64_t{1} << port))) {
            continue;
        }
        config.worker_index = port;
        pid_t child = fork();
        if (child == 0) {
            run_worker(config);
        }
        if (child < 0) {
            log_error("%s: cannot fork worker %d", "turbo_mode_init", port);
            continue;
        }
        worker_pids[port] = child;
    }
    config.worker_index = -1;
    if (std::string why = settings_dir_refusal(); !why.empty()) {
        log_error(
            "Turbo mode settings directory %s is not trusted: %s; every turbo mode send "
            "fails until it is root's and writable by root alone",
            TURBO_SETTINGS_DIR, why.c_str());
    }
    describe_metrics(config.turbo_mode_mask);
    mainloop_add_tick(timeout_handler_child_worker);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fail_start("Cannot create turbo mode server socket.");
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        fail_start("setsockopt(SO_REUSEADDR) failed.");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(TURBO_MODE_PORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0) {
        fail_start("Cannot bind turbo mode server socket: %d", rc, true);
    }
    if (listen(fd, 64) != 0) {
        fail_start("Cannot listen on turbo mode server socket");
    }
    turbo_fd = fd;
    reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    log_info("Turbo mode server starting on port %d, fd=%d", TURBO_MODE_PORT, fd);
    mainloop_register_fd(fd, MAINLOOP_IN, turbo_mode_worker_connected_handler);
}

std::uint32_t turbo_mode_handle_message(outgoing_mms_info* client) {
    if (!turbo_hooks_table.submission || client == nullptr) {
        return 0;
    }
    turbo_submission submission = turbo_hooks_table.submission(client);
    std::string route_by(submission.route_by.value_or(std::string_view()));
    log_printf("%s: route_by='%s'", "turbo_mode_handle_message",
               submission.route_by ? log_escape(route_by).c_str() : "(null)");
    if (!submission.route_by || route_by.size() < 3) {
        return 0;
    }
    unsigned port =
        10u * static_cast<unsigned>(route_by[1] - '0') + static_cast<unsigned>(route_by[2] - '0');
    log_printf("%s: port=%d", "turbo_mode_handle_message", static_cast<int>(port));
    if (port >= TURBO_MAX_PORTS || !worker_sockets[port]) {
        return 0;
    }
    turbo_send_request request{};
    request.id = take_request_id();
    turbo_set_text(request.sender, submission.from.value_or(std::string_view()));
    turbo_set_text(request.path, submission.path);
    turbo_link& link = *worker_sockets[port];
    if (!link.send(TURBO_SEND_REQUEST, &request, sizeof request)) {
        log_warning("%s: Socket error , fd=%d", "turbo_mode_handle_message", link.fd);
        drop_worker(static_cast<int>(port));
        return 0;  // the kernel path takes it
    }
    update_flags(link);
    add_pending(request.id, client, static_cast<int>(port));
    log_printf("%s: request sent, id=%d", "turbo_mode_handle_message",
               static_cast<int>(request.id));
    return request.id;
}

int turbo_mode_handle_incoming(std::uint32_t port, std::string_view imsi,
                               const mms_message& notification) {
    if (port >= TURBO_MAX_PORTS || !worker_sockets[port]) {
        return 0;
    }
    // The IMSI names the fetched file.
    if (!imsi_is_safe(imsi)) {
        log_warning("%s: refusing the notification of port %d: its IMSI is not at most 15 digits",
                    "turbo_mode_handle_incoming", static_cast<int>(port));
        return -1;
    }
    turbo_receive_request request{};
    request.id = take_request_id();
    std::string url(notification.content_location.value_or(""));
    if (url.ends_with('=')) {
        if (notification.message_id && !notification.message_id->empty()) {
            url += *notification.message_id;
        } else if (notification.transaction_id && !notification.transaction_id->empty()) {
            url += *notification.transaction_id;
        }
    }
    turbo_set_text(request.url, url);
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char path[512];
    std::snprintf(path, sizeof path, "%s/%.*s_%lx%lx.mm1", turbo_config->workdir.c_str(),
                  static_cast<int>(imsi.size()), imsi.data(),
                  static_cast<unsigned long>(now.tv_sec),
                  static_cast<unsigned long>(now.tv_nsec / 1000));
    turbo_set_text(request.path, path);
    turbo_set_text(request.transaction_id, notification.transaction_id.value_or(""));
    turbo_link& link = *worker_sockets[port];
    if (!link.send(TURBO_RECEIVE_REQUEST, &request, sizeof request)) {
        log_warning("%s: Socket error , fd=%d", "turbo_mode_handle_incoming", link.fd);
        drop_worker(static_cast<int>(port));
        return 0;
    }
    update_flags(link);
    add_pending(request.id, nullptr, static_cast<int>(port));
    log_printf("%s: request sent, id=%d", "turbo_mode_handle_incoming",
               static_cast<int>(request.id));
    return static_cast<int>(request.id);
}

void turbo_mode_forget_client(outgoing_mms_info* client) {
    for (auto& bucket : pending_requests) {
        bucket.remove_if([&](const pending_request& r) { return r.client == client; });
    }
}

std::size_t turbo_mode_stop() {
    std::size_t stopped = 0;
    for (pid_t& pid : worker_pids) {
        if (pid <= 0) {
            continue;
        }
        kill(pid, SIGTERM);
        // A worker dies of SIGTERM at once; one that does not within a second is killed.
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
            usleep(10000);
        }
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = 0;
        ++stopped;
    }
    return stopped;
}
