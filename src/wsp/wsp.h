// WSP/MMS codec: binary MMS PDUs in both directions.
//
// Only the operations other subsystems call are declared here; the codec's own primitives are in
// the headers next to this one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/string_utils.h"
#include "mm7/mms_message.h"
#include "wsp/wsp_compose.h"
#include "wsp/wsp_types.h"

// ---- composition (m-send-req files) ----

// A fresh MMS transaction id (base64 of the current time and a counter); it also names the file.
std::string generate_transaction_id();
// Writes the m-send-req header block, Content-Type last, and flushes the stream.
void compose_send_req_headers(FILE* stream, const mms_message& message,
                              std::string_view transaction_id, const multipart_params* params);
// Writes the low 8 bits of value as one octet.
void write_octet(FILE* stream, int value);
// Writes one multipart entry header (HeadersLen, DataLen, content type, part headers); false,
// with nothing written, when the part has no content type or neither a Content-ID nor a
// Content-Location.
bool compose_part_headers(FILE* stream, const mms_part& part);

// ---- parsing ----

// Decodes a header block from octet 0.  Message mode fills the message fields; part-header mode
// keeps only Content-Location and Content-ID.  offset is set past the last header consumed.
mms_message ParseMMSHeaders(byte_view data, std::uint32_t& offset, bool part_headers);

// One decoded multipart entry header.
struct multipart_entry {
    std::uint32_t data_length = 0;
    std::uint32_t headers_length = 0;
    mms_content_type content_type;
    mms_message headers;  // content_id, content_location
};
// Decodes the entry header at offset (its HeadersLen).  Overwrites data with the entry's
// remaining part headers; offset is set to the entry's first data octet (counted in data as it
// was passed in).
std::unique_ptr<multipart_entry> parse_multipart_entry(buffer& data, std::uint32_t& offset);
