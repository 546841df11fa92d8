// The VASP-facing MM7 server: listener, connections, the request parser (mm7_http.h) and the
// replies.  This room (src/mm7/server) uses core, the codec, the kernel link, turbo mode's hand-off
// and the MM7 documents; never the delivery side, which start-up wires beside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/string_utils.h"
#include "core/unique_file.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/mms_message.h"
#include "mm7/server/mm7_http.h"
#include "wsp/wsp_types.h"

// Limits that keep one client from exhausting the daemon.  No legitimate VASP comes near them.
inline constexpr std::size_t MM7_MAX_CLIENTS = 1000;         // simultaneous VASP connections
inline constexpr std::int64_t MM7_HEAD_SECONDS = 10;         // from accept to the end of the head
inline constexpr std::size_t MM7_RECEIVE_SIZE = 102400;      // bytes read per readiness event
inline constexpr std::size_t MM7_MAX_HELD_BYTES = 64 << 20;  // memory of all unfinished requests
// Decoded part data stays in memory up to these bounds (per part, and for all connections
// together); beyond them it goes to the connection's scratch file.
inline constexpr std::size_t MM7_PART_IN_MEMORY = 256 << 10;
inline constexpr std::size_t MM7_PART_MEMORY_TOTAL = 16 << 20;
// Composed PDU bytes kept in memory before they are written to the file.
inline constexpr std::size_t MM7_PDU_IMAGE = 64 << 10;

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

// One accepted VASP connection, carrying exactly one submission.  It feeds the request parser
// and carries out what the parser reports: the PDU file, the part data, the kernel request.
struct outgoing_mms_info final : mm7_request_events {
    explicit outgoing_mms_info(server_config& config);

    int fd = -1;
    server_config* config;
    mm7_request_parser parser;
    std::uint32_t call_id = 0;
    std::unique_ptr<output_file> output;
    // For the line that ends the submission in the log: since when it runs, and its PDU's size.
    std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();
    std::uint64_t pdu_size = 0;

    std::uint32_t turbo_request = 0;    // request id while a turbo worker holds the submission
    bool peer_gone = false;             // the VASP closed or broke the connection
    std::uint8_t early_hints_sent = 0;  // interim responses written (at most two)
    bool input_closed = false;          // the VASP half-closed after a complete request
    std::int64_t last_progress = 0;     // ticks: the last bytes received while reading
    std::int64_t accept_tick = 0;       // ticks: when the connection was accepted
    std::string peer_address;           // dotted IPv4
    std::int64_t confirm_deadline = 0;  // ticks: when waiting for the kernel module ends
    double request_end = 0;             // monotonic seconds: when the request was complete
    std::size_t held = 0;               // memory held for the unfinished request
    std::string failure;  // status text of a refusal of the server's own (a file it cannot write)
    // Where the current part's decoded data goes: memory, or past the bounds the scratch file.
    part_memory part_store;
    unique_file scratch;           // made when a part first outgrows memory, reused after that
    bool part_in_scratch = false;  // the current part's data is in `scratch`, from offset 0
    // The accounts in force when it was accepted, and the one it belongs to once its head is
    // read.
    std::shared_ptr<const vasp_accounts> accounts;
    const vasp_account* account = nullptr;
    // An MM7 fault of the server's own (the account's rate, its VASPID), with its Retry-After
    // (seconds; 0: none).
    int fault_code = 0;
    std::string fault_text;
    std::uint32_t retry_after = 0;

    // The submission as far as it is known; may be null.
    const mms_message* message() const { return parser.message(); }

    void note(std::string_view line) override;
    std::optional<std::string> open_pdu(bool mm1_mode) override;
    bool pdu_head(byte_view head) override;
    bool part_data(byte_view data) override;
    bool part_end(byte_view entry_header) override;
    bool mm1_data(byte_view data) override;
    void send_continue() override;
};

// TLS of the listener (--tlscert, --tlskey, --tlsport, --tlsclientca).  Start-up loads the files
// before the pid file is written; false, with a line in the log, when they cannot be used.
bool mm7_server_tls_init(const server_config& config);
// SIGHUP: the files are read again; when they cannot be used, those in force stay (logged).
// Open connections keep their sessions.
void mm7_server_tls_reload(const server_config& config);
// How long a VASP has from accept to the end of its TLS handshake.
inline constexpr std::int64_t MM7_TLS_HANDSHAKE_SECONDS = 10;

void mm7_server_init(server_config& config, int& server_fd);
// Describes the server's metrics (submissions answered, open connections, call-id slots).
void mm7_server_metrics_init();

int HandleNewClient(int fd, int flags, server_config& config);
// Once a second: closes connections that stopped sending in the middle of a request, answers
// submissions the kernel module left unconfirmed, and resumes a paused listener.
int mm7_server_tick(const server_config& config);
int HandleClientInput(int fd, int flags, outgoing_mms_info* info);
FILE* CreateOutputFile(outgoing_mms_info* info);
void CloseClient(outgoing_mms_info* info);

void SendRequestToKernel(outgoing_mms_info* info, std::uint64_t pdu_size);
// In turbo mode (turbo != 0) the result is also reported to the kernel module, unless the
// port's IMSI is not known (imsi absent).  A reason, when given, follows the gateway error in
// the fault's StatusText.
void SendMM7Response(outgoing_mms_info* info, const buffer* confirmation_pdu, int send_status,
                     int cause, opt_view imsi, int port_index, int turbo,
                     opt_view reason = std::nullopt);
// `headers`: further header lines of the reply, each ending in CRLF.
void SendHttpError(outgoing_mms_info* info, std::string_view status_text,
                   std::string_view headers = {});
void SendEarlyHints(int fd, int seconds);
// Answers the submission with an RSErrorRsp fault (HTTP 500) and ends the connection.
// `headers`: further header lines of the reply, each ending in CRLF.
void SendMM7Fault(outgoing_mms_info* info, int status_code, std::string_view status_text,
                  std::string_view headers = {});

// MM7 status of the fault that answers submissions still open when the daemon stops, and those
// of a VASP past its rate.
inline constexpr int MM7_STATUS_SERVICE_UNAVAILABLE = 4006;
// MM7 status of a submission whose VASPID is another than its account's (none at all is
// MM7_STATUS_VALIDATION_ERROR).
inline constexpr int MM7_STATUS_OPERATION_RESTRICTED = 2001;

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
// True while the listener is open and not paused.
bool mm7_server_accepting(const server_config& config);
// Why VASP connections were turned away in the last few seconds; empty when none were.
std::string mm7_server_turning_away();
