// Pieces of HTTP/1.1 text both the MM7 server and the MM7 client read: blanks around values,
// field names in any letter case, a header's value, and chunked bodies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/string_utils.h"

// Without white space at either end.
std::string_view trim_blanks(std::string_view text);
bool same_text_ignoring_case(std::string_view a, std::string_view b);
// The value of a header line of head (a status or request line, then header lines), trimmed;
// nothing when the head does not have it.
std::optional<std::string_view> header_value(std::string_view head, std::string_view name);

// Bounds on the framing of a chunked body: one size line with its extensions, and the trailer.
inline constexpr std::size_t HTTP_MAX_CHUNK_LINE = 4096;
inline constexpr std::size_t HTTP_MAX_CHUNK_TRAILER = 16384;

// The state of a chunked body between reads.
struct chunk_decoder {
    enum class step { size, size_line, data, data_end, trailer, done };
    step at = step::size;
    std::uint64_t left = 0;      // bytes of the current chunk still to come
    std::size_t digits = 0;      // hex digits of the size read so far
    std::size_t line_bytes = 0;  // bytes of the current size-extension or trailer line
    std::size_t trailer_bytes = 0;
};

enum class chunk_result { ok, bad, stop };

int hex_value(unsigned char c);

// Decodes the next bytes of a chunked body; each run of data goes to `out`, which answers false
// when the reader stopped.  Bytes after the last chunk's trailer are ignored.
template <typename Out>
chunk_result decode_chunks(chunk_decoder& d, byte_view in, Out&& out) {
    using step = chunk_decoder::step;
    for (std::size_t i = 0; i < in.size() && d.at != step::done; ++i) {
        const unsigned char c = in[i];
        switch (d.at) {
            case step::size:
                if (int v = hex_value(c); v >= 0) {
                    if (d.digits == 15) {
                        return chunk_result::bad;
                    }
                    d.left = d.left * 16 + static_cast<std::uint64_t>(v);
                    ++d.digits;
                    break;
                }
                if (d.digits == 0) {
                    return chunk_result::bad;
                }
                d.at = step::size_line;
                d.line_bytes = 0;
                [[fallthrough]];
            case step::size_line:
                if (c == '\n') {
                    d.at = d.left == 0 ? step::trailer : step::data;
                    d.line_bytes = 0;
                } else if (++d.line_bytes > HTTP_MAX_CHUNK_LINE) {
                    return chunk_result::bad;
                }
                break;
            case step::data: {
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(d.left, in.size() - i));
                if (!out(in.subspan(i, take))) {
                    return chunk_result::stop;
                }
                d.left -= take;
                i += take - 1;
                if (d.left == 0) {
                    d.at = step::data_end;
                    d.line_bytes = 0;
                }
                break;
            }
            case step::data_end:
                if (c == '\r' && d.line_bytes++ == 0) {
                    break;
                }
                if (c != '\n') {
                    return chunk_result::bad;
                }
                d.at = step::size;
                d.digits = 0;
                d.left = 0;
                break;
            case step::trailer:
                if (++d.trailer_bytes > HTTP_MAX_CHUNK_TRAILER) {
                    return chunk_result::bad;
                }
                if (c == '\n') {
                    d.at = d.line_bytes == 0 ? step::done : step::trailer;
                    d.line_bytes = 0;
                } else if (c != '\r') {
                    ++d.line_bytes;
                }
                break;
            case step::done:
                break;
        }
    }
    return chunk_result::ok;
}

// The data of a chunked body as far as it has come; complete once its last chunk (the one of
// size 0) is there.
std::string dechunked(std::string_view body, bool& complete);
