// The end of a submission: the request to the kernel module and every reply to the VASP.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "core/log.h"
#include "core/metrics.h"
#include "mm7/documents/mm7.h"
#include "mm7/server/mm7_server.h"
#include "mm7/server/mm7_server_internal.h"
#include "turbo/turbo_mode.h"
#include "wsp/wsp.h"
#include "xgate/xgate.h"

namespace {

constexpr std::size_t kReplyBufferSize = 1500;

// MM7 status codes by X-Mms-Response-Status octet; 0 means not listed.
constexpr int response_status_code(int octet) {
    switch (octet) {
        case 128:
            return 1000;  // Ok
        case 129:
            return 4000;  // Error-unspecified
        case 130:
            return 4007;  // Error-service-denied
        case 131:
            return 2007;  // Error-message-format-corrupt
        case 132:
            return 2003;  // Error-sending-address-unresolved
        case 133:
            return 2005;  // Error-message-not-found
        case 134:
            return 4005;  // Error-network-problem
        case 135:
            return 2004;  // Error-content-not-accepted
        case 136:
            return 4003;  // Error-unsupported-message
        case 192:
            return 4005;  // Error-transient-failure
        case 193:
            return 2003;  // Error-transient-sending-address-unresolved
        case 194:
            return 2005;  // Error-transient-message-not-found
        case 195:
            return 4005;  // Error-transient-network-problem
        case 224:
            return 4000;  // Error-permanent-failure
        case 225:
            return 4007;  // Error-permanent-service-denied
        case 226:
            return 2007;  // Error-permanent-message-format-corrupt
        case 227:
            return 4001;  // Error-permanent-sending-address-unresolved
        case 228:
            return 2005;  // Error-permanent-message-not-found
        case 229:
            return 2004;  // Error-permanent-content-not-accepted
        case 230:
            return 4003;  // Error-permanent-reply-charging-limitations-not-met
        case 231:
            return 4003;  // Error-permanent-reply-charging-request-not-accepted
        case 232:
            return 4003;  // Error-permanent-reply-charging-forwarding-denied
        default:
            return 0;
    }
}

void log_frame(byte_view frame) {
    if (log_enabled(log_level::debug)) {  // the dump is only made for a log that keeps it
        log_printf("\n%s", hexdump(frame, 1000, 16).c_str());
    }
}

// PDU files of submissions that stopped waiting for their confirmation, by call id: the kernel
// module may still be reading one, so it is removed when the late confirmation comes.
std::map<std::uint32_t, std::string> abandoned;
constexpr std::size_t kMaxAbandoned = 4096;

void push_deadline(outgoing_mms_info* info, std::uint32_t seconds) {
    const std::int64_t deadline =
        ticks_now() +
        (static_cast<std::int64_t>(seconds) + info->config->confirm_grace) * ticks_per_second;
    if (info->confirm_deadline == 0 || deadline - info->confirm_deadline > 0) {
        info->confirm_deadline = deadline;
    }
}

// The one line a finished submission leaves in a log at info level.  Peer-supplied text is
// escaped and the transaction id cut, so that the line stays short.
void log_submission_end(const outgoing_mms_info* info, const char* outcome, int http_code,
                        int status, int port_index) {
    if (!log_enabled(log_level::info)) {
        return;
    }
    constexpr std::size_t kShownId = 64;
    std::string transaction = "-";
    std::size_t recipients = 0;
    if (const mms_message* message = info->message()) {
        for (const auto* list : {&message->to, &message->cc, &message->bcc}) {
            recipients += *list ? (*list)->size() : 0;
        }
        if (message->transaction_id && !message->transaction_id->empty()) {
            transaction =
                log_escape(std::string_view(*message->transaction_id).substr(0, kShownId));
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - info->accepted);
    char status_text[16] = "-";
    if (status > 0) {
        std::snprintf(status_text, sizeof status_text, "%d", status);
    }
    char port_text[24] = "";
    if (port_index >= 0) {
        std::snprintf(port_text, sizeof port_text, " port=%d", port_index);
    }
    const log_scope outcome_line(nullptr);  // one per submission: never suppressed
    log_info(
        "Submission done: transaction=%s recipients=%zu bytes=%llu outcome=%s http=%d status=%s "
        "duration_ms=%lld%s%s",
        transaction.c_str(), recipients, static_cast<unsigned long long>(info->pdu_size), outcome,
        http_code, status_text, static_cast<long long>(elapsed.count()), port_text,
        mm7_vasp_label(*info).c_str());
}

// Writes the final reply and ends the connection.
void write_reply(outgoing_mms_info* info, int http_code, const std::string& document, opt_view imsi,
                 int port_index, int capacity, bool shotgun, std::string_view headers = {}) {
    const server_config& config = *info->config;
    log_printf("Sending %d OK", http_code);
    std::string head = "HTTP/1.0 " + std::to_string(http_code) + " OK\r\n";
    head += "Content-Type: text/xml\r\n";
    head += "X-QZM-GWSN: " + config.gw_serial + "\r\n";
    // Only digits go into the header: the IMSI comes from the link and could carry a line end.
    if (imsi && !imsi->empty() && imsi->find_first_not_of("0123456789") == std::string_view::npos) {
        head += "X-QZM-IMSI: " + std::string(*imsi) + "\r\n";
    }
    if (port_index >= 0) {
        head += "X-QZM-Port: " + std::to_string(port_index) + "\r\n";
    }
    if (capacity > 0) {
        head += "X-QZM-Port-Capacity: " + std::to_string(capacity) + "\r\n";
    }
    head += "X-QZM-MM1-Support: 1.0\r\n";
    if (shotgun) {
        head += "X-QZM-Shotgun-Mode: 1\r\n";
    }
    head += headers;
    head += "\r\n";
    if (head.size() + document.size() >= kReplyBufferSize) {
        mm7_socket_write(info->fd, head);
        mm7_socket_write(info->fd, document);
    } else {
        mm7_socket_write(info->fd, head + document);
    }
    CloseClient(info);
}

}  // namespace

int mm7_status_for_response(int octet) {
    int code = response_status_code(octet);
    return code != 0 ? code : 3000;
}

void SendEarlyHints(int fd, int seconds) {
    char status_line[100];
    int n = std::snprintf(status_line, sizeof status_line, "HTTP/1.0 %s\r\n", "103 Early Hints");
    mm7_socket_write(fd, std::string_view(status_line, static_cast<std::size_t>(n)));
    log_printf("Sending %s", status_line);
    n = std::snprintf(status_line, sizeof status_line, "X-Expected-Duration: %d\r\n\r\n", seconds);
    mm7_socket_write(fd, std::string_view(status_line, static_cast<std::size_t>(n)));
}

void SendHttpError(outgoing_mms_info* info, std::string_view status_text,
                   std::string_view headers) {
    char status_line[256];
    int n = std::snprintf(status_line, sizeof status_line, "HTTP/1.0 %.*s\r\n",
                          static_cast<int>(status_text.size()), status_text.data());
    n = std::min(n, static_cast<int>(sizeof status_line) - 1);
    mm7_socket_write(info->fd, std::string_view(status_line, static_cast<std::size_t>(n)));
    log_printf("Sending %s", status_line);
    mm7_count_refusal(*info, status_text);
    mm7_socket_write(info->fd, headers);
    mm7_socket_write(info->fd, std::string_view("\r\n"));
    mm7_socket_write(info->fd, status_text);
    // A connection refused before it sent anything carried no submission: its refusal has a
    // line of its own.
    if (info->parser.state() != client_state::REQUEST_LINE) {
        log_submission_end(info, "refused", std::atoi(std::string(status_text).c_str()), 0, -1);
    }
    CloseClient(info);
}

void SendRequestToKernel(outgoing_mms_info* info, std::uint64_t pdu_size) {
    log_printf("Message processed, sending request to kernel");
    info->request_end = metrics_clock();
    info->pdu_size = pdu_size;
    if (info->output && info->output->stream) {
        // Everything must be on disk before the kernel module is told: a full disk shows here.
        FILE* stream = info->output->stream.release();
        bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0;
        written = std::fclose(stream) == 0 && written;
        if (!written) {
            log_error("Cannot write output file %s. Errno: %d (%s)", info->output->path.c_str(),
                      errno, std::strerror(errno));
            SendHttpError(info, "503 Server error");
            return;
        }
    }
    if (info->parser.early_hints()) {
        SendEarlyHints(info->fd, 60);
        info->early_hints_sent = 1;
    }
    std::uint32_t request_id = turbo_mode_handle_message(info);
    if (request_id != 0) {
        info->turbo_request = request_id;
        return;
    }
    const mms_message* message = info->message();
    std::uint32_t call_id = 0;
    buffer frame;
    for (std::size_t tries = 0;; ++tries) {
        frame = xgate_build_sendmms_req(
            mm7_kernel_send_timeout(pdu_size), message ? view_of(message->route_by) : std::nullopt,
            message ? view_of(message->sender) : std::nullopt, "mm7", info->output->path, call_id);
        if (callid_table[call_id & (CALLID_TABLE_SIZE - 1)].client == nullptr) {
            break;  // a slot taken by a submission still waiting is passed over
        }
        if (tries == CALLID_TABLE_SIZE) {
            log_warning("Too many submissions waiting for the kernel (call id %u)", call_id);
            SendHttpError(info, "503 Server busy");
            return;
        }
    }
    callid_slot& slot = callid_table[call_id & (CALLID_TABLE_SIZE - 1)];
    log_frame(frame);
    xgate_send(info->config->xgate_fd, frame);
    info->call_id = call_id;
    slot.call_id = call_id;
    slot.client = info;
    push_deadline(info, mm7_kernel_send_timeout(pdu_size));
}

void SendMM7Response(outgoing_mms_info* info, const buffer* confirmation_pdu, int send_status,
                     int cause, opt_view imsi, int port_index, int turbo, opt_view reason) {
    const server_config& config = *info->config;
    opt_view transaction_id =
        info->message() ? view_of(info->message()->transaction_id) : std::nullopt;
    const mm7_schema schema = mm7_answer_schema(info->message());
    std::string document;
    int http_code = 500;
    int reported = send_status;
    int status_code = 3000;  // the MM7 status the VASP is told
    if ((send_status != 1 && send_status != 10) || confirmation_pdu == nullptr ||
        confirmation_pdu->empty()) {
        char text[512];
        std::snprintf(text, sizeof text, "Gateway error %d, cause %d%s%.*s", send_status, cause,
                      reason ? ": " : "", reason ? static_cast<int>(reason->size()) : 0,
                      reason ? reason->data() : "");
        document = mm7_submit_rsp(transaction_id, 3000, text, std::nullopt, schema);
    } else {
        std::uint32_t offset = 0;
        mms_message confirmation = ParseMMSHeaders(*confirmation_pdu, offset, false);
        if (confirmation.message_type != MMS_SEND_CONF) {
            log_warning("send_conf expected, %d received",
                        static_cast<int>(confirmation.message_type));
            document = mm7_submit_rsp(transaction_id, 3000,
                                      "Invalid response received from network", "", schema);
        } else if (confirmation.response_status < 0) {
            // Without a status nothing says the network took the message: not a success.
            log_warning("send_conf without a response status, answered as a failure");
            document =
                mm7_submit_rsp(transaction_id, 3000, "Confirmation without a response status",
                               view_of(confirmation.message_id), schema);
            reported = send_status == 1 ? 10 : send_status;
        } else {
            int code = 3000;
            if (confirmation.response_status >= 0 && confirmation.response_status <= 111) {
                code = mm7_status_for_response(confirmation.response_status + 128);
            }
            status_code = code;
            document = mm7_submit_rsp(transaction_id, code, view_of(confirmation.response_text),
                                      view_of(confirmation.message_id), schema);
            if (code == 1000 && send_status == 1) {
                http_code = 200;
                reported = 1;
                mm7_vasp_record_message(*info, view_of(confirmation.message_id));
            } else {
                reported = send_status == 1 ? 10 : send_status;
            }
        }
    }
    log_printf("Sending MM7 response: %d\n%s", http_code, document.c_str());

    if (turbo != 0 && imsi) {
        buffer frame = xgate_build_sendmms_result_ind(
            imsi ? *imsi : std::string_view(), 0, 0, static_cast<std::uint32_t>(reported),
            static_cast<std::uint32_t>(cause), static_cast<std::uint32_t>(port_index));
        log_frame(frame);
        xgate_send(config.xgate_fd, frame);
    }

    mm7_count_reply(*info, http_code, status_code);
    log_submission_end(info, http_code == 200 ? "sent" : "failed", http_code, status_code,
                       turbo != 0 ? port_index : -1);
    write_reply(info, http_code, document, imsi, port_index,
                turbo != 0 ? config.turbo_mode_capacity : 0,
                turbo != 0 && config.turbo_mode_ms_delay < 0);
}

void SendMM7Fault(outgoing_mms_info* info, int status_code, std::string_view status_text,
                  std::string_view headers) {
    opt_view transaction_id =
        info->message() ? view_of(info->message()->transaction_id) : std::nullopt;
    std::string document = mm7_submit_rsp(transaction_id, status_code, status_text, std::nullopt,
                                          mm7_answer_schema(info->message()));
    log_printf("Sending MM7 response: %d\n%s", 500, document.c_str());
    mm7_count_reply(*info, 500, status_code);
    log_submission_end(info, "failed", 500, status_code, -1);
    write_reply(info, 500, document, std::nullopt, -1, 0, false, headers);
}

void SendConfirmTimeout(outgoing_mms_info* info) {
    log_warning("No confirmation for callid %u in time, giving up", info->call_id);
    if (info->output) {
        info->output->stream.reset();
        if (abandoned.size() >= kMaxAbandoned) {
            abandoned.erase(abandoned.begin());
        }
        abandoned[info->call_id] = info->output->path;
        mm7_remove_pdu_file_later(*info->config, info->output->path);
        info->output.reset();  // the file stays for now
    }
    SendMM7Fault(info, 3000, "Gateway did not confirm the submission");
}

void mm7_server_set_xgate_hooks() {
    xgate_hooks_table.client_fd = [](outgoing_mms_info* info) { return info->fd; };
    xgate_hooks_table.on_timeout_ind = [](outgoing_mms_info* info, const xgate_message& message) {
        push_deadline(info, message.timeout);
        if (info->parser.early_hints() && info->early_hints_sent < 2) {
            log_printf("Sending 103");
            SendEarlyHints(info->fd, static_cast<int>(message.timeout));
            ++info->early_hints_sent;
        } else if (info->parser.early_hints()) {
            log_printf("Not sending 103: two were sent already");
        } else {
            log_printf("Not sending 103 as not requested by client");
        }
    };
    xgate_hooks_table.on_send_cnf = [](outgoing_mms_info* info, const xgate_message& message) {
        if (info->output) {
            std::remove(info->output->path.c_str());
            info->output.reset();
        }
        SendMM7Response(info, &message.pdu, static_cast<int>(message.status),
                        static_cast<int>(message.cause), message.imsi,
                        static_cast<int>(message.port), 0);
    };
    xgate_hooks_table.on_orphan_cnf = [](const xgate_message& message) {
        auto it = abandoned.find(message.call_id);
        if (it != abandoned.end()) {
            log_printf("Removing %s of a submission that stopped waiting", it->second.c_str());
            std::remove(it->second.c_str());
            abandoned.erase(it);
        }
    };
}

void mm7_server_set_turbo_hooks() {
    turbo_hooks_table.submission = [](outgoing_mms_info* info) {
        turbo_submission submission;
        if (const mms_message* message = info->message()) {
            submission.route_by = view_of(message->route_by);
            submission.from = view_of(message->from);
        }
        if (info->output) {
            submission.path = info->output->path;
        }
        return submission;
    };
    turbo_hooks_table.send_response = [](outgoing_mms_info* info, const buffer* pdu, int result,
                                         int cause, opt_view imsi, int port, opt_view reason) {
        SendMM7Response(info, pdu, result, cause, imsi, port, 1, reason);
    };
    turbo_hooks_table.send_timeout = [](outgoing_mms_info* info) {
        SendMM7Fault(info, 3000, "Gateway did not confirm the submission");
    };
}
