#include "wsp/wsp_parse.h"

#include <algorithm>
#include <limits>
#include <string>

#include "core/log.h"
#include "wsp/wsp.h"
#include "wsp/wsp_compose.h"
#include "wsp/wsp_content.h"
#include "wsp/wsp_primitives.h"

namespace {

using K = mms_header_kind;

constexpr std::uint32_t MMS_FIELD_CONTENT_LOCATION = 0x03;
constexpr std::uint32_t MMS_FIELD_MESSAGE_ID = 0x0B;
constexpr std::uint32_t MMS_FIELD_RESPONSE_STATUS = 0x12;
constexpr std::uint32_t MMS_FIELD_RESPONSE_TEXT = 0x13;
constexpr std::uint32_t MMS_FIELD_STATUS = 0x15;
constexpr std::uint32_t MMS_FIELD_READ_STATUS = 0x1B;

constexpr std::uint8_t MMS_ADDRESS_PRESENT_TOKEN = 0x80;
constexpr std::string_view PLMN_SUFFIX = "/TYPE=PLMN";

}  // namespace

const std::array<mms_header_kind, HEADER_KIND_COUNT> header_kind_table = {
    K::none,          // 0
    K::address_list,  // 1 Bcc
    K::address_list,  // 2 Cc
    K::text,          // 3 X-Mms-Content-Location
    K::content_type,  // 4 Content-Type
    K::date,          // 5 Date
    K::yes_no,        // 6 X-Mms-Delivery-Report
    K::none,          // 7 X-Mms-Delivery-Time
    K::none,          // 8 X-Mms-Expiry
    K::from,          // 9 From
    K::text,          // 10 X-Mms-Message-Class
    K::text,          // 11 Message-ID
    K::number,        // 12 X-Mms-Message-Type
    K::text,          // 13 X-Mms-MMS-Version
    K::none,          // 14 X-Mms-Message-Size
    K::text,          // 15 X-Mms-Priority
    K::yes_no,        // 16 X-Mms-Read-Report
    K::none,          // 17 X-Mms-Report-Allowed
    K::number,        // 18 X-Mms-Response-Status
    K::text,          // 19 X-Mms-Response-Text
    K::none,          // 20 X-Mms-Sender-Visibility
    K::text,          // 21 X-Mms-Status
    K::text,          // 22 Subject
    K::address_list,  // 23 To
    K::text,          // 24 X-Mms-Transaction-ID
    K::none,          // 25 X-Mms-Retrieve-Status
    K::none,          // 26 X-Mms-Retrieve-Text
    K::text,          // 27 X-Mms-Read-Status
    K::none,          // 28 X-Mms-Reply-Charging
    K::none,          // 29 X-Mms-Reply-Charging-Deadline
};

const std::array<std::string_view, RESPONSE_STATUS_COUNT> response_status_texts = [] {
    std::array<std::string_view, RESPONSE_STATUS_COUNT> t{};
    t[128] = "Ok";
    t[129] = "Error-unspecified";
    t[130] = "Error-service-denied";
    t[131] = "Error-message-format-corrupt";
    t[132] = "Error-sending-address-unresolved";
    t[133] = "Error-message-not-found";
    t[134] = "Error-network-problem";
    t[135] = "Error-content-not-accepted";
    t[136] = "Error-unsupported-message";
    t[192] = "Error-transient-failure";
    t[193] = "Error-transient-sending-address-unresolved";
    t[194] = "Error-transient-message-not-found";
    t[195] = "Error-transient-network-problem";
    t[224] = "Error-permanent-failure";
    t[225] = "Error-permanent-service-denied";
    t[226] = "Error-permanent-message-format-corrupt";
    t[227] = "Error-permanent-sending-address-unresolved";
    t[228] = "Error-permanent-message-not-found";
    t[229] = "Error-permanent-content-not-accepted";
    t[230] = "Error-permanent-reply-charging-limitations-not-met";
    t[231] = "Error-permanent-reply-charging-request-not-accepted";
    t[232] = "Error-permanent-reply-charging-forwarding-denied";
    t[233] = "Error-permanent-reply-charging-not-supported";
    return t;
}();

const std::array<std::string_view, 3> priority_texts = {"Low", "Normal", "High"};
const std::array<std::string_view, 7> status_texts = {
    "Expired", "Retrieved", "Rejected", "Deferred", "Unrecognised", "Indeterminate", "Forwarded"};
const std::array<std::string_view, 2> read_status_texts = {"Read", "Deleted"};

void unwrap_binary_value(buffer& value, const opt_text& type) {
    if (!is_type(type, WSP_TYPE_BINARY)) {
        return;
    }
    if (value.size() < 2) {
        value.clear();
        return;
    }
    value.pop_back();
    value.erase(value.begin());
}

void strip_plmn_suffix(buffer& value) {
    if (as_text(value).ends_with(PLMN_SUFFIX)) {
        value.resize(value.size() - PLMN_SUFFIX.size());
    }
}

void parse_destination_address_f(const buffer& value, const opt_text& type,
                                 std::optional<text_list>& list) {
    log_printf("parse_destination_address_f ****************************");
    if (!list) {
        list.emplace();
    }
    buffer address;
    if (is_type(type, WSP_TYPE_STRING)) {
        address = value;
    } else if (is_type(type, WSP_TYPE_BINARY) && value.size() >= 2) {
        address.assign(value.begin() + 1, value.end() - 1);
    }
    strip_plmn_suffix(address);
    std::string_view text = as_text(address);
    list->emplace_back(text.substr(0, text.find('\0')));
}

namespace {

// A Text-string (an optional Quote, the text up to its NUL or the end of the bytes).
std::string text_until_nul(byte_view bytes) {
    std::size_t at = 0;
    if (!bytes.empty() && bytes[0] == WSP_TEXT_QUOTE) {
        at = 1;
    }
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    return std::string(as_text(byte_view(begin, std::find(begin, bytes.end(), std::uint8_t{0}))));
}

// The text of an Encoded-string-value: a Text-string, or a Value-length (short or quoted)
// followed by a charset (Short-integer or Long-integer) and a Text-string.  The charset is
// skipped, not interpreted.
std::string encoded_string_text(byte_view bytes) {
    if (bytes.empty() || bytes[0] > WSP_LENGTH_QUOTE) {
        return text_until_nul(bytes);
    }
    std::uint32_t offset = 0;
    opt_text type;
    const buffer inner = decode_value(bytes, offset, type);
    if (inner.empty()) {
        return std::string();
    }
    std::size_t skip = 0;
    if (inner[0] >= 0x80) {
        skip = 1;  // Short-integer charset
    } else if (inner[0] < WSP_LENGTH_QUOTE) {
        skip = std::min<std::size_t>(inner.size(), std::size_t{1} + inner[0]);  // Long-integer
    }
    return text_until_nul(byte_view(inner).subspan(skip));
}

// From: Value-length, then Address-present-token and an Encoded-string-value, or
// Insert-address-token.  Absent unless an address is present.
opt_text decode_from(const buffer& value, const opt_text& type) {
    if (!is_type(type, WSP_TYPE_BINARY) || value.empty() || value[0] != MMS_ADDRESS_PRESENT_TOKEN) {
        return std::nullopt;
    }
    buffer address;
    const std::string text = encoded_string_text(byte_view(value).subspan(1));
    address.assign(text.begin(), text.end());
    strip_plmn_suffix(address);
    return std::string(as_text(address));
}

std::uint64_t decode_date(const buffer& value, const opt_text& type) {
    if (!is_type(type, WSP_TYPE_BINARY) || value.empty() || value.size() > 4) {
        return 0;
    }
    std::uint64_t date = 0;
    for (std::uint8_t octet : value) {
        date = date * 256 + octet;
    }
    return date;
}

// The value of a message's Content-Type.  The general form (Value-length and the media type
// with its parameters) and a bare well-known number are handed on as "binary".  A media type
// given as text without a length (first octet 32..127, the Constrained-media form) is read as
// the text it is, rather than taking its first character for a length.
buffer decode_content_type_value(byte_view data, std::uint32_t& position, opt_text& type) {
    if (position >= data.size()) {
        type = std::string(WSP_TYPE_BINARY);  // a Content-Type name as the very last octet
        return {};
    }
    const std::uint8_t b = data[position];
    if (b >= 32 && b < 128) {
        return decode_value(data, position, type);
    }
    type = std::string(WSP_TYPE_BINARY);
    if (b >= 128) {
        ++position;
        return buffer{b};
    }
    ++position;
    std::uint32_t length = b;
    if (b == WSP_LENGTH_QUOTE) {
        length = decode_uintvar(data, position);
    }
    // A length beyond the bytes present is cut at the end of the data.
    const std::uint32_t count =
        std::min<std::uint32_t>(length, static_cast<std::uint32_t>(data.size()) - position);
    buffer out(data.begin() + position, data.begin() + position + count);
    position += count;
    return out;
}

// A value as the text it is stored as: up to its first NUL, like every text of the record, so
// that no NUL octet ever reaches a document.
std::string value_text(const buffer& value) {
    std::string_view text = as_text(value);
    return std::string(text.substr(0, text.find('\0')));
}

void store_text(mms_message& m, std::uint32_t field, buffer& value, const opt_text& type) {
    unwrap_binary_value(value, type);
    opt_text text = value_text(value);
    switch (field) {
        case MMS_FIELD_CONTENT_LOCATION:
            m.content_location = std::move(text);
            break;
        case MMS_FIELD_MESSAGE_CLASS:
            m.message_class = std::move(text);
            break;
        case MMS_FIELD_MESSAGE_ID:
            m.message_id = std::move(text);
            break;
        case MMS_FIELD_MMS_VERSION:
            m.mms_version = std::move(text);
            break;
        case MMS_FIELD_PRIORITY:
            m.priority = std::move(text);
            break;
        case MMS_FIELD_RESPONSE_TEXT:
            m.response_text = std::move(text);
            break;
        case MMS_FIELD_STATUS:
            m.status = std::move(text);
            break;
        case MMS_FIELD_SUBJECT:
            m.subject = std::move(text);
            break;
        case MMS_FIELD_TRANSACTION_ID:
            m.transaction_id = std::move(text);
            break;
        case MMS_FIELD_READ_STATUS:
            m.read_status = std::move(text);
            break;
        default:
            break;
    }
}

void store_message_field(mms_message& m, std::uint32_t field, buffer& value, const opt_text& type) {
    switch (header_kind_table[field]) {
        case K::none:
            break;
        case K::text:
            store_text(m, field, value, type);
            break;
        case K::number: {
            unwrap_binary_value(value, type);
            const std::uint8_t n = value.empty() ? 0 : value[0];
            if (field == MMS_FIELD_RESPONSE_STATUS) {
                m.response_status = n;
            } else {
                m.message_type = n;
            }
            break;
        }
        case K::yes_no: {
            const std::uint32_t yes = !value.empty() && value[0] == 0 ? 1 : 0;
            if (field == MMS_FIELD_DELIVERY_REPORT) {
                m.delivery_report = yes;
            } else {
                m.read_report = yes;
            }
            break;
        }
        case K::address_list:
            parse_destination_address_f(value, type,
                                        field == MMS_FIELD_TO   ? m.to
                                        : field == MMS_FIELD_CC ? m.cc
                                                                : m.bcc);
            break;
        case K::from:
            m.from = decode_from(value, type);
            break;
        case K::date:
            m.date = decode_date(value, type);
            break;
        case K::content_type:
            if (!m.content_type) {
                m.content_type.emplace();
            }
            parse_content_type_f(value, type, *m.content_type);
            break;
    }
}

// A one-octet token text (as stored for a token value) replaced by its name from table.  Token 0
// is stored as the empty text (the text ends at its NUL), so an empty text stands for 0.
template <std::size_t N>
void name_token(opt_text& field, const std::array<std::string_view, N>& table) {
    if (field) {
        const auto n = field->empty() ? 0u : static_cast<unsigned char>(field->front());
        if (n < N) {
            field = std::string(table[n]);
        }
    }
}

const std::optional<text_list>& first_present(const mms_message& m) {
    auto usable = [](const std::optional<text_list>& l) { return l && !l->empty(); };
    if (usable(m.to)) {
        return m.to;
    }
    if (usable(m.cc)) {
        return m.cc;
    }
    return m.bcc;
}

void complete_message(mms_message& m) {
    if (!m.response_text && m.response_status >= 1 && m.response_status <= 111) {
        const std::string_view text = response_status_texts[m.response_status + 128];
        if (!text.empty()) {
            m.response_text = std::string(text);
        }
    }
    name_token(m.priority, priority_texts);
    name_token(m.status, status_texts);
    name_token(m.read_status, read_status_texts);
    const std::optional<text_list>& list = first_present(m);
    if (list && !list->empty()) {
        m.recipient = list->front();
    }
}

}  // namespace

mms_message ParseMMSHeaders(byte_view data, std::uint32_t& offset, bool part_headers) {
    log_printf("\nParseMMSHeaders_start\n");
    // Offsets are 32-bit; a larger view is read only up to what they can address.
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        data = data.first(std::numeric_limits<std::uint32_t>::max());
    }
    mms_message message;
    std::uint32_t position = 0;
    buffer name{0};
    opt_text name_type;
    while (position < data.size()) {
        // Content-Type is the last header of a message.  Part headers are WSP headers, where
        // the number 4 is a different header, so the rule applies to message headers only.
        if (!part_headers && is_type(name_type, WSP_TYPE_IMMEDIATE) &&
            name[0] == MMS_FIELD_CONTENT_TYPE) {
            break;
        }
        name = decode_value(data, position, name_type);
        if (!is_type(name_type, WSP_TYPE_IMMEDIATE)) {
            continue;  // a textual name: the item after it is read as a name in turn
        }
        const std::uint32_t field = name[0];
        opt_text type;
        buffer value = !part_headers && field == MMS_FIELD_CONTENT_TYPE
                           ? decode_content_type_value(data, position, type)
                           : decode_value(data, position, type);
        if (part_headers) {
            if (field == WSP_HEADER_CONTENT_LOCATION || field == WSP_HEADER_CONTENT_ID) {
                unwrap_binary_value(value, type);
                (field == WSP_HEADER_CONTENT_ID ? message.content_id : message.content_location) =
                    value_text(value);
            }
        } else if (field < HEADER_KIND_COUNT) {
            store_message_field(message, field, value, type);
        }
    }
    log_printf("h p=%p, data=%s|, offset=%d", static_cast<const void*>(name.data()),
               log_escape(value_text(name)).c_str(), static_cast<int>(name.size()));
    if (!part_headers) {
        complete_message(message);
    }
    offset = position;
    log_printf("ParseMMSHeaders_End\n\n");
    return message;
}

std::unique_ptr<multipart_entry> parse_multipart_entry(buffer& data, std::uint32_t& offset) {
    auto entry = std::make_unique<multipart_entry>();
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        data.resize(std::numeric_limits<std::uint32_t>::max());
    }
    const auto size = static_cast<std::uint32_t>(data.size());
    entry->headers_length = decode_uintvar(data, offset);
    entry->data_length = decode_uintvar(data, offset);
    const std::uint32_t start = offset;
    // The first data octet.  HeadersLen may reach past the bytes at hand (a read-ahead window
    // that ends inside the headers, or a corrupt length): only the bytes present are decoded,
    // and the offset still names where the data begins, saturated at the 32-bit range.
    const std::uint64_t data_start = std::uint64_t{start} + entry->headers_length;
    const auto headers_end = static_cast<std::uint32_t>(std::min<std::uint64_t>(data_start, size));
    const byte_view headers = byte_view(data).first(headers_end);

    opt_text type;
    buffer value = decode_value(headers, offset, type);
    if (is_type(type, WSP_TYPE_IMMEDIATE)) {
        // A bare well-known number is the general form without parameters.
        value[0] |= 0x80;
        type = std::string(WSP_TYPE_BINARY);
    }
    parse_content_type_f(value, type, entry->content_type);

    const std::uint32_t from = std::min(offset, headers_end);
    data.erase(data.begin() + headers_end, data.end());
    data.erase(data.begin(), data.begin() + from);
    std::uint32_t unused = 0;
    entry->headers = ParseMMSHeaders(data, unused, true);
    offset = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(data_start, std::numeric_limits<std::uint32_t>::max()));
    return entry;
}
