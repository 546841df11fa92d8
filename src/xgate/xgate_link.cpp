// The UDP link to the kernel module: open, announce, receive and route, send.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "core/metrics.h"
#include "xgate/xgate.h"

std::array<callid_slot, CALLID_TABLE_SIZE> callid_table{};
xgate_hooks xgate_hooks_table;

namespace {

// The kernel module's address: where frames go, and the only source whose datagrams are heard.
sockaddr_in kernel_address{};
socklen_t kernel_address_length = sizeof kernel_address;

// The socket's receive buffer is asked for this much: a burst of confirmations (each small
// datagram is charged several hundred bytes) must not overflow it while the loop is busy.
constexpr int RECEIVE_BUFFER_SIZE = 8 << 20;
// Datagrams handled per wake, so that a flood on the link cannot starve the VASP connections.
constexpr int DATAGRAMS_PER_WAKE = 256;

// Lines a datagram can make, each of them as often as datagrams come.
log_limiter foreign_log(5, 60);
log_limiter malformed_log(5, 60);
log_limiter unmatched_log(5, 60);

// The kernel's answer on who owns the socket datagrams come from holds this long: for a socket
// of the kernel module's user a second, for any other a tenth of one, so that the module's
// first datagrams after it has taken its port back are heard.
constexpr std::int64_t OWNER_TRUSTED_MS = 1000;
constexpr std::int64_t OWNER_REFUSED_MS = 100;

// The last answer, for the peer it was asked for.
struct owner_answer {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::int64_t asked_ms = 0;
    bool valid = false;
    std::string refusal;  // "" for a socket of the kernel module's user
};
owner_answer last_owner;

// One datagram at a time.
std::array<std::uint8_t, XGATE_MAX_DATAGRAM> receive_buffer{};

// Characters of a datagram's hex dump in the log.
constexpr std::size_t DUMP_SIZE = 1000;
constexpr unsigned DUMP_BYTES_PER_LINE = 16;

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void drop(const xgate_message& msg) {
    log_printf("%s: no handler for message %u, dropped", "xgate_receive", msg.kind);
}

// A message that answers a request: it goes to the connection that made exactly this call.
void route_to_client(const xgate_message& msg) {
    const callid_slot& slot = callid_table[msg.call_id % CALLID_TABLE_SIZE];
    if (slot.client == nullptr || slot.call_id != msg.call_id) {
        metrics_add("mm7_kernel_unmatched_total");
        unmatched_log.printf("Not found client fd by callid %u", msg.call_id);
        if (msg.kind == MMS_SENDMMS_CNF && xgate_hooks_table.on_orphan_cnf) {
            xgate_hooks_table.on_orphan_cnf(msg);
        }
        return;
    }
    outgoing_mms_info* client = slot.client;
    const int client_fd = xgate_hooks_table.client_fd ? xgate_hooks_table.client_fd(client) : -1;
    log_printf("Found client fd %d by callid %u", client_fd, msg.call_id);
    switch (msg.kind) {
        case MMS_SENDMMS_TIMEOUT_IND:
            log_printf("MMS_SENDMMS_CNF received, timeout=%u", msg.timeout);
            if (xgate_hooks_table.on_timeout_ind) {
                xgate_hooks_table.on_timeout_ind(client, msg);
            } else {
                drop(msg);
            }
            break;
        case MMS_SENDMMS_CNF:
            log_printf("MMS_SENDMMS_CNF received");
            if (xgate_hooks_table.on_send_cnf) {
                xgate_hooks_table.on_send_cnf(client, msg);
            } else {
                drop(msg);
            }
            break;
        default:
            break;
    }
}

void dispatch(const xgate_message& msg, server_config& config) {
    if (msg.malformed) {
        return;  // already logged by the parser
    }
    if (msg.call_id != 0) {
        route_to_client(msg);
        return;
    }
    switch (msg.kind) {
        case MMS_MMSRCV_IND:
            log_printf("MMS_MMSRCV_IND received");
            if (xgate_hooks_table.on_mms_rcv_ind) {
                xgate_hooks_table.on_mms_rcv_ind(msg, config);
            } else {
                drop(msg);
            }
            break;
        case MMS_MMSGET_IND:
            log_printf("MMS_MMSGET_IND received, ignoring");
            break;
        default:
            break;
    }
}

}  // namespace

void xgate_open(server_config& config, int& fd) {
    log_info("gateway serial: %s", config.gw_serial.c_str());
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log_fatal("Cannot create xgate socket.");
        std::exit(1);
    }
    const int one = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    // Beyond the system's limit only with privilege; otherwise as much as the limit allows.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &RECEIVE_BUFFER_SIZE,
                   sizeof RECEIVE_BUFFER_SIZE) != 0) {
        (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER_SIZE,
                         sizeof RECEIVE_BUFFER_SIZE);
    }
    int granted = 0;
    socklen_t granted_length = sizeof granted;
    (void)getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &granted_length);
    log_printf("Kernel link receive buffer: %d bytes", granted);

    const sockaddr_in local = loopback_address(XGATE_LOCAL_PORT);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int err = errno;
        log_fatal("Cannot bind socket. Errno: %d (%s)", err, std::strerror(err));
        close(sock);
        std::exit(1);
    }

    const buffer announce = xgate_build_connect_req();
    log_info("Connected to kernel module fd=%d", sock);
    int nonblocking = 1;
    (void)ioctl(sock, FIONBIO, &nonblocking);

    kernel_address = loopback_address(XGATE_KERNEL_PORT);
    kernel_address_length = sizeof kernel_address;
    (void)sendto(sock, announce.data(), announce.size(), 0,
                 reinterpret_cast<const sockaddr*>(&kernel_address), kernel_address_length);
    xgate_seed_call_id();
    fd = sock;
    metrics_describe("mm7_kernel_datagrams_received_total", metric_type::counter,
                     "Datagrams received from the kernel module.");
    metrics_describe("mm7_kernel_datagrams_sent_total", metric_type::counter,
                     "Datagrams sent to the kernel module, the announcement included.");
    metrics_describe("mm7_kernel_foreign_datagrams_total", metric_type::counter,
                     "Datagrams from anywhere but the kernel module (another address, or a socket "
                     "of another user), dropped.");
    metrics_describe(
        "mm7_kernel_unmatched_total", metric_type::counter,
        "Confirmations and interim indications whose call id no submission waits for.");
    metrics_add("mm7_kernel_datagrams_received_total", {}, 0);
    metrics_add("mm7_kernel_datagrams_sent_total", {}, 1);  // the announcement
    metrics_add("mm7_kernel_foreign_datagrams_total", {}, 0);
    metrics_describe("mm7_kernel_malformed_datagrams_total", metric_type::counter,
                     "Datagrams from the kernel module that are empty or hold a frame that is "
                     "malformed or incomplete; the whole frames in them are handled.");
    metrics_add("mm7_kernel_malformed_datagrams_total", {}, 0);
    metrics_add("mm7_kernel_unmatched_total", {}, 0);
}

namespace {

std::int64_t monotonic_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Why the socket that sent from source is not the kernel module's, "" when it is: every socket
// on this host that could have sent from that address must belong to the kernel module's user.
// Anyone may bind the module's port while the module does not hold it.
std::string owner_refusal(const sockaddr_in& source, std::uint32_t kernel_uid) {
    const std::int64_t now = monotonic_ms();
    const std::uint16_t port = ntohs(source.sin_port);
    if (last_owner.valid && last_owner.address == source.sin_addr.s_addr &&
        last_owner.port == port &&
        now - last_owner.asked_ms <
            (last_owner.refusal.empty() ? OWNER_TRUSTED_MS : OWNER_REFUSED_MS)) {
        return last_owner.refusal;
    }
    std::string refusal;
    const auto owners = udp_socket_owners(source.sin_addr.s_addr, port);
    if (!owners) {
        refusal = "the owner of its socket cannot be found out";
    } else if (owners->empty()) {
        refusal = "no socket holds that address";
    }
    for (std::uint32_t uid : owners.value_or(std::vector<std::uint32_t>())) {
        if (uid != kernel_uid) {
            refusal = "its socket belongs to uid " + std::to_string(uid);
            break;
        }
    }
    last_owner = {source.sin_addr.s_addr, port, now, true, refusal};
    return refusal;
}

bool from_kernel_module(const sockaddr_in& source, socklen_t length) {
    return length == sizeof source && source.sin_family == AF_INET &&
           source.sin_addr.s_addr == htonl(INADDR_LOOPBACK) &&
           source.sin_port == htons(XGATE_KERNEL_PORT);
}

// Receives and handles one datagram: false when none is waiting.
bool receive_one(int fd, server_config& config) {
    sockaddr_in source{};
    socklen_t source_length;
    ssize_t received;
    do {
        source_length = sizeof source;
        // MSG_TRUNC: the result is the datagram's real size even when it is longer than the buffer.
        received = recvfrom(fd, receive_buffer.data(), receive_buffer.size(), MSG_TRUNC,
                            reinterpret_cast<sockaddr*>(&source), &source_length);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return false;
    }
    if (received >= 0 && !from_kernel_module(source, source_length)) {
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &source.sin_addr, address, sizeof address);
        metrics_add("mm7_kernel_foreign_datagrams_total");
        foreign_log.printf("Datagram of %d bytes from %s:%d is not from the kernel module, dropped",
                           static_cast<int>(received), address, ntohs(source.sin_port));
        return true;
    }
    if (received < 0) {
        log_fatal("Kernel disconnected ");
        std::exit(1);
    }
    if (std::string why = owner_refusal(source, config.kernel_uid); !why.empty()) {
        metrics_add("mm7_kernel_foreign_datagrams_total");
        foreign_log.printf(
            "Datagram of %d bytes from 127.0.0.1:%d is not from the kernel module (%s), dropped",
            static_cast<int>(received), ntohs(source.sin_port), why.c_str());
        return true;
    }
    if (received == 0) {
        metrics_add("mm7_kernel_malformed_datagrams_total");
        malformed_log.printf("Empty datagram from the kernel module, ignored");
        return true;
    }
    if (static_cast<std::size_t>(received) > receive_buffer.size()) {
        malformed_log.printf("Datagram of %d bytes cut to %zu", static_cast<int>(received),
                             receive_buffer.size());
        received = static_cast<ssize_t>(receive_buffer.size());
    }

    const byte_view datagram(receive_buffer.data(), static_cast<std::size_t>(received));
    log_printf("Received %d bytes from kernel", static_cast<int>(received));
    metrics_add("mm7_kernel_datagrams_received_total");
    if (log_enabled(log_level::debug)) {
        log_printf("\n%s", hexdump(datagram, DUMP_SIZE, DUMP_BYTES_PER_LINE).c_str());
    }

    std::uint32_t offset = 0;
    bool malformed = false;
    while (auto msg = ParseXgateMessage(datagram, offset)) {
        malformed = malformed || msg->malformed;
        dispatch(*msg, config);
        offset += msg->frame_length;
    }
    if (offset < datagram.size()) {
        malformed = true;
        malformed_log.printf(
            "Datagram of %d bytes from the kernel module: %d bytes after its "
            "last whole frame ignored",
            static_cast<int>(datagram.size()), static_cast<int>(datagram.size() - offset));
    }
    if (malformed) {
        metrics_add("mm7_kernel_malformed_datagrams_total");
    }
    return true;
}

}  // namespace

int xgate_receive(int fd, int /*flags*/, server_config& config) {
    for (int i = 0; i < DATAGRAMS_PER_WAKE && receive_one(fd, config); ++i) {
    }
    return 0;
}

long xgate_send(int fd, byte_view frame) {
    metrics_add("mm7_kernel_datagrams_sent_total");
    return static_cast<long>(sendto(fd, frame.data(), frame.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&kernel_address),
                                    kernel_address_length));
}
