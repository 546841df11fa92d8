#include "app/mm7_metrics.h"

#include <algorithm>
#include <ctime>

#include "core/mainloop.h"
#include "core/metrics.h"
#include "mm7/server/mm7_server.h"
#include "mm7/delivery/mm7_spool.h"
#include "xgate/xgate.h"

namespace {

void observe_duration(const outgoing_mms_info& info) {
    if (info.request_end > 0) {
        metrics_observe("mm7_submission_duration_seconds", metrics_clock() - info.request_end);
    }
}

void collect() {
    metrics_set("mm7_vasp_connections", {}, static_cast<double>(mm7_client_count()));
    const auto used = std::count_if(callid_table.begin(), callid_table.end(),
                                    [](const callid_slot& s) { return s.client != nullptr; });
    metrics_set("mm7_kernel_callid_slots_used", {}, static_cast<double>(used));
    const spool_totals totals = mm7_spool_totals();
    metrics_set("mm7_spool_entries", {}, static_cast<double>(totals.entries));
    metrics_set("mm7_spool_bytes", {}, static_cast<double>(totals.bytes));
    const std::int64_t age = totals.entries == 0 ? 0 : std::time(nullptr) - totals.oldest;
    metrics_set("mm7_spool_oldest_age_seconds", {},
                static_cast<double>(std::max<std::int64_t>(age, 0)));
}

}  // namespace

void mm7_metrics_init(server_config&) {
    metrics_describe("mm7_submissions_accepted_total", metric_type::counter,
                     "Submissions answered 200 with a SubmitRsp.");
    metrics_describe("mm7_submissions_refused_total", metric_type::counter,
                     "Submissions refused without an MM7 document, by HTTP status.");
    metrics_describe("mm7_submissions_faults_total", metric_type::counter,
                     "Submissions answered with an MM7 fault, by StatusCode.");
    metrics_describe("mm7_submission_duration_seconds", metric_type::histogram,
                     "Seconds from the end of a submission's request to its reply.",
                     {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60});
    metrics_describe("mm7_vasp_connections", metric_type::gauge, "Open VASP connections.");
    metrics_describe("mm7_kernel_callid_slots_used", metric_type::gauge,
                     "Submissions waiting for the kernel module (call-id slots in use).");
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
    metrics_add("mm7_submissions_accepted_total", {}, 0);
    metrics_add("mm7_spool_bad_total", {}, 0);
    metrics_add_collector(collect);
}

void mm7_count_reply(const outgoing_mms_info& info, int http_status, int mm7_status) {
    if (http_status == 200) {
        metrics_add("mm7_submissions_accepted_total");
    } else {
        metrics_add("mm7_submissions_faults_total", {{"status_code", std::to_string(mm7_status)}});
    }
    observe_duration(info);
}

void mm7_count_refusal(const outgoing_mms_info& info, std::string_view status_text) {
    metrics_add("mm7_submissions_refused_total", {{"status", status_text.substr(0, 3)}});
    observe_duration(info);
}

void mm7_count_delivery(delivery_outcome outcome) {
    metrics_add("mm7_deliveries_total", {{"outcome", delivery_outcome_label(outcome)}});
}

std::string mm7_health(const server_config& config) {
    std::string problems;
    if (config.xgate_fd < 0 || !mainloop_is_registered(config.xgate_fd)) {
        problems += "kernel link down\n";
    }
    if (!mm7_server_accepting(config)) {
        problems += "MM7 listener not accepting\n";
    }
    return problems;
}
