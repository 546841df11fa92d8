// WSP value encodings: the primitives every MMS PDU byte is written and read with.
//
// Encoders return a fresh buffer (or text) owned by the caller.  Decoders never read past the
// end of the bytes they are given: whatever a PDU claims about lengths, a value is cut at the
// end of the data and the offset then stands at the end (see decode_value).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/string_utils.h"

// How compose_value writes the items it is given.  Kinds are compared by identity.
enum class wsp_value_kind {
    plain,                                  // integers as Short-integer, texts as Text-string
    mms_header_long_integer_token,          // integers as Long-integer
    mms_header_encoded_string_value_token,  // texts as Encoded-string-value with charset utf-8
    mms_header_length_token,                // the whole value prefixed by its Value-length
};

// Names of the value classes decode_value reports; callers compare the text.
inline constexpr std::string_view WSP_TYPE_NO_VALUE = "no-value";
inline constexpr std::string_view WSP_TYPE_BINARY = "binary";
inline constexpr std::string_view WSP_TYPE_STRING = "string";
inline constexpr std::string_view WSP_TYPE_IMMEDIATE = "immediate";

inline constexpr std::uint8_t WSP_LENGTH_QUOTE = 0x1F;
inline constexpr std::uint8_t WSP_TEXT_QUOTE = 0x7F;
inline constexpr std::uint8_t WSP_QUOTED_STRING = 0x22;
inline constexpr std::int32_t MIBENUM_UTF8 = 106;

// True when an optional type name holds the given class name.
inline bool is_type(const opt_text& type, std::string_view name) {
    return type.has_value() && *type == name;
}

// One octet 0x80 | n.  n above 127 is a programming error and ends the process.
buffer encode_short_integer(std::uint32_t n);
// Short-length (1..4) followed by the significant octets, most significant first.
buffer encode_long_integer(std::uint32_t value);
// 7 bits per octet, most significant group first, continuation bit on all but the last.
buffer encode_uintvar(std::uint32_t value);
// Short-length below 31, else Length-quote and a Uintvar.
buffer encode_value_length(std::uint32_t length);
// The text as it is written before its terminating NUL: Quote before a first octet of 127 or
// more, the closing double quote of a quoted text dropped.  Absent for an empty text.
opt_text encode_text_string(std::string_view text);
// A phone number gets "/TYPE=PLMN"; an e-mail address (containing '@') is copied.
opt_text encode_address(opt_view address);

// Joins the present items (a negative integer or an absent text is not present) in the order
// int1, int2, text1, int3, text2, token; see wsp_primitives.cpp for the rules of each kind.
// token 0 writes Absolute-token, any other non-negative token Relative-token, each followed by
// the Long-integer token_value.
buffer compose_value(wsp_value_kind kind, std::int32_t int1, std::int32_t int2, opt_view text1,
                     std::int32_t int3, opt_view text2, std::int32_t token = -1,
                     std::uint32_t token_value = 0);
// Short-integer of field, then compose_value of the items (no token).
buffer compose_header(wsp_value_kind kind, std::int32_t int1, std::int32_t int2, opt_view text1,
                      std::int32_t int3, opt_view text2, std::uint32_t field);

// The NUL-terminated text at offset; next is set past its terminator.  Absent when offset is
// not inside data.  A text without a NUL ends before the last octet of data.
opt_text decode_text_string(byte_view data, std::uint32_t offset, std::uint32_t& next);
// A Uintvar at offset (32 bits kept); offset is advanced past the octets read.
std::uint32_t decode_uintvar(byte_view data, std::uint32_t& offset);
// One WSP value at offset; type is set to one of the WSP_TYPE_* names, or absent when offset
// is not inside data.  A length that runs past the end of data is cut at the end.
buffer decode_value(byte_view data, std::uint32_t& offset, opt_text& type);
