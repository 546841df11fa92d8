// xgate frames: building what the daemon sends and parsing what the kernel module sends.
//
// The parser trusts nothing inside a frame.  A frame must fit in the datagram (otherwise there
// is no record and the walk over the datagram ends).  A frame that fits but whose own fields do
// not (shorter than the fixed fields of its kind, or R/S/D/P lengths reaching past its end) is
// dropped: it yields a record marked `malformed` holding only the header, so the receiver can
// skip it and still reach the frames behind it.  Texts that are longer than their room in the
// record are cut.  Nothing is ever read outside the frame.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "xgate/xgate.h"

namespace {

constexpr std::size_t HEADER_SIZE = 12;

// Room of the record's texts, without the terminator.
constexpr std::size_t IMSI_FIELD = 15;
constexpr std::size_t RECIPIENT_ROOM = 99;
constexpr std::size_t SENDER_ROOM = 103;

// Fixed fields of the kinds the kernel module sends, counted from the start of the frame.
constexpr std::size_t MMSRCV_IND_FIXED = 48;
constexpr std::size_t TIMEOUT_IND_FIXED = 44;
constexpr std::size_t SENDMMS_CNF_FIXED = 56;

// The kernel module's frames are its own; a flood of broken or unknown ones still writes few
// lines.
log_limiter malformed_log(5, 60);

// Process-wide call id counter; the first request carries 1 unless the link seeds it.
std::uint32_t last_call_id = 0;

void put_be32(buffer& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void put_le32(buffer& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 24));
}

void put_bytes(buffer& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
}

std::uint32_t get_be32(byte_view frame, std::size_t at) {
    return (std::uint32_t{frame[at]} << 24) | (std::uint32_t{frame[at + 1]} << 16) |
           (std::uint32_t{frame[at + 2]} << 8) | std::uint32_t{frame[at + 3]};
}

// A text field of the frame: up to its first zero byte, at most room characters.
std::string get_text(byte_view field, std::size_t room) {
    std::string_view text = as_text(field);
    text = text.substr(0, std::min(text.find('\0'), room));
    return std::string(text);
}

// A text argument as it goes into a frame: up to its first zero byte, so that the length fields
// always describe what the kernel module will read.
std::string_view wire_text(opt_view s) {
    if (!s) {
        return {};
    }
    return s->substr(0, s->find('\0'));
}

void parse_timeout_ind(byte_view frame, xgate_message& msg) {
    msg.call_id = get_be32(frame, 12);
    msg.imsi = get_text(frame.subspan(16, IMSI_FIELD), IMSI_FIELD);
    // 32 and 36: read by the kernel module's convention, not used here
    msg.timeout = get_be32(frame, 40);
}

bool parse_mmsrcv_ind(byte_view frame, xgate_message& msg) {
    msg.imsi = get_text(frame.subspan(12, IMSI_FIELD), IMSI_FIELD);
    msg.port = get_be32(frame, 28);
    msg.flags = get_be32(frame, 32);
    const std::uint64_t r = get_be32(frame, 36);
    const std::uint64_t s = get_be32(frame, 40);
    const std::uint64_t d = get_be32(frame, 44);
    if (MMSRCV_IND_FIXED + r + s + d > frame.size()) {
        return false;
    }
    std::size_t at = MMSRCV_IND_FIXED;
    msg.recipient = get_text(frame.subspan(at, r), RECIPIENT_ROOM);
    at += r;
    msg.sender = get_text(frame.subspan(at, s), SENDER_ROOM);
    at += s;
    auto data = frame.subspan(at, d);
    msg.data.assign(data.begin(), data.end());
    return true;
}

bool parse_sendmms_cnf(byte_view frame, xgate_message& msg) {
    msg.call_id = get_be32(frame, 12);
    // 16 and 24: read by the kernel module's convention, not used here
    msg.status = get_be32(frame, 20);
    msg.cause = get_be32(frame, 28);
    msg.imsi = get_text(frame.subspan(32, IMSI_FIELD), IMSI_FIELD);
    msg.port = get_be32(frame, 48);
    const std::uint64_t p = get_be32(frame, 52);
    if (SENDMMS_CNF_FIXED + p > frame.size()) {
        msg.call_id = 0;  // a dropped confirmation must not look like one
        return false;
    }
    auto pdu = frame.subspan(SENDMMS_CNF_FIXED, p);
    msg.pdu.assign(pdu.begin(), pdu.end());
    return true;
}

// Keeps only the header of a frame whose fields do not fit in it.
void drop_fields(xgate_message& msg) {
    xgate_message header;
    header.kind = msg.kind;
    header.word2 = msg.word2;
    header.frame_length = msg.frame_length;
    header.malformed = true;
    msg = std::move(header);
    malformed_log.printf("ParseXgateMessage: Malformed message %u of %u bytes dropped", msg.kind,
                         msg.frame_length);
}

}  // namespace

buffer xgate_frame(std::uint32_t kind, byte_view payload) {
    buffer frame;
    frame.reserve(HEADER_SIZE + payload.size());
    put_be32(frame, kind);
    put_be32(frame, 0);
    put_be32(frame, static_cast<std::uint32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

buffer xgate_build_connect_req() {
    return xgate_frame(XGATE_CONNECT_REQ, {});
}

void xgate_seed_call_id() {
    // Milliseconds of the wall clock: a restart never comes within the same millisecond, and the
    // counter only moves forward from the ids this process has used.
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto seed = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                                                 static_cast<std::uint64_t>(now.tv_nsec) / 1000000);
    last_call_id = std::max(last_call_id, seed);
}

buffer xgate_build_sendmms_req(std::uint32_t timeout, opt_view recipient, opt_view sender,
                               opt_view application, opt_view file, std::uint32_t& call_id) {
    // Call id 0 means "not tied to a request", so a wrapped counter skips it.
    if (++last_call_id == 0) {
        ++last_call_id;
    }
    call_id = last_call_id;

    const std::string_view to = wire_text(recipient);
    const std::string_view from = wire_text(sender);
    const std::string_view app = wire_text(application);
    const std::string_view path = wire_text(file);

    buffer payload;
    payload.reserve(28 + to.size() + 1 + from.size() + 1 + app.size() + path.size());
    put_be32(payload, call_id);
    put_be32(payload, timeout);
    put_be32(payload, 4);
    put_be32(payload, static_cast<std::uint32_t>(to.size() + 1));
    put_be32(payload, static_cast<std::uint32_t>(from.size() + 1));
    put_be32(payload, static_cast<std::uint32_t>(app.size()));
    put_be32(payload, static_cast<std::uint32_t>(path.size()));
    put_bytes(payload, to);
    payload.push_back(0);
    put_bytes(payload, from);
    payload.push_back(0);
    put_bytes(payload, app);
    put_bytes(payload, path);
    return xgate_frame(MMS_SENDMMS_REQ, payload);
}

buffer xgate_build_sendmms_result_ind(std::string_view imsi, std::uint32_t word1,
                                      std::uint32_t word2, std::uint32_t result,
                                      std::uint32_t cause, std::uint32_t port) {
    buffer payload(16, 0);
    const std::size_t n = std::min(imsi.size(), IMSI_FIELD);
    std::copy_n(imsi.begin(), n, payload.begin());
    put_le32(payload, word1);
    put_le32(payload, word2);
    put_le32(payload, result);
    put_le32(payload, cause);
    put_le32(payload, port);
    return xgate_frame(MMS_SENDMMS_RESULT_IND, payload);
}

std::unique_ptr<xgate_message> ParseXgateMessage(byte_view datagram, std::uint32_t offset) {
    if (offset > datagram.size() || datagram.size() - offset < HEADER_SIZE) {
        return nullptr;
    }
    const byte_view rest = datagram.subspan(offset);
    const std::uint64_t frame_length = std::uint64_t{get_be32(rest, 8)} + HEADER_SIZE;
    if (frame_length > rest.size()) {
        return nullptr;  // incomplete frame at the end of the datagram
    }
    const byte_view frame = rest.first(static_cast<std::size_t>(frame_length));

    auto msg = std::make_unique<xgate_message>();
    msg->kind = get_be32(frame, 0);
    msg->word2 = get_be32(frame, 4);
    msg->frame_length = static_cast<std::uint32_t>(frame_length);

    switch (msg->kind) {
        case MMS_SENDMMS_TIMEOUT_IND:
            if (frame.size() < TIMEOUT_IND_FIXED) {
                drop_fields(*msg);
            } else {
                parse_timeout_ind(frame, *msg);
            }
            break;
        case MMS_MMSRCV_IND:
            if (frame.size() < MMSRCV_IND_FIXED || !parse_mmsrcv_ind(frame, *msg)) {
                drop_fields(*msg);
            }
            break;
        case MMS_SENDMMS_CNF:
            if (frame.size() < SENDMMS_CNF_FIXED || !parse_sendmms_cnf(frame, *msg)) {
                drop_fields(*msg);
            }
            break;
        case XGATE_CONNECT_CNF:
            break;
        default:
            malformed_log.printf("ParseXgateMessage: Unknown message %u", msg->kind);
            break;
    }
    return msg;
}
