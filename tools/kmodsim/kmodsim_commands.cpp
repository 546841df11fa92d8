// The command reader: `simulator::command` and the commands that build what they send.
#include "kmodsim_commands.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <type_traits>

#include "kmodsim.h"

namespace kmodsim {

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

namespace {

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

}  // namespace

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
    if (key == "silent_pct")
        return number(s.silent_pct, 0, 100);
    if (key == "timeout_ind_pct")
        return number(s.timeout_ind_pct, 0, 100);
    if (key == "error_pct")
        return number(s.error_pct, 0, 100);
    if (key == "error_status")
        return number(s.error_status, 0, 0xFFFFFFFFL);
    if (key == "seed")
        return number(s.seed, 0, 0xFFFFFFFFL);
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
        "silent_pct=" + std::to_string(s.silent_pct),
        "timeout_ind_pct=" + std::to_string(s.timeout_ind_pct),
        "error_pct=" + std::to_string(s.error_pct),
        "error_status=" + std::to_string(s.error_status),
        "seed=" + std::to_string(s.seed),
    };
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
            if (words[1] == "seed") {
                draws_.seed(settings_.seed);
            }
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

}  // namespace kmodsim
