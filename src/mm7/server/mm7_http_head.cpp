// The request parser, heads: the headers of the request, the MIME headers of the envelope, the
// content and its parts with their parameters, and the credentials check.  The body state
// machine that finds the lines is in mm7_http.cpp.
#include "mm7/server/mm7_http.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "core/http_text.h"
#include "core/mime_text.h"
#include "mm7/documents/mm7.h"
#include "wsp/wsp_compose.h"

namespace {

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

// The content part's Content-ID names the content the href names (its %-escapes decoded): as it
// is written, or with its own %-escapes decoded, so that an id written with a literal %XX in both
// places still matches.
bool names_content(const opt_text& content_id, const opt_text& href_id) {
    if (!content_id || !href_id) {
        return false;
    }
    const std::string_view id = without_brackets(*content_id);
    const std::string_view wanted = without_brackets(*href_id);
    return id == wanted || percent_decoded(id) == wanted;
}

}  // namespace

// The transfer encoding a Content-Transfer-Encoding value names, in `encoding`; false, the
// request refused, for a value that names none.
bool mm7_request_parser::read_transfer_encoding(std::string value, transfer_encoding& encoding) {
    const std::optional<transfer_encoding> named = transfer_encoding_named(value);
    if (!named) {
        return refuse(
            concat({"Unsupported Content-Transfer-Encoding: ", log_escape(strtolower(value))}),
            "400 Bad Request");
    }
    encoding = *named;
    return true;
}

// A request carries the credentials asked for, if any: Authorization: Basic with their token
// (the scheme in any letter case).  The token is compared in constant time.
bool mm7_request_parser::authorized() {
    std::string_view token;
    bool other_scheme = false;
    if (authorization_) {
        std::string_view value = *authorization_;
        const std::size_t blank = value.find_first_of(" \t");
        std::string scheme(value.substr(0, blank));
        if (blank == std::string_view::npos || strtolower(scheme) != "basic") {
            other_scheme = true;
        } else {
            token = trim_blanks(value.substr(blank));
        }
    }
    mm7_auth_verdict verdict;
    if (identify_) {
        verdict = identify_(token);
    } else if (client_auth_.empty()) {
        return true;
    } else if (!authorization_) {
        verdict.problem = "no credentials";
    } else if (!other_scheme && !equal_in_constant_time(token, client_auth_)) {
        verdict.problem = "wrong credentials";
    }
    if (other_scheme && (!verdict.problem.empty() || !identify_)) {
        verdict.problem = "not Basic credentials";
    }
    auth_problem_ = verdict.problem;
    auth_status_ = verdict.status;
    return verdict.problem.empty();
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
        // Both framings at once: whichever a proxy in front of us took, we might read another
        // request than it did.
        if (transfer_encoding_seen_ && content_length_seen_) {
            refuse("Transfer-Encoding together with Content-Length", "400 Bad request");
            return line_result::stop;
        }
        // Checked before anything of the body is read, or asked for with a 100 Continue.
        if (!authorized()) {
            refuse({}, auth_status_);
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
    // A field that decides the framing or the credentials must come once: two values would let
    // this server and a proxy in front of it read different requests.
    if ((name == "content-length" && std::exchange(content_length_seen_, true)) ||
        (name == "transfer-encoding" && std::exchange(transfer_encoding_seen_, true)) ||
        (name == "authorization" && authorization_)) {
        refuse(concat({"Duplicate header ", name}), "400 Bad request");
        return line_result::stop;
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
        if (!expect_continue_) {
            refuse(concat({"Unsupported Expect: ", log_escape(value)}), "417 Expectation Failed");
            return line_result::stop;
        }
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
        body_begun_ = false;
        soft_break_ = false;
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
    } else if (name == "content-transfer-encoding") {
        if (!read_transfer_encoding(value, envelope_encoding_)) {
            return line_result::stop;
        }
    }
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
    if (!names_content(content_cid_, message_->content_id)) {
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
        body_begun_ = false;
        soft_break_ = false;
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
                opt_text boundary;
                opt_text start;
                opt_text type;
                ParseMultipartParams(value, boundary, start, type);
                note(concat({"Content part Content-Type has no media type: ", log_escape(value)}));
                refuse(concat({"Bad content-type of Content: boundary=", show(boundary),
                               ", start=", show(start), ", type=", show(type)}),
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
        if (!read_transfer_encoding(value, part.encoding)) {
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
        body_begun_ = false;
        soft_break_ = false;
        return line_result::next;
    }
    auto [result, name, value] = read_header(line, "Bad part header ", "400 Bad Request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    return read_part_field(part, name, value);
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

std::string media_type_of(std::string_view value) {
    std::string media(trim_blanks(value.substr(0, value.find(';'))));
    return strtolower(media);
}

void ParseMultipartParams(std::string_view value, opt_text& boundary, opt_text& start,
                          opt_text& type) {
    boundary.reset();
    start.reset();
    type.reset();
    for (mime_parameter& parameter : mime_parameters(value)) {
        opt_text* slot = parameter.name == "boundary" ? &boundary
                         : parameter.name == "start"  ? &start
                         : parameter.name == "type"   ? &type
                                                      : nullptr;
        if (slot != nullptr && !*slot && !parameter.value.empty()) {
            *slot = std::move(parameter.value);
        }
    }
}
