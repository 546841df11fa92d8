// Reading the SOAP envelope of a SubmitReq into the message record.
#include <cctype>
#include <string>

#include "core/log.h"
#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

// The first element inside node (comments and the like are not elements), or nullptr.
mxml_node_t* first_element(mxml_node_t* node) {
    for (mxml_node_t* child = mxmlGetFirstChild(node); child != nullptr;
         child = mxmlGetNextSibling(child)) {
        const char* name = mxmlGetElement(child);
        if (mxmlGetType(child) == MXML_ELEMENT && name != nullptr && name[0] != '!' &&
            name[0] != '?') {
            return child;
        }
    }
    return nullptr;
}

// The reference of a cid: URL (RFC 2392): %-escapes decoded; angle brackets around it, which some
// writers add, are not part of it.
std::string cid_reference(std::string_view url) {
    std::string id;
    for (std::size_t i = 0; i < url.size(); ++i) {
        const auto hex = [&](std::size_t at) {
            const char c = at < url.size() ? url[at] : '\0';
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        };
        if (url[i] == '%' && hex(i + 1) && hex(i + 2)) {
            id += static_cast<char>(std::stoi(std::string(url.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            id += url[i];
        }
    }
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') {
        id = id.substr(1, id.size() - 2);
    }
    return id;
}

// First text of a list, if any.
opt_text first_of(const std::optional<text_list>& list) {
    if (!list || list->empty()) {
        return std::nullopt;
    }
    return list->front();
}

}  // namespace

std::unique_ptr<mms_message> ParseEnvelope(std::string_view text, std::string* operation) {
    // The tree and the record are released by their owners on every way out.
    xml_tree tree = xml_load_document(text);
    if (!tree) {
        log_printf("ParseEnvelope: Invalid envelope XML");
        return nullptr;
    }
    auto refuse = [](const char* reason) -> std::unique_ptr<mms_message> {
        log_printf("ParseEnvelope: %s", reason);
        return nullptr;
    };
    mxml_node_t* top = tree.get();

    mxml_node_t* header = xml_find_element(top, "Header");
    if (header == nullptr) {
        return refuse("Invalid envelope: no header found");
    }
    mxml_node_t* transaction_id = xml_find_element(header, "TransactionID");
    if (transaction_id == nullptr) {
        return refuse("Invalid envelope: transaction ID not found");
    }
    auto message = std::make_unique<mms_message>();
    message->transaction_id = xml_get_element_text(transaction_id);

    mxml_node_t* body = xml_find_element(top, "Body");
    if (body == nullptr) {
        return refuse("Invalid envelope: no body found");
    }
    mxml_node_t* submit_req = xml_find_element(body, "SubmitReq");
    mxml_node_t* other = submit_req == nullptr ? first_element(body) : nullptr;
    if (other != nullptr && operation != nullptr) {
        std::string_view name = mxmlGetElement(other);
        *operation = name.substr(name.find(':') + 1);
        log_printf("ParseEnvelope: unsupported operation %s", log_escape(*operation).c_str());
        return message;
    }
    if (submit_req == nullptr) {
        return refuse("Invalid envelope: no submit_req found");
    }
    if (mxml_node_t* sender = xml_find_element(submit_req, "SenderIdentification")) {
        message->sender = xml_get_element_text(sender);
    }

    mxml_node_t* recipients = xml_find_element(submit_req, "Recipients");
    if (recipients == nullptr) {
        return refuse("Invalid submit_req: no recipients");
    }
    if (mxml_node_t* route_by = xml_find_element(recipients, "RouteBy")) {
        message->route_by = first_of(xml_get_element_texts(route_by));
    }
    message->bcc = xml_get_element_texts(xml_find_element(recipients, "Bcc"));
    message->cc = xml_get_element_texts(xml_find_element(recipients, "Cc"));
    message->to = xml_get_element_texts(xml_find_element(recipients, "To"));
    if (!message->route_by) {
        message->route_by = first_of(message->to);
    }
    if (!message->route_by) {
        message->route_by = first_of(message->cc);
    }
    if (!message->route_by) {
        message->route_by = first_of(message->bcc);
    }
    if (!message->route_by) {
        return refuse("submit_req contains no recipients");
    }

    mm7_apply_sender_markers(*message);

    mxml_node_t* content = xml_find_element(submit_req, "Content");
    if (content == nullptr) {
        return refuse("submit_req contains no Content element");
    }
    constexpr std::string_view cid_scheme = "cid:";
    const char* href = mxmlElementGetAttr(content, "href");
    std::string scheme(href != nullptr ? std::string_view(href).substr(0, cid_scheme.size()) : "");
    if (href == nullptr || strtolower(scheme) != cid_scheme) {  // URL schemes ignore case
        return refuse("submit_req Content invalid href");
    }
    message->content_id =
        concat({"<", cid_reference(std::string_view(href).substr(cid_scheme.size())), ">"});

    if (mxml_node_t* reply_charging = xml_find_element(submit_req, "ReplyCharging")) {
        const char* size = mxmlElementGetAttr(reply_charging, "replyChargingSize");
        message->reply_charging_size =
            strdup_nonempty(size != nullptr ? opt_view(size) : std::nullopt);
        const char* deadline = mxmlElementGetAttr(reply_charging, "replyDeadline");
        message->reply_deadline =
            mm7_parse_date(deadline != nullptr ? opt_view(deadline) : std::nullopt);
    }

    message->message_class = xml_get_element_text(xml_find_element(submit_req, "MessageClass"));
    message->priority = xml_get_element_text(xml_find_element(submit_req, "Priority"));
    message->subject = xml_get_element_text(xml_find_element(submit_req, "Subject"));
    message->delivery_report =
        static_cast<std::uint32_t>(xml_get_element_bool(submit_req, "DeliveryReport"));
    message->read_report =
        static_cast<std::uint32_t>(xml_get_element_bool(submit_req, "ReadReply"));
    message->expiry =
        mm7_parse_date(view_of(xml_get_element_text(xml_find_element(submit_req, "ExpiryDate"))));
    return message;
}
