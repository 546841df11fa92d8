// What a VASP submits is what the handset gets: SubmitReqs built by Python's email package and by
// curl reach the PDU with every recipient, time and flag as they mean, under any TZ; answers
// come in the request's MM7 schema; what cannot be carried is refused with an MM7 fault.
#include "support/e2e_fixture.h"
#include "support/mms_fields.h"

namespace {

using e2e::fixture, e2e::strings;

const std::string ARCHIVE = "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/";
constexpr const char* CET = "TZ=CET-1CEST,M3.5.0,M10.5.0/3";

class SubmissionMeaning : public fixture {
  protected:
    void SetUp() override { start(); }
    // One SubmitReq from tests/e2e/python_vasp.py; its line about the answer.
    std::string python_submit(const std::string& elements, const std::string& schema,
                              const std::string& version) {
        const auto [status, out] =
            e2e::shell("python3 " MM7_SOURCE_DIR "/tests/e2e/python_vasp.py 8887 '" + ARCHIVE +
                       schema + "' " + version + " py-1 '" + elements + "'");
        EXPECT_EQ(status, 0) << out;
        return out.substr(0, out.find('\n'));
    }
};

// The line python_vasp.py prints for an answer in a schema.
std::string answer(const std::string& status, const std::string& document,
                   const std::string& schema, const std::string& version, const std::string& code) {
    return status + " text/xml " + document + " " + ARCHIVE + schema + " " + version + " " + code +
           " " + ARCHIVE + schema + " py-1";
}

TEST_F(SubmissionMeaning, EveryRecipientTimeAndFlagReachesThePduUnderAnyZone) {
    // 40 recipients in 20 To, Cc and Bcc elements, interleaved, the last one a Bcc, each address
    // kind in each field.
    std::string recipients, want[3];
    const char* field[] = {"To", "Cc", "Bcc"};
    for (int n = 0, element = 0; n < 40; ++element) {
        const int f = (element + 1) % 3;
        recipients += std::string("<") + field[f] + ">";
        for (int i = 0; i < 2; ++n, ++i) {
            const std::string id = std::to_string(100 + n);
            const std::string address[] = {"+49170" + id, "user" + id + "@vasp.example", "7" + id};
            const char* kind[] = {"Number", "RFC2822Address", "ShortCode"};
            recipients +=
                std::string("<") + kind[n % 3] + ">" + address[n % 3] + "</" + kind[n % 3] + ">";
            want[f] +=
                (want[f].empty() ? "" : ",") + address[n % 3] + (n % 3 == 1 ? "" : "/TYPE=PLMN");
        }
        recipients += std::string("</") + field[f] + ">";
    }
    ASSERT_TRUE(recipients.ends_with("</Bcc>"));
    const std::string all = "to=" + want[0] + " cc=" + want[1] + " bcc=" + want[2];
    // Under UTC and in central European summer time (+02:00): the instants with a zone are the
    // same, a time without one is local time.
    const std::pair<const char*, std::string> zones[] = {{"TZ=UTC", "1907764245"},
                                                         {CET, "1907757045"}};
    for (const auto& [zone, local] : zones) {
        SCOPED_TRACE(zone);
        start_daemon({}, {zone});
        const std::pair<std::string, std::string> rows[] = {
            {"<Recipients>" + recipients +
                 "</Recipients><DeliveryReport> 1 </DeliveryReport><ReadReply>false</ReadReply>"
                 "<ExpiryDate>2030-06-15T12:30:45.6Z</ExpiryDate>"
                 "<EarliestDeliveryTime>P1DT2H</EarliestDeliveryTime><Subject>S</Subject>",
             all + " expiry=1907757046 delivery=+93600 dr=yes"},
            {"<Recipients><To><Number>1</Number></To></Recipients><DeliveryReport>False"
             "</DeliveryReport><ReadReply>1</ReadReply><ExpiryDate>2030-06-15T14:30:45"
             "</ExpiryDate><EarliestDeliveryTime>2030-06-15T07:30:45-05:00"
             "</EarliestDeliveryTime><Subject>S</Subject>",
             "to=1/TYPE=PLMN expiry=" + local + " delivery=1907757045 rr=yes"},
        };
        for (const auto& [elements, pdu] : rows) {
            EXPECT_EQ(python_submit(elements, "REL-6-MM7-1-4", "6.8.0"),
                      answer("200", "SubmitRsp", "REL-6-MM7-1-4", "6.8.0", "1000"));
            EXPECT_EQ(send_req_fields(next_pdu()), pdu + " subject=S");
        }
    }
}

// A request that is MM7 but cannot be carried gets HTTP 500 with an RSErrorRsp in its own schema
// and its TransactionID; nothing reaches the kernel module, and the log says why as before.
TEST_F(SubmissionMeaning, WhatCannotBeCarriedIsAnMm7FaultInTheRequestsSchema) {
    const std::string to = "<Recipients><To><Number>+4917</Number></To>";
    const std::tuple<std::string, std::string, std::string, std::string, std::string> rows[] = {
        {"<Recipients><To> </To></Recipients>", "REL-5-MM7-1-0", "5.3.0", "4004",
         "ParseEnvelope: submit_req contains no recipients"},
        {"", "REL-5-MM7-1-3", "5.5.0", "4004", "ParseEnvelope: Invalid submit_req: no recipients"},
        {to + "<Bcc><ShortCode>ACME</ShortCode></Bcc></Recipients>", "REL-6-MM7-1-4", "6.8.0",
         "2002", "ParseEnvelope: submit_req address cannot be carried: ACME"},
        {to + "</Recipients><ReadReply>yes</ReadReply>", "REL-6-MM7-1-0", "6.3.0", "4004",
         "ParseEnvelope: submit_req ReadReply is not a boolean: yes"},
        {to + "</Recipients><ExpiryDate>P</ExpiryDate>", "REL-5-MM7-1-2", "5.3.0", "4004",
         "ParseEnvelope: submit_req ExpiryDate is not a time the PDU can carry: P"},
    };
    for (const auto& [elements, schema, version, code, log] : rows) {
        EXPECT_EQ(python_submit(elements + "<Subject>S</Subject>", schema, version),
                  answer("500", "RSErrorRsp", schema, version, code));
        expect_log(log);
    }
    // Built by curl: the fault of a request in no MM7 namespace is in the default schema.
    const e2e::temp_dir dir;
    e2e::write_file(dir.path() / "soap.xml",
                    "<Envelope><Header><TransactionID>curl-1</TransactionID></Header><Body>"
                    "<SubmitReq><Recipients/><Content href=\"cid:c\"/></SubmitReq></Body>"
                    "</Envelope>");
    const auto [status, reply] = e2e::shell(
        "curl -s -i -H 'Content-Type: multipart/related; type=\"text/xml\"' -F 'soap=@" +
        (dir.path() / "soap.xml").string() + ";type=text/xml' http://127.0.0.1:8887/mm7");
    EXPECT_TRUE(std::regex_search(
        reply, std::regex("^HTTP/1.0 500 OK\r\nContent-Type: text/xml\r\n[\\s\\S]*<TransactionID "
                          "xmlns=\"" +
                          ARCHIVE +
                          "REL-5-MM7-1-2\" env:mustUnderstand=\"1\">curl-1<[\\s\\S]*<MM7Version>"
                          "5.3.0</MM7Version>\n<Status>\n<StatusCode>4004</StatusCode>")))
        << reply;
    EXPECT_FALSE(sim_->seen("received MMS_SENDMMS_REQ"));
}

// --mm7namespace and --mm7version set the schema of what the daemon sends, whose dates carry
// their zone.
TEST_F(SubmissionMeaning, DeliveriesInTheConfiguredSchemaWithZonedDates) {
    start_vasp();
    start_daemon({"--clienturl", "http://127.0.0.1:8080/mm7", "--mm7namespace",
                  ARCHIVE + "REL-6-MM7-1-4", "--mm7version", "6.8.0"});
    const std::string pdu = (keep_.path() / "report.mm1").string();
    sim_->command("pdu delivery " + pdu + " MSG-1");
    ASSERT_TRUE(sim_->wait_for_line("wrote delivery"));
    sim_->command("rcv 4 " + pdu);
    ASSERT_TRUE(vasp_->wait_for_line("request 1 path="));
    const std::string envelope = e2e::read_file(vasp_->dir() / "save/request-1/envelope.xml");
    EXPECT_TRUE(std::regex_search(
        envelope, std::regex("<TransactionID xmlns=\"" + ARCHIVE +
                             "REL-6-MM7-1-4\"[\\s\\S]*<DeliveryReportReq xmlns=\"" + ARCHIVE +
                             "REL-6-MM7-1-4\"><MM7Version>6.8.0</MM7Version>[\\s\\S]*<Date>"
                             "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ</Date>")))
        << envelope;
}

}  // namespace
