// The VASP-facing MM7 server: listener, connections, the request parser and the replies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/string_utils.h"
#include "mm7/mms_message.h"
#include "wsp/wsp_types.h"

// Parser states of a VASP connection.
enum class client_state : std::uint32_t {
    REQUEST_LINE = 0,
    HTTP_HEADERS = 1,
    PREAMBLE = 2,
    ENVELOPE_HEADERS = 3,
    ENVELOPE_BODY = 4,
    CONTENT_HEADERS = 5,
    CONTENT_PREAMBLE = 6,
    PART_HEADERS = 7,
    PART_BODY = 8,
    MM1_BODY = 9,
    DONE = 100,
};

// Limits that keep one client from exhausting the daemon.  No legitimate VASP comes near them.
inline constexpr std::size_t MM7_MAX_CLIENTS = 1000;         // simultaneous VASP connections
inline constexpr std::size_t MM7_MAX_HEADER_LINE = 16384;    // one header or request line
inline constexpr std::size_t MM7_MAX_HEADER_COUNT = 200;     // header lines of one block
inline constexpr std::size_t MM7_MAX_PARTS = 127;            // entry count is a single octet
inline constexpr std::size_t MM7_RECEIVE_SIZE = 102400;      // bytes read per readiness event
inline constexpr std::size_t MM7_LONG_LINE = 65536;          // body lines are streamed past this
inline constexpr std::size_t MM7_MAX_HELD_BYTES = 64 << 20;  // memory of all unfinished requests
// Decoded part data stays in memory up to these bounds (per part, and for all connections
// together); beyond them it goes to the connection's scratch file.
inline constexpr std::size_t MM7_PART_IN_MEMORY = 256 << 10;
inline constexpr std::size_t MM7_PART_MEMORY_TOTAL = 16 << 20;
// Composed PDU bytes kept in memory before they are written to the file.
inline constexpr std::size_t MM7_PDU_IMAGE = 64 << 10;

// The state of a chunked request body between reads.
struct chunk_decoder {
    enum class step { size, size_line, data, data_end, trailer, done };
    step at = step::size;
    std::uint64_t left = 0;      // bytes of the current chunk still to come
    std::size_t digits = 0;      // hex digits of the size read so far
    std::size_t line_bytes = 0;  // bytes of the current size-extension or trailer line
    std::size_t trailer_bytes = 0;
};

// The PDU file of one submission.
struct output_file {
    unique_file stream;          // open while the PDU is written
    std::string path;            // workdir + transaction id + ".mm1"
    std::string transaction_id;  // names the file
    std::int64_t count_offset = 0;
    bool created = false;       // the file at `path` was made by this submission
    buffer image;               // composed PDU bytes not yet written to the file
    std::uint64_t written = 0;  // PDU bytes already in the file
};

// The decoded data of the part being received while it stays in memory; every connection's
// share counts towards MM7_PART_MEMORY_TOTAL until it is released.
class part_memory {
  public:
    part_memory() = default;
    part_memory(const part_memory&) = delete;
    part_memory& operator=(const part_memory&) = delete;
    ~part_memory() { release(); }
    // False, with nothing added, when the bytes would pass a bound.
    bool append(byte_view data);
    const buffer& bytes() const { return bytes_; }
    void clear() { bytes_.clear(); }
    void release();

  private:
    buffer bytes_;
    static std::size_t total_;
};

// One accepted VASP connection, carrying exactly one submission.
struct outgoing_mms_info {
    int fd = -1;
    std::unique_ptr<mms_message> message;
    opt_text boundary;  // "--" + the top-level boundary
    client_state state = client_state::REQUEST_LINE;
    bool mm1_mode = false;
    buffer pending;  // received bytes after the last complete line
    std::uint32_t call_id = 0;
    std::unique_ptr<output_file> output;
    std::int32_t content_length = 0;
    bool early_hints = false;
    opt_text start;
    opt_text type;
    opt_text envelope_cid;
    opt_text envelope;
    std::unique_ptr<multipart_params> content_params;
    opt_text content_cid;
    std::unique_ptr<mms_part> part;
    server_config* config = nullptr;

    // Parser bookkeeping beyond the line state machine.
    std::size_t header_count = 0;       // header lines in the current block
    bool line_open = false;             // the start of the current line was consumed already
    bool part_started = false;          // the current part has written its first line
    std::uint32_t turbo_request = 0;    // request id while a turbo worker holds the submission
    bool peer_gone = false;             // the VASP closed or broke the connection
    std::uint8_t early_hints_sent = 0;  // interim responses written (at most two)
    bool input_closed = false;          // the VASP half-closed after a complete request
    std::int64_t last_progress = 0;     // ticks: the last bytes received while reading
    std::int64_t confirm_deadline = 0;  // ticks: when waiting for the kernel module ends
    std::size_t held = 0;               // memory held for the unfinished request
    std::uint64_t content_bytes = 0;    // decoded content stored so far
    bool chunked = false;               // Transfer-Encoding: chunked
    bool body_started = false;          // the headers are over: input goes through `chunks`
    chunk_decoder chunks;
    // Where the current part's decoded data goes: memory, or past the bounds the scratch file.
    part_memory part_data;
    unique_file scratch;           // made when a part first outgrows memory, reused after that
    bool part_in_scratch = false;  // the current part's data is in `scratch`, from offset 0
};

void mm7_server_init(server_config& config, int& server_fd);

struct xgate_message;
// An MMS_MMSRCV_IND from the kernel module (or a fetched message from turbo mode): starts the
// delivery of the PDU to the VASP, or drops it with a log line.
void HandleXgateMmsRcvInd(const xgate_message& indication, server_config& config);
int HandleNewClient(int fd, int flags, server_config& config);
// Once a second: closes connections that stopped sending in the middle of a request, answers
// submissions the kernel module left unconfirmed, and resumes a paused listener.
int mm7_server_tick(const server_config& config);
int HandleClientInput(int fd, int flags, outgoing_mms_info* info);
int HandleMM1Body(outgoing_mms_info* info, const std::uint8_t* bytes, std::size_t length);
void ParseMultipartParams(std::string_view value, opt_text& boundary, opt_text& start,
                          opt_text& type);
FILE* CreateOutputFile(outgoing_mms_info* info);
void CloseClient(outgoing_mms_info* info);

void SendRequestToKernel(outgoing_mms_info* info, std::uint64_t pdu_size);
void SendMM7Response(outgoing_mms_info* info, const buffer* confirmation_pdu, int send_status,
                     int cause, opt_view imsi, int port_index, int turbo);
void SendHttpError(outgoing_mms_info* info, std::string_view status_text);
void SendEarlyHints(int fd, int seconds);
// Answers the submission with an RSErrorRsp fault (HTTP 500) and ends the connection.
void SendMM7Fault(outgoing_mms_info* info, int status_code, std::string_view status_text);

// MM7 status of the fault that answers submissions still open when the daemon stops.
inline constexpr int MM7_STATUS_SERVICE_UNAVAILABLE = 4006;

// A clean stop: closes the listener and answers every open submission with a fault saying the
// gateway is shutting down (their PDU files are removed with them).  Returns how many were
// answered.
std::size_t mm7_server_shutdown(server_config& config);
// Replies still being written to VASPs that have not taken them yet.
std::size_t mm7_server_unsent_replies();
// Answers a submission the kernel module has not confirmed in time, with a fault.  Its PDU file
// stays until the late confirmation comes (or the next start).
void SendConfirmTimeout(outgoing_mms_info* info);

// The MM7 status code for an X-Mms-Response-Status octet value (3000 when not listed).
int mm7_status_for_response(int octet);

// Number of open VASP connections (for tests and limits).
std::size_t mm7_client_count();
