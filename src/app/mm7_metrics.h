// What the MM7 server counts for the monitoring endpoint, and what its health depends on.
#pragma once

#include <string>

#include "core/config.h"
#include "mm7/delivery/mm7_client.h"

struct outgoing_mms_info;

// Describes the server's, the delivery's and the spool's metrics and the gauges read from their
// state.
void mm7_metrics_init(server_config& config);
// A submission answered: 200 with a SubmitRsp, a refusal (another HTTP status without an MM7
// document) or a fault (an MM7 document with a StatusCode other than success).
void mm7_count_reply(const outgoing_mms_info& info, int http_status, int mm7_status);
// A refusal by its status text ("413 Request Entity Too Large").
void mm7_count_refusal(const outgoing_mms_info& info, std::string_view status_text);
void mm7_count_delivery(delivery_outcome outcome);
// Why the daemon cannot serve, one reason per line; empty when it can.
std::string mm7_health(const server_config& config);
