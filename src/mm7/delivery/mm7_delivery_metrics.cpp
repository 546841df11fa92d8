// What the delivery side counts for the monitoring endpoint.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <set>

#include "core/metrics.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/delivery/mm7_client_internal.h"
#include "mm7/delivery/mm7_delivery.h"
#include "mm7/delivery/mm7_spool.h"
#include "mm7/delivery/mm7_spool_bad.h"

namespace {

void collect() {
    static std::set<std::string, std::less<>> shown;  // every account a series was written for
    auto totals = mm7_spool_totals();
    const spool_totals unroutable = totals[""];
    totals.erase("");
    for (const vasp_account& account : mm7_accounts_current()->accounts) {
        totals.try_emplace(account.name);
        for (const char* reason : {"age", "size"}) {
            metrics_add("mm7_spool_dropped_total", {{"reason", reason}, {"vasp", account.name}}, 0);
        }
    }
    for (const std::string& name : shown) {
        totals.try_emplace(name);  // an account a reload removed: its queue is empty
    }
    const std::int64_t now = std::time(nullptr);
    for (const auto& [name, t] : totals) {
        shown.insert(name);
        metrics_set("mm7_spool_entries", {{"vasp", name}}, static_cast<double>(t.entries));
        metrics_set("mm7_spool_bytes", {{"vasp", name}}, static_cast<double>(t.bytes));
        const std::int64_t age = t.entries == 0 ? 0 : now - t.oldest;
        metrics_set("mm7_spool_oldest_age_seconds", {{"vasp", name}},
                    static_cast<double>(std::max<std::int64_t>(age, 0)));
    }
    metrics_set("mm7_spool_unroutable_entries", {}, static_cast<double>(unroutable.entries));
    metrics_set("mm7_spool_bad_bytes", {}, static_cast<double>(spool_bad_bytes()));
}

}  // namespace

void mm7_delivery_metrics_init() {
    metrics_describe("mm7_deliveries_total", metric_type::counter,
                     "Tries to deliver a received message to a VASP, by outcome and account.");
    metrics_describe("mm7_spool_entries", metric_type::gauge,
                     "Messages in the delivery spool, by VASP account.");
    metrics_describe("mm7_spool_bytes", metric_type::gauge,
                     "Bytes of the PDUs in the delivery spool, by VASP account.");
    metrics_describe("mm7_spool_oldest_age_seconds", metric_type::gauge,
                     "Age of the oldest message in the delivery spool in seconds (0 when empty), "
                     "by VASP account.");
    metrics_describe("mm7_spool_unroutable_entries", metric_type::gauge,
                     "Messages in the delivery spool that no VASP account takes.");
    metrics_describe("mm7_spool_dropped_total", metric_type::counter,
                     "Messages dropped from the spool by a bound, by reason (age, size) and "
                     "account.");
    metrics_describe("mm7_spool_bad_total", metric_type::counter, "Spool entries moved to bad/.");
    metrics_describe("mm7_spool_bad_bytes", metric_type::gauge,
                     "Bytes of the undeliverable PDUs kept in spool/bad/.");
    metrics_add("mm7_spool_bad_total", {}, 0);
    metrics_add_collector(collect);
}

void mm7_count_delivery(delivery_outcome outcome, std::string_view vasp) {
    metrics_add("mm7_deliveries_total",
                {{"outcome", delivery_outcome_label(outcome)}, {"vasp", vasp}});
}
