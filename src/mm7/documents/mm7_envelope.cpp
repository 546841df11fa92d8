// Reading the SOAP envelope of a SubmitReq into the message record.
#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>

#include "core/log.h"
#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

// An element node that is an element, not a comment, CDATA section or processing instruction.
bool is_element(mxml_node_t* node) {
    const char* name = mxmlGetElement(node);
    return mxmlGetType(node) == MXML_ELEMENT && name != nullptr && name[0] != '!' && name[0] != '?';
}

// The first element inside node, or nullptr.
mxml_node_t* first_element(mxml_node_t* node) {
    for (mxml_node_t* child = mxmlGetFirstChild(node); child != nullptr;
         child = mxmlGetNextSibling(child)) {
        if (is_element(child)) {
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

std::string_view local_name(mxml_node_t* element) {
    std::string_view name = mxmlGetElement(element);
    return name.substr(name.find(':') + 1);  // npos + 1 is 0
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// The namespaces of 3GPP's MM7 schemas: REL-<release>-MM7-<major>-<minor> in its archive.
bool is_mm7_namespace(std::string_view uri) {
    constexpr std::string_view archive =
        "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-";
    if (!uri.starts_with(archive)) {
        return false;
    }
    uri.remove_prefix(archive.size());
    const std::size_t mm7 = uri.find("-MM7-");
    if (mm7 == std::string_view::npos || !all_digits(uri.substr(0, mm7))) {
        return false;
    }
    uri.remove_prefix(mm7 + 5);
    const std::size_t dash = uri.find('-');
    return dash != std::string_view::npos && all_digits(uri.substr(0, dash)) &&
           all_digits(uri.substr(dash + 1));
}

// An MM7Version: three numbers joined by dots, as 5.3.0 or 6.8.0.
bool is_mm7_version(std::string_view version) {
    for (int i = 0; i < 2; ++i) {
        const std::size_t dot = version.find('.');
        if (dot == std::string_view::npos || !all_digits(version.substr(0, dot))) {
            return false;
        }
        version.remove_prefix(dot + 1);
    }
    return all_digits(version) && version.size() <= 8;
}

// The namespace URI of an element's name, declared on it or on an ancestor.
opt_view element_namespace(mxml_node_t* element) {
    std::string_view name = mxmlGetElement(element);
    const std::size_t colon = name.find(':');
    const std::string attribute =
        colon == std::string_view::npos ? "xmlns" : concat({"xmlns:", name.substr(0, colon)});
    for (mxml_node_t* node = element; node != nullptr; node = mxmlGetParent(node)) {
        if (mxmlGetType(node) == MXML_ELEMENT) {
            if (const char* uri = mxmlElementGetAttr(node, attribute.c_str())) {
                return std::string_view(uri);
            }
        }
    }
    return std::nullopt;
}

// Takes the MM7 namespace of an element of the request, and the MM7Version below it, when they
// have the forms of MM7.
void take_schema(mms_message& message, mxml_node_t* element) {
    if (opt_view uri = element_namespace(element); uri && is_mm7_namespace(*uri)) {
        message.mm7_namespace = std::string(*uri);
    }
    opt_text version = xml_get_element_text(xml_find_element(element, "MM7Version"));
    if (version && is_mm7_version(*version)) {
        message.mm7_version = std::move(version);
    }
}

// What the PDU carries as an address: a phone number ("+" first at most, then digits and the
// separators "-" and ".") or a short code of digits, both marked /TYPE=PLMN, and an e-mail
// address (RFC 2822, with its "@"), as written.
enum class address_kind { number, short_code, email };

bool carriable(address_kind kind, std::string_view address) {
    switch (kind) {
        case address_kind::number: {
            std::string_view rest = address.starts_with('+') ? address.substr(1) : address;
            return rest.find_first_not_of("0123456789-.") == std::string_view::npos &&
                   rest.find_first_of("0123456789") != std::string_view::npos;
        }
        case address_kind::short_code:
            return all_digits(address);
        case address_kind::email:
            return address.find('@') != std::string_view::npos &&
                   std::none_of(address.begin(), address.end(), [](char c) {
                       return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                   });
    }
    return false;
}

std::optional<address_kind> kind_of(std::string_view element) {
    if (element == "Number") {
        return address_kind::number;
    }
    if (element == "ShortCode") {
        return address_kind::short_code;
    }
    if (element == "RFC2822Address") {
        return address_kind::email;
    }
    return std::nullopt;
}

// A refusal on its way out of ParseEnvelope: the status of its fault and the reason logged.
struct envelope_refusal {
    int status_code;
    std::string reason;
};

// Appends every address of one To, Cc or Bcc element to the list, in document order; the
// refusal of the first address the PDU cannot carry, if any.
std::optional<envelope_refusal> read_addresses(mxml_node_t* field, std::optional<text_list>& list) {
    auto add = [&list](std::string address) {
        if (!list) {
            list.emplace();
        }
        list->push_back(std::move(address));
    };
    bool elements = false;
    for (mxml_node_t* child = mxmlGetFirstChild(field); child != nullptr;
         child = mxmlGetNextSibling(child)) {
        if (!is_element(child)) {
            continue;
        }
        elements = true;
        std::optional<address_kind> kind = kind_of(local_name(child));
        if (!kind) {
            return envelope_refusal{MM7_STATUS_ADDRESS_ERROR,
                                    concat({"submit_req address of unknown kind: ",
                                            log_escape(mxmlGetElement(child))})};
        }
        std::string address = xml_get_element_text(child).value_or("");
        const char* display = mxmlElementGetAttr(child, "displayOnly");
        const int display_only =
            xml_read_bool(display != nullptr ? opt_view(display) : std::nullopt);
        if (display_only < 0) {
            return envelope_refusal{
                MM7_STATUS_VALIDATION_ERROR,
                concat({"submit_req displayOnly is not a boolean: ", log_escape(display)})};
        }
        if (display_only == 1) {  // shown to the recipients, but not sent to: no PDU says so
            return envelope_refusal{
                MM7_STATUS_ADDRESS_ERROR,
                concat({"submit_req address is for display only: ", log_escape(address)})};
        }
        const char* coding = mxmlElementGetAttr(child, "addressCoding");  // encrypted, obfuscated
        if ((coding != nullptr && *coding != '\0') || !carriable(*kind, address)) {
            return envelope_refusal{
                MM7_STATUS_ADDRESS_ERROR,
                concat({"submit_req address cannot be carried: ", log_escape(address)})};
        }
        add(std::move(address));
    }
    // An address written straight into the element, without Number or RFC2822Address around it.
    if (opt_text bare = elements ? std::nullopt : xml_get_element_text(field)) {
        const address_kind kind =
            bare->find('@') != std::string::npos ? address_kind::email : address_kind::number;
        if (!carriable(kind, *bare)) {
            return envelope_refusal{
                MM7_STATUS_ADDRESS_ERROR,
                concat({"submit_req address cannot be carried: ", log_escape(*bare)})};
        }
        add(std::move(*bare));
    }
    return std::nullopt;
}

// Reads the Recipients of a SubmitReq into the record: RouteBy, and every address of each To, Cc
// and Bcc element, however they are repeated and interleaved.
std::optional<envelope_refusal> read_recipients(mxml_node_t* recipients, mms_message& message) {
    for (mxml_node_t* child = mxmlGetFirstChild(recipients); child != nullptr;
         child = mxmlGetNextSibling(child)) {
        if (!is_element(child)) {
            continue;
        }
        const std::string_view name = local_name(child);
        std::optional<text_list>* list = name == "To"    ? &message.to
                                         : name == "Cc"  ? &message.cc
                                         : name == "Bcc" ? &message.bcc
                                                         : nullptr;
        if (list != nullptr) {
            if (auto refused = read_addresses(child, *list)) {
                return refused;
            }
        } else if (name == "RouteBy" && !message.route_by) {
            message.route_by = first_of(xml_get_element_texts(child));
        }
    }
    return std::nullopt;
}

// A time of the SubmitReq; the refusal when its text is none the PDU can carry.
std::optional<envelope_refusal> read_time(std::string_view name, opt_view text,
                                          std::optional<mms_time>& time) {
    time.reset();
    if (!strstrip(text)) {
        return std::nullopt;
    }
    time = mm7_parse_date(*text, std::time(nullptr));
    if (!time) {
        return envelope_refusal{MM7_STATUS_VALIDATION_ERROR,
                                concat({"submit_req ", name, " is not a time the PDU can carry: ",
                                        log_escape(*strstrip(text))})};
    }
    return std::nullopt;
}

std::optional<envelope_refusal> read_flag(mxml_node_t* submit_req, std::string_view name,
                                          std::uint32_t& flag) {
    const int value = xml_get_element_bool(submit_req, name);
    if (value < 0) {
        return envelope_refusal{
            MM7_STATUS_VALIDATION_ERROR,
            concat({"submit_req ", name, " is not a boolean: ",
                    log_escape(
                        xml_get_element_text(xml_find_element(submit_req, name)).value_or(""))})};
    }
    flag = static_cast<std::uint32_t>(value);
    return std::nullopt;
}

opt_view attribute(mxml_node_t* element, const char* name) {
    const char* value = mxmlElementGetAttr(element, name);
    return value != nullptr ? opt_view(value) : std::nullopt;
}

// The SubmitReq of a loaded envelope into the record; the refusal when it is none.
std::optional<envelope_refusal> read_submit_req(mxml_node_t* top, mms_message& message,
                                                std::string* operation) {
    auto missing = [](std::string_view reason) {
        return envelope_refusal{MM7_STATUS_VALIDATION_ERROR, std::string(reason)};
    };
    mxml_node_t* header = xml_find_element(top, "Header");
    if (header == nullptr) {
        return missing("Invalid envelope: no header found");
    }
    mxml_node_t* transaction_id = xml_find_element(header, "TransactionID");
    if (transaction_id == nullptr) {
        return missing("Invalid envelope: transaction ID not found");
    }
    message.transaction_id = xml_get_element_text(transaction_id);
    take_schema(message, transaction_id);

    mxml_node_t* body = xml_find_element(top, "Body");
    if (body == nullptr) {
        return missing("Invalid envelope: no body found");
    }
    mxml_node_t* submit_req = xml_find_element(body, "SubmitReq");
    mxml_node_t* other = submit_req == nullptr ? first_element(body) : nullptr;
    if (other != nullptr && operation != nullptr) {
        take_schema(message, other);
        *operation = local_name(other);
        log_printf("ParseEnvelope: unsupported operation %s", log_escape(*operation).c_str());
        return std::nullopt;
    }
    if (submit_req == nullptr) {
        return missing("Invalid envelope: no submit_req found");
    }
    take_schema(message, submit_req);
    if (mxml_node_t* sender = xml_find_element(submit_req, "SenderIdentification")) {
        message.sender = xml_get_element_text(sender);
        if (mxml_node_t* vasp_id = xml_find_element(sender, "VASPID")) {
            message.vasp_id = xml_get_element_text(vasp_id);
        }
    }

    mxml_node_t* recipients = xml_find_element(submit_req, "Recipients");
    if (recipients == nullptr) {
        return missing("Invalid submit_req: no recipients");
    }
    if (auto refused = read_recipients(recipients, message)) {
        return refused;
    }
    for (const auto* list : {&message.to, &message.cc, &message.bcc}) {
        if (!message.route_by) {
            message.route_by = first_of(*list);
        }
    }
    if (!message.route_by) {
        return missing("submit_req contains no recipients");
    }

    mm7_apply_sender_markers(message);

    mxml_node_t* content = xml_find_element(submit_req, "Content");
    if (content == nullptr) {
        return missing("submit_req contains no Content element");
    }
    constexpr std::string_view cid_scheme = "cid:";
    const char* href = mxmlElementGetAttr(content, "href");
    std::string scheme(href != nullptr ? std::string_view(href).substr(0, cid_scheme.size()) : "");
    if (href == nullptr || strtolower(scheme) != cid_scheme) {  // URL schemes ignore case
        return missing("submit_req Content invalid href");
    }
    message.content_id =
        concat({"<", cid_reference(std::string_view(href).substr(cid_scheme.size())), ">"});

    if (mxml_node_t* reply_charging = xml_find_element(submit_req, "ReplyCharging")) {
        message.reply_charging_size =
            strdup_nonempty(attribute(reply_charging, "replyChargingSize"));
        if (auto refused = read_time("replyDeadline", attribute(reply_charging, "replyDeadline"),
                                     message.reply_deadline)) {
            return refused;
        }
    }

    message.message_class = xml_get_element_text(xml_find_element(submit_req, "MessageClass"));
    message.priority = xml_get_element_text(xml_find_element(submit_req, "Priority"));
    message.subject = xml_get_element_text(xml_find_element(submit_req, "Subject"));
    if (auto refused = read_flag(submit_req, "DeliveryReport", message.delivery_report)) {
        return refused;
    }
    if (auto refused = read_flag(submit_req, "ReadReply", message.read_report)) {
        return refused;
    }
    for (auto [name, time] : {std::pair{"ExpiryDate", &message.expiry},
                              std::pair{"EarliestDeliveryTime", &message.delivery_time}}) {
        opt_text text = xml_get_element_text(xml_find_element(submit_req, name));
        if (auto refused = read_time(name, view_of(text), *time)) {
            return refused;
        }
    }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<mms_message> ParseEnvelope(std::string_view text, std::string* operation,
                                           mm7_refusal* refusal) {
    // The tree and the record are released by their owners on every way out.
    xml_tree tree = xml_load_document(text);
    if (!tree) {
        log_printf("ParseEnvelope: Invalid envelope XML");
        return nullptr;
    }
    auto message = std::make_unique<mms_message>();
    std::optional<envelope_refusal> refused = read_submit_req(tree.get(), *message, operation);
    if (!refused) {
        return message;
    }
    log_printf("ParseEnvelope: %s", refused->reason.c_str());
    // Only a SOAP envelope is an MM7 request, to be answered with a fault.
    mxml_node_t* root = first_element(tree.get());
    if (refusal == nullptr || root == nullptr || local_name(root) != "Envelope") {
        return nullptr;
    }
    refusal->status_code = refused->status_code;
    refusal->text = std::move(refused->reason);
    return message;
}
