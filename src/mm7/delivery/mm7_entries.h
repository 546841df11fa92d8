// The multipart body of a received MMS PDU, entry by entry, as the MM7 client streams it.
//
// The body comes from the network and is treated as hostile: every length is checked against
// the bytes that are really there before anything is taken from it.  Nothing here touches a file
// or a socket; callers hand in windows of bytes, so the same code serves inline PDUs, PDU files
// and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/string_utils.h"
#include "wsp/wsp.h"

// The most octets one entry's header block (content type and part headers) may take.  Real
// phones write a few dozen; a larger block is taken for a hostile PDU.
inline constexpr std::uint32_t MM7_MAX_ENTRY_HEADERS = 4096;
// An entry starts with two Uintvars of at most five octets each, then its header block: a window
// of this size always holds a whole legal entry header.
inline constexpr std::size_t MM7_ENTRY_WINDOW = MM7_MAX_ENTRY_HEADERS + 10;
// The most entries a delivered message may have (a real one has a handful).
inline constexpr std::uint32_t MM7_MAX_DELIVERY_ENTRIES = 1000;

enum class entry_fault {
    none,
    bad_length,       // a Uintvar longer than five octets or cut off by the end of the body
    header_too_long,  // HeadersLen above MM7_MAX_ENTRY_HEADERS
    header_past_end,  // the header block runs past the end of the body
    no_content_type,  // the header block names no media type
    data_past_end,    // DataLen runs past the end of the body
    too_many_entries,
};
std::string_view entry_fault_text(entry_fault fault);

// One entry header, decoded from a window that starts at the entry's first octet.
struct entry_step {
    entry_fault fault = entry_fault::none;
    std::unique_ptr<multipart_entry> entry;  // set when fault is none
    std::uint32_t header_size = 0;           // octets before the entry's first data octet
};
// window: the octets at the entry's start, at most MM7_ENTRY_WINDOW of them (fewer only when
// the body ends sooner); remaining: octets of the body from the entry's start to its end.
entry_step mm7_read_entry(byte_view window, std::uint64_t remaining);

// Reads up to out.size() octets at a position of the PDU; the count read.
using pdu_window_reader =
    std::function<std::size_t(std::uint64_t position, std::span<std::uint8_t> out)>;

struct body_check {
    std::uint32_t entries = 0;  // entries that were read whole
    entry_fault fault = entry_fault::none;
    std::uint64_t whole_end = 0;  // just after the last entry read whole (start when none)
};
// Walks every entry from start (the first entry) to end (the end of the PDU).  A body is sound
// when its entries follow each other without a gap up to exactly its end; otherwise the walk
// stops at the first defect, and the entries before it are whole.
body_check mm7_check_body(std::uint64_t start, std::uint64_t end, const pdu_window_reader& read);

// A header value made safe for a MIME header line: control characters and double quotes are
// left out, so that a value from the network can neither end the line nor its quoted string.
std::string mime_header_value(std::string_view text);

// A media type from the network as a MIME header writes it: its leading run of token characters
// and "/" (blanks before it skipped), so that nothing of it can pass for a parameter.
std::string mime_media_type(std::string_view text);

// One parameter of a MIME header line, name="value", from texts of the network: the name keeps
// only token characters, the value no control characters, and quotes and backslashes in it are
// escaped.  A value beyond ASCII goes out as name*=charset''value with %-escapes (RFC 2231), as
// utf-8 when it is valid UTF-8, else as iso-8859-1.
std::string mime_parameter(std::string_view name, std::string_view value);

// The MIME headers of one part of the nested multipart, from "\r\n--" boundary up to and
// including the blank line: the Content-Type with the entry's parameters (charset, name, ...,
// then type and start), Content-ID and Content-Location.  base64 adds the
// Content-Transfer-Encoding line.
std::string mm7_part_headers(const multipart_entry& entry, std::string_view content_boundary,
                             bool base64);
// True when a part goes out without base64 (SMIL is sent as it is).
bool mm7_part_is_raw(const multipart_entry& entry);
// Octets a part's data of length octets takes on the wire when it is sent in pieces of at most
// piece octets: raw, or each piece base64-encoded (CRLF after every 80 characters) and followed
// by CRLF.
std::uint64_t mm7_part_data_wire_size(std::uint64_t length, bool base64, std::size_t piece);
