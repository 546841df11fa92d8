#include "wsp/wsp_primitives.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/log.h"

namespace {

void append(buffer& out, const buffer& piece) {
    out.insert(out.end(), piece.begin(), piece.end());
}

// A text item as it goes on the wire: encode_text_string and its terminator.  An empty text has
// no encoding of its own; it is written as the lone terminator, i.e. the empty Text-string, so
// that a header given an empty text still carries a well-formed value (a header whose value
// vanished would make the decoder take the next header's name as this header's value).
void append_text(buffer& out, std::string_view text) {
    if (opt_text encoded = encode_text_string(text)) {
        out.insert(out.end(), encoded->begin(), encoded->end());
    }
    out.push_back(0);
}

void append_integer(buffer& out, wsp_value_kind kind, std::int32_t n) {
    if (n < 0) {
        return;
    }
    const auto value = static_cast<std::uint32_t>(n);
    append(out, kind == wsp_value_kind::mms_header_long_integer_token
                    ? encode_long_integer(value)
                    : encode_short_integer(value));
}

void append_text_item(buffer& out, wsp_value_kind kind, opt_view text) {
    if (!text) {
        return;
    }
    if (kind == wsp_value_kind::mms_header_encoded_string_value_token) {
        append(out, compose_value(wsp_value_kind::mms_header_length_token, MIBENUM_UTF8, -1, text,
                                  -1, std::nullopt));
    } else {
        append_text(out, *text);
    }
}

}  // namespace

buffer encode_short_integer(std::uint32_t n) {
    if (n >= 128) {
        // Only field numbers, table indexes and fixed tokens come here; anything else is a
        // programming error that must not produce a corrupt PDU.
        log_error("wsp-mms: encode_short_integer: Assertion `n >= 0 && n < 128' failed.");
        std::fprintf(stderr,
                     "wsp-mms: encode_short_integer: Assertion `n >= 0 && n < 128' failed.\n");
        std::abort();
    }
    return buffer{static_cast<std::uint8_t>(0x80 | n)};
}

buffer encode_long_integer(std::uint32_t value) {
    buffer out;
    out.reserve(5);
    int first = 3;
    while (first > 0 && ((value >> (first * 8)) & 0xFF) == 0) {
        --first;
    }
    out.push_back(static_cast<std::uint8_t>(first + 1));
    for (int i = first; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>((value >> (i * 8)) & 0xFF));
    }
    return out;
}

buffer encode_uintvar(std::uint32_t value) {
    buffer out;
    out.reserve(5);
    int first = 4;
    while (first > 0 && ((value >> (first * 7)) & 0x7F) == 0) {
        --first;
    }
    for (int i = first; i >= 0; --i) {
        auto group = static_cast<std::uint8_t>((value >> (i * 7)) & 0x7F);
        out.push_back(i > 0 ? static_cast<std::uint8_t>(group | 0x80) : group);
    }
    return out;
}

buffer encode_value_length(std::uint32_t length) {
    if (length < 31) {
        return buffer{static_cast<std::uint8_t>(length)};
    }
    buffer out{WSP_LENGTH_QUOTE};
    append(out, encode_uintvar(length));
    return out;
}

opt_text encode_text_string(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    if (static_cast<std::uint8_t>(text.front()) >= 127) {
        std::string out;
        out.reserve(text.size() + 1);
        out.push_back(static_cast<char>(WSP_TEXT_QUOTE));
        out.append(text);
        return out;
    }
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        // Quoted-string: the opening quote stays, the terminator takes the closing one's place.
        return std::string(text.substr(0, text.size() - 1));
    }
    return std::string(text);
}

opt_text encode_address(opt_view address) {
    if (!address) {
        return std::nullopt;
    }
    if (address->find('@') != std::string_view::npos) {
        return std::string(*address);
    }
    return concat({*address, "/TYPE=PLMN"});
}

buffer compose_value(wsp_value_kind kind, std::int32_t int1, std::int32_t int2, opt_view text1,
                     std::int32_t int3, opt_view text2, std::int32_t token,
                     std::uint32_t token_value) {
    buffer out;
    append_integer(out, kind, int1);
    append_integer(out, kind, int2);
    append_text_item(out, kind, text1);
    append_integer(out, kind, int3);
    append_text_item(out, kind, text2);
    if (token >= 0) {
        append(out, encode_short_integer(token == 0 ? 0 : 1));
        append(out, encode_long_integer(token_value));
    }
    if (kind == wsp_value_kind::mms_header_length_token) {
        buffer prefixed = encode_value_length(static_cast<std::uint32_t>(out.size()));
        append(prefixed, out);
        return prefixed;
    }
    return out;
}

buffer compose_header(wsp_value_kind kind, std::int32_t int1, std::int32_t int2, opt_view text1,
                      std::int32_t int3, opt_view text2, std::uint32_t field) {
    buffer out = encode_short_integer(field);
    append(out, compose_value(kind, int1, int2, text1, int3, text2));
    return out;
}

opt_text decode_text_string(byte_view data, std::uint32_t offset, std::uint32_t& next) {
    const std::size_t size = data.size();
    if (offset >= size) {
        return std::nullopt;
    }
    const std::size_t last = size - 1;
    if (offset == last) {
        next = offset + 1;
        return std::string();
    }
    // The last octet is the terminator whatever it holds, so the scan stops before it.
    const auto begin = data.begin() + offset;
    const auto stop = data.begin() + static_cast<std::ptrdiff_t>(last);
    const auto nul = std::find(begin, stop, std::uint8_t{0});
    next = nul == stop ? static_cast<std::uint32_t>(size)
                       : static_cast<std::uint32_t>(nul - data.begin()) + 1;
    return std::string(reinterpret_cast<const char*>(&*begin),
                       static_cast<std::size_t>(nul - begin));
}

std::uint32_t decode_uintvar(byte_view data, std::uint32_t& offset) {
    std::uint32_t value = 0;
    while (offset < data.size()) {
        const std::uint8_t octet = data[offset++];
        value = value * 128 + (octet & 0x7F);
        if (octet < 0x80) {
            break;
        }
    }
    return value;
}

namespace {

// The next `length` octets at offset, cut at the end of data; offset is left after them.
buffer take_octets(byte_view data, std::uint32_t& offset, std::uint32_t length) {
    const std::uint32_t available = static_cast<std::uint32_t>(data.size()) - offset;
    const std::uint32_t count = std::min(length, available);
    buffer out(data.begin() + offset, data.begin() + offset + count);
    offset += count;
    return out;
}

buffer take_text(byte_view data, std::uint32_t& offset, std::uint32_t from) {
    std::uint32_t next = static_cast<std::uint32_t>(data.size());
    opt_text text = decode_text_string(data, from, next);
    offset = next;
    if (!text) {
        return {};
    }
    return buffer(text->begin(), text->end());
}

}  // namespace

buffer decode_value(byte_view data, std::uint32_t& offset, opt_text& type) {
    type.reset();
    if (offset >= data.size()) {
        return {};
    }
    const std::uint8_t b = data[offset];
    if (b == 0) {
        type = std::string(WSP_TYPE_NO_VALUE);
        ++offset;
        return {};
    }
    if (b == WSP_LENGTH_QUOTE) {
        ++offset;
        const std::uint32_t length = decode_uintvar(data, offset);
        type = std::string(WSP_TYPE_BINARY);
        return take_octets(data, offset, length);
    }
    if (b < 32) {
        ++offset;
        type = std::string(WSP_TYPE_BINARY);
        return take_octets(data, offset, b);
    }
    type = std::string(WSP_TYPE_STRING);
    if (b == WSP_TEXT_QUOTE) {
        return take_text(data, offset, offset + 1);
    }
    if (b == WSP_QUOTED_STRING) {
        buffer out{WSP_QUOTED_STRING};
        buffer inner = take_text(data, offset, offset + 1);
        out.insert(out.end(), inner.begin(), inner.end());
        out.push_back(WSP_QUOTED_STRING);
        return out;
    }
    if (b >= 128) {
        type = std::string(WSP_TYPE_IMMEDIATE);
        ++offset;
        return buffer{static_cast<std::uint8_t>(b - 128)};
    }
    return take_text(data, offset, offset);
}
