// Received MMS, delivery reports and read reports from the kernel module simulator to a VASP
// stand-in that decodes every request with Python's email package.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "e2e/http_client.h"
#include "e2e/mm7_request.h"
#include "support/daemon_harness.h"
#include "wsp/wsp_test_util.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view DELIVERED = "delivered to the VASP";

std::size_t open_fds(pid_t pid) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++n;
    }
    return n;
}

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

class DeliveryE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_ = std::make_unique<e2e::kmodsim_process>();
        vasp_ = std::make_unique<e2e::vaspsim_process>();
        ASSERT_TRUE(sim_->ready() && vasp_->ready());
        // Failed deliveries are retried no sooner than 10 minutes later, beyond every test here.
        daemon_ = std::make_unique<e2e::daemon_process>(std::vector<std::string>{
            "--clientip", "127.0.0.1", "--gwserial", "GW-TEST-1", "--clienturl",
            "http://127.0.0.1:8080/mm7-client", "--retrydelay", "600"});
        ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting on port 8887"));
        ASSERT_TRUE(sim_->wait_for_line("received XGATE_CONNECT_REQ"));
        fds_ = open_fds(daemon_->pid());
    }
    void TearDown() override {
        if (!daemon_) {
            return;
        }
        EXPECT_EQ(open_fds(daemon_->pid()), fds_) << "descriptors leaked";
        EXPECT_TRUE(daemon_->running());
        EXPECT_EQ(daemon_->stderr_text(), "");
    }
    // Injects one indication and waits until the daemon has logged needle once more.
    void receive(const std::string& command, std::string_view needle,
                 std::chrono::milliseconds timeout = e2e::default_timeout) {
        const std::size_t before = daemon_->log_count(needle);
        sim_->command(command);
        ASSERT_TRUE(daemon_->wait_for_log_count(needle, before + 1, timeout))
            << command << " did not log " << needle << "\n"
            << daemon_->log();
    }
    fs::path saved(int request, std::string_view file) {
        return vasp_->dir() / "save" / ("request-" + std::to_string(request)) / file;
    }
    void mode(std::string_view m) {
        vasp_->command("mode " + std::string(m));
        ASSERT_TRUE(vasp_->wait_for_line("ok mode=" + std::string(m)));
    }

    std::unique_ptr<e2e::kmodsim_process> sim_;
    std::unique_ptr<e2e::vaspsim_process> vasp_;
    std::unique_ptr<e2e::daemon_process> daemon_;
    std::size_t fds_ = 0;
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
        const std::string name = file.filename().string();
        if (name == "README.txt") {
            continue;
        }
        const buffer pdu = read_file(file);
        std::uint32_t offset = 0;
        const mms_message headers = ParseMMSHeaders(pdu, offset, false);
        std::string needle = "ignoring message type";
        std::string soap;
        if (headers.message_type == 2) {
            needle = "without turbo mode, this should not happen";
        } else if (headers.message_type == 6 || headers.message_type == 8) {
            needle = DELIVERED;
            soap = headers.message_type == 6 ? "DeliveryReportReq" : "ReadReplyReq";
        } else if (headers.message_type == 4) {
            const bool multipart =
                headers.content_type && headers.content_type->content_type.value_or("").find(
                                            "multipart") != std::string::npos;
            needle = multipart ? std::string(DELIVERED) : "ignoring content-type = ";
            soap = multipart ? "DeliverReq" : "";
        }
        for (const char* flags : {"4", "1"}) {
            if (*flags == '1' && pdu.size() > 3800) {
                continue;  // more than one datagram holds
            }
            SCOPED_TRACE(name + " flags " + flags);
            receive(std::string("rcv ") + flags + " " + file.string() + " to=+4917 from=+4918",
                    needle);
            if (soap.empty()) {
                continue;
            }
            const int n = ++requests_;
            auto line =
                vasp_->wait_for_line("request " + std::to_string(n) + " path=/mm7-client soap=");
            ASSERT_TRUE(line) << daemon_->log();
            EXPECT_NE(line->find("soap=" + soap + " "), std::string::npos) << *line;
            // Every media part decoded by the stand-in equals the entry's data in the PDU.
            std::vector<std::string> parts;
            if (headers.content_type) {
                walk_body(pdu, offset, [&](const multipart_entry& e, std::uint64_t at) {
                    parts.emplace_back(reinterpret_cast<const char*>(pdu.data()) + at,
                                       e.data_length);
                });
            }
            EXPECT_NE(line->find(" parts=" + std::to_string(parts.size()) + " "), std::string::npos)
                << *line;
            for (std::size_t i = 0; i < parts.size(); ++i) {
                EXPECT_EQ(e2e::read_file(saved(n, "part-" + std::to_string(i + 1) + ".bin")),
                          parts[i])
                    << "part " << i + 1;
            }
            if (headers.content_type &&
                headers.content_type->content_type.value_or("").ends_with("mixed")) {
                EXPECT_TRUE(vasp_->seen("request " + std::to_string(n) +
                                        " content type=multipart/related start=<smil>"));
            }
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
    const std::vector<hostile_case> cases = {
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
        {"unterminated text", retrieve_pdu(1, {entry("image/png", "abc")}), DELIVERED.data(), 1},
        {"header injection",
         retrieve_pdu(2, {entry(std::string("text/plain\0\xC0<a>\r\nX-Evil: 1\0", 28), "hi"),
                          entry(PNG_HEADERS, "abc")}),
         DELIVERED.data(), 2},
    };
    e2e::temp_dir dir("mm7-hostile");
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir.path() / "pdu.mm1";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(c.pdu.data()), c.pdu.size());
        for (const char* flags : {"4", "1"}) {
            if (*flags == '1' && c.pdu.size() > 3800) {
                continue;
            }
            receive(std::string("rcv ") + flags + " " + file.string(), c.needle);
            if (c.parts >= 0) {
                if (std::string_view(c.needle) != DELIVERED) {
                    ASSERT_TRUE(daemon_->wait_for_log_count(DELIVERED, requests_ + 1));
                }
                auto line =
                    vasp_->wait_for_line("request " + std::to_string(++requests_) + " path=");
                ASSERT_TRUE(line);
                EXPECT_NE(line->find(" parts=" + std::to_string(c.parts) + " "), std::string::npos)
                    << *line;
            }
        }
    }
    EXPECT_EQ(vasp_->count("accepted "), static_cast<std::size_t>(requests_));
    EXPECT_FALSE(vasp_->seen("mime-error"));
    EXPECT_TRUE(vasp_->seen("content-id=<a>X-Evil: 1 "));  // one header line, value kept
}

TEST_F(DeliveryE2E, ClientUrlWithoutHostKeepsTheMessageWithoutConnecting) {
    daemon_.reset();
    daemon_ = std::make_unique<e2e::daemon_process>(
        std::vector<std::string>{"--clienturl", "http://:8080/mm7-client"});
    ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting on port 8887"));
    fds_ = open_fds(daemon_->pid());
    const buffer pdu = retrieve_pdu(1, {entry(PNG_HEADERS, "abc")});
    e2e::temp_dir dir("mm7-nohost");
    std::ofstream(dir.path() / "p.mm1", std::ios::binary)
        .write(reinterpret_cast<const char*>(pdu.data()), static_cast<std::streamsize>(pdu.size()));
    receive("rcv 4 " + (dir.path() / "p.mm1").string(),
            "http_open: client URL http://:8080/mm7-client has no host, cannot connect");
    EXPECT_TRUE(daemon_->log_contains("spooled as entry"));
    EXPECT_FALSE(vasp_->seen("accepted"));
}

// A VASP that misbehaves: every delivery ends with its outcome on one line, nothing leaks, and
// submissions are served meanwhile.  The stalled ones end at the 60-second progress deadline.
TEST_F(DeliveryE2E, MisbehavingVaspEndsEachDeliveryWithItsOutcome) {
    vasp_.reset();  // slow mode reads 16 kB every 10 ms
    vasp_ = std::make_unique<e2e::vaspsim_process>(
        std::vector<std::string>{"--slow-bytes", "16384", "--slow-interval", "0.01"});
    ASSERT_TRUE(vasp_->ready());
    e2e::temp_dir dir("mm7-big");
    const fs::path big = dir.path() / "big.mm1";
    {
        const std::string data(8 << 20, 'z');
        const buffer pdu = retrieve_pdu(1, {entry(PNG_HEADERS, data)});
        std::ofstream(big, std::ios::binary)
            .write(reinterpret_cast<const char*>(pdu.data()), pdu.size());
    }
    const std::string rcv = "rcv 4 " + big.string();
    struct misbehaviour {
        const char* mode;
        const char* outcome;
    };
    const std::vector<misbehaviour> cases = {
        {"refuse", "failed, no connection: connection failed: Connection refused"},
        {"close-early", "failed, connection lost"},
        {"answer-early", "failed, premature reply: HTTP/1.1 200 OK"},
        {"slow", "delivered to the VASP (HTTP/1.1 200 OK, StatusCode 1000)"},
        {"never-answer", "failed, timed out: no progress for 60 s in state 10"},
        {"never-read", "failed, timed out: no progress for 60 s in state 5"},
    };
    for (const misbehaviour& m : cases) {
        mode(m.mode);
        sim_->command(rcv);
        if (std::string_view(m.mode) == "refuse") {
            ASSERT_TRUE(daemon_->wait_for_log(m.outcome));
        } else {
            ASSERT_TRUE(vasp_->wait_for_line(std::string("mode=") + m.mode)) << daemon_->log();
        }
    }
    // A file that shrinks while it is streamed: the request is cut off, never completed.
    const fs::path shrinking = dir.path() / "shrinking.mm1";
    fs::copy_file(big, shrinking);
    mode("slow");
    sim_->command("rcv 4 " + shrinking.string());
    ASSERT_TRUE(vasp_->wait_for_line("accepted 6 mode=slow"));
    fs::resize_file(shrinking, 1 << 20);
    EXPECT_TRUE(daemon_->wait_for_log("failed, bad PDU: PDU file ends inside a part (part 1 of "));
    EXPECT_TRUE(vasp_->wait_for_line("request 6 incomplete"));
    mode("normal");
    const std::string reply = e2e::exchange(submit_request(sample_submission()));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    for (const misbehaviour& m : cases) {
        EXPECT_TRUE(daemon_->wait_for_log(m.outcome, 120s)) << m.mode << "\n" << daemon_->log();
    }
    EXPECT_EQ(daemon_->log_count("mm7_client: "), cases.size() + 1);
    EXPECT_TRUE(vasp_->seen("request 4 incomplete") || vasp_->seen("request 4 complete"));
}

}  // namespace
