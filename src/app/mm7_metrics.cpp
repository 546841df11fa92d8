#include "app/mm7_metrics.h"

#include "core/mainloop.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/delivery/mm7_delivery.h"
#include "mm7/delivery/mm7_spool.h"
#include "mm7/server/mm7_server.h"

void mm7_metrics_init() {
    mm7_server_metrics_init();
    mm7_delivery_metrics_init();
}

std::string mm7_health(const server_config& config) {
    std::string problems;
    if (config.xgate_fd < 0 || !mainloop_is_registered(config.xgate_fd)) {
        problems += "kernel link down\n";
    }
    if (!mm7_server_accepting(config)) {
        problems += "MM7 listener not accepting\n";
    }
    if (const std::string why = mm7_server_turning_away(); !why.empty()) {
        problems += "VASP connections turned away: " + why + "\n";
    }
    // With an account file, each account whose endpoint has failed for a while (as the single
    // VASP of the old options never was).
    if (!mm7_accounts_current()->file.empty()) {
        const std::int64_t bound = std::int64_t{config.retry_delay} * 10;
        for (const auto& [name, seconds] : mm7_spool_failing(bound)) {
            problems +=
                concat({"VASP ", name, " endpoint failing for ", std::to_string(seconds), " s\n"});
        }
    }
    return problems;
}
