// The documents written: exact bytes where they are pinned down, and well-formedness checked by
// an independent parser.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "mm7/mm7.h"
#include "mm7/mm7_xml.h"

namespace {

const std::string ENV_NS = "http://schemas.xmlsoap.org/soap/envelope/";
const std::string MM7_NS =
    "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2";

std::string head(const std::string& transaction_id) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<env:Envelope xmlns:env=\"" + ENV_NS +
           "\">\n<env:Header>\n<TransactionID xmlns=\"" + MM7_NS + "\" env:mustUnderstand=\"1\">" +
           transaction_id + "</TransactionID>\n</env:Header>\n<env:Body>\n";
}

const std::string TAIL = "</env:Body>\n</env:Envelope>\n";

// Runs xmllint on a document; false with its complaint when it refuses.  Skips the calling test
// when xmllint is not installed.
bool xmllint_accepts(const std::string& document, std::string& complaint) {
    char path[] = "/tmp/soap_doc_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        complaint = "no temporary file";
        return false;
    }
    close(fd);
    std::ofstream(path, std::ios::binary) << document;
    std::string command = std::string("xmllint --noout ") + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char chunk[512];
    std::size_t n;
    while (pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        complaint.append(chunk, n);
    }
    int status = pipe != nullptr ? pclose(pipe) : -1;
    std::remove(path);
    return status == 0;
}

std::string attribute(mxml_node_t* node, const char* name) {
    const char* value = mxmlElementGetAttr(node, name);
    return value != nullptr ? value : "(none)";
}

bool have_xmllint() {
    return std::system("xmllint --version >/dev/null 2>&1") == 0;
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

}  // namespace

TEST(SoapSubmitRsp, SuccessIsSubmitRspEndingInOneLineFeed) {
    EXPECT_EQ(mm7_submit_rsp("T1", 1000, "Success", "M-42"),
              head("T1") + "<SubmitRsp xmlns=\"" + MM7_NS +
                  "\">\n<MM7Version>5.3.0</MM7Version>\n<Status>\n<StatusCode>1000</StatusCode>\n"
                  "<StatusText>Success</StatusText>\n</Status>\n<MessageID>M-42</MessageID>\n"
                  "</SubmitRsp></env:Body>\n</env:Envelope>\n");
    for (int code : {1, 1999}) {
        EXPECT_NE(mm7_submit_rsp("T1", code, "x", "m").find("<SubmitRsp "), std::string::npos);
    }
}

TEST(SoapSubmitRsp, ErrorsAndZeroAreClientFaults) {
    const std::string fault_head =
        "<env:Fault>\n<faultcode>env:Client</faultcode>\n<faultstring>Client error</faultstring>\n"
        "<detail>\n<RSErrorRsp xmlns=\"" +
        MM7_NS + "\">\n<MM7Version>5.3.0</MM7Version>\n<Status>\n<StatusCode>";
    const std::string fault_tail =
        "</StatusText>\n</Status>\n</RSErrorRsp>\n</detail>\n</env:Fault>\n";
    EXPECT_EQ(mm7_submit_rsp("T1", 4005, "Bad", "ignored"),
              head("T1") + fault_head + "4005</StatusCode>\n<StatusText>Bad" + fault_tail + TAIL);
    EXPECT_EQ(mm7_submit_rsp("T1", 2004, "x", std::nullopt),
              head("T1") + fault_head + "2004</StatusCode>\n<StatusText>x" + fault_tail + TAIL);
    EXPECT_EQ(mm7_submit_rsp("T1", 0, std::nullopt, std::nullopt),
              head("T1") + fault_head + "3000</StatusCode>\n<StatusText>" + fault_tail + TAIL);
    EXPECT_NE(mm7_submit_rsp("T1", -1, "x", "m").find("<StatusCode>-1<"), std::string::npos);
}

TEST(SoapSubmitRsp, TextsAndIdentifiersAreEscaped) {
    // Identifiers are escaped too, so that an odd one cannot make the reply unreadable.
    std::string doc = mm7_submit_rsp("a&b", 1000, "x & <y>", "m<1>");
    EXPECT_NE(doc.find("<StatusText>x &amp; &lt;y&gt;</StatusText>"), std::string::npos);
    EXPECT_NE(doc.find("<MessageID>m&lt;1&gt;</MessageID>"), std::string::npos);
    EXPECT_NE(doc.find("mustUnderstand=\"1\">a&amp;b</TransactionID>"), std::string::npos);
    // Absent pieces leave their elements empty.
    doc = mm7_submit_rsp(std::nullopt, 1000, "", std::nullopt);
    EXPECT_NE(doc.find("\"1\"></TransactionID>"), std::string::npos);
    EXPECT_NE(doc.find("<StatusText></StatusText>"), std::string::npos);
    EXPECT_NE(doc.find("<MessageID></MessageID>"), std::string::npos);
}

TEST(SoapDeliverReq, ExactDocument) {
    EXPECT_EQ(mm7_deliver_req(decoded_message()),
              head("T1") + "<DeliverReq xmlns=\"" + MM7_NS +
                  "\">\n<MM7Version>5.3.0</MM7Version>\n<Sender><Number>+49170111</Number>"
                  "</Sender>\n<Recipients>\n<To><Number>+49170222</Number></To><To><Number>"
                  "+49170333</Number></To><Cc><Number>+49170444</Number></Cc><Bcc><Number>"
                  "x@y.example</Number></Bcc></Recipients>\n<Priority>Normal</Priority>\n"
                  "<Subject>Tom &amp; Jerry</Subject>\n<Content href=\"cid:mms_cid\" />\n"
                  "</DeliverReq>" +
                  TAIL);
}

TEST(SoapDeliverReq, WithoutOptionalFields) {
    mms_message m;
    EXPECT_EQ(mm7_deliver_req(m),
              head("") + "<DeliverReq xmlns=\"" + MM7_NS +
                  "\">\n<MM7Version>5.3.0</MM7Version>\n<Sender><Number></Number></Sender>\n"
                  "<Recipients>\n</Recipients>\n<Content href=\"cid:mms_cid\" />\n</DeliverReq>" +
                  TAIL);
    m.from = "<a&b>";
    m.to = text_list{"\"q\"", "it's"};
    std::string doc = mm7_deliver_req(m);
    EXPECT_NE(doc.find("<Sender><Number>&lt;a&amp;b&gt;</Number></Sender>"), std::string::npos);
    EXPECT_NE(doc.find("<To><Number>&quot;q&quot;</Number></To><To><Number>it&apos;s</Number>"),
              std::string::npos);
}

TEST(SoapDeliveryReportReq, ExactDocumentAndFallbacks) {
    mms_message m = decoded_message();
    const std::string body_head = "<DeliveryReportReq xmlns=\"" + MM7_NS +
                                  "\"><MM7Version>5.3.0</MM7Version><MessageID>M1</MessageID>";
    EXPECT_EQ(mm7_delivery_report_req(m),
              head("T1") + body_head +
                  "<Recipient><Number>+49170222</Number></Recipient><Sender><Number>+49170111"
                  "</Number></Sender><Date>2023-11-14T22:13:20</Date><MMStatus>Retrieved"
                  "</MMStatus></DeliveryReportReq>" +
                  TAIL);
    m.recipient.reset();
    m.from.reset();
    m.status.reset();
    m.gateway_recipient = "gw&r";
    m.gateway_sender = "gw-s";
    EXPECT_EQ(mm7_delivery_report_req(m),
              head("T1") + body_head +
                  "<Recipient><Number>gw&amp;r</Number></Recipient><Sender><Number>gw-s"
                  "</Number></Sender><Date>2023-11-14T22:13:20</Date><MMStatus></MMStatus>"
                  "</DeliveryReportReq>" +
                  TAIL);
}

TEST(SoapReadReplyReq, ExactDocumentIndeterminateAndNoFallback) {
    mms_message m = decoded_message();
    const std::string body_head = "<ReadReplyReq xmlns=\"" + MM7_NS +
                                  "\"><MM7Version>5.3.0</MM7Version><MessageID>M1</MessageID>";
    EXPECT_EQ(mm7_read_reply_req(m),
              head("T1") + body_head +
                  "<Recipient><Number>+49170222</Number></Recipient><Sender><Number>+49170111"
                  "</Number></Sender><TimeStamp>2023-11-14T22:13:20</TimeStamp><MMStatus>Read"
                  "</MMStatus></ReadReplyReq>" +
                  TAIL);
    m.recipient.reset();
    m.from.reset();
    m.read_status.reset();
    m.gateway_recipient = "gw-r";
    m.gateway_sender = "gw-s";
    EXPECT_EQ(mm7_read_reply_req(m),
              head("T1") + body_head +
                  "<Recipient><Number></Number></Recipient><Sender><Number></Number></Sender>"
                  "<TimeStamp>2023-11-14T22:13:20</TimeStamp><MMStatus>Indeterminate</MMStatus>"
                  "</ReadReplyReq>" +
                  TAIL);
}

TEST(SoapReports, MissingDateIsNow) {
    mms_message m = decoded_message();
    m.date = 0;
    std::time_t before = std::time(nullptr);
    std::string report = mm7_delivery_report_req(m);
    std::string reply = mm7_read_reply_req(m);
    std::time_t after = std::time(nullptr);
    auto date_in = [](const std::string& doc, const std::string& tag) {
        std::size_t at = doc.find("<" + tag + ">") + tag.size() + 2;
        return doc.substr(at, doc.find("</" + tag + ">") - at);
    };
    for (const std::string& date : {date_in(report, "Date"), date_in(reply, "TimeStamp")}) {
        EXPECT_TRUE(date == mm7_format_date(before) || date == mm7_format_date(after)) << date;
    }
}

TEST(SoapDocuments, WellFormedForAnIndependentParser) {
    if (!have_xmllint()) {
        GTEST_SKIP() << "xmllint is not installed";
    }
    mms_message m = decoded_message();
    m.subject = "<&\"'>";
    m.from = "a<b";
    m.gateway_recipient = "&";
    mms_message empty;
    const std::string documents[] = {
        mm7_submit_rsp("T1", 1000, "ok & fine", "M1"),
        mm7_submit_rsp("T1", 4005, "<bad>", std::nullopt),
        mm7_submit_rsp(std::nullopt, 0, std::nullopt, std::nullopt),
        mm7_deliver_req(m),
        mm7_deliver_req(empty),
        mm7_delivery_report_req(m),
        mm7_delivery_report_req(empty),
        mm7_read_reply_req(m),
        mm7_read_reply_req(empty),
    };
    for (const std::string& doc : documents) {
        std::string complaint;
        EXPECT_TRUE(xmllint_accepts(doc, complaint)) << complaint << doc;
        EXPECT_TRUE(xml_check_document(doc)) << doc;
    }
}

TEST(SoapDocuments, Mm7ElementsAreInTheMm7Namespace) {
    // Read back with the envelope parser's own helpers: every MM7 element sits below an element
    // that declares the MM7 namespace as default, and the envelope elements use the env prefix.
    for (const std::string& doc :
         {mm7_submit_rsp("T", 1000, "s", "m"), mm7_submit_rsp("T", 4000, "s", "m"),
          mm7_deliver_req(decoded_message()), mm7_delivery_report_req(decoded_message()),
          mm7_read_reply_req(decoded_message())}) {
        xml_tree tree = xml_load_document(doc);
        ASSERT_NE(tree, nullptr) << doc;
        mxml_node_t* envelope = xml_find_element(tree.get(), "Envelope");
        ASSERT_NE(envelope, nullptr);
        EXPECT_STREQ(mxmlGetElement(envelope), "env:Envelope");
        EXPECT_EQ(attribute(envelope, "xmlns:env"), ENV_NS);
        for (const char* name : {"TransactionID", "SubmitRsp", "RSErrorRsp", "DeliverReq",
                                 "DeliveryReportReq", "ReadReplyReq"}) {
            if (mxml_node_t* element = xml_find_element(envelope, name)) {
                EXPECT_STREQ(mxmlGetElement(element), name);
                EXPECT_EQ(attribute(element, "xmlns"), MM7_NS) << name;
            }
        }
        EXPECT_NE(xml_find_element(envelope, "MM7Version"), nullptr);
    }
}
