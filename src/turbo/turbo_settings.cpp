#include "turbo/turbo_settings.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/log.h"

namespace turbo_detail {

namespace {
constexpr const char* X_MDN = "X-MDN: ##LINE1##";
constexpr const char* UP_LINE_ID = "x-up-calling-line-id: 1##LINE1NOCOUNTRYCODE##";
constexpr const char* VZW_MDN = "X-VzW-MDN: 1##LINE1NOCOUNTRYCODE##";
}  // namespace

// Ordered: every entry whose prefix begins the IMSI contributes one header, in this order.
const carrier_header carrier_header_table[] = {
    {"311440", X_MDN},
    {"311800", X_MDN},
    {"311410", X_MDN},
    {"312170", X_MDN},
    {"312160", X_MDN},
    {"311012", UP_LINE_ID},
    {"311012", VZW_MDN},
    {"310040", X_MDN},
    {"310750", X_MDN},
    {"310580", X_MDN},
    {"310920", X_MDN},
    {"310130", X_MDN},
    {"311340", X_MDN},
    {"310360", X_MDN},
    {"310010", UP_LINE_ID},
    {"310010", VZW_MDN},
    {"310012", UP_LINE_ID},
    {"310012", VZW_MDN},
    {"310013", UP_LINE_ID},
    {"310013", VZW_MDN},
    {"310410", "X-Up-Calling-Line-Id: 1##LINE1NOCOUNTRYCODE##"},
    {"310590", UP_LINE_ID},
    {"310590", VZW_MDN},
    {"310890", UP_LINE_ID},
    {"310890", VZW_MDN},
    {"310910", UP_LINE_ID},
    {"310910", VZW_MDN},
    {"311110", UP_LINE_ID},
    {"311110", VZW_MDN},
    {"311270", UP_LINE_ID},
    {"311270", VZW_MDN},
    {"311271", UP_LINE_ID},
    {"311271", VZW_MDN},
    {"311272", UP_LINE_ID},
    {"311272", VZW_MDN},
    {"311273", UP_LINE_ID},
    {"311273", VZW_MDN},
    {"311274", UP_LINE_ID},
    {"311274", VZW_MDN},
    {"311275", UP_LINE_ID},
    {"311275", VZW_MDN},
    {"311276", UP_LINE_ID},
    {"311276", VZW_MDN},
    {"311277", UP_LINE_ID},
    {"311277", VZW_MDN},
    {"311278", UP_LINE_ID},
    {"311278", VZW_MDN},
    {"311279", UP_LINE_ID},
    {"311279", VZW_MDN},
    {"311280", UP_LINE_ID},
    {"311280", VZW_MDN},
    {"311281", UP_LINE_ID},
    {"311281", VZW_MDN},
    {"311282", UP_LINE_ID},
    {"311282", VZW_MDN},
    {"311283", UP_LINE_ID},
    {"311283", VZW_MDN},
    {"311284", UP_LINE_ID},
    {"311284", VZW_MDN},
    {"311285", UP_LINE_ID},
    {"311285", VZW_MDN},
    {"311286", UP_LINE_ID},
    {"311286", VZW_MDN},
    {"311287", UP_LINE_ID},
    {"311287", VZW_MDN},
    {"311288", UP_LINE_ID},
    {"311288", VZW_MDN},
    {"311289", UP_LINE_ID},
    {"311289", VZW_MDN},
    {"311390", UP_LINE_ID},
    {"311390", VZW_MDN},
    {"311480", UP_LINE_ID},
    {"311480", VZW_MDN},
    {"311481", UP_LINE_ID},
    {"311481", VZW_MDN},
    {"311482", UP_LINE_ID},
    {"311482", VZW_MDN},
    {"311483", UP_LINE_ID},
    {"311483", VZW_MDN},
    {"311484", UP_LINE_ID},
    {"311484", VZW_MDN},
    {"311485", UP_LINE_ID},
    {"311485", VZW_MDN},
    {"311486", UP_LINE_ID},
    {"311486", VZW_MDN},
    {"311487", UP_LINE_ID},
    {"311487", VZW_MDN},
    {"311488", UP_LINE_ID},
    {"311488", VZW_MDN},
    {"311489", UP_LINE_ID},
    {"311489", VZW_MDN},
    {"310730", "x-vzw-mdn: 1##LINE1NOCOUNTRYCODE##"},
    {"310600", X_MDN},
    {"311100", X_MDN},
    {"311230", "X-CS3G-MDN: 1##LINE1NOCOUNTRYCODE##"},
    {"311580", "x-vzw-mdn: 1##LINE1NOCOUNTRYCODE##"},
    {"53001", "X-NOKIA-MSISDN: ##LINE1##"},
};
const std::size_t carrier_header_table_size = std::size(carrier_header_table);
static_assert(std::size(carrier_header_table) == 97);

}  // namespace turbo_detail

namespace {

// A settings file is a handful of short lines; anything past this is not read.
constexpr long MAX_SETTINGS_BYTES = 65536;

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::string port_settings_path(int port) {
    char path[64];
    std::snprintf(path, sizeof path, "/tmp/qzm/mm7_settings_%d", port);
    return path;
}

void read_port_settings(int port, mm7_settings& settings) {
    read_settings_file(port_settings_path(port).c_str(), settings);
}

void read_settings_file(const char* path, mm7_settings& settings) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return;
    }
    char piece[256];
    bool continuation = false;  // the piece read last did not end its line
    while (std::ftell(file) < MAX_SETTINGS_BYTES && std::fgets(piece, sizeof piece, file)) {
        std::string_view line(piece, std::strlen(piece));
        bool was_continuation = continuation;
        continuation = !line.ends_with('\n') && !std::feof(file);
        if (was_continuation) {
            continue;  // the rest of an over-long line is never read as a line of its own
        }
        while (!line.empty() && is_blank(line.front())) {
            line.remove_prefix(1);
        }
        if (line.empty()) {
            continue;
        }
        struct key_field {
            const char* key;
            char* field;
            std::size_t size;
        };
        const key_field keys[] = {
            {"mms_proxy", settings.mms_proxy, sizeof settings.mms_proxy},
            {"mmsc_url", settings.mmsc_url, sizeof settings.mmsc_url},
            {"imsi", settings.imsi, sizeof settings.imsi},
            {"msisdn", settings.msisdn, sizeof settings.msisdn},
        };
        for (const key_field& k : keys) {
            if (!line.starts_with(k.key)) {
                continue;
            }
            std::string_view value;
            if (!settings_value(line.substr(std::strlen(k.key)), value)) {
                value = {};
            }
            std::size_t n = std::min(value.size(), k.size - 1);
            value.copy(k.field, n);
            k.field[n] = '\0';
            break;
        }
    }
    std::fclose(file);
}

bool settings_value(std::string_view line, std::string_view& value) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    value = line.substr(colon + 1);
    while (!value.empty() && is_blank(value.front())) {
        value.remove_prefix(1);
    }
    while (!value.empty() && is_blank(value.back())) {
        value.remove_suffix(1);
    }
    return true;
}

std::string fill_header_template(std::string_view header_template, std::string_view line1) {
    std::string out;
    std::string_view rest = header_template;
    while (!rest.empty()) {
        std::size_t open = rest.find("##");
        if (open == std::string_view::npos) {
            out += rest;
            break;
        }
        out += rest.substr(0, open);
        rest.remove_prefix(open);
        std::size_t close = rest.find("##", 2);
        if (close == std::string_view::npos) {
            out += rest;
            break;
        }
        std::string_view marker = rest.substr(0, close + 2);
        if (marker == "##LINE1##") {
            out += line1;
        } else if (marker == "##LINE1NOCOUNTRYCODE##") {
            out += line1.size() > 9 ? line1.substr(line1.size() - 10) : line1;
        } else {
            out += marker;
        }
        rest.remove_prefix(marker.size());
    }
    if (out.size() > HEADER_TEMPLATE_MAX) {
        out.resize(HEADER_TEMPLATE_MAX);
    }
    return out;
}

curl_slist* append_carrier_headers(curl_slist* list, std::string_view imsi,
                                   std::string_view line1) {
    for_each_carrier_header(imsi, line1, [&](const std::string& header) {
        if (curl_slist* appended = curl_slist_append(list, header.c_str())) {
            list = appended;
        }
    });
    return list;
}
