// Per-port MMS settings and the operator-specific subscriber-number headers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct curl_slist;

// A port's settings, read afresh for every transaction.  Every field is NUL-terminated and
// holds at most its width minus one characters.
struct mm7_settings {
    char mms_proxy[256] = {};
    char mmsc_url[256] = {};
    char imsi[32] = {};
    char msisdn[20] = {};
};

// Where the gateway writes the per-port settings files.
inline constexpr const char* TURBO_SETTINGS_DIR = "/tmp/qzm";
// "/tmp/qzm/mm7_settings_%d" with the port.
std::string port_settings_path(int port);
// Why the settings directory, when it exists, is not trusted (see read_port_settings); "" when
// it is, or when it does not exist.
std::string settings_dir_refusal();
// How a send that could not use its port's settings is answered: this text, the file's path,
// ": " and why.
inline constexpr std::string_view TURBO_SETTINGS_REFUSED = "Port settings not used: ";

// Fills settings from the port's file.  The file is trusted only when it and its directory are
// owned by root or by this process's user and writable by neither group nor others, and only
// a regular file is read (never a link, a FIFO or a device).  Returns "" when the file was read,
// else why it was not; the settings are then left as given.
std::string read_port_settings(int port, mm7_settings& settings);
// The same, from any file (the port's file goes through here).
std::string read_settings_file(const char* path, mm7_settings& settings);
// The port's settings for a transaction: read as above, with a rate-limited error line naming
// why they could not be used, and an IMSI that is not all digits dropped.  who leads the lines.
// Returns why the file was not used, "" when it was.
std::string load_port_settings(int port, mm7_settings& settings, const char* who);

// Settings lines from text: one setting per line, keys matched as whole words at the start of
// a line, every line read in pieces of at most 255 characters.
void parse_settings(std::string_view text, mm7_settings& settings);

// An IMSI that may go into a file name or a header: at most 15 characters, all digits.
bool imsi_is_safe(std::string_view imsi);

// The value part of a settings line: after the first ":", without white space around it; false
// when the line has no ":".
bool settings_value(std::string_view line, std::string_view& value);

// The template with ##LINE1## and ##LINE1NOCOUNTRYCODE## filled in, at most 125 characters.
inline constexpr std::size_t HEADER_TEMPLATE_MAX = 125;
std::string fill_header_template(std::string_view header_template, std::string_view line1);

// Appends the subscriber-number headers that the operator of imsi expects, in table order.
// Returns the list (curl_slist_append semantics: null when nothing was ever appended).
curl_slist* append_carrier_headers(curl_slist* list, std::string_view imsi, std::string_view line1);

// Calls f with each filled header that imsi selects, in table order.
template <class F>
void for_each_carrier_header(std::string_view imsi, std::string_view line1, F&& f);

namespace turbo_detail {
struct carrier_header {
    const char* prefix;
    const char* header_template;
};
extern const carrier_header carrier_header_table[];
extern const std::size_t carrier_header_table_size;
}  // namespace turbo_detail

template <class F>
void for_each_carrier_header(std::string_view imsi, std::string_view line1, F&& f) {
    for (std::size_t i = 0; i < turbo_detail::carrier_header_table_size; ++i) {
        const auto& entry = turbo_detail::carrier_header_table[i];
        if (imsi.starts_with(entry.prefix)) {
            f(fill_header_template(entry.header_template, line1));
        }
    }
}
