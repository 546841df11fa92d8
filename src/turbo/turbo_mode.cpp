#include "turbo/turbo_mode.h"

#include "core/config.h"

namespace {
server_config* turbo_config = nullptr;
}

// Turbo mode is not available yet: every submission takes the kernel path.
void turbo_mode_init(server_config& config, int&) {
    turbo_config = &config;
}

std::uint32_t turbo_mode_handle_message(outgoing_mms_info*) {
    return 0;
}

void turbo_mode_forget_client(outgoing_mms_info*) {}

int turbo_mode_handle_incoming(std::uint32_t, std::string_view, const mms_message&) {
    return 0;
}
