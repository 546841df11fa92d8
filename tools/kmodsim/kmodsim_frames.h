// kmodsim frames: the kernel link's datagrams as the simulated module builds and reads them, and
// the MMS PDUs it puts into them or writes for `rcv`.  Encoded and decoded here from the wire
// layouts, independently of the daemon's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kmodsim {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t KIND_CONNECT_REQ = 9;
constexpr std::uint32_t KIND_SENDMMS_REQ = 67;
constexpr std::uint32_t KIND_SENDMMS_RESULT_IND = 68;
constexpr std::uint32_t KIND_MMSRCV_IND = 70;
constexpr std::uint32_t KIND_SENDMMS_TIMEOUT_IND = 73;
constexpr std::uint32_t KIND_SENDMMS_CNF = 0x8043;

// What the simulated module answers with and when; changed by `set` and --set.
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
    // Shares of the send requests, drawn for each one, answered otherwise than the settings
    // above say: with no confirmation, with a timeout indication first, with `error_status`.
    int silent_pct = 0;
    int timeout_ind_pct = 0;
    int error_pct = 0;
    std::uint32_t error_status = 3;
    std::uint32_t seed = 1;  // of those draws
};

std::uint32_t get_be32(const std::uint8_t* p);
std::uint32_t get_le32(const std::uint8_t* p);
// A text field of n bytes, up to its first zero.
std::string field_text(const std::uint8_t* p, std::size_t n);
// The log's hex dump of a datagram, 16 bytes a line.
std::string hex_dump(const bytes& data);

bytes timeout_ind_frame(std::uint32_t call_id, const settings& s, std::uint32_t timeout);
bytes send_cnf_frame(std::uint32_t call_id, const settings& s, const bytes& pdu);
bytes mmsrcv_ind_frame(std::string_view imsi, std::uint32_t port, std::uint32_t flags,
                       std::string_view to, std::string_view from, const bytes& data);

// m-send-conf: message type, transaction id, version 1.2, response status, optional response
// text, message id.
bytes send_conf_pdu(std::string_view transaction_id, int response_status,
                    const std::optional<std::string>& response_text, std::string_view message_id);
// m-retrieve-conf, multipart.related (start "<smil>" when a SMIL part is there), one entry per
// file with its media type as text and the file name as Content-ID.
std::optional<bytes> retrieve_conf_pdu(const std::vector<std::string>& files, const settings& s,
                                       unsigned number);
// m-delivery-ind (status octet) or m-read-orig-ind (read status Read) for a message id.
bytes report_pdu(bool delivery, std::string_view message_id, std::uint8_t status,
                 const settings& s);

std::optional<bytes> read_file(const std::string& path);
// The transaction id of an m-send-req file (message type, then X-Mms-Transaction-ID come
// first); a made-up one when the file cannot be read or does not start that way.
std::string transaction_id_of(const std::string& path);

}  // namespace kmodsim
