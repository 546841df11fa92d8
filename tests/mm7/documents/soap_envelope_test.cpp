// SubmitReq envelopes as VASPs write them, every refusal, and hostile input.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "mm7/documents/mm7.h"
#include "support/log_capture.h"
#include "support/mms_fields.h"

namespace {

std::string read_envelope(const std::string& name) {
    std::ifstream in(std::string(MM7_ENVELOPE_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A minimal envelope around the given SubmitReq content, lines joined by CRLF as the HTTP
// parser hands them over.
std::string envelope(const std::string& content,
                     const std::string& header = "<TransactionID>t1</TransactionID>") {
    return "<?xml version=\"1.0\"?>\r\n<env:Envelope "
           "xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<env:Header>" +
           header +
           "</env:Header>\r\n<env:Body>\r\n<SubmitReq xmlns=\"http://www.3gpp.org/ftp/"
           "Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2\">\r\n" +
           content + "\r\n</SubmitReq>\r\n</env:Body>\r\n</env:Envelope>";
}

const std::string CONTENT = "<Content href=\"cid:mms_cid\"/>";
const std::string TO = "<Recipients><To><Number>1</Number></To></Recipients>";

}  // namespace

TEST(SoapEnvelope, EnvelopesAsVaspsWriteThem) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string FULL =
        "tid=tx-0001 sender=vasp1svc##FORCE##0711 to=+4917012345,+4917054321 cc=7777 "
        "bcc=user@example.com route_by=sim1 class=Informational priority=High subject=Fish & "
        "chips <today> dr=1 expiry=1907757045 deadline=1907798400 rc_size=2048 "
        "content_id=<mms_cid>";
    const std::pair<std::string, std::string> cases[] = {
        // Every text inside SenderIdentification runs together, so the marker is not at the start.
        {read_envelope("env_prefix_full.xml"), FULL},
        // Some VASPs leave an empty line between the part headers and the XML declaration.
        {"\r\n \r\n" + read_envelope("env_prefix_full.xml"), FULL},
        // soap: and mm7: prefixes, relative expiry; no RouteBy: the first To address.
        {read_envelope("soap_prefix_relative.xml"),
         "tid=4711 sender=1234 to=111,222 route_by=111 subject=Gr\\xC3\\xBC\\xC3\\x9Fe "
         "\\xF0\\x9F\\x98\\x80 rr=1 expiry=90030 content_id=<part1@vasp>"},
        // Default namespace, empty TransactionID, Bcc only.
        {read_envelope("default_ns_bcc_only.xml"),
         "bcc=a@b.example route_by=a@b.example content_id=<x>"},
        // RouteBy alone is enough; CDATA subject; "yes" is not true.
        {read_envelope("target_marker_cdata.xml"),
         "tid=T-9 sender=##TARGET## from=12345 route_by=sim+12345 subject=a < b & c "
         "content_id=<mms_cid>"},
        // The routing number falls back to Cc, then Bcc; a RouteBy without text does not count.
        {envelope("<Recipients><Bcc><Number>3</Number></Bcc><Cc><Number>2</Number></Cc>"
                  "</Recipients>" +
                  CONTENT),
         "tid=t1 cc=2 bcc=3 route_by=2 content_id=<mms_cid>"},
        {envelope("<Recipients><Bcc><Number>3</Number></Bcc></Recipients>" + CONTENT),
         "tid=t1 bcc=3 route_by=3 content_id=<mms_cid>"},
        {envelope("<Recipients><RouteBy> </RouteBy><To><Number>1</Number></To></Recipients>" +
                  CONTENT),
         "tid=t1 to=1 route_by=1 content_id=<mms_cid>"},
        // Unreadable dates leave zero without failing.
        {envelope(TO +
                  "<ExpiryDate>soon</ExpiryDate><ReplyCharging replyChargingSize=\"\" "
                  "replyDeadline=\"never\"/>" +
                  CONTENT),
         "tid=t1 to=1 route_by=1 content_id=<mms_cid>"},
    };
    for (const auto& [text, want] : cases) {
        std::unique_ptr<mms_message> m = ParseEnvelope(text);
        ASSERT_NE(m, nullptr) << text;
        EXPECT_EQ(fields(*m), want) << text;
    }
    unsetenv("TZ");
    tzset();
}

TEST(SoapEnvelope, EveryRefusalIsLoggedAndHostileInputIsInvalidXml) {
    const std::string bad_xml = "Invalid envelope XML";
    const std::string header_only = "<Envelope><Header><TransactionID>t</TransactionID></Header>";
    const std::pair<std::string, std::string> cases[] = {
        {"<env:Envelope><env:Body>", bad_xml},
        {"<Envelope><Body/></Envelope>", "Invalid envelope: no header found"},
        {envelope(TO + CONTENT, "<Other>t</Other>"), "Invalid envelope: transaction ID not found"},
        {header_only + "</Envelope>", "Invalid envelope: no body found"},
        {header_only + "<Body><DeliverReq/></Body></Envelope>",
         "Invalid envelope: no submit_req found"},
        {envelope(CONTENT), "Invalid submit_req: no recipients"},
        {envelope("<Recipients><To> </To><Cc/></Recipients>" + CONTENT),
         "submit_req contains no recipients"},
        {envelope(TO), "submit_req contains no Content element"},
        {envelope(TO + "<Content/>"), "submit_req Content invalid href"},
        {envelope(TO + "<Subject>" + std::string(MM7_MAX_ENVELOPE_SIZE, 'a') + "</Subject>" +
                  CONTENT),
         bad_xml},
        {"<!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>" +
             envelope(TO + "<Subject>&b;</Subject>" + CONTENT),
         bad_xml},
        {envelope(TO + CONTENT) + std::string(1, '\0') + "<x/>", bad_xml},
    };
    for (const auto& [text, reason] : cases) {
        log_capture log;
        EXPECT_EQ(ParseEnvelope(text), nullptr) << text.substr(0, 300);
        EXPECT_TRUE(log.text().ends_with("] ParseEnvelope: " + reason + "\n"))
            << reason << "\n"
            << log.text().substr(0, 300);
    }
}

TEST(SoapEnvelope, LargestEnvelopesParseInProportionateTime) {
    // Many small elements, many recipients and deep nesting, each below the bounds.
    std::string recipients, elements, nested = "<Number>1</Number>";
    while (recipients.size() < MM7_MAX_ENVELOPE_SIZE - 1024) {
        recipients += "<Number>+491701234567</Number>";
    }
    while (elements.size() < MM7_MAX_ENVELOPE_SIZE - 1024) {
        elements += "<a/>";
    }
    for (std::size_t i = 0; i + 8 < MM7_MAX_XML_DEPTH; ++i) {
        nested = "<To>" + nested + "</To>";
    }
    for (const std::string& text :
         {envelope("<Recipients><To>" + recipients + "</To></Recipients>" + CONTENT),
          envelope("<Recipients><To>1</To></Recipients><Subject>" + elements + "</Subject>" +
                   CONTENT),
          envelope("<Recipients>" + nested + "</Recipients>" + CONTENT)}) {
        ASSERT_LE(text.size(), MM7_MAX_ENVELOPE_SIZE);
        auto start = std::chrono::steady_clock::now();
        EXPECT_NE(ParseEnvelope(text), nullptr);
        // Generous for sanitizer builds on a shared machine; quadratic behaviour takes minutes.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}
