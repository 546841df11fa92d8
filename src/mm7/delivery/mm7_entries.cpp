#include "mm7/delivery/mm7_entries.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

constexpr std::size_t MAX_UINTVAR_OCTETS = 5;

// A Uintvar at offset, or nothing when it does not end within the window or within five octets.
std::optional<std::uint32_t> read_uintvar(byte_view window, std::size_t& offset) {
    std::uint64_t value = 0;
    for (std::size_t n = 0; n < MAX_UINTVAR_OCTETS && offset < window.size(); ++n) {
        const std::uint8_t octet = window[offset++];
        value = value * 128 + (octet & 0x7F);
        if (octet < 0x80) {
            if (value > UINT32_MAX) {
                return std::nullopt;
            }
            return static_cast<std::uint32_t>(value);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string_view entry_fault_text(entry_fault fault) {
    switch (fault) {
        case entry_fault::none:
            return "none";
        case entry_fault::bad_length:
            return "entry length unreadable";
        case entry_fault::header_too_long:
            return "entry header block over 4096 bytes";
        case entry_fault::header_past_end:
            return "entry header block runs past the end of the PDU";
        case entry_fault::no_content_type:
            return "entry without a content type";
        case entry_fault::data_past_end:
            return "entry data runs past the end of the PDU";
        case entry_fault::too_many_entries:
            return "more than 1000 entries";
    }
    return "unknown";
}

entry_step mm7_read_entry(byte_view window, std::uint64_t remaining) {
    entry_step step;
    window = window.first(static_cast<std::size_t>(
        std::min<std::uint64_t>({window.size(), remaining, MM7_ENTRY_WINDOW})));
    std::size_t offset = 0;
    const auto headers_length = read_uintvar(window, offset);
    const auto data_length = headers_length ? read_uintvar(window, offset) : std::nullopt;
    if (!data_length) {
        step.fault = entry_fault::bad_length;
        return step;
    }
    if (*headers_length > MM7_MAX_ENTRY_HEADERS) {
        step.fault = entry_fault::header_too_long;
        return step;
    }
    const std::size_t header_size = offset + *headers_length;
    if (header_size > window.size()) {
        step.fault = entry_fault::header_past_end;
        return step;
    }
    if (*data_length > remaining - header_size) {
        step.fault = entry_fault::data_past_end;
        return step;
    }
    // The codec decodes from a copy that holds exactly the entry header.
    buffer header(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(header_size));
    std::uint32_t entry_offset = 0;
    auto entry = parse_multipart_entry(header, entry_offset);
    const opt_text& media = entry->content_type.content_type;
    if (!media || mime_media_type(*media).empty()) {
        step.fault = entry_fault::no_content_type;
        return step;
    }
    step.header_size = static_cast<std::uint32_t>(header_size);
    step.entry = std::move(entry);
    return step;
}

body_check mm7_check_body(std::uint64_t start, std::uint64_t end, const pdu_window_reader& read) {
    body_check check;
    std::vector<std::uint8_t> window(MM7_ENTRY_WINDOW);
    std::uint64_t position = start;
    check.whole_end = start;
    while (position < end) {
        if (check.entries == MM7_MAX_DELIVERY_ENTRIES) {
            check.fault = entry_fault::too_many_entries;
            return check;
        }
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), end - position));
        const std::size_t got = read(position, std::span(window).first(wanted));
        const entry_step step = mm7_read_entry(byte_view(window).first(got), end - position);
        if (step.fault != entry_fault::none) {
            check.fault = step.fault;
            return check;
        }
        position += step.header_size + std::uint64_t{step.entry->data_length};
        ++check.entries;
        check.whole_end = position;
    }
    return check;
}

std::string mime_header_value(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F && c != '"') {
            out += c;
        }
    }
    return out;
}

bool mm7_part_is_raw(const multipart_entry& entry) {
    return starts_with(view_of(entry.content_type.content_type), "application/smil");
}

std::uint64_t mm7_part_data_wire_size(std::uint64_t length, bool base64, std::size_t piece) {
    if (!base64 || length == 0 || piece == 0) {
        return base64 ? 0 : length;
    }
    // Characters of one piece's encoding, with its line breaks and the CRLF after it.
    const auto encoded = [](std::uint64_t octets) {
        const std::uint64_t chars = (octets + 2) / 3 * 4;
        return chars + (chars - 1) / 80 * 2 + 2;
    };
    const std::uint64_t whole = length / piece;
    const std::uint64_t rest = length % piece;
    return whole * encoded(piece) + (rest != 0 ? encoded(rest) : 0);
}

namespace {

bool is_attribute_char(unsigned char c) {
    return std::isalnum(c) != 0 ||
           std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token_char(unsigned char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
               std::string_view::npos;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80                ? 1
                              : c >= 0xC2 && c < 0xE0 ? 2
                              : c >= 0xE0 && c < 0xF0 ? 3
                              : c >= 0xF0 && c < 0xF5 ? 4
                                                      : 0;
        if (n == 0 || i + n > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        // Overlong three- and four-octet forms, surrogates and code points beyond U+10FFFF.
        const auto d = static_cast<unsigned char>(n > 1 ? text[i + 1] : 0);
        if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) ||
            (c == 0xF4 && d >= 0x90)) {
            return false;
        }
        i += n;
    }
    return true;
}

}  // namespace

std::string mime_media_type(std::string_view text) {
    const std::size_t begin = std::min(text.find_first_not_of(" \t"), text.size());
    std::size_t end = begin;
    while (end < text.size() &&
           (text[end] == '/' || is_token_char(static_cast<unsigned char>(text[end])))) {
        ++end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string mime_parameter(std::string_view name, std::string_view value) {
    std::string out;
    for (char c : name) {
        // "*", "'" and "%" mark the extended form (RFC 2231), never a name of its own.
        if (is_token_char(static_cast<unsigned char>(c)) && c != '*' && c != '\'' && c != '%') {
            out += c;
        }
    }
    std::string text;
    bool ascii = true;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            text += c;
            ascii = ascii && u < 0x80;
        }
    }
    if (ascii) {
        out += "=\"";
        for (char c : text) {
            out += c == '"' || c == '\\' ? std::string{'\\', c} : std::string(1, c);
        }
        return out + "\"";
    }
    out += is_utf8(text) ? "*=utf-8''" : "*=iso-8859-1''";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (is_attribute_char(u)) {
            out += c;
        } else {
            constexpr std::string_view HEX = "0123456789ABCDEF";
            out += {'%', HEX[u >> 4], HEX[u & 0x0F]};
        }
    }
    return out;
}

std::string mm7_part_headers(const multipart_entry& entry, std::string_view content_boundary,
                             bool base64) {
    const mms_content_type& ct = entry.content_type;
    std::string out = concat({"\r\n--", content_boundary,
                              "\r\nContent-Type: ", mime_media_type(ct.content_type.value_or(""))});
    for (const mms_param& param : ct.params) {
        out += "; " + mime_parameter(param.name, param.value);
    }
    // Type and start as the PDU gives them, without the quotes of a Quoted-string.
    if (const std::string type = mime_header_value(ct.type.value_or("")); !type.empty()) {
        out += "; " + mime_parameter("type", type);
    }
    if (const std::string start = mime_header_value(ct.start.value_or("")); !start.empty()) {
        out += "; " + mime_parameter("start", start);
    }
    out += "\r\n";
    if (entry.headers.content_id) {
        out += concat({"Content-ID: ", mime_header_value(*entry.headers.content_id), "\r\n"});
    }
    if (entry.headers.content_location) {
        out += concat(
            {"Content-Location: ", mime_header_value(*entry.headers.content_location), "\r\n"});
    }
    if (base64) {
        out += "Content-Transfer-Encoding: base64\r\n";
    }
    out += "\r\n";
    return out;
}
