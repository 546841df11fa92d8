// What the spool's bookkeeping of its entries (mm7_spool.cpp) and of spool/bad/
// (mm7_spool_bad.cpp) share: how arrival numbers name files, how numbers are read back, and the
// wall clock of the records.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Files of the spool are named by the arrival number in this many digits, zero-padded.
inline constexpr std::size_t SPOOL_NUMBER_DIGITS = 20;

inline std::string spool_number_text(std::uint64_t number) {
    std::string text = std::to_string(number);
    return std::string(SPOOL_NUMBER_DIGITS - std::min(text.size(), SPOOL_NUMBER_DIGITS), '0') +
           text;
}

// The whole text as a number of type T; false for an empty text, anything after the digits, or
// a number T cannot hold.
template <typename T>
bool spool_parse_number(std::string_view text, T& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

// The arrival number a file of the spool is named by (its first SPOOL_NUMBER_DIGITS
// characters, with something after them); false for a file of another name.
inline bool spool_number_of_name(std::string_view name, std::uint64_t& out) {
    return name.size() > SPOOL_NUMBER_DIGITS &&
           spool_parse_number(name.substr(0, SPOOL_NUMBER_DIGITS), out);
}

inline std::int64_t spool_wall_seconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}
