#include "delivery_fuzz_entry.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/base64.h"
#include "mm7/delivery/mm7_entries.h"
#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool token_char(char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// The Content-Type line takes apart as a MIME reader takes it: a type/subtype, then parameters,
// each "; " token and either "=" a quoted-string (only quotes and backslashes escaped in it) or
// "*=" a charset, "''" and %-escaped attribute characters.
void check_content_type(std::string_view line) {
    require(line.starts_with("Content-Type: "));
    std::size_t at = line.find_first_of(';', 14);
    const std::string_view media = line.substr(14, at - 14);
    require(!media.empty() && std::all_of(media.begin(), media.end(),
                                          [](char c) { return c == '/' || token_char(c); }));
    while (at < line.size()) {
        require(line.substr(at, 2) == "; ");
        at += 2;
        const std::size_t name = at;
        while (at < line.size() && token_char(line[at]) && line[at] != '*') {
            ++at;
        }
        require(at > name && at < line.size());
        if (line.substr(at).starts_with("*=")) {
            at += 2;
            const std::size_t quotes = line.find("''", at);
            require(quotes != std::string_view::npos);
            for (at = quotes + 2; at < line.size() && line[at] != ';'; ++at) {
                require(std::isalnum(static_cast<unsigned char>(line[at])) != 0 ||
                        std::string_view("!#$&+-.^_`|~").find(line[at]) != std::string_view::npos ||
                        (line[at] == '%' && at + 2 < line.size() &&
                         std::isxdigit(static_cast<unsigned char>(line[at + 1])) != 0 &&
                         std::isxdigit(static_cast<unsigned char>(line[at + 2])) != 0));
            }
            continue;
        }
        require(line.substr(at, 2) == "=\"");
        for (at += 2;; ++at) {
            require(at < line.size());
            const auto c = static_cast<unsigned char>(line[at]);
            require(c >= 0x20 && c != 0x7F);
            if (c == '"') {
                break;
            }
            if (c == '\\') {
                ++at;
                require(at < line.size() && (line[at] == '"' || line[at] == '\\'));
            }
        }
        ++at;
    }
}

// Every line of a part's MIME headers is one line: a value from the PDU can neither end it nor
// add a header of its own.
void check_part_headers(const std::string& text, const multipart_entry& entry, bool base64) {
    std::size_t lines = 0;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = text.substr(at, end - at);
        require(line.find_first_of("\r\n") == std::string::npos);
        if (lines == 2) {
            check_content_type(line);
        }
        ++lines;
    }
    require(at == text.size());
    const std::size_t expected = 4 + (entry.headers.content_id ? 1 : 0) +
                                 (entry.headers.content_location ? 1 : 0) + (base64 ? 1 : 0);
    require(lines == expected);
}

// The length announced for a part's data is what its pieces make on the wire: each piece
// encoded and followed by CRLF, or the data as it is.
void check_data_wire_size(byte_view data, bool base64) {
    for (const std::size_t piece : {std::size_t{3}, std::size_t{60}, std::size_t{24000}}) {
        if (piece == 3 && data.size() > 3000) {
            continue;  // a thousand encodings say all the smallest pieces can say
        }
        std::uint64_t sent = 0;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            const byte_view part = data.subspan(at, std::min(piece, data.size() - at));
            sent += base64 ? base64_encode(part).value_or(std::string()).size() + 2 : part.size();
        }
        require(mm7_part_data_wire_size(data.size(), base64, piece) == sent);
    }
}

// Walks the entries of the body from start, as the client streams them, and checks that the
// one-pass check agrees with the step-by-step walk.
void walk(byte_view pdu, std::uint64_t start) {
    const auto reader = [pdu](std::uint64_t position, std::span<std::uint8_t> out) {
        if (position >= pdu.size()) {
            return std::size_t{0};
        }
        const std::size_t n = std::min<std::size_t>(out.size(), pdu.size() - position);
        std::copy_n(pdu.begin() + static_cast<std::ptrdiff_t>(position), n, out.begin());
        return n;
    };
    const body_check check = mm7_check_body(start, pdu.size(), reader);
    std::uint64_t position = start;
    std::uint32_t entries = 0;
    entry_fault fault = entry_fault::none;
    while (position < pdu.size() && entries < MM7_MAX_DELIVERY_ENTRIES) {
        const std::uint64_t remaining = pdu.size() - position;
        const byte_view window = pdu.subspan(static_cast<std::size_t>(position))
                                     .first(std::min<std::size_t>(MM7_ENTRY_WINDOW, remaining));
        const entry_step step = mm7_read_entry(window, remaining);
        if (step.fault != entry_fault::none) {
            fault = step.fault;
            break;
        }
        require(step.header_size + std::uint64_t{step.entry->data_length} <= remaining);
        const bool base64 = !mm7_part_is_raw(*step.entry);
        check_part_headers(mm7_part_headers(*step.entry, "b", base64), *step.entry, base64);
        check_data_wire_size(pdu.subspan(static_cast<std::size_t>(position) + step.header_size,
                                         step.entry->data_length),
                             base64);
        position += step.header_size + std::uint64_t{step.entry->data_length};
        ++entries;
    }
    if (position < pdu.size() && fault == entry_fault::none) {
        fault = entry_fault::too_many_entries;
    }
    require(check.entries == entries && check.fault == fault);
    require(check.whole_end == position);
}

}  // namespace

int delivery_fuzz_one(const std::uint8_t* data, std::size_t size) {
    const byte_view input(data, size);
    walk(input, 0);
    std::uint32_t offset = 0;
    const mms_message message = ParseMMSHeaders(input, offset, false);
    if (message.content_type && offset < size) {
        decode_uintvar(input, offset);
        walk(input, offset);
    }
    return 0;
}
