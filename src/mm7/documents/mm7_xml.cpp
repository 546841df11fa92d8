// XML access helpers, escaping, MM7 dates and the sender markers of a submission.
#include "mm7/documents/mm7_xml.h"

#include <cctype>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "mm7/documents/mm7.h"

namespace {

constexpr std::string_view CDATA_PREFIX = "![CDATA[";

// Mini-XML keeps comments ("!--"), CDATA sections ("![CDATA[") and processing instructions
// ("?target") as element nodes whose name starts with the markup; they are not elements.
bool is_markup_node(std::string_view name) {
    return !name.empty() && (name.front() == '!' || name.front() == '?');
}

std::string_view element_name(mxml_node_t* node) {
    const char* name = mxmlGetElement(node);
    return name != nullptr ? std::string_view(name) : std::string_view();
}

// The node after node in a pre-order walk of the descendants of root (children first when
// descend is set); nullptr at the end of the subtree.  Walking by the parent links keeps the
// stack flat however deep a tree is.
mxml_node_t* next_below(mxml_node_t* node, mxml_node_t* root, bool descend) {
    if (descend) {
        if (mxml_node_t* child = mxmlGetFirstChild(node)) {
            return child;
        }
    }
    while (node != nullptr && node != root) {
        if (mxml_node_t* sibling = mxmlGetNextSibling(node)) {
            return sibling;
        }
        node = mxmlGetParent(node);
    }
    return nullptr;
}

}  // namespace

void xml_tree_deleter::operator()(mxml_node_t* node) const noexcept {
    // Leaves first, so that mxmlDelete never recurses, whatever the depth of the tree.
    mxml_node_t* current = node;
    while (current != nullptr) {
        while (mxml_node_t* child = mxmlGetFirstChild(current)) {
            current = child;
        }
        mxml_node_t* parent = current == node ? nullptr : mxmlGetParent(current);
        mxmlDelete(current);
        current = parent;
    }
}

mxml_node_t* xml_find_element(mxml_node_t* node, std::string_view name) {
    if (node == nullptr) {
        return nullptr;
    }
    mxml_node_t* current = mxmlGetFirstChild(node);
    while (current != nullptr) {
        bool element = mxmlGetType(current) == MXML_ELEMENT;
        if (element) {
            std::string_view full = element_name(current);
            if (!is_markup_node(full)) {
                std::size_t colon = full.find(':');
                std::string_view local =
                    colon == std::string_view::npos ? full : full.substr(colon + 1);
                if (local == name) {
                    return current;
                }
            }
        }
        current = next_below(current, node, element);
    }
    return nullptr;
}

std::optional<text_list> xml_get_element_texts(mxml_node_t* node) {
    if (node == nullptr) {
        return std::nullopt;
    }
    text_list texts;
    mxml_node_t* current = mxmlGetFirstChild(node);
    while (current != nullptr) {
        bool element = mxmlGetType(current) == MXML_ELEMENT;
        opt_view raw;
        if (!element) {
            const char* opaque = mxmlGetOpaque(current);
            if (opaque != nullptr) {
                raw = std::string_view(opaque);
            }
        } else if (std::string_view full = element_name(current); full.starts_with(CDATA_PREFIX)) {
            raw = full.substr(CDATA_PREFIX.size());
        }
        if (opt_text text = strstrip(raw)) {
            log_printf("xml_get_element_texts text=%s|", log_escape(*text).c_str());
            texts.push_back(std::move(*text));
        }
        current = next_below(current, node, element);
    }
    if (texts.empty()) {
        return std::nullopt;
    }
    return texts;
}

opt_text xml_get_element_text(mxml_node_t* node) {
    std::optional<text_list> texts = xml_get_element_texts(node);
    if (!texts) {
        return std::nullopt;
    }
    std::string joined;
    for (const std::string& text : *texts) {
        joined += text;
    }
    return joined;
}

int xml_get_element_bool(mxml_node_t* node, std::string_view name) {
    opt_text text = xml_get_element_text(xml_find_element(node, name));
    if (!text) {
        return 0;
    }
    return strtolower(*text) == "true" ? 1 : 0;
}

opt_text xml_escape(opt_view text) {
    opt_text out = str_replace(text, "&", "&amp;");
    out = str_replace(view_of(out), "<", "&lt;");
    out = str_replace(view_of(out), ">", "&gt;");
    out = str_replace(view_of(out), "'", "&apos;");
    return str_replace(view_of(out), "\"", "&quot;");
}

std::string mm7_format_date(std::time_t t) {
    struct tm utc {};
    if (gmtime_r(&t, &utc) == nullptr) {
        // Only a time beyond the range of a broken-down year gets here (a hostile PDU date);
        // such a date is written as empty rather than as a made-up one.
        return {};
    }
    char text[80];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text, length);
}

std::uint32_t mm7_parse_date(opt_view text) {
    if (!text || text->empty()) {
        return 0;
    }
    std::string copy(*text);  // strptime wants a terminated text
    struct tm fields {};
    bool relative = copy.front() == 'P';
    const char* end = relative ? strptime(copy.c_str() + 1, "%YY%mM%dDT%HH%MM%SS", &fields)
                               : strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    if (end == nullptr) {
        return 0;
    }
    if (relative) {
        // A duration is read into calendar fields and counted from the start of 1970.  It is
        // converted as UTC: a length of time does not depend on the zone, and local time would
        // turn a short duration east of Greenwich into a time before 1970.
        fields.tm_year += 1970;
        return static_cast<std::uint32_t>(timegm(&fields));
    }
    // Let mktime decide whether daylight saving time applies at that local time; a zero here
    // would read every summer time one hour late.
    fields.tm_isdst = -1;
    return static_cast<std::uint32_t>(mktime(&fields));
}

void mm7_apply_sender_markers(mms_message& message) {
    if (!message.sender) {
        return;
    }
    message.from.reset();
    const std::string& sender = *message.sender;
    if (sender == "##TARGET##") {
        if (!message.route_by) {
            return;
        }
        const std::string& route_by = *message.route_by;
        std::size_t i = 0;
        while (i < route_by.size()) {
            unsigned char c = static_cast<unsigned char>(route_by[i]);
            if (std::isdigit(c)) {
                message.from = route_by.substr(i);
                return;
            }
            // A letter starts a three-letter technology prefix such as "sim" or "pin".
            i += std::isalpha(c) ? 3 : 1;
        }
        return;
    }
    constexpr std::string_view force = "##FORCE##";
    if (sender.starts_with(force) && sender.size() > force.size()) {
        message.from = sender.substr(force.size());
    }
}
