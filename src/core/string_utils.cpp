#include "core/string_utils.h"

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

std::optional<buffer> buffer_dup(const buffer* b) {
    if (b == nullptr) {
        return std::nullopt;
    }
    return *b;
}

std::optional<buffer> buffer_concat(const buffer* a, const buffer* b) {
    if (a == nullptr && b == nullptr) {
        return std::nullopt;
    }
    buffer out;
    out.reserve((a ? a->size() : 0) + (b ? b->size() : 0));
    if (a != nullptr) {
        out.insert(out.end(), a->begin(), a->end());
    }
    if (b != nullptr) {
        out.insert(out.end(), b->begin(), b->end());
    }
    return out;
}

opt_text strdup_nonempty(opt_view s) {
    if (!s || s->empty()) {
        return std::nullopt;
    }
    return std::string(*s);
}

opt_text memdup_z(const void* p, std::size_t n) {
    if (p == nullptr) {
        return std::nullopt;
    }
    return std::string(static_cast<const char*>(p), n);
}

bool starts_with(opt_view s, opt_view prefix) {
    if (!prefix) {
        return true;
    }
    if (!s) {
        return false;
    }
    return s->starts_with(*prefix);
}

bool ends_with(opt_view s, opt_view suffix) {
    if (!suffix) {
        return true;
    }
    if (!s) {
        return false;
    }
    return s->ends_with(*suffix);
}

opt_text strstrip(opt_view s) {
    if (!s) {
        return std::nullopt;
    }
    std::string_view v = *s;
    std::size_t end = v.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(v[end - 1]))) {
        --end;
    }
    if (end == 0) {
        return std::nullopt;
    }
    std::size_t begin = 0;
    while (begin < end && std::isspace(static_cast<unsigned char>(v[begin]))) {
        ++begin;
    }
    return std::string(v.substr(begin, end - begin));
}

std::string& strtolower(std::string& s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string itoa_dec(int n) {
    return std::to_string(n);
}

std::string itoa_hex(unsigned n) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", n);
    return text;
}

std::string concat(std::initializer_list<opt_view> pieces) {
    std::size_t total = 0;
    for (const opt_view& piece : pieces) {
        total += piece ? piece->size() : 0;
    }
    std::string out;
    out.reserve(total);
    for (const opt_view& piece : pieces) {
        if (piece) {
            out += *piece;
        }
    }
    return out;
}

opt_text str_replace(opt_view s, opt_view needle, opt_view replacement) {
    if (!s || !needle || !replacement || s->empty()) {
        return std::nullopt;
    }
    if (needle->empty()) {
        return std::string(*s);
    }
    std::string out;
    std::size_t from = 0;
    for (;;) {
        std::size_t at = s->find(*needle, from);
        if (at == std::string_view::npos) {
            break;
        }
        out.append(s->substr(from, at - from));
        out.append(*replacement);
        from = at + needle->size();
    }
    out.append(s->substr(from));
    return out;
}

opt_text regex_match(opt_view text, opt_view pattern) {
    if (!text || !pattern) {
        return std::nullopt;
    }
    std::string pattern_z(*pattern);
    std::string text_z(*text);
    regex_t compiled;
    if (regcomp(&compiled, pattern_z.c_str(), REG_EXTENDED) != 0) {
        return std::nullopt;
    }
    regmatch_t match[1];
    opt_text result;
    if (regexec(&compiled, text_z.c_str(), 1, match, 0) == 0 && match[0].rm_so >= 0) {
        result = text_z.substr(static_cast<std::size_t>(match[0].rm_so),
                               static_cast<std::size_t>(match[0].rm_eo - match[0].rm_so));
    }
    regfree(&compiled);
    return result;
}

std::string hexdump(byte_view data, std::size_t out_size, unsigned per_line) {
    std::string out;
    if (data.empty() || out_size < 4 || per_line == 0) {
        return out;
    }
    const std::size_t limit = out_size - 1;  // room left for the terminator
    auto put = [&](std::string_view piece) {
        std::size_t room = limit - out.size();
        out.append(piece.substr(0, room));
        return out.size() < limit;
    };
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t line = 0; line < data.size(); line += per_line) {
        std::size_t end = std::min(data.size(), line + per_line);
        for (std::size_t i = line; i < end; ++i) {
            char hex[3] = {digits[data[i] >> 4], digits[data[i] & 15], ' '};
            if (!put({hex, 3})) {
                return out;
            }
        }
        if (!put("   ")) {
            return out;
        }
        for (std::size_t i = line; i < end; ++i) {
            char c = (data[i] >= 0x20 && data[i] <= 0x7F) ? static_cast<char>(data[i]) : '.';
            if (!put({&c, 1})) {
                return out;
            }
        }
        if (end < data.size() && !put("\n")) {
            return out;
        }
    }
    return out;
}

namespace {

// Octets of the well-formed UTF-8 character at the start of s (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF), with its code point; 0 when s does not start with one.
std::size_t utf8_character(std::string_view s, char32_t& code) {
    const auto lead = static_cast<unsigned char>(s[0]);
    const std::size_t length = lead < 0xC2   ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || s.size() < length) {
        return 0;
    }
    code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(s[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < kLeast[length] || surrogate || code > 0x10FFFF ? 0 : length;
}

// Characters that end a line or reorder it in a viewer: C1 controls, the line and paragraph
// separators, and the bidirectional embeddings, overrides and isolates.
bool breaks_line(char32_t code) {
    return code <= 0x9F || (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string log_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](std::string_view bytes) {
        for (const char c : bytes) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
            out += escaped;
        }
    };
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        std::size_t length = 1;
        if (byte >= 0x80) {
            char32_t code = 0;
            length = std::max<std::size_t>(utf8_character(text, code), 1);
            if (length == 1 || breaks_line(code)) {
                escape(text.substr(0, length));
            } else {
                out += text.substr(0, length);
            }
        } else if (byte < 0x20 || byte == 0x7F || byte == '\\') {
            escape(text.substr(0, 1));
        } else {
            out += text[0];
        }
        text.remove_prefix(length);
    }
    return out;
}

bool equal_in_constant_time(std::string_view a, std::string_view b) {
    // Every byte of the longer text is looked at, whatever comes out on the way.
    const std::size_t n = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}
