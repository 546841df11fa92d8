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

// The TLS session of a socket from the HTTPS port, from accept to close.
struct tls_socket {
    std::unique_ptr<tls_connection> session;
    bool handshaken = false;
    bool read_waits_for_write = false;  // a read must be made again once the socket is writable
    bool write_waits_for_read = false;  // a write must be made again once it is readable
    bool ended = false;                 // the end of the input came behind data not yet taken
    int handshake_flags = MAINLOOP_IN;  // what the socket is registered for while handshaking
};
std::unordered_map<int, tls_socket> tls_sockets;

tls_socket* tls_of(int fd) {
    auto it = tls_sockets.find(fd);
    return it != tls_sockets.end() ? &it->second : nullptr;
}

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
int tls_listener_fd = -1;  // the HTTPS port: the MM7 port itself, or the one beside it
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
log_limiter handshake_log(10, 5);

// Encrypts as much of data as the peer takes now.  What waits is offered again, from the same
// bytes, by the next call (the outbox keeps them).
long tls_send(tls_socket& tls, byte_view data) {
    std::size_t sent = 0;
    tls.write_waits_for_read = false;
    while (sent < data.size()) {
        std::size_t n = 0;
        switch (tls.session->write(data.subspan(sent), n)) {
            case tls_state::done:
                sent += n;
                break;
            case tls_state::want_read:
                tls.write_waits_for_read = true;
                return static_cast<long>(sent);
            case tls_state::want_write:
                return static_cast<long>(sent);
            case tls_state::closed:
            case tls_state::failed:
                return -1;
        }
    }
    return static_cast<long>(sent);
}

// Sends as much of data as the peer takes now: the count sent, or -1 when the peer is gone.
long send_now(int fd, byte_view data) {
    if (tls_socket* tls = tls_of(fd)) {
        return tls_send(*tls, data);
    }
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
    tls_sockets.erase(fd);
    if (mainloop_is_registered(fd)) {
        mainloop_unregister_fd(fd);
    }
    close(fd);
}

// Ends what the daemon sends on a socket: close_notify first over TLS, then the write side of
// the connection.  False while close_notify waits for room in the socket.
bool end_output(int fd) {
    if (tls_socket* tls = tls_of(fd);
        tls != nullptr && tls->session->shutdown() == tls_state::want_write) {
        return false;
    }
    shutdown(fd, SHUT_WR);
    return true;
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
        if (!end_output(fd)) {
            return 0;  // close_notify waits for room
        }
        it->second.shut = true;
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
    const tls_socket* tls = tls_of(fd);
    if (peer_gone || (tls != nullptr && !tls->handshaken)) {
        // Nothing can reach the peer: it is gone, or its handshake never ended.
        outboxes.erase(fd);
        tls_sockets.erase(fd);
        close(fd);
        return;
    }
    lingering_socket state;
    state.deadline = ticks_now() + kLingerSeconds * ticks_per_second;
    state.shut = outboxes.count(fd) == 0 && end_output(fd);
    lingering[fd] = state;
    if (!linger_tick_added) {
        linger_tick_added = true;
        mainloop_add_tick(expire_lingering);
    }
    mainloop_register_fd(fd, state.shut ? MAINLOOP_IN : (MAINLOOP_IN | MAINLOOP_OUT),
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
    for (int fd : {listener_fd, tls_listener_fd}) {
        if (fd >= 0) {
            mainloop_set_fd_flags(fd, 0);
        }
    }
}

}  // namespace

// ---- writing to VASP sockets ----

void mm7_socket_write(int fd, byte_view data) {
    if (data.empty() || fd < 0) {
        return;
    }
    if (const tls_socket* tls = tls_of(fd); tls != nullptr && !tls->handshaken) {
        return;  // nothing can be said before the handshake ends: the connection just ends
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
    return flags | mm7_socket_tls_wants(info->fd);
}

ssize_t mm7_socket_read(int fd, std::span<std::uint8_t> into) {
    tls_socket* tls = tls_of(fd);
    if (tls == nullptr) {
        return recv(fd, into.data(), into.size(), 0);
    }
    tls->read_waits_for_write = false;
    if (std::exchange(tls->ended, false)) {
        return 0;
    }
    // Records until the buffer is full or the socket has no more.
    std::size_t total = 0;
    for (;;) {
        std::size_t n = 0;
        const tls_state state =
            total < into.size() ? tls->session->read(into.subspan(total), n) : tls_state::done;
        if (state == tls_state::done && n > 0) {
            total += n;
            continue;
        }
        tls->read_waits_for_write = state == tls_state::want_write;
        if (total > 0 || state == tls_state::done) {
            tls->ended = state == tls_state::closed || state == tls_state::failed;
            return static_cast<ssize_t>(total);
        }
        switch (state) {
            case tls_state::closed:
                log_printf("TLS input of fd %d ended: %s", fd, tls->session->error().c_str());
                return 0;
            case tls_state::failed:
                log_printf("TLS input of fd %d failed: %s", fd, tls->session->error().c_str());
                errno = ECONNRESET;
                return -1;
            default:
                errno = EAGAIN;
                return -1;
        }
    }
}

bool mm7_socket_buffered(int fd) {
    const tls_socket* tls = tls_of(fd);
    return tls != nullptr && tls->handshaken && (tls->ended || tls->session->buffered());
}

int mm7_socket_tls_wants(int fd) {
    const tls_socket* tls = tls_of(fd);
    if (tls == nullptr) {
        return 0;
    }
    return (tls->read_waits_for_write ? MAINLOOP_OUT : 0) |
           (tls->write_waits_for_read ? MAINLOOP_IN : 0);
}

bool mm7_socket_handshaking(int fd) {
    const tls_socket* tls = tls_of(fd);
    return tls != nullptr && !tls->handshaken;
}

bool mm7_socket_handshake(outgoing_mms_info* info) {
    const int fd = info->fd;
    tls_socket& tls = tls_sockets.at(fd);
    tls_connection& session = *tls.session;
    // The registration changes only when the direction the handshake waits in does.
    auto wait_for = [&](int flags) {
        if (std::exchange(tls.handshake_flags, flags) != flags) {
            mainloop_set_fd_flags(fd, flags);
        }
    };
    const tls_state state = session.handshake();
    const bool session_ended = state == tls_state::closed;
    switch (state) {
        case tls_state::done:
            break;
        case tls_state::want_read:
            wait_for(MAINLOOP_IN);
            return false;
        case tls_state::want_write:
            wait_for(MAINLOOP_OUT);
            return false;
        case tls_state::closed:
        case tls_state::failed: {
            handshake_log.printf("TLS handshake with %s on fd %d failed: %s",
                                 info->peer_address.c_str(), fd, session.error().c_str());
            const bool plain_http = session.plain_http();
            // What follows is said in the clear, if anything: OpenSSL has sent its alert, and the
            // socket lingers as any other so that the close does not reset the alert away.
            tls_sockets.erase(fd);
            if (plain_http) {
                SendHttpError(info, "400 Plain HTTP sent to the HTTPS port");
            } else {
                info->peer_gone = info->peer_gone || session_ended;
                CloseClient(info);
            }
            return false;
        }
    }
    tls.handshaken = true;
    log_printf("%s from %s on fd %d%s", session.protocol().c_str(), info->peer_address.c_str(), fd,
               session.resumed() ? ", session resumed" : "");
    if (mm7_tls_asks_client_certificate(*info->config)) {
        std::string names;
        for (const std::string& name : session.peer_names()) {
            names += (names.empty() ? "" : ", ") + name;
        }
        log_info("TLS client %s on fd %d: subject %s, names %s", info->peer_address.c_str(), fd,
                 log_escape(session.peer_subject()).c_str(),
                 names.empty() ? "-" : log_escape(names).c_str());
    }
    wait_for(mm7_client_flags(info));
    return true;
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

// PDU files the kernel module may still be reading, with the wall time from which they may go
// and whether an earlier run left them (else a submission stopped waiting for its confirmation).
struct young_leftover {
    std::string path;
    std::int64_t expiry;
    bool earlier_run;
};
std::vector<young_leftover> young_leftovers;
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
            young_leftovers.push_back({config.workdir + entry->d_name, expiry, true});
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
    int removed[2] = {0, 0};
    std::erase_if(young_leftovers, [&](young_leftover& leftover) {
        if (leftover.expiry > now) {
            return false;
        }
        struct stat st {};
        if (lstat(leftover.path.c_str(), &st) != 0) {
            return true;  // gone already
        }
        leftover.expiry = leftover_expiry(config, st);
        if (leftover.expiry > now) {
            return false;  // changed since: its time starts again
        }
        removed[leftover.earlier_run ? 1 : 0] += unlink(leftover.path.c_str()) == 0 ? 1 : 0;
        return true;
    });
    if (removed[1] > 0) {
        log_printf("Removed %d PDU files left by an earlier run", removed[1]);
    }
    if (removed[0] > 0) {
        log_printf("Removed %d PDU files of unconfirmed submissions", removed[0]);
    }
    return 0;
}

}  // namespace

void mm7_remove_pdu_file_later(const server_config& config, const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        young_leftovers.push_back({path, leftover_expiry(config, st), false});
    }
}

namespace {

// A listening socket on the port; every failure ends the process.
int open_listener(std::uint32_t port) {
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
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc < 0) {
        log_fatal("Cannot bind server socket: %d", rc);
        std::exit(1);
    }
    if (listen(fd, 1000) < 0) {
        log_fatal("Cannot listen on server socket");
        std::exit(1);
    }
    return fd;
}

}  // namespace

void mm7_server_init(server_config& config, int& server_fd) {
    remove_leftover_pdu_files(config);
    mainloop_add_tick([&config] { return remove_expired_leftovers(config); });
    const int fd = open_listener(config.port);
    server_fd = fd;
    listener_fd = fd;
    reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    log_info("QZM MM7 server starting on port %d, fd=%d", static_cast<int>(config.port), fd);
    server_config* cfg = &config;
    auto accept_handler = [cfg](int lfd, int flags) { return HandleNewClient(lfd, flags, *cfg); };
    mainloop_register_fd(fd, MAINLOOP_IN, accept_handler);
    if (mm7_tls_context() != nullptr) {
        tls_listener_fd = config.tls_port != 0 ? open_listener(config.tls_port) : fd;
        if (tls_listener_fd != fd) {
            mainloop_register_fd(tls_listener_fd, MAINLOOP_IN, accept_handler);
        }
        log_info("HTTPS on port %d, fd=%d",
                 static_cast<int>(config.tls_port != 0 ? config.tls_port : config.port),
                 tls_listener_fd);
    }
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
    std::unique_ptr<tls_connection> session;
    if (fd == tls_listener_fd) {
        std::string error;
        session = tls_connection::server(*mm7_tls_context(), client, error);
        if (!session) {
            log_error("Cannot begin TLS on fd %d: %s", client, error.c_str());
            close(client);
            return 0;
        }
    }
    auto info = std::make_unique<outgoing_mms_info>(config);
    info->fd = client;
    info->last_progress = ticks_now();
    info->accept_tick = info->last_progress;
    info->peer_address = address;
    outgoing_mms_info* raw = info.get();
    clients[client] = std::move(info);
    live_records.insert(raw);
    if (session) {
        tls_sockets[client].session = std::move(session);
    }
    mainloop_register_fd(client, MAINLOOP_IN, [raw](int cfd, int cflags) {
        return HandleClientInput(cfd, cflags, raw);
    });
    mainloop_limit_lines(client,
                         std::make_shared<log_budget>(
                             concat({"VASP request from ", address, " on fd ", itoa_dec(client)})));
    if (!mainloop_is_registered(client)) {
        live_records.erase(raw);
        clients.erase(client);
        tls_sockets.erase(client);
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
        for (int fd : {listener_fd, tls_listener_fd}) {
            if (fd >= 0) {
                mainloop_set_fd_flags(fd, MAINLOOP_IN);
            }
        }
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
    std::vector<outgoing_mms_info*> handshaking;
    for (const auto& [fd, info] : clients) {
        const client_state state = info->parser.state();
        const std::int64_t age = now - info->accept_tick;
        if (mm7_socket_handshaking(fd)) {
            if (age >= MM7_TLS_HANDSHAKE_SECONDS * ticks_per_second) {
                handshaking.push_back(info.get());
            }
        } else if (state != client_state::DONE) {
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
    for (outgoing_mms_info* info : handshaking) {
        handshake_log.printf("TLS handshake with %s on fd %d not done within %lld s, closing",
                             info->peer_address.c_str(), info->fd,
                             static_cast<long long>(MM7_TLS_HANDSHAKE_SECONDS));
        info->peer_gone = true;
        CloseClient(info);
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
    if (tls_listener_fd == config.server_fd) {
        tls_listener_fd = -1;  // the same socket
    }
    for (int* fd : {&config.server_fd, &tls_listener_fd}) {
        if (*fd >= 0) {
            if (mainloop_is_registered(*fd)) {
                mainloop_unregister_fd(*fd);
            }
            close(*fd);
            *fd = -1;
        }
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

std::vector<std::string> mm7_client_certificate_names(int fd) {
    std::vector<std::string> names;
    const auto it = tls_sockets.find(fd);
    if (it == tls_sockets.end() || !it->second.session || !it->second.handshaken) {
        return names;
    }
    const tls_connection& session = *it->second.session;
    if (std::string subject = session.peer_subject(); !subject.empty()) {
        names.push_back(std::move(subject));
        for (std::string& name : session.peer_names()) {
            names.push_back(std::move(name));
        }
    }
    return names;
}
