// The request parser of a VASP connection: POST /mm7 read line by line as it arrives and turned
// into an MMS PDU file while it is still being received.
//
// Lines are found by length, never by searching for a terminating zero, so binary and 8bit parts
// may contain any byte.  Only the unterminated tail of the input is kept; a long body line is
// streamed out before its end arrives, so memory stays bounded whatever the request holds.
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/base64.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "mm7/mm7.h"
#include "mm7/mm7_server.h"
#include "mm7/mm7_server_internal.h"
#include "wsp/wsp.h"

namespace {

constexpr std::string_view kCrlf = "\r\n";

// What a line handler tells the line loop.
enum class line_result {
    next,    // go on with the next line
    closed,  // the connection was closed: the record no longer exists
    mm1,     // the headers of an MM1-mode request ended: the rest of the input is body
};

std::string show(const opt_text& text) {
    return text ? *text : std::string("(null)");
}

bool refuse(outgoing_mms_info* info, std::string_view status_text) {
    SendHttpError(info, status_text);
    return false;
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

// Splits a valid header line; false when name or value is empty (the line is then ignored).
bool split_header(std::string_view line, std::string& name, std::string& value) {
    opt_text n;
    opt_text v;
    if (!split_header_line(line, std::nullopt, n, v)) {
        return false;
    }
    name = std::move(*n);
    value = std::move(*v);
    return true;
}

bool write_bytes(FILE* stream, const void* data, std::size_t length) {
    return length == 0 || std::fwrite(data, 1, length, stream) == length;
}

// Keeps part data in memory while it fits, and otherwise in the connection's scratch file (the
// part's data starts at its beginning); false when the request was refused.
bool store_part_bytes(outgoing_mms_info* info, byte_view bytes) {
    if (!info->part_in_scratch) {
        if (info->part_data.append(bytes)) {
            return true;
        }
        if (info->scratch) {
            std::rewind(info->scratch.get());
        } else {
            info->scratch.reset(std::tmpfile());
            if (!info->scratch) {
                log_printf("Cannot create temporary file");
                return refuse(info, "503 Server Error");
            }
        }
        info->part_in_scratch = true;
        const buffer& held = info->part_data.bytes();
        bool moved = write_bytes(info->scratch.get(), held.data(), held.size());
        info->part_data.release();
        if (!moved) {
            log_printf("Cannot write temporary file. Errno: %d (%s)", errno, std::strerror(errno));
            return refuse(info, "503 Server error");
        }
    }
    if (!write_bytes(info->scratch.get(), bytes.data(), bytes.size())) {
        log_printf("Cannot write temporary file. Errno: %d (%s)", errno, std::strerror(errno));
        return refuse(info, "503 Server error");
    }
    return true;
}

// Appends decoded or raw body bytes to the part's data; false when the request was refused (too
// large, or the data cannot be stored).
bool write_part_bytes(outgoing_mms_info* info, std::string_view bytes) {
    mms_part& part = *info->part;
    info->content_bytes += bytes.size();
    if (info->content_bytes > info->config->max_message_size) {
        log_printf("Message larger than %llu bytes",
                   static_cast<unsigned long long>(info->config->max_message_size));
        return refuse(info, "413 Payload Too Large");
    }
    if (!bytes.empty() && !store_part_bytes(info, as_bytes(bytes))) {
        return false;
    }
    part.data_length += static_cast<std::uint32_t>(bytes.size());
    return true;
}

// One line of base64 body, decoded on its own; a line that does not decode adds nothing.
bool write_base64_line(outgoing_mms_info* info, std::string_view line) {
    static buffer decoded;  // reused by every line of every connection
    if (!base64_decode_into(line, decoded) || decoded.empty()) {
        return true;
    }
    return write_part_bytes(info, as_text(decoded));
}

// ---- the PDU file ----
//
// The PDU is composed in memory (`output_file::image`) and written to its file in few calls:
// when the image has grown past its bound, when a part's data comes from the scratch file, and
// at the end, after the part count has been filled in.

// Writes all of the given pieces to fd; false on a write error.
bool write_all(int fd, struct iovec* pieces, int count) {
    while (count > 0) {
        if (pieces->iov_len == 0) {
            ++pieces;
            --count;
            continue;
        }
        ssize_t n = writev(fd, pieces, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (auto left = static_cast<std::size_t>(n); left > 0;) {
            std::size_t step = std::min(left, pieces->iov_len);
            pieces->iov_base = static_cast<std::uint8_t*>(pieces->iov_base) + step;
            pieces->iov_len -= step;
            left -= step;
            if (pieces->iov_len == 0) {
                ++pieces;
                --count;
            }
        }
    }
    return true;
}

int output_fd(const outgoing_mms_info* info) {
    return fileno(info->output->stream.get());
}

// Writes the image, then `more`, to the PDU file with one call; the image is empty afterwards.
bool write_image(outgoing_mms_info* info, byte_view more = {}) {
    output_file& out = *info->output;
    struct iovec pieces[2] = {{out.image.data(), out.image.size()},
                              {const_cast<std::uint8_t*>(more.data()), more.size()}};
    if (!write_all(output_fd(info), pieces, 2)) {
        return false;
    }
    out.written += out.image.size() + more.size();
    out.image.clear();
    return true;
}

// Appends what a composer writes to a stream to the image; false when memory runs out.
template <typename Compose>
bool compose_to_image(output_file& out, Compose&& compose) {
    char* data = nullptr;
    std::size_t size = 0;
    FILE* memory = open_memstream(&data, &size);
    if (memory == nullptr) {
        return false;
    }
    compose(memory);
    bool ok = std::fclose(memory) == 0;
    std::unique_ptr<char, decltype(&std::free)> owned(data, &std::free);
    if (ok) {
        out.image.insert(out.image.end(), data, data + size);
    }
    return ok;
}

// Copies the current part's data from the scratch file to the PDU file.
bool copy_scratch(outgoing_mms_info* info, std::uint32_t length) {
    FILE* scratch = info->scratch.get();
    if (std::fflush(scratch) != 0) {
        return false;
    }
    static std::uint8_t copy_buffer[65536];
    for (off_t offset = 0; offset < static_cast<off_t>(length);) {
        std::size_t want = std::min<std::size_t>(sizeof copy_buffer, length - offset);
        ssize_t n = pread(fileno(scratch), copy_buffer, want, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !write_image(info, byte_view(copy_buffer, static_cast<std::size_t>(n)))) {
            return false;
        }
        offset += n;
    }
    return true;
}

// A raw body line: every line of a part but the first is preceded by the CRLF that ended the
// line before it, so the CRLF in front of the delimiter never belongs to the content.
bool write_raw_line(outgoing_mms_info* info, std::string_view line) {
    if (info->part_started && !info->line_open && !write_part_bytes(info, kCrlf)) {
        return false;
    }
    info->part_started = true;
    return write_part_bytes(info, line);
}

bool count_header(outgoing_mms_info* info) {
    if (++info->header_count > MM7_MAX_HEADER_COUNT) {
        log_printf("Too many header lines");
        return refuse(info, "431 Request Header Fields Too Large");
    }
    return true;
}

line_result fail(outgoing_mms_info* info, std::string_view status_text) {
    SendHttpError(info, status_text);
    return line_result::closed;
}

line_result output_error(outgoing_mms_info* info) {
    log_printf("Cannot write output file %s. Errno: %d (%s)", info->output->path.c_str(), errno,
               std::strerror(errno));
    return fail(info, "503 Server error");
}

// The steps every header line goes through: syntax check, count, split.  `result` is closed when
// the request was refused; an empty name means the line is ignored.
struct header_line {
    line_result result = line_result::next;
    std::string name;
    std::string value;
};

header_line read_header(outgoing_mms_info* info, std::string_view line, const char* bad_log,
                        std::string_view bad_status) {
    header_line header;
    if (!header_syntax_ok(line)) {
        log_printf("%s%s", bad_log, log_escape(line).c_str());
        header.result = fail(info, bad_status);
    } else if (!count_header(info)) {
        header.result = line_result::closed;
    } else if (!split_header(line, header.name, header.value)) {
        header.name.clear();
    }
    return header;
}

line_result on_http_header(outgoing_mms_info* info, std::string_view line) {
    if (line.empty()) {
        info->header_count = 0;
        if (info->mm1_mode) {
            if (info->content_length > 0 &&
                static_cast<std::uint64_t>(info->content_length) > info->config->max_message_size) {
                log_printf("MM1 MODE: content length %d above the maximum", info->content_length);
                return fail(info, "413 Payload Too Large");
            }
            if (info->content_length < 1 && !info->chunked) {
                log_printf("MM1 MODE: Invalid content length %d", info->content_length);
                return fail(info, "400 Bad request");
            }
            if (!info->message || !info->message->route_by) {
                log_printf("MM1 MODE: no recipient (x-qzm-recipient-id) given");
                return fail(info, "400 Bad request");
            }
            if (CreateOutputFile(info) == nullptr) {
                log_printf("MM1 MODE: Cannot create output file %s. Errno: %d (%s)",
                           info->output->path.c_str(), errno, std::strerror(errno));
                return fail(info, "503 Server error");
            }
            info->state = client_state::MM1_BODY;
            return line_result::mm1;
        }
        if (!info->boundary || !info->start) {
            log_printf("Multipart parameters have not been sent");
            return fail(info, "400 Bad request");
        }
        info->state = client_state::PREAMBLE;
        return line_result::next;
    }
    auto [result, name, value] = read_header(info, line, "Bad header ", "400 Bad header");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-length") {
        char* end = nullptr;
        errno = 0;
        unsigned long long length = std::strtoull(value.c_str(), &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || errno != 0 ||
            length > INT32_MAX) {
            log_printf("Bad Content-Length %s", log_escape(value).c_str());
            return fail(info, "400 Bad request");
        }
        info->content_length = static_cast<std::int32_t>(length);
    } else if (name == "transfer-encoding") {
        strtolower(value);
        if (value == "chunked") {
            info->chunked = true;
        } else if (value != "identity") {
            log_printf("Unsupported Transfer-Encoding: %s", log_escape(value).c_str());
            return fail(info, "501 Not Implemented");
        }
    } else if (name == "x-expect") {
        if (value == "103-early-hints") {
            info->early_hints = true;
        }
    } else if (name == "x-qzm-recipient-id") {
        if (!info->message) {
            info->message = std::make_unique<mms_message>();
        }
        info->message->route_by = value;
    } else if (name == "x-qzm-sender-id") {
        if (!info->message) {
            info->message = std::make_unique<mms_message>();
        }
        info->message->sender = value;
        mm7_apply_sender_markers(*info->message);
    } else if (name == "content-type") {
        if (value == "application/vnd.wap.mms-message") {
            info->mm1_mode = true;
            return line_result::next;
        }
        opt_text boundary;
        opt_text start;
        opt_text type;
        if (value.starts_with("multipart/related")) {
            ParseMultipartParams(value, boundary, start, type);
        }
        if (!boundary || !start || !type) {
            log_printf("Wrong content type");
            return fail(info, "400 Bad content type");
        }
        info->boundary = "--" + *boundary;
        info->start = std::move(start);
        info->type = std::move(type);
    }
    return line_result::next;
}

line_result on_envelope_header(outgoing_mms_info* info, std::string_view line) {
    if (line.empty()) {
        info->header_count = 0;
        if (!info->envelope_cid || info->envelope_cid != info->start) {
            log_printf("Entry part must be first");
            return fail(info, "400 Bad request");
        }
        info->envelope.reset();
        log_printf("Envelope body starts");
        info->state = client_state::ENVELOPE_BODY;
        return line_result::next;
    }
    auto [result, name, value] =
        read_header(info, line, "Bad envelope header: ", "400 Bad request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-type") {
        if (!value.starts_with("text/xml")) {
            log_printf("Envelope content type must be text/xml");
            return fail(info, "400 Bad request");
        }
    } else if (name == "content-id") {
        info->envelope_cid = value;
    }
    return line_result::next;
}

bool append_envelope(outgoing_mms_info* info, std::string_view text, bool new_line) {
    if (!info->envelope) {
        info->envelope.emplace();
    } else if (new_line) {
        info->envelope->append(kCrlf);
    }
    info->envelope->append(text);
    if (info->envelope->size() > MM7_MAX_ENVELOPE_SIZE) {
        log_printf("Envelope too large (more than %zu bytes)", MM7_MAX_ENVELOPE_SIZE);
        return refuse(info, "400 Bad request");
    }
    return true;
}

line_result on_envelope_body(outgoing_mms_info* info, std::string_view line) {
    if (info->line_open) {
        info->line_open = false;
        return append_envelope(info, line, false) ? line_result::next : line_result::closed;
    }
    if (!line.starts_with(*info->boundary)) {
        return append_envelope(info, line, true) ? line_result::next : line_result::closed;
    }
    info->message = ParseEnvelope(info->envelope ? std::string_view(*info->envelope) : "");
    if (!info->message) {
        return fail(info, "400 Bad request");
    }
    info->content_params.reset();
    info->state = client_state::CONTENT_HEADERS;
    return line_result::next;
}

line_result on_content_header(outgoing_mms_info* info, std::string_view line) {
    if (line.empty()) {
        info->header_count = 0;
        if (!info->content_params) {
            log_printf("Content part has no Content-Type");
            return fail(info, "400 Bad request");
        }
        if (!info->content_cid || info->content_cid != info->message->content_id) {
            log_printf("SMIL part must follow envelope %s  %s",
                       log_escape(show(info->content_cid)).c_str(),
                       log_escape(show(info->message->content_id)).c_str());
            return fail(info, "400 Bad request");
        }
        info->state = client_state::CONTENT_PREAMBLE;
        log_printf("SMIL body starts");
        if (CreateOutputFile(info) == nullptr) {
            log_printf("Cannot create output file %s. Errno: %d (%s)", info->output->path.c_str(),
                       errno, std::strerror(errno));
            return fail(info, "503 Server error");
        }
        output_file& out = *info->output;
        if (!compose_to_image(out, [info](FILE* memory) {
                compose_send_req_headers(memory, *info->message, info->output->transaction_id,
                                         info->content_params.get());
            })) {
            log_printf("Memory allocation error");
            return fail(info, "503 Server error");
        }
        out.count_offset = static_cast<std::int64_t>(out.image.size());
        out.image.push_back(0);  // the part count, filled in when the last part has come
        return line_result::next;
    }
    auto [result, name, value] = read_header(info, line, "Bad content header: ", "400 Bad request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-type") {
        opt_text boundary;
        opt_text start;
        opt_text type;
        if (value.starts_with("multipart/related")) {
            ParseMultipartParams(value, boundary, start, type);
        }
        if (!value.starts_with("multipart/related") || !boundary || !start || !type) {
            log_printf("Bad content-type of Content: boundary=%s, start=%s, type=%s",
                       log_escape(show(boundary)).c_str(), log_escape(show(start)).c_str(),
                       log_escape(show(type)).c_str());
            return fail(info, "400 Bad request");
        }
        if (!info->content_params) {
            info->content_params = std::make_unique<multipart_params>();
        }
        info->content_params->delimiter = "--" + *boundary;
        info->content_params->start = std::move(start);
        info->content_params->type = std::move(type);
    } else if (name == "content-id") {
        info->content_cid = value;
    }
    return line_result::next;
}

line_result on_part_header(outgoing_mms_info* info, std::string_view line) {
    if (!info->part) {
        info->part = std::make_unique<mms_part>();
    }
    mms_part& part = *info->part;
    if (line.empty()) {
        info->header_count = 0;
        info->state = client_state::PART_BODY;
        log_printf("Part %d body starts", static_cast<int>(info->content_params->part_count));
        part.data_length = 0;
        info->part_started = false;
        info->part_data.clear();
        info->part_in_scratch = false;
        return line_result::next;
    }
    auto [result, name, value] = read_header(info, line, "Bad part header ", "400 Bad Request");
    if (result != line_result::next || name.empty()) {
        return result;
    }
    if (name == "content-type") {
        part.content_type = value;
    } else if (name == "content-id") {
        if (info->content_params->start && value == *info->content_params->start) {
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
            log_printf("Unsupported Content-Transfer-Encoding: %s", log_escape(value).c_str());
            return fail(info, "400 Bad Request");
        }
    }
    return line_result::next;
}

// The end of a part: its entry header, then its data, go to the PDU file.
line_result finish_part(outgoing_mms_info* info, std::string_view line) {
    output_file& out = *info->output;
    mms_part& part = *info->part;
    bool headers_ok = false;
    if (!compose_to_image(out,
                          [&](FILE* memory) { headers_ok = compose_part_headers(memory, part); })) {
        log_printf("Memory allocation error");
        return fail(info, "503 Server error");
    }
    if (!headers_ok) {
        log_printf("Incorrect part headers");
        return fail(info, "400 Bad request");
    }
    log_printf("Copying part...");
    if (info->part_in_scratch) {
        info->part_in_scratch = false;
        if (!write_image(info) || !copy_scratch(info, part.data_length)) {
            return output_error(info);
        }
    } else {
        const buffer& data = info->part_data.bytes();
        if (out.image.size() + data.size() <= MM7_PDU_IMAGE) {
            out.image.insert(out.image.end(), data.begin(), data.end());
        } else if (!write_image(info, data)) {
            return output_error(info);
        }
        info->part_data.clear();
    }
    info->part.reset();
    const std::string& delimiter = *info->content_params->delimiter;
    if (line.substr(delimiter.size()).starts_with("--")) {
        info->state = client_state::DONE;
        const std::uint64_t size = out.written + out.image.size();
        const auto count = static_cast<std::uint8_t>(info->content_params->part_count & 0xFF);
        const auto at = static_cast<std::uint64_t>(out.count_offset);
        if (at >= out.written) {
            out.image[at - out.written] = count;
        } else if (pwrite(output_fd(info), &count, 1, static_cast<off_t>(at)) != 1) {
            return output_error(info);
        }
        if (!write_image(info)) {
            return output_error(info);
        }
        out.image = buffer();
        info->part_data.release();
        SendRequestToKernel(info, size);
        return mm7_client_exists(info) ? line_result::next : line_result::closed;
    }
    if (info->content_params->part_count >= MM7_MAX_PARTS) {
        log_printf("Too many parts (more than %zu)", MM7_MAX_PARTS);
        return fail(info, "400 Bad request");
    }
    info->content_params->part_count += 1;
    info->state = client_state::PART_HEADERS;
    return line_result::next;
}

line_result on_part_body(outgoing_mms_info* info, std::string_view line) {
    const std::string& delimiter = *info->content_params->delimiter;
    bool ok;
    if (!info->line_open && line.starts_with(delimiter)) {
        return finish_part(info, line);
    }
    ok = info->part->base64 ? write_base64_line(info, line) : write_raw_line(info, line);
    if (!ok) {
        return line_result::closed;
    }
    info->line_open = false;
    return line_result::next;
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

// Refuses a line over the bound: a long header line is too large a header, a long request or
// delimiter line a bad request.
line_result refuse_long_line(outgoing_mms_info* info) {
    log_printf("Line too long (more than %zu bytes)", MM7_MAX_HEADER_LINE);
    bool header = is_header_state(info->state) && info->state != client_state::REQUEST_LINE;
    return fail(info, header ? "431 Request Header Fields Too Large" : "400 Bad request");
}

line_result process_line(outgoing_mms_info* info, std::string_view line) {
    if (is_header_state(info->state) && line.size() > MM7_MAX_HEADER_LINE) {
        return refuse_long_line(info);
    }
    switch (info->state) {
        case client_state::REQUEST_LINE:
            if (!line.starts_with("POST /mm7 HTTP/1.")) {
                return fail(info, "400 Bad request");
            }
            log_printf("Valid request received, waiting for headers");
            info->state = client_state::HTTP_HEADERS;
            return line_result::next;
        case client_state::HTTP_HEADERS:
            return on_http_header(info, line);
        case client_state::PREAMBLE:
            if (!info->line_open && line.starts_with(*info->boundary)) {
                info->state = client_state::ENVELOPE_HEADERS;
            }
            info->line_open = false;
            return line_result::next;
        case client_state::ENVELOPE_HEADERS:
            return on_envelope_header(info, line);
        case client_state::ENVELOPE_BODY:
            return on_envelope_body(info, line);
        case client_state::CONTENT_HEADERS:
            return on_content_header(info, line);
        case client_state::CONTENT_PREAMBLE:
            if (!info->line_open && line.starts_with(*info->content_params->delimiter)) {
                info->content_params->part_count = 1;
                info->part.reset();
                info->state = client_state::PART_HEADERS;
            }
            info->line_open = false;
            return line_result::next;
        case client_state::PART_HEADERS:
            return on_part_header(info, line);
        case client_state::PART_BODY:
            return on_part_body(info, line);
        default:
            return line_result::next;  // DONE: input after the request is ignored
    }
}

// The delimiter a line of the current state is compared with, if any.
const std::string* watched_delimiter(const outgoing_mms_info* info) {
    switch (info->state) {
        case client_state::PREAMBLE:
        case client_state::ENVELOPE_BODY:
            return &*info->boundary;
        case client_state::CONTENT_PREAMBLE:
        case client_state::PART_BODY:
            return &*info->content_params->delimiter;
        default:
            return nullptr;
    }
}

// ---- chunked request bodies ----

constexpr std::size_t kMaxChunkLine = 4096;  // a size line with its extensions

enum class chunk_result { ok, bad, closed };

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<unsigned char>(std::tolower(c));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Decodes the next bytes of a chunked body; each run of data goes to `out`, which answers false
// when the connection was closed.  Bytes after the last chunk's trailer are ignored.
template <typename Out>
chunk_result decode_chunks(chunk_decoder& d, byte_view in, Out&& out) {
    using step = chunk_decoder::step;
    for (std::size_t i = 0; i < in.size() && d.at != step::done; ++i) {
        const unsigned char c = in[i];
        switch (d.at) {
            case step::size:
                if (int v = hex_value(c); v >= 0) {
                    if (d.digits == 15) {
                        return chunk_result::bad;
                    }
                    d.left = d.left * 16 + static_cast<std::uint64_t>(v);
                    ++d.digits;
                    break;
                }
                if (d.digits == 0) {
                    return chunk_result::bad;
                }
                d.at = step::size_line;
                d.line_bytes = 0;
                [[fallthrough]];
            case step::size_line:
                if (c == '\n') {
                    d.at = d.left == 0 ? step::trailer : step::data;
                    d.line_bytes = 0;
                } else if (++d.line_bytes > kMaxChunkLine) {
                    return chunk_result::bad;
                }
                break;
            case step::data: {
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(d.left, in.size() - i));
                if (!out(in.subspan(i, take))) {
                    return chunk_result::closed;
                }
                d.left -= take;
                i += take - 1;
                if (d.left == 0) {
                    d.at = step::data_end;
                    d.line_bytes = 0;
                }
                break;
            }
            case step::data_end:
                if (c == '\r' && d.line_bytes++ == 0) {
                    break;
                }
                if (c != '\n') {
                    return chunk_result::bad;
                }
                d.at = step::size;
                d.digits = 0;
                d.left = 0;
                break;
            case step::trailer:
                if (++d.trailer_bytes > MM7_MAX_HEADER_LINE) {
                    return chunk_result::bad;
                }
                if (c == '\n') {
                    d.at = d.line_bytes == 0 ? step::done : step::trailer;
                    d.line_bytes = 0;
                } else if (c != '\r') {
                    ++d.line_bytes;
                }
                break;
            case step::done:
                break;
        }
    }
    return chunk_result::ok;
}

bool process_input(outgoing_mms_info* info, const std::uint8_t* data, std::size_t length);

// Body bytes as they are meant (after any chunk framing); false when the connection was closed.
bool deliver_plain(outgoing_mms_info* info, const std::uint8_t* data, std::size_t length) {
    switch (info->state) {
        case client_state::MM1_BODY:
            HandleMM1Body(info, data, length);
            return mm7_client_exists(info);
        case client_state::DONE:
            return true;  // input after the request is ignored
        default:
            return process_input(info, data, length);
    }
}

// Body bytes as they arrive; false when the connection was closed.
bool deliver_body(outgoing_mms_info* info, const std::uint8_t* data, std::size_t length) {
    if (!info->chunked) {
        return deliver_plain(info, data, length);
    }
    chunk_result result = decode_chunks(
        info->chunks, byte_view(data, length),
        [info](byte_view piece) { return deliver_plain(info, piece.data(), piece.size()); });
    if (result == chunk_result::closed) {
        return false;
    }
    if (info->state == client_state::DONE) {
        return true;
    }
    if (result == chunk_result::bad) {
        log_printf("Bad chunked encoding");
        return refuse(info, "400 Bad request");
    }
    if (info->chunks.at != chunk_decoder::step::done) {
        return true;
    }
    if (info->state != client_state::MM1_BODY) {
        log_printf("Request body ended before the request");
        return refuse(info, "400 Bad request");
    }
    // A chunked MM1 body is complete with its last chunk.
    long size = std::ftell(info->output->stream.get());
    if (size < 1) {
        log_printf("MM1 MODE: Invalid content length %d", 0);
        return refuse(info, "400 Bad request");
    }
    info->state = client_state::DONE;
    SendRequestToKernel(info, static_cast<std::uint64_t>(size));
    return mm7_client_exists(info);
}

// Decodes the whole groups of four of the first `take` bytes of a long base64 line; of the rest
// only its symbols (fewer than four) and the last byte stay pending, so junk cannot pile up.
bool consume_long_base64(outgoing_mms_info* info, std::size_t take) {
    buffer& pending = info->pending;
    std::string_view text = as_text(pending);
    std::size_t symbols = 0;
    std::size_t cut = 0;
    for (std::size_t i = 0; i < take; ++i) {
        if (base64_is_symbol(static_cast<unsigned char>(text[i])) && ++symbols % 4 == 0) {
            cut = i + 1;
        }
    }
    if (cut > 0 && !write_base64_line(info, text.substr(0, cut))) {
        return false;
    }
    std::string rest;
    for (std::size_t i = cut; i < take; ++i) {
        if (base64_is_symbol(static_cast<unsigned char>(text[i]))) {
            rest += text[i];
        }
    }
    rest += text[take];
    pending.assign(rest.begin(), rest.end());
    info->line_open = true;
    return true;
}

// Deals with an unterminated line that has grown long: header lines are refused, body lines
// are consumed up to their last byte (which may be the CR of a CRLF split between reads).
// False when the connection was closed.
bool consume_long_line(outgoing_mms_info* info) {
    buffer& pending = info->pending;
    if (is_header_state(info->state)) {
        if (pending.size() > MM7_MAX_HEADER_LINE) {
            refuse_long_line(info);
            return false;
        }
        return true;
    }
    if (pending.size() <= MM7_LONG_LINE) {
        return true;
    }
    const std::string* delimiter = watched_delimiter(info);
    std::string_view text = as_text(pending);
    if (!info->line_open && delimiter != nullptr && text.starts_with(*delimiter)) {
        // A delimiter line with a long tail: keep it whole until it ends, within bounds.
        if (pending.size() > MM7_MAX_HEADER_LINE) {
            refuse_long_line(info);
            return false;
        }
        return true;
    }
    std::size_t take = pending.size() - 1;  // the last byte may be the CR of a split CRLF
    switch (info->state) {
        case client_state::ENVELOPE_BODY:
            if (!append_envelope(info, text.substr(0, take), !info->line_open)) {
                return false;
            }
            break;
        case client_state::PART_BODY:
            if (info->part->base64) {
                return consume_long_base64(info, take);
            }
            if (!write_raw_line(info, text.substr(0, take))) {
                return false;
            }
            break;
        default:
            break;  // skipped lines: preambles and input after the request
    }
    info->line_open = true;
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
    return true;
}

// Runs the received bytes through the line state machine; false when the connection was closed.
bool process_input(outgoing_mms_info* info, const std::uint8_t* data, std::size_t length) {
    buffer& pending = info->pending;
    std::size_t search_from = pending.empty() ? 0 : pending.size() - 1;
    pending.insert(pending.end(), data, data + length);
    std::size_t position = 0;
    for (;;) {
        std::string_view text = as_text(pending);
        std::size_t crlf = text.find(kCrlf, std::max(position, search_from));
        if (crlf == std::string_view::npos) {
            break;
        }
        std::string_view line = text.substr(position, crlf - position);
        position = crlf + 2;
        line_result result = process_line(info, line);
        if (result == line_result::closed) {
            return false;
        }
        if (result == line_result::mm1 ||
            (info->chunked && !info->body_started && info->state != client_state::HTTP_HEADERS)) {
            // The headers are over: the rest is body, which a chunked request frames.
            info->body_started = info->chunked;
            buffer rest(pending.begin() + static_cast<std::ptrdiff_t>(position), pending.end());
            pending.clear();
            pending.shrink_to_fit();
            return rest.empty() || deliver_body(info, rest.data(), rest.size());
        }
        if (info->state == client_state::DONE) {
            pending.clear();  // anything after the request is ignored
            return mm7_client_exists(info);
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(position));
    return consume_long_line(info);
}

}  // namespace

// ---- part data in memory ----

std::size_t part_memory::total_ = 0;

bool part_memory::append(byte_view data) {
    const std::size_t need = bytes_.size() + data.size();
    if (need > MM7_PART_IN_MEMORY) {
        return false;
    }
    const std::size_t had = bytes_.capacity();
    if (need > had) {
        std::size_t room =
            std::min(std::max({need, 2 * had, std::size_t{4096}}), MM7_PART_IN_MEMORY);
        if (total_ - had + room > MM7_PART_MEMORY_TOTAL) {
            return false;
        }
        bytes_.reserve(room);
        total_ = total_ - had + bytes_.capacity();
    }
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return true;
}

void part_memory::release() {
    total_ -= bytes_.capacity();
    buffer().swap(bytes_);
}

void ParseMultipartParams(std::string_view value, opt_text& boundary, opt_text& start,
                          opt_text& type) {
    boundary.reset();
    start.reset();
    type.reset();
    auto find_value = [&](std::string_view name, char end, bool keep_end) -> opt_text {
        std::string key = std::string(name) + "=\"";
        std::size_t at = value.find(key);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        std::size_t from = at + key.size();
        std::size_t to = value.find(end, from);
        if (to == std::string_view::npos) {
            return std::nullopt;
        }
        return std::string(value.substr(from, to - from + (keep_end ? 1 : 0)));
    };
    boundary = find_value("boundary", '"', false);
    if (boundary) {
        log_printf("Multipart boundary: %s", log_escape(*boundary).c_str());
    }
    type = find_value("type", '"', false);
    if (type) {
        log_printf("Type: %s", log_escape(*type).c_str());
    }
    start = find_value("start", '>', true);
    if (start) {
        log_printf("Start: %s", log_escape(*start).c_str());
    }
}

int HandleMM1Body(outgoing_mms_info* info, const std::uint8_t* bytes, std::size_t length) {
    FILE* stream = info->output->stream.get();
    long position = std::ftell(stream);
    if (info->chunked) {
        // Ends with the last chunk; only the size bound applies on the way.
        if (static_cast<std::uint64_t>(position) + length > info->config->max_message_size) {
            log_printf("Message larger than %llu bytes",
                       static_cast<unsigned long long>(info->config->max_message_size));
            SendHttpError(info, "413 Payload Too Large");
        } else if (!write_bytes(stream, bytes, length)) {
            log_printf("Cannot write output file %s. Errno: %d (%s)", info->output->path.c_str(),
                       errno, std::strerror(errno));
            SendHttpError(info, "503 Server error");
        }
        return 0;
    }
    long room = static_cast<long>(info->content_length) - position;
    if (room < static_cast<long>(length)) {
        log_printf("HandleMM1Body: got more data (%d) than content length (%d)",
                   static_cast<int>(position + static_cast<long>(length)), info->content_length);
        length = room > 0 ? static_cast<std::size_t>(room) : 0;
    }
    if (!write_bytes(stream, bytes, length)) {
        log_printf("Cannot write output file %s. Errno: %d (%s)", info->output->path.c_str(), errno,
                   std::strerror(errno));
        SendHttpError(info, "503 Server error");
        return 0;
    }
    if (position + static_cast<long>(length) == info->content_length) {
        info->state = client_state::DONE;
        SendRequestToKernel(info, static_cast<std::uint64_t>(info->content_length));
    }
    return 0;
}

int HandleClientInput(int fd, int flags, outgoing_mms_info* info) {
    if ((flags & MAINLOOP_OUT) != 0 && !mm7_socket_flush(fd)) {
        log_printf("Client disconnected %d", fd);
        info->peer_gone = true;
        CloseClient(info);
        return 0;
    }
    if (flags == MAINLOOP_OUT) {
        return 0;  // only writable: nothing to read
    }
    log_printf("HandleClientInput start %d", fd);
    static std::uint8_t receive_buffer[MM7_RECEIVE_SIZE];
    ssize_t n = recv(fd, receive_buffer, sizeof receive_buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    if (n == 0 && info->state == client_state::DONE && (flags & MAINLOOP_ERR) == 0) {
        // The request is complete: the end of its input is a half-close, and the answer is
        // still wanted.
        if (!info->input_closed) {
            log_printf("Client %d closed its sending side after the request", fd);
            info->input_closed = true;
            mainloop_set_fd_flags(fd, mm7_client_flags(info));
        }
        return 0;
    }
    if (n < 1) {
        log_printf("Client disconnected %d", fd);
        info->peer_gone = true;
        CloseClient(info);
        return 0;
    }
    bool open = true;
    switch (info->body_started ? client_state::PREAMBLE : info->state) {
        case client_state::PREAMBLE:
            info->last_progress = ticks_now();
            open = deliver_body(info, receive_buffer, static_cast<std::size_t>(n));
            break;
        case client_state::MM1_BODY:
            info->last_progress = ticks_now();
            HandleMM1Body(info, receive_buffer, static_cast<std::size_t>(n));
            open = mm7_client_exists(info);
            break;
        case client_state::DONE:
            break;  // waiting for the confirmation; further input is ignored
        default:
            info->last_progress = ticks_now();
            open = process_input(info, receive_buffer, static_cast<std::size_t>(n));
            break;
    }
    if (open) {
        mm7_account_memory(info);
    }
    return 0;
}
