// Received MMS, delivery reports and read reports from the kernel module simulator to a VASP
// stand-in that decodes every request with Python's email package.
#include "support/e2e_fixture.h"
#include "wsp/wsp_test_util.h"

namespace {

using e2e::fixture, e2e::strings;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* DELIVERED = "delivered to the VASP";

// An m-retrieve-conf (multipart.related) with the given entry count and entries.
buffer retrieve_pdu(std::uint32_t count, std::initializer_list<buffer> entries) {
    buffer pdu = cat({hex("8C 84 98"), text_bytes(std::string("T-hostile") + '\0'),
                      hex("8D 90 84 B3"), encode_uintvar(count)});
    for (const buffer& e : entries) {
        pdu.insert(pdu.end(), e.begin(), e.end());
    }
    return pdu;
}
// One entry; the lengths written are the true ones plus the deltas.
buffer entry(std::string_view headers, std::string_view data, int header_delta = 0,
             int data_delta = 0) {
    return cat({encode_uintvar(static_cast<std::uint32_t>(headers.size() + header_delta)),
                encode_uintvar(static_cast<std::uint32_t>(data.size() + data_delta)),
                text_bytes(headers), text_bytes(data)});
}
const std::string PNG_HEADERS = std::string("image/png\0\xC0<img>\0", 17);

fs::path pdu_file(const fs::path& dir, const buffer& pdu) {
    e2e::write_file(dir / "pdu.mm1", std::string(pdu.begin(), pdu.end()));
    return dir / "pdu.mm1";
}

// Failed deliveries are retried no sooner than 10 minutes later, beyond every test here.
class DeliveryE2E : public fixture {
  protected:
    void SetUp() override {
        start_vasp();
        start({}, {"--gwserial", "GW-TEST-1", "--clienturl", "http://127.0.0.1:8080/mm7-client",
                   "--retrydelay", "600"});
        fds_ = e2e::open_fds(daemon_->pid());
    }
    // Injects one indication and waits until the daemon has logged needle once more.
    void receive(const std::string& command, std::string_view needle) {
        const std::size_t before = daemon_->log_count(needle);
        sim_->command(command);
        ASSERT_TRUE(daemon_->wait_for_log_count(needle, before + 1))
            << command << " did not log " << needle << "\n"
            << daemon_->log();
    }
    void mode(const std::string& m) {
        vasp_->command("mode " + m);
        ASSERT_TRUE(vasp_->wait_for_line("ok mode=" + m));
    }
    e2e::temp_dir dir_{"mm7-in"};
    int requests_ = 0;  // requests the stand-in has accepted
};

// Every real-world PDU, as a file and (when it fits a datagram) inline: multipart retrievals
// arrive with every part's bytes intact, reports as their documents, the rest is dropped.
TEST_F(DeliveryE2E, RealWorldPdusReachTheVaspOrAreDroppedAsSpecified) {
    const fs::path dir = pdu_dir();
    if (dir.empty()) {
        GTEST_SKIP() << "no real-world PDUs at " << MM7_TESTDATA_DIR;
    }
    std::vector<fs::path> files{fs::directory_iterator(dir), fs::directory_iterator()};
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        if (file.filename() == "README.txt") {
            continue;
        }
        const buffer pdu = read_file(file);
        std::uint32_t offset = 0;
        const mms_message headers = ParseMMSHeaders(pdu, offset, false);
        const std::string type =
            headers.content_type ? headers.content_type->content_type.value_or("") : "";
        const bool multipart = type.find("multipart") != std::string::npos;
        // What the daemon logs and the document the VASP gets ("": none) for each message type.
        auto [needle, soap] = std::map<int, std::pair<std::string, std::string>>{
            {2, {"without turbo mode, this should not happen", ""}},
            {4,
             {multipart ? DELIVERED : "ignoring content-type = ", multipart ? "DeliverReq" : ""}},
            {6, {DELIVERED, "DeliveryReportReq"}},
            {8, {DELIVERED, "ReadReplyReq"}},
        }[headers.message_type];
        needle = needle.empty() ? "ignoring message type" : needle;
        for (const char* flags : {"4", "1"}) {
            if (*flags == '1' && pdu.size() > 3800) {
                continue;  // more than one datagram holds
            }
            SCOPED_TRACE(file.filename().string() + " flags " + flags);
            receive(std::string("rcv ") + flags + " " + file.string() + " to=+4917 from=+4918",
                    needle);
            if (soap.empty()) {
                continue;
            }
            const std::string n = std::to_string(++requests_);
            auto line = vasp_->wait_for_line("request " + n + " path=/mm7-client soap=");
            ASSERT_TRUE(line) << daemon_->log();
            EXPECT_NE(line->find("soap=" + soap + " "), std::string::npos) << *line;
            // Every media part decoded by the stand-in equals the entry's data in the PDU.
            strings parts;
            if (headers.content_type) {
                walk_body(pdu, offset, [&](const multipart_entry& e, std::uint64_t at) {
                    parts.emplace_back(reinterpret_cast<const char*>(pdu.data()) + at,
                                       e.data_length);
                });
            }
            EXPECT_NE(line->find(" parts=" + std::to_string(parts.size()) + " "), std::string::npos)
                << *line;
            for (std::size_t i = 0; i < parts.size(); ++i) {
                EXPECT_EQ(e2e::read_file(vasp_->dir() / "save" / ("request-" + n) /
                                         ("part-" + std::to_string(i + 1) + ".bin")),
                          parts[i])
                    << "part " << i + 1;
            }
            EXPECT_TRUE(
                !type.ends_with("mixed") ||
                vasp_->seen("request " + n + " content type=multipart/related start=<smil>"));
        }
    }
    EXPECT_FALSE(vasp_->seen("error")) << daemon_->log();
}

// Hostile PDUs: either a complete, well-formed request or none at all.
TEST_F(DeliveryE2E, HostilePdusAreRefusedOrDeliveredWhole) {
    struct hostile_case {
        const char* name;
        buffer pdu;
        const char* needle;
        int parts;  // parts the stand-in must see, -1 when nothing may be sent
    };
    const std::string big_headers = "image/png" + std::string(4100, '\0');
    const std::string evil_headers("text/plain\0\xC0<a>\r\nX-Evil: 1\0", 28);
    const hostile_case cases[] = {
        {"data length lies", retrieve_pdu(1, {entry(PNG_HEADERS, "abc", 0, 5)}),
         "entry data runs past the end of the PDU (entry 1), dropped", -1},
        {"header length lies", retrieve_pdu(1, {entry(PNG_HEADERS, "", 40)}),
         "entry header block runs past the end", -1},
        {"header block over 4096", retrieve_pdu(1, {entry(big_headers, "x")}), "over 4096 bytes",
         -1},
        {"uintvar never ends", cat({retrieve_pdu(1, {}), hex("FF FF FF FF FF FF 01")}),
         "entry length unreadable", -1},
        {"no content type", retrieve_pdu(1, {entry("", "abc")}), "entry without a content type",
         -1},
        {"count disagrees", retrieve_pdu(3, {entry(PNG_HEADERS, "abc")}),
         "nParts = 3 but the content holds 1 entries", 1},
        {"unterminated text", retrieve_pdu(1, {entry("image/png", "abc")}), DELIVERED, 1},
        {"header injection",
         retrieve_pdu(2, {entry(evil_headers, "hi"), entry(PNG_HEADERS, "abc")}), DELIVERED, 2},
    };
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = pdu_file(dir_.path(), c.pdu);
        for (const char* flags : {"4", "1"}) {
            if (*flags == '1' && c.pdu.size() > 3800) {
                continue;
            }
            receive(std::string("rcv ") + flags + " " + file.string(), c.needle);
            if (c.parts >= 0) {
                ASSERT_TRUE(daemon_->wait_for_log_count(DELIVERED, requests_ + 1));
                auto line =
                    vasp_->wait_for_line("request " + std::to_string(++requests_) + " path=");
                EXPECT_NE(line.value_or("").find(" parts=" + std::to_string(c.parts) + " "),
                          std::string::npos)
                    << line.value_or("(none)");
            }
        }
    }
    EXPECT_EQ(vasp_->count("accepted "), static_cast<std::size_t>(requests_));
    EXPECT_FALSE(vasp_->seen("mime-error"));
    EXPECT_TRUE(vasp_->seen("content-id=<a>X-Evil: 1 "));  // one header line, value kept
}

TEST_F(DeliveryE2E, ClientUrlWithoutHostKeepsTheMessageWithoutConnecting) {
    start_daemon({"--clienturl", "http://:8080/mm7-client"});
    fds_ = e2e::open_fds(daemon_->pid());
    receive("rcv 4 " + pdu_file(dir_.path(), retrieve_pdu(1, {entry(PNG_HEADERS, "abc")})).string(),
            "http_open: client URL http://:8080/mm7-client has no host, cannot connect");
    EXPECT_TRUE(daemon_->log_contains("spooled as entry"));
    EXPECT_FALSE(vasp_->seen("accepted"));
}

// A VASP that misbehaves: every delivery ends with its outcome on one line, nothing leaks, and
// submissions are served meanwhile.  The stalled ones end at the 60-second progress deadline.
TEST_F(DeliveryE2E, MisbehavingVaspEndsEachDeliveryWithItsOutcome) {
    start_vasp({"--slow-bytes", "16384", "--slow-interval", "0.01"});  // 16 kB every 10 ms
    const fs::path big =
        pdu_file(dir_.path(), retrieve_pdu(1, {entry(PNG_HEADERS, std::string(8 << 20, 'z'))}));
    const std::pair<std::string, std::string> cases[] = {
        {"refuse", "failed, no connection: connection failed: Connection refused"},
        {"close-early", "failed, connection lost"},
        {"answer-early", "failed, premature reply: HTTP/1.1 200 OK"},
        {"slow", "delivered to the VASP (HTTP/1.1 200 OK, StatusCode 1000)"},
        {"never-answer", "failed, timed out: no progress for 60 s in state 10"},
        {"never-read", "failed, timed out: no progress for 60 s in state 5"},
    };
    for (const auto& [name, outcome] : cases) {
        mode(name);
        sim_->command("rcv 4 " + big.string());
        ASSERT_TRUE(name == "refuse" ? daemon_->wait_for_log(outcome)
                                     : vasp_->wait_for_line("mode=" + name).has_value())
            << daemon_->log();
    }
    // A file that shrinks while it is streamed: the request is cut off, never completed.
    const fs::path shrinking = dir_.path() / "shrinking.mm1";
    fs::copy_file(big, shrinking);
    mode("slow");
    sim_->command("rcv 4 " + shrinking.string());
    ASSERT_TRUE(vasp_->wait_for_line("accepted 6 mode=slow"));
    fs::resize_file(shrinking, 1 << 20);
    expect_log("failed, bad PDU: PDU file ends inside a part (part 1 of ");
    EXPECT_TRUE(vasp_->wait_for_line("request 6 incomplete"));
    mode("normal");
    const std::string reply = e2e::exchange(e2e::submit_request());
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    for (const auto& [name, outcome] : cases) {
        expect_log(outcome, 120s);
    }
    EXPECT_EQ(daemon_->log_count("mm7_client: "), std::size(cases) + 1);
    EXPECT_TRUE(vasp_->seen("request 4 incomplete") || vasp_->seen("request 4 complete"));
}

}  // namespace
