// Pieces of the MM7 server shared between its source files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/string_utils.h"
#include "core/tls.h"
#include "mm7/accounts/mm7_accounts.h"

// Seconds the kernel module is given to send a PDU of this size.
inline std::uint32_t mm7_kernel_send_timeout(std::uint64_t pdu_size) {
    return static_cast<std::uint32_t>(pdu_size / 6500 + 15);
}

// Writes to a VASP socket without blocking: what the peer does not take now is queued and
// finished from the event loop, also after the connection has been closed.
void mm7_socket_write(int fd, byte_view data);
inline void mm7_socket_write(int fd, std::string_view text) {
    mm7_socket_write(fd, as_bytes(text));
}
// Continues a queued write; false when the peer is gone.
bool mm7_socket_flush(int fd);
// Reads from a VASP socket, through TLS on the HTTPS port: the count read, 0 at the end of the
// input, or -1 with errno (EAGAIN: nothing now).
ssize_t mm7_socket_read(int fd, std::span<std::uint8_t> into);
// Input held inside TLS that the socket will not signal.
bool mm7_socket_buffered(int fd);
// The event-loop flags a waiting TLS call of the socket needs besides the usual ones.
int mm7_socket_tls_wants(int fd);
// True while the socket's TLS handshake is under way.
bool mm7_socket_handshaking(int fd);
// The context new TLS connections begin with; null without TLS.
const tls_context* mm7_tls_context();
bool mm7_tls_asks_client_certificate(const server_config& config);
// Connects the kernel link's messages to the waiting connections.
void mm7_server_set_xgate_hooks();
// Connects turbo mode's answers to the waiting connections.
void mm7_server_set_turbo_hooks();

struct server_config;
// Removes the PDU file of a submission that stopped waiting for its confirmation once the
// kernel module can no longer be reading it (as files an earlier run left).
void mm7_remove_pdu_file_later(const server_config& config, const std::string& path);

struct outgoing_mms_info;
// True while the connection's record exists (a call may have closed it).
bool mm7_client_exists(const outgoing_mms_info* info);
// The event-loop flags a connection's socket needs now.
int mm7_client_flags(const outgoing_mms_info* info);
// Continues the connection's TLS handshake; true once it is done.  One that fails ends the
// connection.
bool mm7_socket_handshake(outgoing_mms_info* info);
// Counts a submission answered: 200 with a SubmitRsp, a refusal (another HTTP status without an
// MM7 document) or a fault (an MM7 document with a StatusCode other than success).
void mm7_count_reply(const outgoing_mms_info& info, int http_status, int mm7_status);
// A refusal by its status text ("413 Request Entity Too Large").
void mm7_count_refusal(const outgoing_mms_info& info, std::string_view status_text);
// A submission answered 4006 because its account passed its rate.
void mm7_count_rate_limited(const vasp_account& account);
// Brings the account of memory held for unfinished requests up to date after input; false when
// the connection was refused because the bound is passed (the record no longer exists).
bool mm7_account_memory(outgoing_mms_info* info);

// The subject and subject alternative names of the certificate a TLS client presented (and the
// handshake verified); none for a clear connection or one without a certificate.
std::vector<std::string> mm7_client_certificate_names(int fd);

// ---- accounts ----
// " vasp=<name>" for the lines of a submission when the accounts come from a file; else empty.
std::string mm7_vasp_label(const outgoing_mms_info& info);
// Whether a connection from address may be taken: false when every account it may belong to
// has its `connections` open already (`open` counts them).
bool mm7_vasp_connection_allowed(const vasp_accounts& accounts, std::string_view address,
                                 const std::function<std::size_t(const vasp_account&)>& open);
// Whether the account lets the submission go: its VASPID and its rate.  False with the fault
// (and Retry-After) set in info.
bool mm7_vasp_submission_allowed(outgoing_mms_info& info, bool mm1_mode);
// Notes which account's submission the network confirmed as message_id.
void mm7_vasp_record_message(const outgoing_mms_info& info, opt_view message_id);
