// XML access helpers, the well-formedness check in front of Mini-XML, escaping, dates and
// sender markers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

void set_tz(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// Central European time with its summer time rule, independent of installed zone files.
constexpr const char* CET = "CET-1CEST,M3.5.0,M10.5.0/3";

xml_tree load(std::string_view text) {
    xml_tree tree = xml_load_document(text);
    EXPECT_NE(tree, nullptr) << text;
    return tree;
}

std::string refusal(std::string_view text) {
    std::string_view why;
    return xml_check_document(text, &why) ? "accepted" : std::string(why);
}

std::string nested(std::size_t depth) {
    std::string open, close;
    for (std::size_t i = 0; i < depth; ++i) {
        open += "<a>";
        close += "</a>";
    }
    return open + close;
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
    for (const char* doc :
         {"<a/>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>x</a>\n", "\xEF\xBB\xBF<a/>",
          "<!-- c --><?pi data?><a x='1' y = \"2\">t<b/><![CDATA[<&]]><!-- x --></a><!-- end -->",
          "<a>&lt;&gt;&amp;&apos;&quot;&#65;&#x1F600;&#x10FFFF;</a>", "<a b='&#60;'>> ]</a>",
          "<a><!---x-->y<!--->--></a>", "<e:a xmlns:e='urn:x'></e:a  >",
          "<?xml version='1.0' encoding='ISO-8859-1'?><a>ascii only</a>",
          "<?xml version='1.0' encoding='utf-8'?><a>Gr\xC3\xBC\xC3\x9F"
          "e \xF0\x9F\x98\x80</a>"}) {
        EXPECT_EQ(refusal(doc), "accepted") << doc;
    }
}

TEST(SoapXmlCheck, RefusesMalformedMarkupAndBytesThatAreNotXmlCharacters) {
    using namespace std::string_literals;
    for (const std::string& doc :
         {""s, "   "s, "text"s, "<a>"s, "<a>x"s, "<a></b>"s, "<a><b></a></b>"s, "<a/><b/>"s,
          "<a/>x"s, "</a>"s, "<a"s, "<a b/>"s, "<a b=c/>"s, "<a b='1'c='2'/>"s, "<a b='<'/>"s,
          "<a b='x/>"s, "<a>&foo;</a>"s, "<a>&nbsp;</a>"s, "<a>& b</a>"s, "<a>&#;</a>"s,
          "<a>&#xZZ;</a>"s, "<a>&#0;</a>"s, "<a>&#x110000;</a>"s, "<a>&#99999999999999999999;</a>"s,
          "<a>&#xD800;</a>"s, "<a><!-- x </a>"s, "<a><!---->x</a>"s, "<a><!-- x --->x</a>"s,
          "<a><!-- a -- b --></a>"s, "<a><![CDATA[x</a>"s, "<a><?pi x</a>"s, "<a>< b/></a>"s,
          "<a><?xml version='1.0'?></a>"s, "<a/><?xml version='1.0'?>"s,
          "<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>"s, "<?xml version='1.0'"s, "<a><!x></a>"s,
          "<a>\xFF</a>"s, "<a>\xC3</a>"s, "<a>\xC0\xAF</a>"s, "<a>\xE0\x80\xAF</a>"s,
          "<a>\xED\xA0\x80</a>"s, "<a>\xF4\x90\x80\x80</a>"s, "<a>\x01</a>"s, "<a>\0</a>"s,
          "<a>\xEF\xBF\xBE</a>"s, "<\xEF\xBB\xBF/>"s, "<a>x\xEF\xBB\xBFy</a>"s,
          "\xFF\xFE<\0a\0/\0>\0"s, "<a>\xC3"s,
          // Non-ASCII content under another declared encoding would be misread.
          "<?xml version='1.0' encoding='ISO-8859-1'?><a>Gr\xC3\xBC\xC3\x9F"
          "e</a>"s}) {
        EXPECT_NE(refusal(doc), "accepted") << doc;
    }
}

TEST(SoapXmlCheck, BoundsDepthAttributesAndSize) {
    EXPECT_EQ(refusal(nested(MM7_MAX_XML_DEPTH)), "accepted");
    EXPECT_EQ(refusal(nested(MM7_MAX_XML_DEPTH + 1)), "elements nested too deep");
    EXPECT_EQ(refusal(with_attributes(MM7_MAX_XML_ATTRIBUTES)), "accepted");
    EXPECT_EQ(refusal(with_attributes(MM7_MAX_XML_ATTRIBUTES + 1)), "too many attributes");
    std::string largest = "<a>" + std::string(MM7_MAX_ENVELOPE_SIZE - 7, 'x') + "</a>";
    EXPECT_EQ(refusal(largest), "accepted");
    EXPECT_EQ(refusal(largest + " "), "document too large");
}

TEST(SoapXmlBool, TrueFalseOneAndZeroWithBlanksElseMinusOne) {
    // Letter case aside, as VASPs write True; a text that is no boolean is -1, not false.
    const std::pair<const char*, int> cases[] = {
        {"true", 1}, {"True", 1}, {" 1 ", 1}, {"tr<x/>ue", 1}, {"\n0\t", 0}, {"FALSE", 0},
        {"", 0},     {"yes", -1}, {"10", -1}, {"truest", -1},  {"t rue", -1}};
    for (auto [text, want] : cases) {
        xml_tree tree = load(std::string("<r><Flag>") + text + "</Flag></r>");
        EXPECT_EQ(xml_get_element_bool(tree.get(), "Flag"), want) << text;
    }
    EXPECT_EQ(xml_get_element_bool(load("<r/>").get(), "Flag"), 0);
}

std::string time_text(const std::optional<mms_time>& t) {
    return !t ? "none" : (t->relative ? "+" : "") + std::to_string(t->seconds);
}

TEST(SoapDates, FormatAndParse) {
    set_tz(CET);
    // Written in UTC with its zone designator, without a fraction; a time no broken-down year
    // holds gives no date.
    EXPECT_EQ(mm7_format_date(1700000000), "2023-11-14T22:13:20Z");
    EXPECT_EQ(mm7_format_date(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(mm7_format_date(std::numeric_limits<std::time_t>::max()), "");
    // Durations count from 2024-01-31T10:00:00Z: a month from then ends on 29 February.
    constexpr std::time_t now = 1706695200;
    struct date_case {
        const char* zone;
        const char* text;
        const char* want;  // seconds since the epoch, "+" seconds of a duration, or "none"
    };
    const date_case cases[] = {
        // An instant honours its zone, at the ends of the range of zones, under any TZ.
        {"UTC", "2023-11-14T22:13:20Z", "1700000000"},
        {CET, "2023-11-14T22:13:20Z", "1700000000"},
        {CET, "2023-11-15T12:13:20+14:00", "1700000000"},
        {"UTC", "2023-11-14T10:13:20-12:00", "1700000000"},
        {CET, "2023-11-14T08:13:20-14:00", "1700000000"},
        {CET, "2023-11-14T17:13:20-05:00", "1700000000"},
        // Fractions round to the nearest second; 24:00:00 is the end of the day.
        {"UTC", " 2023-11-14T22:13:20.499Z\n", "1700000000"},
        {"UTC", "2023-11-14T22:13:20.5+00:00", "1700000001"},
        {"UTC", "2023-11-14T24:00:00Z", "1700006400"},
        // Without a zone it is local time, summer time included.
        {CET, "2023-11-14T23:13:20", "1700000000"},
        {CET, "2023-07-01T12:00:00.0", "1688205600"},
        // The instants a Long-integer of four octets holds, and a leap day.
        {"UTC", "1970-01-01T00:00:00Z", "0"},
        {"UTC", "2106-02-07T06:28:15Z", "4294967295"},
        {"UTC", "2024-02-29T00:00:00Z", "1709164800"},
        // Every single field of a duration, any subset of them, and the old form of all six.
        {CET, "P1Y", "+31622400"},
        {"UTC", "P1M", "+2505600"},
        {"UTC", "P1D", "+86400"},
        {"UTC", "PT1H", "+3600"},
        {"UTC", "PT1M", "+60"},
        {"UTC", "PT1S", "+1"},
        {"UTC", "PT0.5S", "+1"},
        {"UTC", "PT0.49S", "+0"},
        {"UTC", "P0D", "+0"},
        {"UTC", "PT36H", "+129600"},
        {"UTC", "P0DT1H30M", "+5400"},
        {"UTC", "P1Y2M3DT4H5M6S", "+36993906"},
        {"UTC", "P0Y1M1DT0H0M30S", "+2592030"},
        {"UTC", "PT4294967295S", "+4294967295"},
    };
    for (const date_case& c : cases) {
        set_tz(c.zone);
        EXPECT_EQ(time_text(mm7_parse_date(c.text, now)), c.want) << c.text << " " << c.zone;
    }
    set_tz("UTC");
    for (const char* bad : {"",
                            "tomorrow",
                            "2023-13-01T00:00:00",
                            "2023-02-29T00:00:00Z",
                            "2023-11-14",
                            "2023-11-14 10:00:00",
                            "2023-11-14T22:13",
                            "2023-11-14T22:13:60Z",
                            "2023-11-14T24:00:01Z",
                            "2023-11-14T22:13:20.Z",
                            "2023-11-14T22:13:20Zx",
                            "2023-11-14T22:13:20+14:01",
                            "2023-11-14T22:13:20+15:00",
                            "2023-11-14T22:13:20-12:60",
                            "2023-11-14T22:13:20+1:00",
                            "02023-11-14T22:13:20Z",
                            "-2023-11-14T22:13:20Z",
                            "1969-12-31T23:59:59Z",
                            "2106-02-07T06:28:16Z",
                            "P",
                            "PT",
                            "P1DT",
                            "-P1D",
                            "P1.5D",
                            "PT1.S",
                            "PT.5S",
                            "P1H",
                            "PT1D",
                            "P1M1Y",
                            "P1D1D",
                            "p1D",
                            "1D",
                            "PT1H1H",
                            "P1 D",
                            "PT4294967296S",
                            "P137Y"}) {
        EXPECT_EQ(time_text(mm7_parse_date(bad, now)), "none") << bad;
    }
    unsetenv("TZ");
}

TEST(SoapSenderMarkers, TargetTakesDigitsOfRouteByForceTakesTheRest) {
    struct marker_case {
        const char* sender;
        opt_text route_by;
        opt_text from;
    };
    const marker_case cases[] = {
        {"##TARGET##", "sim+12345", "12345"},  // a letter skips three characters, '+' one
        {"##TARGET##", "abc", std::nullopt},
        {"##TARGET##", "ab", std::nullopt},  // the skip runs past the end
        {"##TARGET##", "a1234", "34"},       // the digits skipped with the letter are lost
        {"##FORCE##0711", "12345", "0711"},
        {"##FORCE##", "12345", std::nullopt},
        {"vasp", "12345", std::nullopt},
    };
    for (const marker_case& c : cases) {
        mms_message message;
        message.sender = c.sender;
        message.route_by = c.route_by;
        message.from = "old";
        mm7_apply_sender_markers(message);
        EXPECT_EQ(message.from, c.from) << c.sender << " " << c.route_by.value_or("(none)");
    }
}
