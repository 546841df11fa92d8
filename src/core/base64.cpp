#include "core/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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
    // Two output characters per 12 input bits, looked up at once.
    static const std::array<char, 2 * 4096> pairs = [] {
        std::array<char, 2 * 4096> t{};
        for (std::size_t v = 0; v < 4096; ++v) {
            t[2 * v] = kAlphabet[v >> 6];
            t[2 * v + 1] = kAlphabet[v & 63];
        }
        return t;
    }();
    // Every 60 input bytes make one line of 80 characters; lines are joined by CRLF.
    constexpr std::size_t kLineBytes = 60;
    const std::size_t chars = (len + 2) / 3 * 4;
    const std::size_t breaks = chars == 0 ? 0 : (chars - 1) / 80;
    std::string out(chars + 2 * breaks, '\0');
    char* p = out.data();
    const std::uint8_t* in = data.data();
    const std::size_t whole = len / 3 * 3;  // bytes encoded without padding
    for (std::size_t line = 0; line < whole; line += kLineBytes) {
        if (line != 0) {
            *p++ = '\r';
            *p++ = '\n';
        }
        const std::size_t stop = std::min(whole, line + kLineBytes);
        for (std::size_t i = line; i < stop; i += 3) {
            const std::uint32_t v =
                (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
            std::memcpy(p, &pairs[2 * (v >> 12)], 2);
            std::memcpy(p + 2, &pairs[2 * (v & 4095)], 2);
            p += 4;
        }
    }
    if (len != whole) {
        if (whole != 0 && whole % kLineBytes == 0) {
            *p++ = '\r';
            *p++ = '\n';
        }
        const std::uint32_t v = (std::uint32_t{in[whole]} << 16) |
                                (len - whole == 2 ? std::uint32_t{in[whole + 1]} << 8 : 0);
        p[0] = kAlphabet[(v >> 18) & 63];
        p[1] = kAlphabet[(v >> 12) & 63];
        p[2] = len - whole == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        p[3] = '=';
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
