// Helpers shared by the codec tests: byte strings from hex and text, and captured FILE output.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "core/string_utils.h"
#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"

// "8C 80 98 'ab'" -> the three octets, then "ab"; any other character separates octets.
inline buffer hex(std::string_view text) {
    buffer out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\'') {
            const std::size_t end = text.find('\'', i + 1);
            out.insert(out.end(), text.begin() + i + 1, text.begin() + end);
            i = end + 1;
        } else if (std::isxdigit(static_cast<unsigned char>(text[i])) != 0) {
            std::size_t n = 1;
            n += i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]));
            out.push_back(static_cast<std::uint8_t>(
                std::strtoul(std::string(text.substr(i, n)).c_str(), nullptr, 16)));
            i += n;
        } else {
            ++i;
        }
    }
    return out;
}

inline buffer text_bytes(std::string_view text) {
    return buffer(text.begin(), text.end());
}

// Concatenation of byte strings.
inline buffer cat(std::initializer_list<buffer> parts) {
    buffer out;
    for (const buffer& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Everything write_to writes into a stream.
inline buffer capture(const std::function<void(FILE*)>& write_to) {
    FILE* f = std::tmpfile();
    write_to(f);
    std::fflush(f);
    buffer out;
    std::rewind(f);
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    std::fclose(f);
    return out;
}

inline buffer read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return buffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The folder of real-world PDUs, or an empty path when it is absent.
inline std::filesystem::path pdu_dir() {
    std::filesystem::path dir = std::filesystem::path(MM7_TESTDATA_DIR) / "mms-pdus";
    return std::filesystem::is_directory(dir) ? dir : std::filesystem::path();
}

struct body_walk {
    std::uint32_t entries = 0;  // the entry count the body declares
    std::uint64_t end = 0;      // the position after the last entry walked
};

// Walks a multipart body the way the daemon reads a received message: the entry count at
// offset, then every entry header decoded from a window of at most 1024 octets at its position.
// on_entry gets each entry and the position of its first data octet.
inline body_walk walk_body(
    const buffer& pdu, std::uint32_t offset,
    const std::function<void(const multipart_entry&, std::uint64_t)>& on_entry = {}) {
    body_walk r;
    r.entries = decode_uintvar(pdu, offset);
    std::uint64_t position = offset;
    while (position < pdu.size()) {
        const auto begin = static_cast<std::ptrdiff_t>(position);
        const auto count =
            std::min<std::ptrdiff_t>(1024, static_cast<std::ptrdiff_t>(pdu.size()) - begin);
        buffer window(pdu.begin() + begin, pdu.begin() + begin + count);
        std::uint32_t entry_offset = 0;
        auto entry = parse_multipart_entry(window, entry_offset);
        const std::uint64_t data = position + entry_offset;
        if (on_entry) {
            on_entry(*entry, data);
        }
        position = data + entry->data_length;
    }
    r.end = position;
    return r;
}
