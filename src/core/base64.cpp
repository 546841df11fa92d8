#include "core/base64.h"

#include <cstdint>
#include <limits>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value_of(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    if (c == '=')
        return 64;
    return -1;
}
}  // namespace

bool base64_is_symbol(unsigned char c) {
    return value_of(c) >= 0;
}

std::optional<std::string> base64_encode(byte_view data) {
    const std::size_t len = data.size();
    if (len > std::numeric_limits<std::size_t>::max() / 4 - 3) {
        return std::nullopt;
    }
    const std::size_t chars = (len + 2) / 3 * 4;
    std::string out;
    out.reserve(chars + chars / 80 * 2 + 1);
    std::size_t column = 0;
    auto put = [&](char c) {
        if (column == 80) {
            out += "\r\n";
            column = 0;
        }
        out += c;
        ++column;
    };
    std::size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    if (len - i == 1) {
        std::uint32_t v = data[i] << 16;
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put('=');
        put('=');
    } else if (len - i == 2) {
        std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put('=');
    }
    return out;
}

std::optional<buffer> base64_decode(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        if (value_of(static_cast<unsigned char>(c)) >= 0) {
            ++count;
        }
    }
    if (count == 0 || count % 4 != 0) {
        return std::nullopt;
    }
    buffer out;
    out.reserve(count / 4 * 3);
    int group[4];
    int filled = 0;
    int pads = 0;
    for (char c : text) {
        int v = value_of(static_cast<unsigned char>(c));
        if (v < 0) {
            continue;
        }
        if (v == 64) {
            ++pads;
            v = 0;
        }
        group[filled++] = v;
        if (filled < 4) {
            continue;
        }
        std::uint32_t bits = (group[0] << 18) | (group[1] << 12) | (group[2] << 6) | group[3];
        std::uint8_t bytes[3] = {static_cast<std::uint8_t>(bits >> 16),
                                 static_cast<std::uint8_t>(bits >> 8),
                                 static_cast<std::uint8_t>(bits)};
        if (pads > 2) {
            return std::nullopt;
        }
        out.insert(out.end(), bytes, bytes + 3 - pads);
        if (pads > 0) {
            break;
        }
        filled = 0;
    }
    return out;
}
