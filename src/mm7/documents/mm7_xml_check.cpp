// The strict well-formedness pass in front of Mini-XML, and loading a checked document.
//
// One forward pass over the text with an explicit stack of open element names: its cost is
// linear in the size of the document and its memory is bounded by MM7_MAX_XML_DEPTH.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

bool is_xml_char(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes the whole text as UTF-8 and checks that every character is one XML allows.
bool check_characters(std::string_view text, bool& non_ascii, std::string_view& why) {
    non_ascii = false;
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0;
        std::size_t length = 0;
        std::uint32_t minimum = 0;
        if (byte < 0x80) {
            c = byte;
            length = 1;
        } else if ((byte & 0xE0) == 0xC0) {
            c = byte & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((byte & 0xF0) == 0xE0) {
            c = byte & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((byte & 0xF8) == 0xF0) {
            c = byte & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            why = "byte that is not UTF-8";
            return false;
        }
        if (length > 1) {
            non_ascii = true;
            if (text.size() - i < length) {
                why = "truncated UTF-8 sequence";
                return false;
            }
            for (std::size_t k = 1; k < length; ++k) {
                auto next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xC0) != 0x80) {
                    why = "byte that is not UTF-8";
                    return false;
                }
                c = (c << 6) | (next & 0x3F);
            }
            if (c < minimum) {
                why = "overlong UTF-8 sequence";
                return false;
            }
        }
        if (!is_xml_char(c)) {
            why = "character not allowed in XML";
            return false;
        }
        if (c == 0xFEFF) {
            // Mini-XML drops a byte order mark wherever it stands, which would change names and
            // texts behind our back; only the leading one is taken (and removed before).
            why = "byte order mark inside the document";
            return false;
        }
        i += length;
    }
    return true;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_name_start(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) {
            return false;
        }
    }
    return true;
}

class document_checker {
  public:
    explicit document_checker(std::string_view text) : text_(text) {}

    bool run(bool non_ascii) {
        if (starts("<?xml") && pos_ + 5 < text_.size() && is_space(text_[pos_ + 5])) {
            if (!declaration(non_ascii)) {
                return false;
            }
        }
        if (!misc()) {
            return false;
        }
        if (pos_ >= text_.size() || text_[pos_] != '<' || pos_ + 1 >= text_.size() ||
            !is_name_start(text_[pos_ + 1])) {
            return fail("no root element");
        }
        if (!root_element()) {
            return false;
        }
        if (!misc()) {
            return false;
        }
        if (pos_ != text_.size()) {
            return fail("content after the root element");
        }
        return true;
    }

    std::string_view why() const { return why_; }

  private:
    bool fail(std::string_view why) {
        why_ = why;
        return false;
    }

    bool starts(std::string_view literal) const { return text_.substr(pos_).starts_with(literal); }

    void skip_space() {
        while (pos_ < text_.size() && is_space(text_[pos_])) {
            ++pos_;
        }
    }

    std::string_view name() {
        std::size_t begin = pos_;
        if (pos_ < text_.size() && is_name_start(text_[pos_])) {
            ++pos_;
            while (pos_ < text_.size() && is_name_char(text_[pos_])) {
                ++pos_;
            }
        }
        return text_.substr(begin, pos_ - begin);
    }

    // Moves past the first terminator at or after pos_.
    bool skip_past(std::string_view terminator, std::string_view why) {
        std::size_t at = text_.find(terminator, pos_);
        if (at == std::string_view::npos) {
            return fail(why);
        }
        pos_ = at + terminator.size();
        return true;
    }

    // The XML declaration: only its encoding matters.  Non-ASCII content is read as UTF-8, so it
    // is refused under any other declared encoding rather than misread.
    bool declaration(bool non_ascii) {
        std::size_t end = text_.find("?>", pos_);
        if (end == std::string_view::npos) {
            return fail("unterminated XML declaration");
        }
        std::string_view body = text_.substr(pos_ + 5, end - pos_ - 5);
        pos_ = end + 2;
        std::size_t at = body.find("encoding");
        if (at == std::string_view::npos || !non_ascii) {
            return true;
        }
        std::size_t quote = body.find_first_of("\"'", at);
        if (quote == std::string_view::npos) {
            return fail("malformed XML declaration");
        }
        std::size_t close = body.find(body[quote], quote + 1);
        if (close == std::string_view::npos) {
            return fail("malformed XML declaration");
        }
        if (!equals_ignoring_case(body.substr(quote + 1, close - quote - 1), "UTF-8")) {
            return fail("non-ASCII content in an encoding other than UTF-8");
        }
        return true;
    }

    // Comments, processing instructions and white space around the root element.
    bool misc() {
        for (;;) {
            skip_space();
            if (starts("<!--")) {
                if (!comment()) {
                    return false;
                }
            } else if (starts("<?")) {
                if (!processing_instruction()) {
                    return false;
                }
            } else if (starts("<!")) {
                return fail("document type declarations are not accepted");
            } else {
                return true;
            }
        }
    }

    // A comment may not hold "--" nor end in '-'.  An empty comment is refused as well: XML
    // allows it, but Mini-XML reads past its end.
    bool comment() {
        pos_ += 4;
        std::size_t dashes = text_.find("--", pos_);
        if (dashes == std::string_view::npos) {
            return fail("unterminated comment");
        }
        if (dashes == pos_) {
            return fail("empty comment");
        }
        if (dashes + 2 >= text_.size() || text_[dashes + 2] != '>') {
            return fail("'--' inside a comment");
        }
        pos_ = dashes + 3;
        return true;
    }

    bool processing_instruction() {
        pos_ += 2;
        std::string_view target = name();
        if (target.empty()) {
            return fail("processing instruction without target");
        }
        if (equals_ignoring_case(target, "xml")) {
            return fail("misplaced XML declaration");
        }
        return skip_past("?>", "unterminated processing instruction");
    }

    // One reference after '&': the five entities of XML or a character reference.
    bool reference() {
        ++pos_;
        std::size_t end = text_.find(';', pos_);
        // The longest valid reference is "#x10FFFF" (with leading zeros allowed, a few more).
        if (end == std::string_view::npos || end - pos_ > 16) {
            return fail("malformed reference");
        }
        std::string_view body = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        if (body == "lt" || body == "gt" || body == "amp" || body == "apos" || body == "quot") {
            return true;
        }
        if (body.size() < 2 || body[0] != '#') {
            return fail("unknown entity");
        }
        bool hex = body[1] == 'x';
        std::string_view digits = body.substr(hex ? 2 : 1);
        if (digits.empty()) {
            return fail("malformed character reference");
        }
        std::uint32_t value = 0;
        for (char d : digits) {
            int digit = -1;
            if (d >= '0' && d <= '9') {
                digit = d - '0';
            } else if (hex && d >= 'a' && d <= 'f') {
                digit = d - 'a' + 10;
            } else if (hex && d >= 'A' && d <= 'F') {
                digit = d - 'A' + 10;
            }
            if (digit < 0) {
                return fail("malformed character reference");
            }
            value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
            if (value > 0x10FFFF) {
                return fail("character reference out of range");
            }
        }
        if (!is_xml_char(value)) {
            return fail("character reference to a character not allowed in XML");
        }
        return true;
    }

    // A start tag from '<' to its '>' or '/>'; empty is set for the latter.
    bool start_tag(std::string_view& tag, bool& empty) {
        ++pos_;
        tag = name();
        std::string_view attributes[MM7_MAX_XML_ATTRIBUTES];
        std::size_t count = 0;
        for (;;) {
            std::size_t before = pos_;
            skip_space();
            if (pos_ >= text_.size()) {
                return fail("unterminated start tag");
            }
            if (text_[pos_] == '>') {
                ++pos_;
                empty = false;
                return true;
            }
            if (starts("/>")) {
                pos_ += 2;
                empty = true;
                return true;
            }
            if (pos_ == before) {
                return fail("attribute not separated by white space");
            }
            std::string_view attribute = name();
            if (attribute.empty()) {
                return fail("malformed attribute name");
            }
            if (count == MM7_MAX_XML_ATTRIBUTES) {
                return fail("too many attributes");
            }
            for (std::size_t k = 0; k < count; ++k) {
                if (attributes[k] == attribute) {
                    return fail("duplicate attribute");
                }
            }
            attributes[count++] = attribute;
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != '=') {
                return fail("attribute without value");
            }
            ++pos_;
            skip_space();
            if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
                return fail("attribute value not quoted");
            }
            char quote = text_[pos_++];
            for (;;) {
                if (pos_ >= text_.size()) {
                    return fail("unterminated attribute value");
                }
                char c = text_[pos_];
                if (c == quote) {
                    ++pos_;
                    break;
                }
                if (c == '<') {
                    return fail("'<' in an attribute value");
                }
                if (c == '&') {
                    if (!reference()) {
                        return false;
                    }
                } else {
                    ++pos_;
                }
            }
        }
    }

    bool root_element() {
        std::vector<std::string_view> open;
        open.reserve(MM7_MAX_XML_DEPTH);
        do {
            if (pos_ >= text_.size()) {
                return fail("unclosed element");
            }
            char c = text_[pos_];
            if (c == '&') {
                if (!reference()) {
                    return false;
                }
            } else if (c != '<') {
                ++pos_;
            } else if (starts("<!--")) {
                if (!comment()) {
                    return false;
                }
            } else if (starts("<![CDATA[")) {
                pos_ += 9;
                if (!skip_past("]]>", "unterminated CDATA section")) {
                    return false;
                }
            } else if (starts("<?")) {
                if (!processing_instruction()) {
                    return false;
                }
            } else if (starts("</")) {
                pos_ += 2;
                std::string_view tag = name();
                skip_space();
                if (pos_ >= text_.size() || text_[pos_] != '>') {
                    return fail("malformed end tag");
                }
                ++pos_;
                if (open.empty() || tag != open.back()) {
                    return fail("mismatched end tag");
                }
                open.pop_back();
            } else if (pos_ + 1 < text_.size() && is_name_start(text_[pos_ + 1])) {
                std::string_view tag;
                bool empty = false;
                if (!start_tag(tag, empty)) {
                    return false;
                }
                if (!empty) {
                    if (open.size() >= MM7_MAX_XML_DEPTH) {
                        return fail("elements nested too deep");
                    }
                    open.push_back(tag);
                }
            } else {
                return fail("stray '<'");
            }
        } while (!open.empty());
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string_view why_;
};

void ignore_mxml_error(const char*) {}

// What a VASP may put before the document proper: a byte order mark, and blank lines (some put
// an empty line between the part headers and the XML declaration).
std::string_view document_start(std::string_view text) {
    if (text.starts_with(UTF8_BOM)) {
        text.remove_prefix(UTF8_BOM.size());
    }
    std::size_t blanks = 0;
    while (blanks < text.size() && (text[blanks] == ' ' || text[blanks] == '\t' ||
                                    text[blanks] == '\r' || text[blanks] == '\n')) {
        ++blanks;
    }
    return text.substr(blanks);
}

}  // namespace

bool xml_check_document(std::string_view text, std::string_view* why) {
    std::string_view reason;
    bool ok = false;
    bool non_ascii = false;
    if (text.size() > MM7_MAX_ENVELOPE_SIZE) {
        reason = "document too large";
    } else {
        text = document_start(text);
        if (check_characters(text, non_ascii, reason)) {
            document_checker checker(text);
            ok = checker.run(non_ascii);
            reason = checker.why();
        }
    }
    if (!ok && why != nullptr) {
        *why = reason;
    }
    return ok;
}

xml_tree xml_load_document(std::string_view text) {
    if (!xml_check_document(text)) {
        return nullptr;
    }
    std::string terminated(document_start(text));
    mxmlSetErrorCallback(ignore_mxml_error);
    // The document is loaded below a node of its own: without a parent Mini-XML refuses a
    // comment or processing instruction beside the root element as a "second root".
    xml_tree top(mxmlNewElement(MXML_NO_PARENT, "#document"));
    if (!top || mxmlLoadString(top.get(), terminated.c_str(), MXML_OPAQUE_CALLBACK) == nullptr) {
        return nullptr;
    }
    return top;
}
