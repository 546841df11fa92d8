// XML access helpers, escaping, MM7 dates and the sender markers of a submission.
#include "mm7/documents/mm7_xml.h"

#include <algorithm>
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

int xml_read_bool(opt_view text) {
    opt_text value = strstrip(text);
    if (!value) {
        return 0;
    }
    strtolower(*value);
    if (*value == "true" || *value == "1") {
        return 1;
    }
    return *value == "false" || *value == "0" ? 0 : -1;
}

int xml_get_element_bool(mxml_node_t* node, std::string_view name) {
    return xml_read_bool(view_of(xml_get_element_text(xml_find_element(node, name))));
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
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kLastSecond = 0xFFFFFFFF;  // the largest time of four octets

bool leap_year(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

std::int64_t days_in_month(std::int64_t y, std::int64_t m) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Reads the lexical forms of XML Schema dates and durations, one piece at a time.
class lexical_reader {
  public:
    explicit lexical_reader(std::string_view text) : text_(text) {}
    bool at_end() const { return at_ == text_.size(); }
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool take(char c) {
        if (peek() != c) {
            return false;
        }
        ++at_;
        return true;
    }
    // An unsigned decimal of `min` to `max` digits (at most 18), or std::nullopt.
    std::optional<std::int64_t> number(std::size_t min, std::size_t max) {
        std::size_t from = at_;
        std::int64_t value = 0;
        while (at_ - from < max && std::isdigit(static_cast<unsigned char>(peek())) != 0) {
            value = value * 10 + (text_[at_++] - '0');
        }
        if (at_ - from < min) {
            return std::nullopt;
        }
        return value;
    }
    // A fraction after its '.': at least one digit.
    struct fraction_value {
        bool half = false;     // half a unit or more
        bool nonzero = false;  // more than nothing
    };
    std::optional<fraction_value> fraction() {
        fraction_value value{peek() >= '5', false};
        const std::size_t from = at_;
        while (std::isdigit(static_cast<unsigned char>(peek())) != 0) {
            value.nonzero = value.nonzero || text_[at_] != '0';
            ++at_;
        }
        return at_ > from ? std::optional(value) : std::nullopt;
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

std::optional<mms_time> within_range(std::int64_t seconds, bool relative) {
    if (seconds < 0 || seconds > kLastSecond) {
        return std::nullopt;
    }
    return mms_time{static_cast<std::uint32_t>(seconds), relative};
}

// yyyy-mm-ddThh:mm:ss[.s+][Z|(+|-)hh:mm]; a year of more than four digits lies beyond 2106.
std::optional<mms_time> read_date_time(lexical_reader in) {
    auto two = [&in] { return in.number(2, 2); };
    std::optional<std::int64_t> y = in.number(4, 4);
    std::optional<std::int64_t> mo, d, h, mi, s;
    if (!y || !in.take('-') || !(mo = two()) || !in.take('-') || !(d = two()) || !in.take('T') ||
        !(h = two()) || !in.take(':') || !(mi = two()) || !in.take(':') || !(s = two())) {
        return std::nullopt;
    }
    lexical_reader::fraction_value fraction;
    if (in.take('.')) {
        auto read = in.fraction();
        if (!read) {
            return std::nullopt;
        }
        fraction = *read;
    }
    if (*mo < 1 || *mo > 12 || *d < 1 || *d > days_in_month(*y, *mo) || *mi > 59 || *s > 59 ||
        *h > 24 || (*h == 24 && (*mi != 0 || *s != 0 || fraction.nonzero))) {
        return std::nullopt;
    }
    const std::int64_t clock = *h * 3600 + *mi * 60 + *s + (fraction.half ? 1 : 0);
    if (in.at_end()) {  // local time
        struct tm fields {};
        fields.tm_year = static_cast<int>(*y - 1900);
        fields.tm_mon = static_cast<int>(*mo - 1);
        fields.tm_mday = static_cast<int>(*d);
        fields.tm_sec = static_cast<int>(clock);  // mktime carries seconds into the rest
        // Let mktime decide whether summer time applies at that local time.
        fields.tm_isdst = -1;
        const std::time_t t = mktime(&fields);
        return t == static_cast<std::time_t>(-1) ? std::nullopt : within_range(t, false);
    }
    std::int64_t offset = 0;
    if (!in.take('Z')) {
        const int sign = in.take('+') ? 1 : in.take('-') ? -1 : 0;
        std::optional<std::int64_t> oh, om;
        if (sign == 0 || !(oh = two()) || !in.take(':') || !(om = two()) || *om > 59 ||
            *oh * 60 + *om > 14 * 60) {
            return std::nullopt;
        }
        offset = sign * (*oh * 3600 + *om * 60);
    }
    if (!in.at_end()) {
        return std::nullopt;
    }
    return within_range(days_from_civil(*y, *mo, *d) * kDay + clock - offset, false);
}

// P[nY][nM][nD][T[nH][nM][n[.n]S]]: at least one field, and one after a T.  Years and months
// are added to `now` on the calendar, a day past the end of the month becoming its last day.
std::optional<mms_time> read_duration(lexical_reader in, std::time_t now) {
    if (!in.take('P')) {
        return std::nullopt;
    }
    constexpr std::string_view units = "YMDHMS";  // the time part starts at 3
    std::int64_t field[6] = {};
    std::size_t next = 0;
    bool any = false;
    bool time_part = false;
    bool round_up = false;
    while (!in.at_end()) {
        if (!time_part && in.take('T')) {
            time_part = true;
            next = 3;
            if (in.at_end()) {
                return std::nullopt;
            }
            continue;
        }
        std::optional<std::int64_t> value = in.number(1, 18);
        if (!value) {
            return std::nullopt;
        }
        bool fraction = false;
        if (in.take('.')) {
            auto read = in.fraction();
            if (!read) {
                return std::nullopt;
            }
            fraction = true;
            round_up = read->half;
        }
        const std::size_t end = time_part ? units.size() : 3;
        std::size_t unit = next;
        while (unit < end && units[unit] != in.peek()) {
            ++unit;
        }
        if (unit == end || (fraction && unit != 5) || !in.take(units[unit])) {
            return std::nullopt;
        }
        field[unit] = *value;
        next = unit + 1;
        any = true;
    }
    if (!any) {
        return std::nullopt;
    }
    for (std::int64_t value : field) {
        if (value > kLastSecond) {  // each field adds at least as many seconds as its number
            return std::nullopt;
        }
    }
    const std::int64_t months = field[0] * 12 + field[1];
    if (months > 12 * 200) {
        return std::nullopt;
    }
    struct tm start {};
    if (gmtime_r(&now, &start) == nullptr) {
        return std::nullopt;
    }
    const std::int64_t total_months = (start.tm_year + 1900LL) * 12 + start.tm_mon + months;
    const std::int64_t y = total_months / 12;
    const std::int64_t mo = total_months % 12 + 1;
    const std::int64_t d = std::min<std::int64_t>(start.tm_mday, days_in_month(y, mo));
    const std::int64_t clock = start.tm_hour * 3600LL + start.tm_min * 60LL + start.tm_sec;
    const std::int64_t calendar = days_from_civil(y, mo, d) * kDay + clock - now;
    return within_range(calendar + field[2] * kDay + field[3] * 3600 + field[4] * 60 + field[5] +
                            (round_up ? 1 : 0),
                        true);
}

}  // namespace

std::optional<mms_time> mm7_parse_date(std::string_view text, std::time_t now) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
    lexical_reader in(text);
    return text.front() == 'P' ? read_duration(in, now) : read_date_time(in);
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
