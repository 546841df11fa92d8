// The documents written: exact bytes where they are pinned down, and well-formedness checked by
// an independent parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "mm7/documents/mm7.h"
#include "mm7/documents/mm7_xml.h"

namespace {

// A document as it must be written, byte for byte, from tests/mm7/documents/expected.
std::string document(const std::string& name) {
    std::ifstream in(std::string(MM7_DOCUMENT_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
    mms_message odd;
    odd.from = "<a&b>";
    odd.to = text_list{"\"q\"", "it's"};
    const std::pair<std::string, const char*> cases[] = {
        {mm7_submit_rsp("T1", 1000, "Success", "M-42"), "submit_rsp.xml"},
        // Errors and zero are client faults.
        {mm7_submit_rsp("T1", 2004, "x", std::nullopt), "submit_rsp_client_error.xml"},
        {mm7_submit_rsp("T1", 0, std::nullopt, std::nullopt), "submit_rsp_status_zero.xml"},
        {mm7_deliver_req(decoded_message()), "deliver_req.xml"},
        {mm7_deliver_req(odd), "deliver_req_escaped.xml"},
        {mm7_delivery_report_req(decoded_message()), "delivery_report_req.xml"},
        {mm7_delivery_report_req(with_fallbacks("gw&r")), "delivery_report_req_fallbacks.xml"},
        {mm7_read_reply_req(decoded_message()), "read_reply_req.xml"},
        // The same fallbacks, and a missing status is Indeterminate.
        {mm7_read_reply_req(with_fallbacks("gw-r")), "read_reply_req_fallbacks.xml"},
    };
    for (const auto& [got, name] : cases) {
        EXPECT_EQ(got, document(name)) << name;
    }
}

// An answer is written in the namespace and MM7Version of its request, each where the request
// named one; the requests the daemon sends are in the default schema, which start-up may set.
TEST(SoapDocuments, AnswersInTheRequestsSchemaRequestsInTheDefault) {
    const std::string archive = "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/";
    auto in_schema = [&](std::string document, const std::string& ns, const std::string& version) {
        for (auto [from, to] : {std::pair{archive + "REL-5-MM7-1-2", archive + ns},
                                std::pair{std::string(">5.3.0<"), ">" + version + "<"}}) {
            for (std::size_t at = 0; (at = document.find(from, at)) != std::string::npos;
                 at += to.size()) {
                document.replace(at, from.size(), to);
            }
        }
        return document;
    };
    mms_message request;
    request.mm7_namespace = archive + "REL-6-MM7-1-4";
    request.mm7_version = "6.8.0";
    for (int code : {1000, 4004}) {
        EXPECT_EQ(mm7_submit_rsp("T1", code, "x", "M", mm7_answer_schema(&request)),
                  in_schema(mm7_submit_rsp("T1", code, "x", "M"), "REL-6-MM7-1-4", "6.8.0"));
    }
    request.mm7_version.reset();
    EXPECT_EQ(mm7_submit_rsp("T1", 2002, "x", "M", mm7_answer_schema(&request)),
              in_schema(mm7_submit_rsp("T1", 2002, "x", "M"), "REL-6-MM7-1-4", "5.3.0"));
    mm7_set_default_schema(archive + "REL-6-MM7-1-0", "");
    mm7_set_default_schema("", "6.3.0");
    EXPECT_EQ(mm7_deliver_req(decoded_message()),
              in_schema(document("deliver_req.xml"), "REL-6-MM7-1-0", "6.3.0"));
    EXPECT_EQ(mm7_submit_rsp("T1", 1000, "Success", "M-42", mm7_answer_schema(nullptr)),
              in_schema(document("submit_rsp.xml"), "REL-6-MM7-1-0", "6.3.0"));
    mm7_set_default_schema(archive + "REL-5-MM7-1-2", "5.3.0");
    EXPECT_EQ(mm7_read_reply_req(decoded_message()), document("read_reply_req.xml"));
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
