// The daemon against the kernel module simulator over loopback: VASP submissions from the HTTP
// request to the SubmitRsp, every refusal, interim responses and disconnections.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>

#include "core/base64.h"
#include "e2e/http_client.h"
#include "e2e/mm7_request.h"
#include "support/daemon_harness.h"
#include "wsp/wsp_test_util.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A kept PDU, decoded: its headers and every entry's content type and data.
struct decoded_pdu {
    mms_message headers;
    std::vector<std::string> content_types;
    std::vector<std::string> content_ids;
    std::vector<std::string> data;
    std::uint32_t entry_count = 0;
    bool ends_exactly = false;
};

decoded_pdu decode_pdu(const std::string& bytes) {
    decoded_pdu out;
    buffer pdu(bytes.begin(), bytes.end());
    std::uint32_t offset = 0;
    out.headers = ParseMMSHeaders(pdu, offset, false);
    body_walk walk = walk_body(pdu, offset, [&](const multipart_entry& entry, std::uint64_t at) {
        out.content_types.push_back(entry.content_type.content_type.value_or(""));
        out.content_ids.push_back(entry.headers.content_id.value_or(""));
        std::size_t n =
            at < pdu.size() ? std::min<std::size_t>(entry.data_length, pdu.size() - at) : 0;
        out.data.emplace_back(reinterpret_cast<const char*>(pdu.data()) + at, n);
    });
    out.entry_count = walk.entries;
    out.ends_exactly = walk.end == pdu.size();
    return out;
}

// The PDU with its transaction id removed (ids differ between submissions by design).
std::string without_transaction_id(const std::string& pdu) {
    // 8C 80 98 <id> 00 ...
    std::size_t end = pdu.find('\0', 3);
    return end == std::string::npos ? pdu : pdu.substr(0, 3) + pdu.substr(end);
}

std::size_t count_pdu_files(const fs::path& dir) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        n += entry.path().extension() == ".mm1";
    }
    return n;
}

std::string error_reply(std::string_view status) {
    return "HTTP/1.0 " + std::string(status) + "\r\n\r\n" + std::string(status);
}

class ServerE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        keep_ = std::make_unique<e2e::temp_dir>("mm7-kept");
        sim_ = std::make_unique<e2e::kmodsim_process>(
            std::vector<std::string>{"--keep", keep_->path().string()});
        ASSERT_TRUE(sim_->ready());
        daemon_ = std::make_unique<e2e::daemon_process>(
            std::vector<std::string>{"--clientip", "127.0.0.1", "--gwserial", "GW-TEST-1",
                                     "--clienturl", "http://127.0.0.1:8080/mm7-client"});
        ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting on port 8887"));
        ASSERT_TRUE(sim_->wait_for_line("received XGATE_CONNECT_REQ"));
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_TRUE(daemon_->running()) << daemon_->stderr_text();
            EXPECT_FALSE(daemon_->log_contains("corrupted")) << daemon_->log();
            EXPECT_EQ(daemon_->stderr_text(), "");
        }
        daemon_.reset();
        sim_.reset();
    }

    // The newest kept PDU.
    std::string kept_pdu(const std::string& file_name) {
        return e2e::read_file(keep_->path() / file_name);
    }
    // Waits for the next send request and returns the kept file's name.
    std::string next_request_file() {
        auto line = sim_->wait_for_line("received MMS_SENDMMS_REQ");
        EXPECT_TRUE(line) << daemon_->log();
        if (!line)
            return {};
        std::smatch m;
        std::regex file_re("file=(\\S+)");
        EXPECT_TRUE(std::regex_search(*line, m, file_re));
        return fs::path(m[1].str()).filename().string();
    }
    void set(std::string_view key, std::string_view value) {
        auto answer = sim_->set(key, value);
        ASSERT_TRUE(answer && answer->starts_with("ok")) << answer.value_or("(none)");
    }

    std::unique_ptr<e2e::temp_dir> keep_;
    std::unique_ptr<e2e::kmodsim_process> sim_;
    std::unique_ptr<e2e::daemon_process> daemon_;
};

TEST_F(ServerE2E, SubmissionBecomesAPduAndTheVaspGetsSubmitRsp) {
    test_submission s = sample_submission();
    std::string reply = e2e::exchange(submit_request(s));
    std::string file = next_request_file();
    auto cnf = sim_->wait_for_line("sent MMS_SENDMMS_CNF");
    ASSERT_TRUE(cnf);
    std::smatch m;
    std::string cnf_line = *cnf;
    ASSERT_TRUE(std::regex_search(cnf_line, m, std::regex("message-id=(\\S+)")));
    std::string message_id = m[1].str();

    EXPECT_TRUE(
        reply.starts_with("HTTP/1.0 200 OK\r\n"
                          "Content-Type: text/xml\r\n"
                          "X-QZM-GWSN: GW-TEST-1\r\n"
                          "X-QZM-IMSI: 001010123456789\r\n"
                          "X-QZM-Port: 0\r\n"
                          "X-QZM-MM1-Support: 1.0\r\n\r\n"
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"))
        << reply;
    EXPECT_NE(reply.find("<TransactionID xmlns=\"http://www.3gpp.org/ftp/Specs/archive/23_series/"
                         "23.140/schema/REL-5-MM7-1-2\" env:mustUnderstand=\"1\">vasp-tx-1<"),
              std::string::npos);
    EXPECT_NE(reply.find("<StatusCode>1000</StatusCode>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("<MessageID>" + message_id + "</MessageID>\n</SubmitRsp>"),
              std::string::npos)
        << reply;
    EXPECT_TRUE(reply.ends_with("</env:Envelope>\n"));

    decoded_pdu pdu = decode_pdu(kept_pdu(file));
    EXPECT_EQ(pdu.headers.message_type, 0u);  // m-send-req
    ASSERT_TRUE(pdu.headers.to);
    EXPECT_EQ(*pdu.headers.to, text_list{"+4917012345"});
    EXPECT_EQ(pdu.headers.subject, "Hello");
    EXPECT_EQ(pdu.headers.priority, "High");
    EXPECT_EQ(pdu.headers.message_class, "");  // Personal: token 0, a text ending at once
    ASSERT_EQ(pdu.entry_count, 3u);
    EXPECT_TRUE(pdu.ends_exactly);
    EXPECT_EQ(pdu.content_types,
              (std::vector<std::string>{"application/smil", "text/plain", "image/gif"}));
    EXPECT_EQ(pdu.content_ids[0], "\"<smil>\"");
    EXPECT_EQ(pdu.content_ids[1], "\"<t.txt>\"");
    EXPECT_EQ(pdu.data[0], s.parts[0].body);
    EXPECT_EQ(pdu.data[1], "Hello from the VASP\r\nline two");
    std::optional<buffer> gif = base64_decode(s.parts[2].body);
    ASSERT_TRUE(gif);
    EXPECT_EQ(pdu.data[2], std::string(gif->begin(), gif->end()));

    EXPECT_TRUE(e2e::wait_until([&] { return count_pdu_files(daemon_->workdir()) == 0; }));
    EXPECT_TRUE(daemon_->log_contains("Found client fd"));
    EXPECT_TRUE(daemon_->log_contains("Sending 200 OK"));
}

TEST_F(ServerE2E, NetworkAnswersMapToMm7StatusesAndGatewayErrorsToFaults) {
    struct scenario {
        std::vector<std::pair<std::string, std::string>> settings;
        std::string status_line;
        std::string must_contain;
    };
    std::string not_a_send_conf = (keep_->path() / "retrieve-conf.bin").string();
    {
        std::ofstream f(not_a_send_conf, std::ios::binary);
        f << std::string(
            "\x8C\x84\x98"
            "T1\0\x8D\x92\x84\x83",
            11);  // m-retrieve-conf
    }
    const std::vector<scenario> scenarios = {
        {{{"status", "10"}}, "HTTP/1.0 500 OK", "<SubmitRsp"},
        {{{"status", "3"}, {"cause", "7"}}, "HTTP/1.0 500 OK", "<faultcode>env:Client</faultcode>"},
        {{{"status", "3"}, {"cause", "7"}},
         "HTTP/1.0 500 OK",
         "<StatusText>Gateway error 3, cause 7</StatusText>"},
        {{{"response_status", "227"}}, "HTTP/1.0 500 OK", "<StatusCode>4001</StatusCode>"},
        {{{"response_status", "233"}}, "HTTP/1.0 500 OK", "<StatusCode>3000</StatusCode>"},
        {{{"response_status", "130"}, {"response_text", "Denied & gone"}},
         "HTTP/1.0 500 OK",
         "<StatusCode>4007</StatusCode>\n<StatusText>Denied &amp; gone</StatusText>"},
        {{{"confirm", "empty"}}, "HTTP/1.0 500 OK", "Gateway error 1, cause 0"},
        {{{"confirm", "file"}, {"confirm_file", not_a_send_conf}},
         "HTTP/1.0 500 OK",
         "<StatusText>Invalid response received from network</StatusText>"},
    };
    for (const scenario& sc : scenarios) {
        set("status", "1");
        set("cause", "0");
        set("response_status", "128");
        set("response_text", "-");
        set("confirm", "sendconf");
        for (const auto& [key, value] : sc.settings) {
            set(key, value);
        }
        std::string reply = e2e::exchange(submit_request(sample_submission()));
        EXPECT_TRUE(reply.starts_with(sc.status_line + "\r\n")) << reply;
        EXPECT_NE(reply.find(sc.must_contain), std::string::npos) << sc.must_contain << "\n"
                                                                  << reply;
    }
    EXPECT_TRUE(daemon_->log_contains("send_conf expected, 4 received"));
    EXPECT_TRUE(e2e::wait_until([&] { return count_pdu_files(daemon_->workdir()) == 0; }));
}

TEST_F(ServerE2E, EveryRefusalHasItsStatusLineAndLeavesNoFile) {
    test_submission good = sample_submission();
    const std::string request = submit_request(good);
    auto replace = [&](std::string_view from, std::string_view to) {
        std::string r = request;
        std::size_t at = r.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos)
            r.replace(at, from.size(), to);
        return r;
    };
    auto with_parts = [&](std::vector<test_part> parts) {
        test_submission s = good;
        s.parts = std::move(parts);
        return submit_request(s);
    };
    std::string without_recipients = replace("<Recipients>", "<Recips>");
    without_recipients.replace(without_recipients.find("</Recipients>"), 13, "</Recips>");
    const std::string mm1_head =
        "POST /mm7 HTTP/1.0\r\nContent-Type: application/vnd.wap.mms-message\r\n";
    struct refusal {
        std::string request;
        std::string status;
        std::string log;
    };
    std::vector<refusal> refusals = {
        {replace("POST /mm7 HTTP/1.1", "GET /mm7 HTTP/1.1"), "400 Bad request", ""},
        {replace("POST /mm7 HTTP/1.1", "POST /mm7/ HTTP/1.1"), "400 Bad request", ""},
        {replace("POST /mm7 HTTP/1.1", "post /mm7 HTTP/1.1"), "400 Bad request", ""},
        {replace("Host: 127.0.0.1\r\n", "Host: 127.0.0.1\r\n folded\r\n"), "400 Bad header",
         "Bad header  folded"},
        {replace("Host: 127.0.0.1\r\n", "Host : 127.0.0.1\r\n"), "400 Bad header",
         "Bad header Host"},
        {replace("Host: 127.0.0.1\r\n", ": nameless\r\n"), "400 Bad header", "Bad header"},
        {replace("boundary=\"outer-boundary-1\"", "boundary=outer-boundary-1"),
         "400 Bad content type", "Wrong content type"},
        {replace("Content-Type: multipart/related; boundary=\"outer",
                 "Content-Type: text/plain; boundary=\"outer"),
         "400 Bad content type", "Wrong content type"},
        {mm1_head.substr(0, mm1_head.size() - 2) + "; x=1\r\nContent-Length: 3\r\n\r\nabc",
         "400 Bad content type", "Wrong content type"},
        {mm1_head + "x-qzm-recipient-id: +491\r\n\r\nabc", "400 Bad request",
         "MM1 MODE: Invalid content length 0"},
        {mm1_head + "Content-Length: 3\r\n\r\nabc", "400 Bad request", "MM1 MODE: no recipient"},
        {"POST /mm7 HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad request",
         "Multipart parameters have not been sent"},
        {replace("Content-Type: text/xml; charset=\"utf-8\"", "Content-Type: text/plain"),
         "400 Bad request", "Envelope content type must be text/xml"},
        {replace("Content-ID: <mm7_env>", "Content-ID : <mm7_env>"), "400 Bad request",
         "Bad envelope header: Content-ID : <mm7_env>"},
        {replace("Content-ID: <mm7_env>", "Content-ID: <other>"), "400 Bad request",
         "Entry part must be first"},
        {replace("<env:Body>", "<env:Body><broken"), "400 Bad request",
         "ParseEnvelope: Invalid envelope XML"},
        {without_recipients, "400 Bad request", "ParseEnvelope: Invalid submit_req: no recipients"},
        {replace("Content-ID: <mms_cid>", "Content-ID:: <mms_cid>"), "400 Bad request",
         "SMIL part must follow envelope :"},
        {replace("Content-Type: multipart/related; boundary=\"inner",
                 "Content-Type: multipart/mixed; boundary=\"inner"),
         "400 Bad request", "Bad content-type of Content"},
        {replace("Content-ID: <mms_cid>", "Content-ID: <other_cid>"), "400 Bad request",
         "SMIL part must follow envelope <other_cid>  <mms_cid>"},
        {replace("Content-ID: <t.txt>", "Content-ID <t.txt>"), "400 Bad Request",
         "Bad part header Content-ID <t.txt>"},
        {replace("Content-Transfer-Encoding: 8bit", "Content-Transfer-Encoding: quoted-printable"),
         "400 Bad Request", "Unsupported Content-Transfer-Encoding: quoted-printable"},
        {replace("Content-Type: text/plain; charset=utf-8\r\n", ""), "400 Bad request",
         "Incorrect part headers"},
        {replace("Host: 127.0.0.1\r\n", "X-Long: " + std::string(20000, 'x') + "\r\n"),
         "431 Request Header Fields Too Large", "Line too long"},
        {replace("<Subject>Hello</Subject>", "<Subject>" + std::string(300000, 's') + "</Subject>"),
         "400 Bad request", "Envelope too large"},
        {with_parts(std::vector<test_part>(128, test_part{"text/plain", "<p>", "x", "", ""})),
         "400 Bad request", "Too many parts"},
    };
    // A content part without Content-Type.
    refusals.push_back({replace("Content-Type: multipart/related; boundary=\"inner-boundary-2\"; "
                                "start=\"<smil_part>\"; type=\"application/smil\"\r\n",
                                ""),
                        "400 Bad request", "Content part has no Content-Type"});
    for (const refusal& r : refusals) {
        std::string reply = e2e::exchange(r.request);
        EXPECT_EQ(reply, error_reply(r.status)) << r.request.substr(0, 200);
        if (!r.log.empty()) {
            EXPECT_TRUE(daemon_->log_contains(r.log)) << r.log;
        }
    }
    EXPECT_EQ(count_pdu_files(daemon_->workdir()), 0u);
    EXPECT_FALSE(sim_->seen("received MMS_SENDMMS_REQ"));
    // 127 parts are fine.
    std::string reply = e2e::exchange(
        with_parts(std::vector<test_part>(127, test_part{"text/plain", "<p>", "x", "", ""})));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
}

TEST_F(ServerE2E, RequestSplitAtEveryByteGivesTheSamePdu) {
    const std::string request = submit_request(sample_submission());
    std::string reference;
    {
        std::string reply = e2e::exchange(request);
        ASSERT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
        reference = without_transaction_id(kept_pdu(next_request_file()));
    }
    {
        e2e::http_connection c;
        ASSERT_TRUE(c.send_in_pieces(request, 1, 50us));
        EXPECT_TRUE(c.read_all().starts_with("HTTP/1.0 200 OK"));
        EXPECT_EQ(without_transaction_id(kept_pdu(next_request_file())), reference);
    }
    for (std::size_t split = 1; split < request.size(); ++split) {
        e2e::http_connection c;
        ASSERT_TRUE(c.send_all(std::string_view(request).substr(0, split)));
        std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(c.send_all(std::string_view(request).substr(split)));
        ASSERT_TRUE(c.read_all().starts_with("HTTP/1.0 200 OK")) << split;
        ASSERT_EQ(without_transaction_id(kept_pdu(next_request_file())), reference) << split;
    }
}

TEST_F(ServerE2E, BinaryPartsWithNulBytesAndLongLinesAreCarriedExactly) {
    std::mt19937 random(42);
    std::string binary(300000, '\0');
    for (char& c : binary) {
        c = static_cast<char>(random() % 256);
        if (c == '-')
            c = '\0';  // never a delimiter inside
    }
    std::string base64_one_line = *base64_encode(as_bytes(binary));
    base64_one_line.erase(std::remove(base64_one_line.begin(), base64_one_line.end(), '\r'),
                          base64_one_line.end());
    base64_one_line.erase(std::remove(base64_one_line.begin(), base64_one_line.end(), '\n'),
                          base64_one_line.end());
    test_submission s = sample_submission();
    s.parts.push_back({"application/octet-stream", "<bin>", binary, "binary", ""});
    s.parts.push_back({"application/octet-stream", "<b64>", base64_one_line, "base64", ""});
    s.parts.push_back({"text/plain", "<empty>", "", "", ""});
    // Stray characters between the symbols of a long base64 line are skipped; a long line of
    // nothing but junk adds nothing.
    std::string sprinkled;
    for (std::size_t i = 0; i < base64_one_line.size(); ++i) {
        sprinkled += base64_one_line[i];
        if (i % 3 == 0)
            sprinkled += "! ";
    }
    s.parts.push_back({"application/octet-stream", "<sprinkled>", sprinkled, "base64", ""});
    s.parts.push_back(
        {"application/octet-stream", "<junk>", std::string(3000000, '!'), "base64", ""});
    std::string reply = e2e::exchange(submit_request(s));
    ASSERT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    decoded_pdu pdu = decode_pdu(kept_pdu(next_request_file()));
    ASSERT_EQ(pdu.entry_count, 8u);
    EXPECT_TRUE(pdu.ends_exactly);
    EXPECT_TRUE(pdu.data[3] == binary) << pdu.data[3].size();
    EXPECT_TRUE(pdu.data[4] == binary) << pdu.data[4].size();
    EXPECT_EQ(pdu.data[5], "");
    EXPECT_TRUE(pdu.data[6] == binary) << pdu.data[6].size();
    EXPECT_EQ(pdu.data[7], "");
}

TEST_F(ServerE2E, Mm1ModeStoresTheBodyAsItComes) {
    std::string body = std::string(
                           "\x8C\x80\x98"
                           "mm1-tx\0\x8D\x92",
                           11) +
                       std::string(5000, 'p');
    std::string request =
        "POST /mm7 HTTP/1.0\r\nContent-Type: application/vnd.wap.mms-message\r\n"
        "x-qzm-recipient-id: +4917099\r\nx-qzm-sender-id: ##FORCE##0711\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";
    std::string reply = e2e::exchange(request + body + "EXTRA-BYTES-BEYOND-LENGTH");
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    auto line = sim_->wait_for_line("received MMS_SENDMMS_REQ");
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("recipient=+4917099 sender=##FORCE##0711"), std::string::npos) << *line;
    std::smatch m;
    std::string l = *line;
    ASSERT_TRUE(std::regex_search(l, m, std::regex("file=(\\S+)")));
    EXPECT_EQ(kept_pdu(fs::path(m[1].str()).filename()), body);
    EXPECT_TRUE(daemon_->log_contains("HandleMM1Body: got more data"));
    EXPECT_NE(line->find("timeout=15 "), std::string::npos);
}

TEST_F(ServerE2E, EarlyHintsOnlyWhenAskedFor) {
    set("delay", "200");
    set("timeout_ind", "on");
    set("timeout", "42");
    test_submission s = sample_submission();
    s.extra_headers = {"x-expect: 103-early-hints"};
    std::string reply = e2e::exchange(submit_request(s));
    EXPECT_TRUE(
        reply.starts_with("HTTP/1.0 103 Early Hints\r\nX-Expected-Duration: 60\r\n\r\n"
                          "HTTP/1.0 103 Early Hints\r\nX-Expected-Duration: 42\r\n\r\n"
                          "HTTP/1.0 200 OK\r\n"))
        << reply;
    EXPECT_TRUE(daemon_->log_contains("Sending 103"));

    s.extra_headers = {"x-expect: 103-Early-Hints"};
    reply = e2e::exchange(submit_request(s));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\n")) << reply;
    EXPECT_TRUE(daemon_->wait_for_log("Not sending 103 as not requested by client"));
}

std::string call_id_of(const std::string& line);

TEST_F(ServerE2E, DisconnectingInEveryStateLeavesNothingBehind) {
    const std::string request = submit_request(sample_submission());
    std::size_t connections = 0;
    for (std::size_t cut = 0; cut < request.size(); cut += 11) {
        e2e::http_connection c;
        ASSERT_TRUE(c.send_all(std::string_view(request).substr(0, cut)));
        c.close_now();
        ++connections;
    }
    // Leaving once the request is complete is a half-close: the submission is carried through.
    ASSERT_TRUE(daemon_->wait_for_log_count("free_outgoing_mms_info", connections));
    set("confirm", "none");
    {
        e2e::http_connection c;
        ASSERT_TRUE(c.send_all(request));
        auto line = sim_->wait_for_line("not confirming callid=");
        ASSERT_TRUE(line);
        c.close_now();
        ++connections;
        ASSERT_TRUE(daemon_->wait_for_log("closed its sending side after the request"));
        set("confirm", "sendconf");
        sim_->command("cnf " + call_id_of(*line));
    }
    EXPECT_TRUE(daemon_->wait_for_log_count("free_outgoing_mms_info", connections));
    EXPECT_EQ(daemon_->log_count("free_outgoing_mms_info"), connections);
    EXPECT_EQ(count_pdu_files(daemon_->workdir()), 0u);
}

TEST(ServerAccess, PeersOtherThanTheClientIpAreClosedWithoutReply) {
    e2e::kmodsim_process sim;
    e2e::daemon_process daemon(std::vector<std::string>{"--clientip", "127.0.0.2"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    std::string reply = e2e::exchange(submit_request(sample_submission()));
    EXPECT_EQ(reply, "");
    EXPECT_TRUE(daemon.wait_for_log("IP '127.0.0.1' not authorized, closing connection"));
    EXPECT_FALSE(sim.seen("received MMS_SENDMMS_REQ"));
}

// ---- the kernel link under load and over restarts ----

std::string call_id_of(const std::string& line) {
    std::smatch m;
    return std::regex_search(line, m, std::regex("callid=(\\d+)")) ? m[1].str() : "";
}

void raise_file_limit();

TEST_F(ServerE2E, ABurstOf900ConfirmationsAnswersEveryWaitingVasp) {
    raise_file_limit();
    set("confirm", "none");
    const std::string request = submit_request(sample_submission());
    std::vector<std::unique_ptr<e2e::http_connection>> vasps;
    std::vector<std::string> call_ids;
    for (int i = 0; i < 900; ++i) {
        vasps.push_back(std::make_unique<e2e::http_connection>());
        ASSERT_TRUE(vasps.back()->send_all(request));
    }
    for (int i = 0; i < 900; ++i) {
        auto line = sim_->wait_for_line("not confirming callid=", 60s);
        ASSERT_TRUE(line) << i;
        call_ids.push_back(call_id_of(*line));
    }
    set("confirm", "sendconf");
    std::string commands;
    for (const std::string& id : call_ids) {
        commands += "cnf " + id + (&id == &call_ids.back() ? "" : "\n");
    }
    sim_->command(commands);
    std::set<std::string> message_ids;
    for (auto& vasp : vasps) {
        std::string reply = vasp->read_all(60s);
        ASSERT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(reply, m, std::regex("<MessageID>([^<]+)<")));
        message_ids.insert(m[1].str());
    }
    EXPECT_EQ(message_ids.size(), 900u);
}

TEST_F(ServerE2E, NoMoreThanTwoInterimResponses) {
    set("confirm", "none");
    test_submission s = sample_submission();
    s.extra_headers = {"x-expect: 103-early-hints"};
    e2e::http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request(s)));
    auto line = sim_->wait_for_line("not confirming callid=");
    ASSERT_TRUE(line);
    for (int i = 0; i < 50; ++i) {
        sim_->command("ind " + call_id_of(*line) + " 5");
    }
    set("confirm", "sendconf");
    sim_->command("cnf " + call_id_of(*line));
    std::string reply = vasp.read_all();
    std::size_t interim = 0;
    for (auto at = reply.find("103 Early Hints"); at != std::string::npos;
         at = reply.find("103 Early Hints", at + 1)) {
        ++interim;
    }
    EXPECT_EQ(interim, 2u) << reply;
    EXPECT_NE(reply.find("X-Expected-Duration: 5\r\n"), std::string::npos);
    EXPECT_NE(reply.find("HTTP/1.0 200 OK"), std::string::npos);
}

TEST_F(ServerE2E, ARestartNeitherRepeatsCallIdsNorKeepsOldPduFiles) {
    daemon_.reset();
    e2e::temp_dir work;
    std::ofstream(work.path() / "AAAAAAAA.mm1") << "left over";
    std::ofstream(work.path() / "notes.txt") << "kept";
    daemon_ = std::make_unique<e2e::daemon_process>(e2e::daemon_process::options{
        {"--workdir", work.path().string(), "--clientip", "127.0.0.1"}, false, true});
    ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting"));
    EXPECT_FALSE(fs::exists(work.path() / "AAAAAAAA.mm1"));
    EXPECT_TRUE(fs::exists(work.path() / "notes.txt"));
    EXPECT_TRUE(e2e::exchange(submit_request(sample_submission())).starts_with("HTTP/1.0 200"));
    auto line = sim_->wait_for_line("received MMS_SENDMMS_REQ");
    ASSERT_TRUE(line);
    EXPECT_GT(std::stoull(call_id_of(*line)), 1000000u) << *line;
}

// ---- nobody waits forever ----

void raise_file_limit() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4000));
    setrlimit(RLIMIT_NOFILE, &files);
}

TEST(ServerWaiting, IdleReadersAreClosedAndParkedRequestsAndLingeringSocketsAreBounded) {
    raise_file_limit();
    e2e::kmodsim_process sim;
    e2e::daemon_process daemon(
        std::vector<std::string>{"--clientip", "127.0.0.1", "--readtimeout", "3"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    const std::string request = submit_request(sample_submission());
    {
        // No progress while the request is read: 408 after the read time-out, for both.
        e2e::http_connection silent, half;
        ASSERT_TRUE(half.send_all(request.substr(0, 100)));
        EXPECT_EQ(silent.read_all(8s), error_reply("408 Request Timeout"));
        EXPECT_EQ(half.read_all(1s), error_reply("408 Request Timeout"));
    }
    // Requests parked half-way through large envelopes: past the memory bound, 503.
    test_submission big = sample_submission();
    big.subject = std::string(250000, 's');
    const std::string big_head = submit_request(big).substr(0, 250000);
    std::vector<std::unique_ptr<e2e::http_connection>> parked;
    for (int i = 0; i < 320; ++i) {
        parked.push_back(std::make_unique<e2e::http_connection>());
        parked.back()->send_all(big_head);
    }
    std::size_t refused = 0;
    for (auto& c : parked) {
        refused += c->read_some(10ms) == error_reply("503 Server busy");
    }
    EXPECT_GT(refused, 0u);
    EXPECT_TRUE(daemon.log_contains("Unfinished requests hold"));
    const std::size_t closed = 2 + parked.size();
    parked.clear();
    ASSERT_TRUE(daemon.wait_for_log_count("free_outgoing_mms_info", closed));
    std::this_thread::sleep_for(300ms);
    // Sockets lingering after refusals count within the connection cap.
    std::vector<std::unique_ptr<e2e::http_connection>> lingering;
    for (int i = 0; i < 1000; ++i) {
        lingering.push_back(std::make_unique<e2e::http_connection>());
        lingering.back()->send_all("GET / HTTP/1.0\r\n");
    }
    ASSERT_TRUE(daemon.wait_for_log_count("free_outgoing_mms_info", closed + 1000, 30s));
    EXPECT_EQ(e2e::exchange(request), "");
    EXPECT_TRUE(daemon.wait_for_log("Too many connections"));
    EXPECT_TRUE(daemon.running());
}

TEST_F(ServerE2E, AHalfCloseAfterTheRequestIsAnswered) {
    e2e::http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request(sample_submission())));
    vasp.shutdown_write();
    EXPECT_TRUE(vasp.read_all().starts_with("HTTP/1.0 200 OK")) << daemon_->log();
}

TEST(ServerWaiting, ASilentKernelModuleGetsAFaultAfterItsDeadline) {
    e2e::kmodsim_process sim({"--set", "confirm=none"});
    e2e::daemon_process daemon(
        std::vector<std::string>{"--clientip", "127.0.0.1", "--confirmgrace", "1"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    e2e::http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request(sample_submission())));
    auto line = sim.wait_for_line("not confirming callid=");
    ASSERT_TRUE(line);
    auto started = std::chrono::steady_clock::now();
    std::string reply = vasp.read_all(30s);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 15s);
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK")) << reply;
    EXPECT_NE(reply.find("<StatusText>Gateway did not confirm the submission</StatusText>"),
              std::string::npos)
        << reply;
    EXPECT_EQ(count_pdu_files(daemon.workdir()), 1u);  // the kernel module may still read it
    sim.set("confirm", "sendconf");
    sim.command("cnf " + call_id_of(*line));
    EXPECT_TRUE(daemon.wait_for_log("Not found client fd by callid " + call_id_of(*line)));
    EXPECT_TRUE(e2e::wait_until([&] { return count_pdu_files(daemon.workdir()) == 0; }));
}

// ---- nothing trusted that should not be ----

// The body in chunks of varying sizes, with an extension and a trailer.
std::string chunked(std::string_view body) {
    std::string out;
    std::size_t size = 1;
    while (!body.empty()) {
        std::size_t n = std::min(size, body.size());
        char head[32];
        std::snprintf(head, sizeof head, "%zx%s\r\n", n, size % 3 ? "" : ";ext=1");
        out += head + std::string(body.substr(0, n)) + "\r\n";
        body.remove_prefix(n);
        size = size * 3 + 1;
    }
    return out + "0\r\nX-Trailer: t\r\n\r\n";
}

std::string as_chunked(const std::string& request) {
    std::size_t end = request.find("\r\n\r\n") + 4;
    std::string head =
        std::regex_replace(request.substr(0, end), std::regex("Content-Length: \\d+\r\n"), "");
    head.insert(head.size() - 2, "Transfer-Encoding: chunked\r\n");
    return head + chunked(request.substr(end));
}

TEST(ServerInput, ChunkedBodiesLimitsAndHostileValues) {
    e2e::temp_dir keep;
    e2e::kmodsim_process sim({"--keep", keep.path().string()});
    e2e::daemon_process daemon(
        std::vector<std::string>{"--clientip", "127.0.0.1", "--maxmessagesize", "100000"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    const test_submission good = sample_submission();
    const std::string request = submit_request(good);
    auto with_part = [&](test_part part) {
        test_submission s = good;
        s.parts.push_back(std::move(part));
        return submit_request(s);
    };
    auto replace = [](std::string r, std::string_view from, std::string_view to) {
        return r.replace(r.find(from), from.size(), to);
    };
    const std::string mm1 =
        "POST /mm7 HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n"
        "x-qzm-recipient-id: +4917099\r\n";
    std::string many_params = "text/plain";
    while (many_params.size() < 16000) {
        many_params += ";a=1";
    }
    struct input_case {
        std::string request;
        std::string reply_start;
    };
    const std::vector<input_case> cases = {
        {as_chunked(request), "HTTP/1.0 200 OK"},
        {as_chunked(mm1 + "\r\n" + std::string(5000, 'm')), "HTTP/1.0 200 OK"},
        {replace(request, "Host:", "Transfer-Encoding: gzip\r\nHost:"), "HTTP/1.0 501"},
        {replace(as_chunked(request), "\r\n\r\n1\r\n", "\r\n\r\ng\r\n"),
         "HTTP/1.0 400 Bad request"},
        {with_part({"application/octet-stream", "<big>", std::string(100001, 'b'), "", ""}),
         "HTTP/1.0 413 Payload Too Large"},
        {mm1 + "Content-Length: 100001\r\n\r\n", "HTTP/1.0 413 Payload Too Large"},
        {mm1 + "Content-Length: 4294967297\r\n\r\nx", "HTTP/1.0 400 Bad request"},
        {with_part({"text/plain", "<nul>", "x", "", std::string("a\0b", 3)}),
         "HTTP/1.0 400 Bad Request"},
        {with_part({many_params, "<params>", "x", "", ""}), "HTTP/1.0 200 OK"},
    };
    for (const input_case& c : cases) {
        auto started = std::chrono::steady_clock::now();
        std::string reply = e2e::exchange(c.request);
        EXPECT_TRUE(reply.starts_with(c.reply_start)) << c.reply_start << "\n" << reply;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << c.reply_start;
    }
    // The chunked submission is the same PDU as the plain one; the chunked MM1 body is kept as
    // sent.
    std::string first = sim.wait_for_line("received MMS_SENDMMS_REQ").value_or("");
    std::string second = sim.wait_for_line("received MMS_SENDMMS_REQ").value_or("");
    auto kept = [&](const std::string& line) {
        std::smatch m;
        std::regex_search(line, m, std::regex("file=(\\S+)"));
        return e2e::read_file(keep.path() / fs::path(m[1].str()).filename());
    };
    decoded_pdu pdu = decode_pdu(kept(first));
    EXPECT_EQ(pdu.entry_count, 3u);
    EXPECT_TRUE(pdu.ends_exactly);
    EXPECT_EQ(pdu.data[1], "Hello from the VASP\r\nline two");
    EXPECT_EQ(kept(second), std::string(5000, 'm'));
    EXPECT_LT(daemon.log_count("compose_content_type"), 100u);
}

TEST(ServerInput, PeerValuesCannotForgeLogLines) {
    e2e::kmodsim_process sim;
    e2e::daemon_process daemon(std::vector<std::string>{"--clientip", "127.0.0.1"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    test_submission s = sample_submission();
    s.subject = "x&#10;FORGED-xml";
    s.parts[1].content_type = "text/plain; q=\"\nFORGED-param\"";
    const std::string request = submit_request(s);
    std::string bad_header = request;
    bad_header.insert(bad_header.find("Host:"), "Bad \nFORGED-header: 1\r\n");
    std::string boundary = request;
    boundary.replace(boundary.find("outer-boundary-1"), 16, "o\nFORGED-boundary\x1b[2J");
    e2e::exchange(bad_header);
    {
        e2e::http_connection c;
        c.send_all(boundary);
    }
    EXPECT_TRUE(e2e::exchange(request).starts_with("HTTP/1.0 200 OK"));
    std::string log = daemon.log();
    EXPECT_EQ(log.find("\nFORGED"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_NE(log.find("\\x0AFORGED-header"), std::string::npos);
    EXPECT_NE(log.find("\\x0AFORGED-boundary"), std::string::npos);
    EXPECT_NE(log.find("\\x0AFORGED-param"), std::string::npos);
    EXPECT_NE(log.find("\\x0AFORGED-xml"), std::string::npos);
}

TEST(ServerInput, UnauthorizedConnectsDoNotFloodTheLog) {
    e2e::kmodsim_process sim;
    e2e::daemon_process daemon(std::vector<std::string>{"--clientip", "127.0.0.2"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    for (int i = 0; i < 300; ++i) {
        e2e::http_connection c;
    }
    ASSERT_TRUE(daemon.wait_for_log("not authorized"));
    std::this_thread::sleep_for(5500ms);
    { e2e::http_connection c; }
    EXPECT_TRUE(daemon.wait_for_log("similar lines suppressed)"));
    EXPECT_LE(daemon.log_count("not authorized"), 20u);
}

}  // namespace
