// MM7 SOAP documents: SubmitReq parsing, XML helpers, dates and every document the daemon writes.
// This room (src/mm7/documents) uses core and the message record only; the VASP-facing server and
// the delivery side both build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "core/string_utils.h"
#include "mm7/mms_message.h"

// Bounds on a SubmitReq envelope.  A real envelope is a few kilobytes and about eight elements
// deep (Envelope/Body/SubmitReq/Recipients/To/Number), with a handful of attributes per element;
// even a submission to thousands of recipients stays far below these.  The HTTP request parser
// refuses a larger envelope before collecting it, and ParseEnvelope refuses anything beyond them
// as invalid XML, so a hostile envelope can cost only time and memory in proportion to its size.
inline constexpr std::size_t MM7_MAX_ENVELOPE_SIZE = 256 * 1024;  // bytes
inline constexpr std::size_t MM7_MAX_XML_DEPTH = 64;              // nested elements
inline constexpr std::size_t MM7_MAX_XML_ATTRIBUTES = 64;         // attributes of one element

// MM7 status of the fault that answers a request for an operation other than SubmitReq.
inline constexpr int MM7_STATUS_UNSUPPORTED_OPERATION = 4003;

// Parses the SOAP envelope of a SubmitReq; nullptr after logging the reason.  When the Body holds
// another operation instead (CancelReq, ReplaceReq, ...) and `operation` is given, it receives
// the operation's name and the record returned holds only the TransactionID.
std::unique_ptr<mms_message> ParseEnvelope(std::string_view text, std::string* operation = nullptr);

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
