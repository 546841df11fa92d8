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

std::string show(const opt_text& text) {
    return text ? log_escape(*text) : std::string("(null)");
}

// A header line is refused when a blank comes before the first ':', when it has no ':', when
// the ':' comes first, or when it holds a zero byte.
bool header_syntax_ok(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) {
        return false;  // a zero byte would end the value early and smuggle the rest along
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ':') {
            return i > 0;
        }
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            return false;
        }
    }
    return false;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A Content-ID or cid: reference without its angle brackets (either may be given with or
// without them).
std::string_view without_brackets(std::string_view id) {
    id = trim_blanks(id);
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') {
        id = id.substr(1, id.size() - 2);
    }
    return id;
}

// A boundary with a line end in it could never be found on a line.
bool boundary_usable(const opt_text& boundary) {
    return boundary && boundary->find_first_of("\r\n") == std::string::npos;
}

bool same_content_id(const opt_text& a, const opt_text& b) {
    return a && b && without_brackets(*a) == without_brackets(*b);
}

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

// A request carries the credentials asked for, if any: Authorization: Basic with their token
// (the scheme in any letter case).  The token is compared in constant time.
bool mm7_request_parser::authorized() {
    if (client_auth_.empty()) {
        return true;
    }
    if (!authorization_) {
        auth_problem_ = "no credentials";
        return false;
    }
    std::string_view value = *authorization_;
    const std::size_t blank = value.find_first_of(" \t");
    std::string scheme(value.substr(0, blank));
    if (blank == std::string_view::npos || strtolower(scheme) != "basic") {
        auth_problem_ = "not Basic credentials";
        return false;
    }
    if (!equal_in_constant_time(trim_blanks(value.substr(blank)), client_auth_)) {
        auth_problem_ = "wrong credentials";
        return false;
    }
    return true;
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

// The steps every header line goes through: syntax check, count, split.  `result` is stop when
// the request was refused; an empty name means the line is ignored.
mm7_request_parser::header_line mm7_request_parser::read_header(std::string_view line,
                                                                std::string_view bad_note,
                                                                std::string_view bad_status) {
    header_line header;
    opt_text name;
    opt_text value;
    if (!header_syntax_ok(line)) {
        refuse(concat({bad_note, log_escape(line)}), bad_status);
        header.result = line_result::stop;
    } else if (++header_count_ > MM7_MAX_HEADER_COUNT) {
        refuse("Too many header lines", "431 Request Header Fields Too Large");
        header.result = line_result::stop;
    } else if (split_header_line(line, std::nullopt, name, value)) {
        header.name = std::move(*name);
        header.value = std::move(*value);
    }
    return header;
}

// The parameters of a multipart Content-Type (none of another type), noted as found.
void mm7_request_parser::read_multipart_params(std::string_view value, opt_text& boundary,
                                               opt_text& start, opt_text& type) {
    if (!media_type_of(value).starts_with("multipart/")) {
        return;
    }
    ParseMultipartParams(value, boundary, start, type);
    if (boundary) {
        note(concat({"Multipart boundary: ", log_escape(*boundary)}));
    }
    if (type) {
        note(concat({"Type: ", log_escape(*type)}));
    }
    if (start) {
        note(concat({"Start: ", log_escape(*start)}));
    }
}

mm7_request_parser::line_result mm7_request_parser::on_http_header(std::string_view line) {
    if (line.empty()) {
        header_count_ = 0;
        // Checked before anything of the body is read, or asked for with a 100 Continue.
        if (!authorized()) {
            refuse({}, MM7_UNAUTHORIZED);
            return line_result::stop;
        }
        if (mm1_mode_) {
            if (content_length_ > 0 &&
                static_cast<std::uint64_t>(content_length_) > max_message_size_) {
                refuse(concat({"MM1 MODE: content length ", itoa_dec(content_length_),
                               " above the maximum"}),
                       "413 Payload Too Large");
                return line_result::stop;
            }
            if (content_length_ < 1 && !chunked_) {
                refuse(concat({"MM1 MODE: Invalid content length ", itoa_dec(content_length_)}),
                       "400 Bad request");
                return line_result::stop;
            }
            if (!message_ || !message_->route_by) {
                refuse("MM1 MODE: no recipient (x-qzm-recipient-id) given", "400 Bad request");
                return line_result::stop;
            }
            if (!events_.open_pdu(true)) {
                stop();
                return line_result::stop;
            }
            continue_if_asked();
            state_ = client_state::MM1_BODY;
            return line_result::mm1;
        }
        if (!boundary_) {
            refuse("Multipart parameters have not been sent", "400 Bad request");
            return line_result::stop;
        }
        continue_if_asked();
        state_ = client_state::PREAMBLE;
        return line_result::next;
    }
    auto [result, name, value] = read_header(line, "Bad header ", "400 Bad header");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-length") {
        char* end = nullptr;
        errno = 0;
        unsigned long long length = std::strtoull(value.c_str(), &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || errno != 0 ||
            length > INT32_MAX) {
            refuse(concat({"Bad Content-Length ", log_escape(value)}), "400 Bad request");
            return line_result::stop;
        }
        content_length_ = static_cast<std::int32_t>(length);
    } else if (name == "transfer-encoding") {
        strtolower(value);
        if (value == "chunked") {
            chunked_ = true;
        } else if (value != "identity") {
            refuse(concat({"Unsupported Transfer-Encoding: ", log_escape(value)}),
                   "501 Not Implemented");
            return line_result::stop;
        }
    } else if (name == "authorization") {
        authorization_ = std::move(value);
    } else if (name == "expect") {
        strtolower(value);
        expect_continue_ = value == "100-continue";
    } else if (name == "x-expect") {
        if (value == "103-early-hints") {
            early_hints_ = true;
        }
    } else if (name == "x-qzm-recipient-id") {
        if (!message_) {
            message_ = std::make_unique<mms_message>();
        }
        message_->route_by = value;
    } else if (name == "x-qzm-sender-id") {
        if (!message_) {
            message_ = std::make_unique<mms_message>();
        }
        message_->sender = value;
        mm7_apply_sender_markers(*message_);
    } else if (name == "content-type") {
        const std::string media = media_type_of(value);
        std::string whole = value;
        if (strtolower(whole) == "application/vnd.wap.mms-message") {  // parameters: not MM1
            mm1_mode_ = true;
            return line_result::next;
        }
        opt_text boundary;
        opt_text start;
        opt_text type;
        read_multipart_params(value, boundary, start, type);
        // Without start the first part is the root; type only repeats what the root part's own
        // Content-Type says.
        if (media != "multipart/related" || !boundary_usable(boundary)) {
            refuse("Wrong content type", "400 Bad content type");
            return line_result::stop;
        }
        boundary_ = "--" + *boundary;
        start_ = std::move(start);
        type_ = std::move(type);
    }
    return line_result::next;
}

mm7_request_parser::line_result mm7_request_parser::on_envelope_header(std::string_view line) {
    if (line.empty()) {
        header_count_ = 0;
        // Without a start parameter the first part is the root.
        if (start_ && (!envelope_cid_ || envelope_cid_ != start_)) {
            refuse("Entry part must be first", "400 Bad request");
            return line_result::stop;
        }
        envelope_.reset();
        note("Envelope body starts");
        state_ = client_state::ENVELOPE_BODY;
        return line_result::next;
    }
    auto [result, name, value] = read_header(line, "Bad envelope header: ", "400 Bad request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-type") {
        if (!strtolower(value).starts_with("text/xml")) {
            refuse("Envelope content type must be text/xml", "400 Bad request");
            return line_result::stop;
        }
    } else if (name == "content-id") {
        envelope_cid_ = value;
    }
    return line_result::next;
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
    message_ = ParseEnvelope(envelope_ ? std::string_view(*envelope_) : "", &operation);
    if (!message_) {
        refuse({}, "400 Bad request");
        return line_result::stop;
    }
    if (!operation.empty()) {
        // Another MM7 request (CancelReq, ReplaceReq, ...): a fault the VASP can read.
        fault_code_ = MM7_STATUS_UNSUPPORTED_OPERATION;
        refuse({}, "Unsupported operation");
        return line_result::stop;
    }
    content_params_.reset();
    state_ = client_state::CONTENT_HEADERS;
    return line_result::next;
}

// The end of the content part's headers: the content is a multipart (related or mixed) whose
// parts follow, or one part on its own that becomes the only entry of a multipart.mixed PDU.
mm7_request_parser::line_result mm7_request_parser::end_content_headers() {
    header_count_ = 0;
    if (!content_params_ && !part_->content_type) {
        refuse("Content part has no Content-Type", "400 Bad request");
        return line_result::stop;
    }
    if (!same_content_id(content_cid_, message_->content_id)) {
        refuse(concat({"SMIL part must follow envelope ", show(content_cid_), "  ",
                       show(message_->content_id)}),
               "400 Bad request");
        return line_result::stop;
    }
    single_part_ = !content_params_;
    if (single_part_) {
        if (content_encoding_ && read_part_field(*part_, "content-transfer-encoding",
                                                 *content_encoding_) != line_result::next) {
            return line_result::stop;
        }
        content_params_ = std::make_unique<multipart_params>();
        content_params_->delimiter = *boundary_;  // the part ends where the request's next part
                                                  // (or its end) begins
        content_params_->mixed = true;
        content_params_->part_count = 1;
        part_->content_id = "\"" + *content_cid_ + "\"";
    } else {
        part_.reset();
    }
    state_ = single_part_ ? client_state::PART_BODY : client_state::CONTENT_PREAMBLE;
    note("SMIL body starts");
    std::optional<std::string> transaction_id = events_.open_pdu(false);
    if (!transaction_id) {
        stop();
        return line_result::stop;
    }
    buffer head;
    try {
        head = compose_send_req_head(*message_, *transaction_id, content_params_.get());
    } catch (const std::bad_alloc&) {
        refuse("Memory allocation error", "503 Server error");
        return line_result::stop;
    }
    if (!events_.pdu_head(head)) {
        stop();
        return line_result::stop;
    }
    if (single_part_) {
        note("Part 1 body starts");
        part_->data_length = 0;
        part_started_ = false;
    }
    return line_result::next;
}

mm7_request_parser::line_result mm7_request_parser::on_content_header(std::string_view line) {
    if (!part_) {
        part_ = std::make_unique<mms_part>();
    }
    if (line.empty()) {
        return end_content_headers();
    }
    auto [result, name, value] = read_header(line, "Bad content header: ", "400 Bad request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-type") {
        const std::string media = media_type_of(value);
        if (!media.starts_with("multipart/")) {
            if (media.find('/') == std::string::npos) {
                refuse(concat({"Bad content-type of Content: ", log_escape(value)}),
                       "400 Bad request");
                return line_result::stop;
            }
            content_params_.reset();  // one part on its own
            part_->content_type = value;
            return line_result::next;
        }
        opt_text boundary;
        opt_text start;
        opt_text type;
        read_multipart_params(value, boundary, start, type);
        const bool mixed = media == "multipart/mixed";
        if ((!mixed && media != "multipart/related") || !boundary_usable(boundary)) {
            refuse(concat({"Bad content-type of Content: boundary=", show(boundary),
                           ", start=", show(start), ", type=", show(type)}),
                   "400 Bad request");
            return line_result::stop;
        }
        content_params_ = std::make_unique<multipart_params>();
        content_params_->delimiter = "--" + *boundary;
        content_params_->mixed = mixed;
        if (!mixed) {  // a mixed content has no root: neither start nor type
            content_params_->start = std::move(start);
            content_params_->type = std::move(type);
        }
    } else if (name == "content-id") {
        content_cid_ = value;
    } else if (name == "content-transfer-encoding") {
        content_encoding_ = value;  // checked if the content turns out to be one part
    } else if (name == "content-location") {
        part_->content_location = value;
    } else if (name == "content-disposition") {
        part_->content_disposition = value;
    }
    return line_result::next;
}

// A header of a content part that goes into its entry; stop when it is refused.
mm7_request_parser::line_result mm7_request_parser::read_part_field(mms_part& part,
                                                                    const std::string& name,
                                                                    std::string& value) {
    if (name == "content-type") {
        part.content_type = value;
    } else if (name == "content-id") {
        if (content_params_->start && value == *content_params_->start) {
            value = "<smil>";
        }
        part.content_id = "\"" + value + "\"";
    } else if (name == "content-location") {
        part.content_location = value;
    } else if (name == "content-disposition") {
        part.content_disposition = value;
    } else if (name == "content-transfer-encoding") {
        strtolower(value);
        if (value == "base64") {
            part.base64 = true;
        } else if (value != "7bit" && value != "8bit" && value != "binary") {
            refuse(concat({"Unsupported Content-Transfer-Encoding: ", log_escape(value)}),
                   "400 Bad Request");
            return line_result::stop;
        }
    }
    return line_result::next;
}

mm7_request_parser::line_result mm7_request_parser::on_part_header(std::string_view line) {
    if (!part_) {
        part_ = std::make_unique<mms_part>();
    }
    mms_part& part = *part_;
    if (line.empty()) {
        header_count_ = 0;
        if (content_params_->part_count == 1 && !content_params_->mixed &&
            !content_params_->start) {
            part.content_id = "\"<smil>\"";  // without start, the first part is the root
        }
        state_ = client_state::PART_BODY;
        note(concat(
            {"Part ", itoa_dec(static_cast<int>(content_params_->part_count)), " body starts"}));
        part.data_length = 0;
        part_started_ = false;
        return line_result::next;
    }
    auto [result, name, value] = read_header(line, "Bad part header ", "400 Bad Request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    return read_part_field(part, name, value);
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

// MIME header lines (of the envelope, the content and its parts): a line that begins with a blank
// continues the one before it (a folded line), so a header is taken when the line after it shows
// that it is complete.
mm7_request_parser::line_result mm7_request_parser::on_mime_header(std::string_view line) {
    const bool folded = !line.empty() && is_blank(line.front());
    if (folded && held_header_) {
        if (held_header_->size() + line.size() > MM7_MAX_HEADER_LINE) {
            return refuse_long_line();
        }
        held_header_->append(line);  // unfolded: only the line end goes
        return line_result::next;
    }
    if (held_header_) {
        const std::string held = std::move(*held_header_);
        held_header_.reset();
        if (line_result result = take_mime_header(held); result != line_result::next) {
            return result;
        }
    }
    if (line.empty() || folded) {
        return take_mime_header(line);  // a folded line with nothing before it is refused
    }
    held_header_ = std::string(line);
    return line_result::next;
}

mm7_request_parser::line_result mm7_request_parser::take_mime_header(std::string_view line) {
    switch (state_) {
        case client_state::ENVELOPE_HEADERS:
            return on_envelope_header(line);
        case client_state::CONTENT_HEADERS:
            return on_content_header(line);
        default:
            return on_part_header(line);
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

std::string media_type_of(std::string_view value) {
    std::string media(trim_blanks(value.substr(0, value.find(';'))));
    return strtolower(media);
}

void ParseMultipartParams(std::string_view value, opt_text& boundary, opt_text& start,
                          opt_text& type) {
    boundary.reset();
    start.reset();
    type.reset();
    std::size_t at = value.find(';');
    while (at != std::string_view::npos && at < value.size()) {
        ++at;  // past the ';'
        const std::size_t equals = value.find('=', at);
        const std::size_t next = value.find(';', at);
        if (equals == std::string_view::npos || (next != std::string_view::npos && next < equals)) {
            at = next;  // no value: not a parameter
            continue;
        }
        std::string name(trim_blanks(value.substr(at, equals - at)));
        strtolower(name);
        std::size_t from = equals + 1;
        while (from < value.size() && std::isspace(static_cast<unsigned char>(value[from]))) {
            ++from;
        }
        std::string text;
        if (from < value.size() && value[from] == '"') {
            // A quoted string: up to the closing quote, a backslash taking the next character
            // as it is.  Unterminated, it is no value.
            bool closed = false;
            for (++from; from < value.size(); ++from) {
                if (value[from] == '\\' && from + 1 < value.size()) {
                    text += value[++from];
                } else if (value[from] == '"') {
                    closed = true;
                    ++from;
                    break;
                } else {
                    text += value[from];
                }
            }
            if (!closed) {
                text.clear();
            }
            at = value.find(';', from);
        } else {
            at = value.find(';', from);
            text = trim_blanks(value.substr(from, at == std::string_view::npos ? at : at - from));
        }
        opt_text* slot = name == "boundary" ? &boundary
                         : name == "start"  ? &start
                         : name == "type"   ? &type
                                            : nullptr;
        if (slot != nullptr && !*slot && !text.empty()) {
            *slot = std::move(text);
        }
    }
}
