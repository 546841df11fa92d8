// MM7 SOAP documents: SubmitReq parsing, XML helpers, dates and every document the daemon writes.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "core/string_utils.h"
#include "mm7/mms_message.h"

// Parses the SOAP envelope of a SubmitReq; nullptr after logging the reason.
std::unique_ptr<mms_message> ParseEnvelope(std::string_view text);

// Derives from from sender ("##TARGET##", "##FORCE##...") and route_by.
void mm7_apply_sender_markers(mms_message& message);

opt_text xml_escape(opt_view text);
std::string mm7_format_date(std::time_t t);
std::uint32_t mm7_parse_date(opt_view text);

// SubmitRsp for codes 1..1999, else an RSErrorRsp fault (code 0 is written as 3000).
std::string mm7_submit_rsp(opt_view transaction_id, int status_code, opt_view status_text,
                           opt_view message_id);
std::string mm7_deliver_req(const mms_message& message);
std::string mm7_delivery_report_req(const mms_message& message);
std::string mm7_read_reply_req(const mms_message& message);
