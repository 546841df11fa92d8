// SubmitReq envelopes as VASPs write them, every refusal, and hostile input.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "mm7/mm7.h"
#include "support/log_capture.h"

namespace {

constexpr const char* MM7_NS =
    "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2";

std::string read_envelope(const std::string& name) {
    std::ifstream in(std::string(MM7_ENVELOPE_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A minimal envelope around the given SubmitReq content, lines joined by CRLF as the HTTP
// parser hands them over.
std::string envelope(const std::string& submit_req_content,
                     const std::string& header = "<TransactionID>t1</TransactionID>") {
    return std::string("<?xml version=\"1.0\"?>\r\n") +
           "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n" +
           "<env:Header>" + header + "</env:Header>\r\n<env:Body>\r\n<SubmitReq xmlns=\"" + MM7_NS +
           "\">\r\n" + submit_req_content + "\r\n</SubmitReq>\r\n</env:Body>\r\n" +
           "</env:Envelope>";
}

const std::string CONTENT = "<Content href=\"cid:mms_cid\"/>";

// Sets the time zone for one test.
struct utc_zone {
    utc_zone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~utc_zone() {
        unsetenv("TZ");
        tzset();
    }
};

// Expects a refusal with exactly the given reason as the last log line.
void expect_refused(const std::string& text, const std::string& reason) {
    log_capture log;
    EXPECT_EQ(ParseEnvelope(text), nullptr) << text;
    std::string lines = log.text();
    EXPECT_TRUE(lines.ends_with("] ParseEnvelope: " + reason + "\n")) << lines;
}

}  // namespace

TEST(SoapEnvelope, PrefixedEnvelopeWithEveryField) {
    utc_zone zone;
    std::unique_ptr<mms_message> m = ParseEnvelope(read_envelope("env_prefix_full.xml"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->transaction_id, "tx-0001");
    EXPECT_EQ(m->sender, "vasp1svc##FORCE##0711");  // every text inside runs together
    EXPECT_EQ(m->from, std::nullopt);               // so the marker is not at the start
    EXPECT_EQ(m->to, (text_list{"+4917012345", "+4917054321"}));
    EXPECT_EQ(m->cc, (text_list{"7777"}));
    EXPECT_EQ(m->bcc, (text_list{"user@example.com"}));
    EXPECT_EQ(m->route_by, "sim1");
    EXPECT_EQ(m->content_id, "<mms_cid>");
    EXPECT_EQ(m->reply_charging_size, "2048");
    EXPECT_EQ(m->reply_deadline, 1907798400u);  // 2030-06-16T00:00:00
    EXPECT_EQ(m->message_class, "Informational");
    EXPECT_EQ(m->priority, "High");
    EXPECT_EQ(m->subject, "Fish & chips <today>");
    EXPECT_EQ(m->delivery_report, 1u);
    EXPECT_EQ(m->read_report, 0u);
    EXPECT_EQ(m->expiry, 1907757045u);  // 2030-06-15T12:30:45
    EXPECT_EQ(m->message_id, std::nullopt);
}

TEST(SoapEnvelope, SoapAndMm7PrefixesWithRelativeExpiry) {
    utc_zone zone;
    std::unique_ptr<mms_message> m = ParseEnvelope(read_envelope("soap_prefix_relative.xml"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->transaction_id, "4711");
    EXPECT_EQ(m->sender, "1234");
    EXPECT_EQ(m->to, (text_list{"111", "222"}));
    EXPECT_EQ(m->cc, std::nullopt);
    EXPECT_EQ(m->bcc, std::nullopt);
    EXPECT_EQ(m->route_by, "111");  // no RouteBy: the first To address
    EXPECT_EQ(m->content_id, "<part1@vasp>");
    EXPECT_EQ(m->expiry, 86400u + 3600u + 30u);
    EXPECT_EQ(m->read_report, 1u);
    EXPECT_EQ(m->delivery_report, 0u);
    EXPECT_EQ(m->subject,
              "Gr\xC3\xBC\xC3\x9F"
              "e \xF0\x9F\x98\x80");
    EXPECT_EQ(m->reply_charging_size, std::nullopt);
    EXPECT_EQ(m->reply_deadline, 0u);
}

TEST(SoapEnvelope, DefaultNamespaceEmptyTransactionIdBccOnly) {
    std::unique_ptr<mms_message> m = ParseEnvelope(read_envelope("default_ns_bcc_only.xml"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->transaction_id, std::nullopt);
    EXPECT_EQ(m->route_by, "a@b.example");
    EXPECT_EQ(m->bcc, (text_list{"a@b.example"}));
    EXPECT_EQ(m->sender, std::nullopt);
    EXPECT_EQ(m->subject, std::nullopt);
    EXPECT_EQ(m->expiry, 0u);
    EXPECT_EQ(m->content_id, "<x>");
}

TEST(SoapEnvelope, TargetMarkerRouteByOnlyAndCdataSubject) {
    std::unique_ptr<mms_message> m = ParseEnvelope(read_envelope("target_marker_cdata.xml"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->transaction_id, "T-9");
    EXPECT_EQ(m->sender, "##TARGET##");
    EXPECT_EQ(m->route_by, "sim+12345");
    EXPECT_EQ(m->from, "12345");
    EXPECT_EQ(m->to, std::nullopt);  // RouteBy alone is enough
    EXPECT_EQ(m->subject, "a < b & c");
    EXPECT_EQ(m->delivery_report, 0u);  // "yes" is not true
}

TEST(SoapEnvelope, CommentsAroundTheEnvelopeWithoutDeclaration) {
    std::string text = read_envelope("default_ns_bcc_only.xml");
    std::unique_ptr<mms_message> m =
        ParseEnvelope("<!-- from the VASP -->\r\n" + text + "<!-- end -->\r\n");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->route_by, "a@b.example");
}

TEST(SoapEnvelope, BlankLinesBeforeTheDeclarationAreTolerated) {
    // Some VASPs leave an empty line between the part headers and the XML declaration.
    std::unique_ptr<mms_message> m =
        ParseEnvelope("\r\n \r\n" + read_envelope("env_prefix_full.xml"));
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->transaction_id.has_value());
}

TEST(SoapEnvelope, RouteByFallsBackToCcThenBcc) {
    std::unique_ptr<mms_message> m = ParseEnvelope(envelope(
        "<Recipients><Bcc><Number>3</Number></Bcc><Cc><Number>2</Number></Cc></Recipients>" +
        CONTENT));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->route_by, "2");
    m = ParseEnvelope(envelope("<Recipients><Bcc><Number>3</Number></Bcc></Recipients>" + CONTENT));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->route_by, "3");
    // A RouteBy without text does not count; the first of several RouteBy texts does.
    m = ParseEnvelope(envelope(
        "<Recipients><RouteBy> </RouteBy><To><Number>1</Number></To></Recipients>" + CONTENT));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->route_by, "1");
    m =
        ParseEnvelope(envelope("<Recipients><RouteBy><a>r1</a><b>r2</b></RouteBy><To><Number>1</"
                               "Number></To></Recipients>" +
                               CONTENT));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->route_by, "r1");
}

TEST(SoapEnvelope, UnreadableDatesLeaveZeroWithoutFailing) {
    std::unique_ptr<mms_message> m = ParseEnvelope(
        envelope("<Recipients><To><Number>1</Number></To></Recipients><ExpiryDate>soon</ExpiryDate>"
                 "<ReplyCharging replyChargingSize=\"\" replyDeadline=\"never\"/>" +
                 CONTENT));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->expiry, 0u);
    EXPECT_EQ(m->reply_deadline, 0u);
    EXPECT_EQ(m->reply_charging_size, std::nullopt);
}

TEST(SoapEnvelope, EveryRefusalIsLogged) {
    const std::string to = "<Recipients><To><Number>1</Number></To></Recipients>";
    expect_refused("<env:Envelope><env:Body>", "Invalid envelope XML");
    expect_refused("<Envelope><Body/></Envelope>", "Invalid envelope: no header found");
    expect_refused(envelope(to + CONTENT, "<Other>t</Other>"),
                   "Invalid envelope: transaction ID not found");
    // TransactionID outside Header does not count.
    expect_refused("<Envelope><Header/><TransactionID>t</TransactionID></Envelope>",
                   "Invalid envelope: transaction ID not found");
    expect_refused("<Envelope><Header><TransactionID>t</TransactionID></Header></Envelope>",
                   "Invalid envelope: no body found");
    expect_refused(
        "<Envelope><Header><TransactionID>t</TransactionID></Header><Body><DeliverReq/></Body>"
        "</Envelope>",
        "Invalid envelope: no submit_req found");
    expect_refused(envelope(CONTENT), "Invalid submit_req: no recipients");
    expect_refused(envelope("<Recipients><To> </To><Cc/></Recipients>" + CONTENT),
                   "submit_req contains no recipients");
    expect_refused(envelope(to), "submit_req contains no Content element");
    expect_refused(envelope(to + "<Content/>"), "submit_req Content invalid href");
    expect_refused(envelope(to + "<Content href=\"mms_cid\"/>"), "submit_req Content invalid href");
    expect_refused(envelope(to + "<Content href=\"CID:x\"/>"), "submit_req Content invalid href");
}

TEST(SoapEnvelope, HostileEnvelopesAreRefusedAsInvalidXml) {
    const std::string to = "<Recipients><To><Number>1</Number></To></Recipients>";
    auto nest = [](std::size_t depth, const std::string& inner) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i) {
            text += "<x>";
        }
        text += inner;
        for (std::size_t i = 0; i < depth; ++i) {
            text += "</x>";
        }
        return text;
    };
    std::string many_attributes = "<Subject";
    for (int i = 0; i < 20000; ++i) {
        many_attributes += " a" + std::to_string(i) + "=\"\"";
    }
    many_attributes += "/>";
    for (const std::string& text : {
             envelope(nest(MM7_MAX_XML_DEPTH, to + CONTENT)),
             envelope(nest(MM7_MAX_ENVELOPE_SIZE / 7, to + CONTENT)),
             envelope(to + many_attributes + CONTENT),
             envelope(to + "<Subject>" + std::string(MM7_MAX_ENVELOPE_SIZE, 'a') + "</Subject>" +
                      CONTENT),
             "<!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>" +
                 envelope(to + "<Subject>&b;</Subject>" + CONTENT),
             envelope(to + "<Subject>&nbsp;</Subject>" + CONTENT),
             envelope(to + "<Subject>\xE4</Subject>" + CONTENT),
             envelope(to + CONTENT).substr(0, 200),
             envelope(to + CONTENT) + std::string(1, '\0') + "<x/>",
             std::string("\xFE\xFF\0<\0a\0/\0>", 10),
         }) {
        expect_refused(text, "Invalid envelope XML");
    }
}

TEST(SoapEnvelope, LargestEnvelopesParseInProportionateTime) {
    // Many small elements, long texts and many recipients, each just below the size bound.
    const std::string head = "<Recipients><To>";
    std::string recipients;
    while (recipients.size() < MM7_MAX_ENVELOPE_SIZE - 1024) {
        recipients += "<Number>+491701234567</Number>";
    }
    std::string elements;
    while (elements.size() < MM7_MAX_ENVELOPE_SIZE - 1024) {
        elements += "<a/>";
    }
    std::string nested = "<Number>1</Number>";
    for (std::size_t i = 0; i + 8 < MM7_MAX_XML_DEPTH; ++i) {
        nested = "<To>" + nested + "</To>";
    }
    nested = "<Recipients>" + nested + "</Recipients>";
    const std::string inputs[] = {
        envelope(head + recipients + "</To></Recipients>" + CONTENT),
        envelope("<Recipients><To>1</To></Recipients><Subject>" + elements + "</Subject>" +
                 CONTENT),
        envelope("<Recipients><To>1</To></Recipients><Subject>" +
                 std::string(MM7_MAX_ENVELOPE_SIZE - 1024, 'x') + "</Subject>" + CONTENT),
        envelope(nested + CONTENT),
    };
    for (const std::string& text : inputs) {
        ASSERT_LE(text.size(), MM7_MAX_ENVELOPE_SIZE);
        auto start = std::chrono::steady_clock::now();
        std::unique_ptr<mms_message> m = ParseEnvelope(text);
        auto spent = std::chrono::steady_clock::now() - start;
        EXPECT_NE(m, nullptr);
        // Generous for sanitizer builds on a shared machine; quadratic behaviour takes minutes.
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count(), 5000);
    }
}
