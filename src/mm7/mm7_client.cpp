// The MM7 client: connection, the chunked request stream, the reply and the end of a delivery.
#include "mm7/mm7_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "mm7/mm7.h"
#include "mm7/mm7_entries.h"
#include "wsp/wsp.h"

namespace {

using S = mm7_client_state;

// Characters of a piece shown in the log.
constexpr int LOG_PIECE_CHARS = 512;

// The deliveries the client owns, by descriptor.
std::unordered_map<int, std::unique_ptr<mm7_client_info>> deliveries;
bool deadline_tick_added = false;

// Shared by all deliveries: each is filled and used up within one handler call.
std::array<char, MM7_CLIENT_REPLY_SIZE + 1> reply_area;
std::array<std::uint8_t, MM7_CLIENT_DATA_SIZE> data_area;
std::array<std::uint8_t, MM7_ENTRY_WINDOW> entry_area;

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

bool judge_reply(mm7_client_info& info, bool at_end);

void refresh_deadline(mm7_client_info& info) {
    info.deadline = ticks_now() + MM7_CLIENT_DEADLINE_SECONDS * ticks_per_second;
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
        // Past the total deadline, only a reply whose head is complete is taken as said.
        const bool over_total = now - info->total_deadline >= 0;
        if (info->state == S::complete && info->reply.starts_with("HTTP/") &&
            (!over_total || info->reply.find("\r\n\r\n") != std::string::npos)) {
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

std::string host_value(const url_parts& url) {
    if (!url.host) {
        return std::string();
    }
    std::string host = *url.host;
    if (url.port >= 1 && url.scheme) {
        host += ":" + itoa_dec(static_cast<int>(url.port));
    }
    if (url.user) {
        host = concat({*url.user, url.password ? ":" : "", view_of(url.password), "@", host});
    }
    return host;
}

std::string request_head(const mm7_client_info& info) {
    const url_parts& url = info.config->client_url_parts;
    return concat({"POST /", view_of(url.path), url.query ? "?" : "", view_of(url.query),
                   " HTTP/1.1\r\nConnection: close\r\nHost: ", host_value(url),
                   "\r\nSOAPAction: \"\"\r\nTransfer-Encoding: chunked\r\n",
                   "Content-Type: multipart/related; boundary=\"", info.boundary,
                   "\"; type=\"text/xml\"; start=\"<mm7_msg>\"\r\nX-QZM-GWSN: ", info.gw_serial,
                   "\r\nX-QZM-IMSI: ", info.imsi, "\r\nX-QZM-Port: ", std::to_string(info.port),
                   "\r\n\r\n"});
}

std::string envelope_part(const mm7_client_info& info) {
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
    if (message.content_type) {
        out +=
            concat({"\r\nContent-Type: multipart/related; start=\"",
                    mime_header_value(message.content_type->start.value_or("")), "\"; type=\"",
                    mime_header_value(message.content_type->type.value_or("")), "\"; boundary=\"",
                    info.content_boundary, "\"\r\nContent-ID: <mms_cid>\r\n\r\n"});
    } else {
        out += "--\r\n";
    }
    return out;
}

std::string closing_text(const mm7_client_info& info) {
    return concat({"\r\n--", info.content_boundary, "--\r\n\r\n--", info.boundary, "--\r\n"});
}

// The status code of the last final response in the reply (1xx interim responses skipped), 0
// when no complete status line is there yet; status_line gets its text.
int reply_status(std::string_view reply, std::string& status_line) {
    for (;;) {
        const std::size_t eol = reply.find("\r\n");
        if (!reply.starts_with("HTTP/") || eol == std::string_view::npos) {
            return 0;
        }
        status_line = std::string(reply.substr(0, eol));
        const std::size_t space = status_line.find(' ');
        if (space == std::string::npos || status_line.size() < space + 4) {
            return 0;
        }
        const int code = std::atoi(status_line.c_str() + space + 1);
        if (code < 100 || code >= 200) {
            return code;
        }
        const std::size_t end = reply.find("\r\n\r\n");
        if (end == std::string_view::npos) {
            return 0;
        }
        reply.remove_prefix(end + 4);
    }
}

// The text of the first StatusCode element, if the reply holds a complete one.
std::optional<std::string> mm7_status_code(std::string_view reply) {
    const std::size_t at = reply.find("StatusCode>");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t begin = at + 11;
    const std::size_t end = reply.find('<', begin);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(reply.substr(begin, end - begin));
}

// Ends a delivery on the VASP's reply once it says enough (or at its end, when at_end).
// True when the delivery has ended.
bool judge_reply(mm7_client_info& info, bool at_end) {
    std::string status_line;
    const int code = reply_status(info.reply, status_line);
    const auto status_code = mm7_status_code(info.reply);
    const bool full = info.reply.size() >= MM7_CLIENT_REPLY_SIZE;
    const bool success = code >= 200 && code < 300;
    if (!at_end && !full && (code == 0 || (success && !status_code))) {
        return false;  // wait for more of the reply
    }
    log_printf("mm7_client_handle_read: %s ", info.reply.c_str());
    if (code == 0) {
        mm7_client_finished(info, delivery_outcome::connection_lost,
                            "the VASP's reply has no HTTP status line");
    } else if (success) {
        const std::string detail =
            concat({status_line, ", StatusCode ", status_code.value_or("none")});
        const char klass = status_code && status_code->size() == 4 ? status_code->front() : '?';
        if (!status_code ||
            (klass == '1' && status_code->find_first_not_of("0123456789") == std::string::npos)) {
            mm7_client_finished(info, delivery_outcome::delivered, detail);
        } else if (klass == '2') {
            mm7_client_finished(info, delivery_outcome::client_error, detail);
        } else {
            mm7_client_finished(info, delivery_outcome::status_error, detail);
        }
    } else {
        mm7_client_finished(info, delivery_outcome::rejected, status_line);
    }
    return true;
}

// Reads what the VASP sends.  True when the delivery has ended.
bool handle_read(int fd, mm7_client_info& info) {
    const ssize_t n = recv(fd, reply_area.data(), MM7_CLIENT_REPLY_SIZE, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return false;
    }
    if (n > 0) {
        const std::size_t room = MM7_CLIENT_REPLY_SIZE - info.reply.size();
        info.reply.append(reply_area.data(), std::min(room, static_cast<std::size_t>(n)));
        refresh_deadline(info);
        if (info.state != S::complete) {
            log_printf("mm7_client_handle_read: %s ", info.reply.c_str());
            log_printf("client handle_read %d premature reply from server", fd);
            std::string status_line;
            reply_status(info.reply, status_line);
            mm7_client_finished(
                info, delivery_outcome::premature_reply,
                status_line.empty() ? "reply before the request was complete" : status_line);
            return true;
        }
        return judge_reply(info, false);
    }
    if (n == 0 && info.state == S::complete && !info.reply.empty()) {
        return judge_reply(info, true);
    }
    const int err = errno;
    log_printf(n == 0 ? "mm7_client_handle_poll: connection closed"
                      : "mm7_client_handle_poll: recv error");
    mm7_client_finished(info, delivery_outcome::connection_lost,
                        n == 0 ? std::string("the VASP closed the connection without a reply")
                               : concat({"recv error: ", std::strerror(err)}));
    return true;
}

// Aborts a delivery whose PDU no longer matches what was checked before it started: the last
// chunk is never sent, so the VASP cannot take the shortened request for a complete one.
void abort_stream(mm7_client_info& info, std::string_view what) {
    mm7_client_finished(
        info, delivery_outcome::bad_pdu,
        concat({what, " (part ", itoa_dec(static_cast<int>(info.part_number)), " of ",
                info.pdu_path.empty() ? "inline PDU" : info.pdu_path, "), request aborted"}));
}

// One HTTP chunk made of the pieces given, one after the other, into write_buf.  With no data
// at all it is the last chunk, "0" and two CRLF.
void frame_chunk(mm7_client_info& info, std::initializer_list<byte_view> pieces) {
    std::size_t n = 0;
    for (const byte_view& piece : pieces) {
        n += piece.size();
    }
    const std::string size = itoa_hex(static_cast<unsigned>(n));
    buffer& out = info.write_buf;
    out.clear();
    out.reserve(size.size() + n + 4);
    out.insert(out.end(), size.begin(), size.end());
    out.push_back('\r');
    out.push_back('\n');
    for (const byte_view& piece : pieces) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.push_back('\r');
    out.push_back('\n');
    info.write_sent = 0;
}

void set_text_chunk(mm7_client_info& info, std::string_view text) {
    mm7_client_set_chunk(info, as_bytes(text));
}

// The next entry header, or the closing text at the end of the PDU.  False when the delivery
// has ended.
bool produce_part_header(mm7_client_info& info) {
    if (info.pdu_position >= info.pdu_end) {
        log_printf(info.state == S::envelope_queued
                       ? "mm7-client handle_write: PDU file ends prematurely (1)"
                       : "mm7-client handle_write: end of PDU file");
        set_text_chunk(info, closing_text(info));
        info.state = S::closing_queued;
        return true;
    }
    const std::uint64_t remaining = info.pdu_end - info.pdu_position;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(entry_area.size(), remaining));
    const std::size_t got =
        mm7_client_read_pdu(info, info.pdu_position, std::span(entry_area).first(wanted));
    ++info.part_number;
    if (got < wanted) {
        abort_stream(info, "PDU file ends prematurely at an entry header");
        return false;
    }
    const entry_step step = mm7_read_entry(byte_view(entry_area).first(got), remaining);
    if (step.fault != entry_fault::none) {
        abort_stream(info, entry_fault_text(step.fault));
        return false;
    }
    info.part_remaining = step.entry->data_length;
    info.part_base64 = !mm7_part_is_raw(*step.entry);
    info.pdu_position += step.header_size;
    set_text_chunk(info, mm7_part_headers(*step.entry, info.content_boundary, info.part_base64));
    info.state = S::part_header_queued;
    return true;
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
    const byte_view piece(data_area.data(), got);
    if (info.part_base64) {
        const std::string text = base64_encode(piece).value_or(std::string());
        frame_chunk(info, {as_bytes(text), as_bytes("\r\n")});
    } else {
        mm7_client_set_chunk(info, piece);
    }
    info.part_remaining -= static_cast<std::int64_t>(got);
    info.pdu_position += got;
    info.state = S::part_data_queued;
    return true;
}

// Produces the piece of the current state into write_buf.  False when the delivery has ended.
bool produce_piece(int fd, mm7_client_info& info) {
    switch (info.state) {
        case S::connected: {
            const std::string head = request_head(info);
            info.write_buf.assign(head.begin(), head.end());
            info.write_sent = 0;
        }
            info.state = S::head_queued;
            return true;
        case S::head_queued:
            set_text_chunk(info, envelope_part(info));
            info.state = info.envelope_data->content_type ? S::envelope_queued : S::closing_queued;
            return true;
        case S::envelope_queued:
            return produce_part_header(info);
        case S::part_header_queued:
        case S::part_data_queued:
            return info.part_remaining > 0 ? produce_part_data(info) : produce_part_header(info);
        case S::closing_queued:
            mm7_client_set_chunk(info, {});
            info.pdu_file.reset();
            info.state = S::last_chunk_queued;
            return true;
        case S::last_chunk_queued:
            mainloop_set_fd_flags(fd, MAINLOOP_IN | MAINLOOP_ERR);
            info.state = S::complete;
            refresh_deadline(info);  // the reply has its own deadline
            return true;
        default:
            return true;
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
        info.state = S::connected;
        refresh_deadline(info);
        if (auto connected = std::exchange(info.on_connected, nullptr)) {
            connected();
        }
    }
    log_printf("handle_write &info=%p", static_cast<void*>(&info));
    if (info.write_sent < info.write_buf.size()) {
        const byte_view rest = byte_view(info.write_buf).subspan(info.write_sent);
        log_printf("handle_write: fd=%d,state=%d, offset=%d, write_buf=\n%.*s|", fd,
                   static_cast<int>(info.state), static_cast<int>(rest.size()),
                   static_cast<int>(std::min<std::size_t>(rest.size(), LOG_PIECE_CHARS)),
                   reinterpret_cast<const char*>(rest.data()));
        const ssize_t n = send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        log_printf("Bytes wrote: %d", static_cast<int>(n));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return false;
            }
            const int err = errno;
            log_printf("http handle_write: cannot write. Errno: %d (%s)", err, std::strerror(err));
            mm7_client_finished(info, delivery_outcome::connection_lost,
                                concat({"cannot write: ", std::strerror(err)}));
            return true;
        }
        refresh_deadline(info);
        info.write_sent += static_cast<std::size_t>(n);
        if (info.write_sent < info.write_buf.size()) {
            return false;  // the rest goes on a later event
        }
        info.write_buf.clear();
        info.write_sent = 0;
    }
    return !produce_piece(fd, info);
}

}  // namespace

std::string_view delivery_outcome_text(delivery_outcome outcome) {
    switch (outcome) {
        case delivery_outcome::delivered:
            return "delivered";
        case delivery_outcome::rejected:
            return "rejected by the VASP";
        case delivery_outcome::client_error:
            return "refused by the VASP as a client error";
        case delivery_outcome::status_error:
            return "not accepted by the VASP";
        case delivery_outcome::not_connected:
            return "no connection";
        case delivery_outcome::connection_lost:
            return "connection lost";
        case delivery_outcome::premature_reply:
            return "premature reply";
        case delivery_outcome::timed_out:
            return "timed out";
        case delivery_outcome::bad_pdu:
            return "bad PDU";
    }
    return "unknown";
}

int mm7_client_open(mm7_client_info& info) {
    const url_parts& url = info.config->client_url_parts;
    if (!url.host || url.host->empty()) {
        log_printf("http_open: client URL %s has no host, cannot connect",
                   info.config->client_url.c_str());
        return -1;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(url.port));
    if (inet_pton(AF_INET, url.host->c_str(), &peer.sin_addr) != 1) {
        log_printf("http_open: client URL host %s is not a dotted IPv4 address, cannot connect",
                   url.host->c_str());
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_printf("http_open: cannot create socket");
        return -1;
    }
    if (fd >= MAINLOOP_MAX_FDS) {
        log_printf("http_open: too many connections, fd %d", fd);
        close(fd);
        return -1;
    }
    log_printf("http_open: connecting to %s:%d\n", url.host->c_str(), static_cast<int>(url.port));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0 && errno != EINPROGRESS) {
        const int err = errno;
        log_printf("http_open: connect() failed. Errno: %d (%s)", err, std::strerror(err));
        close(fd);
        return -1;
    }
    log_printf("http_open: connected to %s:%d  fd=%d\n", url.host->c_str(),
               static_cast<int>(url.port), fd);
    info.state = S::connecting;
    info.boundary = make_boundary();
    info.content_boundary = make_boundary();
    info.fd = fd;
    refresh_deadline(info);
    // The body is about the PDU in base64.
    info.total_seconds =
        MM7_CLIENT_DEADLINE_SECONDS +
        static_cast<std::int64_t>((info.pdu_end / 3 * 4 + MM7_CLIENT_MIN_RATE - 1) /
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
    if (!mainloop_is_registered(fd)) {
        mm7_client_finished(*raw, delivery_outcome::not_connected, "the event loop refused it");
    }
}

int mm7_client_handle_poll(int fd, int flags, mm7_client_info* info) {
    log_printf("mm7_client_handle_poll %d", fd);
    // While connecting, every event is the connection's outcome: a refused connection also
    // reports readable, and must read as a failed connection rather than a lost one.
    if (info->state == S::connecting && (flags & (MAINLOOP_IN | MAINLOOP_ERR)) != 0) {
        flags = MAINLOOP_OUT;
    }
    if ((flags & MAINLOOP_IN) != 0) {
        handle_read(fd, *info);
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
    frame_chunk(info, {data});
}

void mm7_client_free(std::unique_ptr<mm7_client_info> info) {
    info.reset();  // the record's members release the message, buffers and the open file
}

void mm7_client_finished(mm7_client_info& info, delivery_outcome outcome, std::string_view reason) {
    const std::string transaction =
        info.envelope_data ? info.envelope_data->transaction_id.value_or("") : std::string();
    if (outcome == delivery_outcome::delivered) {
        log_printf("mm7_client: transaction %s delivered to the VASP (%.*s)", transaction.c_str(),
                   static_cast<int>(reason.size()), reason.data());
    } else {
        const std::string_view what = delivery_outcome_text(outcome);
        log_printf("mm7_client: delivery of transaction %s failed, %.*s: %.*s", transaction.c_str(),
                   static_cast<int>(what.size()), what.data(), static_cast<int>(reason.size()),
                   reason.data());
    }
    auto on_finished = std::exchange(info.on_finished, nullptr);
    const bool reached = info.state != S::connecting;
    const int fd = info.fd;
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
