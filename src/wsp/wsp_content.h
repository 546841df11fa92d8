// Content types and dispositions: textual MIME values to WSP binary values and back.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/string_utils.h"
#include "wsp/wsp_types.h"

// The media type (or disposition token): everything before the first ";", not trimmed.
inline constexpr const char* REGEX_MEDIA = "^[^;]*";

inline constexpr std::size_t CONTENT_TYPE_COUNT = 76;
inline constexpr std::size_t PARAMETER_COUNT = 30;
inline constexpr std::size_t DISPOSITION_COUNT = 3;

inline constexpr std::uint8_t WSP_PARAM_CHARSET = 0x01;
inline constexpr std::uint8_t WSP_PARAM_NAME = 0x05;
inline constexpr std::uint8_t WSP_PARAM_TYPE = 0x09;
inline constexpr std::uint8_t WSP_PARAM_START = 0x0A;
inline constexpr std::uint8_t WSP_PARAM_NAME_TEXT = 0x17;   // Name, encoding version 1.4
inline constexpr std::uint8_t WSP_PARAM_START_TEXT = 0x19;  // Start, encoding version 1.4
inline constexpr std::uint8_t WSP_CONTENT_MULTIPART_MIXED = 0x23;
inline constexpr std::uint8_t WSP_CONTENT_MULTIPART_RELATED = 0x33;
inline constexpr std::uint8_t WSP_HEADER_CONTENT_LOCATION = 0x0E;
inline constexpr std::uint8_t WSP_HEADER_CONTENT_DISPOSITION = 0x2E;
inline constexpr std::uint8_t WSP_HEADER_CONTENT_ID = 0x40;

// Well-known content types by number; empty views are unassigned slots (none here).
extern const std::array<std::string_view, CONTENT_TYPE_COUNT> content_type_table;
// Well-known parameters by number; empty views never match.
extern const std::array<std::string_view, PARAMETER_COUNT> parameter_table;
// A character set: its IANA MIBenum and a name of it.
struct charset_entry {
    std::uint32_t mibenum;
    std::string_view name;
};
// Character sets by name.  The first entry of a MIBenum holds its MIME name, the one it is read
// back as; later ones are other names it is written for.
extern const std::array<charset_entry, 49> charset_table;
extern const std::array<std::string_view, DISPOSITION_COUNT> disposition_table;

// The Content-Type value of a part: Value-length, media (well-known number or text), parameters.
buffer compose_content_type(std::string_view text);
// The Content-Disposition value: Value-length, disposition token, parameters.
buffer compose_content_disposition(std::string_view text);
// Fills ct from a decoded value: "string" is the media type itself; "binary" is the general form
// (media, then parameters: Type and Start into their fields, and into params those MIME can
// carry: the charset by its MIME name, the name, and untyped parameters named by a token).
// Other types leave ct alone.
void parse_content_type_f(byte_view value, const opt_text& type, mms_content_type& ct);
