// Test helpers: a message record as one line of its present fields ("to=+1,+2 subject=Hi"), so
// that a test row states the whole record it expects, and the same for the header block of an
// m-send-req PDU, read by a decoder of the tests' own.  Octets outside printable ASCII are
// written \xNN; lists are joined with ","; zero numbers and absent texts are left out.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "mm7/mms_message.h"

inline std::string fields(const mms_message& m) {
    std::string out;
    auto text = [&](const char* name, const opt_text& value) {
        if (!value) {
            return;
        }
        out += (out.empty() ? "" : " ") + std::string(name) + "=";
        for (unsigned char c : *value) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += c < 0x20 || c >= 0x7F ? std::string(escaped) : std::string(1, c);
        }
    };
    auto list = [&](const char* name, const std::optional<text_list>& value) {
        if (value) {
            std::string joined;
            for (std::size_t i = 0; i < value->size(); ++i) {
                joined += (i == 0 ? "" : ",") + (*value)[i];
            }
            text(name, joined);
        }
    };
    auto number = [&](const char* name, std::int64_t value) {
        if (value != 0) {
            text(name, std::to_string(value));
        }
    };
    // An instant in seconds since the epoch; a length of time with a leading "+".
    auto time = [&](const char* name, const std::optional<mms_time>& value) {
        if (value) {
            text(name, (value->relative ? "+" : "") + std::to_string(value->seconds));
        }
    };
    number("type", m.message_type);
    text("tid", m.transaction_id);
    text("version", m.mms_version);
    text("sender", m.sender);
    text("from", m.from);
    list("to", m.to);
    list("cc", m.cc);
    list("bcc", m.bcc);
    text("recipient", m.recipient);
    text("route_by", m.route_by);
    text("class", m.message_class);
    text("priority", m.priority);
    text("subject", m.subject);
    number("dr", m.delivery_report);
    number("rr", m.read_report);
    time("expiry", m.expiry);
    time("delivery", m.delivery_time);
    time("deadline", m.reply_deadline);
    text("rc_size", m.reply_charging_size);
    text("content_id", m.content_id);
    if (m.mm7_namespace) {  // its last segment: REL-5-MM7-1-2
        text("ns", m.mm7_namespace->substr(m.mm7_namespace->rfind('/') + 1));
    }
    text("mm7version", m.mm7_version);
    text("message_id", m.message_id);
    number("date", static_cast<std::int64_t>(m.date));
    text("status", m.status);
    text("read_status", m.read_status);
    number("response", std::max(m.response_status, 0));  // -1 (none) and 0 (Ok) left out alike
    text("response_text", m.response_text);
    text("location", m.content_location);
    if (m.content_type) {
        text("ct", m.content_type->content_type.value_or("-") +
                       ";start=" + m.content_type->start.value_or("-") +
                       ";type=" + m.content_type->type.value_or("-"));
    }
    return out;
}

// The header block of an m-send-req read by the tests' own decoder, as one line of what it means:
// "to=+1/TYPE=PLMN,a@b cc=... bcc=... expiry=1907757045 delivery=+3600 dr=yes rr=no subject=Hi"
// (recipients in the order of their headers, an instant in seconds since the epoch, a length of
// time with a leading "+", the other fields in the order of the PDU), up to the Content-Type.
inline std::string send_req_fields(std::string_view pdu) {
    auto byte = [&](std::size_t i) -> unsigned {
        return i < pdu.size() ? static_cast<unsigned char>(pdu[i]) : 0u;
    };
    auto text_at = [&](std::size_t from) {  // a Text-string up to its NUL
        return std::string(pdu.substr(from, std::min(pdu.find('\0', from), pdu.size()) - from));
    };
    std::string lists[3];  // To, Cc, Bcc
    std::string others;
    std::size_t at = 0;
    for (unsigned field = 0; field != 0x84 && at < pdu.size();) {
        field = byte(at++);
        // Where the value ends: a Short-integer, a Text-string, or a Value-length and its octets.
        const unsigned first = byte(at);
        std::size_t body = at + 1, end = at + 1;
        if (first < 31) {
            end = body + first;
        } else if (first == 31) {
            std::size_t length = 0;
            for (unsigned o = 0x80; (o & 0x80) != 0 && body < pdu.size();) {
                o = byte(body++);
                length = length << 7 | (o & 0x7F);
            }
            end = body + length;
        } else if (first < 128) {
            body = at;
            end = at + text_at(at).size() + 1;
        }
        auto other = [&](const std::string& item) { others += " " + item; };
        if (field == 0x97 || field == 0x82 || field == 0x81 || field == 0x96) {
            // An Encoded-string-value: a Text-string, or Value-length, charset and Text-string.
            const std::string value = text_at(first < 32 ? body + 1 : body);
            if (field == 0x96) {
                other("subject=" + value);
            } else {
                std::string& list = lists[field == 0x97 ? 0 : field == 0x82 ? 1 : 2];
                list += (list.empty() ? "" : ",") + value;
            }
        } else if (field == 0x88 || field == 0x87) {  // Value-length, token, Long-integer
            std::uint64_t seconds = 0;
            for (unsigned i = 0; i < byte(body + 1); ++i) {
                seconds = seconds << 8 | byte(body + 2 + i);
            }
            other((field == 0x88 ? "expiry=" : "delivery=") +
                  std::string(byte(body) == 0x81 ? "+" : "") + std::to_string(seconds));
        } else if (field == 0x86 || field == 0x90) {
            other((field == 0x86 ? "dr=" : "rr=") + std::string(first == 0x80 ? "yes" : "no"));
        }
        at = end;
    }
    std::string out;
    for (int i = 0; i < 3; ++i) {
        if (!lists[i].empty()) {
            out += std::string(out.empty() ? "" : " ") +
                   (i == 0   ? "to="
                    : i == 1 ? "cc="
                             : "bcc=") +
                   lists[i];
        }
    }
    return out.empty() && !others.empty() ? others.substr(1) : out + others;
}
