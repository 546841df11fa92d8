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

// One line of base64 body, decoded on its own; a line that does not decode adds nothing.
bool mm7_request_parser::write_base64_line(std::string_view line) {
    if (!base64_decode_into(line, decoded_) || decoded_.empty()) {
        return true;
    }
    return write_part_bytes(as_text(decoded_));
}

// A raw body line: every line of a part but the first is preceded by the CRLF (or bare LF) that
// ended the line before it, so the line end in front of the delimiter never belongs to the
// content.
bool mm7_request_parser::write_raw_line(std::string_view line) {
    if (part_started_ && !line_open_ && !write_part_bytes(last_line_end_)) {
        return false;
    }
    part_started_ = true;
    return write_part_bytes(line);
}

bool mm7_request_parser::append_envelope(std::string_view text, bool new_line) {
    if (!envelope_) {
        envelope_.emplace();
    } else if (new_line) {
        envelope_->append(last_line_end_);
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
    if (line_open_) {
        line_open_ = false;
        return append_envelope(line, false) ? line_result::next : line_result::stop;
    }
    if (!line.starts_with(*boundary_)) {
        return append_envelope(line, true) ? line_result::next : line_result::stop;
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
    if (!(part_->base64 ? write_base64_line(line) : write_raw_line(line))) {
        return line_result::stop;
    }
    line_open_ = false;
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
            if (!line.starts_with("POST /mm7 HTTP/1.")) {
                refuse({}, "400 Bad request");
                return line_result::stop;
            }
            note("Valid request received, waiting for headers");
            http11_ = line.size() > 17 && line[17] >= '1' && line[17] <= '9';
            state_ = client_state::HTTP_HEADERS;
            return line_result::next;
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
    if (cut > 0 && !write_base64_line(text.substr(0, cut))) {
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
    switch (state_) {
        case client_state::ENVELOPE_BODY:
            if (!append_envelope(text.substr(0, take), !line_open_)) {
                return false;
            }
            break;
        case client_state::PART_BODY:
            if (part_->base64) {
                return consume_long_base64(take);
            }
            if (!write_raw_line(text.substr(0, take))) {
                return false;
            }
            break;
        default:
            break;  // skipped lines: preambles and input after the request
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
