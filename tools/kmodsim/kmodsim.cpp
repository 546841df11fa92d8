// kmodsim: stands in for the gateway's kernel module on the loopback interface, for the demo
// and the end-to-end tests.  It answers send requests the way the module does (an optional
// timeout indication, then one confirmation with a send confirmation PDU), injects received
// MMS on command, and logs every frame it sees.  See README.md for the command line and the
// control commands.
//
// It is deliberately independent of the daemon's own code: frames are encoded and decoded here
// from the wire layouts, so the simulator also checks the daemon's builders and parser.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
using clock_type = std::chrono::steady_clock;

constexpr std::uint32_t KIND_CONNECT_REQ = 9;
constexpr std::uint32_t KIND_SENDMMS_REQ = 67;
constexpr std::uint32_t KIND_SENDMMS_RESULT_IND = 68;
constexpr std::uint32_t KIND_MMSRCV_IND = 70;
constexpr std::uint32_t KIND_SENDMMS_TIMEOUT_IND = 73;
constexpr std::uint32_t KIND_SENDMMS_CNF = 0x8043;

constexpr std::size_t MAX_DATAGRAM = 65536;

const char* const USAGE =
    "Usage: kmodsim [options]\n"
    "Simulates the gateway's kernel module on UDP 127.0.0.1.  Commands are read from stdin,\n"
    "one per line (see README.md); events are printed on stdout, one per line.\n"
    "\n"
    "  --port N          UDP port to bind (default 57445)\n"
    "  --daemon-port N   where unsolicited messages go until the daemon has sent something\n"
    "                    (default 57444)\n"
    "  --log FILE        write the frame log (every datagram with its fields and a hex dump)\n"
    "                    to FILE instead of stderr\n"
    "  --keep DIR        copy each PDU file named in a send request into DIR before confirming\n"
    "  --set KEY=VALUE   initial value of a setting (repeatable); same keys as 'set'\n"
    "  --stay            keep running at the end of stdin (until SIGTERM or SIGINT)\n"
    "  --help            this text\n";

const char* const COMMANDS =
    "commands:\n"
    "  set KEY VALUE          change a setting (see 'show')\n"
    "  show                   print every setting\n"
    "  answer CALLID [FILE]   answer as if a send request with CALLID (and FILE) had come\n"
    "  ind CALLID [TIMEOUT]   send one MMS_SENDMMS_TIMEOUT_IND now\n"
    "  cnf CALLID [FILE]      send one MMS_SENDMMS_CNF now\n"
    "  rcv FLAGS ARG [imsi=X] [port=N] [to=X] [from=X]\n"
    "                         send MMS_MMSRCV_IND: flags 1 = ARG is a PDU file whose bytes are\n"
    "                         sent, 2 = ARG is a URL, 4 = ARG is a file path, sent as it is\n"
    "  pdu retrieve OUT PART...  write an m-retrieve-conf (multipart.related) with these files\n"
    "                         as parts; content types by file extension, a .smil part is the "
    "start\n"
    "  pdu delivery OUT MSGID [STATUS]  write an m-delivery-ind (status octet, default 0x81)\n"
    "  pdu read OUT MSGID     write an m-read-orig-ind (read status Read)\n"
    "  raw HEX...             send the bytes given in hex (blanks allowed) as one datagram\n"
    "  empty                  send an empty datagram\n"
    "  echo TEXT              print 'echo TEXT' (a marker for scripts)\n"
    "  help                   this list\n"
    "  quit                   exit\n";

// ---- settings ----

struct settings {
    long delay_ms = 0;      // from the request to the first answer
    long cnf_delay_ms = 0;  // from the timeout indication to the confirmation
    bool timeout_ind = false;
    std::uint32_t timeout = 30;
    bool combine = false;  // timeout indication and confirmation in one datagram
    std::uint32_t status = 1;
    std::uint32_t cause = 0;
    std::string imsi = "001010123456789";
    std::uint32_t port = 0;
    std::string confirm = "sendconf";  // sendconf | file | empty | none
    std::string confirm_file;
    int response_status = 128;
    std::optional<std::string> response_text;
    std::optional<std::string> message_id;  // fixed Message-ID; fresh ones when absent
    std::uint32_t callid_add = 0;           // added to the call id of every answer
    std::string recipient;                  // of MMS_MMSRCV_IND
    std::string sender;                     // of MMS_MMSRCV_IND
    std::optional<std::string> keep;        // folder for copies of the PDU files
};

std::optional<long> to_number(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return v;
}

std::optional<bool> to_switch(std::string_view text) {
    if (text == "on" || text == "1" || text == "yes" || text == "true") {
        return true;
    }
    if (text == "off" || text == "0" || text == "no" || text == "false") {
        return false;
    }
    return std::nullopt;
}

// "-" stands for an absent text.
std::optional<std::string> to_optional(std::string_view text) {
    if (text == "-") {
        return std::nullopt;
    }
    return std::string(text);
}

std::string show_optional(const std::optional<std::string>& t) {
    return t ? *t : "-";
}

// Applies one setting; an error text when the key or the value is not acceptable.
std::optional<std::string> apply_setting(settings& s, std::string_view key,
                                         std::string_view value) {
    auto number = [&](auto& field, long low, long high) -> std::optional<std::string> {
        auto v = to_number(value);
        if (!v || *v < low || *v > high) {
            return "bad number for " + std::string(key) + ": " + std::string(value);
        }
        field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
        return std::nullopt;
    };
    auto flag = [&](bool& field) -> std::optional<std::string> {
        auto v = to_switch(value);
        if (!v) {
            return "expected on or off for " + std::string(key);
        }
        field = *v;
        return std::nullopt;
    };
    if (key == "delay")
        return number(s.delay_ms, 0, 3600000);
    if (key == "cnf_delay")
        return number(s.cnf_delay_ms, 0, 3600000);
    if (key == "timeout_ind")
        return flag(s.timeout_ind);
    if (key == "timeout")
        return number(s.timeout, 0, 0xFFFFFFFFL);
    if (key == "combine")
        return flag(s.combine);
    if (key == "status")
        return number(s.status, 0, 0xFFFFFFFFL);
    if (key == "cause")
        return number(s.cause, 0, 0xFFFFFFFFL);
    if (key == "port")
        return number(s.port, 0, 0xFFFFFFFFL);
    if (key == "response_status")
        return number(s.response_status, 0, 255);
    if (key == "callid_add")
        return number(s.callid_add, 0, 0xFFFFFFFFL);
    if (key == "imsi") {
        s.imsi = std::string(value == "-" ? "" : value);
        return std::nullopt;
    }
    if (key == "confirm") {
        if (value != "sendconf" && value != "file" && value != "empty" && value != "none") {
            return "confirm is one of sendconf, file, empty, none";
        }
        s.confirm = std::string(value);
        return std::nullopt;
    }
    if (key == "confirm_file") {
        s.confirm_file = std::string(value);
        return std::nullopt;
    }
    if (key == "response_text") {
        s.response_text = to_optional(value);
        return std::nullopt;
    }
    if (key == "message_id") {
        s.message_id = to_optional(value);
        return std::nullopt;
    }
    if (key == "recipient") {
        s.recipient = std::string(value == "-" ? "" : value);
        return std::nullopt;
    }
    if (key == "sender") {
        s.sender = std::string(value == "-" ? "" : value);
        return std::nullopt;
    }
    if (key == "keep") {
        s.keep = to_optional(value);
        if (s.keep) {
            std::error_code ec;
            std::filesystem::create_directories(*s.keep, ec);
            if (ec) {
                s.keep.reset();
                return "cannot create " + std::string(value) + ": " + ec.message();
            }
        }
        return std::nullopt;
    }
    return "unknown setting " + std::string(key);
}

std::vector<std::string> show_settings(const settings& s) {
    auto onoff = [](bool b) { return std::string(b ? "on" : "off"); };
    return {
        "delay=" + std::to_string(s.delay_ms),
        "cnf_delay=" + std::to_string(s.cnf_delay_ms),
        "timeout_ind=" + onoff(s.timeout_ind),
        "timeout=" + std::to_string(s.timeout),
        "combine=" + onoff(s.combine),
        "status=" + std::to_string(s.status),
        "cause=" + std::to_string(s.cause),
        "imsi=" + s.imsi,
        "port=" + std::to_string(s.port),
        "confirm=" + s.confirm,
        "confirm_file=" + (s.confirm_file.empty() ? std::string("-") : s.confirm_file),
        "response_status=" + std::to_string(s.response_status),
        "response_text=" + show_optional(s.response_text),
        "message_id=" + show_optional(s.message_id),
        "callid_add=" + std::to_string(s.callid_add),
        "recipient=" + (s.recipient.empty() ? std::string("-") : s.recipient),
        "sender=" + (s.sender.empty() ? std::string("-") : s.sender),
        "keep=" + show_optional(s.keep),
    };
}

// ---- output ----

FILE* frame_log = stderr;

std::string time_stamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char out[32];
    std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, ts.tv_nsec / 1000000);
    return out;
}

// An event line: on stdout for whoever drives the simulator, and in the frame log.
void event(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(frame_log, "[%s]   %s\n", time_stamp().c_str(), line.c_str());
    std::fflush(frame_log);
}

std::string hex_dump(const bytes& data) {
    std::string out;
    char piece[24];
    for (std::size_t line = 0; line < data.size(); line += 16) {
        std::snprintf(piece, sizeof piece, "%04zx ", line);
        out += "    ";
        out += piece;
        const std::size_t end = std::min(data.size(), line + 16);
        for (std::size_t i = line; i < line + 16; ++i) {
            if (i < end) {
                std::snprintf(piece, sizeof piece, " %02X", data[i]);
                out += piece;
            } else {
                out += "   ";
            }
        }
        out += "  ";
        for (std::size_t i = line; i < end; ++i) {
            out += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
        }
        out += '\n';
    }
    return out;
}

void log_datagram(const char* direction, const sockaddr_in& peer, const bytes& data) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    std::fprintf(frame_log, "[%s] %s %zu bytes %s %s:%u\n%s", time_stamp().c_str(), direction,
                 data.size(), direction[0] == '<' ? "from" : "to", address, ntohs(peer.sin_port),
                 hex_dump(data).c_str());
    std::fflush(frame_log);
}

// ---- encoding ----

void put_be32(bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

void put_field(bytes& out, std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
}

void put_text(bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

std::uint32_t get_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint32_t get_le32(const std::uint8_t* p) {
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
           std::uint32_t{p[0]};
}

bytes frame(std::uint32_t kind, const bytes& payload) {
    bytes out;
    put_be32(out, kind);
    put_be32(out, 0);
    put_be32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes timeout_ind_frame(std::uint32_t call_id, const settings& s, std::uint32_t timeout) {
    bytes p;
    put_be32(p, call_id);
    put_field(p, s.imsi, 16);
    put_be32(p, 0);
    put_be32(p, 0);
    put_be32(p, timeout);
    return frame(KIND_SENDMMS_TIMEOUT_IND, p);
}

bytes send_cnf_frame(std::uint32_t call_id, const settings& s, const bytes& pdu) {
    bytes p;
    put_be32(p, call_id);
    put_be32(p, 0);
    put_be32(p, s.status);
    put_be32(p, 0);
    put_be32(p, s.cause);
    put_field(p, s.imsi, 16);
    put_be32(p, s.port);
    put_be32(p, static_cast<std::uint32_t>(pdu.size()));
    p.insert(p.end(), pdu.begin(), pdu.end());
    return frame(KIND_SENDMMS_CNF, p);
}

bytes mmsrcv_ind_frame(std::string_view imsi, std::uint32_t port, std::uint32_t flags,
                       std::string_view to, std::string_view from, const bytes& data) {
    // Recipient and sender carry their terminating zero; an absent one has length 0.
    const std::uint32_t r = to.empty() ? 0 : static_cast<std::uint32_t>(to.size() + 1);
    const std::uint32_t s = from.empty() ? 0 : static_cast<std::uint32_t>(from.size() + 1);
    bytes p;
    put_field(p, imsi, 16);
    put_be32(p, port);
    put_be32(p, flags);
    put_be32(p, r);
    put_be32(p, s);
    put_be32(p, static_cast<std::uint32_t>(data.size()));
    put_field(p, to, r);
    put_field(p, from, s);
    p.insert(p.end(), data.begin(), data.end());
    return frame(KIND_MMSRCV_IND, p);
}

// A text-string of the MMS encapsulation: a text starting with a byte of 128 or more is quoted.
void put_mms_text(bytes& out, std::string_view text) {
    if (!text.empty() && static_cast<std::uint8_t>(text[0]) >= 0x80) {
        out.push_back(0x7F);
    }
    put_text(out, text);
    out.push_back(0);
}

// m-send-conf: message type, transaction id, version 1.2, response status, optional response
// text, message id.
bytes send_conf_pdu(std::string_view transaction_id, int response_status,
                    const std::optional<std::string>& response_text, std::string_view message_id) {
    bytes out = {0x8C, 0x81, 0x98};
    put_mms_text(out, transaction_id);
    out.insert(out.end(), {0x8D, 0x92, 0x92, static_cast<std::uint8_t>(response_status)});
    if (response_text) {
        out.push_back(0x93);
        put_mms_text(out, *response_text);
    }
    out.push_back(0x8B);
    put_mms_text(out, message_id);
    return out;
}

std::optional<bytes> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The transaction id of an m-send-req file (message type, then X-Mms-Transaction-ID come
// first); a made-up one when the file cannot be read or does not start that way.
std::string transaction_id_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[3] = {};
    if (in.read(head, 3) && static_cast<std::uint8_t>(head[0]) == 0x8C &&
        static_cast<std::uint8_t>(head[2]) == 0x98) {
        std::string id;
        char c;
        while (in.get(c) && c != '\0' && id.size() < 256) {
            id.push_back(c);
        }
        if (!id.empty() && static_cast<std::uint8_t>(id[0]) == 0x7F) {
            id.erase(0, 1);
        }
        return id;
    }
    return "kmodsim-transaction";
}

// ---- received PDUs for `pdu` ----

void put_uintvar(bytes& out, std::uint32_t value) {
    bytes groups = {static_cast<std::uint8_t>(value & 0x7F)};
    for (value >>= 7; value != 0; value >>= 7) {
        groups.insert(groups.begin(), static_cast<std::uint8_t>(0x80 | (value & 0x7F)));
    }
    out.insert(out.end(), groups.begin(), groups.end());
}

// Date (a Long-integer of four octets) and an address value of From (Address-present-token).
void put_date(bytes& out) {
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    out.insert(out.end(), {0x85, 0x04, static_cast<std::uint8_t>(now >> 24),
                           static_cast<std::uint8_t>(now >> 16),
                           static_cast<std::uint8_t>(now >> 8), static_cast<std::uint8_t>(now)});
}
void put_from(bytes& out, std::string_view address) {
    const std::string text = address.empty() ? "+10000000000/TYPE=PLMN" : std::string(address);
    out.insert(out.end(), {0x89, static_cast<std::uint8_t>(text.size() + 2), 0x80});
    put_mms_text(out, text);
}
void put_to(bytes& out, std::string_view address) {
    out.push_back(0x97);
    put_mms_text(out, address.empty() ? "+20000000000/TYPE=PLMN" : std::string(address));
}

std::string media_type_of(const std::string& path) {
    static const std::map<std::string, std::string> types = {
        {".smil", "application/smil"}, {".txt", "text/plain"},  {".png", "image/png"},
        {".jpg", "image/jpeg"},        {".jpeg", "image/jpeg"}, {".gif", "image/gif"}};
    const auto it = types.find(std::filesystem::path(path).extension().string());
    return it == types.end() ? "application/octet-stream" : it->second;
}

// m-retrieve-conf, multipart.related (start "<smil>" when a SMIL part is there), one entry per
// file with its media type as text and the file name as Content-ID.
std::optional<bytes> retrieve_conf_pdu(const std::vector<std::string>& files, const settings& s,
                                       unsigned number) {
    bytes out = {0x8C, 0x84, 0x98};
    put_mms_text(out, "kmodsim-rcv-" + std::to_string(number));
    out.insert(out.end(), {0x8D, 0x92});
    put_from(out, s.sender);
    put_to(out, s.recipient);
    out.push_back(0x96);
    put_mms_text(out, "kmodsim message " + std::to_string(number));
    put_date(out);
    bytes type = {0xB3};
    const bool smil = std::any_of(files.begin(), files.end(), [](const std::string& f) {
        return media_type_of(f) == "application/smil";
    });
    if (smil) {
        type.push_back(0x8A);
        put_mms_text(type, "<smil>");
        type.push_back(0x89);
        put_mms_text(type, "application/smil");
    }
    out.push_back(0x84);
    out.push_back(static_cast<std::uint8_t>(type.size()));  // fits a Short-length
    out.insert(out.end(), type.begin(), type.end());
    put_uintvar(out, static_cast<std::uint32_t>(files.size()));
    for (const std::string& file : files) {
        auto data = read_file(file);
        if (!data) {
            return std::nullopt;
        }
        const std::string media = media_type_of(file);
        bytes headers;
        put_mms_text(headers, media);
        headers.push_back(0xC0);  // Content-ID
        put_mms_text(headers, media == "application/smil"
                                  ? std::string("<smil>")
                                  : "<" + std::filesystem::path(file).filename().string() + ">");
        put_uintvar(out, static_cast<std::uint32_t>(headers.size()));
        put_uintvar(out, static_cast<std::uint32_t>(data->size()));
        out.insert(out.end(), headers.begin(), headers.end());
        out.insert(out.end(), data->begin(), data->end());
    }
    return out;
}

// m-delivery-ind (status octet) or m-read-orig-ind (read status Read) for a message id.
bytes report_pdu(bool delivery, std::string_view message_id, std::uint8_t status,
                 const settings& s) {
    bytes out = {0x8C, static_cast<std::uint8_t>(delivery ? 0x86 : 0x88), 0x8D, 0x92, 0x8B};
    put_mms_text(out, message_id);
    put_to(out, s.recipient);
    if (!delivery) {
        put_from(out, s.sender);
    }
    put_date(out);
    out.insert(out.end(), {static_cast<std::uint8_t>(delivery ? 0x95 : 0x9B), status});
    return out;
}

std::optional<bytes> parse_hex(std::string_view text) {
    bytes out;
    int nibble = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') {
            continue;
        }
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble << 4 | v));
            nibble = -1;
        }
    }
    if (nibble >= 0) {
        return std::nullopt;
    }
    return out;
}

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream in{std::string(line)};
    std::string w;
    while (in >> w) {
        words.push_back(w);
    }
    return words;
}

std::string field_text(const std::uint8_t* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find('\0'));
}

// ---- the simulator ----

class simulator {
  public:
    simulator(int sock, std::uint16_t daemon_port, settings initial)
        : sock_(sock), settings_(std::move(initial)) {
        daemon_.sin_family = AF_INET;
        daemon_.sin_port = htons(daemon_port);
        daemon_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    // One command line; false when the simulator is to stop.
    bool command(std::string_view line);
    void receive();
    // Runs what is due; the milliseconds until the next timed action (-1 when none).
    int run_due();

  private:
    void send_datagram(const bytes& data);
    void on_frame(const std::uint8_t* f, std::size_t length);
    void on_send_request(const std::uint8_t* f, std::size_t length);
    void answer(std::uint32_t call_id, const std::string& file);
    bytes confirmation(std::uint32_t call_id, const settings& s, const std::string& tid, bool& ok);
    void keep_copy(const std::string& file);
    void later(long ms, std::function<void()> action);
    bool inject_mmsrcv(const std::vector<std::string>& words);
    void write_pdu(const std::vector<std::string>& words);

    int sock_;
    sockaddr_in daemon_{};
    settings settings_;
    unsigned message_counter_ = 0;
    std::multimap<clock_type::time_point, std::function<void()>> timers_;
};

void simulator::send_datagram(const bytes& data) {
    log_datagram("->", daemon_, data);
    if (sendto(sock_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&daemon_),
               sizeof daemon_) < 0) {
        event(std::string("error: sendto: ") + std::strerror(errno));
    }
}

void simulator::later(long ms, std::function<void()> action) {
    timers_.emplace(clock_type::now() + std::chrono::milliseconds(ms), std::move(action));
}

int simulator::run_due() {
    while (!timers_.empty()) {
        auto first = timers_.begin();
        const auto now = clock_type::now();
        if (first->first > now) {
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->first - now);
            return static_cast<int>(std::min<long long>(wait.count(), 60000));
        }
        auto action = std::move(first->second);
        timers_.erase(first);
        action();
    }
    return -1;
}

void simulator::receive() {
    bytes data(MAX_DATAGRAM);
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    ssize_t n = recvfrom(sock_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                         &peer_length);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            event(std::string("error: recvfrom: ") + std::strerror(errno));
        }
        return;
    }
    data.resize(static_cast<std::size_t>(n));
    daemon_ = peer;  // answers go to whoever spoke last, as the module does
    log_datagram("<-", peer, data);
    if (data.empty()) {
        event("received empty datagram");
        return;
    }
    std::size_t offset = 0;
    while (data.size() - offset >= 12) {
        const std::uint64_t length = std::uint64_t{get_be32(&data[offset + 8])} + 12;
        if (length > data.size() - offset) {
            break;
        }
        on_frame(&data[offset], static_cast<std::size_t>(length));
        offset += static_cast<std::size_t>(length);
    }
    if (offset != data.size()) {
        event("received " + std::to_string(data.size() - offset) + " trailing bytes");
    }
}

void simulator::on_frame(const std::uint8_t* f, std::size_t length) {
    const std::uint32_t kind = get_be32(f);
    std::string line;
    switch (kind) {
        case KIND_CONNECT_REQ:
            line = "received XGATE_CONNECT_REQ";
            break;
        case KIND_SENDMMS_REQ:
            on_send_request(f, length);
            return;
        case KIND_SENDMMS_RESULT_IND:
            if (length != 48) {
                line = "received malformed MMS_SENDMMS_RESULT_IND length=" + std::to_string(length);
                break;
            }
            line = "received MMS_SENDMMS_RESULT_IND imsi=" + field_text(f + 12, 16) +
                   " word1=" + std::to_string(get_le32(f + 28)) +
                   " word2=" + std::to_string(get_le32(f + 32)) +
                   " result=" + std::to_string(get_le32(f + 36)) +
                   " cause=" + std::to_string(get_le32(f + 40)) +
                   " port=" + std::to_string(get_le32(f + 44));
            break;
        default:
            line = "received kind=" + std::to_string(kind) + " length=" + std::to_string(length);
            break;
    }
    event(line);
}

void simulator::on_send_request(const std::uint8_t* f, std::size_t length) {
    if (length < 40) {
        const std::string line =
            "received malformed MMS_SENDMMS_REQ length=" + std::to_string(length);
        event(line);
        return;
    }
    const std::uint32_t call_id = get_be32(f + 12);
    const std::uint32_t timeout = get_be32(f + 16);
    const std::uint32_t word = get_be32(f + 20);
    const std::uint64_t lr = get_be32(f + 24), ls = get_be32(f + 28), la = get_be32(f + 32),
                        lf = get_be32(f + 36);
    if (40 + lr + ls + la + lf != length || lr == 0 || ls == 0 || f[40 + lr - 1] != 0 ||
        f[40 + lr + ls - 1] != 0) {
        const std::string line =
            "received malformed MMS_SENDMMS_REQ callid=" + std::to_string(call_id) +
            " length=" + std::to_string(length);
        event(line);
        return;
    }
    const char* p = reinterpret_cast<const char*>(f + 40);
    const std::string recipient(p, lr - 1);
    const std::string sender(p + lr, ls - 1);
    const std::string application(p + lr + ls, la);
    const std::string file(p + lr + ls + la, lf);
    const std::string line = "received MMS_SENDMMS_REQ callid=" + std::to_string(call_id) +
                             " timeout=" + std::to_string(timeout) +
                             " word=" + std::to_string(word) + " recipient=" + recipient +
                             " sender=" + sender + " application=" + application + " file=" + file;
    event(line);
    answer(call_id, file);
}

void simulator::keep_copy(const std::string& file) {
    if (!settings_.keep || file.empty()) {
        return;
    }
    const std::filesystem::path target =
        std::filesystem::path(*settings_.keep) / std::filesystem::path(file).filename();
    std::error_code ec;
    std::filesystem::copy_file(file, target, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        event("error: cannot keep " + file + ": " + ec.message());
    } else {
        event("kept " + file + " as " + target.string());
    }
}

bytes simulator::confirmation(std::uint32_t call_id, const settings& s, const std::string& tid,
                              bool& ok) {
    ok = true;
    bytes pdu;
    std::string what;
    if (s.confirm == "sendconf") {
        std::string id = s.message_id ? *s.message_id
                                      : "kmodsim-" + std::to_string(getpid()) + "-" +
                                            std::to_string(++message_counter_);
        pdu = send_conf_pdu(tid, s.response_status, s.response_text, id);
        what = " response_status=" + std::to_string(s.response_status) + " message-id=" + id;
    } else if (s.confirm == "file") {
        auto content = read_file(s.confirm_file);
        if (!content) {
            event("error: cannot read " + s.confirm_file);
            ok = false;
            return {};
        }
        pdu = std::move(*content);
        what = " file=" + s.confirm_file;
    }
    const std::string line = "sent MMS_SENDMMS_CNF callid=" + std::to_string(call_id) +
                             " status=" + std::to_string(s.status) +
                             " cause=" + std::to_string(s.cause) + " imsi=" + s.imsi +
                             " port=" + std::to_string(s.port) +
                             " pdu=" + std::to_string(pdu.size()) + what;
    event(line);
    return send_cnf_frame(call_id, s, pdu);
}

// The module's answer to a send request, with the settings as they are now.
void simulator::answer(std::uint32_t request_call_id, const std::string& file) {
    keep_copy(file);
    const settings s = settings_;
    const std::uint32_t call_id = request_call_id + s.callid_add;
    const std::string tid = transaction_id_of(file);
    const bool confirm = s.confirm != "none";
    auto send_ind = [this, call_id, s](bytes& out) {
        const std::string line = "sent MMS_SENDMMS_TIMEOUT_IND callid=" + std::to_string(call_id) +
                                 " timeout=" + std::to_string(s.timeout);
        event(line);
        const bytes f = timeout_ind_frame(call_id, s, s.timeout);
        out.insert(out.end(), f.begin(), f.end());
    };
    auto send_cnf = [this, call_id, s, tid](bytes& out) {
        bool ok = false;
        const bytes f = confirmation(call_id, s, tid, ok);
        if (ok) {
            out.insert(out.end(), f.begin(), f.end());
        }
    };
    if (!confirm) {
        event("not confirming callid=" + std::to_string(call_id));
    }
    if (s.timeout_ind && s.combine) {
        later(s.delay_ms, [this, send_ind, send_cnf, confirm] {
            bytes datagram;
            send_ind(datagram);
            if (confirm) {
                send_cnf(datagram);
            }
            send_datagram(datagram);
        });
        return;
    }
    long at = s.delay_ms;
    if (s.timeout_ind) {
        later(at, [this, send_ind] {
            bytes datagram;
            send_ind(datagram);
            send_datagram(datagram);
        });
        at += s.cnf_delay_ms;
    }
    if (confirm) {
        later(at, [this, send_cnf] {
            bytes datagram;
            send_cnf(datagram);
            if (!datagram.empty()) {
                send_datagram(datagram);
            }
        });
    }
}

bool simulator::inject_mmsrcv(const std::vector<std::string>& words) {
    if (words.size() < 3) {
        event("error: usage: rcv FLAGS ARG [imsi=X] [port=N] [to=X] [from=X]");
        return false;
    }
    auto flags = to_number(words[1]);
    if (!flags || *flags < 0 || *flags > 0xFFFFFFFFL) {
        event("error: bad flags " + words[1]);
        return false;
    }
    std::string imsi = settings_.imsi, to = settings_.recipient, from = settings_.sender;
    std::uint32_t port = settings_.port;
    for (std::size_t i = 3; i < words.size(); ++i) {
        const auto eq = words[i].find('=');
        const std::string key = words[i].substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
        if (key == "imsi") {
            imsi = value;
        } else if (key == "to") {
            to = value;
        } else if (key == "from") {
            from = value;
        } else if (key == "port" && to_number(value)) {
            port = static_cast<std::uint32_t>(*to_number(value));
        } else {
            event("error: bad argument " + words[i]);
            return false;
        }
    }
    bytes data;
    if (*flags == 1) {
        auto content = read_file(words[2]);
        if (!content) {
            event("error: cannot read " + words[2]);
            return false;
        }
        data = std::move(*content);
    } else {
        data.assign(words[2].begin(), words[2].end());
    }
    const bytes f =
        mmsrcv_ind_frame(imsi, port, static_cast<std::uint32_t>(*flags), to, from, data);
    const std::string line =
        "sent MMS_MMSRCV_IND flags=" + std::to_string(*flags) + " imsi=" + imsi +
        " port=" + std::to_string(port) + " recipient=" + to + " sender=" + from +
        " data=" + std::to_string(data.size()) + " frame=" + std::to_string(f.size());
    event(line);
    send_datagram(f);
    return true;
}

void simulator::write_pdu(const std::vector<std::string>& words) {
    const bool retrieve = words.size() >= 4 && words[1] == "retrieve";
    const bool report = words.size() >= 4 && (words[1] == "delivery" || words[1] == "read");
    if (!retrieve && !report) {
        event(
            "error: usage: pdu retrieve OUT PART... | pdu delivery OUT MSGID [STATUS] | pdu read "
            "OUT MSGID");
        return;
    }
    std::optional<bytes> pdu;
    if (retrieve) {
        pdu = retrieve_conf_pdu(std::vector<std::string>(words.begin() + 3, words.end()), settings_,
                                ++message_counter_);
    } else {
        const auto status = words.size() > 4 ? to_number(words[4]) : std::optional<long>(0x81);
        if (!status || *status < 0 || *status > 255) {
            event("error: bad status");
            return;
        }
        pdu = report_pdu(words[1] == "delivery", words[3],
                         static_cast<std::uint8_t>(words[1] == "read" ? 0x80 : *status), settings_);
    }
    std::ofstream out(words[2], std::ios::binary);
    if (!pdu || !out.write(reinterpret_cast<const char*>(pdu->data()),
                           static_cast<std::streamsize>(pdu->size()))) {
        event("error: cannot write " + words[2]);
        return;
    }
    event("wrote " + words[1] + " " + words[2] + " bytes=" + std::to_string(pdu->size()));
}

bool simulator::command(std::string_view line) {
    const auto words = split_words(line);
    if (words.empty() || words[0][0] == '#') {
        return true;
    }
    const std::string& verb = words[0];
    if (verb == "quit" || verb == "exit") {
        return false;
    }
    if (verb == "help") {
        std::istringstream in(COMMANDS);
        for (std::string l; std::getline(in, l);) {
            event(l);
        }
    } else if (verb == "set") {
        if (words.size() < 2) {
            event("error: usage: set KEY VALUE");
            return true;
        }
        // The value is the rest of the line, so texts may contain blanks.
        const std::size_t after_verb = line.find(verb) + verb.size();
        std::string_view rest = line.substr(line.find(words[1], after_verb) + words[1].size());
        const auto start = rest.find_first_not_of(" \t");
        rest = start == std::string_view::npos ? std::string_view{} : rest.substr(start);
        while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) {
            rest.remove_suffix(1);
        }
        if (auto error = apply_setting(settings_, words[1], rest)) {
            event("error: " + *error);
        } else {
            event("ok " + words[1] + "=" + std::string(rest));
        }
    } else if (verb == "show") {
        for (const auto& s : show_settings(settings_)) {
            event("setting " + s);
        }
        event("ok show");
    } else if (verb == "answer" || verb == "cnf" || verb == "ind") {
        auto call_id = words.size() >= 2 ? to_number(words[1]) : std::nullopt;
        if (!call_id || *call_id < 0 || *call_id > 0xFFFFFFFFL) {
            event("error: usage: " + verb + " CALLID ...");
            return true;
        }
        const auto id = static_cast<std::uint32_t>(*call_id);
        const std::string extra = words.size() >= 3 ? words[2] : "";
        if (verb == "answer") {
            answer(id, extra);
        } else if (verb == "cnf") {
            bool ok = false;
            const bytes f = confirmation(id, settings_, transaction_id_of(extra), ok);
            if (ok) {
                send_datagram(f);
            }
        } else {
            std::uint32_t timeout = settings_.timeout;
            if (!extra.empty()) {
                auto t = to_number(extra);
                if (!t || *t < 0 || *t > 0xFFFFFFFFL) {
                    event("error: bad timeout " + extra);
                    return true;
                }
                timeout = static_cast<std::uint32_t>(*t);
            }
            const std::string l = "sent MMS_SENDMMS_TIMEOUT_IND callid=" + std::to_string(id) +
                                  " timeout=" + std::to_string(timeout);
            event(l);
            send_datagram(timeout_ind_frame(id, settings_, timeout));
        }
    } else if (verb == "rcv") {
        inject_mmsrcv(words);
    } else if (verb == "pdu") {
        write_pdu(words);
    } else if (verb == "raw") {
        auto data = parse_hex(line.substr(line.find("raw") + 3));
        if (!data || data->empty()) {
            event("error: raw needs an even number of hex digits");
            return true;
        }
        event("sent raw " + std::to_string(data->size()) + " bytes");
        send_datagram(*data);
    } else if (verb == "empty") {
        event("sent empty datagram");
        send_datagram({});
    } else if (verb == "echo") {
        std::string_view rest = line.substr(line.find("echo") + 4);
        const auto start = rest.find_first_not_of(" \t");
        event("echo " + std::string(start == std::string_view::npos ? "" : rest.substr(start)));
    } else {
        event("error: unknown command " + verb);
    }
    return true;
}

int bind_socket(std::uint16_t port) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::fprintf(stderr, "kmodsim: socket: %s\n", std::strerror(errno));
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "kmodsim: cannot bind 127.0.0.1:%u: %s\n", port, std::strerror(errno));
        close(sock);
        return -1;
    }
    return sock;
}

std::optional<std::uint16_t> port_arg(const char* text) {
    auto v = to_number(text);
    if (!v || *v < 1 || *v > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*v);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 57445;
    std::uint16_t daemon_port = 57444;
    settings initial;
    bool stay = false;
    const char* log_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            std::fputs(COMMANDS, stdout);
            return 0;
        } else if (arg == "--stay") {
            stay = true;
        } else if (arg == "--port" && has_value) {
            auto p = port_arg(argv[++i]);
            if (!p) {
                std::fprintf(stderr, "kmodsim: bad port %s\n", argv[i]);
                return 2;
            }
            port = *p;
        } else if (arg == "--daemon-port" && has_value) {
            auto p = port_arg(argv[++i]);
            if (!p) {
                std::fprintf(stderr, "kmodsim: bad port %s\n", argv[i]);
                return 2;
            }
            daemon_port = *p;
        } else if (arg == "--log" && has_value) {
            log_path = argv[++i];
        } else if (arg == "--keep" && has_value) {
            if (auto error = apply_setting(initial, "keep", argv[++i])) {
                std::fprintf(stderr, "kmodsim: %s\n", error->c_str());
                return 2;
            }
        } else if (arg == "--set" && has_value) {
            const std::string_view kv = argv[++i];
            const auto eq = kv.find('=');
            auto error = eq == std::string_view::npos
                             ? std::optional<std::string>("--set needs KEY=VALUE")
                             : apply_setting(initial, kv.substr(0, eq), kv.substr(eq + 1));
            if (error) {
                std::fprintf(stderr, "kmodsim: %s\n", error->c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "kmodsim: unknown or incomplete option %s\n%s", argv[i], USAGE);
            return 2;
        }
    }
    if (log_path != nullptr) {
        frame_log = std::fopen(log_path, "a");
        if (frame_log == nullptr) {
            std::fprintf(stderr, "kmodsim: cannot open %s: %s\n", log_path, std::strerror(errno));
            return 2;
        }
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    const int sock = bind_socket(port);
    if (sock < 0) {
        return 1;
    }
    simulator sim(sock, daemon_port, std::move(initial));
    event("kmodsim ready port=" + std::to_string(port));

    bool stdin_open = true;
    std::string pending;
    for (;;) {
        const int wait_ms = sim.run_due();
        pollfd fds[3] = {{sock, POLLIN, 0}, {signal_fd, POLLIN, 0}, {0, POLLIN, 0}};
        const nfds_t count = stdin_open ? 3 : 2;
        const int ready = poll(fds, count, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            event(std::string("error: poll: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents != 0) {
            event("stopping on signal");
            break;
        }
        if (fds[0].revents & POLLIN) {
            sim.receive();
        }
        if (stdin_open && fds[2].revents != 0) {
            char chunk[4096];
            const ssize_t n = read(0, chunk, sizeof chunk);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                stdin_open = false;
                if (!pending.empty() && !sim.command(pending)) {
                    break;
                }
                if (!stay) {
                    break;
                }
                continue;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            bool go_on = true;
            for (std::size_t nl; go_on && (nl = pending.find('\n')) != std::string::npos;) {
                std::string one = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!one.empty() && one.back() == '\r') {
                    one.pop_back();
                }
                go_on = sim.command(one);
            }
            if (!go_on) {
                break;
            }
        }
    }
    event("kmodsim stopped");
    close(sock);
    if (frame_log != stderr) {
        std::fclose(frame_log);
    }
    return 0;
}
