// Fuzz entry point: a SubmitReq envelope from the network, and the documents made from it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // Whatever the strict check accepts, Mini-XML must load as well.
    require(!xml_check_document(text) || xml_load_document(text) != nullptr);
    // A refused SOAP envelope is answered with a fault in its own schema, well-formed too.
    std::string operation;
    mm7_refusal refusal;
    std::unique_ptr<mms_message> partial = ParseEnvelope(text, &operation, &refusal);
    if (refusal.status_code != 0) {
        require(partial != nullptr && (refusal.status_code == MM7_STATUS_ADDRESS_ERROR ||
                                       refusal.status_code == MM7_STATUS_VALIDATION_ERROR));
        std::string fault =
            mm7_submit_rsp(view_of(partial->transaction_id), refusal.status_code, refusal.text,
                           std::nullopt, mm7_answer_schema(partial.get()));
        require(size >= MM7_MAX_ENVELOPE_SIZE / 64 || xml_check_document(fault));
    }
    std::unique_ptr<mms_message> message = ParseEnvelope(text);
    if (!message) {
        return 0;
    }
    // What a successful parse guarantees to the rest of the daemon.
    require(message->route_by.has_value() && !message->route_by->empty());
    require(message->content_id && message->content_id->starts_with('<') &&
            message->content_id->ends_with('>'));
    require(message->delivery_report <= 1 && message->read_report <= 1);
    for (const auto* list : {&message->to, &message->cc, &message->bcc}) {
        require(!*list || !(*list)->empty());
    }

    // Every value written escaped keeps the documents well-formed.
    mms_message delivered;
    delivered.from = message->sender;
    delivered.to = message->to;
    delivered.cc = message->cc;
    delivered.bcc = message->bcc;
    delivered.subject = message->subject;
    delivered.recipient = message->route_by;
    std::string status =
        mm7_submit_rsp(std::nullopt, 4000, view_of(message->subject), std::nullopt);
    std::string deliver = mm7_deliver_req(delivered);
    std::string report = mm7_read_reply_req(delivered);
    // Escaping grows a text at most sixfold, and one text may land in several fields.
    if (size < MM7_MAX_ENVELOPE_SIZE / 64) {
        require(xml_check_document(status));
        require(xml_check_document(deliver));
        require(xml_check_document(report));
    }
    return 0;
}
