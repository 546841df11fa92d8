// Fuzz entry point: a per-port settings file as another local component (or an intruder who got
// to write it) may leave it, and the carrier headers its IMSI and number select.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "turbo/turbo_settings.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <std::size_t N>
void require_terminated(const char (&field)[N]) {
    require(std::memchr(field, '\0', N) != nullptr);
}

bool has_line_end(std::string_view text) {
    return text.find('\n') != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    mm7_settings settings;
    parse_settings(text, settings);
    for (const char* field :
         {settings.mms_proxy, settings.mmsc_url, settings.imsi, settings.msisdn}) {
        // A value never begins with white space, and never spans lines.
        std::string_view value(field);
        require(!has_line_end(value));
        require(value.empty() || (value.front() != ' ' && value.front() != '\t'));
    }
    require_terminated(settings.mms_proxy);
    require_terminated(settings.mmsc_url);
    require_terminated(settings.imsi);
    require_terminated(settings.msisdn);

    // Whatever the file says, a header stays within its bound and carries no line end of its
    // own: the templates have none, and the number comes from a single line.
    for_each_carrier_header(settings.imsi, settings.msisdn, [](const std::string& header) {
        require(header.size() <= HEADER_TEMPLATE_MAX);
        require(!has_line_end(header));
    });
    // The input as a template, filled with the number.
    std::string filled = fill_header_template(text, settings.msisdn);
    require(filled.size() <= HEADER_TEMPLATE_MAX);
    return 0;
}
