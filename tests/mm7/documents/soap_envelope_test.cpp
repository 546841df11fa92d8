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

// The TransactionID of an envelope ("-" when it has none), as a test reads it.
std::string match_tid(const std::string& text) {
    const std::size_t at = text.find("<TransactionID>");
    if (at == std::string::npos) {
        return "-";
    }
    const std::size_t from = at + 15;
    return text.substr(from, text.find('<', from) - from);
}

const std::string CONTENT = "<Content href=\"cid:mms_cid\"/>";
const std::string TO_1 = "<To><Number>1</Number></To>";
const std::string TO = "<Recipients>" + TO_1 + "</Recipients>";

}  // namespace

TEST(SoapEnvelope, EnvelopesAsVaspsWriteThem) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string FULL =
        "tid=tx-0001 sender=vasp1svc##FORCE##0711 to=+4917012345,+4917054321 cc=7777 "
        "bcc=user@example.com route_by=sim1 class=Informational priority=High subject=Fish & "
        "chips <today> dr=1 expiry=1907757045 deadline=1907798400 rc_size=2048 "
        "content_id=<mms_cid> ns=REL-5-MM7-1-2 mm7version=5.3.0";
    const std::pair<std::string, std::string> cases[] = {
        // Every text inside SenderIdentification runs together, so the marker is not at the start.
        {read_envelope("env_prefix_full.xml"), FULL},
        // Some VASPs leave an empty line between the part headers and the XML declaration.
        {"\r\n \r\n" + read_envelope("env_prefix_full.xml"), FULL},
        // soap: and mm7: prefixes, a duration with zero fields, a zoned delivery time; no
        // RouteBy: the first To address.
        {read_envelope("soap_prefix_relative.xml"),
         "tid=4711 sender=1234 to=111,222 route_by=111 subject=Gr\\xC3\\xBC\\xC3\\x9Fe "
         "\\xF0\\x9F\\x98\\x80 rr=1 expiry=+176430 delivery=1907757045 content_id=<part1@vasp> "
         "ns=REL-6-MM7-1-4 mm7version=6.8.0"},
        // Default namespace, empty TransactionID, Bcc only.
        {read_envelope("default_ns_bcc_only.xml"),
         "bcc=a@b.example route_by=a@b.example content_id=<x> ns=REL-5-MM7-1-0 "
         "mm7version=5.3.0"},
        // RouteBy alone is enough; CDATA subject; a boolean 1 among blanks; no MM7Version.
        {read_envelope("target_marker_cdata.xml"),
         "tid=T-9 sender=##TARGET## from=12345 route_by=sim+12345 subject=a < b & c dr=1 "
         "content_id=<mms_cid> ns=REL-5-MM7-1-2"},
        // Every address of repeated, interleaved To, Cc and Bcc, in order per field.
        {envelope("<Recipients><To><Number>1</Number></To><Cc><RFC2822Address>Ann "
                  "&lt;c@x.example&gt;</RFC2822Address></Cc><To><ShortCode>222</ShortCode>"
                  "<Number displayOnly=\"false\">+3-4.5</Number></To><Bcc><Number>4</Number>"
                  "</Bcc><Cc><Number>5</Number></Cc><Bcc><RFC2822Address>b@y</RFC2822Address>"
                  "</Bcc></Recipients>" +
                  CONTENT),
         "tid=t1 to=1,222,+3-4.5 cc=Ann <c@x.example>,5 bcc=4,b@y route_by=1 content_id=<mms_cid> "
         "ns=REL-5-MM7-1-2"},
        // A namespace other than an MM7 one, and an MM7Version of another form, are not kept.
        {"<Envelope><Header><TransactionID>t</TransactionID></Header><Body><SubmitReq "
         "xmlns=\"urn:vasp\"><MM7Version>6</MM7Version>" +
             TO + CONTENT + "</SubmitReq></Body></Envelope>",
         "tid=t to=1 route_by=1 content_id=<mms_cid>"},
        // The routing number falls back to Cc, then Bcc; a RouteBy without text does not count.
        {envelope("<Recipients><Bcc><Number>3</Number></Bcc><Cc><Number>2</Number></Cc>"
                  "</Recipients>" +
                  CONTENT),
         "tid=t1 cc=2 bcc=3 route_by=2 content_id=<mms_cid> ns=REL-5-MM7-1-2"},
        {envelope("<Recipients><Bcc><Number>3</Number></Bcc></Recipients>" + CONTENT),
         "tid=t1 bcc=3 route_by=3 content_id=<mms_cid> ns=REL-5-MM7-1-2"},
        {envelope("<Recipients><RouteBy> </RouteBy><To><Number>1</Number></To></Recipients>" +
                  CONTENT),
         "tid=t1 to=1 route_by=1 content_id=<mms_cid> ns=REL-5-MM7-1-2"},
        // Empty times and flags are none.
        {envelope(TO +
                  "<ExpiryDate> </ExpiryDate><ReadReply/><ReplyCharging replyChargingSize=\"\" "
                  "replyDeadline=\"\"/>" +
                  CONTENT),
         "tid=t1 to=1 route_by=1 content_id=<mms_cid> ns=REL-5-MM7-1-2"},
    };
    for (const auto& [text, want] : cases) {
        std::unique_ptr<mms_message> m = ParseEnvelope(text);
        ASSERT_NE(m, nullptr) << text;
        EXPECT_EQ(fields(*m), want) << text;
    }
    unsetenv("TZ");
    tzset();
}

// A refusal of a SOAP envelope is an MM7 status for the fault that answers it, with the
// TransactionID as far as it was read; what is no SOAP envelope has none.
TEST(SoapEnvelope, EveryRefusalIsLoggedWithItsStatusAndHostileInputIsInvalidXml) {
    const std::string bad_xml = "Invalid envelope XML";
    const std::string header_only = "<Envelope><Header><TransactionID>t</TransactionID></Header>";
    auto unsupported = [&](const std::string& element, const std::string& value) {
        const std::string content = element == "replyDeadline"
                                        ? "<ReplyCharging replyDeadline=\"" + value + "\"/>"
                                        : "<" + element + ">" + value + "</" + element + ">";
        return std::tuple{envelope(TO + content + CONTENT),
                          "submit_req " + element + " is not a time the PDU can carry: " + value,
                          4004};
    };
    auto uncarried = [&](const std::string& address, const std::string& reason) {
        return std::tuple{envelope("<Recipients><To><Number>1</Number></To><Bcc>" + address +
                                   "</Bcc></Recipients>" + CONTENT),
                          "submit_req address " + reason, 2002};
    };
    const std::tuple<std::string, std::string, int> cases[] = {
        {"<env:Envelope><env:Body>", bad_xml, 0},
        {"<SubmitReq/>", "Invalid envelope: no header found", 0},
        {"<Envelope><Body/></Envelope>", "Invalid envelope: no header found", 4004},
        {envelope(TO + CONTENT, "<Other>t</Other>"), "Invalid envelope: transaction ID not found",
         4004},
        {header_only + "</Envelope>", "Invalid envelope: no body found", 4004},
        {header_only + "<Body> </Body></Envelope>", "Invalid envelope: no submit_req found", 4004},
        {envelope(CONTENT), "Invalid submit_req: no recipients", 4004},
        {envelope("<Recipients><To> </To><Cc/></Recipients>" + CONTENT),
         "submit_req contains no recipients", 4004},
        {envelope(TO), "submit_req contains no Content element", 4004},
        {envelope(TO + "<Content/>"), "submit_req Content invalid href", 4004},
        {envelope(TO + "<DeliveryReport>yes</DeliveryReport>" + CONTENT),
         "submit_req DeliveryReport is not a boolean: yes", 4004},
        {envelope(TO + "<ReadReply>2</ReadReply>" + CONTENT),
         "submit_req ReadReply is not a boolean: 2", 4004},
        unsupported("ExpiryDate", "soon"),
        unsupported("EarliestDeliveryTime", "P"),
        unsupported("replyDeadline", "1969-12-31T23:59:59Z"),
        uncarried("<Number>+49 170</Number>", "cannot be carried: +49 170"),
        uncarried("<Number>1</Number><Number>a@b</Number>", "cannot be carried: a@b"),
        uncarried("<Number>+</Number>", "cannot be carried: +"),
        uncarried("<Number/>", "cannot be carried: "),
        uncarried("<RFC2822Address>nobody</RFC2822Address>", "cannot be carried: nobody"),
        uncarried("<ShortCode>ACME</ShortCode>", "cannot be carried: ACME"),
        uncarried("<Number addressCoding=\"encrypted\">MTIz</Number>", "cannot be carried: MTIz"),
        uncarried("<Number displayOnly=\"1\">5</Number>", "is for display only: 5"),
        uncarried("<mm7:Alias>x</mm7:Alias>", "of unknown kind: mm7:Alias"),
        {envelope("<Recipients><To><Number displayOnly=\"maybe\">5</Number></To></Recipients>" +
                  CONTENT),
         "submit_req displayOnly is not a boolean: maybe", 4004},
        {envelope(TO + "<Subject>" + std::string(MM7_MAX_ENVELOPE_SIZE, 'a') + "</Subject>" +
                  CONTENT),
         bad_xml, 0},
        {"<!DOCTYPE e [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>" +
             envelope(TO + "<Subject>&b;</Subject>" + CONTENT),
         bad_xml, 0},
        {envelope(TO + CONTENT) + std::string(1, '\0') + "<x/>", bad_xml, 0},
    };
    for (const auto& [text, reason, code] : cases) {
        log_capture log;
        EXPECT_EQ(ParseEnvelope(text), nullptr) << text.substr(0, 300);
        EXPECT_TRUE(log.text().ends_with("] ParseEnvelope: " + reason + "\n"))
            << reason << "\n"
            << log.text().substr(0, 300);
        std::string operation;
        mm7_refusal refusal;
        std::unique_ptr<mms_message> partial = ParseEnvelope(text, &operation, &refusal);
        EXPECT_EQ(refusal.status_code, code) << reason;
        EXPECT_EQ(partial != nullptr, code != 0) << reason;
        if (code != 0) {
            EXPECT_EQ(refusal.text, reason);
            const std::string tid = match_tid(text);
            EXPECT_EQ(partial->transaction_id.value_or("-"), tid) << reason;
        }
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
        nested = "<a>" + nested + "</a>";
    }
    for (const std::string& text :
         {envelope("<Recipients><To>" + recipients + "</To></Recipients>" + CONTENT),
          envelope("<Recipients><To>1</To></Recipients><Subject>" + elements + "</Subject>" +
                   CONTENT),
          envelope("<Recipients>" + TO_1 + nested + "</Recipients>" + CONTENT)}) {
        ASSERT_LE(text.size(), MM7_MAX_ENVELOPE_SIZE);
        auto start = std::chrono::steady_clock::now();
        EXPECT_NE(ParseEnvelope(text), nullptr);
        // Generous for sanitizer builds on a shared machine; quadratic behaviour takes minutes.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}
