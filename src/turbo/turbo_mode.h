// Turbo mode: per-port workers that talk MM1 to the operator's MMSC.  This is the main
// process's side: it forks and supervises the workers, routes submissions and notifications to
// them and turns their answers back into the MM7 reply and delivery paths.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "core/string_utils.h"

struct mms_message;
struct outgoing_mms_info;
struct server_config;

// What turbo mode reads of a waiting submission.
struct turbo_submission {
    opt_view route_by;
    opt_view from;          // the sender number, if any
    std::string_view path;  // the PDU file
};

// What turbo mode calls in the MM7 server, filled in by it.  Until they are set, submissions
// take the kernel path and answers are logged and dropped.
struct turbo_hooks {
    // The submission of a connection that is about to wait for an answer.
    std::function<turbo_submission(outgoing_mms_info*)> submission;
    // A worker's send result for a waiting connection: the MM7 reply, which ends the connection.
    // pdu is the MMSC's answer (absent when the worker sent an error text instead).
    // imsi is absent when the port's SIM is not known: the kernel module then gets no report.
    // reason: why the worker could not send at all, for the VASP (absent for other failures).
    std::function<void(outgoing_mms_info*, const buffer* pdu, int result, int cause, opt_view imsi,
                       int port, opt_view reason)>
        send_response;
    // A submission whose worker did not answer in time: the fault of a silent kernel module,
    // which ends the connection.
    std::function<void(outgoing_mms_info*)> send_timeout;
};
extern turbo_hooks turbo_hooks_table;

// Checks how the workers will trust https MMSCs (--mmsccafile, --mmscinsecure), before anything
// starts: false, with an error line, when the CA file cannot be used.
bool turbo_mode_check_tls(const server_config& config);

// Starts turbo mode (forks a worker per port of turbo_mode_mask, then listens for them); with a
// mask of 0 it only remembers the configuration.
void turbo_mode_init(server_config& config, int& turbo_fd);

// Offers a complete submission to turbo mode: the request id when a worker took it, 0 when the
// submission goes the kernel path.
std::uint32_t turbo_mode_handle_message(outgoing_mms_info* client);

// Hands a notification of a message waiting at the MMSC (an m-notification-ind received on
// `port` by the SIM `imsi`) to the port's worker, which fetches it.  The request id, 0 when no
// worker serves the port, or -1 when the notification was refused (an IMSI that is not at most
// 15 digits; logged).  Copies what it needs; the caller keeps the record.
int turbo_mode_handle_incoming(std::uint32_t port, std::string_view imsi,
                               const mms_message& notification);

// Forgets a connection that is torn down while a worker holds its submission, so that the
// worker's late answer finds no request.
void turbo_mode_forget_client(outgoing_mms_info* client);

// Ends every worker (SIGTERM, SIGKILL after a second) at a clean stop; the number ended.
std::size_t turbo_mode_stop();
