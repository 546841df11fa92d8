// Turbo mode: per-port workers that talk MM1 to the operator's MMSC.
#pragma once

#include <cstdint>
#include <string_view>

struct outgoing_mms_info;
struct mms_message;
struct server_config;

// Starts turbo mode (forks a worker per port of turbo_mode_mask); with a mask of 0 it only
// remembers the configuration.
void turbo_mode_init(server_config& config, int& turbo_fd);

// Offers a complete submission to turbo mode: the request id when a worker took it, 0 when the
// submission goes the kernel path.
std::uint32_t turbo_mode_handle_message(outgoing_mms_info* client);
// Forgets a connection that is torn down while a worker holds its submission, so that the
// worker's late answer finds no request.
void turbo_mode_forget_client(outgoing_mms_info* client);
// Offers a notification of a message waiting at the MMSC (m-notification-ind) to the worker of
// port: non-zero when a worker took it (it copies what it needs; the caller keeps ownership), 0
// when no worker serves that port.
int turbo_mode_handle_incoming(std::uint32_t port, std::string_view imsi,
                               const mms_message& notification);
