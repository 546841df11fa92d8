// MMS header block decoding: helpers beside ParseMMSHeaders and parse_multipart_entry (wsp.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/string_utils.h"
#include "mm7/mms_message.h"

// How a message-mode header value is stored.
enum class mms_header_kind { none, text, number, yes_no, address_list, from, date, content_type };

inline constexpr std::size_t HEADER_KIND_COUNT = 30;
inline constexpr std::size_t RESPONSE_STATUS_COUNT = 240;

// Field number -> kind; none for the fields that are read and dropped.
extern const std::array<mms_header_kind, HEADER_KIND_COUNT> header_kind_table;
// Response status octet -> text; empty views are slots without a text.
extern const std::array<std::string_view, RESPONSE_STATUS_COUNT> response_status_texts;
extern const std::array<std::string_view, 3> priority_texts;
extern const std::array<std::string_view, 7> status_texts;
extern const std::array<std::string_view, 2> read_status_texts;

// For a "binary" value: drops the first octet (charset or length) and the last (the NUL).
void unwrap_binary_value(buffer& value, const opt_text& type);
// Drops a trailing "/TYPE=PLMN".
void strip_plmn_suffix(buffer& value);
// Appends one decoded To/Cc/Bcc address to list (created when absent).
void parse_destination_address_f(const buffer& value, const opt_text& type,
                                 std::optional<text_list>& list);
