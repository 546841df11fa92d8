// What the delivery side counts for the monitoring endpoint.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <map>
#include <set>

#include "core/metrics.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/delivery/mm7_client_internal.h"
#include "mm7/delivery/mm7_delivery.h"
#include "mm7/delivery/mm7_spool.h"
#include "mm7/delivery/mm7_spool_bad.h"

namespace {

// Spool series by account when the accounts come from a file; as a whole, as ever, without one.
void collect() {
    static std::set<std::string, std::less<>> shown;  // every account a series was written for
    const bool named = !mm7_accounts_current()->file.empty();
    std::map<std::string, spool_totals, std::less<>> totals;
    for (const auto& [name, t] : mm7_spool_totals()) {
        spool_totals& sum = totals[named ? name : ""];
        sum.oldest = sum.entries == 0 ? t.oldest : std::min(sum.oldest, t.oldest);
        sum.entries += t.entries;
        sum.bytes += t.bytes;
    }
    if (named) {
        metrics_set("mm7_deliveries_unroutable", {}, static_cast<double>(totals[""].entries));
        totals.erase("");
        for (const vasp_account& account : mm7_accounts_current()->accounts) {
            shown.insert(account.name);
            for (const char* reason : {"age", "size"}) {
                metrics_add("mm7_spool_dropped_total", {{"reason", reason}, {"vasp", account.name}},
                            0);
            }
        }
        for (const std::string& name : shown) {
            totals.try_emplace(name);  // an account a reload removed: its queue is empty
        }
    } else {
        totals.try_emplace("");
        metrics_add("mm7_spool_dropped_total", {{"reason", "age"}}, 0);
        metrics_add("mm7_spool_dropped_total", {{"reason", "size"}}, 0);
    }
    const std::int64_t now = std::time(nullptr);
    for (const auto& [name, t] : totals) {
        const std::int64_t age = t.entries == 0 ? 0 : std::max<std::int64_t>(now - t.oldest, 0);
        for (const auto& [metric, value] :
             {std::pair{"mm7_spool_entries", static_cast<double>(t.entries)},
              {"mm7_spool_bytes", static_cast<double>(t.bytes)},
              {"mm7_spool_oldest_age_seconds", static_cast<double>(age)}}) {
            named ? metrics_set(metric, {{"vasp", name}}, value) : metrics_set(metric, {}, value);
        }
    }
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
    metrics_describe("mm7_deliveries_unroutable", metric_type::gauge,
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
    const std::string_view label = delivery_outcome_label(outcome);
    vasp.empty() ? metrics_add("mm7_deliveries_total", {{"outcome", label}})
                 : metrics_add("mm7_deliveries_total", {{"outcome", label}, {"vasp", vasp}});
}
