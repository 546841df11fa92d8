// Every MM7 document the daemon writes, built by concatenation of fixed texts and values.
//
// Every value goes through xml_escape, identifiers (transaction and message ids, priority, the
// status fields of reports) included: an identifier holding "&" or "<" would otherwise make the
// document unreadable for the VASP.  Ordinary identifiers come out unchanged.
#include <ctime>

#include "core/string_utils.h"
#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

constexpr std::string_view ENVELOPE_NS = "http://schemas.xmlsoap.org/soap/envelope/";

mm7_schema default_schema{
    "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2", "5.3.0"};

// Fault code written for a status code of 0.
constexpr int MM7_FAULT_DEFAULT_CODE = 3000;

std::string escaped(opt_view value) {
    return xml_escape(value).value_or(std::string());
}

std::string escaped(const opt_text& value) {
    return escaped(view_of(value));
}

std::string wrap_envelope(opt_view transaction_id, std::string_view body,
                          const mm7_schema& schema = default_schema) {
    return concat({"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<env:Envelope xmlns:env=\"",
                   ENVELOPE_NS, "\">\n<env:Header>\n<TransactionID xmlns=\"",
                   escaped(opt_view(schema.ns)), "\" env:mustUnderstand=\"1\">",
                   escaped(transaction_id), "</TransactionID>\n</env:Header>\n<env:Body>\n", body,
                   "</env:Body>\n</env:Envelope>\n"});
}

// The date of a report: the message's own, else now.
std::string report_date(std::uint64_t date) {
    return mm7_format_date(date != 0 ? static_cast<std::time_t>(date) : std::time(nullptr));
}

// The opening of a document body: its element in the schema's namespace, and the MM7Version.
std::string opening(std::string_view element, const mm7_schema& schema, std::string_view between) {
    return concat({"<", element, " xmlns=\"", escaped(opt_view(schema.ns)), "\">", between,
                   "<MM7Version>", escaped(opt_view(schema.version)), "</MM7Version>"});
}

}  // namespace

const mm7_schema& mm7_default_schema() {
    return default_schema;
}

void mm7_set_default_schema(std::string_view ns, std::string_view version) {
    if (!ns.empty()) {
        default_schema.ns = ns;
    }
    if (!version.empty()) {
        default_schema.version = version;
    }
}

mm7_schema mm7_answer_schema(const mms_message* request) {
    mm7_schema schema = default_schema;
    if (request != nullptr && request->mm7_namespace) {
        schema.ns = *request->mm7_namespace;
    }
    if (request != nullptr && request->mm7_version) {
        schema.version = *request->mm7_version;
    }
    return schema;
}

std::string mm7_submit_rsp(opt_view transaction_id, int status_code, opt_view status_text,
                           opt_view message_id, const mm7_schema& schema) {
    std::string body;
    if (status_code != 0 && status_code < 2000) {
        body = concat({opening("SubmitRsp", schema, "\n"), "\n<Status>\n<StatusCode>",
                       itoa_dec(status_code), "</StatusCode>\n<StatusText>", escaped(status_text),
                       "</StatusText>\n</Status>\n<MessageID>", escaped(message_id),
                       "</MessageID>\n</SubmitRsp>"});
    } else {
        int code = status_code == 0 ? MM7_FAULT_DEFAULT_CODE : status_code;
        body =
            concat({"<env:Fault>\n<faultcode>env:Client</faultcode>\n<faultstring>Client "
                    "error</faultstring>\n<detail>\n",
                    opening("RSErrorRsp", schema, "\n"), "\n<Status>\n<StatusCode>", itoa_dec(code),
                    "</StatusCode>\n<StatusText>", escaped(status_text),
                    "</StatusText>\n</Status>\n</RSErrorRsp>\n</detail>\n</env:Fault>\n"});
    }
    return wrap_envelope(transaction_id, body, schema);
}

std::string mm7_deliver_req(const mms_message& message) {
    std::string body = concat({opening("DeliverReq", default_schema, "\n"), "\n<Sender><Number>",
                               escaped(message.from), "</Number></Sender>\n<Recipients>\n"});
    auto add_recipients = [&body](const std::optional<text_list>& list, std::string_view kind) {
        if (!list) {
            return;
        }
        for (const std::string& address : *list) {
            body += concat(
                {"<", kind, "><Number>", escaped(opt_view(address)), "</Number></", kind, ">"});
        }
    };
    add_recipients(message.to, "To");
    add_recipients(message.cc, "Cc");
    add_recipients(message.bcc, "Bcc");
    body += "</Recipients>\n";
    if (message.priority) {
        body += concat({"<Priority>", escaped(message.priority), "</Priority>\n"});
    }
    if (message.subject) {
        body += concat({"<Subject>", escaped(message.subject), "</Subject>\n"});
    }
    body += "<Content href=\"cid:mms_cid\" />\n</DeliverReq>";
    return wrap_envelope(view_of(message.transaction_id), body);
}

std::string mm7_delivery_report_req(const mms_message& message) {
    const opt_text& recipient = message.recipient ? message.recipient : message.gateway_recipient;
    const opt_text& sender = message.from ? message.from : message.gateway_sender;
    std::string body =
        concat({opening("DeliveryReportReq", default_schema, ""), "<MessageID>",
                escaped(message.message_id), "</MessageID><Recipient><Number>", escaped(recipient),
                "</Number></Recipient><Sender><Number>", escaped(sender),
                "</Number></Sender><Date>", report_date(message.date), "</Date><MMStatus>",
                escaped(message.status), "</MMStatus></DeliveryReportReq>"});
    return wrap_envelope(view_of(message.transaction_id), body);
}

std::string mm7_read_reply_req(const mms_message& message) {
    // Like a delivery report, a read report names its parties from the indication when the PDU
    // does not.
    const opt_text& recipient = message.recipient ? message.recipient : message.gateway_recipient;
    const opt_text& sender = message.from ? message.from : message.gateway_sender;
    std::string body = concat(
        {opening("ReadReplyReq", default_schema, ""), "<MessageID>", escaped(message.message_id),
         "</MessageID><Recipient><Number>", escaped(recipient),
         "</Number></Recipient><Sender><Number>", escaped(sender), "</Number></Sender><TimeStamp>",
         report_date(message.date), "</TimeStamp><MMStatus>",
         message.read_status ? escaped(message.read_status) : std::string("Indeterminate"),
         "</MMStatus></ReadReplyReq>"});
    return wrap_envelope(view_of(message.transaction_id), body);
}
