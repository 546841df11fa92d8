// Byte buffers and string utilities.
//
// A "text" that may be absent is a std::optional<std::string>; an absent argument is
// std::nullopt.  Absent and empty are different results and the functions keep them apart
// exactly as documented on each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The byte string passed between modules: data and length, owned by whoever created it.
using buffer = std::vector<std::uint8_t>;
using byte_view = std::span<const std::uint8_t>;
using opt_text = std::optional<std::string>;
using opt_view = std::optional<std::string_view>;

inline byte_view as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view as_text(byte_view b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}
inline opt_view view_of(const opt_text& t) {
    return t ? opt_view(*t) : std::nullopt;
}

// Copy of b; absent for an absent b.
std::optional<buffer> buffer_dup(const buffer* b);
// a's bytes followed by b's; a copy of the other when one is absent; absent when both are.
std::optional<buffer> buffer_concat(const buffer* a, const buffer* b);

// Copy of s; absent when s is absent or empty.
opt_text strdup_nonempty(opt_view s);
// The n bytes at p as a text (a terminator always follows the data); absent for a null p.
opt_text memdup_z(const void* p, std::size_t n);
// true when s begins with prefix; true when prefix is absent; false when s is absent.
bool starts_with(opt_view s, opt_view prefix);
// true when s ends with suffix; true when suffix is absent; false when s is absent or shorter.
bool ends_with(opt_view s, opt_view suffix);
// s without leading and trailing white space; absent when s is absent, empty or all blank.
opt_text strstrip(opt_view s);
// Lower-cases s in place and returns it.
std::string& strtolower(std::string& s);
// A peer-supplied text made safe for one log line: control bytes, '\\', octets that are no
// well-formed UTF-8 character, and characters that end or reorder a line in a viewer (C1
// controls, U+2028 to U+202E, U+2066 to U+2069) become \xNN, octet by octet; other UTF-8
// characters stay as they are.
std::string log_escape(std::string_view text);
// Equal texts, compared in a time that depends on their lengths only, not on where they differ.
bool equal_in_constant_time(std::string_view a, std::string_view b);
std::string itoa_dec(int n);
std::string itoa_hex(unsigned n);
// All present pieces joined in order; an empty list gives an empty text.
std::string concat(std::initializer_list<opt_view> pieces);
// Every non-overlapping occurrence of needle replaced, left to right; absent when any argument
// is absent or s is empty.  An empty needle never matches.
opt_text str_replace(opt_view s, opt_view needle, opt_view replacement);
// The whole first match of a POSIX extended regular expression; absent when an argument is
// absent, the pattern does not compile or nothing matches.
opt_text regex_match(opt_view text, opt_view pattern);
// Printable dump of data, at most out_size - 1 characters (the text a C buffer of out_size
// bytes would hold), per_line bytes per line.
std::string hexdump(byte_view data, std::size_t out_size, unsigned per_line);
