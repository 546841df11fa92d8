#include "wsp/wsp_content.h"

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "core/log.h"
#include "core/mime_text.h"
#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"

const std::array<std::string_view, CONTENT_TYPE_COUNT> content_type_table = {
    "*/*",                                        // 0x00
    "text/*",                                     // 0x01
    "text/html",                                  // 0x02
    "text/plain",                                 // 0x03
    "text/x-hdml",                                // 0x04
    "text/x-ttml",                                // 0x05
    "text/x-vCalendar",                           // 0x06
    "text/x-vCard",                               // 0x07
    "text/vnd.wap.wml",                           // 0x08
    "text/vnd.wap.wmlscript",                     // 0x09
    "text/vnd.wap.wta-event",                     // 0x0A
    "multipart/*",                                // 0x0B
    "multipart/mixed",                            // 0x0C
    "multipart/form-data",                        // 0x0D
    "multipart/byterantes",                       // 0x0E (sic: the assignment table's spelling)
    "multipart/alternative",                      // 0x0F
    "application/*",                              // 0x10
    "application/java-vm",                        // 0x11
    "application/x-www-form-urlencoded",          // 0x12
    "application/x-hdmlc",                        // 0x13
    "application/vnd.wap.wmlc",                   // 0x14
    "application/vnd.wap.wmlscriptc",             // 0x15
    "application/vnd.wap.wta-eventc",             // 0x16
    "application/vnd.wap.uaprof",                 // 0x17
    "application/vnd.wap.wtls-ca-certificate",    // 0x18
    "application/vnd.wap.wtls-user-certificate",  // 0x19
    "application/x-x509-ca-cert",                 // 0x1A
    "application/x-x509-user-cert",               // 0x1B
    "image/*",                                    // 0x1C
    "image/gif",                                  // 0x1D
    "image/jpeg",                                 // 0x1E
    "image/tiff",                                 // 0x1F
    "image/png",                                  // 0x20
    "image/vnd.wap.wbmp",                         // 0x21
    "application/vnd.wap.multipart.*",            // 0x22
    "application/vnd.wap.multipart.mixed",        // 0x23
    "application/vnd.wap.multipart.form-data",    // 0x24
    "application/vnd.wap.multipart.byteranges",   // 0x25
    "application/vnd.wap.multipart.alternative",  // 0x26
    "application/xml",                            // 0x27
    "text/xml",                                   // 0x28
    "application/vnd.wap.wbxml",                  // 0x29
    "application/x-x968-cross-cert",              // 0x2A
    "application/x-x968-ca-cert",                 // 0x2B
    "application/x-x968-user-cert",               // 0x2C
    "text/vnd.wap.si",                            // 0x2D
    "application/vnd.wap.sic",                    // 0x2E
    "text/vnd.wap.sl",                            // 0x2F
    "application/vnd.wap.slc",                    // 0x30
    "text/vnd.wap.co",                            // 0x31
    "application/vnd.wap.coc",                    // 0x32
    "application/vnd.wap.multipart.related",      // 0x33
    "application/vnd.wap.sia",                    // 0x34
    "text/vnd.wap.connectivity-xml",              // 0x35
    "application/vnd.wap.connectivity-wbxml",     // 0x36
    "application/pkcs7-mime",                     // 0x37
    "application/vnd.wap.hashed-certificate",     // 0x38
    "application/vnd.wap.signed-certificate",     // 0x39
    "application/vnd.wap.cert-response",          // 0x3A
    "application/xhtml+xml",                      // 0x3B
    "application/wml+xml",                        // 0x3C
    "text/css",                                   // 0x3D
    "application/vnd.wap.mms-message",            // 0x3E
    "application/vnd.wap.rollover-certificate",   // 0x3F
    "application/vnd.wap.locc+wbxml",             // 0x40
    "application/vnd.wap.loc+xml",                // 0x41
    "application/vnd.syncml.dm+wbxml",            // 0x42
    "application/vnd.syncml.dm+xml",              // 0x43
    "application/vnd.syncml.notification",        // 0x44
    "application/vnd.wap.xhtml+xml",              // 0x45
    "application/vnd.wv.csp.cir",                 // 0x46
    "application/vnd.oma.dd+xml",                 // 0x47
    "application/vnd.oma.drm.message",            // 0x48
    "application/vnd.oma.drm.content",            // 0x49
    "application/vnd.oma.drm.rights+xml",         // 0x4A
    "application/vnd.oma.drm.rights+wbxml",       // 0x4B
};

const std::array<std::string_view, PARAMETER_COUNT> parameter_table = [] {
    std::array<std::string_view, PARAMETER_COUNT> t{};
    t[0x01] = "charset";
    t[0x05] = "name";
    t[0x06] = "filename";
    t[0x0A] = "start";
    t[0x0B] = "start-info";
    t[0x0C] = "comment";
    t[0x0D] = "domain";
    t[0x0E] = "path";
    t[0x0F] = "secure";
    t[0x17] = "name";
    t[0x18] = "filename";
    t[0x19] = "start";
    t[0x1A] = "start-info";
    t[0x1B] = "comment";
    t[0x1C] = "domain";
    t[0x1D] = "path";
    return t;
}();

const std::array<charset_entry, 49> charset_table = {{
    {3, "us-ascii"},
    {4, "iso-8859-1"},
    {5, "iso-8859-2"},
    {6, "iso-8859-3"},
    {7, "iso-8859-4"},
    {8, "iso-8859-5"},
    {9, "iso-8859-6"},
    {10, "iso-8859-7"},
    {11, "iso-8859-8"},
    {12, "iso-8859-9"},
    {13, "iso-8859-10"},
    {17, "shift_JIS"},
    {18, "euc-jp"},
    {37, "iso-2022-kr"},
    {38, "euc-kr"},
    {39, "iso-2022-jp"},
    {40, "iso-2022-jp-2"},
    {106, "utf-8"},
    {109, "iso-8859-13"},
    {110, "iso-8859-14"},
    {111, "iso-8859-15"},
    {112, "iso-8859-16"},
    {113, "gbk"},
    {114, "gb18030"},
    {1000, "iso-10646-ucs-2"},
    {1000, "ucs-2"},
    {1001, "iso-10646-ucs-4"},
    {1012, "utf-7"},
    {1013, "utf-16be"},
    {1014, "utf-16le"},
    {1015, "utf-16"},
    {1017, "utf-32"},
    {1018, "utf-32be"},
    {1019, "utf-32le"},
    {2025, "gb2312"},
    {2026, "big5"},
    {2084, "koi8-r"},
    {2088, "koi8-u"},
    {2101, "big5-hkscs"},
    {2250, "windows-1250"},
    {2251, "windows-1251"},
    {2252, "windows-1252"},
    {2253, "windows-1253"},
    {2254, "windows-1254"},
    {2255, "windows-1255"},
    {2256, "windows-1256"},
    {2257, "windows-1257"},
    {2258, "windows-1258"},
    {2259, "tis-620"},
}};

const std::array<std::string_view, DISPOSITION_COUNT> disposition_table = {"form-data",
                                                                           "attachment", "inline"};

namespace {

// Parameters of one content-type or disposition, and how many of them are logged.
constexpr std::size_t MAX_PARAMETERS = 64;
constexpr std::size_t LOGGED_PARAMETERS = 8;

// Decoded bytes as a stored text: up to the first NUL.
std::string_view text_of(std::string_view text) {
    return text.substr(0, text.find('\0'));
}
std::string text_of(const buffer& bytes) {
    return std::string(text_of(as_text(bytes)));
}

// One compiled POSIX extended expression, compiled once and kept for the process.
class posix_regex {
  public:
    explicit posix_regex(const char* pattern)
        : ok_(regcomp(&compiled_, pattern, REG_EXTENDED) == 0) {}
    ~posix_regex() {
        if (ok_) {
            regfree(&compiled_);
        }
    }
    posix_regex(const posix_regex&) = delete;
    posix_regex& operator=(const posix_regex&) = delete;

    bool ok() const { return ok_; }
    // The whole first match at or after from in the NUL-terminated text: {start, end}, or
    // {npos, npos} when there is none.
    std::pair<std::size_t, std::size_t> search(const std::string& text, std::size_t from) const {
        regmatch_t match[1];
        if (!ok_ || from > text.size() ||
            regexec(&compiled_, text.c_str() + from, 1, match, from > 0 ? REG_NOTBOL : 0) != 0 ||
            match[0].rm_so < 0) {
            return {std::string::npos, std::string::npos};
        }
        return {from + static_cast<std::size_t>(match[0].rm_so),
                from + static_cast<std::size_t>(match[0].rm_eo)};
    }
    opt_text first_match(const opt_text& text) const {
        if (!text) {
            return std::nullopt;
        }
        auto [start, end] = search(*text, 0);
        if (start == std::string::npos) {
            return std::nullopt;
        }
        return text->substr(start, end - start);
    }

  private:
    regex_t compiled_{};
    bool ok_;
};

const posix_regex& media_regex() {
    static const posix_regex re(REGEX_MEDIA);
    return re;
}

const char* or_null(const opt_text& t) {
    return t ? t->c_str() : "(null)";
}

void append(buffer& out, const buffer& piece) {
    out.insert(out.end(), piece.begin(), piece.end());
}

// Text-string with its terminator; the empty text is the lone terminator (as in compose_value).
void append_text(buffer& out, std::string_view text) {
    append(out, compose_value(wsp_value_kind::plain, -1, -1, text, -1, std::nullopt));
}

// An Integer-value: a Short-integer below 128, else a Long-integer.
buffer integer_value(std::uint32_t n) {
    return n < 128 ? encode_short_integer(n) : encode_long_integer(n);
}

template <std::size_t N>
int table_index(const std::array<std::string_view, N>& table, std::size_t first,
                std::string_view text) {
    for (std::size_t i = first; i < N; ++i) {
        if (!table[i].empty() && table[i] == text) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Charset names are case-insensitive (MIME): charset="UTF-8" still becomes the well-known utf-8
// number.
int charset_index(std::string_view token) {
    for (const charset_entry& c : charset_table) {
        if (equal_ignoring_case(c.name, token)) {
            return static_cast<int>(c.mibenum);
        }
    }
    return -1;
}

// The MIME name of a MIBenum; empty when it is not in the table.
std::string_view charset_name(std::uint32_t mibenum) {
    for (const charset_entry& c : charset_table) {
        if (c.mibenum == mibenum) {
            return c.name;
        }
    }
    return {};
}

// One parameter appended in its WSP form; `log` says whether to log it.
void append_parameter(buffer& out, const mime_parameter& parameter, const char* who, bool log) {
    const std::string shown_name = log_escape(parameter.name);
    const std::string shown_value = log_escape(parameter.raw);
    if (log) {
        log_printf("%s: %s=%s", who, shown_name.c_str(), shown_value.c_str());
    }
    // A value is a WSP text, which ends at its first zero byte.
    const std::string_view value = text_of(parameter.value);
    const int p = table_index(parameter_table, 1, parameter.name);
    if (p < 0) {
        // An unknown parameter goes out as an Untyped-parameter: its name as Token-text, then
        // its value.  The value alone would be read back as a parameter name, shifting every
        // item after it.
        if (log) {
            log_printf("%s: unknown parameter %s %s", who, shown_name.c_str(), shown_value.c_str());
        }
        append_text(out, parameter.name);
        append_text(out, value);
        return;
    }
    if (p != WSP_PARAM_CHARSET) {
        // A known parameter always carries a value; an empty one is the empty text.
        append(out, encode_short_integer(static_cast<std::uint32_t>(p)));
        append_text(out, value);
        return;
    }
    if (value.empty()) {
        // A charset needs a number or a name; with neither the parameter is left out.
        return;
    }
    const int k = charset_index(value);
    append(out, encode_short_integer(WSP_PARAM_CHARSET));
    if (k >= 0) {
        append(out, integer_value(static_cast<std::uint32_t>(k)));
    } else {
        append_text(out, value);
    }
}

template <std::size_t N>
buffer compose_mime_value(std::string_view text, const std::array<std::string_view, N>& table,
                          const char* who) {
    const std::string text_z(text.substr(0, text.find('\0')));
    buffer body;
    const opt_text media = media_regex().first_match(text_z);
    const std::string_view media_view = media ? std::string_view(*media) : std::string_view();
    const int index = table_index(table, 0, media_view);
    if (index >= 0) {
        append(body, encode_short_integer(static_cast<std::uint32_t>(index)));
    } else {
        append_text(body, media_view);
    }
    std::size_t count = 0;
    for (const mime_parameter& parameter : mime_parameters(text_z)) {
        if (++count > MAX_PARAMETERS) {
            log_printf("%s: more than %zu parameters, the rest is left out", who, MAX_PARAMETERS);
            break;
        }
        append_parameter(body, parameter, who, count <= LOGGED_PARAMETERS);
    }
    buffer out = encode_value_length(static_cast<std::uint32_t>(body.size()));
    append(out, body);
    return out;
}

// An Integer-value parameter value (a Short-integer, or a Long-integer of up to four octets).
std::optional<std::uint32_t> integer_of(const buffer& value, const opt_text& type) {
    if (is_type(type, WSP_TYPE_IMMEDIATE)) {
        return value.front();
    }
    if (!is_type(type, WSP_TYPE_BINARY) || value.empty() || value.size() > 4) {
        return std::nullopt;
    }
    std::uint32_t n = 0;
    for (std::uint8_t octet : value) {
        n = n * 256 + octet;
    }
    return n;
}

// A Quoted-string's text without the double quotes the decoder leaves around it.
std::string unquoted(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

// A parameter carried on to MIME: the first one of a name is kept, an empty value is none.
void keep_parameter(mms_content_type& ct, std::string_view name, std::string_view value) {
    if (value.empty()) {
        return;
    }
    for (const mms_param& p : ct.params) {
        if (equal_ignoring_case(p.name, name)) {
            return;
        }
    }
    ct.params.push_back({std::string(name), std::string(value)});
}

// An Untyped-parameter (a Token-text name and an Integer-value or Text-value), kept when its name
// is a MIME token without the marks of an extended name (RFC 2231).  Type and Start are the
// codec's own, and a boundary belongs to the multipart the part travels in.
void keep_untyped_parameter(mms_content_type& ct, const std::string& name, const buffer& value,
                            const opt_text& type) {
    constexpr std::string_view SPECIALS = "()<>@,;:\\\"/[]?=*'%";
    const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && SPECIALS.find(c) == std::string_view::npos;
    });
    if (!token || equal_ignoring_case(name, "type") || equal_ignoring_case(name, "start") ||
        equal_ignoring_case(name, "boundary")) {
        return;
    }
    if (const auto number = integer_of(value, type)) {
        keep_parameter(ct, name, std::to_string(*number));
    } else if (is_type(type, WSP_TYPE_STRING)) {
        keep_parameter(ct, name, unquoted(text_of(value)));
    }
}

}  // namespace

buffer compose_content_type(std::string_view text) {
    return compose_mime_value(text, content_type_table, "compose_content_type");
}

buffer compose_content_disposition(std::string_view text) {
    return compose_mime_value(text, disposition_table, "compose_content_disposition");
}

bool split_header_line(opt_view text, opt_view separator, opt_text& name, opt_text& value) {
    name.reset();
    value.reset();
    if (!text) {
        return false;
    }
    const std::string_view sep = separator ? *separator : std::string_view(":");
    const std::size_t at = text->find(sep);
    if (at == std::string_view::npos || sep.empty()) {
        return false;
    }
    opt_text n = strstrip(text->substr(0, at));
    opt_text v = strstrip(text->substr(at + sep.size()));
    if (!n || !v) {
        return false;
    }
    strtolower(*n);
    name = std::move(n);
    value = std::move(v);
    return true;
}

bool compose_part_headers(FILE* stream, const mms_part& part) {
    // A part is named by its Content-ID or, without one, by its Content-Location.
    if (!part.content_type || (!part.content_id && !part.content_location)) {
        return false;
    }
    buffer block = compose_content_type(*part.content_type);
    if (part.content_id) {
        append(block, compose_header(wsp_value_kind::plain, -1, -1, *part.content_id, -1,
                                     std::nullopt, WSP_HEADER_CONTENT_ID));
    }
    if (part.content_location) {
        append(block, compose_header(wsp_value_kind::plain, -1, -1, *part.content_location, -1,
                                     std::nullopt, WSP_HEADER_CONTENT_LOCATION));
    }
    if (part.content_disposition) {
        append(block, encode_short_integer(WSP_HEADER_CONTENT_DISPOSITION));
        append(block, compose_content_disposition(*part.content_disposition));
    }
    buffer head = encode_uintvar(static_cast<std::uint32_t>(block.size()));
    append(head, encode_uintvar(part.data_length));
    append(head, block);
    std::fwrite(head.data(), 1, head.size(), stream);
    return true;
}

void parse_content_type_f(byte_view value, const opt_text& type, mms_content_type& ct) {
    log_printf("parse_content_type_f start");
    if (is_type(type, WSP_TYPE_STRING)) {
        ct.content_type = std::string(as_text(value));
        return;
    }
    if (!is_type(type, WSP_TYPE_BINARY)) {
        return;
    }
    std::uint32_t offset = 0;
    opt_text item_type;
    buffer item = decode_value(value, offset, item_type);
    if (is_type(item_type, WSP_TYPE_IMMEDIATE)) {
        const std::uint8_t n = item.front();
        if (n >= CONTENT_TYPE_COUNT || content_type_table[n].empty()) {
            log_printf("parse_content_type: bad encoded content type %s",
                       log_escape(std::string(1, static_cast<char>(n))).c_str());
            return;
        }
        ct.content_type = std::string(content_type_table[n]);
        log_printf("parse_content_type_f content_type->content_type=%s", ct.content_type->c_str());
    } else if (is_type(item_type, WSP_TYPE_STRING)) {
        ct.content_type = std::string(as_text(item));
    } else {
        log_printf("parse_content_type: bad content type type %s", or_null(type));
        return;
    }
    while (offset < value.size()) {
        opt_text name_type;
        opt_text param_type;
        const buffer name = decode_value(value, offset, name_type);
        const buffer param = decode_value(value, offset, param_type);
        log_printf("Buffer str=%d, offset=%d", name.empty() ? 0 : name.front(),
                   static_cast<int>(name.size()));
        if (!is_type(name_type, WSP_TYPE_IMMEDIATE)) {
            if (is_type(name_type, WSP_TYPE_STRING)) {
                keep_untyped_parameter(ct, text_of(name), param, param_type);
            }
            continue;
        }
        log_printf("parse_content_type_f_1");
        switch (name.front()) {
            case WSP_PARAM_TYPE:
                log_printf("parse_content_type_f_2");
                ct.type =
                    is_type(param_type, WSP_TYPE_IMMEDIATE) && param.front() < CONTENT_TYPE_COUNT
                        ? std::string(content_type_table[param.front()])
                        : text_of(param);
                break;
            case WSP_PARAM_START:
            case WSP_PARAM_START_TEXT:
                log_printf("parse_content_type_f_3");
                ct.start = text_of(param);
                break;
            case WSP_PARAM_CHARSET:
                if (const auto number = integer_of(param, param_type)) {
                    keep_parameter(ct, "charset", charset_name(*number));
                } else if (is_type(param_type, WSP_TYPE_STRING)) {
                    keep_parameter(ct, "charset", unquoted(text_of(param)));
                }
                break;
            case WSP_PARAM_NAME:
            case WSP_PARAM_NAME_TEXT:
                if (is_type(param_type, WSP_TYPE_STRING)) {
                    keep_parameter(ct, "name", unquoted(text_of(param)));
                }
                break;
            default:
                break;
        }
    }
    log_printf("parse_content_type_f end");
}
