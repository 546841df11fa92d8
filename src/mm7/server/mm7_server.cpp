// Listener, VASP connections and their teardown; the queue that finishes replies to slow peers.
#include "mm7/server/mm7_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/mainloop.h"
#include "mm7/server/mm7_server_internal.h"
#include "turbo/turbo_mode.h"
#include "wsp/wsp.h"
#include "xgate/xgate.h"

namespace {

// The connections the server owns, by descriptor.
std::unordered_map<int, std::unique_ptr<outgoing_mms_info>> clients;
std::unordered_set<const outgoing_mms_info*> live_records;

// Bytes still to be written to a socket.  A reply that the peer does not take at once waits
// here and is finished from the event loop.
struct socket_outbox {
    buffer bytes;
    std::size_t sent = 0;
    std::size_t remaining() const { return bytes.size() - sent; }
};
std::unordered_map<int, socket_outbox> outboxes;

// Sockets whose connection has ended but whose reply is still being delivered: once the reply
// is out, the write side is shut down and the peer's remaining input is drained, so that the
// close does not reset the connection under the reply.
struct lingering_socket {
    std::int64_t deadline = 0;  // ticks
    std::size_t drained = 0;
    bool shut = false;
};
std::unordered_map<int, lingering_socket> lingering;
constexpr int kLingerSeconds = 30;
constexpr std::size_t kLingerDrainLimit = 1 << 20;
bool linger_tick_added = false;

// Memory held by all unfinished requests together.
std::size_t held_total = 0;

// A descriptor kept in reserve: when the process runs out of descriptors, it is given up for a
// moment to accept a waiting connection and close it, so the listener does not stay ready.
int reserve_fd = -1;
int listener_fd = -1;
bool listener_paused = false;

// The last time connections were turned away, and why.
std::int64_t turned_away_at = 0;  // ticks
std::string turned_away_why;
constexpr std::int64_t kTurnedAwaySeconds = 10;

void turn_away(std::string why) {
    turned_away_at = ticks_now();
    turned_away_why = std::move(why);
}

// Lines a peer can provoke at will.
log_limiter accept_log(10, 5);
log_limiter unauthorized_log(10, 5);
log_limiter busy_log(10, 5);
log_limiter memory_log(10, 5);

// Sends as much of data as the peer takes now: the count sent, or -1 when the peer is gone.
long send_now(int fd, byte_view data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return -1;
        }
    }
    return static_cast<long>(sent);
}

// Sends what the peer takes now of a queued reply; false on a hard error.
bool flush_outbox(int fd) {
    auto it = outboxes.find(fd);
    if (it == outboxes.end()) {
        return true;
    }
    socket_outbox& box = it->second;
    long n = send_now(fd, byte_view(box.bytes).subspan(box.sent));
    if (n < 0) {
        return false;
    }
    box.sent += static_cast<std::size_t>(n);
    if (box.remaining() == 0) {
        outboxes.erase(it);
    }
    return true;
}

void finish_lingering(int fd) {
    lingering.erase(fd);
    outboxes.erase(fd);
    if (mainloop_is_registered(fd)) {
        mainloop_unregister_fd(fd);
    }
    close(fd);
}

int handle_lingering(int fd, int flags) {
    auto it = lingering.find(fd);
    if (it == lingering.end()) {
        return 0;
    }
    if (!flush_outbox(fd)) {
        finish_lingering(fd);
        return 0;
    }
    if (outboxes.count(fd) != 0) {
        return 0;  // wait for the peer to take more
    }
    if (!it->second.shut) {
        it->second.shut = true;
        shutdown(fd, SHUT_WR);
        mainloop_set_fd_flags(fd, MAINLOOP_IN);
    }
    if ((flags & (MAINLOOP_IN | MAINLOOP_ERR)) != 0 || flags == 0) {
        char sink[4096];
        ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            it->second.drained += static_cast<std::size_t>(n);
            if (it->second.drained > kLingerDrainLimit) {
                finish_lingering(fd);
            }
            return 0;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return 0;
        }
        finish_lingering(fd);  // end of stream or error: the peer has everything
    }
    return 0;
}

int expire_lingering() {
    std::int64_t now = ticks_now();
    std::vector<int> expired;
    for (auto& [fd, state] : lingering) {
        if (now - state.deadline >= 0) {
            expired.push_back(fd);
        }
    }
    for (int fd : expired) {
        finish_lingering(fd);
    }
    return 0;
}

// Hands a socket whose connection has ended to the lingering set (reply still to deliver, or
// the peer still to hear the end), or closes it at once when the peer is gone.
void release_socket(int fd, bool peer_gone) {
    if (mainloop_is_registered(fd)) {
        mainloop_unregister_fd(fd);
    }
    if (peer_gone) {
        outboxes.erase(fd);
        close(fd);
        return;
    }
    bool pending = outboxes.count(fd) != 0;
    if (!pending) {
        shutdown(fd, SHUT_WR);
    }
    lingering_socket state;
    state.deadline = ticks_now() + kLingerSeconds * ticks_per_second;
    state.shut = !pending;
    lingering[fd] = state;
    if (!linger_tick_added) {
        linger_tick_added = true;
        mainloop_add_tick(expire_lingering);
    }
    mainloop_register_fd(fd, pending ? (MAINLOOP_IN | MAINLOOP_OUT) : MAINLOOP_IN,
                         handle_lingering);
    if (!mainloop_is_registered(fd)) {
        finish_lingering(fd);
    }
}

// Out of descriptors: take the waiting connection with the reserve descriptor and close it, or,
// without a reserve, stop listening until the next tick.
void shed_connection(int listen_fd) {
    if (reserve_fd >= 0) {
        close(reserve_fd);
        int waiting = accept(listen_fd, nullptr, nullptr);
        if (waiting >= 0) {
            close(waiting);
        }
        reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        return;
    }
    listener_paused = true;
    mainloop_set_fd_flags(listen_fd, 0);
}

}  // namespace

// ---- writing to VASP sockets ----

void mm7_socket_write(int fd, byte_view data) {
    if (data.empty() || fd < 0) {
        return;
    }
    auto it = outboxes.find(fd);
    if (it == outboxes.end()) {
        long sent = send_now(fd, data);
        if (sent < 0 || static_cast<std::size_t>(sent) == data.size()) {
            return;  // all sent, or the peer is gone and the connection ends in any case
        }
        data = data.subspan(static_cast<std::size_t>(sent));
        it = outboxes.emplace(fd, socket_outbox{}).first;
    }
    it->second.bytes.insert(it->second.bytes.end(), data.begin(), data.end());
    auto client = clients.find(fd);
    if (client != clients.end() && mainloop_is_registered(fd)) {
        mainloop_set_fd_flags(fd, mm7_client_flags(client->second.get()));
    }
}

bool mm7_socket_flush(int fd) {
    bool ok = flush_outbox(fd);
    auto client = clients.find(fd);
    if (ok && outboxes.count(fd) == 0 && client != clients.end() && mainloop_is_registered(fd)) {
        mainloop_set_fd_flags(fd, mm7_client_flags(client->second.get()));
    }
    return ok;
}

int mm7_client_flags(const outgoing_mms_info* info) {
    int flags = info->input_closed ? 0 : MAINLOOP_IN;
    if (outboxes.count(info->fd) != 0) {
        flags |= MAINLOOP_OUT;
    }
    return flags;
}

bool mm7_account_memory(outgoing_mms_info* info) {
    info->parser.trim();
    std::size_t held = info->parser.held_bytes();
    bool grew = held > info->held;
    held_total = held_total - info->held + held;
    info->held = held;
    if (grew && held_total > MM7_MAX_HELD_BYTES) {
        memory_log.printf("Unfinished requests hold %zu bytes, refusing fd %d", held_total,
                          info->fd);
        SendHttpError(info, "503 Server busy");
        return false;
    }
    return true;
}

// ---- listener and connections ----

namespace {

// PDU files are named by a transaction id (base64 symbols, '/' written as '-') and ".mm1".
bool is_pdu_file_name(std::string_view name) {
    constexpr std::string_view suffix = ".mm1";
    if (name.size() <= suffix.size() || !name.ends_with(suffix)) {
        return false;
    }
    name.remove_suffix(suffix.size());
    return name.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-=") ==
           std::string_view::npos;
}

// PDU files of an earlier run whose kernel module may still be reading them, with the wall
// time from which they may go.
std::vector<std::pair<std::string, std::int64_t>> young_leftovers;
// The least time a leftover PDU file is kept for: a submission waits no longer.
constexpr std::int64_t MIN_LEFTOVER_AGE = 600;

// The wall time after which nobody can be using the PDU file any more: the longest its
// submission may have waited for the kernel module (its time-out plus the grace), counted from
// the file's last change, and at least MIN_LEFTOVER_AGE.
std::int64_t leftover_expiry(const server_config& config, const struct stat& st) {
    const std::int64_t wait = std::max<std::int64_t>(
        MIN_LEFTOVER_AGE, std::int64_t{mm7_kernel_send_timeout(
                              static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0)))} +
                              config.confirm_grace);
    return static_cast<std::int64_t>(st.st_mtime) + wait;
}

// The PDU files of an earlier run are of no use any more once their connections are gone and the
// kernel module can no longer be sending them; younger ones are removed when that time comes.
void remove_leftover_pdu_files(const server_config& config) {
    DIR* dir = opendir(config.workdir.c_str());
    if (dir == nullptr) {
        return;
    }
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    int removed = 0;
    while (dirent* entry = readdir(dir)) {
        struct stat st {};
        if (!is_pdu_file_name(entry->d_name) ||
            fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        const std::int64_t expiry = leftover_expiry(config, st);
        if (expiry > now) {
            young_leftovers.emplace_back(config.workdir + entry->d_name, expiry);
        } else if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    closedir(dir);
    if (removed > 0) {
        log_info("Removed %d PDU files left by an earlier run", removed);
    }
    if (!young_leftovers.empty()) {
        log_printf("%zu PDU files left by an earlier run may still be in use, removing them later",
                   young_leftovers.size());
    }
}

int remove_expired_leftovers(const server_config& config) {
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    int removed = 0;
    std::erase_if(young_leftovers, [&](std::pair<std::string, std::int64_t>& leftover) {
        if (leftover.second > now) {
            return false;
        }
        struct stat st {};
        if (lstat(leftover.first.c_str(), &st) != 0) {
            return true;  // gone already
        }
        leftover.second = leftover_expiry(config, st);
        if (leftover.second > now) {
            return false;  // changed since: its time starts again
        }
        removed += unlink(leftover.first.c_str()) == 0 ? 1 : 0;
        return true;
    });
    if (removed > 0) {
        log_printf("Removed %d PDU files left by an earlier run", removed);
    }
    return 0;
}

}  // namespace

void mm7_server_init(server_config& config, int& server_fd) {
    remove_leftover_pdu_files(config);
    if (!young_leftovers.empty()) {
        mainloop_add_tick([&config] { return remove_expired_leftovers(config); });
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_fatal("Cannot create server socket.");
        std::exit(1);
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        log_fatal("setsockopt(SO_REUSEADDR) failed.");
        std::exit(1);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(config.port));
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc < 0) {
        log_fatal("Cannot bind server socket: %d", rc);
        std::exit(1);
    }
    if (listen(fd, 1000) < 0) {
        log_fatal("Cannot listen on server socket");
        std::exit(1);
    }
    server_fd = fd;
    listener_fd = fd;
    reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    log_info("QZM MM7 server starting on port %d, fd=%d", static_cast<int>(config.port), fd);
    server_config* cfg = &config;
    mainloop_register_fd(fd, MAINLOOP_IN,
                         [cfg](int lfd, int flags) { return HandleNewClient(lfd, flags, *cfg); });
    mm7_server_set_xgate_hooks();
    mm7_server_set_turbo_hooks();
    mainloop_add_tick([cfg] { return mm7_server_tick(*cfg); });
    mainloop_register_fd(config.xgate_fd, MAINLOOP_IN,
                         [cfg](int xfd, int flags) { return xgate_receive(xfd, flags, *cfg); });
}

int HandleNewClient(int fd, int flags, server_config& config) {
    if ((flags & MAINLOOP_IN) == 0) {
        return 0;
    }
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    int client =
        accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            accept_log.printf("Cannot accept socket. Errno: %d (%s)", errno, std::strerror(errno));
            shed_connection(fd);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            log_warning("Cannot accept socket. Errno: %d (%s)", errno, std::strerror(errno));
        }
        return 0;
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    const std::shared_ptr<const vasp_accounts> accounts = mm7_accounts_current();
    if (!vasp_address_allowed(*accounts, address)) {
        unauthorized_log.printf("IP '%s' not authorized, closing connection", address);
        close(client);
        return 0;
    }
    if (client >= MAINLOOP_MAX_FDS || clients.size() + lingering.size() >= MM7_MAX_CLIENTS) {
        // The loop could not serve it, or too many connections are open already (those still
        // delivering a reply count too).
        busy_log.printf("Too many connections, closing fd %d", client);
        close(client);
        turn_away("too many VASP connections");
        return 0;
    }
    if (config.max_conn_per_ip != 0) {
        const auto reading = std::count_if(clients.begin(), clients.end(), [&](const auto& c) {
            return c.second->peer_address == address &&
                   c.second->parser.state() != client_state::DONE;
        });
        if (static_cast<std::size_t>(reading) >= config.max_conn_per_ip) {
            busy_log.printf("Too many requests being read from %s (%u), closing fd %d", address,
                            config.max_conn_per_ip, client);
            close(client);
            turn_away(concat({"too many VASP connections from ", address}));
            return 0;
        }
    }
    const auto open = [&](const vasp_account& account) {
        return static_cast<std::size_t>(
            std::count_if(clients.begin(), clients.end(), [&](const auto& c) {
                const outgoing_mms_info& other = *c.second;
                return other.account != nullptr
                           ? other.account->name == account.name
                           : std::any_of(account.addresses.begin(), account.addresses.end(),
                                         [&](const address_range& r) {
                                             return r.contains(other.peer_address);
                                         });
            }));
    };
    if (!mm7_vasp_connection_allowed(*accounts, address, open)) {
        busy_log.printf("The VASP accounts of %s have all their connections open, closing fd %d",
                        address, client);
        close(client);
        turn_away(concat({"VASP connections from ", address, " at their account's bound"}));
        return 0;
    }
    auto info = std::make_unique<outgoing_mms_info>(config);
    info->fd = client;
    info->last_progress = ticks_now();
    info->accept_tick = info->last_progress;
    info->peer_address = address;
    outgoing_mms_info* raw = info.get();
    clients[client] = std::move(info);
    live_records.insert(raw);
    mainloop_register_fd(client, MAINLOOP_IN, [raw](int cfd, int cflags) {
        return HandleClientInput(cfd, cflags, raw);
    });
    if (!mainloop_is_registered(client)) {
        live_records.erase(raw);
        clients.erase(client);
        close(client);
    } else if (held_total > MM7_MAX_HELD_BYTES) {
        memory_log.printf("Unfinished requests hold %zu bytes, refusing fd %d", held_total, client);
        SendHttpError(raw, "503 Server busy");
        turn_away("unfinished requests hold too much memory");
    }
    return 0;
}

int mm7_server_tick(const server_config& config) {
    if (listener_paused) {
        listener_paused = false;
        mainloop_set_fd_flags(listener_fd, MAINLOOP_IN);
    }
    const std::int64_t now = ticks_now();
    const std::int64_t read_limit =
        static_cast<std::int64_t>(config.read_timeout) * ticks_per_second;
    const std::int64_t request_limit =
        static_cast<std::int64_t>(config.request_timeout) * ticks_per_second;
    std::vector<outgoing_mms_info*> idle;
    struct late_request {
        outgoing_mms_info* info;
        bool in_head;
        std::int64_t seconds;  // it had
    };
    std::vector<late_request> late;
    std::vector<outgoing_mms_info*> overdue;
    for (const auto& [fd, info] : clients) {
        const client_state state = info->parser.state();
        if (state != client_state::DONE) {
            const std::int64_t age = now - info->accept_tick;
            const bool in_head =
                state == client_state::REQUEST_LINE || state == client_state::HTTP_HEADERS;
            if (in_head && age >= MM7_HEAD_SECONDS * ticks_per_second) {
                late.push_back({info.get(), true, MM7_HEAD_SECONDS});
            } else if (config.request_timeout > 0 && age >= request_limit) {
                late.push_back({info.get(), false, config.request_timeout});
            } else if (config.read_timeout > 0 && now - info->last_progress >= read_limit) {
                idle.push_back(info.get());
            }
        } else if (info->call_id != 0 && now - info->confirm_deadline >= 0) {
            overdue.push_back(info.get());
        }
    }
    for (outgoing_mms_info* info : idle) {
        log_printf("Client %d sent nothing for %u s, closing", info->fd, config.read_timeout);
        SendHttpError(info, "408 Request Timeout");
    }
    for (const auto& [info, in_head, seconds] : late) {
        log_printf("Client %d did not complete its request%s within %lld s, closing", info->fd,
                   in_head ? " head" : "", static_cast<long long>(seconds));
        SendHttpError(info, "408 Request Timeout");
    }
    for (outgoing_mms_info* info : overdue) {
        SendConfirmTimeout(info);
    }
    return 0;
}

std::string mm7_server_turning_away() {
    if (turned_away_why.empty() ||
        ticks_now() - turned_away_at >= kTurnedAwaySeconds * ticks_per_second) {
        return {};
    }
    return turned_away_why;
}

FILE* CreateOutputFile(outgoing_mms_info* info) {
    // The name can be foreseen, so the file must be new: an existing file or link of that name
    // is never opened, and the next transaction id is taken instead.
    auto output = std::make_unique<output_file>();
    int fd = -1;
    for (int attempt = 0; attempt < 16; ++attempt) {
        output->transaction_id = generate_transaction_id();
        output->path = info->config->workdir + output->transaction_id + ".mm1";
        fd = open(output->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
        log_printf("%s exists already, taking another name", output->path.c_str());
    }
    if (fd >= 0) {
        output->created = true;
        output->stream.reset(fdopen(fd, "wb"));
        if (!output->stream) {
            close(fd);
        }
    }
    FILE* stream = output->stream.get();
    info->output = std::move(output);
    return stream;
}

void CloseClient(outgoing_mms_info* info) {
    if (info == nullptr) {
        return;
    }
    if (info->call_id != 0) {
        callid_slot& slot = callid_table[info->call_id & (CALLID_TABLE_SIZE - 1)];
        if (slot.client == info) {
            slot = callid_slot{};
        }
    }
    if (info->turbo_request != 0) {
        turbo_mode_forget_client(info);
    }
    if (info->output) {
        info->output->stream.reset();
        if (info->output->created) {
            std::remove(info->output->path.c_str());
        }
    }
    int fd = info->fd;
    held_total -= info->held;
    release_socket(fd, info->peer_gone);
    log_printf("free_outgoing_mms_info");
    live_records.erase(info);
    clients.erase(fd);  // releases the record and everything it owns
}

std::size_t mm7_server_shutdown(server_config& config) {
    listener_paused = false;  // the listener is closed for good
    if (config.server_fd >= 0) {
        if (mainloop_is_registered(config.server_fd)) {
            mainloop_unregister_fd(config.server_fd);
        }
        close(config.server_fd);
        config.server_fd = -1;
    }
    std::vector<outgoing_mms_info*> open;
    open.reserve(clients.size());
    for (auto& [fd, record] : clients) {
        open.push_back(record.get());
    }
    for (outgoing_mms_info* info : open) {
        SendMM7Fault(info, MM7_STATUS_SERVICE_UNAVAILABLE, "Gateway is shutting down");
    }
    return open.size();
}

std::size_t mm7_server_unsent_replies() {
    return outboxes.size();
}

std::size_t mm7_client_count() {
    return clients.size();
}

bool mm7_server_accepting(const server_config& config) {
    return config.server_fd >= 0 && !listener_paused && mainloop_is_registered(config.server_fd);
}

bool mm7_client_exists(const outgoing_mms_info* info) {
    // Compared by address only: the record may already be gone.
    return live_records.count(info) != 0;
}
