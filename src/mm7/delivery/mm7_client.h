// The MM7 client: one outbound HTTP/1.1 connection per network-originated message, carrying a
// multipart/related POST (SOAP envelope, then the message content with every media part read
// from the PDU and base64-encoded on the fly) to the VASP's endpoint.  The body goes out with an
// exact Content-Length, measured before connecting, or chunked when so configured.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/config.h"
#include "core/log.h"
#include "core/string_utils.h"
#include "core/tls.h"
#include "core/unique_file.h"
#include "mm7/mms_message.h"
#include "wsp/wsp_types.h"

// Steps of the request stream; each writable event produces the piece of the next step.
enum class mm7_client_state : std::int32_t {
    connecting = 0,       // connect under way
    connected = 1,        // produce the request head
    head_queued = 2,      // produce the envelope part
    envelope_queued = 3,  // produce the first part header or the closing text
    part_header_queued = 4,
    part_data_queued = 5,
    closing_queued = 6,     // produce the last chunk (chunked framing only)
    last_chunk_queued = 7,  // the body is complete: wait for the reply
    handshaking = 8,        // connected, the TLS handshake under way (https client URL)
    complete = 10,          // request sent, waiting for the reply
};

// How a delivery ended.  Only delivered means the VASP took the message: a 2xx reply whose
// body is no MM7 response (no StatusCode in it) or one with a StatusCode in the success range
// (1xxx).
enum class delivery_outcome {
    delivered,
    rejected,         // the VASP answered with a status other than 2xx
    client_error,     // a 2xx reply with a StatusCode of the client-error range (2xxx)
    status_error,     // a 2xx reply with any other StatusCode that is not a success
    not_connected,    // no connection could be made (or attempted)
    tls_failed,       // the TLS handshake failed: the VASP did not prove who it is, or refused us
    connection_lost,  // a send or receive error, or the VASP closed without a reply
    premature_reply,  // the VASP answered before the request was complete
    timed_out,        // no progress within the deadline
    bad_pdu,          // the PDU changed or turned out unusable while it was streamed
};
std::string_view delivery_outcome_text(delivery_outcome outcome);   // in the log
std::string_view delivery_outcome_label(delivery_outcome outcome);  // as a metrics label

// Octets of the VASP's reply that are kept and logged.
inline constexpr std::size_t MM7_CLIENT_REPLY_SIZE = 10240;
// Octets of part data read (and base64-encoded) per writable event: a multiple of 3 and of 60,
// so successive pieces join into one base64 text of 80-character lines.
inline constexpr std::size_t MM7_CLIENT_DATA_SIZE = 24000;
// Seconds a delivery may go without progress (connecting, each write, the reply).
inline constexpr int MM7_CLIENT_DEADLINE_SECONDS = 60;
// However steady its progress, a delivery must be done within the seconds above plus the time
// its body takes at this rate (octets per second): a VASP that drips cannot hold it for ever.
inline constexpr std::uint64_t MM7_CLIENT_MIN_RATE = 64 * 1024;

// One delivery.  Created and filled by HandleXgateMmsRcvInd; owned by the client from
// registration on.
struct mm7_client_info {
    std::unique_ptr<mms_message> envelope_data;
    std::string boundary;          // outer multipart boundary (35 characters)
    std::string content_boundary;  // boundary of the nested content (35 characters)
    mm7_client_state state = mm7_client_state::connecting;
    buffer write_buf;                   // bytes waiting to be sent
    std::size_t write_sent = 0;         // of write_buf, already sent
    std::string pdu_path;               // the PDU file (at most 255 characters)
    std::string gw_serial;              // at most 19 characters
    std::string imsi;                   // at most 19 characters
    std::uint32_t pdu_body_offset = 0;  // first multipart entry of an inline PDU
    std::optional<buffer> pdu_copy;     // an inline PDU
    unique_file pdu_file;               // open PDU file
    std::uint32_t port = 0;
    std::int64_t part_remaining = 0;  // octets of the current part's data not yet read
    bool part_base64 = false;
    server_config* config = nullptr;
    // Where it goes: the URL of its VASP account (with the credentials in it), and the account's
    // name for the metrics.
    url_parts url;
    std::string vasp;
    // The account's own: its URL's host as an IPv4 address (empty: the client URL's, resolved at
    // start-up), and the TLS context of its https deliveries (null: the client options').
    std::string address;
    std::shared_ptr<tls_context> tls_context_of_vasp;

    // Beyond the record's basic fields.
    int fd = -1;
    std::string envelope_text;       // the envelope part, made before connecting
    std::uint64_t body_length = 0;   // of the whole body, as sent with Content-Length
    std::uint64_t body_queued = 0;   // body octets produced so far
    std::size_t secret_begin = 0;    // where the credentials of the request head are in
    std::size_t secret_end = 0;      // write_buf (never written to the log)
    std::uint64_t pdu_position = 0;  // where the next entry or the rest of the current part begins
    std::uint64_t pdu_end = 0;       // end of the PDU as checked before the delivery started
    std::uint32_t part_number = 0;   // entries begun
    std::int64_t deadline = 0;       // ticks; the delivery fails when it passes without progress
    std::string reply;               // what the VASP has answered so far
    // Called once when the delivery ends, after the record is released; reached says whether
    // a connection to the VASP was made.
    std::function<void(delivery_outcome, bool reached)> on_finished;
    // The lines of this delivery, however much the PDU holds or the VASP answers.
    std::shared_ptr<log_budget> log_lines = std::make_shared<log_budget>("delivery");
    // Called once when the connection to the VASP is made.
    std::function<void()> on_connected;
    // Ticks; the delivery fails when this passes, progress or not (total_seconds after the open).
    std::int64_t total_deadline = 0;
    std::int64_t total_seconds = 0;
    // The TLS session of an https client URL; nothing ever goes to the socket but through it.
    std::unique_ptr<tls_connection> tls;
    bool tls_write_wants_read = false;  // the last write waits for the socket to be readable
    std::string tls_failure;            // OpenSSL's words for the last failure
};

// Makes the TLS context of deliveries when the client URL is https (the CA file, the client
// certificate and its key checked now).  False, after an error line, when they cannot be used.
bool mm7_client_tls_init(const server_config& config);

// Creates the socket and starts the connection; the descriptor, or -1 after logging why.
int mm7_client_open(mm7_client_info& info);
// Takes the record of an opened delivery and registers its descriptor with the event loop.
void mm7_client_register(std::unique_ptr<mm7_client_info> info);
// The event-loop handler of a delivery's socket; always 0.
int mm7_client_handle_poll(int fd, int flags, mm7_client_info* info);
// Frames data as one HTTP chunk into write_buf (chunked framing); empty data gives the last
// chunk.
void mm7_client_set_chunk(mm7_client_info& info, byte_view data);
// Releases what the record owns (the PDU file itself stays).
void mm7_client_free(std::unique_ptr<mm7_client_info> info);
// The one place a delivery ends: logs the outcome on one line, closes the connection and frees
// the record when the client owns it.  reason says what happened, for every outcome but
// delivered.
void mm7_client_finished(mm7_client_info& info, delivery_outcome outcome, std::string_view reason);

// Reads PDU octets at a position, from the file or the inline copy; the count read (fewer at the
// end of the PDU).
std::size_t mm7_client_read_pdu(mm7_client_info& info, std::uint64_t position,
                                std::span<std::uint8_t> out);

// Deliveries in progress.
std::size_t mm7_delivery_count();
