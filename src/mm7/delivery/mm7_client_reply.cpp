// The MM7 client, reply side: reading what the VASP answers and judging the delivery by it.
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/http_text.h"
#include "core/log.h"
#include "mm7/delivery/mm7_client_internal.h"
#include "mm7/documents/mm7_xml.h"

namespace {

using S = mm7_client_state;

// Shared by all deliveries: each is filled and used up within one handler call.
std::array<char, MM7_CLIENT_REPLY_SIZE + 1> reply_area;

// The StatusCode of an MM7 response, whatever its prefix and the blanks around it; nothing when
// the body is no MM7 response.
std::optional<std::string> mm7_status_code(std::string_view body) {
    const std::size_t begin = body.find('<');
    const std::size_t end = body.rfind('>');
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) {
        return std::nullopt;
    }
    const xml_tree document = xml_load_document(body.substr(begin, end - begin + 1));
    mxml_node_t* status = document ? xml_find_element(document.get(), "StatusCode") : nullptr;
    if (!status) {
        return std::nullopt;
    }
    return xml_get_element_text(status).value_or(std::string());
}

// The status code of a response's status line (0 when it has none).
int status_code(std::string_view status_line) {
    const std::size_t space = status_line.find(' ');
    return space == std::string_view::npos
               ? 0
               : std::atoi(std::string(status_line.substr(space + 1)).c_str());
}

// Octets of a response head up to and including its blank line (lines ending in CRLF or LF
// alone); npos while the head is not complete.
std::size_t head_size(std::string_view reply) {
    const std::size_t crlf = reply.find("\r\n\r\n");
    const std::size_t lf = reply.find("\n\n");
    if (lf < crlf) {
        return lf + 2;
    }
    return crlf == std::string_view::npos ? crlf : crlf + 4;
}

}  // namespace

reply_view read_reply(std::string_view reply) {
    reply_view view;
    for (;;) {
        const std::size_t eol = reply.find('\n');
        if (!reply.starts_with("HTTP/") || eol == std::string_view::npos) {
            return view;
        }
        view.status_line = std::string(trim_blanks(reply.substr(0, eol)));
        view.code = status_code(view.status_line);
        const std::size_t end = head_size(reply);
        if (end == std::string_view::npos) {
            return view;
        }
        if (view.code >= 100 && view.code < 200) {
            reply.remove_prefix(end);
            continue;
        }
        view.head_complete = true;
        const std::string_view head = reply.substr(0, end);
        const std::string_view body = reply.substr(end);
        const auto encoding = header_value(head, "Transfer-Encoding");
        const auto length = header_value(head, "Content-Length");
        if (encoding && same_text_ignoring_case(*encoding, "chunked")) {
            view.body = dechunked(body, view.body_complete);
        } else if (length) {
            const std::uint64_t n = std::strtoull(std::string(*length).c_str(), nullptr, 10);
            view.body = std::string(body.substr(0, n));
            view.body_complete = body.size() >= n;
        } else {
            view.body = std::string(body);  // the body ends with the connection
            view.body_complete = view.code == 204 || view.code == 304;
        }
        return view;
    }
}

// Ends a delivery on the VASP's reply once it says enough: the whole head, and for a 2xx the
// whole body (or whatever came before the end of the connection, when at_end).  True when the
// delivery has ended.
bool judge_reply(mm7_client_info& info, bool at_end) {
    const reply_view reply = read_reply(info.reply);
    const bool full = info.reply.size() >= MM7_CLIENT_REPLY_SIZE;
    const bool success = reply.code >= 200 && reply.code < 300;
    if (!at_end && !full && (!reply.head_complete || (success && !reply.body_complete))) {
        return false;  // wait for more of the reply
    }
    log_printf("mm7_client_handle_read: %s ", log_escape(info.reply).c_str());
    if (reply.code == 0) {
        mm7_client_finished(info, delivery_outcome::connection_lost,
                            "the VASP's reply has no HTTP status line");
    } else if (success) {
        const auto status_code = mm7_status_code(reply.body);
        const std::string detail =
            concat({reply.status_line, ", StatusCode ", status_code.value_or("none")});
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
        mm7_client_finished(info, delivery_outcome::rejected, reply.status_line);
    }
    return true;
}

bool final_reply_begun(std::string& reply) {
    for (;;) {
        constexpr std::string_view HTTP = "HTTP/";
        if (reply.size() >= MM7_CLIENT_REPLY_SIZE) {
            return true;
        }
        if (!reply.starts_with(HTTP)) {
            return !HTTP.starts_with(reply);  // no HTTP at all, unless too little to tell
        }
        const std::size_t eol = reply.find('\n');
        if (eol == std::string::npos) {
            return false;
        }
        const std::string status_line(trim_blanks(std::string_view(reply).substr(0, eol)));
        const int code = status_code(status_line);
        if (code < 100 || code > 199) {
            return true;  // a final response
        }
        const std::size_t end = head_size(reply);
        if (end == std::string::npos) {
            return false;
        }
        log_printf("mm7_client_handle_read: interim response skipped: %s",
                   log_escape(status_line).c_str());
        reply.erase(0, end);
    }
}

// Reads through TLS when the connection has it: the count read, 0 at the end, or -1 with errno
// (EAGAIN when nothing can be read now; EPROTO for a TLS failure, told in tls_failure).
ssize_t client_recv(int fd, mm7_client_info& info, std::span<char> out) {
    if (!info.tls) {
        return recv(fd, out.data(), out.size(), 0);
    }
    std::size_t got = 0;
    const std::span<std::uint8_t> into(reinterpret_cast<std::uint8_t*>(out.data()), out.size());
    switch (info.tls->read(into, got)) {
        case tls_state::done:
            return static_cast<ssize_t>(got);
        case tls_state::want_read:  // a record not yet whole, or one of TLS's own (a ticket)
        case tls_state::want_write:
            errno = EAGAIN;
            return -1;
        case tls_state::closed:
            log_printf("mm7_client_handle_read: %s", info.tls->error().c_str());
            return 0;
        default:
            info.tls_failure = info.tls->error();
            errno = EPROTO;
            return -1;
    }
}

// Reads what the VASP sends.  True when the delivery has ended.
bool handle_read(int fd, mm7_client_info& info) {
    const ssize_t n = client_recv(fd, info, std::span(reply_area).first(MM7_CLIENT_REPLY_SIZE));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return false;
    }
    if (n > 0) {
        const std::size_t room = MM7_CLIENT_REPLY_SIZE - info.reply.size();
        info.reply.append(reply_area.data(), std::min(room, static_cast<std::size_t>(n)));
        refresh_deadline(info);
        if (info.state != S::complete && !final_reply_begun(info.reply)) {
            return false;  // interim responses only: the request goes on
        }
        if (info.state != S::complete) {
            log_printf("mm7_client_handle_read: %s ", log_escape(info.reply).c_str());
            log_printf("client handle_read %d premature reply from server", fd);
            const std::string status_line = read_reply(info.reply).status_line;
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
                        : info.tls_failure.empty() ? concat({"recv error: ", std::strerror(err)})
                                                   : concat({"recv error: ", info.tls_failure}));
    return true;
}
