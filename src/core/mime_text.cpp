#include "core/mime_text.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "core/http_text.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The byte of an escape (the mark and two hex digits in either case) at `at`; -1 for none.
int escaped_byte(std::string_view text, std::size_t at, char mark) {
    if (text[at] != mark || at + 2 >= text.size()) {
        return -1;
    }
    const int high = hex_value(static_cast<unsigned char>(text[at + 1]));
    const int low = hex_value(static_cast<unsigned char>(text[at + 2]));
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// The charset of the first section of an extended value (charset'language'text), in lower case,
// taken off the text; empty when the text does not name one.
std::string take_charset(std::string& text) {
    const std::size_t quote = text.find('\'');
    const std::size_t second = quote == std::string::npos ? quote : text.find('\'', quote + 1);
    if (second == std::string::npos) {
        return {};
    }
    std::string charset = text.substr(0, quote);
    text.erase(0, second + 1);
    return strtolower(charset);
}

// ISO-8859-1 text as UTF-8.
std::string latin1_to_utf8(std::string_view text) {
    std::string utf8;
    for (unsigned char c : text) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

// One section of an extended value: its number (0 for name*), whether it is %-encoded.
struct section {
    std::size_t number = 0;
    bool encoded = false;
};

// name, name*, name*N or name*N*: the base name and the section, if the name is extended.
std::optional<section> split_extended(std::string& name) {
    const std::size_t star = name.find('*');
    if (star == std::string::npos) {
        return std::nullopt;
    }
    std::string_view marks = std::string_view(name).substr(star + 1);
    section s;
    s.encoded = marks.ends_with('*') || marks.empty();
    if (marks.ends_with('*')) {
        marks.remove_suffix(1);
    }
    if (!marks.empty()) {
        if (marks.size() > 3 || !std::all_of(marks.begin(), marks.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) != 0;
            })) {
            return std::nullopt;  // not a section number: a plain name with a '*' in it
        }
        s.number = std::stoul(std::string(marks));
    }
    name.resize(star);
    return s;
}

}  // namespace

std::optional<transfer_encoding> transfer_encoding_named(std::string_view value) {
    std::string name(trim_blanks(value));
    strtolower(name);
    if (name == "7bit" || name == "8bit" || name == "binary") {
        return transfer_encoding::identity;
    }
    if (name == "base64") {
        return transfer_encoding::base64;
    }
    if (name == "quoted-printable") {
        return transfer_encoding::quoted_printable;
    }
    return std::nullopt;
}

std::vector<mime_parameter> mime_parameters(std::string_view value) {
    std::vector<mime_parameter> out;
    // The extended values by base name: where each stands in out, its charset and its sections.
    struct extended_value {
        std::size_t at = 0;
        std::string charset;
        std::map<std::size_t, std::string> sections;
    };
    std::map<std::string, extended_value> extended;
    std::size_t at = value.find(';');
    while (at != std::string_view::npos && at < value.size()) {
        ++at;  // past the ';'
        const std::size_t equals = value.find('=', at);
        const std::size_t next = value.find(';', at);
        if (equals == std::string_view::npos || (next != std::string_view::npos && next < equals)) {
            at = next;  // no value: not a parameter
            continue;
        }
        std::string name(trim_blanks(value.substr(at, equals - at)));
        std::size_t from = equals + 1;
        while (from < value.size() && std::isspace(static_cast<unsigned char>(value[from]))) {
            ++from;
        }
        std::string text;
        std::string raw;
        bool closed = true;
        if (from < value.size() && value[from] == '"') {
            // A quoted string: up to the closing quote, a backslash taking the next character
            // as it is.
            const std::size_t open = from;
            closed = false;
            for (++from; from < value.size(); ++from) {
                if (value[from] == '\\' && from + 1 < value.size()) {
                    text += value[++from];
                } else if (value[from] == '"') {
                    closed = true;
                    ++from;
                    break;
                } else {
                    text += value[from];
                }
            }
            raw = value.substr(open, from - open);
            at = value.find(';', from);
        } else {
            at = value.find(';', from);
            raw = trim_blanks(value.substr(from, at == std::string_view::npos ? at : at - from));
            text = raw;
        }
        if (!closed || name.empty() ||
            std::any_of(name.begin(), name.end(), [](char c) { return is_blank(c); })) {
            continue;
        }
        strtolower(name);
        const std::optional<section> part = split_extended(name);
        if (!part) {
            out.push_back({std::move(name), std::move(text), std::move(raw)});
            continue;
        }
        auto [entry, added] = extended.try_emplace(name);
        extended_value& whole = entry->second;
        if (added) {
            whole.at = out.size();
            out.push_back({name, {}, raw});
        }
        if (part->encoded && part->number == 0) {
            whole.charset = take_charset(text);
        }
        whole.sections.try_emplace(part->number, part->encoded ? percent_decoded(text) : text);
    }
    for (auto& [name, whole] : extended) {
        // Sections joined from 0 up to the first one missing.
        std::string joined;
        std::size_t expected = 0;
        for (const auto& [number, text] : whole.sections) {
            if (number != expected++) {
                break;
            }
            joined += text;
        }
        const bool latin1 = whole.charset == "iso-8859-1" || whole.charset == "latin1";
        out[whole.at].value = latin1 ? latin1_to_utf8(joined) : std::move(joined);
    }
    // An extended value replaces the plain parameters of its name, standing where the first
    // parameter of that name stood.
    std::vector<mime_parameter> merged;
    std::set<std::string> placed;
    for (mime_parameter& p : out) {
        const auto found = extended.find(p.name);
        if (found == extended.end()) {
            merged.push_back(std::move(p));
        } else if (placed.insert(p.name).second) {
            merged.push_back(out[found->second.at]);
        }
    }
    return merged;
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int byte = escaped_byte(text, i, '%');
        if (byte >= 0) {
            out += static_cast<char>(byte);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool quoted_printable_decode(std::string_view text, bool line_end, buffer& out) {
    bool soft_break = false;
    if (line_end) {
        while (!text.empty() && is_blank(text.back())) {
            text.remove_suffix(1);
        }
        soft_break = text.ends_with('=');
        if (soft_break) {
            text.remove_suffix(1);
        }
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int byte = escaped_byte(text, i, '=');
        if (byte >= 0) {
            out.push_back(static_cast<std::uint8_t>(byte));
            i += 2;
        } else {
            out.push_back(static_cast<std::uint8_t>(text[i]));
        }
    }
    return soft_break;
}
