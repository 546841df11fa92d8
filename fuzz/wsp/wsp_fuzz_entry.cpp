#include "wsp_fuzz_entry.h"

#include <algorithm>
#include <span>

#include "wsp/wsp.h"
#include "wsp/wsp_content.h"
#include "wsp/wsp_primitives.h"

namespace {

// The size of the read-ahead window the MM7 client hands to parse_multipart_entry.
constexpr std::size_t ENTRY_WINDOW = 1024;

// Walks the multipart entries after the header block as the MM7 client does: a window of at most
// ENTRY_WINDOW octets at each entry, then on past the entry's data.
void walk_entries(byte_view pdu, std::uint32_t offset) {
    decode_uintvar(pdu, offset);
    std::uint64_t position = offset;
    while (position < pdu.size()) {
        const auto begin = static_cast<std::size_t>(position);
        const std::size_t count = std::min(ENTRY_WINDOW, pdu.size() - begin);
        buffer window(pdu.begin() + static_cast<std::ptrdiff_t>(begin),
                      pdu.begin() + static_cast<std::ptrdiff_t>(begin + count));
        std::uint32_t entry_offset = 0;
        auto entry = parse_multipart_entry(window, entry_offset);
        if (entry_offset == 0 && entry->data_length == 0) {
            break;  // nothing consumed: a zero-length tail
        }
        position += std::uint64_t{entry_offset} + entry->data_length;
    }
}

}  // namespace

int wsp_fuzz_one(const std::uint8_t* data, std::size_t size) {
    const byte_view input(data, size);

    std::uint32_t offset = 0;
    const mms_message message = ParseMMSHeaders(input, offset, false);
    walk_entries(input, offset);

    std::uint32_t part_offset = 0;
    ParseMMSHeaders(input, part_offset, true);

    // Every value of the input, from the first octet on.
    std::uint32_t position = 0;
    while (position < size) {
        opt_text type;
        const buffer value = decode_value(input, position, type);
        mms_content_type ct;
        parse_content_type_f(value, type, ct);
    }
    (void)message;
    return 0;
}
