// The MM7 client: connection, the chunked request stream, the reply and the end of a delivery.
#include "mm7/delivery/mm7_client.h"
#include "mm7/delivery/mm7_client_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/http_text.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "core/tls_client.h"
#include "mm7/delivery/mm7_entries.h"
#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"
#include "wsp/wsp.h"
#include "wsp/wsp_content.h"

namespace {

using S = mm7_client_state;

// Characters of a piece shown in the log.
constexpr std::size_t LOG_PIECE_CHARS = 512;
// Writes to the socket in one writable event at most.
constexpr int MM7_CLIENT_WRITES_PER_EVENT = 32;
// Over TLS, pieces are gathered until this much waits to be written, and written in whole
// records; the records collect in a buffer of MM7_CLIENT_TLS_OUTPUT octets, sent when it is full
// (one or two system calls for what would be eight) and once the request is complete.
constexpr std::size_t MM7_CLIENT_TLS_GATHER = 4 * TLS_RECORD_DATA;
constexpr std::size_t MM7_CLIENT_TLS_OUTPUT = 8 * TLS_RECORD_DATA;

// The deliveries the client owns, by descriptor.
std::unordered_map<int, std::unique_ptr<mm7_client_info>> deliveries;
bool deadline_tick_added = false;

// Shared by all deliveries: each is filled and used up within one handler call.
std::array<std::uint8_t, MM7_CLIENT_DATA_SIZE> data_area;
std::array<std::uint8_t, MM7_ENTRY_WINDOW> entry_area;

// Deliveries to an https URL: the context the client options make at start-up, and the last
// good session of each endpoint (host, port and the context that reached it) that the next
// delivery there resumes (a full handshake once, not for every message).  One endpoint's
// session is never offered to another.
std::unique_ptr<tls_context> client_tls;
std::unordered_map<std::string, tls_session> last_session;
constexpr std::size_t MAX_KEPT_SESSIONS = 1024;

std::string session_key(const mm7_client_info& info) {
    const void* context =
        info.tls_context_of_vasp ? info.tls_context_of_vasp.get() : client_tls.get();
    char text[32];
    std::snprintf(text, sizeof text, "%p", context);
    return concat({info.url.host.value_or(""), ":", std::to_string(info.url.port), " ", text});
}

void remember_session(const mm7_client_info& info) {
    if (last_session.size() >= MAX_KEPT_SESSIONS) {
        last_session.clear();  // endpoints of accounts a reload has replaced
    }
    last_session[session_key(info)] = info.tls->session();
}

constexpr std::string_view BOUNDARY_TEMPLATE = "----mime-boundary-XXXXXXXX-XXXXXXXX";
constexpr std::string_view BOUNDARY_ALPHABET =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Boundaries must not be guessable: raw SMIL from the network goes between them.
std::string make_boundary() {
    static const bool seeded = [] {
        std::srand(std::random_device{}());
        return true;
    }();
    (void)seeded;
    std::string out(BOUNDARY_TEMPLATE);
    for (char& c : out) {
        if (c == 'X') {
            c = BOUNDARY_ALPHABET[static_cast<std::size_t>(std::rand()) % BOUNDARY_ALPHABET.size()];
        }
    }
    return out;
}

}  // namespace

std::size_t mm7_client_read_pdu(mm7_client_info& info, std::uint64_t position,
                                std::span<std::uint8_t> out) {
    if (info.pdu_copy) {
        const buffer& pdu = *info.pdu_copy;
        if (position >= pdu.size()) {
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(out.size(), pdu.size() - position);
        std::copy_n(pdu.begin() + static_cast<std::ptrdiff_t>(position), n, out.begin());
        return n;
    }
    if (!info.pdu_file) {
        return 0;
    }
    const int fd = fileno(info.pdu_file.get());
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

namespace {

// The Host value: host and port only.  User name and password never go here: they are no
// valid part of it, and every proxy on the way would log them.
std::string host_value(const url_parts& url) {
    if (!url.host) {
        return std::string();
    }
    std::string host = *url.host;
    if (url.port >= 1 && url.scheme) {
        host += ":" + itoa_dec(static_cast<int>(url.port));
    }
    return host;
}

// A URL's user name or password as the user meant it: %XX escapes decoded.
std::string url_decoded(std::string_view text) {
    const auto hex = [](char c) {
        const int lower = std::tolower(static_cast<unsigned char>(c));
        return std::isdigit(lower) != 0       ? lower - '0'
               : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10
                                              : -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
            hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Basic credentials from the URL's user name and password, one base64 text without breaks.
std::string basic_credentials(const url_parts& url) {
    const std::string pair =
        concat({url_decoded(*url.user), ":", url_decoded(url.password.value_or(""))});
    std::string out = base64_encode(as_bytes(pair)).value_or(std::string());
    std::erase_if(out, [](char c) { return c == '\r' || c == '\n'; });
    return out;
}

// Room for n more octets at the end of write_buf, after what is still to be sent (what was sent
// is dropped first); their place.
std::span<std::uint8_t> append_room(mm7_client_info& info, std::size_t n) {
    buffer& out = info.write_buf;
    const std::size_t sent = std::exchange(info.write_sent, 0);
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
    info.secret_begin -= std::min(info.secret_begin, sent);
    info.secret_end -= std::min(info.secret_end, sent);
    const std::size_t at = out.size();
    out.resize(at + n);
    return std::span(out).subspan(at);
}

// Queues the request head; the credentials' place in it is kept so that the log never shows
// them.
void queue_head(mm7_client_info& info) {
    const url_parts& url = info.url;
    std::string head =
        concat({"POST /", view_of(url.path), url.query ? "?" : "", view_of(url.query),
                " HTTP/1.1\r\nConnection: close\r\nHost: ", host_value(url), "\r\n"});
    info.secret_begin = info.secret_end = 0;
    if (url.user) {
        head += "Authorization: Basic ";
        info.secret_begin = head.size();
        head += basic_credentials(url);
        info.secret_end = head.size();
        head += "\r\n";
    }
    head += concat({"SOAPAction: \"\"\r\n",
                    info.config->client_chunked
                        ? std::string("Transfer-Encoding: chunked\r\n")
                        : concat({"Content-Length: ", std::to_string(info.body_length), "\r\n"}),
                    "Content-Type: multipart/related; boundary=\"", info.boundary,
                    "\"; type=\"text/xml\"; start=\"<mm7_msg>\"\r\nX-QZM-GWSN: ", info.gw_serial,
                    "\r\nX-QZM-IMSI: ", info.imsi, "\r\nX-QZM-Port: ", std::to_string(info.port),
                    "\r\n\r\n"});
    const std::span<std::uint8_t> room = append_room(info, head.size());
    std::copy(head.begin(), head.end(), room.begin());
    const std::size_t at = info.write_buf.size() - head.size();
    info.secret_begin += at;
    info.secret_end += at;
}

// The root of a multipart/related content: the part the PDU's start names, when one has that
// Content-ID (angle brackets aside), else the first part.  Its Content-ID is the start as the
// part headers write it (none when the part has none: the first part is then the root all the
// same), and the type is the PDU's when the root is its own, else the root's media type.
struct content_root {
    std::string wanted;       // the PDU's start, without angle brackets
    std::string wanted_type;  // the PDU's type
    bool found = false;
    bool first = true;
    std::string start, type;

    static std::string_view bare(std::string_view id) {
        if (id.size() >= 2 && id.front() == '<' && id.back() == '>') {
            id = id.substr(1, id.size() - 2);
        }
        return id;
    }
    explicit content_root(const mms_content_type& ct)
        : wanted(bare(mime_header_value(ct.start.value_or("")))),
          wanted_type(mime_media_type(ct.type.value_or(""))),
          type(wanted_type) {}
    void see(std::string_view content_id, std::string_view media) {
        if (found) {
            return;
        }
        if (!wanted.empty() && bare(content_id) == wanted) {
            found = true;
            start = std::string(content_id);
            type = wanted_type.empty() ? std::string(media) : wanted_type;
        } else if (first) {
            start = std::string(content_id);
            type = std::string(media);
        }
        first = false;
    }
};

std::string envelope_part(const mm7_client_info& info, const content_root* root) {
    const mms_message& message = *info.envelope_data;
    std::string soap;
    switch (message.message_type) {
        case MMS_RETRIEVE_CONF:
            soap = mm7_deliver_req(message);
            break;
        case MMS_DELIVERY_IND:
            soap = mm7_delivery_report_req(message);
            break;
        case MMS_READ_ORIG_IND:
            soap = mm7_read_reply_req(message);
            break;
        default:
            break;
    }
    std::string out = concat({"--", info.boundary,
                              "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-ID: "
                              "<mm7_msg>\r\n\r\n",
                              soap, "\r\n--", info.boundary});
    if (!message.content_type || root == nullptr) {
        return out + "--\r\n";
    }
    // The content keeps the PDU's multipart kind.
    if (message.content_type->content_type == content_type_table[WSP_CONTENT_MULTIPART_MIXED]) {
        out += "\r\nContent-Type: multipart/mixed";
    } else {
        out += "\r\nContent-Type: multipart/related";
        if (!root->start.empty()) {
            out += "; " + mime_parameter("start", root->start);
        }
        if (!root->type.empty()) {
            out += "; " + mime_parameter("type", root->type);
        }
    }
    return out +
           concat({"; boundary=\"", info.content_boundary, "\"\r\nContent-ID: <mms_cid>\r\n\r\n"});
}

std::string closing_text(const mm7_client_info& info) {
    return concat({"\r\n--", info.content_boundary, "--\r\n\r\n--", info.boundary, "--\r\n"});
}

int expire_deliveries() {
    const std::int64_t now = ticks_now();
    std::vector<mm7_client_info*> expired;
    for (auto& [fd, info] : deliveries) {
        if (now - info->deadline >= 0 || now - info->total_deadline >= 0) {
            expired.push_back(info.get());
        }
    }
    for (mm7_client_info* info : expired) {
        // A reply is taken as said only once its head is complete; a VASP that stalls within
        // the head has not answered.
        const bool over_total = now - info->total_deadline >= 0;
        if (info->state == S::complete && read_reply(info->reply).head_complete) {
            judge_reply(*info, true);  // a VASP that answered but keeps the connection open
            continue;
        }
        const std::string state = itoa_dec(static_cast<int>(info->state));
        mm7_client_finished(*info, delivery_outcome::timed_out,
                            over_total
                                ? concat({"not done within ", std::to_string(info->total_seconds),
                                          " s in state ", state})
                                : concat({"no progress for ", itoa_dec(MM7_CLIENT_DEADLINE_SECONDS),
                                          " s in state ", state}));
    }
    return 0;
}

// Aborts a delivery whose PDU no longer matches what was checked before it started: the body
// ends short of its Content-Length (or without its last chunk), so the VASP cannot take the
// shortened request for a complete one.
void abort_stream(mm7_client_info& info, std::string_view what) {
    mm7_client_finished(
        info, delivery_outcome::bad_pdu,
        concat({what, " (part ", itoa_dec(static_cast<int>(info.part_number)), " of ",
                info.pdu_path.empty() ? "inline PDU" : info.pdu_path, "), request aborted"}));
}

// Adds to write_buf one piece of the body of n bytes, to be filled in: as they are with
// Content-Length, as one HTTP chunk with chunked framing.  Its place in write_buf, or nothing
// (the delivery ended) when the piece would take the body past the Content-Length it was
// announced with.
std::optional<std::span<std::uint8_t>> queue_body(mm7_client_info& info, std::size_t n) {
    const bool chunked = info.config->client_chunked;
    info.body_queued += n;
    if (!chunked && info.body_queued > info.body_length) {
        abort_stream(info, "the body outgrows its Content-Length");
        return std::nullopt;
    }
    const std::string size = chunked ? itoa_hex(static_cast<unsigned>(n)) + "\r\n" : "";
    const std::span<std::uint8_t> out = append_room(info, size.size() + n + (chunked ? 2 : 0));
    std::copy(size.begin(), size.end(), out.begin());
    if (chunked) {
        out[out.size() - 2] = '\r';
        out[out.size() - 1] = '\n';
    }
    return out.subspan(size.size(), n);
}

bool queue_text(mm7_client_info& info, std::string_view text) {
    const auto piece = queue_body(info, text.size());
    if (piece) {
        std::copy(text.begin(), text.end(), piece->begin());
    }
    return piece.has_value();
}

// One entry of the content as it goes out.
struct content_part {
    std::string headers;            // its MIME headers, boundary line to blank line
    std::string content_id, media;  // as the headers write them
    std::uint32_t header_size = 0;
    std::uint64_t data_length = 0;
    bool base64 = false;
};

// The entry at position, read as the stream sends it; what is wrong with it when it cannot be
// sent ("" when it can).  Used both to measure the body before connecting and to stream it, so
// that the two cannot disagree.
std::string_view read_part(mm7_client_info& info, std::uint64_t position, content_part& part) {
    const std::uint64_t remaining = info.pdu_end - position;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(entry_area.size(), remaining));
    const std::size_t got =
        mm7_client_read_pdu(info, position, std::span(entry_area).first(wanted));
    if (got < wanted) {
        return "PDU file ends prematurely at an entry header";
    }
    const entry_step step = mm7_read_entry(byte_view(entry_area).first(got), remaining);
    if (step.fault != entry_fault::none) {
        return entry_fault_text(step.fault);
    }
    part.base64 = !mm7_part_is_raw(*step.entry);
    part.headers = mm7_part_headers(*step.entry, info.content_boundary, part.base64);
    part.content_id = mime_header_value(step.entry->headers.content_id.value_or(""));
    part.media = mime_media_type(step.entry->content_type.content_type.value_or(""));
    part.header_size = step.header_size;
    part.data_length = step.entry->data_length;
    return {};
}

// The length of the whole body, from the same pieces the stream produces, and the envelope part
// (which names the content's root); nothing when the PDU no longer reads as it did when it was
// checked (why then says what is wrong).
std::optional<std::uint64_t> measure_body(mm7_client_info& info, std::string_view& why) {
    if (!info.envelope_data->content_type) {
        info.envelope_text = envelope_part(info, nullptr);
        return info.envelope_text.size();
    }
    content_root root(*info.envelope_data->content_type);
    std::uint64_t total = closing_text(info).size();
    content_part part;
    for (std::uint64_t position = info.pdu_position; position < info.pdu_end;
         position += part.header_size + part.data_length) {
        why = read_part(info, position, part);
        if (!why.empty()) {
            return std::nullopt;
        }
        root.see(part.content_id, part.media);
        total += part.headers.size() +
                 mm7_part_data_wire_size(part.data_length, part.base64, MM7_CLIENT_DATA_SIZE);
    }
    info.envelope_text = envelope_part(info, &root);
    return total + info.envelope_text.size();
}

// The next entry header, or the closing text at the end of the PDU.  False when the delivery
// has ended.
bool produce_part_header(mm7_client_info& info) {
    if (info.pdu_position >= info.pdu_end) {
        log_printf(info.state == S::envelope_queued
                       ? "mm7-client handle_write: PDU file ends prematurely (1)"
                       : "mm7-client handle_write: end of PDU file");
        info.state = S::closing_queued;
        return queue_text(info, closing_text(info));
    }
    ++info.part_number;
    content_part part;
    if (const std::string_view why = read_part(info, info.pdu_position, part); !why.empty()) {
        abort_stream(info, why);
        return false;
    }
    info.part_remaining = static_cast<std::int64_t>(part.data_length);
    info.part_base64 = part.base64;
    info.pdu_position += part.header_size;
    info.state = S::part_header_queued;
    return queue_text(info, part.headers);
}

// The next piece of the current part's data.  False when the delivery has ended.
bool produce_part_data(mm7_client_info& info) {
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(info.part_remaining, static_cast<std::int64_t>(data_area.size())));
    const std::size_t got =
        mm7_client_read_pdu(info, info.pdu_position, std::span(data_area).first(wanted));
    if (got < wanted) {
        log_printf(
            "mm7-client handle_write: PDU file ends prematurely (2), trying to read %d bytes",
            static_cast<int>(wanted));
        abort_stream(info, "PDU file ends inside a part");
        return false;
    }
    info.part_remaining -= static_cast<std::int64_t>(got);
    info.pdu_position += got;
    info.state = S::part_data_queued;
    const byte_view data(data_area.data(), got);
    // Encoded (with the CRLF that ends its last line) straight into the piece that goes out.
    const std::size_t size = info.part_base64 ? base64_encoded_size(got) + 2 : got;
    const auto piece = queue_body(info, size);
    if (piece && info.part_base64) {
        base64_encode_to(data, reinterpret_cast<char*>(piece->data()));
        (*piece)[size - 2] = '\r';
        (*piece)[size - 1] = '\n';
    } else if (piece) {
        std::copy(data.begin(), data.end(), piece->begin());
    }
    return piece.has_value();
}

// The body is out: from now on only the reply or an error wakes the handler.
void await_reply(int fd, mm7_client_info& info) {
    mainloop_set_fd_flags(fd, MAINLOOP_IN | MAINLOOP_ERR);
    info.state = S::complete;
    refresh_deadline(info);  // the reply has its own deadline
}

// Produces the piece of the current state into write_buf.  False when the delivery has ended.
bool produce_piece(int fd, mm7_client_info& info) {
    switch (info.state) {
        case S::connected:
            queue_head(info);
            info.state = S::head_queued;
            return true;
        case S::head_queued:
            info.state = info.envelope_data->content_type ? S::envelope_queued : S::closing_queued;
            return queue_text(info, std::exchange(info.envelope_text, std::string()));
        case S::envelope_queued:
            return produce_part_header(info);
        case S::part_header_queued:
        case S::part_data_queued:
            return info.part_remaining > 0 ? produce_part_data(info) : produce_part_header(info);
        case S::closing_queued:
            info.pdu_file.reset();
            if (info.config->client_chunked) {
                mm7_client_set_chunk(info, {});
                info.state = S::last_chunk_queued;
                return true;
            }
            if (info.body_queued != info.body_length) {
                abort_stream(info, "the body ends short of its Content-Length");
                return false;
            }
            await_reply(fd, info);
            return true;
        case S::last_chunk_queued:
            await_reply(fd, info);
            return true;
        default:
            return true;
    }
}

// What the log shows of the unsent rest of write_buf: its start, with the credentials of the
// request head blanked out.
std::string shown_piece(const mm7_client_info& info) {
    const std::size_t end = std::min(info.write_buf.size(), info.write_sent + LOG_PIECE_CHARS);
    std::string shown(info.write_buf.begin() + static_cast<std::ptrdiff_t>(info.write_sent),
                      info.write_buf.begin() + static_cast<std::ptrdiff_t>(end));
    for (std::size_t i = std::max(info.secret_begin, info.write_sent);
         i < std::min(info.secret_end, end); ++i) {
        shown[i - info.write_sent] = '*';
    }
    return shown;
}

// The connection is made (and its TLS handshake done): the request begins.
void begin_request(int fd, mm7_client_info& info) {
    info.state = S::connected;
    refresh_deadline(info);
    // The head goes out in this very event: the VASP never holds a connection that waits for
    // its request.
    produce_piece(fd, info);
    if (auto connected = std::exchange(info.on_connected, nullptr)) {
        connected();
    }
}

enum class handshake_step { waiting, done, ended };

// Drives the TLS handshake one step.  A peer that does not prove who it is gets nothing: the
// delivery ends before a byte of the request is written.
handshake_step continue_handshake(int fd, mm7_client_info& info) {
    tls_connection& tls = *info.tls;
    const tls_state state = tls.handshake();
    if (state == tls_state::done) {
        log_printf("http_handle_poll: TLS established %d: %s%s", fd, tls.protocol().c_str(),
                   tls.resumed() ? ", session resumed" : "");
        mainloop_set_fd_flags(fd, MAINLOOP_IN | MAINLOOP_OUT | MAINLOOP_ERR);
        begin_request(fd, info);
        return handshake_step::done;
    }
    if (state == tls_state::want_read || state == tls_state::want_write) {
        refresh_deadline(info);
        mainloop_set_fd_flags(
            fd, MAINLOOP_ERR | (state == tls_state::want_read ? MAINLOOP_IN : MAINLOOP_OUT));
        return handshake_step::waiting;
    }
    const url_parts& url = info.config->client_url_parts;
    mm7_client_finished(info, delivery_outcome::tls_failed,
                        concat({"with ", url.host.value_or(""), ":",
                                itoa_dec(static_cast<int>(url.port)), ": ", tls.error()}));
    return handshake_step::ended;
}

// The state still has pieces of the request to make beyond those queued (the closing text aside).
bool more_to_queue(S state) {
    return state == S::connected || state == S::head_queued || state == S::envelope_queued ||
           state == S::part_header_queued || state == S::part_data_queued;
}

// Over TLS, pieces are gathered until enough waits to fill several records, so that the request
// goes out in whole records, many to a system call, and no piece's tail makes a short record of
// its own.  False when the delivery has ended.
bool gather_pieces(int fd, mm7_client_info& info) {
    while (info.write_buf.size() - info.write_sent < MM7_CLIENT_TLS_GATHER &&
           more_to_queue(info.state)) {
        if (!produce_piece(fd, info)) {
            return false;
        }
    }
    return true;
}

// Sends through TLS when the connection has it: the count sent, or -1 with errno (EAGAIN when
// the socket takes nothing now; EPROTO for a TLS failure, told in tls_failure).  A write that
// did not go out is repeated with the same bytes, as TLS requires: write_buf does not change
// until they are taken.
ssize_t client_send(int fd, mm7_client_info& info, byte_view data) {
    if (!info.tls) {
        return send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    }
    std::size_t sent = 0;
    switch (info.tls->write(data, sent)) {
        case tls_state::done:
            return static_cast<ssize_t>(sent);
        case tls_state::want_read:
            info.tls_write_wants_read = true;
            mainloop_set_fd_flags(fd, MAINLOOP_IN | MAINLOOP_ERR);
            errno = EAGAIN;
            return -1;
        case tls_state::want_write:
            errno = EAGAIN;
            return -1;
        default:
            info.tls_failure = info.tls->error();
            errno = EPROTO;
            return -1;
    }
}

// One write step.  True when the delivery has ended.
bool handle_write(int fd, mm7_client_info& info) {
    // The connect's own result; once connected, a broken connection shows in send() and is
    // a lost connection, not a failed connect.
    int error = 0;
    socklen_t length = sizeof error;
    if (info.state == S::connecting &&
        (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error != 0)) {
        log_printf("http_handle_poll: connection failed %d", fd);
        mm7_client_finished(
            info, delivery_outcome::not_connected,
            concat({"connection failed: ", std::strerror(error != 0 ? error : errno)}));
        return true;
    }
    if (info.state == S::connecting) {
        log_printf("http_handle_poll: connection established %d", fd);
        if (info.url.scheme != "https") {
            begin_request(fd, info);
        } else if (!info.tls_context_of_vasp && !client_tls) {
            // Never in the clear to an https URL.
            mm7_client_finished(info, delivery_outcome::tls_failed, "no TLS client context");
            return true;
        } else {
            std::string error;
            tls_context& context =
                info.tls_context_of_vasp ? *info.tls_context_of_vasp : *client_tls;
            info.tls = tls_connection::client(context, fd, info.url.host.value_or(""), error,
                                              last_session[session_key(info)]);
            if (info.tls && !info.tls->gather_output(MM7_CLIENT_TLS_OUTPUT)) {
                info.tls.reset();
                error = "no output buffer";
            }
            // What gathering holds at most: less than MM7_CLIENT_TLS_GATHER, and one more piece.
            info.write_buf.reserve(MM7_CLIENT_TLS_GATHER + 2 * MM7_CLIENT_DATA_SIZE);
            if (!info.tls) {
                mm7_client_finished(info, delivery_outcome::tls_failed,
                                    concat({"cannot start TLS: ", error}));
                return true;
            }
            info.state = S::handshaking;
            refresh_deadline(info);
            const handshake_step step = continue_handshake(fd, info);
            if (step != handshake_step::done) {
                return step == handshake_step::ended;
            }
        }
    }
    log_printf("handle_write &info=%p", static_cast<void*>(&info));
    // Pieces go out one after the other while the socket takes them, a bounded number of writes
    // per event so that other connections get their turn.
    for (int writes = 1;; ++writes) {
        if (info.tls && !gather_pieces(fd, info)) {
            return true;
        }
        if (info.write_sent < info.write_buf.size()) {
            byte_view rest = byte_view(info.write_buf).subspan(info.write_sent);
            if (info.tls && more_to_queue(info.state)) {
                rest = rest.first(rest.size() - rest.size() % TLS_RECORD_DATA);
            }
            if (log_enabled(log_level::debug)) {
                const std::string shown = log_escape(shown_piece(info));  // peer text, raw SMIL too
                log_printf("handle_write: fd=%d,state=%d, offset=%d, write_buf=\n%s|", fd,
                           static_cast<int>(info.state), static_cast<int>(rest.size()),
                           shown.c_str());
            }
            const ssize_t n = client_send(fd, info, rest);
            log_printf("Bytes wrote: %d", static_cast<int>(n));
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    return false;
                }
                const int err = errno;
                log_printf("http handle_write: cannot write. Errno: %d (%s)", err,
                           std::strerror(err));
                mm7_client_finished(
                    info, delivery_outcome::connection_lost,
                    concat({"cannot write: ",
                            info.tls_failure.empty() ? std::strerror(err) : info.tls_failure}));
                return true;
            }
            refresh_deadline(info);
            info.write_sent += static_cast<std::size_t>(n);
            if (info.write_sent == info.write_buf.size()) {
                info.write_buf.clear();
                info.write_sent = info.secret_begin = info.secret_end = 0;
            }
            if (writes == MM7_CLIENT_WRITES_PER_EVENT) {
                return false;  // the rest goes on a later event
            }
            if (!info.write_buf.empty()) {
                continue;
            }
        }
        // The records that wait in the output buffer go before the request counts as sent.
        if (info.tls && !more_to_queue(info.state) && info.tls->output_pending()) {
            const tls_state flushed = info.tls->flush();
            if (flushed == tls_state::failed) {
                mm7_client_finished(info, delivery_outcome::connection_lost,
                                    concat({"cannot write: ", info.tls->error()}));
                return true;
            }
            if (flushed != tls_state::done) {
                return false;
            }
            refresh_deadline(info);
        }
        if (!produce_piece(fd, info)) {
            return true;
        }
        if (info.write_buf.empty()) {
            return false;
        }
    }
}

}  // namespace

namespace {

// What each outcome is called in the log, and as a metrics label.
struct outcome_names {
    delivery_outcome outcome;
    std::string_view text;
    std::string_view label;
};
constexpr outcome_names OUTCOME_NAMES[] = {
    {delivery_outcome::delivered, "delivered", "delivered"},
    {delivery_outcome::rejected, "rejected by the VASP", "rejected"},
    {delivery_outcome::client_error, "refused by the VASP as a client error", "client_error"},
    {delivery_outcome::status_error, "not accepted by the VASP", "status_error"},
    {delivery_outcome::not_connected, "no connection", "not_connected"},
    {delivery_outcome::tls_failed, "TLS handshake failed", "tls_failed"},
    {delivery_outcome::connection_lost, "connection lost", "connection_lost"},
    {delivery_outcome::premature_reply, "premature reply", "premature_reply"},
    {delivery_outcome::timed_out, "timed out", "timed_out"},
    {delivery_outcome::bad_pdu, "bad PDU", "bad_pdu"},
};

const outcome_names* names_of(delivery_outcome outcome) {
    for (const outcome_names& names : OUTCOME_NAMES) {
        if (names.outcome == outcome) {
            return &names;
        }
    }
    return nullptr;
}

}  // namespace

std::string_view delivery_outcome_text(delivery_outcome outcome) {
    const outcome_names* names = names_of(outcome);
    return names ? names->text : "unknown";
}

std::string_view delivery_outcome_label(delivery_outcome outcome) {
    const outcome_names* names = names_of(outcome);
    return names ? names->label : "unknown";
}

bool mm7_client_tls_init(const server_config& config) {
    const url_parts& url = config.client_url_parts;
    const bool files = !config.client_ca_file.empty() || !config.client_cert_file.empty() ||
                       !config.client_key_file.empty();
    // VASP accounts may name https URLs of their own, now or after a reload.
    if (url.scheme != "https" && config.vasp_file.empty()) {
        if (files) {
            log_warning(
                "--clientcafile, --clientcert and --clientkey serve an https client URL only; "
                "not used");
        }
        return true;
    }
    client_tls =
        tls_client_context(config.client_ca_file, config.client_cert_file, config.client_key_file);
    if (client_tls) {
        // With an account file each account names its own endpoint; --clienturl is not used.
        const std::string to = config.vasp_file.empty() ? log_escape(url.host.value_or(""))
                                                        : "each VASP account's endpoint";
        log_info("Deliveries over TLS to %s, its certificate checked against %s%s%s", to.c_str(),
                 config.client_ca_file.empty() ? "the system's CA certificates"
                                               : config.client_ca_file.c_str(),
                 config.client_cert_file.empty() ? "" : ", presenting the certificate of ",
                 config.client_cert_file.c_str());
    }
    return client_tls != nullptr;
}

int mm7_client_open(mm7_client_info& info) {
    const url_parts& url = info.url;
    // Hosts are resolved before any delivery: the client URL's at start-up, an account's when
    // its file is read.
    const std::string address = !info.address.empty() ? info.address
                                : url.host == info.config->client_url_parts.host
                                    ? info.config->client_address
                                    : url.host.value_or("");
    if (!url.host || url.host->empty() || address.empty()) {
        // The URL itself is not logged: it may carry the VASP's credentials.
        log_warning("http_open: the client URL has no host, cannot connect");
        return -1;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(url.port));
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        log_warning("http_open: client URL host %s is not a dotted IPv4 address, cannot connect",
                    address.c_str());
        return -1;
    }
    // The whole body is measured before connecting: the VASP gets its exact length, and a PDU
    // that no longer reads as it did when it was checked costs it no connection.
    info.boundary = make_boundary();
    info.content_boundary = make_boundary();
    std::string_view why;
    const auto length = measure_body(info, why);
    if (!length) {
        log_printf("http_open: %.*s (%s), not connecting", static_cast<int>(why.size()), why.data(),
                   info.pdu_path.empty() ? "inline PDU" : log_escape(info.pdu_path).c_str());
        return -1;
    }
    info.body_length = *length;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error("http_open: cannot create socket");
        return -1;
    }
    if (fd >= MAINLOOP_MAX_FDS) {
        log_warning("http_open: too many connections, fd %d", fd);
        close(fd);
        return -1;
    }
    log_printf("http_open: connecting to %s:%d\n", address.c_str(), static_cast<int>(url.port));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0 && errno != EINPROGRESS) {
        const int err = errno;
        log_printf("http_open: connect() failed. Errno: %d (%s)", err, std::strerror(err));
        close(fd);
        return -1;
    }
    log_printf("http_open: connected to %s:%d  fd=%d\n", address.c_str(),
               static_cast<int>(url.port), fd);
    info.state = S::connecting;
    info.fd = fd;
    refresh_deadline(info);
    info.total_seconds = MM7_CLIENT_DEADLINE_SECONDS +
                         static_cast<std::int64_t>((info.body_length + MM7_CLIENT_MIN_RATE - 1) /
                                                   MM7_CLIENT_MIN_RATE);
    info.total_deadline = ticks_now() + info.total_seconds * ticks_per_second;
    log_printf("mm7_client_open_end");
    return fd;
}

void mm7_client_register(std::unique_ptr<mm7_client_info> info) {
    if (!deadline_tick_added) {
        deadline_tick_added = true;
        mainloop_add_tick(expire_deliveries);
    }
    const int fd = info->fd;
    mm7_client_info* raw = info.get();
    deliveries[fd] = std::move(info);
    mainloop_register_fd(fd, MAINLOOP_IN | MAINLOOP_OUT | MAINLOOP_ERR, [raw](int cfd, int flags) {
        return mm7_client_handle_poll(cfd, flags, raw);
    });
    mainloop_limit_lines(fd, raw->log_lines);
    if (!mainloop_is_registered(fd)) {
        mm7_client_finished(*raw, delivery_outcome::not_connected, "the event loop refused it");
    }
}

int mm7_client_handle_poll(int fd, int flags, mm7_client_info* info) {
    log_printf("mm7_client_handle_poll %d", fd);
    if (info->state == S::handshaking) {
        if (continue_handshake(fd, *info) == handshake_step::done) {
            handle_write(fd, *info);  // the request head goes out at once
        }
        return 0;
    }
    // A write that waited for the socket to be readable goes on now.
    if (info->tls_write_wants_read && (flags & MAINLOOP_IN) != 0) {
        info->tls_write_wants_read = false;
        mainloop_set_fd_flags(fd, MAINLOOP_IN | MAINLOOP_OUT | MAINLOOP_ERR);
        flags = MAINLOOP_OUT;
    }
    // While connecting, every event is the connection's outcome: a refused connection also
    // reports readable, and must read as a failed connection rather than a lost one.
    if (info->state == S::connecting && (flags & (MAINLOOP_IN | MAINLOOP_ERR)) != 0) {
        flags = MAINLOOP_OUT;
    }
    if ((flags & MAINLOOP_IN) != 0) {
        // What TLS has already taken off the socket wakes no one: it is read on at once.
        while (!handle_read(fd, *info) && info->tls && info->tls->buffered()) {
        }
    } else if ((flags & MAINLOOP_OUT) != 0) {
        if (!handle_write(fd, *info) && (flags & MAINLOOP_ERR) != 0) {
            log_printf("http_handle_poll: socket error");
            mm7_client_finished(*info, delivery_outcome::connection_lost, "socket error");
        }
    } else {
        log_printf("http_handle_poll: socket error");
        mm7_client_finished(*info, delivery_outcome::connection_lost, "socket error");
    }
    return 0;
}

void mm7_client_set_chunk(mm7_client_info& info, byte_view data) {
    const std::string size = itoa_hex(static_cast<unsigned>(data.size()));
    buffer& out = info.write_buf;
    out.clear();
    out.reserve(size.size() + data.size() + 4);
    out.insert(out.end(), size.begin(), size.end());
    out.push_back('\r');
    out.push_back('\n');
    out.insert(out.end(), data.begin(), data.end());
    out.push_back('\r');
    out.push_back('\n');
    info.write_sent = 0;
}

void mm7_client_free(std::unique_ptr<mm7_client_info> info) {
    info.reset();  // the record's members release the message, buffers and the open file
}

void mm7_client_finished(mm7_client_info& info, delivery_outcome outcome, std::string_view reason) {
    const std::string transaction = log_escape(
        info.envelope_data ? info.envelope_data->transaction_id.value_or("") : std::string());
    const std::string shown_reason = log_escape(reason);
    // The delivery's outcome, one line per delivery: never suppressed.
    if (const log_scope outcome_line(nullptr); outcome == delivery_outcome::delivered) {
        log_info("mm7_client: transaction %s delivered to the VASP (%s)", transaction.c_str(),
                 shown_reason.c_str());
    } else {
        const std::string_view what = delivery_outcome_text(outcome);
        log_warning("mm7_client: delivery of transaction %s failed, %.*s: %s", transaction.c_str(),
                    static_cast<int>(what.size()), what.data(), shown_reason.c_str());
    }
    mm7_count_delivery(outcome, info.vasp);
    auto on_finished = std::exchange(info.on_finished, nullptr);
    const bool reached = info.state != S::connecting && info.state != S::handshaking;
    const int fd = info.fd;
    if (info.tls) {
        info.tls->shutdown();  // close_notify, as far as the socket takes it now
        if (reached && outcome != delivery_outcome::connection_lost &&
            outcome != delivery_outcome::timed_out) {
            remember_session(info);  // the VASP answered: its session is good
        }
    }
    if (fd >= 0) {
        info.fd = -1;
        if (mainloop_is_registered(fd)) {
            mainloop_unregister_fd(fd);
        }
        close(fd);
        auto it = deliveries.find(fd);
        if (it != deliveries.end() && it->second.get() == &info) {
            mm7_client_free(std::move(it->second));
            deliveries.erase(it);
        }
    }
    if (on_finished) {
        on_finished(outcome, reached);
    }
}

std::size_t mm7_delivery_count() {
    return deliveries.size();
}
