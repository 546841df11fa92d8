// The request parser of a VASP connection: POST /mm7 read line by line as it arrives and turned
// into the pieces of an MMS PDU while it is still being received.
//
// Lines are found by length, never by searching for a terminating zero, so binary and 8bit parts
// may contain any byte.  Only the unterminated tail of the input is kept; a long body line is
// streamed on before its end arrives, so memory stays bounded whatever the request holds.
#include "mm7/server/mm7_http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "core/base64.h"
#include "core/mime_text.h"
#include "mm7/documents/mm7.h"
#include "wsp/wsp_compose.h"

namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kLf = "\n";

bool is_header_state(client_state state) {
    switch (state) {
        case client_state::REQUEST_LINE:
        case client_state::HTTP_HEADERS:
        case client_state::ENVELOPE_HEADERS:
        case client_state::CONTENT_HEADERS:
        case client_state::PART_HEADERS:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---- the request ----

bool mm7_request_parser::refuse(std::string_view reason, std::string_view status) {
    if (!reason.empty()) {
        note(reason);
    }
    outcome_ = parse_outcome::refused;
    refusal_ = status;
    return false;
}

bool mm7_request_parser::refuse_too_large() {
    return refuse(concat({"Message larger than ", std::to_string(max_message_size_), " bytes"}),
                  "413 Payload Too Large");
}

bool mm7_request_parser::stop() {
    outcome_ = parse_outcome::stopped;
    return false;
}

std::uint32_t mm7_request_parser::part_count() const {
    return content_params_ ? content_params_->part_count : 0;
}

std::size_t mm7_request_parser::held_bytes() const {
    return pending_.capacity() + decoded_.capacity() + (envelope_ ? envelope_->capacity() : 0) +
           (held_header_ ? held_header_->capacity() : 0);
}

// An HTTP/1.1 client that sent Expect: 100-continue waits for the interim answer before it sends
// the body; an HTTP/1.0 client must not get one.
void mm7_request_parser::continue_if_asked() {
    if (expect_continue_ && http11_) {
        events_.send_continue();
    }
}

void mm7_request_parser::trim() {
    if (pending_.capacity() > 4 * std::max<std::size_t>(pending_.size(), 4096)) {
        pending_.shrink_to_fit();  // a long line has passed: do not keep its room
    }
    if (decoded_.capacity() > 4096) {
        buffer().swap(decoded_);
    }
}

parse_outcome mm7_request_parser::feed(byte_view bytes) {
    if (outcome_ != parse_outcome::more || bytes.empty()) {
        return outcome_;  // input after the request (or after its refusal) is ignored
    }
    if (body_started_) {
        deliver_body(bytes);
    } else if (state_ == client_state::MM1_BODY) {
        take_mm1_body(bytes);
    } else {
        process_input(bytes);
    }
    return outcome_;
}

// Appends decoded or raw body bytes to the part's data; false when the request was refused (too
// large) or stopped.
bool mm7_request_parser::write_part_bytes(std::string_view bytes) {
    content_bytes_ += bytes.size();
    if (content_bytes_ > max_message_size_) {
        return refuse_too_large();
    }
    if (!bytes.empty() && !events_.part_data(as_bytes(bytes))) {
        return stop();
    }
    part_->data_length += static_cast<std::uint32_t>(bytes.size());
    return true;
}

// The transfer encoding of the body being received: the envelope's or the part's.
transfer_encoding mm7_request_parser::body_encoding() const {
    return state_ == client_state::ENVELOPE_BODY ? envelope_encoding_ : part_->encoding;
}

// Decoded bytes of the body being received; false when the request ended.
bool mm7_request_parser::take_decoded(std::string_view bytes) {
    return state_ == client_state::ENVELOPE_BODY ? append_envelope(bytes) : write_part_bytes(bytes);
}

// Text of a body line as its transfer encoding means it.  The text is a whole line when
// `line_end`, else the first piece of a long one; with line_open_ it is the rest of a line.
bool mm7_request_parser::take_body_text(std::string_view text, bool line_end) {
    switch (body_encoding()) {
        case transfer_encoding::base64:
            // Each line decoded on its own; a line that does not decode adds nothing.
            if (!base64_decode_into(text, decoded_) || decoded_.empty()) {
                return true;
            }
            return take_decoded(as_text(decoded_));
        case transfer_encoding::quoted_printable:
            return take_quoted_printable(text, line_end);
        case transfer_encoding::identity:
            break;
    }
    return take_raw_text(text);
}

// A raw body line: every line but the first is preceded by the CRLF (or bare LF) that ended the
// line before it, so the line end in front of the delimiter never belongs to the body.
bool mm7_request_parser::take_raw_text(std::string_view text) {
    if (body_begun_ && !line_open_ && !take_decoded(last_line_end_)) {
        return false;
    }
    body_begun_ = true;
    return take_decoded(text);
}

// A quoted-printable line: as a raw one, but a line that ended in a soft line break is joined to
// the next without a line end.
bool mm7_request_parser::take_quoted_printable(std::string_view text, bool line_end) {
    if (body_begun_ && !line_open_ && !soft_break_ && !take_decoded(last_line_end_)) {
        return false;
    }
    body_begun_ = true;
    decoded_.clear();
    soft_break_ = quoted_printable_decode(text, line_end, decoded_);
    return take_decoded(as_text(decoded_));
}

bool mm7_request_parser::append_envelope(std::string_view text) {
    if (!envelope_) {
        envelope_.emplace();
    }
    envelope_->append(text);
    if (envelope_->size() > MM7_MAX_ENVELOPE_SIZE) {
        return refuse(concat({"Envelope too large (more than ",
                              std::to_string(MM7_MAX_ENVELOPE_SIZE), " bytes)"}),
                      "400 Bad request");
    }
    return true;
}

mm7_request_parser::line_result mm7_request_parser::on_envelope_body(std::string_view line) {
    if (line_open_ || !line.starts_with(*boundary_)) {
        const bool taken = take_body_text(line, true);
        line_open_ = false;
        return taken ? line_result::next : line_result::stop;
    }
    std::string operation;
    mm7_refusal invalid;
    message_ = ParseEnvelope(envelope_ ? std::string_view(*envelope_) : "", &operation, &invalid);
    if (!message_) {
        refuse({}, "400 Bad request");
        return line_result::stop;
    }
    if (!operation.empty() || invalid.status_code != 0) {
        // Another MM7 request (CancelReq, ReplaceReq, ...), or a SubmitReq the daemon cannot
        // carry: a fault the VASP can read.
        fault_code_ = operation.empty() ? invalid.status_code : MM7_STATUS_UNSUPPORTED_OPERATION;
        refuse({}, operation.empty() ? invalid.text : "Unsupported operation");
        return line_result::stop;
    }
    content_params_.reset();
    state_ = client_state::CONTENT_HEADERS;
    return line_result::next;
}

// The end of a part: its entry header, then its data, go into the PDU.
mm7_request_parser::line_result mm7_request_parser::finish_part(std::string_view line) {
    std::optional<buffer> entry_header;
    try {
        entry_header = compose_part_entry_header(*part_);
    } catch (const std::bad_alloc&) {
        refuse("Memory allocation error", "503 Server error");
        return line_result::stop;
    }
    if (!entry_header) {
        refuse("Incorrect part headers", "400 Bad request");
        return line_result::stop;
    }
    note("Copying part...");
    if (!events_.part_end(*entry_header)) {
        stop();
        return line_result::stop;
    }
    part_.reset();
    const std::string& delimiter = *content_params_->delimiter;
    if (single_part_ || line.substr(delimiter.size()).starts_with("--")) {
        state_ = client_state::DONE;
        outcome_ = parse_outcome::complete;
        return line_result::next;
    }
    if (content_params_->part_count >= MM7_MAX_PARTS) {
        refuse(concat({"Too many parts (more than ", std::to_string(MM7_MAX_PARTS), ")"}),
               "400 Bad request");
        return line_result::stop;
    }
    content_params_->part_count += 1;
    state_ = client_state::PART_HEADERS;
    return line_result::next;
}

mm7_request_parser::line_result mm7_request_parser::on_part_body(std::string_view line) {
    const std::string& delimiter = *content_params_->delimiter;
    if (!line_open_ && line.starts_with(delimiter)) {
        return finish_part(line);
    }
    const bool taken = take_body_text(line, true);
    line_open_ = false;
    return taken ? line_result::next : line_result::stop;
}

// The request line: POST, the target, HTTP/1.x.  The target is the path /mm7, alone
// (origin-form) or in an http or https URL (absolute-form), with or without a query, which is
// not examined.
mm7_request_parser::line_result mm7_request_parser::on_request_line(std::string_view line) {
    constexpr std::string_view method = "POST ";
    const std::string_view target = line.starts_with(method) ? line.substr(method.size()) : "";
    const std::size_t blank = target.find(' ');
    const std::string_view version =
        blank == std::string_view::npos ? std::string_view() : target.substr(blank + 1);
    std::string_view path = target.substr(0, blank);
    for (std::string_view scheme : {"http://", "https://"}) {
        if (same_text_ignoring_case(path.substr(0, scheme.size()), scheme)) {
            const std::size_t slash = path.find('/', scheme.size());
            path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
        }
    }
    path = path.substr(0, path.find('?'));
    // Nothing may follow the version: a request line with more is not one a client sends.
    const bool version_ok = version.size() == 8 && version.starts_with("HTTP/1.") &&
                            std::isdigit(static_cast<unsigned char>(version[7]));
    if (path != "/mm7" || !version_ok) {
        refuse({}, "400 Bad request");
        return line_result::stop;
    }
    note("Valid request received, waiting for headers");
    http11_ = version.size() > 7 && version[7] >= '1' && version[7] <= '9';
    state_ = client_state::HTTP_HEADERS;
    return line_result::next;
}

// Refuses a line over the bound: a long header line is too large a header, a long request or
// delimiter line a bad request.
mm7_request_parser::line_result mm7_request_parser::refuse_long_line() {
    bool header = is_header_state(state_) && state_ != client_state::REQUEST_LINE;
    refuse(concat({"Line too long (more than ", std::to_string(MM7_MAX_HEADER_LINE), " bytes)"}),
           header ? "431 Request Header Fields Too Large" : "400 Bad request");
    return line_result::stop;
}

mm7_request_parser::line_result mm7_request_parser::process_line(std::string_view line) {
    if (is_header_state(state_) && line.size() > MM7_MAX_HEADER_LINE) {
        return refuse_long_line();
    }
    switch (state_) {
        case client_state::REQUEST_LINE:
            return on_request_line(line);
        case client_state::HTTP_HEADERS:
            return on_http_header(line);
        case client_state::PREAMBLE:
            if (!line_open_ && line.starts_with(*boundary_)) {
                // The first delimiter tells how the body's lines end: CRLF, or a bare LF as
                // some MIME writers end them.
                lf_lines_ = line_end_ == kLf;
                state_ = client_state::ENVELOPE_HEADERS;
            }
            line_open_ = false;
            return line_result::next;
        case client_state::ENVELOPE_HEADERS:
        case client_state::CONTENT_HEADERS:
        case client_state::PART_HEADERS:
            return on_mime_header(line);
        case client_state::ENVELOPE_BODY:
            return on_envelope_body(line);
        case client_state::CONTENT_PREAMBLE:
            if (!line_open_ && line.starts_with(*content_params_->delimiter)) {
                content_params_->part_count = 1;
                part_.reset();
                state_ = client_state::PART_HEADERS;
            }
            line_open_ = false;
            return line_result::next;
        case client_state::PART_BODY:
            return on_part_body(line);
        default:
            return line_result::next;  // DONE: input after the request is ignored
    }
}

// The delimiter a line of the current state is compared with, if any.
const std::string* mm7_request_parser::watched_delimiter() const {
    switch (state_) {
        case client_state::PREAMBLE:
        case client_state::ENVELOPE_BODY:
            return &*boundary_;
        case client_state::CONTENT_PREAMBLE:
        case client_state::PART_BODY:
            return &*content_params_->delimiter;
        default:
            return nullptr;
    }
}

// An MM1-mode body: PDU bytes up to Content-Length, or, chunked, up to the last chunk.
bool mm7_request_parser::take_mm1_body(byte_view bytes) {
    if (chunked_) {
        // Ends with the last chunk; only the size bound applies on the way.
        if (mm1_bytes_ + bytes.size() > max_message_size_) {
            return refuse_too_large();
        }
        mm1_bytes_ += bytes.size();
        return events_.mm1_data(bytes) || stop();
    }
    const auto expected = static_cast<std::uint64_t>(content_length_);
    if (expected - mm1_bytes_ < bytes.size()) {
        note(concat({"HandleMM1Body: got more data (",
                     itoa_dec(static_cast<int>(mm1_bytes_ + bytes.size())),
                     ") than content length (", itoa_dec(content_length_), ")"}));
        bytes = bytes.first(static_cast<std::size_t>(expected - mm1_bytes_));
    }
    if (!events_.mm1_data(bytes)) {
        return stop();
    }
    mm1_bytes_ += bytes.size();
    if (mm1_bytes_ == expected) {
        state_ = client_state::DONE;
        outcome_ = parse_outcome::complete;
    }
    return true;
}

// Body bytes as they are meant (after any chunk framing); false when the request ended.
bool mm7_request_parser::deliver_plain(byte_view bytes) {
    switch (state_) {
        case client_state::MM1_BODY:
            return take_mm1_body(bytes);
        case client_state::DONE:
            return true;  // input after the request is ignored
        default:
            return process_input(bytes);
    }
}

// Body bytes as they arrive; false when the request ended early.
bool mm7_request_parser::deliver_body(byte_view bytes) {
    if (!chunked_) {
        return deliver_plain(bytes);
    }
    chunk_result result =
        decode_chunks(chunks_, bytes, [this](byte_view piece) { return deliver_plain(piece); });
    if (result == chunk_result::stop) {
        return false;
    }
    if (state_ == client_state::DONE) {
        return true;
    }
    if (result == chunk_result::bad) {
        return refuse("Bad chunked encoding", "400 Bad request");
    }
    if (chunks_.at != chunk_decoder::step::done) {
        return true;
    }
    if (state_ != client_state::MM1_BODY) {
        return refuse("Request body ended before the request", "400 Bad request");
    }
    // A chunked MM1 body is complete with its last chunk.
    if (mm1_bytes_ < 1) {
        return refuse("MM1 MODE: Invalid content length 0", "400 Bad request");
    }
    state_ = client_state::DONE;
    outcome_ = parse_outcome::complete;
    return true;
}

// Decodes the whole groups of four of the first `take` bytes of a long base64 line; of the rest
// only its symbols (fewer than four) and the last byte stay pending, so junk cannot pile up.
bool mm7_request_parser::consume_long_base64(std::size_t take) {
    std::string_view text = as_text(pending_);
    std::size_t symbols = 0;
    std::size_t cut = 0;
    for (std::size_t i = 0; i < take; ++i) {
        if (base64_is_symbol(static_cast<unsigned char>(text[i])) && ++symbols % 4 == 0) {
            cut = i + 1;
        }
    }
    if (cut > 0 && !take_body_text(text.substr(0, cut), false)) {
        return false;
    }
    std::string rest;
    for (std::size_t i = cut; i < take; ++i) {
        if (base64_is_symbol(static_cast<unsigned char>(text[i]))) {
            rest += text[i];
        }
    }
    rest += text[take];
    pending_.assign(rest.begin(), rest.end());
    line_open_ = true;
    return true;
}

// Deals with an unterminated line that has grown long: header lines are refused, body lines
// are consumed up to their last byte (which may be the CR of a CRLF split between reads).
// False when the request ended.
bool mm7_request_parser::consume_long_line() {
    if (is_header_state(state_)) {
        if (pending_.size() > MM7_MAX_HEADER_LINE) {
            refuse_long_line();
            return false;
        }
        return true;
    }
    if (pending_.size() <= MM7_LONG_LINE) {
        return true;
    }
    const std::string* delimiter = watched_delimiter();
    std::string_view text = as_text(pending_);
    if (!line_open_ && delimiter != nullptr && text.starts_with(*delimiter)) {
        // A delimiter line with a long tail: keep it whole until it ends, within bounds.
        if (pending_.size() > MM7_MAX_HEADER_LINE) {
            refuse_long_line();
            return false;
        }
        return true;
    }
    std::size_t take = pending_.size() - 1;  // the last byte may be the CR of a split CRLF
    if (state_ == client_state::ENVELOPE_BODY || state_ == client_state::PART_BODY) {
        return consume_long_body(take);
    }
    line_open_ = true;  // skipped lines: preambles and input after the request
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
    return true;
}

// Takes the first `take` bytes of a long line of the envelope or a part, or as much of them as
// means the same whatever follows; false when the request ended.
bool mm7_request_parser::consume_long_body(std::size_t take) {
    const std::string_view text = as_text(pending_);
    switch (body_encoding()) {
        case transfer_encoding::base64:
            return consume_long_base64(take);
        case transfer_encoding::quoted_printable: {
            // An escape or soft break may be cut, and blanks may still turn out to end the line
            // (a run of them longer than half the bound is taken as text).
            const std::size_t blanks = std::min(take, MM7_LONG_LINE / 2);
            std::size_t cut = take;
            while (take - cut < blanks && (text[cut - 1] == ' ' || text[cut - 1] == '\t')) {
                --cut;
            }
            if (cut == take && cut >= 2 && text[cut - 2] == '=') {
                cut -= 2;
            } else if (cut >= 1 && text[cut - 1] == '=') {
                cut -= 1;
            }
            take = cut;
            if (!take_body_text(text.substr(0, take), false)) {
                return false;
            }
            break;
        }
        case transfer_encoding::identity:
            if (!take_body_text(text.substr(0, take), false)) {
                return false;
            }
            break;
    }
    line_open_ = true;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
    return true;
}

// Runs the received bytes through the line state machine; false when the request ended early.
// Lines end in CRLF; in the body also in a bare LF when its first delimiter line does (before
// that delimiter, any LF ends a preamble line, so that it can be found).
bool mm7_request_parser::process_input(byte_view bytes) {
    std::size_t search_from = pending_.empty() ? 0 : pending_.size() - 1;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::size_t position = 0;
    for (;;) {
        std::string_view text = as_text(pending_);
        std::size_t lf = std::max(position, search_from);
        bool crlf = false;
        while ((lf = text.find('\n', lf)) != std::string_view::npos) {
            crlf = lf > position && text[lf - 1] == '\r';
            if (crlf || lf_lines_ || state_ == client_state::PREAMBLE) {
                break;
            }
            ++lf;  // a bare LF inside a line
        }
        if (lf == std::string_view::npos) {
            break;
        }
        std::string_view line = text.substr(position, lf - position - (crlf ? 1 : 0));
        line_end_ = crlf ? kCrlf : kLf;
        position = lf + 1;
        line_result result = process_line(line);
        if (result == line_result::stop) {
            return false;
        }
        last_line_end_ = line_end_;
        if (result == line_result::mm1 ||
            (chunked_ && !body_started_ && state_ != client_state::HTTP_HEADERS)) {
            // The headers are over: the rest is body, which a chunked request frames.
            body_started_ = chunked_;
            buffer rest(pending_.begin() + static_cast<std::ptrdiff_t>(position), pending_.end());
            pending_.clear();
            pending_.shrink_to_fit();
            return rest.empty() || deliver_body(rest);
        }
        if (state_ == client_state::DONE) {
            pending_.clear();  // anything after the request is ignored
            return true;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(position));
    return consume_long_line();
}
