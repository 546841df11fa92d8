// mm7_server: entry point and start-up sequence.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "mm7/mm7_server.h"
#include "turbo/turbo_mode.h"
#include "xgate/xgate.h"

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);

    auto config = std::make_unique<server_config>();
    switch (parse_options(argc, argv, *config)) {
        case option_result::help:
            std::fputs(usage_text().c_str(), stdout);
            return 0;
        case option_result::version:
            std::printf("mm7_server %s\n", MM7_VERSION);
            return 0;
        case option_result::run:
            break;
    }
    if (!config->log_file_given) {
        log_file = std::fopen(DEFAULT_LOG_FILE, "w");
        if (log_file == nullptr) {
            std::fprintf(stderr, "mm7_server: cannot open log file %s: %s\n", DEFAULT_LOG_FILE,
                         std::strerror(errno));
        }
    }
    if (!check_client_url(*config)) {
        return -1;
    }
    write_pid_file(*config);

    turbo_mode_init(*config, config->turbo_fd);
    xgate_open(*config, config->xgate_fd);
    mm7_server_init(*config, config->server_fd);

    mainloop_run(1);
    return 0;
}
