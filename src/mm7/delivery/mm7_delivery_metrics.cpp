// What the delivery side counts for the monitoring endpoint.
#include <algorithm>
#include <cstdint>
#include <ctime>

#include "core/metrics.h"
#include "mm7/delivery/mm7_client_internal.h"
#include "mm7/delivery/mm7_delivery.h"
#include "mm7/delivery/mm7_spool.h"

namespace {

void collect() {
    const spool_totals totals = mm7_spool_totals();
    metrics_set("mm7_spool_entries", {}, static_cast<double>(totals.entries));
    metrics_set("mm7_spool_bytes", {}, static_cast<double>(totals.bytes));
    const std::int64_t age = totals.entries == 0 ? 0 : std::time(nullptr) - totals.oldest;
    metrics_set("mm7_spool_oldest_age_seconds", {},
                static_cast<double>(std::max<std::int64_t>(age, 0)));
    metrics_set("mm7_spool_bad_bytes", {}, static_cast<double>(totals.bad_bytes));
}

}  // namespace

void mm7_delivery_metrics_init() {
    metrics_describe("mm7_deliveries_total", metric_type::counter,
                     "Tries to deliver a received message to the VASP, by outcome.");
    metrics_describe("mm7_spool_entries", metric_type::gauge, "Messages in the delivery spool.");
    metrics_describe("mm7_spool_bytes", metric_type::gauge,
                     "Bytes of the PDUs in the delivery spool.");
    metrics_describe("mm7_spool_oldest_age_seconds", metric_type::gauge,
                     "Age of the oldest message in the delivery spool in seconds (0 when empty).");
    metrics_describe("mm7_spool_dropped_total", metric_type::counter,
                     "Messages dropped from the spool by a bound, by reason (age, size).");
    metrics_describe("mm7_spool_bad_total", metric_type::counter, "Spool entries moved to bad/.");
    metrics_describe("mm7_spool_bad_bytes", metric_type::gauge,
                     "Bytes of the undeliverable PDUs kept in spool/bad/.");
    metrics_add("mm7_spool_bad_total", {}, 0);
    metrics_add_collector(collect);
}

void mm7_count_delivery(delivery_outcome outcome) {
    metrics_add("mm7_deliveries_total", {{"outcome", delivery_outcome_label(outcome)}});
}
