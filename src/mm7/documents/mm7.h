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

// MM7 statuses of the faults that answer a request the daemon cannot take: an address the PDU
// cannot carry, an operation other than SubmitReq, and a SubmitReq without a required element or
// with a value of the wrong form.
inline constexpr int MM7_STATUS_ADDRESS_ERROR = 2002;
inline constexpr int MM7_STATUS_UNSUPPORTED_OPERATION = 4003;
inline constexpr int MM7_STATUS_VALIDATION_ERROR = 4004;

// Why a SOAP envelope is no SubmitReq the daemon can carry: the status and text of its fault.
struct mm7_refusal {
    int status_code = 0;  // 0: not refused
    std::string text;
};

// Parses the SOAP envelope of a SubmitReq; nullptr after logging the reason.  When the Body holds
// another operation instead (CancelReq, ReplaceReq, ...) and `operation` is given, it receives
// the operation's name and the record returned holds only the TransactionID, MM7 namespace and
// MM7Version.  When `refusal` is given and the text is a SOAP envelope that is refused, it
// receives the fault's status and the reason logged, and the record returned holds as much of
// those three as was read.
std::unique_ptr<mms_message> ParseEnvelope(std::string_view text, std::string* operation = nullptr,
                                           mm7_refusal* refusal = nullptr);

// The MM7 schema a document is written in: its namespace URI and MM7Version.
struct mm7_schema {
    std::string ns;
    std::string version;
};
// The schema of the requests the daemon sends to the VASP and of answers to a request that names
// none: REL-5-MM7-1-2 with 5.3.0 unless set (an empty text keeps that piece).
const mm7_schema& mm7_default_schema();
void mm7_set_default_schema(std::string_view ns, std::string_view version);
// The schema of the answer to a request: the request's own namespace and MM7Version, each as far
// as it named one, else the default.
mm7_schema mm7_answer_schema(const mms_message* request);

// Derives from from sender ("##TARGET##", "##FORCE##...") and route_by.
void mm7_apply_sender_markers(mms_message& message);

opt_text xml_escape(opt_view text);
// A time in UTC as MM7 writes it: "2023-11-14T22:13:20Z" ("" beyond the range of years).
std::string mm7_format_date(std::time_t t);
// An xs:dateTime (an instant; without a zone designator it is local time) or an xs:duration (a
// length of time whose years and months are counted on the calendar from `now`, in UTC),
// surrounding blanks aside, rounded to the nearest second.  std::nullopt for any other text, and
// for what the PDU cannot carry: an instant before 1970 or after 2106-02-07T06:28:15Z, a negative
// duration or one longer than 2^32 - 1 seconds.
std::optional<mms_time> mm7_parse_date(std::string_view text, std::time_t now);

// SubmitRsp for codes 1..1999, else an RSErrorRsp fault (code 0 is written as 3000).
std::string mm7_submit_rsp(opt_view transaction_id, int status_code, opt_view status_text,
                           opt_view message_id, const mm7_schema& schema = mm7_default_schema());
std::string mm7_deliver_req(const mms_message& message);
std::string mm7_delivery_report_req(const mms_message& message);
std::string mm7_read_reply_req(const mms_message& message);
