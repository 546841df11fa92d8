#include "core/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte: 0-63 for the alphabet, 64 for "=", -1 for a byte that is skipped.
constexpr std::array<std::int8_t, 256> kValues = [] {
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 64; ++i) {
        values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    values['='] = 64;
    return values;
}();

int value_of(unsigned char c) {
    return kValues[c];
}
}  // namespace

bool base64_is_symbol(unsigned char c) {
    return value_of(c) >= 0;
}

std::size_t base64_encoded_size(std::size_t len) {
    const std::size_t chars = (len + 2) / 3 * 4;
    return chars + (chars == 0 ? 0 : (chars - 1) / 80 * 2);
}

std::optional<std::string> base64_encode(byte_view data) {
    if (data.size() > std::numeric_limits<std::size_t>::max() / 4 - 3) {
        return std::nullopt;
    }
    std::string out(base64_encoded_size(data.size()), '\0');
    base64_encode_to(data, out.data());
    return out;
}

void base64_encode_to(byte_view data, char* p) {
    const std::size_t len = data.size();
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
}

bool base64_decode_into(std::string_view text, buffer& out) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = in + text.size();
    out.resize(text.size() / 4 * 3 + 3);
    std::uint8_t* to = out.data();
    std::size_t symbols = 0;
    std::uint32_t bits = 0;
    int filled = 0;
    int pads = 0;
    while (in < end) {
        // Whole groups of four alphabet characters, the common case, in one step.
        if (filled == 0 && end - in >= 4) {
            int a = kValues[in[0]], b = kValues[in[1]], c = kValues[in[2]], d = kValues[in[3]];
            if (((a | b | c | d) & ~63) == 0) {
                std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
                to[0] = static_cast<std::uint8_t>(v >> 16);
                to[1] = static_cast<std::uint8_t>(v >> 8);
                to[2] = static_cast<std::uint8_t>(v);
                to += 3;
                in += 4;
                symbols += 4;
                continue;
            }
        }
        int v = kValues[*in++];
        if (v < 0) {
            continue;
        }
        ++symbols;
        if (v == 64) {
            ++pads;
            v = 0;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if (++filled < 4) {
            continue;
        }
        if (pads > 2) {
            return false;
        }
        std::uint8_t bytes[3] = {static_cast<std::uint8_t>(bits >> 16),
                                 static_cast<std::uint8_t>(bits >> 8),
                                 static_cast<std::uint8_t>(bits)};
        for (int i = 0; i < 3 - pads; ++i) {
            *to++ = bytes[i];
        }
        filled = 0;
        bits = 0;
        if (pads > 0) {
            // The first padded group ends the data; the rest only counts towards the total.
            for (; in < end; ++in) {
                symbols += kValues[*in] >= 0;
            }
        }
    }
    if (symbols == 0 || symbols % 4 != 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
    return true;
}

std::optional<buffer> base64_decode(std::string_view text) {
    buffer out;
    if (!base64_decode_into(text, out)) {
        return std::nullopt;
    }
    return out;
}
