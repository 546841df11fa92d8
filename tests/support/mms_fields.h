// Test helper: a message record as one line of its present fields ("to=+1,+2 subject=Hi"), so
// that a test row states the whole record it expects.  Octets outside printable ASCII are
// written \xNN; lists are joined with ","; zero numbers and absent texts are left out.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>

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
    number("expiry", m.expiry);
    number("deadline", m.reply_deadline);
    text("rc_size", m.reply_charging_size);
    text("content_id", m.content_id);
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
