// The request parser of a VASP connection: an incremental state machine that takes the bytes of
// one POST /mm7 as they arrive, in pieces of any size, and reports what they mean.  It does no
// I/O of its own: the connection that feeds it owns the socket, the PDU file and the reply.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/http_text.h"
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

// Bounds on one request.  No legitimate VASP comes near them.
inline constexpr std::size_t MM7_MAX_HEADER_LINE = 16384;  // one header or request line
inline constexpr std::size_t MM7_MAX_HEADER_COUNT = 200;   // header lines of one block
inline constexpr std::size_t MM7_MAX_PARTS = 127;          // entry count is a single octet
inline constexpr std::size_t MM7_LONG_LINE = 65536;        // body lines are streamed past this

// The refusal of a request without the credentials the server asks for, and the header that
// goes with it; and of credentials that may not be used from where the request came.
inline constexpr std::string_view MM7_UNAUTHORIZED = "401 Unauthorized";
inline constexpr std::string_view MM7_FORBIDDEN = "403 Forbidden";
inline constexpr std::string_view MM7_AUTH_CHALLENGE = "WWW-Authenticate: Basic realm=\"mm7\"\r\n";

// What the parser reports while a request streams in, in the order it happens.  A call that
// answers false stops the request: the receiver could not go on (it tells its peer why itself).
class mm7_request_events {
  public:
    virtual ~mm7_request_events() = default;
    // A line for the log.
    virtual void note(std::string_view line) = 0;
    // The headers are complete and the PDU begins: the receiver makes its file and answers the
    // transaction id that names it (and goes into the PDU); absent when it cannot.
    virtual std::optional<std::string> open_pdu(bool mm1_mode) = 0;
    // The m-send-req header block; the part count octet follows it, filled in at the end.
    virtual bool pdu_head(byte_view head) = 0;
    // Decoded data of the part being received, in pieces.
    virtual bool part_data(byte_view data) = 0;
    // The part is complete: its entry header goes into the PDU, then all its data.
    virtual bool part_end(byte_view entry_header) = 0;
    // A piece of an MM1-mode body: PDU bytes as they are.
    virtual bool mm1_data(byte_view data) = 0;
    // The head of an HTTP/1.1 request that asked for it (Expect: 100-continue) is read and
    // accepted: the client waits for the interim 100 Continue before it sends the body.
    virtual void send_continue() = 0;
};

// Who a request is, decided once its head is complete.  `basic_token`: the token of the Basic
// credentials it carries (empty: none).  An empty problem lets it go on; else the request is
// refused with `status` (MM7_UNAUTHORIZED or MM7_FORBIDDEN).
struct mm7_auth_verdict {
    std::string_view problem;
    std::string_view status = MM7_UNAUTHORIZED;
};
using mm7_identify = std::function<mm7_auth_verdict(std::string_view basic_token)>;

// How far a request has come after the bytes fed so far.
enum class parse_outcome {
    more,      // the request goes on
    complete,  // the whole request is in; further input is ignored
    refused,   // the request is refused with refusal() as the HTTP status text, or, when
               // fault_code() is set, with an MM7 fault carrying that code and text
    stopped,   // an event handler stopped it
};

class mm7_request_parser {
  public:
    // `client_auth`: the base64 token of HTTP Basic credentials every request must carry;
    // empty when none are asked for.
    mm7_request_parser(mm7_request_events& events, std::uint64_t max_message_size,
                       std::string_view client_auth = {})
        : events_(events), max_message_size_(max_message_size), client_auth_(client_auth) {}
    // Decides who each request is instead of the one token of the constructor.
    void set_identify(mm7_identify identify) { identify_ = std::move(identify); }

    // Takes the next received bytes.
    parse_outcome feed(byte_view bytes);

    parse_outcome outcome() const { return outcome_; }
    std::string_view refusal() const { return refusal_; }
    int fault_code() const { return fault_code_; }
    // Why a request was refused with MM7_UNAUTHORIZED or MM7_FORBIDDEN.
    std::string_view auth_problem() const { return auth_problem_; }
    client_state state() const { return state_; }
    bool mm1_mode() const { return mm1_mode_; }
    bool early_hints() const { return early_hints_; }  // X-Expect: 103-early-hints
    // The submission as far as it is known (headers, then the SOAP envelope); may be null.
    const mms_message* message() const { return message_.get(); }
    // Parts of a complete multipart request (the value of the PDU's part count octet).
    std::uint32_t part_count() const;
    // PDU bytes of an MM1-mode body taken so far.
    std::uint64_t mm1_bytes() const { return mm1_bytes_; }
    // Memory held for the unfinished request: the unterminated input and the envelope so far.
    std::size_t held_bytes() const;
    // Gives back the room a long line left behind.
    void trim();

  private:
    enum class line_result { next, stop, mm1 };
    struct header_line {
        line_result result = line_result::next;
        std::string name;
        std::string value;
    };

    bool refuse(std::string_view reason, std::string_view status);
    bool refuse_too_large();  // the request's content passes max_message_size
    bool stop();
    void note(std::string_view line) { events_.note(line); }
    void continue_if_asked();
    bool authorized();

    bool deliver_body(byte_view bytes);
    bool deliver_plain(byte_view bytes);
    bool process_input(byte_view bytes);
    bool consume_long_line();
    bool consume_long_body(std::size_t take);
    bool consume_long_base64(std::size_t take);
    bool take_mm1_body(byte_view bytes);
    line_result process_line(std::string_view line);
    line_result on_request_line(std::string_view line);
    line_result refuse_long_line();
    header_line read_header(std::string_view line, std::string_view bad_note,
                            std::string_view bad_status);
    void read_multipart_params(std::string_view value, opt_text& boundary, opt_text& start,
                               opt_text& type);
    line_result on_http_header(std::string_view line);
    line_result on_mime_header(std::string_view line);
    line_result take_mime_header(std::string_view line);
    line_result end_content_headers();
    bool read_transfer_encoding(std::string value, transfer_encoding& encoding);
    line_result read_part_field(mms_part& part, const std::string& name, std::string& value);
    line_result on_envelope_header(std::string_view line);
    line_result on_envelope_body(std::string_view line);
    line_result on_content_header(std::string_view line);
    line_result on_part_header(std::string_view line);
    line_result on_part_body(std::string_view line);
    line_result finish_part(std::string_view line);
    bool append_envelope(std::string_view text);
    bool write_part_bytes(std::string_view bytes);
    transfer_encoding body_encoding() const;
    bool take_decoded(std::string_view bytes);
    bool take_body_text(std::string_view text, bool line_end);
    bool take_raw_text(std::string_view text);
    bool take_quoted_printable(std::string_view text, bool line_end);
    const std::string* watched_delimiter() const;

    mm7_request_events& events_;
    std::uint64_t max_message_size_;
    std::string_view client_auth_;
    mm7_identify identify_;
    opt_text authorization_;  // the Authorization header, when there was one
    std::string_view auth_problem_;
    std::string_view auth_status_ = MM7_UNAUTHORIZED;
    client_state state_ = client_state::REQUEST_LINE;
    parse_outcome outcome_ = parse_outcome::more;
    std::string refusal_;
    int fault_code_ = 0;

    std::unique_ptr<mms_message> message_;
    bool mm1_mode_ = false;
    bool early_hints_ = false;
    bool http11_ = false;           // the request line says HTTP/1.1 or later
    bool expect_continue_ = false;  // Expect: 100-continue
    bool chunked_ = false;          // Transfer-Encoding: chunked
    bool content_length_seen_ = false;
    bool transfer_encoding_seen_ = false;
    bool body_started_ = false;  // the headers are over: input goes through `chunks_`
    std::int32_t content_length_ = 0;
    opt_text boundary_;  // "--" + the top-level boundary
    opt_text start_;
    opt_text type_;
    opt_text envelope_cid_;
    transfer_encoding envelope_encoding_ = transfer_encoding::identity;
    opt_text envelope_;
    std::unique_ptr<multipart_params> content_params_;
    opt_text content_cid_;
    std::unique_ptr<mms_part> part_;  // the part being received (the content part's headers
                                      // while they are read)
    opt_text content_encoding_;       // Content-Transfer-Encoding of the content part
    bool single_part_ = false;        // the content is one part, not a multipart
    opt_text held_header_;            // a MIME header line that a folded line may still continue

    buffer pending_;                           // received bytes after the last complete line
    buffer decoded_;                           // a line decoded, reused line after line
    std::size_t header_count_ = 0;             // header lines in the current block
    bool line_open_ = false;                   // the start of the current line was consumed already
    bool lf_lines_ = false;                    // the body's lines end in a bare LF (or CRLF)
    std::string_view line_end_ = "\r\n";       // what ended the line being processed
    std::string_view last_line_end_ = "\r\n";  // what ended the line before it
    bool body_begun_ = false;  // the envelope or part being received has taken its first line
    bool soft_break_ = false;  // its last quoted-printable line ended in a soft line break
    std::uint64_t content_bytes_ = 0;  // decoded content so far
    std::uint64_t mm1_bytes_ = 0;
    chunk_decoder chunks_;
};

// The media type of a Content-Type value: the text before its first ';', trimmed and in lower
// case (media types are case-insensitive).
std::string media_type_of(std::string_view value);

// The boundary, start and type parameters of a Content-Type value, each absent unless given with
// a value.  Parameters are read as MIME defines them: names in any letter case, values as tokens
// or quoted strings, in any order, with or without blanks around ';' and '='; the first of a
// name counts.
void ParseMultipartParams(std::string_view value, opt_text& boundary, opt_text& start,
                          opt_text& type);
