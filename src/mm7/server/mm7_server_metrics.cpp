// What the VASP-facing server counts for the monitoring endpoint.
#include <algorithm>

#include "core/metrics.h"
#include "mm7/server/mm7_server.h"
#include "mm7/server/mm7_server_internal.h"
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
}

}  // namespace

void mm7_server_metrics_init() {
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
    metrics_describe("mm7_vasp_rate_limited_total", metric_type::counter,
                     "Submissions answered 4006 because their VASP passed its rate, by account.");
    metrics_describe("mm7_kernel_callid_slots_used", metric_type::gauge,
                     "Submissions waiting for the kernel module (call-id slots in use).");
    metrics_add("mm7_submissions_accepted_total", {}, 0);
    metrics_add_collector(collect);
}

// The account a submission is counted under: only when the accounts come from a file, and once
// the request is known to be the account's.
std::string_view vasp_of(const outgoing_mms_info& info) {
    return info.account != nullptr && !info.accounts->file.empty()
               ? std::string_view(info.account->name)
               : std::string_view();
}

void mm7_count_reply(const outgoing_mms_info& info, int http_status, int mm7_status) {
    const std::string_view vasp = vasp_of(info);
    if (http_status == 200) {
        vasp.empty() ? metrics_add("mm7_submissions_accepted_total")
                     : metrics_add("mm7_submissions_accepted_total", {{"vasp", vasp}});
    } else {
        const std::string code = std::to_string(mm7_status);
        vasp.empty()
            ? metrics_add("mm7_submissions_faults_total", {{"status_code", code}})
            : metrics_add("mm7_submissions_faults_total", {{"status_code", code}, {"vasp", vasp}});
    }
    observe_duration(info);
}

void mm7_count_refusal(const outgoing_mms_info& info, std::string_view status_text) {
    const std::string_view vasp = vasp_of(info), status = status_text.substr(0, 3);
    vasp.empty()
        ? metrics_add("mm7_submissions_refused_total", {{"status", status}})
        : metrics_add("mm7_submissions_refused_total", {{"status", status}, {"vasp", vasp}});
    observe_duration(info);
}

void mm7_count_rate_limited(const vasp_account& account) {
    metrics_add("mm7_vasp_rate_limited_total", {{"vasp", account.name}});
}
