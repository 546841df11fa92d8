#include "core/http_text.h"

#include <cctype>

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string_view> header_value(std::string_view head, std::string_view name) {
    for (std::size_t at = head.find('\n'); at != std::string_view::npos;) {
        const std::size_t end = head.find('\n', at + 1);
        std::string_view line =
            head.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
        at = end;
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos &&
            same_text_ignoring_case(line.substr(0, colon), name)) {
            return trim_blanks(line.substr(colon + 1));
        }
    }
    return std::nullopt;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<unsigned char>(std::tolower(c));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string dechunked(std::string_view body, bool& complete) {
    std::string out;
    chunk_decoder decoder;
    decode_chunks(decoder, as_bytes(body), [&out](byte_view data) {
        out += as_text(data);
        return true;
    });
    complete =
        decoder.at == chunk_decoder::step::trailer || decoder.at == chunk_decoder::step::done;
    return out;
}
