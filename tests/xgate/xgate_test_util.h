// Helpers of the kernel link tests: frames written field by field the way the kernel module
// writes them, and a parsed frame as one line.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "xgate/xgate.h"

class frame_writer {
  public:
    frame_writer& be32(std::uint32_t v) {
        return text(std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)});
    }
    // A text field of exactly width bytes, zero-padded (or cut).
    frame_writer& field(std::string_view text, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes_.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
        }
        return *this;
    }
    frame_writer& text(std::string_view text) { return field(text, text.size()); }
    const buffer& bytes() const { return bytes_; }

  private:
    buffer bytes_;
};

inline buffer join(std::initializer_list<buffer> parts) {
    buffer out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline buffer header(std::uint32_t kind, std::size_t payload_length, std::uint32_t word2 = 0) {
    return frame_writer().be32(kind).be32(word2).be32(payload_length).bytes();
}

inline buffer frame_of(std::uint32_t kind, const buffer& payload) {
    return join({header(kind, payload.size()), payload});
}

inline buffer timeout_ind(std::uint32_t call_id, std::string_view imsi, std::uint32_t timeout) {
    frame_writer w;
    w.be32(call_id).field(imsi, 15).field("", 1).be32(11).be32(12).be32(timeout);
    return frame_of(MMS_SENDMMS_TIMEOUT_IND, w.bytes());
}

inline buffer send_cnf(std::uint32_t call_id, std::uint32_t status, std::uint32_t cause,
                       std::string_view imsi, std::uint32_t port, const buffer& pdu,
                       std::optional<std::uint32_t> declared_pdu_length = std::nullopt) {
    frame_writer w;
    w.be32(call_id).be32(0).be32(status).be32(0).be32(cause).field(imsi, 15).field("", 1);
    w.be32(port).be32(declared_pdu_length.value_or(static_cast<std::uint32_t>(pdu.size())));
    return frame_of(MMS_SENDMMS_CNF, join({w.bytes(), pdu}));
}

// A receive indication; the lengths r, s and d default to those of to, from and data.
inline buffer mmsrcv_ind(std::string_view imsi, std::uint32_t port, std::uint32_t flags,
                         std::string_view to, std::string_view from, std::string_view data,
                         std::optional<std::array<std::uint32_t, 3>> lengths = std::nullopt) {
    auto [r, s, d] = lengths.value_or(std::array<std::uint32_t, 3>{
        static_cast<std::uint32_t>(to.size()), static_cast<std::uint32_t>(from.size()),
        static_cast<std::uint32_t>(data.size())});
    frame_writer w;
    w.field(imsi, 15).field("", 1).be32(port).be32(flags).be32(r).be32(s).be32(d);
    w.text(to).text(from).text(data);
    return frame_of(MMS_MMSRCV_IND, w.bytes());
}

// Bytes as hex digits, two a byte, without separators.
inline std::string hex_of(const buffer& bytes) {
    std::string hex;
    for (std::uint8_t c : bytes) {
        hex += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    }
    return hex;
}

// A parsed frame as one line of its set fields; data and PDU as text when printable, else hex.
inline std::string fields(const xgate_message& m) {
    std::string out = "kind=" + std::to_string(m.kind) + " len=" + std::to_string(m.frame_length);
    auto add = [&](const char* name, std::string_view value) {
        out += value.empty() ? "" : " " + std::string(name) + "=" + std::string(value);
    };
    for (auto [name, value] : {std::pair{"word2", m.word2},
                               {"call", m.call_id},
                               {"port", m.port},
                               {"flags", m.flags},
                               {"status", m.status},
                               {"cause", m.cause},
                               {"timeout", m.timeout}}) {
        add(name, value != 0 ? std::to_string(value) : "");
    }
    add("imsi", m.imsi);
    add("to", m.recipient);
    add("from", m.sender);
    for (auto [name, value] : {std::pair{"data", &m.data}, {"pdu", &m.pdu}}) {
        add(name,
            std::all_of(value->begin(), value->end(), [](auto c) { return c >= 0x20 && c < 0x7F; })
                ? std::string(as_text(*value))
                : hex_of(*value));
    }
    return out + (m.malformed ? " malformed" : "");
}
