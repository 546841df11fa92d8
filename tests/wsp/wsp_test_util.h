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

// "8C 80 98" -> the three octets; any non-hex character separates octets.
inline buffer hex(std::string_view text) {
    buffer out;
    std::string digits;
    auto flush = [&] {
        if (!digits.empty()) {
            out.push_back(static_cast<std::uint8_t>(std::strtoul(digits.c_str(), nullptr, 16)));
            digits.clear();
        }
    };
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits.push_back(c);
            if (digits.size() == 2) {
                flush();
            }
        } else {
            flush();
        }
    }
    flush();
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
