// mm7_server: entry point, start-up sequence, signals, and the wiring between the rooms: the
// kernel link's received messages go to the delivery side, and the monitoring endpoint reads
// every room.
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/mm7_accounts_setup.h"
#include "app/mm7_metrics.h"
#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "core/metrics_server.h"
#include "core/service_notify.h"
#include "core/signals.h"
#include "mm7/delivery/mm7_client.h"
#include "mm7/delivery/mm7_delivery.h"
#include "mm7/delivery/mm7_spool.h"
#include "mm7/documents/mm7.h"
#include "mm7/server/mm7_server.h"
#include "turbo/turbo_mode.h"
#include "xgate/xgate.h"

namespace {

// Result of the event loop after a clean stop.
constexpr int kStopped = 0x5707;
// How long a clean stop waits for replies and deliveries still under way.
constexpr std::int64_t kStopGraceSeconds = 5;

struct stop_state {
    bool stopping = false;
    std::int64_t deadline = 0;  // ticks
    std::size_t answered = 0;
};

// A reload (reopening the log, reading the TLS files again) as the service manager wants to hear of
// it, with the time it began on the monotonic clock.
std::string reloading_message() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return "RELOADING=1\nMONOTONIC_USEC=" +
           std::to_string(static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}

bool work_left() {
    return mm7_server_unsent_replies() != 0 || mm7_delivery_count() != 0;
}

int finish_stop(const server_config& config, const stop_state& stop) {
    if (work_left()) {
        log_warning("Stop: gave up waiting, %zu replies unsent, %zu deliveries unfinished",
                    mm7_server_unsent_replies(), mm7_delivery_count());
    }
    std::size_t workers = turbo_mode_stop();
    std::string pid_path = config.workdir + PID_FILE_NAME;
    std::remove(pid_path.c_str());
    log_info(
        "Stopped cleanly: %zu waiting submissions answered, %zu turbo workers ended, pid "
        "file removed",
        stop.answered, workers);
    return kStopped;
}

int handle_signal(process_signal what, server_config& config, stop_state& stop) {
    if (what == process_signal::reopen_log) {
        service_notify(reloading_message());
        if (log_reopen(config.log_path)) {
            log_info("Log file %s reopened", config.log_path.c_str());
        } else {
            log_error("Cannot reopen log file %s, keeping the old one", config.log_path.c_str());
        }
        mm7_accounts_reload(config);
        mm7_server_tls_reload(config);
        service_notify(stop.stopping ? "STOPPING=1" : "READY=1");
        return 0;
    }
    if (stop.stopping) {
        log_info("Stop already under way");
        return 0;
    }
    stop.stopping = true;
    service_notify("STOPPING=1");
    log_info("Stop requested: no new connections, answering waiting submissions");
    stop.answered = mm7_server_shutdown(config);
    mm7_spool_stop();
    if (!work_left()) {
        return finish_stop(config, stop);
    }
    stop.deadline = ticks_now() + kStopGraceSeconds * ticks_per_second;
    mainloop_add_tick([&config, &stop] {
        if (work_left() && stop.deadline - ticks_now() > 0) {
            return 0;
        }
        return finish_stop(config, stop);
    });
    return 0;
}

}  // namespace

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
    if (!config->log_file_given && !config->check_only) {
        log_file = std::fopen(DEFAULT_LOG_FILE, "w");
        if (log_file == nullptr) {
            std::fprintf(stderr, "mm7_server: cannot open log file %s: %s\n", DEFAULT_LOG_FILE,
                         std::strerror(errno));
        }
    }
    log_threshold = config->loglevel;
    if (!config->unknown_loglevel.empty()) {
        log_warning("--loglevel %s is not a level (debug, info, warning, error), logging at debug",
                    log_escape(config->unknown_loglevel).c_str());
    }
    log_flush_on_fatal_signals();
    service_notify_init();
    if (!load_client_url(*config)) {
        return 1;
    }
    if (!check_client_url(*config)) {
        return -1;
    }
    if (!load_client_auth(*config) || !mm7_client_tls_init(*config) ||
        !turbo_mode_check_tls(*config)) {
        log_flush();
        return 1;
    }
    if (!mm7_accounts_start(*config)) {
        log_flush();
        return 1;
    }
    if (!mm7_server_tls_init(*config)) {
        log_flush();
        return 1;
    }
    if (config->check_only) {
        std::printf("mm7_server: the configuration is good\n");
        return 0;
    }
    mm7_set_default_schema(config->mm7_namespace, config->mm7_version);
    if (!config->mm7_namespace.empty() || !config->mm7_version.empty()) {
        log_info("MM7 requests to the VASP in %s, MM7Version %s",
                 log_escape(mm7_default_schema().ns).c_str(),
                 log_escape(mm7_default_schema().version).c_str());
    }
    write_pid_file(*config);
    // As many descriptors as the system allows this process (and the workers it forks): each
    // kind of peer is bounded on its own, and together they must not run out.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        const rlim_t before = files.rlim_cur;
        files.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &files) == 0) {
            log_info("Open files limit raised from %llu to %llu",
                     static_cast<unsigned long long>(before),
                     static_cast<unsigned long long>(files.rlim_max));
        }
    }

    turbo_mode_init(*config, config->turbo_fd);
    // Workers are forked by now; they keep the default dispositions.
    stop_state stop;
    server_config& cfg = *config;
    if (!signals_init(
            [&cfg, &stop](process_signal what) { return handle_signal(what, cfg, stop); })) {
        return 1;
    }
    xgate_open(*config, config->xgate_fd);
    // The spool is taken in before the listener announces the start; its deliveries begin in
    // the event loop.
    mm7_message_owners_start(*config);
    if (!mm7_spool_init(*config)) {
        return 1;
    }
    mm7_server_init(*config, config->server_fd);
    xgate_hooks_table.on_mms_rcv_ind = HandleXgateMmsRcvInd;
    mm7_metrics_init();
    metrics_server_open(cfg.metrics_port, [&cfg] { return mm7_health(cfg); });
    // The listener takes connections and the kernel link is open: the service is up, and its
    // start is in the log by the time the service manager says so.
    log_flush();
    service_notify("READY=1");
    if (service_watchdog_interval().count() > 0) {
        mainloop_add_tick([] {
            service_watchdog_tick();
            return 0;
        });
    }

    mainloop_run(1);
    return 0;
}
