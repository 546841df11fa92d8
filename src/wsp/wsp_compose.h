// m-send-req composition: constants and helpers beside the operations declared in wsp.h.
#pragma once

#include <cstdint>

#include "core/string_utils.h"
#include "mm7/mms_message.h"
#include "wsp/wsp_types.h"

// MMS header field numbers (the octet on the wire is the number | 0x80).
inline constexpr std::uint32_t MMS_FIELD_BCC = 0x01;
inline constexpr std::uint32_t MMS_FIELD_CC = 0x02;
inline constexpr std::uint32_t MMS_FIELD_CONTENT_TYPE = 0x04;
inline constexpr std::uint32_t MMS_FIELD_DELIVERY_REPORT = 0x06;
inline constexpr std::uint32_t MMS_FIELD_DELIVERY_TIME = 0x07;
inline constexpr std::uint32_t MMS_FIELD_EXPIRY = 0x08;
inline constexpr std::uint32_t MMS_FIELD_FROM = 0x09;
inline constexpr std::uint32_t MMS_FIELD_MESSAGE_CLASS = 0x0A;
inline constexpr std::uint32_t MMS_FIELD_MESSAGE_TYPE = 0x0C;
inline constexpr std::uint32_t MMS_FIELD_MMS_VERSION = 0x0D;
inline constexpr std::uint32_t MMS_FIELD_PRIORITY = 0x0F;
inline constexpr std::uint32_t MMS_FIELD_READ_REPORT = 0x10;
inline constexpr std::uint32_t MMS_FIELD_SUBJECT = 0x16;
inline constexpr std::uint32_t MMS_FIELD_TO = 0x17;
inline constexpr std::uint32_t MMS_FIELD_TRANSACTION_ID = 0x18;

inline constexpr std::int32_t MMS_MESSAGE_TYPE_SEND_REQ = 0;
inline constexpr std::int32_t MMS_VERSION_1_2 = 0x12;
inline constexpr std::int32_t MMS_INSERT_ADDRESS_TOKEN = 1;
inline constexpr std::int32_t MMS_ABSOLUTE_TOKEN = 0;
inline constexpr std::int32_t MMS_RELATIVE_TOKEN = 1;

// The entry count after the header block is one reserved octet holding a Uintvar, so a PDU
// carries at most this many entries; a submission with more parts has to be refused, since
// write_octet of 128 or more would turn the count into the start of a longer Uintvar.
inline constexpr std::uint32_t MMS_MAX_PARTS = 127;

// The value of X-Mms-Expiry or X-Mms-Delivery-Time: Value-length, then Absolute-token and the
// instant or Relative-token and the length of time, as a Long-integer of seconds.
buffer compose_time_value(const mms_time& time);
// The Short-integer token of a message class text (compared lower-cased).
std::int32_t message_class_token(std::string_view message_class);
// The Short-integer token of a priority text (compared lower-cased).
std::int32_t priority_token(std::string_view priority);

// The m-send-req header block, Content-Type last, as bytes (std::bad_alloc when memory runs out).
buffer compose_send_req_head(const mms_message& message, std::string_view transaction_id,
                             const multipart_params* params);
// One multipart entry header as bytes; absent when the part has no content type or neither a
// Content-ID nor a Content-Location.
std::optional<buffer> compose_part_entry_header(const mms_part& part);
// Splits "name<sep>value" (sep ":" when absent): name trimmed and lower-cased, value trimmed.
// False, with both outputs absent, unless both are present.
bool split_header_line(opt_view text, opt_view separator, opt_text& name, opt_text& value);
