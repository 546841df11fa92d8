// The kernel module link: xgate message format and the UDP socket.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/string_utils.h"

inline constexpr std::uint32_t XGATE_CONNECT_REQ = 9;
inline constexpr std::uint32_t XGATE_CONNECT_CNF = 10;  // accepted and ignored
inline constexpr std::uint32_t MMS_SENDMMS_REQ = 67;
inline constexpr std::uint32_t MMS_SENDMMS_RESULT_IND = 68;
inline constexpr std::uint32_t MMS_MMSRCV_IND = 70;
inline constexpr std::uint32_t MMS_MMSGET_IND = 72;
inline constexpr std::uint32_t MMS_SENDMMS_TIMEOUT_IND = 73;
inline constexpr std::uint32_t MMS_SENDMMS_CNF = 0x8043;

inline constexpr std::uint16_t XGATE_LOCAL_PORT = 57444;   // the daemon's end
inline constexpr std::uint16_t XGATE_KERNEL_PORT = 57445;  // the kernel module's end
inline constexpr std::size_t XGATE_MAX_DATAGRAM = 4096;

// MMS_MMSRCV_IND flags: what the data field holds.
inline constexpr std::uint32_t MMSRCV_FLAG_PDU = 1;
inline constexpr std::uint32_t MMSRCV_FLAG_URL = 2;
inline constexpr std::uint32_t MMSRCV_FLAG_FILE = 4;

// One parsed kernel module message.
struct xgate_message {
    std::uint32_t kind = 0;
    std::uint32_t word2 = 0;         // second header word
    std::uint32_t frame_length = 0;  // 12 + payload length
    std::uint32_t call_id = 0;       // kinds 73 and 0x8043, else 0
    std::string imsi;                // at most 15 characters
    std::uint32_t port = 0;
    std::uint32_t flags = 0;
    std::string recipient;  // at most 99 characters
    std::string sender;     // at most 103 characters
    buffer data;            // kind 70
    std::uint32_t status = 0;
    std::uint32_t cause = 0;
    std::uint32_t timeout = 0;
    buffer pdu;  // kind 0x8043
    // Set when the frame's own lengths disagree with its size (too short for the fixed fields
    // of its kind, or R/S/D/P reaching past its end).  Such a record carries only the header
    // fields; the receiver skips it and goes on with the next frame.
    bool malformed = false;
};

// Frame builders.
buffer xgate_frame(std::uint32_t kind, byte_view payload);
buffer xgate_build_connect_req();
// Moves the call id counter to a value taken from the clock, so that the ids of a new run do not
// repeat those of the run before it (whose late answers may still arrive).
void xgate_seed_call_id();
// Takes the next call id (the first is 1 unless seeded) and stores it in call_id.  Absent texts are
// nullopt.
buffer xgate_build_sendmms_req(std::uint32_t timeout, opt_view recipient, opt_view sender,
                               opt_view application, opt_view file, std::uint32_t& call_id);
buffer xgate_build_sendmms_result_ind(std::string_view imsi, std::uint32_t word1,
                                      std::uint32_t word2, std::uint32_t result,
                                      std::uint32_t cause, std::uint32_t port);

// Parses the frame at offset; nullptr when no complete frame starts there.  Texts are cut at
// their first zero byte and at their room (IMSI 15, recipient 99, sender 103 characters); data
// and PDU hold exactly D and P bytes (use as_text() for a URL or a path).
std::unique_ptr<xgate_message> ParseXgateMessage(byte_view datagram, std::uint32_t offset);

// ---- the link ----

struct outgoing_mms_info;  // a VASP connection waiting for the kernel (owned by the MM7 server)

// Submissions waiting for the kernel module, by call id modulo the table size.  A slot remembers
// the call id it was filed under, so a message is only ever routed to the connection that made
// its call.  The table has more slots than the server allows connections, and a request whose
// slot is taken moves on to the next call id, so the table is never what limits submissions.
inline constexpr std::size_t CALLID_TABLE_SIZE = 2048;
struct callid_slot {
    std::uint32_t call_id = 0;
    outgoing_mms_info* client = nullptr;
};
extern std::array<callid_slot, CALLID_TABLE_SIZE> callid_table;

// What the link hands to the MM7 server.  Until the server sets them, messages are logged and
// dropped.
struct xgate_hooks {
    std::function<int(outgoing_mms_info*)> client_fd;  // for "Found client fd %d by callid %d"
    // MMS_SENDMMS_TIMEOUT_IND for a waiting connection (after "MMS_SENDMMS_CNF received,
    // timeout=%d" is logged).
    std::function<void(outgoing_mms_info*, const xgate_message&)> on_timeout_ind;
    // MMS_SENDMMS_CNF for a waiting connection (after "MMS_SENDMMS_CNF received" is logged).
    std::function<void(outgoing_mms_info*, const xgate_message&)> on_send_cnf;
    // MMS_SENDMMS_CNF whose call id no connection waits for (after "Not found client fd by
    // callid %d" is logged), e.g. one that arrives after its submission gave up waiting.
    std::function<void(const xgate_message&)> on_orphan_cnf;
    // MMS_MMSRCV_IND (after "MMS_MMSRCV_IND received" is logged).
    std::function<void(const xgate_message&, server_config&)> on_mms_rcv_ind;
};
extern xgate_hooks xgate_hooks_table;

// Opens the socket, announces the daemon and stores the descriptor; exits with 1 on failure.
void xgate_open(server_config& config, int& fd);
// Event-loop handler of the socket: drains what is waiting, up to a bound per wake.  Datagrams
// from anywhere but the kernel module's address, or from a socket there that does not belong to
// config.kernel_uid, are dropped; empty ones are ignored.  Always 0 (exits with 1 on a failed
// receive).
int xgate_receive(int fd, int flags, server_config& config);
// Sends a frame to the kernel module (127.0.0.1:57445), without
// logging (callers log what they send).  Returns the result of sendto.
long xgate_send(int fd, byte_view frame);

// ---- who holds a UDP port ----

// The users owning every UDP socket on this host that can send from address:port (IPv4 address
// in network byte order): sockets bound to it or to the wildcard, IPv6 ones included.  Asked of
// the kernel over sock_diag, or read from /proc/net/udp{,6}; nullopt when neither answers.
std::optional<std::vector<std::uint32_t>> udp_socket_owners(std::uint32_t address,
                                                            std::uint16_t port);
// The same from the text of /proc/net/udp (v6 false) or /proc/net/udp6 (v6 true).
std::vector<std::uint32_t> udp_table_owners(std::string_view table, bool v6, std::uint32_t address,
                                            std::uint16_t port);
