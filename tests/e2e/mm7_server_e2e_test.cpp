// The daemon against the kernel module simulator over loopback: VASP submissions from the HTTP
// request to the SubmitRsp, every refusal, interim responses and disconnections.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>

#include "core/base64.h"
#include "e2e/http_client.h"
#include "e2e/mm7_request.h"
#include "support/daemon_harness.h"
#include "wsp/wsp_primitives.h"
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
    EXPECT_TRUE(daemon_->wait_for_log("Found client fd"));
    EXPECT_TRUE(daemon_->wait_for_log("Sending 200 OK"));
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
    EXPECT_TRUE(daemon_->wait_for_log("send_conf expected, 4 received"));
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
            EXPECT_TRUE(daemon_->wait_for_log(r.log)) << r.log;
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
    // Kept in memory, but too large to join the composed PDU bytes before they are written.
    s.parts.push_back(
        {"application/octet-stream", "<mid>", binary.substr(0, 200000), "binary", ""});
    std::string reply = e2e::exchange(submit_request(s));
    ASSERT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    decoded_pdu pdu = decode_pdu(kept_pdu(next_request_file()));
    ASSERT_EQ(pdu.entry_count, 9u);
    EXPECT_TRUE(pdu.ends_exactly);
    EXPECT_TRUE(pdu.data[3] == binary) << pdu.data[3].size();
    EXPECT_TRUE(pdu.data[4] == binary) << pdu.data[4].size();
    EXPECT_EQ(pdu.data[5], "");
    EXPECT_TRUE(pdu.data[6] == binary) << pdu.data[6].size();
    EXPECT_EQ(pdu.data[7], "");
    EXPECT_TRUE(pdu.data[8] == binary.substr(0, 200000));
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
    EXPECT_TRUE(daemon_->wait_for_log("HandleMM1Body: got more data"));
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
    EXPECT_TRUE(daemon_->wait_for_log("Sending 103"));

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
    // Unauthorised connects are logged at a bounded rate, with a count of what was left out.
    for (int i = 0; i < 300; ++i) {
        e2e::http_connection c;
    }
    std::this_thread::sleep_for(5500ms);
    EXPECT_EQ(e2e::exchange(""), "");
    EXPECT_TRUE(daemon.wait_for_log("similar lines suppressed)"));
    EXPECT_LE(daemon.log_count("not authorized"), 21u);
}

// ---- the kernel link under load and over restarts; waiting; hostile input ----

std::string call_id_of(const std::string& line) {
    std::smatch m;
    return std::regex_search(line, m, std::regex("callid=(\\d+)")) ? m[1].str() : "";
}

TEST_F(ServerE2E, ABurstOf900ConfirmationsAnswersEveryWaitingVaspWithAtMostTwo103s) {
    rlimit files{4000, 4000};
    setrlimit(RLIMIT_NOFILE, &files);
    set("confirm", "none");
    test_submission s = sample_submission();
    s.extra_headers = {"x-expect: 103-early-hints"};
    std::vector<std::unique_ptr<e2e::http_connection>> vasps;
    std::string commands;
    for (int i = 0; i < 900; ++i) {
        vasps.push_back(std::make_unique<e2e::http_connection>());
        ASSERT_TRUE(vasps.back()->send_all(submit_request(i == 0 ? s : sample_submission())));
        auto line = sim_->wait_for_line("not confirming callid=", 60s);
        ASSERT_TRUE(line) << i;
        for (int k = 0; k < 50 && i == 0; ++k) {
            sim_->command("ind " + call_id_of(*line) + " 5");
        }
        commands += "cnf " + call_id_of(*line) + (i < 899 ? "\n" : "");
    }
    set("confirm", "sendconf");
    sim_->command(commands);
    std::set<std::string> message_ids;
    for (auto& vasp : vasps) {
        std::string reply = vasp->read_all(60s);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(reply, m, std::regex("200 OK[\\s\\S]*<MessageID>([^<]+)<")));
        message_ids.insert(m[1].str());
        EXPECT_EQ(std::regex_replace(reply, std::regex("103 Early"), "").size(),
                  reply.size() - (&vasp == &vasps[0] ? 18 : 0));
    }
    EXPECT_EQ(message_ids.size(), 900u);
}

TEST_F(ServerE2E, ARestartNeitherRepeatsCallIdsNorKeepsOldPduFiles) {
    daemon_.reset();
    e2e::temp_dir work;
    std::ofstream(work.path() / "AAAAAAAA.mm1") << "left over";
    std::ofstream(work.path() / "notes.txt") << "kept";
    daemon_ = std::make_unique<e2e::daemon_process>(e2e::daemon_process::options{
        {"--workdir", work.path().string(), "--clientip", "127.0.0.1"}, false, true});
    ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting"));
    EXPECT_EQ(fs::exists(work.path() / "AAAAAAAA.mm1") + fs::exists(work.path() / "notes.txt"), 1);
    set("imsi", "1x");  // only digits become a header
    std::string reply = e2e::exchange(submit_request(sample_submission()));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200") && reply.find("IMSI") == std::string::npos);
    EXPECT_GT(std::stoull(call_id_of(sim_->wait_for_line("MMS_SENDMMS_REQ").value_or(""))),
              1u << 20);
    // A half-close after the request is no disconnect: the submission is answered.
    e2e::http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request(sample_submission())));
    vasp.shutdown_write();
    EXPECT_TRUE(vasp.read_all().starts_with("HTTP/1.0 200 OK"));
}

TEST(ServerWaiting, IdleParkedLingeringAndUnconfirmedConnectionsAreAllBounded) {
    rlimit files{4000, 4000};
    setrlimit(RLIMIT_NOFILE, &files);
    e2e::kmodsim_process sim({"--set", "confirm=none"});
    e2e::daemon_process daemon(std::vector<std::string>{"--clientip", "127.0.0.1", "--readtimeout",
                                                        "10", "--confirmgrace", "1"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    const std::string request = submit_request(sample_submission());
    e2e::http_connection unconfirmed;
    ASSERT_TRUE(unconfirmed.send_all(request));
    const auto call_id = call_id_of(sim.wait_for_line("not confirming callid=").value_or(""));
    // No progress while the request is read: 408 after the read time-out (checked below).
    e2e::http_connection silent, half;
    ASSERT_TRUE(half.send_all(request.substr(0, 100)));
    // Requests parked half-way through large envelopes: past the memory bound, 503.
    test_submission big = sample_submission();
    big.subject = std::string(250000, 's');
    std::vector<std::unique_ptr<e2e::http_connection>> parked(320);
    std::size_t refused = 0;
    for (auto& c : parked) {
        c = std::make_unique<e2e::http_connection>();
        c->send_all(submit_request(big).substr(0, 250000));
    }
    for (auto& c : parked) {
        refused += c->read_some(10ms) == error_reply("503 Server busy");
    }
    EXPECT_GT(refused, 0u);
    parked.clear();
    ASSERT_TRUE(daemon.wait_for_log_count("free_outgoing_mms_info", 320));
    std::this_thread::sleep_for(300ms);
    // Sockets lingering after refusals count within the connection cap (with the three above).
    std::vector<std::unique_ptr<e2e::http_connection>> lingering(997);
    for (auto& c : lingering) {
        c = std::make_unique<e2e::http_connection>();
        c->send_all("GET / HTTP/1.0\r\n");
    }
    ASSERT_TRUE(daemon.wait_for_log_count("free_outgoing_mms_info", 1317, 30s));
    EXPECT_EQ(e2e::exchange(request), "");
    EXPECT_TRUE(daemon.wait_for_log("Too many connections"));
    EXPECT_EQ(silent.read_all(15s), error_reply("408 Request Timeout"));
    EXPECT_EQ(half.read_all(1s), error_reply("408 Request Timeout"));
    // The kernel module never confirmed: a fault after its time-out and the grace.
    std::string reply = unconfirmed.read_all(30s);
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK") &&
                reply.find(">Gateway did not confirm the submission<") != std::string::npos);
    EXPECT_EQ(count_pdu_files(daemon.workdir()), 1u);  // the kernel module may still read it
    sim.set("confirm", "sendconf");
    sim.command("cnf " + call_id);
    EXPECT_TRUE(daemon.wait_for_log("Not found client fd by callid " + call_id));
    EXPECT_TRUE(e2e::wait_until([&] { return count_pdu_files(daemon.workdir()) == 0; }));
}

// The request with a chunked body: three chunks, one with an extension, and a trailer.
std::string as_chunked(const std::string& r) {
    const std::size_t body = r.find("\r\n\r\n") + 4, half = (r.size() - body) / 2;
    auto chunk = [&](std::size_t at, std::size_t n, const char* extension) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx%s\r\n", std::min(n, r.size() - at), extension);
        return size + r.substr(at, n) + "\r\n";
    };
    return std::regex_replace(r.substr(0, body - 2), std::regex("Content-Length.*\r\n"), "") +
           "Transfer-Encoding: chunked\r\n\r\n" + chunk(body, 1, "") +
           chunk(body + 1, half, ";x=1") + chunk(body + 1 + half, r.size(), "") +
           "0\r\nX-Trailer: t\r\n\r\n";
}

TEST(ServerInput, ChunkedBodiesLimitsAndHostileValues) {
    e2e::temp_dir keep;
    e2e::kmodsim_process sim({"--keep", keep.path().string()});
    e2e::daemon_process daemon(
        std::vector<std::string>{"--clientip", "127.0.0.1", "--maxmessagesize", "100000"});
    ASSERT_TRUE(daemon.wait_for_log("QZM MM7 server starting"));
    auto with = [](std::function<void(test_submission&)> change) {
        test_submission s = sample_submission();
        change(s);
        return submit_request(s);
    };
    const std::string request = submit_request(sample_submission()), chunked = as_chunked(request);
    const std::string mm1 =
        "POST /mm7 HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n"
        "x-qzm-recipient-id: +4917099\r\n";
    const std::string params = std::regex_replace(std::string(3990, ';'), std::regex(";"), ";a=1");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {chunked, "HTTP/1.0 200 OK"},
        {as_chunked(mm1 + "\r\n" + std::string(5000, 'm')), "HTTP/1.0 200 OK"},
        {std::regex_replace(request, std::regex("Host:"), "Transfer-Encoding: gzip\r\nHost:"),
         "HTTP/1.0 501"},
        {std::regex_replace(chunked, std::regex("\r\n\r\n1\r\n"), "\r\n\r\ng\r\n"),
         "HTTP/1.0 400 Bad request"},
        {with([](auto& s) { s.parts[1].body = std::string(100001, 'b'); }), "HTTP/1.0 413 Payload"},
        {mm1 + "Content-Length: 100001\r\n\r\n", "HTTP/1.0 413 Payload"},
        {mm1 + "Content-Length: 4294967297\r\n\r\nx", "HTTP/1.0 400 Bad request"},
        {with([](auto& s) { s.parts[1].location = std::string("a\0b", 3); }), "HTTP/1.0 400"},
        {with([&](auto& s) { s.parts[1].content_type = "text/plain" + params; }),
         "HTTP/1.0 200 OK"},
        // Peer values with line ends and terminal escapes, logged along the way.
        {std::regex_replace(request, std::regex("boundary=\"outer-boundary-1\"[^\r]*"),
                            "boundary=\"o\nFORGED-boundary\""),
         "HTTP/1.0 400 Bad content type"},
        {std::regex_replace(request, std::regex("Host:"), "Bad \nFORGED-header: 1\r\nHost:"), ""},
        {with([](auto& s) {
             s.subject = "x&#10;FORGED-xml";
             s.parts[1].content_type = "text/plain; q=\"\nFORGED-param\x1b[2J\"";
         }),
         "HTTP/1.0 200 OK"},
    };
    for (const auto& [input, reply_start] : cases) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(e2e::exchange(input).starts_with(reply_start)) << reply_start;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << reply_start;
    }
    auto kept = [&] {
        std::smatch m;
        std::string line = sim.wait_for_line("received MMS_SENDMMS_REQ").value_or("");
        std::regex_search(line, m, std::regex("file=(\\S+)"));
        return e2e::read_file(keep.path() / fs::path(m[1].str()).filename());
    };
    decoded_pdu pdu = decode_pdu(kept());
    EXPECT_TRUE(pdu.entry_count == 3 && pdu.ends_exactly);
    EXPECT_EQ(pdu.data[1], "Hello from the VASP\r\nline two");
    EXPECT_EQ(kept(), std::string(5000, 'm'));
    const std::string log = daemon.log();
    EXPECT_LT(daemon.log_count("compose_content_type"), 100u);
    EXPECT_EQ(log.find("\nFORGED"), std::string::npos);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    for (const char* vector : {"header", "boundary", "param", "xml"}) {
        EXPECT_NE(log.find(std::string("\\x0AFORGED-") + vector), std::string::npos) << vector;
    }
}

// Files and descriptors under hostile conditions, with a tiny tmpfs as the work directory.
class ServerFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(mount("tmpfs", work_.path().c_str(), "tmpfs", 0, "size=256k"), 0);
        std::ofstream(work_.path() / "victim") << "precious";
        fs::create_symlink(work_.path() / "victim", work_.path() / "mm7-server.pid");
        daemon_ = std::make_unique<e2e::daemon_process>(e2e::daemon_process::options{
            {"--workdir", work_.path().string(), "--clientip", "127.0.0.1"}, false, true});
        ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting"));
    }
    void TearDown() override {
        daemon_.reset();
        umount(work_.path().c_str());
    }
    e2e::temp_dir work_;
    e2e::kmodsim_process sim_;
    std::unique_ptr<e2e::daemon_process> daemon_;
};

TEST_F(ServerFiles, PlantedLinksAreNeverFollowed) {
    EXPECT_EQ(e2e::read_file(work_.path() / "mm7-server.pid"), std::to_string(daemon_->pid()));
    // Links under the names the first transaction ids take around now.
    for (auto t = static_cast<std::uint32_t>(std::time(nullptr)) - 2, end = t + 20; t < end; ++t) {
        for (std::uint32_t counter = 1; counter <= 3; ++counter) {
            buffer id = encode_uintvar(t), c = encode_uintvar(counter);
            id.insert(id.end(), c.begin(), c.end());
            std::string name = std::regex_replace(*base64_encode(id), std::regex("\n"), "");
            name = std::regex_replace(name, std::regex("/"), "-") + ".mm1";
            fs::create_symlink(work_.path() / "victim", work_.path() / name);
        }
    }
    EXPECT_TRUE(e2e::exchange(submit_request(sample_submission())).starts_with("HTTP/1.0 200"));
    EXPECT_EQ(e2e::read_file(work_.path() / "victim"), "precious");
    EXPECT_TRUE(daemon_->log_contains("exists already, taking another name"));
}

TEST_F(ServerFiles, AFullDiskIsAnErrorAndTheKernelModuleIsNotAsked) {
    std::ofstream filler(work_.path() / "filler", std::ios::binary);
    while (filler << std::string(4096, 'f')) {
    }
    EXPECT_EQ(
        e2e::exchange("POST /mm7 HTTP/1.0\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                      "x-qzm-recipient-id: +4917099\r\nContent-Length: 3\r\n\r\nabc"),
        error_reply("503 Server error"));
    EXPECT_EQ(e2e::exchange(submit_request(sample_submission())), error_reply("503 Server error"));
    EXPECT_FALSE(sim_.seen("received MMS_SENDMMS_REQ"));
    // A log file that cannot be opened is reported on stderr.
    e2e::daemon_process other(e2e::daemon_process::options{{"--logfile", "/no/such.log"}, 0, 0});
    EXPECT_TRUE(e2e::wait_until(
        [&] { return other.stderr_text().find("cannot open log") != std::string::npos; }));
}

TEST_F(ServerFiles, RunningOutOfDescriptorsDoesNotSpin) {
    rlimit limit{24, 24};
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<std::unique_ptr<e2e::http_connection>> connections(60);
    for (auto& c : connections) {
        c = std::make_unique<e2e::http_connection>();
    }
    std::this_thread::sleep_for(500ms);
    // Nanoseconds the daemon ran, and its log, over two seconds.
    const std::string schedstat = "/proc/" + std::to_string(daemon_->pid()) + "/schedstat";
    const long long ran = std::stoll(e2e::read_file(schedstat));
    const auto logged = fs::file_size(daemon_->log_path());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(std::stoll(e2e::read_file(schedstat)) - ran, 500'000'000);
    EXPECT_LT(fs::file_size(daemon_->log_path()) - logged, 100'000u);
    connections.clear();
    EXPECT_TRUE(e2e::exchange(submit_request(sample_submission())).starts_with("HTTP/1.0 200"));
}

}  // namespace
