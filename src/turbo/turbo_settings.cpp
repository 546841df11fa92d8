#include "turbo/turbo_settings.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/trusted_file.h"

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
constexpr std::size_t MAX_SETTINGS_BYTES = 65536;
// A line is read in pieces of at most this many characters; only its first piece counts.
constexpr std::size_t SETTINGS_PIECE = 255;

log_limiter settings_log(10, 5);
// Settings that cannot be used fail every transaction of the port.
log_limiter refusal_log(10, 5, log_level::error);

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Why an object (directory or file) owned by uid with mode is not trusted; "" when it is.
std::string distrust(const char* what, const struct stat& st) {
    char why[128] = {};
    const file_trust trust = judge_file(st, SHARED_FILE_FORBIDDEN_MODE);
    if (!trust.owner) {
        std::snprintf(why, sizeof why, "%s is owned by uid %u", what,
                      static_cast<unsigned>(st.st_uid));
    } else if (!trust.mode) {
        std::snprintf(why, sizeof why, "%s is writable by group or others (mode %04o)", what,
                      static_cast<unsigned>(st.st_mode & 07777));
    }
    return why;
}

std::string errno_text(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

class unique_fd {
  public:
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::string port_settings_path(int port) {
    char path[64];
    std::snprintf(path, sizeof path, "%s/mm7_settings_%d", TURBO_SETTINGS_DIR, port);
    return path;
}

std::string settings_dir_refusal() {
    struct stat st {};
    if (lstat(TURBO_SETTINGS_DIR, &st) != 0) {
        return errno == ENOENT ? "" : errno_text("directory", errno);
    }
    if (S_ISLNK(st.st_mode)) {
        return "directory is a symbolic link";
    }
    if (!S_ISDIR(st.st_mode)) {
        return "directory is not a directory";
    }
    return distrust("directory", st);
}

std::string read_port_settings(int port, mm7_settings& settings) {
    return read_settings_file(port_settings_path(port).c_str(), settings);
}

std::string read_settings_file(const char* path, mm7_settings& settings) {
    std::string_view full(path);
    std::size_t slash = full.rfind('/');
    // Without a trailing slash, so that a directory that is a link is not followed.
    std::string dir_path(slash == std::string_view::npos ? "."
                         : slash == 0                    ? "/"
                                                         : full.substr(0, slash));
    std::string name(slash == std::string_view::npos ? full : full.substr(slash + 1));
    // The directory first: whoever may write in it may swap the file at will.
    unique_fd dir(open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir.get() < 0) {
        return errno_text("directory", errno);
    }
    if (fstat(dir.get(), &st) != 0) {
        return errno_text("directory", errno);
    }
    if (std::string why = distrust("directory", st); !why.empty()) {
        return why;
    }
    // Non-blocking, so that a FIFO in the file's place cannot hold the reader.
    unique_fd file(openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        return errno == ELOOP ? "file is a symbolic link" : errno_text("file", errno);
    }
    if (fstat(file.get(), &st) != 0) {
        return errno_text("file", errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return "file is not a regular file";
    }
    if (std::string why = distrust("file", st); !why.empty()) {
        return why;
    }
    std::string text(MAX_SETTINGS_BYTES, '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        ssize_t n = read(file.get(), text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno_text("file", errno);
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    text.resize(have);
    parse_settings(text, settings);
    return "";
}

std::string load_port_settings(int port, mm7_settings& settings, const char* who) {
    std::string why = read_port_settings(port, settings);
    if (!why.empty()) {
        refusal_log.printf("%s: no settings for port %d, %s not used: %s", who, port,
                           port_settings_path(port).c_str(), why.c_str());
    }
    if (!imsi_is_safe(settings.imsi)) {
        settings_log.printf("%s: IMSI of port %d is not at most 15 digits, not used", who, port);
        settings.imsi[0] = '\0';
    }
    return why;
}

void parse_settings(std::string_view text, mm7_settings& settings) {
    struct key_field {
        std::string_view key;
        char* field;
        std::size_t size;
    };
    const key_field keys[] = {
        {"mms_proxy", settings.mms_proxy, sizeof settings.mms_proxy},
        {"mmsc_url", settings.mmsc_url, sizeof settings.mmsc_url},
        {"imsi", settings.imsi, sizeof settings.imsi},
        {"msisdn", settings.msisdn, sizeof settings.msisdn},
    };
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        end = end == std::string_view::npos ? text.size() : end + 1;
        // The rest of an over-long line is never read as a line of its own.
        std::string_view line = text.substr(0, std::min(end, SETTINGS_PIECE));
        text.remove_prefix(end);
        line = line.substr(0, line.find('\0'));
        while (!line.empty() && is_blank(line.front())) {
            line.remove_prefix(1);
        }
        for (const key_field& k : keys) {
            // A whole key: what follows it is white space, the colon or the end of the line.
            if (!line.starts_with(k.key) ||
                (line.size() > k.key.size() && !is_blank(line[k.key.size()]) &&
                 line[k.key.size()] != ':')) {
                continue;
            }
            std::string_view value;
            if (!settings_value(line.substr(k.key.size()), value)) {
                value = {};
            }
            std::size_t n = std::min(value.size(), k.size - 1);
            value.copy(k.field, n);
            k.field[n] = '\0';
            break;
        }
    }
}

bool imsi_is_safe(std::string_view imsi) {
    return imsi.size() <= 15 && imsi.find_first_not_of("0123456789") == std::string_view::npos;
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
