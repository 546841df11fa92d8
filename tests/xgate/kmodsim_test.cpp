// The kernel module simulator, seen from the daemon's side of the link (this test owns
// 127.0.0.1:57444): only what the daemon's own end-to-end tests do not already drive through it.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/daemon_harness.h"
#include "xgate_test_util.h"

namespace {

using namespace std::chrono_literals;
using e2e::kmodsim_process;

class Kmodsim : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(link.bound());
        ASSERT_TRUE(sim.ready()) << "simulator did not start";
        // The start of an m-send-req: message type, transaction id "T-77", version.
        std::ofstream(pdu_file, std::ios::binary) << std::string("\x8C\x80\x98T-77\0\x8D\x92", 10);
    }
    // Sends a request for pdu_file; its call id.
    std::uint32_t request() {
        std::uint32_t call_id = 0;
        link.send_to(XGATE_KERNEL_PORT, xgate_build_sendmms_req(15, "+4917012345", std::nullopt,
                                                                "mm7", pdu_file.string(), call_id));
        return call_id;
    }
    // The fields of the frames of the next datagram, joined by " | ".
    std::string frames() {
        std::string out;
        const std::optional<buffer> data = link.receive(e2e::default_timeout);
        for (std::uint32_t at = 0; data && at < data->size();) {
            auto frame = ParseXgateMessage(*data, at);
            if (!frame) {
                return out + " | bytes after the last frame";
            }
            out += (out.empty() ? "" : " | ") + fields(*frame);
            at += frame->frame_length;
        }
        return out;
    }

    udp_end link{XGATE_LOCAL_PORT};
    kmodsim_process sim;
    std::filesystem::path pdu_file = sim.dir() / "T-77.mm1";
};

TEST_F(Kmodsim, ConfiguredConfirmationAndItsTiming) {
    for (std::string kv :
         {"status=10", "cause=7", "imsi=262019999", "port=3", "response_status=0xE3",
          "response_text=No such subscriber", "message_id=MID-1", "callid_add=512",
          "timeout_ind=on", "timeout=99", "delay=100", "cnf_delay=150"}) {
        const auto eq = kv.find('=');
        ASSERT_EQ(sim.set(kv.substr(0, eq), kv.substr(eq + 1)), "ok " + kv);
    }
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t call_id = request();
    auto first = frames();
    const auto first_at = std::chrono::steady_clock::now();
    auto second = frames();
    const auto second_at = std::chrono::steady_clock::now();
    EXPECT_EQ(sim.wait_for_line("received MMS_SENDMMS_REQ"),
              "received MMS_SENDMMS_REQ callid=" + std::to_string(call_id) +
                  " timeout=15 word=4 recipient=+4917012345 sender= application=mm7 file=" +
                  pdu_file.string());
    EXPECT_EQ(first, "kind=73 len=44 call=" + std::to_string(call_id + 512) +
                         " timeout=99 imsi=262019999");
    // m-send-conf: type, the request's transaction id, version 1.2, status, text, message id.
    EXPECT_EQ(second,
              "kind=32835 len=95 call=" + std::to_string(call_id + 512) +
                  " port=3 status=10 cause=7 imsi=262019999 pdu=8C8198542D3737008D9292E3934E6"
                  "F20737563682073756273637269626572008B4D49442D3100");
    EXPECT_GE(first_at - start, 100ms);
    EXPECT_GE(second_at - start, 250ms);
}

TEST_F(Kmodsim, InjectionsAndCommandErrors) {
    std::ofstream(sim.dir() / "in.mm1", std::ios::binary)
        << std::string("\x8C\x84\x98R\0\x8D\x92", 7);
    sim.command("rcv 1 " + (sim.dir() / "in.mm1").string() + " to=+1 from= port=2 imsi=9");
    EXPECT_EQ(frames(), "kind=70 len=58 port=2 flags=1 imsi=9 to=+1 data=8C849852008D92");
    sim.command("rcv 2 http://mmsc.example/get?id=1");
    EXPECT_EQ(frames(),
              "kind=70 len=76 flags=2 imsi=001010123456789 data=http://mmsc.example/get?id=1");
    sim.command("rcv 1 /no/such/file");
    EXPECT_TRUE(sim.wait_for_line("error: cannot read /no/such/file"));
    sim.command("raw 0");
    EXPECT_TRUE(sim.wait_for_line("error: raw needs an even number of hex digits"));
    EXPECT_EQ(sim.set("confirm", "maybe"), "error: confirm is one of sendconf, file, empty, none");
    EXPECT_EQ(sim.set("nonsense", "1"), "error: unknown setting nonsense");
    EXPECT_EQ(sim.set("delay", "soon"), "error: bad number for delay: soon");
}

TEST_F(Kmodsim, LogsWhatTheDaemonReports) {
    link.send_to(XGATE_KERNEL_PORT,
                 xgate_build_sendmms_result_ind("262011112223334", 0, 0, 1000, 5, 2));
    link.send_to(XGATE_KERNEL_PORT, {});
    link.send_to(XGATE_KERNEL_PORT, xgate_frame(99, {}));
    EXPECT_TRUE(sim.wait_for_line(
        "received MMS_SENDMMS_RESULT_IND imsi=262011112223334 word1=0 word2=0 result=1000 "
        "cause=5 port=2"));
    EXPECT_TRUE(sim.wait_for_line("received empty datagram"));
    EXPECT_TRUE(sim.wait_for_line("received kind=99 length=12"));
    // A request whose lengths do not add up is reported, not answered.
    link.send_to(XGATE_KERNEL_PORT, xgate_frame(MMS_SENDMMS_REQ, buffer(28, 0)));
    EXPECT_TRUE(sim.wait_for_line("received malformed MMS_SENDMMS_REQ callid=0 length=40"));
    EXPECT_NE(sim.frame_log().find("00 00 00 63 00 00 00 00 00 00 00 00"), std::string::npos);
}

TEST(KmodsimProcess, EndsCleanlyOnEndOfInputAndOnSigterm) {
    kmodsim_process by_eof;
    ASSERT_TRUE(by_eof.ready());
    by_eof.command("echo marker 1");
    EXPECT_EQ(by_eof.wait_for_line("echo"), "echo marker 1");
    const auto eof_end = by_eof.stop();
    EXPECT_TRUE(eof_end.exited && eof_end.code == 0) << e2e::describe(eof_end);
    EXPECT_TRUE(by_eof.seen("kmodsim stopped"));

    kmodsim_process by_signal({"--stay"});
    ASSERT_TRUE(by_signal.ready());
    kill(by_signal.pid(), SIGTERM);
    ASSERT_TRUE(by_signal.wait_for_line("kmodsim stopped"));
    const auto signal_end = by_signal.stop();
    EXPECT_TRUE(signal_end.exited && signal_end.code == 0) << e2e::describe(signal_end);
}

}  // namespace
