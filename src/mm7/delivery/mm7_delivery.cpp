// Network-originated MMS: from the kernel module's reception indication to a started delivery.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "core/log.h"
#include "mm7/delivery/mm7_client.h"
#include "mm7/delivery/mm7_delivery.h"
#include "mm7/delivery/mm7_entries.h"
#include "mm7/delivery/mm7_spool.h"
#include "turbo/turbo_mode.h"
#include "wsp/wsp.h"
#include "wsp/wsp_parse.h"
#include "wsp/wsp_primitives.h"
#include "xgate/xgate.h"

namespace {

// Octets of a PDU file the message headers must lie within.
constexpr std::size_t PDU_HEADER_WINDOW = 4096;
constexpr std::size_t MAX_PDU_PATH = 255;
constexpr std::size_t MAX_ID_TEXT = 19;

constexpr std::string_view MULTIPART_MIXED = "application/vnd.wap.multipart.mixed";
constexpr std::string_view MULTIPART_RELATED = "application/vnd.wap.multipart.related";

// A text of the indication: up to its first NUL.
std::string text_of(byte_view data) {
    const std::string_view text = as_text(data);
    return std::string(text.substr(0, text.find('\0')));
}

// An address of the indication as the PDU's own addresses are kept: without "/TYPE=PLMN".
std::string plain_address(std::string_view address) {
    buffer value(address.begin(), address.end());
    strip_plmn_suffix(value);
    return std::string(as_text(value));
}

log_limiter outside_log(10, 5);
// An indication that names no usable PDU: each datagram can make one.
log_limiter indication_log(10, 5);

// The named file with every link and ".." resolved, when it lies inside a directory the kernel
// module names PDU files in or the work directory (where fetched messages are stored); else
// nothing, logged, with errno set.
std::optional<std::string> inside_pdu_dirs(const std::string& path, const server_config& config) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> dirs = config.pdu_dirs;
    if (dirs.empty()) {
        dirs.emplace_back(DEFAULT_PDU_DIR);
    }
    dirs.push_back(config.workdir);
    const std::string_view file(resolved);
    for (const std::string& dir : dirs) {
        char real_dir[PATH_MAX];
        if (realpath(dir.c_str(), real_dir) == nullptr) {
            continue;
        }
        std::string prefix(real_dir);
        if (!prefix.ends_with('/')) {
            prefix += '/';
        }
        if (file.starts_with(prefix)) {
            return std::string(file);
        }
    }
    outside_log.printf("HandleXgateMmsRcvInd: %s is in no PDU directory, refused",
                       log_escape(path).c_str());
    errno = EACCES;
    return std::nullopt;
}

// Opens a PDU file for reading without ever blocking (a FIFO or a device named by the
// indication is refused); the file's size, or -1 with errno set.
std::int64_t open_pdu_file(mm7_client_info& info) {
    const std::optional<std::string> path = inside_pdu_dirs(info.pdu_path, *info.config);
    if (!path) {
        return -1;
    }
    const int fd = open(path->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    info.pdu_file.reset(fdopen(fd, "rb"));
    if (!info.pdu_file) {
        close(fd);
        return -1;
    }
    return st.st_size;
}

// Obtains the PDU the indication names; the bytes to decode the headers from, or nothing when
// the indication ends here (logged).
std::optional<buffer> obtain_pdu(const xgate_message& indication, mm7_client_info& info) {
    switch (indication.flags) {
        case MMSRCV_FLAG_URL:
            log_printf("HandleXgateMmsRcvInd, ignoring url=%s",
                       log_escape(text_of(indication.data)).c_str());
            return std::nullopt;
        case MMSRCV_FLAG_FILE: {
            info.pdu_path = text_of(indication.data).substr(0, MAX_PDU_PATH);
            log_printf("HandleXgateMmsRcvInd enter, filename=%s",
                       log_escape(info.pdu_path).c_str());
            const std::int64_t size = open_pdu_file(info);
            if (size < 0) {
                const int err = errno;
                indication_log.printf("HandleXgateMmsRcvInd: Cannot open %s. Errno: %d (%s)",
                                      log_escape(info.pdu_path).c_str(), err, std::strerror(err));
                return std::nullopt;
            }
            buffer head(PDU_HEADER_WINDOW);
            head.resize(mm7_client_read_pdu(info, 0, head));
            if (head.empty()) {
                indication_log.printf("HandleXgateMmsRcvInd: Empty PDU file %s",
                                      log_escape(info.pdu_path).c_str());
                return std::nullopt;
            }
            info.pdu_end = static_cast<std::uint64_t>(
                std::max<std::int64_t>(size, static_cast<std::int64_t>(head.size())));
            return head;
        }
        case MMSRCV_FLAG_PDU:
            log_printf("HandleXgateMmsRcvInd enter, PDU:");
            if (indication.data.empty()) {
                indication_log.printf("HandleXgateMmsRcvInd: Empty PDU");
                return std::nullopt;
            }
            info.pdu_copy = indication.data;
            info.pdu_end = indication.data.size();
            return indication.data;
        default:
            indication_log.printf("HandleXgateMmsRcvInd unrecognized flags: %d",
                                  static_cast<int>(indication.flags));
            return std::nullopt;
    }
}

// A copy of a received PDU that cannot be delivered whole, for the operator: the text that
// says where it is, for the log line of the defect.
std::string keep_original(mm7_client_info& info, std::uint64_t size) {
    const std::optional<std::string> copy = mm7_spool_set_aside(info, size);
    return copy ? concat({"; the original PDU is kept as ", *copy}) : std::string();
}

// Checks the multipart content after the header block and finds its first entry.  False when
// the message is dropped (logged).  Of a body with a defect, the whole entries before it are
// delivered.
bool prepare_content(mm7_client_info& info, const buffer& head, std::uint32_t offset) {
    // Both multipart kinds are delivered as they are; anything else is no MMS content.
    const mms_content_type& ct = *info.envelope_data->content_type;
    if (ct.content_type != MULTIPART_MIXED && ct.content_type != MULTIPART_RELATED) {
        const std::string kept = keep_original(info, info.pdu_end);
        log_warning("HandleXgateMmsRcvInd: ignoring content-type = %s",
                    log_escape(ct.content_type.value_or("")).c_str());
        if (!kept.empty()) {
            log_warning("HandleXgateMmsRcvInd: %s", kept.substr(2).c_str());  // after "; "
        }
        return false;
    }
    if (offset >= head.size()) {
        const std::string kept = keep_original(info, info.pdu_end);
        log_warning("HandleXgateMmsRcvInd: no entry count within the first %d bytes, dropped%s",
                    static_cast<int>(PDU_HEADER_WINDOW), kept.c_str());
        return false;
    }
    const std::uint32_t parts = decode_uintvar(head, offset);
    log_printf("HandleXgateMmsRcvInd: nParts = %d", static_cast<int>(parts));
    info.pdu_body_offset = offset;
    info.pdu_position = offset;
    const body_check check = mm7_check_body(
        offset, info.pdu_end, [&info](std::uint64_t position, std::span<std::uint8_t> out) {
            return mm7_client_read_pdu(info, position, out);
        });
    if (check.fault != entry_fault::none) {
        const std::string_view what = entry_fault_text(check.fault);
        const std::string kept = keep_original(info, info.pdu_end);
        if (check.entries == 0) {
            log_warning("HandleXgateMmsRcvInd: %.*s (entry 1), dropped%s",
                        static_cast<int>(what.size()), what.data(), kept.c_str());
            return false;
        }
        if (check.entries >= parts) {
            log_warning(
                "HandleXgateMmsRcvInd: %llu bytes after the last of %d entries ignored "
                "(%.*s)%s",
                static_cast<unsigned long long>(info.pdu_end - check.whole_end),
                static_cast<int>(check.entries), static_cast<int>(what.size()), what.data(),
                kept.c_str());
        } else {
            log_warning(
                "HandleXgateMmsRcvInd: %.*s (entry %d), the %d entries before it are "
                "delivered%s",
                static_cast<int>(what.size()), what.data(), static_cast<int>(check.entries + 1),
                static_cast<int>(check.entries), kept.c_str());
        }
        info.pdu_end = check.whole_end;  // the delivery and the spool's copy end there
        return true;
    }
    if (check.entries != parts) {
        log_warning("HandleXgateMmsRcvInd: nParts = %d but the content holds %d entries",
                    static_cast<int>(parts), static_cast<int>(check.entries));
    }
    return true;
}

}  // namespace

std::unique_ptr<mm7_client_info> mm7_prepare_delivery(const xgate_message& indication,
                                                      server_config& config,
                                                      std::optional<std::string> transaction_id) {
    auto info = std::make_unique<mm7_client_info>();
    info->imsi = indication.imsi.substr(0, MAX_ID_TEXT);
    info->gw_serial = config.gw_serial.substr(0, MAX_ID_TEXT);
    info->config = &config;
    info->url = config.client_url_parts;  // until the spool names the account's own
    info->port = indication.port;
    log_scope scope(info->log_lines.get());

    std::optional<buffer> head = obtain_pdu(indication, *info);
    if (!head) {
        return nullptr;
    }
    std::uint32_t offset = 0;
    info->envelope_data = std::make_unique<mms_message>(ParseMMSHeaders(*head, offset, false));
    mms_message& message = *info->envelope_data;

    if (message.message_type == MMS_NOTIFICATION_IND) {
        if (turbo_mode_handle_incoming(info->port, info->imsi, message) == 0) {
            log_warning(
                "HandleXgateMmsRcvInd, got NOTIFICATION_IND without turbo mode, this should not "
                "happen");
        }
        return nullptr;
    }
    if (message.message_type != MMS_RETRIEVE_CONF && message.message_type != MMS_DELIVERY_IND &&
        message.message_type != MMS_READ_ORIG_IND) {
        log_warning("HandleXgateMmsRcvInd: ignoring message type %d, it has no MM7 document",
                    static_cast<int>(message.message_type + 128));
        return nullptr;
    }
    if (!message.content_type && head->size() < info->pdu_end) {
        const std::string kept = keep_original(*info, info->pdu_end);
        log_warning("HandleXgateMmsRcvInd: headers longer than %d bytes, dropped%s",
                    static_cast<int>(PDU_HEADER_WINDOW), kept.c_str());
        return nullptr;
    }
    if (message.content_type) {
        if (!prepare_content(*info, *head, offset)) {
            return nullptr;
        }
    } else {
        info->pdu_position = info->pdu_end;  // nothing after the headers is sent
    }
    head.reset();

    if (!message.transaction_id) {
        message.transaction_id =
            transaction_id ? std::move(transaction_id) : generate_transaction_id();
    }
    info->log_lines->relabel(
        concat({"delivery of transaction ", log_escape(*message.transaction_id)}));
    message.gateway_recipient = strdup_nonempty(plain_address(indication.recipient));
    message.gateway_sender = strdup_nonempty(plain_address(indication.sender));
    // A message that names no recipient of its own (as handsets send to a short code) was
    // received on the number the indication gives: the DeliverReq names that one.
    if (message.message_type == MMS_RETRIEVE_CONF && !message.recipient &&
        message.gateway_recipient) {
        message.to = text_list{*message.gateway_recipient};
        message.recipient = message.gateway_recipient;
    }
    return info;
}

void mm7_start_delivery(std::unique_ptr<mm7_client_info> info) {
    const int fd = mm7_client_open(*info);
    if (fd > 0) {
        log_printf("HandleXgateMmsRcvInd info=%p", static_cast<void*>(info.get()));
        log_printf("HandleXgateMmsRcvInd info->envelope_data=%p",
                   static_cast<void*>(info->envelope_data.get()));
        mm7_client_register(std::move(info));
    } else {
        log_printf("HandleXgateMmsRcvInd: mm7_client_open failed");
        mm7_client_finished(*info, delivery_outcome::not_connected, "mm7_client_open failed");
    }
}

void HandleXgateMmsRcvInd(const xgate_message& indication, server_config& config) {
    if (auto info = mm7_prepare_delivery(indication, config, std::nullopt)) {
        mm7_spool_submit(std::move(info));
    }
}
