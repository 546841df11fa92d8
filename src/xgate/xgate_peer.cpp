// Who holds a UDP port on this host: the kernel's socket tables, asked over sock_diag netlink,
// or read from /proc/net/udp and /proc/net/udp6 where netlink cannot answer.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "xgate/xgate.h"

namespace {

// A socket whose local address is `local` (four 32-bit words as the kernel keeps them, IPv4 in
// the first) can send from `address` (IPv4, network byte order): bound to it or to the wildcard,
// directly or as an IPv4-mapped IPv6 address.
bool can_send_from(bool v6, const std::array<std::uint32_t, 4>& local, std::uint32_t address) {
    if (!v6) {
        return local[0] == address || local[0] == 0;
    }
    if (local[0] != 0 || local[1] != 0) {
        return false;
    }
    if (local[2] == 0) {
        return local[3] == 0;  // [::]
    }
    return local[2] == htonl(0xFFFF) && (local[3] == address || local[3] == 0);
}

class netlink_socket {
  public:
    netlink_socket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
    netlink_socket(const netlink_socket&) = delete;
    netlink_socket& operator=(const netlink_socket&) = delete;
    ~netlink_socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Asks the kernel for every UDP socket of a family; false when it cannot answer.
bool diag_owners(bool v6, std::uint32_t address, std::uint16_t port,
                 std::vector<std::uint32_t>& owners) {
    netlink_socket nl;
    if (nl.get() < 0) {
        return false;
    }
    // The kernel answers at once; the bound only guards against one that never does.
    const timeval wait{1, 0};
    (void)setsockopt(nl.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.header.nlmsg_seq = 1;
    query.request.sdiag_family = v6 ? AF_INET6 : AF_INET;
    query.request.sdiag_protocol = IPPROTO_UDP;
    query.request.idiag_states = ~0U;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl.get(), &query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof query)) {
        return false;
    }
    std::vector<std::uint32_t> found;
    alignas(nlmsghdr) std::array<char, 32768> reply{};
    for (;;) {
        ssize_t received = recv(nl.get(), reply.data(), reply.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return false;
        }
        int left = static_cast<int>(received);
        for (auto* h = reinterpret_cast<nlmsghdr*>(reply.data()); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                owners.insert(owners.end(), found.begin(), found.end());
                return true;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                return false;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                continue;
            }
            inet_diag_msg socket_info{};
            std::memcpy(&socket_info, NLMSG_DATA(h), sizeof socket_info);
            std::array<std::uint32_t, 4> local{};
            std::memcpy(local.data(), socket_info.id.idiag_src, sizeof local);
            if (ntohs(socket_info.id.idiag_sport) == port && can_send_from(v6, local, address)) {
                found.push_back(socket_info.idiag_uid);
            }
        }
    }
}

}  // namespace

std::vector<std::uint32_t> udp_table_owners(std::string_view table, bool v6, std::uint32_t address,
                                            std::uint16_t port) {
    std::vector<std::uint32_t> owners;
    const std::size_t address_digits = v6 ? 32 : 8;
    while (!table.empty()) {
        std::size_t end = table.find('\n');
        const std::string line(table.substr(0, end));
        table.remove_prefix(end == std::string_view::npos ? table.size() : end + 1);
        // "sl: local:port remote:port st tx:rx tr:when retrnsmt uid ..."
        char local_hex[33] = {};
        unsigned local_port = 0;
        unsigned uid = 0;
        if (std::sscanf(line.c_str(), " %*u: %32[0-9A-Fa-f]:%4X %*s %*X %*X:%*X %*X:%*X %*X %u",
                        local_hex, &local_port, &uid) != 3 ||
            std::strlen(local_hex) != address_digits || local_port != port) {
            continue;
        }
        // Each group of eight digits is one 32-bit word as the kernel holds it.
        std::array<std::uint32_t, 4> local{};
        for (std::size_t word = 0; word < address_digits / 8; ++word) {
            const std::string digits(local_hex + word * 8, 8);
            local[word] = static_cast<std::uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
        }
        if (can_send_from(v6, local, address)) {
            owners.push_back(uid);
        }
    }
    return owners;
}

std::optional<std::vector<std::uint32_t>> udp_socket_owners(std::uint32_t address,
                                                            std::uint16_t port) {
    std::vector<std::uint32_t> owners;
    for (const bool v6 : {false, true}) {
        if (diag_owners(v6, address, port, owners)) {
            continue;
        }
        std::ifstream table(v6 ? "/proc/net/udp6" : "/proc/net/udp");
        if (!table) {
            if (!v6) {
                return std::nullopt;
            }
            continue;  // a host without IPv6
        }
        const std::string text{std::istreambuf_iterator<char>(table),
                               std::istreambuf_iterator<char>()};
        for (std::uint32_t uid : udp_table_owners(text, v6, address, port)) {
            owners.push_back(uid);
        }
    }
    return owners;
}
