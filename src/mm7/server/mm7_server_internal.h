// Pieces of the MM7 server shared between its source files.
#pragma once

#include <cstdint>
#include <string>

#include "core/string_utils.h"

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
// Counts a submission answered: 200 with a SubmitRsp, a refusal (another HTTP status without an
// MM7 document) or a fault (an MM7 document with a StatusCode other than success).
void mm7_count_reply(const outgoing_mms_info& info, int http_status, int mm7_status);
// A refusal by its status text ("413 Request Entity Too Large").
void mm7_count_refusal(const outgoing_mms_info& info, std::string_view status_text);
// Brings the account of memory held for unfinished requests up to date after input; false when
// the connection was refused because the bound is passed (the record no longer exists).
bool mm7_account_memory(outgoing_mms_info* info);
