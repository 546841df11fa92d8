// The one message record of the daemon: filled from a VASP submission or from a decoded PDU.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/string_utils.h"
#include "wsp/wsp_types.h"

// An owned list of owned texts (To, Cc, Bcc addresses).  A field that has no list at all is
// std::nullopt.
using text_list = std::vector<std::string>;

// A time of a submission as the PDU carries it: an instant in seconds since the epoch, or a
// length of time in seconds counted from when the message is sent.
struct mms_time {
    std::uint32_t seconds = 0;
    bool relative = false;
    bool operator==(const mms_time&) const = default;
};

// Values of mms_message::message_type (the message type octet minus 128).
inline constexpr std::uint32_t MMS_SEND_CONF = 1;
inline constexpr std::uint32_t MMS_NOTIFICATION_IND = 2;
inline constexpr std::uint32_t MMS_RETRIEVE_CONF = 4;
inline constexpr std::uint32_t MMS_DELIVERY_IND = 6;
inline constexpr std::uint32_t MMS_READ_ORIG_IND = 8;

struct mms_message {
    opt_text transaction_id;
    opt_text sender;   // submission: SenderIdentification text
    opt_text vasp_id;  // submission: SenderIdentification/VASPID
    std::optional<text_list> bcc;
    opt_text route_by;
    std::optional<text_list> cc;
    std::optional<text_list> to;
    opt_text content_id;
    opt_text reply_charging_size;
    std::optional<mms_time> reply_deadline;
    opt_text message_class;
    opt_text priority;
    opt_text subject;
    std::uint32_t delivery_report = 0;
    std::uint32_t read_report = 0;
    std::optional<mms_time> expiry;
    std::optional<mms_time> delivery_time;  // submission only: EarliestDeliveryTime
    // Submission only: the MM7 namespace and MM7Version of the request, when it named them;
    // its answer is written in them.
    opt_text mm7_namespace;
    opt_text mm7_version;
    opt_text from;
    opt_text message_id;
    opt_text recipient;
    opt_text gateway_recipient;
    opt_text gateway_sender;
    std::uint64_t date = 0;
    opt_text status;
    opt_text read_status;
    std::uint32_t message_type = 0;  // message type octet minus 128
    std::optional<mms_content_type> content_type;
    std::int32_t response_status = -1;  // response status octet minus 128; -1: none given
    opt_text response_text;
    opt_text content_location;
    opt_text mms_version;
};
