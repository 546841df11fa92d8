#include "kmodsim_frames.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace kmodsim {

namespace {

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

bytes frame(std::uint32_t kind, const bytes& payload) {
    bytes out;
    put_be32(out, kind);
    put_be32(out, 0);
    put_be32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A text-string of the MMS encapsulation: a text starting with a byte of 128 or more is quoted.
void put_mms_text(bytes& out, std::string_view text) {
    if (!text.empty() && static_cast<std::uint8_t>(text[0]) >= 0x80) {
        out.push_back(0x7F);
    }
    put_text(out, text);
    out.push_back(0);
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

}  // namespace

std::uint32_t get_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint32_t get_le32(const std::uint8_t* p) {
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
           std::uint32_t{p[0]};
}

std::string field_text(const std::uint8_t* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find('\0'));
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

}  // namespace kmodsim
