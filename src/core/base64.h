// Base64 (RFC 4648 alphabet, "=" padding) with CRLF after every 80 output characters.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/string_utils.h"

// True for the characters decoding counts: the alphabet and "=".
bool base64_is_symbol(unsigned char c);

// The encoding of data; never ends with a line break.  Absent when the size would overflow.
std::optional<std::string> base64_encode(byte_view data);
// Characters of the encoding of len bytes, line breaks included.
std::size_t base64_encoded_size(std::size_t len);
// Writes the encoding of data to out, which has room for base64_encoded_size(data.size())
// characters (no terminator is written).
void base64_encode_to(byte_view data, char* out);
// The decoded bytes; absent for invalid input (no characters, a count that is not a multiple of
// four, more than two "=" in the first padded group).  Characters outside the alphabet are
// skipped; decoding ends after the first padded group.
std::optional<buffer> base64_decode(std::string_view text);
// As base64_decode, into out (its storage is reused from call to call); false for invalid input.
bool base64_decode_into(std::string_view text, buffer& out);
