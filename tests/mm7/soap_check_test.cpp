// The well-formedness check in front of Mini-XML.
#include <gtest/gtest.h>

#include <string>

#include "mm7/mm7.h"
#include "mm7/mm7_xml.h"

namespace {

std::string refusal(std::string_view text) {
    std::string_view why;
    if (xml_check_document(text, &why)) {
        return "accepted";
    }
    return std::string(why);
}

std::string nested(std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += "<a>";
    }
    for (std::size_t i = 0; i < depth; ++i) {
        text += "</a>";
    }
    return text;
}

std::string with_attributes(std::size_t count) {
    std::string text = "<a";
    for (std::size_t i = 0; i < count; ++i) {
        text += " a" + std::to_string(i) + "=''";
    }
    return text + "/>";
}

}  // namespace

TEST(SoapXmlCheck, AcceptsWellFormedDocuments) {
    for (const char* doc : {
             "<a/>",
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>x</a>\n",
             "\xEF\xBB\xBF<a/>",
             "<!-- c --><?pi data?><a x='1' y = \"2\">t<b/><![CDATA[<&]]><!-- x --></a><!-- end "
             "-->",
             "<a>&lt;&gt;&amp;&apos;&quot;&#65;&#x1F600;&#x10FFFF;</a>",
             "<a b='&#60;'>> ]</a>",
             "<a><!---x-->y<!--->--></a>",
             "<e:a xmlns:e='urn:x'></e:a  >",
             "<?xml version='1.0' encoding='ISO-8859-1'?><a>ascii only</a>",
             "<?xml version='1.0' encoding='utf-8'?><a>Gr\xC3\xBC\xC3\x9F"
             "e \xF0\x9F\x98\x80</a>",
         }) {
        EXPECT_EQ(refusal(doc), "accepted") << doc;
    }
}

TEST(SoapXmlCheck, RefusesMalformedMarkup) {
    for (const char* doc : {
             "",
             "   ",
             "text",
             "<a>",
             "<a>x",
             "<a></b>",
             "<a><b></a></b>",
             "<a/><b/>",
             "<a/>x",
             "</a>",
             "<a",
             "<a b/>",
             "<a b=c/>",
             "<a b='1'c='2'/>",
             "<a b='<'/>",
             "<a b='x/>",
             "<a>&foo;</a>",
             "<a>&nbsp;</a>",
             "<a>& b</a>",
             "<a>&#;</a>",
             "<a>&#xZZ;</a>",
             "<a>&#0;</a>",
             "<a>&#x110000;</a>",
             "<a>&#99999999999999999999;</a>",
             "<a>&#xD800;</a>",
             "<a><!-- x </a>",
             "<a><!---->x</a>",
             "<a><!-- x --->x</a>",
             "<a><!-- a -- b --></a>",
             "<a><![CDATA[x</a>",
             "<a><?pi x</a>",
             "<a>< b/></a>",
             "<a><?xml version='1.0'?></a>",
             "<a/><?xml version='1.0'?>",
             "<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>",
             "<?xml version='1.0'",
             "<a><!x></a>",
         }) {
        EXPECT_NE(refusal(doc), "accepted") << doc;
    }
}

TEST(SoapXmlCheck, RefusesBytesThatAreNotXmlCharacters) {
    using namespace std::string_literals;
    for (const std::string& doc : {
             "<a>\xFF</a>"s,
             "<a>\xC3</a>"s,
             "<a>\xC0\xAF</a>"s,
             "<a>\xE0\x80\xAF</a>"s,
             "<a>\xED\xA0\x80</a>"s,
             "<a>\xF4\x90\x80\x80</a>"s,
             "<a>\x01</a>"s,
             "<a>\0</a>"s,
             "<a>\xEF\xBF\xBE</a>"s,
             "<\xEF\xBB\xBF/>"s,
             "<a>x\xEF\xBB\xBFy</a>"s,
             "\xFF\xFE<\0a\0/\0>\0"s,
             "<a>\xC3"s,
             // Non-ASCII content under another declared encoding would be misread.
             "<?xml version='1.0' encoding='ISO-8859-1'?><a>Gr\xC3\xBC\xC3\x9F"
             "e</a>"s,
         }) {
        EXPECT_NE(refusal(doc), "accepted") << doc;
    }
}

TEST(SoapXmlCheck, BoundsDepthAttributesAndSize) {
    EXPECT_EQ(refusal(nested(MM7_MAX_XML_DEPTH)), "accepted");
    EXPECT_EQ(refusal(nested(MM7_MAX_XML_DEPTH + 1)), "elements nested too deep");
    EXPECT_EQ(refusal(with_attributes(MM7_MAX_XML_ATTRIBUTES)), "accepted");
    EXPECT_EQ(refusal(with_attributes(MM7_MAX_XML_ATTRIBUTES + 1)), "too many attributes");

    std::string largest = "<a>" + std::string(MM7_MAX_ENVELOPE_SIZE - 7, 'x') + "</a>";
    ASSERT_EQ(largest.size(), MM7_MAX_ENVELOPE_SIZE);
    EXPECT_EQ(refusal(largest), "accepted");
    EXPECT_EQ(refusal(largest + " "), "document too large");
}

TEST(SoapXmlCheck, LoadGivesTreesOnlyForCheckedDocuments) {
    // Mini-XML by itself would build a tree for each of these.
    for (const char* doc : {"<a>x", "<a b='<'/>", "<a b=c/>"}) {
        EXPECT_EQ(xml_load_document(doc), nullptr) << doc;
    }
    xml_tree tree = xml_load_document("\xEF\xBB\xBF<a><b>t</b></a>");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(xml_get_element_text(tree.get()), "t");
    // Comments and instructions beside the root element, with or without a declaration.
    for (const char* doc :
         {"<!-- c --><a><b>t</b></a><!-- d -->", "<?pi x?><a><b>t</b></a><?pi y?>",
          "<?xml version='1.0'?><!-- c --><a><b>t</b></a><!-- d -->"}) {
        tree = xml_load_document(doc);
        ASSERT_NE(tree, nullptr) << doc;
        EXPECT_EQ(xml_get_element_text(xml_find_element(tree.get(), "a")), "t");
    }
}
