// The documents written: exact bytes where they are pinned down, and well-formedness checked by
// an independent parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "mm7/mm7.h"
#include "mm7/mm7_xml.h"

namespace {

const std::string ENV_NS = "http://schemas.xmlsoap.org/soap/envelope/";
const std::string MM7_NS =
    "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2";
const std::string TAIL = "</env:Body>\n</env:Envelope>\n";

std::string head(const std::string& transaction_id) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<env:Envelope xmlns:env=\"" + ENV_NS +
           "\">\n<env:Header>\n<TransactionID xmlns=\"" + MM7_NS + "\" env:mustUnderstand=\"1\">" +
           transaction_id + "</TransactionID>\n</env:Header>\n<env:Body>\n";
}

std::string fault(const std::string& code_and_text) {
    return "<env:Fault>\n<faultcode>env:Client</faultcode>\n<faultstring>Client error"
           "</faultstring>\n<detail>\n<RSErrorRsp xmlns=\"" +
           MM7_NS + "\">\n<MM7Version>5.3.0</MM7Version>\n<Status>\n<StatusCode>" + code_and_text +
           "</StatusText>\n</Status>\n</RSErrorRsp>\n</detail>\n</env:Fault>\n" + TAIL;
}

mms_message decoded_message() {
    mms_message m;
    m.transaction_id = "T1";
    m.message_id = "M1";
    m.from = "+49170111";
    m.to = text_list{"+49170222", "+49170333"};
    m.cc = text_list{"+49170444"};
    m.bcc = text_list{"x@y.example"};
    m.recipient = "+49170222";
    m.date = 1700000000;
    m.status = "Retrieved";
    m.read_status = "Read";
    m.priority = "Normal";
    m.subject = "Tom & Jerry";
    return m;
}

// The decoded message without the fields that have a fallback, which is given instead.
mms_message with_fallbacks(const char* gateway_recipient) {
    mms_message m = decoded_message();
    m.recipient.reset();
    m.from.reset();
    m.status.reset();
    m.read_status.reset();
    m.gateway_recipient = gateway_recipient;
    m.gateway_sender = "gw-s";
    return m;
}

}  // namespace

TEST(SoapDocuments, ExactDocuments) {
    const std::string report = "<DeliveryReportReq xmlns=\"" + MM7_NS +
                               "\"><MM7Version>5.3.0</MM7Version><MessageID>M1</MessageID>";
    const std::string reply = "<ReadReplyReq xmlns=\"" + MM7_NS +
                              "\"><MM7Version>5.3.0</MM7Version><MessageID>M1</MessageID>";
    const std::string deliver =
        "<DeliverReq xmlns=\"" + MM7_NS + "\">\n<MM7Version>5.3.0</MM7Version>\n<Sender><Number>";
    mms_message odd;
    odd.from = "<a&b>";
    odd.to = text_list{"\"q\"", "it's"};
    const std::pair<std::string, std::string> cases[] = {
        {mm7_submit_rsp("T1", 1000, "Success", "M-42"),
         head("T1") + "<SubmitRsp xmlns=\"" + MM7_NS +
             "\">\n<MM7Version>5.3.0</MM7Version>\n<Status>\n<StatusCode>1000</StatusCode>\n"
             "<StatusText>Success</StatusText>\n</Status>\n<MessageID>M-42</MessageID>\n"
             "</SubmitRsp></env:Body>\n</env:Envelope>\n"},
        // Errors and zero are client faults.
        {mm7_submit_rsp("T1", 2004, "x", std::nullopt),
         head("T1") + fault("2004</StatusCode>\n<StatusText>x")},
        {mm7_submit_rsp("T1", 0, std::nullopt, std::nullopt),
         head("T1") + fault("3000</StatusCode>\n<StatusText>")},
        {mm7_deliver_req(decoded_message()),
         head("T1") + deliver +
             "+49170111</Number></Sender>\n<Recipients>\n<To><Number>+49170222</Number></To><To>"
             "<Number>+49170333</Number></To><Cc><Number>+49170444</Number></Cc><Bcc><Number>"
             "x@y.example</Number></Bcc></Recipients>\n<Priority>Normal</Priority>\n<Subject>"
             "Tom &amp; Jerry</Subject>\n<Content href=\"cid:mms_cid\" />\n</DeliverReq>" +
             TAIL},
        {mm7_deliver_req(odd),
         head("") + deliver +
             "&lt;a&amp;b&gt;</Number></Sender>\n<Recipients>\n<To><Number>&quot;q&quot;"
             "</Number></To><To><Number>it&apos;s</Number></To></Recipients>\n<Content "
             "href=\"cid:mms_cid\" />\n</DeliverReq>" +
             TAIL},
        {mm7_delivery_report_req(decoded_message()),
         head("T1") + report +
             "<Recipient><Number>+49170222</Number></Recipient><Sender><Number>+49170111</Number>"
             "</Sender><Date>2023-11-14T22:13:20</Date><MMStatus>Retrieved</MMStatus>"
             "</DeliveryReportReq>" +
             TAIL},
        {mm7_delivery_report_req(with_fallbacks("gw&r")),
         head("T1") + report +
             "<Recipient><Number>gw&amp;r</Number></Recipient><Sender><Number>gw-s</Number>"
             "</Sender><Date>2023-11-14T22:13:20</Date><MMStatus></MMStatus>"
             "</DeliveryReportReq>" +
             TAIL},
        {mm7_read_reply_req(decoded_message()),
         head("T1") + reply +
             "<Recipient><Number>+49170222</Number></Recipient><Sender><Number>+49170111</Number>"
             "</Sender><TimeStamp>2023-11-14T22:13:20</TimeStamp><MMStatus>Read</MMStatus>"
             "</ReadReplyReq>" +
             TAIL},
        // No fallback here, and a missing status is Indeterminate.
        {mm7_read_reply_req(with_fallbacks("gw-r")),
         head("T1") + reply +
             "<Recipient><Number></Number></Recipient><Sender><Number></Number></Sender>"
             "<TimeStamp>2023-11-14T22:13:20</TimeStamp><MMStatus>Indeterminate</MMStatus>"
             "</ReadReplyReq>" +
             TAIL},
    };
    for (const auto& [got, want] : cases) {
        EXPECT_EQ(got, want);
    }
}

// Texts and identifiers alike are escaped: an odd one cannot make a document unreadable.
TEST(SoapDocuments, WellFormedForIndependentReaders) {
    const bool have_xmllint = std::system("xmllint --version >/dev/null 2>&1") == 0;
    mms_message m = decoded_message();
    m.subject = "<&\"'>";
    m.from = "a<b";
    m.gateway_recipient = "&";
    for (const std::string& doc :
         {mm7_submit_rsp("a&b", 1000, "x & <y>", "m<1>"), mm7_submit_rsp({}, 0, {}, {}),
          mm7_deliver_req(m), mm7_delivery_report_req(m), mm7_read_reply_req({})}) {
        EXPECT_TRUE(xml_check_document(doc)) << doc;
        if (have_xmllint) {
            char path[] = "/tmp/soap_doc_XXXXXX";
            close(mkstemp(path));
            std::ofstream(path, std::ios::binary) << doc;
            EXPECT_EQ(std::system(("xmllint --noout " + std::string(path)).c_str()), 0) << doc;
            std::remove(path);
        }
    }
    if (!have_xmllint) {
        GTEST_SKIP() << "xmllint is not installed: checked by the daemon's own check only";
    }
}
