// XML access helpers, escaping, dates and sender markers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "mm7/mm7.h"
#include "mm7/mm7_xml.h"
#include "support/log_capture.h"

namespace {

// Runs a test in a fixed time zone and restores the previous one afterwards.
class fixed_tz {
  public:
    explicit fixed_tz(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~fixed_tz() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    fixed_tz(const fixed_tz&) = delete;
    fixed_tz& operator=(const fixed_tz&) = delete;

  private:
    std::optional<std::string> previous_;
};

// Central European time with its summer time rule, independent of installed zone files.
constexpr const char* CET = "CET-1CEST,M3.5.0,M10.5.0/3";

xml_tree load(std::string_view text) {
    xml_tree tree = xml_load_document(text);
    EXPECT_NE(tree, nullptr) << text;
    return tree;
}

std::string name_of(mxml_node_t* node) {
    return node != nullptr ? mxmlGetElement(node) : "(none)";
}

}  // namespace

TEST(SoapXmlFind, MatchesLocalNameWhateverThePrefix) {
    for (const char* doc : {"<r><env:Body/></r>", "<r><soap:Body/></r>", "<r><Body/></r>",
                            "<r xmlns='urn:x'><x><y><Body/></y></x></r>"}) {
        xml_tree tree = load(doc);
        mxml_node_t* found = xml_find_element(tree.get(), "Body");
        ASSERT_NE(found, nullptr) << doc;
        EXPECT_TRUE(name_of(found).ends_with("Body"));
    }
}

TEST(SoapXmlFind, OnlyTheFirstColonSeparatesThePrefix) {
    xml_tree tree = load("<r><ns:a:Body/></r>");
    EXPECT_EQ(xml_find_element(tree.get(), "Body"), nullptr);
    EXPECT_EQ(name_of(xml_find_element(tree.get(), "a:Body")), "ns:a:Body");
}

TEST(SoapXmlFind, DepthFirstPreOrderBelowTheStartOnly) {
    // The first match in document order wins, even when a shallower one comes later.
    xml_tree tree = load("<Body><a><b><X id='deep'/></b></a><X id='shallow'/></Body>");
    mxml_node_t* root = xml_find_element(tree.get(), "Body");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(xml_find_element(root, "Body"), nullptr);  // the start node itself never matches
    mxml_node_t* x = xml_find_element(root, "X");
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(mxmlElementGetAttr(x, "id"), "deep");
    // A search from a subtree stays inside it.
    mxml_node_t* a = xml_find_element(root, "a");
    EXPECT_EQ(xml_find_element(xml_find_element(a, "b"), "a"), nullptr);
    EXPECT_EQ(xml_find_element(nullptr, "X"), nullptr);
    EXPECT_EQ(xml_find_element(root, "x"), nullptr);  // names are case-sensitive
}

TEST(SoapXmlFind, CommentsCdataAndInstructionsAreNotElements) {
    xml_tree tree = load("<r><!--x:Body--><![CDATA[x:Body]]><?x:Body?><s/></r>");
    EXPECT_EQ(xml_find_element(tree.get(), "Body"), nullptr);
    EXPECT_EQ(xml_find_element(tree.get(), "Body--"), nullptr);
    EXPECT_NE(xml_find_element(tree.get(), "s"), nullptr);
}

TEST(SoapXmlTexts, CollectsTrimmedTextsInDocumentOrderAndLogsEach) {
    log_capture log;
    xml_tree tree = load("<To>\n  <Number> 111 </Number>\n  <Number>222</Number>\n</To>");
    std::optional<text_list> texts = xml_get_element_texts(tree.get());
    ASSERT_TRUE(texts);
    EXPECT_EQ(*texts, (text_list{"111", "222"}));
    EXPECT_EQ(xml_get_element_text(tree.get()), "111222");
    EXPECT_TRUE(log.contains("xml_get_element_texts text=111|"));
    EXPECT_TRUE(log.contains("xml_get_element_texts text=222|"));
}

TEST(SoapXmlTexts, BlankContentGivesNothing) {
    xml_tree tree = load("<r>\n  <a>  </a>\n\t<b/>\n</r>");
    EXPECT_FALSE(xml_get_element_texts(tree.get()));
    EXPECT_FALSE(xml_get_element_text(tree.get()));
    EXPECT_FALSE(xml_get_element_texts(nullptr));
    EXPECT_FALSE(xml_get_element_text(nullptr));
}

TEST(SoapXmlTexts, EntitiesAreDecodedAndCdataCountsAsText) {
    xml_tree tree = load("<r>a &amp; b &#x41;&#66; <![CDATA[ <c> & d ]]>e</r>");
    std::optional<text_list> texts = xml_get_element_texts(tree.get());
    ASSERT_TRUE(texts);
    EXPECT_EQ(*texts, (text_list{"a & b AB", "<c> & d", "e"}));
}

TEST(SoapXmlBool, OnlyTrueInAnyCaseIsTrue) {
    for (const char* yes : {"True", "TRUE", "true", "  true\n"}) {
        xml_tree tree = load(std::string("<r><Flag>") + yes + "</Flag></r>");
        EXPECT_EQ(xml_get_element_bool(tree.get(), "Flag"), 1) << yes;
    }
    for (const char* no : {"1", "yes", "", "false", "truest", "tr<x/>ue"}) {
        xml_tree tree = load(std::string("<r><Flag>") + no + "</Flag></r>");
        EXPECT_EQ(xml_get_element_bool(tree.get(), "Flag"), std::string(no) == "tr<x/>ue" ? 1 : 0)
            << no;
    }
    xml_tree tree = load("<r/>");
    EXPECT_EQ(xml_get_element_bool(tree.get(), "Flag"), 0);
}

TEST(SoapXmlEscape, FiveCharactersAmpersandFirst) {
    EXPECT_EQ(xml_escape("a & b < c"), "a &amp; b &lt; c");
    EXPECT_EQ(xml_escape("&amp;"), "&amp;amp;");
    EXPECT_EQ(xml_escape("<\"'>"), "&lt;&quot;&apos;&gt;");
    EXPECT_EQ(xml_escape("plain"), "plain");
    EXPECT_FALSE(xml_escape(""));
    EXPECT_FALSE(xml_escape(std::nullopt));
}

TEST(SoapXmlTree, DeepTreesAreWalkedAndReleasedWithoutRecursion) {
    // Trees built in code are not bound by the envelope check; the walks and the release must
    // still keep a flat stack.
    constexpr int depth = 200000;
    xml_tree tree(mxmlNewElement(MXML_NO_PARENT, "root"));
    mxml_node_t* node = tree.get();
    for (int i = 0; i < depth; ++i) {
        node = mxmlNewElement(node, "a");
    }
    mxmlNewElement(node, "leaf");
    mxmlNewOpaque(node, " bottom ");
    EXPECT_EQ(name_of(xml_find_element(tree.get(), "leaf")), "leaf");
    EXPECT_EQ(xml_find_element(tree.get(), "missing"), nullptr);
    EXPECT_EQ(xml_get_element_text(tree.get()), "bottom");
}

TEST(SoapDateFormat, UtcWithoutZoneOrFraction) {
    fixed_tz zone(CET);
    EXPECT_EQ(mm7_format_date(0), "1970-01-01T00:00:00");
    EXPECT_EQ(mm7_format_date(1700000000), "2023-11-14T22:13:20");
    EXPECT_EQ(mm7_format_date(-1), "1969-12-31T23:59:59");
    // A time no broken-down year can hold gives no date rather than a wrong one.
    EXPECT_EQ(mm7_format_date(std::numeric_limits<std::time_t>::max()), "");
}

TEST(SoapDateParse, AbsoluteFormIsLocalTime) {
    {
        fixed_tz zone("UTC");
        EXPECT_EQ(mm7_parse_date("1970-01-01T00:00:10"), 10u);
        EXPECT_EQ(mm7_parse_date("2023-11-14T22:13:20"), 1700000000u);
        // Fraction and zone designator are ignored.
        EXPECT_EQ(mm7_parse_date("2023-11-14T22:13:20.250Z"), 1700000000u);
        EXPECT_EQ(mm7_parse_date("2023-11-14T22:13:20+05:00"), 1700000000u);
    }
    fixed_tz zone(CET);
    EXPECT_EQ(mm7_parse_date("2023-11-14T23:13:20"), 1700000000u);  // winter: UTC+1
    // Summer time is taken into account: 2023-07-01T12:00:00 CEST is 10:00:00 UTC.
    EXPECT_EQ(mm7_parse_date("2023-07-01T12:00:00"), 1688205600u);
}

TEST(SoapDateParse, UnreadableOrAbsentGivesZero) {
    fixed_tz zone("UTC");
    for (const char* bad : {"", "tomorrow", "2023-13-01T00:00:00", "2023-11-14",
                            "2023-11-14 10:00:00", "P", "P1D", "PT30S", "p0Y1M1DT0H0M30S"}) {
        EXPECT_EQ(mm7_parse_date(bad), 0u) << bad;
    }
    EXPECT_EQ(mm7_parse_date(std::nullopt), 0u);
}

TEST(SoapDateParse, RelativeFormReadsCalendarFieldsFrom1970) {
    fixed_tz zone("UTC");
    // Month and day are calendar fields: month 1 and day 1 add nothing.
    EXPECT_EQ(mm7_parse_date("P0Y1M1DT0H0M30S"), 30u);
    EXPECT_EQ(mm7_parse_date("P0Y1M2DT1H0M30S"), 86400u + 3600u + 30u);
    EXPECT_EQ(mm7_parse_date("P0Y2M1DT0H0M0S"), 31u * 86400u);
    EXPECT_EQ(mm7_parse_date("P1Y1M1DT0H0M0S"), 365u * 86400u);
    // Out of the calendar and clock ranges: no match.
    for (const char* bad : {"P0Y0M1DT0H0M0S", "P0Y1M0DT0H0M0S", "P0Y13M1DT0H0M0S",
                            "P0Y1M32DT0H0M0S", "P0Y1M1DT24H0M0S", "P0Y1M1DT0H60M0S"}) {
        EXPECT_EQ(mm7_parse_date(bad), 0u) << bad;
    }
}

TEST(SoapDateParse, RelativeFormDoesNotDependOnTheZone) {
    fixed_tz zone(CET);
    // A duration is a length of time: east of Greenwich it must not turn into a time before
    // 1970 (which would wrap in the 32-bit field).
    EXPECT_EQ(mm7_parse_date("P0Y1M1DT0H0M30S"), 30u);
    EXPECT_EQ(mm7_parse_date("P0Y1M1DT2H0M0S"), 7200u);
    EXPECT_EQ(mm7_parse_date("P0Y7M1DT0H0M0S"), 181u * 86400u);  // no summer hour either
}

TEST(SoapSenderMarkers, TargetTakesDigitsOfRouteBy) {
    struct {
        opt_text route_by;
        opt_text from;
    } cases[] = {
        {"sim+12345", "12345"},  // 's' skips three characters, '+' one
        {"12345", "12345"},     {"abc", std::nullopt},
        {"ab", std::nullopt},                     // the skip runs past the end
        {"sim1x", "1x"},        {"a1234", "34"},  // the digits skipped with the letter are lost
        {"", std::nullopt},     {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        mms_message message;
        message.sender = "##TARGET##";
        message.route_by = c.route_by;
        message.from = "old";
        mm7_apply_sender_markers(message);
        EXPECT_EQ(message.from, c.from) << c.route_by.value_or("(none)");
    }
}

TEST(SoapSenderMarkers, ForceAndOtherSenders) {
    struct {
        const char* sender;
        opt_text from;
    } cases[] = {
        {"##FORCE##0711", "0711"},        {"##FORCE##", std::nullopt},
        {"x##FORCE##0711", std::nullopt}, {"##TARGET##0711", std::nullopt},
        {"vasp", std::nullopt},
    };
    for (const auto& c : cases) {
        mms_message message;
        message.sender = c.sender;
        message.route_by = "12345";
        message.from = "old";
        mm7_apply_sender_markers(message);
        EXPECT_EQ(message.from, c.from) << c.sender;
    }
    mms_message untouched;
    untouched.from = "kept";
    mm7_apply_sender_markers(untouched);
    EXPECT_EQ(untouched.from, "kept");
}
