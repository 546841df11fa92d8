// The kernel module simulator, checked from the daemon's side of the link: this test owns
// 127.0.0.1:57444, sends with the daemon's builders and reads with the daemon's parser.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "support/daemon_harness.h"
#include "xgate/xgate.h"

namespace {

using namespace std::chrono_literals;
using e2e::kmodsim_process;

// The daemon's end of the link.
class daemon_end {
  public:
    daemon_end() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a = address(XGATE_LOCAL_PORT);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~daemon_end() { close(fd_); }
    daemon_end(const daemon_end&) = delete;
    daemon_end& operator=(const daemon_end&) = delete;

    bool bound() const { return bound_; }
    void send(const buffer& frame) const {
        sockaddr_in a = address(XGATE_KERNEL_PORT);
        sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // The next datagram, or nothing within the timeout.
    std::optional<buffer> receive(std::chrono::milliseconds timeout = e2e::default_timeout) const {
        timeval tv{static_cast<time_t>(timeout.count() / 1000),
                   static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        buffer data(70000);
        const ssize_t n = recv(fd_, data.data(), data.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        data.resize(static_cast<std::size_t>(n));
        return data;
    }
    // The frames of the next datagram.
    std::vector<std::unique_ptr<xgate_message>> receive_frames() const {
        std::vector<std::unique_ptr<xgate_message>> frames;
        auto data = receive();
        if (!data) {
            return frames;
        }
        std::uint32_t offset = 0;
        while (auto msg = ParseXgateMessage(*data, offset)) {
            offset += msg->frame_length;
            frames.push_back(std::move(msg));
        }
        EXPECT_EQ(offset, data->size()) << "bytes after the last frame";
        return frames;
    }

  private:
    static sockaddr_in address(std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    int fd_;
    bool bound_ = false;
};

void write_file(const std::filesystem::path& path, const buffer& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

buffer bytes_of(std::string_view s) {
    return buffer(s.begin(), s.end());
}

// The start of an m-send-req: message type, transaction id "T-77", version.
const buffer send_req_pdu = {0x8C, 0x80, 0x98, 'T', '-', '7', '7', 0x00, 0x8D, 0x92, 0x89, 0x01};

class Kmodsim : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(link.bound());
        ASSERT_TRUE(sim.ready()) << "simulator did not start";
        pdu_file = sim.dir() / "T-77.mm1";
        write_file(pdu_file, send_req_pdu);
    }

    // Sends a request for pdu_file; its call id.
    std::uint32_t request() {
        std::uint32_t call_id = 0;
        link.send(xgate_build_sendmms_req(15, "+4917012345", std::nullopt, "mm7", pdu_file.string(),
                                          call_id));
        return call_id;
    }

    daemon_end link;
    e2e::temp_dir keep{"mm7-kept"};
    kmodsim_process sim{{"--keep", keep.path().string()}};
    std::filesystem::path pdu_file;
};

TEST_F(Kmodsim, ConfirmsASendRequestWithAFreshSendConfirmation) {
    const std::uint32_t call_id = request();
    auto seen = sim.wait_for_line("received MMS_SENDMMS_REQ");
    ASSERT_TRUE(seen);
    EXPECT_EQ(*seen, "received MMS_SENDMMS_REQ callid=" + std::to_string(call_id) +
                         " timeout=15 word=4 recipient=+4917012345 sender= application=mm7 file=" +
                         pdu_file.string());
    auto frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    const xgate_message& cnf = *frames[0];
    EXPECT_EQ(cnf.kind, MMS_SENDMMS_CNF);
    EXPECT_FALSE(cnf.malformed);
    EXPECT_EQ(cnf.call_id, call_id);
    EXPECT_EQ(cnf.status, 1u);
    EXPECT_EQ(cnf.cause, 0u);
    EXPECT_EQ(cnf.imsi, "001010123456789");

    // m-send-conf: type, transaction id of the request, version 1.2, status Ok, message id.
    const buffer head = {0x8C, 0x81, 0x98, 'T', '-', '7', '7', 0x00, 0x8D, 0x92, 0x92, 0x80, 0x8B};
    ASSERT_GT(cnf.pdu.size(), head.size() + 1);
    EXPECT_EQ(buffer(cnf.pdu.begin(), cnf.pdu.begin() + head.size()), head);
    EXPECT_EQ(cnf.pdu.back(), 0);
    const std::string first_id(cnf.pdu.begin() + head.size(), cnf.pdu.end() - 1);

    // The copy was made before the confirmation.
    EXPECT_TRUE(sim.seen("kept " + pdu_file.string()));
    EXPECT_EQ(e2e::read_file(keep.path() / "T-77.mm1"), e2e::read_file(pdu_file));

    request();
    frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    const std::string second_id(frames[0]->pdu.begin() + head.size(), frames[0]->pdu.end() - 1);
    EXPECT_NE(first_id, second_id) << "every confirmation carries a fresh Message-ID";
}

TEST_F(Kmodsim, ConfiguredConfirmation) {
    for (auto [key, value] : {std::pair{"status", "10"},
                              {"cause", "7"},
                              {"imsi", "262019999"},
                              {"port", "3"},
                              {"response_status", "0xE3"},
                              {"response_text", "No such subscriber"},
                              {"message_id", "MID-1"},
                              {"callid_add", "512"}}) {
        ASSERT_EQ(sim.set(key, value), "ok " + std::string(key) + "=" + value);
    }
    const std::uint32_t call_id = request();
    auto frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    const xgate_message& cnf = *frames[0];
    EXPECT_EQ(cnf.call_id, call_id + 512);
    EXPECT_EQ(cnf.status, 10u);
    EXPECT_EQ(cnf.cause, 7u);
    EXPECT_EQ(cnf.imsi, "262019999");
    EXPECT_EQ(cnf.port, 3u);
    buffer expected = {0x8C, 0x81, 0x98, 'T', '-', '7', '7', 0x00, 0x8D, 0x92, 0x92, 0xE3, 0x93};
    const buffer rest =
        bytes_of(std::string("No such subscriber") + '\0' + '\x8B' + "MID-1" + '\0');
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(cnf.pdu, expected);
}

TEST_F(Kmodsim, ConfirmationModes) {
    const buffer other_pdu = {0x8C, 0x84, 0x98, 'X', 0x00};
    write_file(sim.dir() / "retrieve.conf", other_pdu);

    ASSERT_EQ(sim.set("confirm", "file"), "ok confirm=file");
    ASSERT_TRUE(sim.set("confirm_file", (sim.dir() / "retrieve.conf").string()));
    request();
    auto frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->pdu, other_pdu);

    ASSERT_EQ(sim.set("confirm", "empty"), "ok confirm=empty");
    request();
    frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->kind, MMS_SENDMMS_CNF);
    EXPECT_TRUE(frames[0]->pdu.empty());

    ASSERT_EQ(sim.set("confirm", "none"), "ok confirm=none");
    const std::uint32_t silent = request();
    ASSERT_TRUE(sim.wait_for_line("not confirming callid=" + std::to_string(silent)));
    // A confirmation asked for by hand shows that nothing else was queued before it.
    ASSERT_EQ(sim.set("confirm", "empty"), "ok confirm=empty");
    sim.command("cnf 9");
    frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->call_id, 9u);

    EXPECT_EQ(sim.set("confirm", "maybe"), "error: confirm is one of sendconf, file, empty, none");
    EXPECT_EQ(sim.set("nonsense", "1"), "error: unknown setting nonsense");
    EXPECT_EQ(sim.set("delay", "soon"), "error: bad number for delay: soon");
}

TEST_F(Kmodsim, TimeoutIndicationBeforeTheConfirmation) {
    ASSERT_TRUE(sim.set("timeout_ind", "on"));
    ASSERT_TRUE(sim.set("timeout", "99"));
    ASSERT_TRUE(sim.set("delay", "100"));
    ASSERT_TRUE(sim.set("cnf_delay", "150"));
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t call_id = request();
    auto first = link.receive_frames();
    const auto first_at = std::chrono::steady_clock::now();
    auto second = link.receive_frames();
    const auto second_at = std::chrono::steady_clock::now();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0]->kind, MMS_SENDMMS_TIMEOUT_IND);
    EXPECT_EQ(first[0]->call_id, call_id);
    EXPECT_EQ(first[0]->timeout, 99u);
    EXPECT_EQ(second[0]->kind, MMS_SENDMMS_CNF);
    EXPECT_EQ(second[0]->call_id, call_id);
    EXPECT_GE(first_at - start, 100ms);
    EXPECT_GE(second_at - start, 250ms);

    // Combined: both frames in one datagram, the indication first.
    ASSERT_TRUE(sim.set("combine", "on"));
    ASSERT_TRUE(sim.set("delay", "0"));
    const std::uint32_t next = request();
    auto both = link.receive_frames();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0]->kind, MMS_SENDMMS_TIMEOUT_IND);
    EXPECT_EQ(both[1]->kind, MMS_SENDMMS_CNF);
    EXPECT_EQ(both[1]->call_id, next);
}

TEST_F(Kmodsim, InjectsReceivedMms) {
    const buffer pdu = {0x8C, 0x84, 0x98, 'R', 0x00, 0x8D, 0x92};
    write_file(sim.dir() / "in.mm1", pdu);
    ASSERT_TRUE(sim.set("recipient", "+4917000001"));
    ASSERT_TRUE(sim.set("sender", "+4917000002"));
    ASSERT_TRUE(sim.set("imsi", "262010000000003"));
    ASSERT_TRUE(sim.set("port", "6"));

    sim.command("rcv 4 " + (sim.dir() / "in.mm1").string());
    auto frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    const xgate_message& by_path = *frames[0];
    EXPECT_EQ(by_path.kind, MMS_MMSRCV_IND);
    EXPECT_FALSE(by_path.malformed);
    EXPECT_EQ(by_path.call_id, 0u);
    EXPECT_EQ(by_path.flags, MMSRCV_FLAG_FILE);
    EXPECT_EQ(by_path.imsi, "262010000000003");
    EXPECT_EQ(by_path.port, 6u);
    EXPECT_EQ(by_path.recipient, "+4917000001");
    EXPECT_EQ(by_path.sender, "+4917000002");
    EXPECT_EQ(as_text(by_path.data), (sim.dir() / "in.mm1").string());

    sim.command("rcv 1 " + (sim.dir() / "in.mm1").string() + " to=+1 from= port=2 imsi=9");
    frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->flags, MMSRCV_FLAG_PDU);
    EXPECT_EQ(frames[0]->data, pdu);
    EXPECT_EQ(frames[0]->recipient, "+1");
    EXPECT_EQ(frames[0]->sender, "");
    EXPECT_EQ(frames[0]->port, 2u);
    EXPECT_EQ(frames[0]->imsi, "9");

    sim.command("rcv 2 http://mmsc.example/get?id=1");
    frames = link.receive_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->flags, MMSRCV_FLAG_URL);
    EXPECT_EQ(as_text(frames[0]->data), "http://mmsc.example/get?id=1");

    sim.command("rcv 1 /no/such/file");
    EXPECT_TRUE(sim.wait_for_line("error: cannot read /no/such/file"));
}

TEST_F(Kmodsim, RawAndEmptyDatagrams) {
    sim.command("raw 00 00 00 0A 00:00:00:00 000000 00 ff");
    auto raw = link.receive();
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, (buffer{0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
    sim.command("raw 0");
    EXPECT_TRUE(sim.wait_for_line("error: raw needs an even number of hex digits"));
    sim.command("empty");
    auto empty = link.receive();
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST_F(Kmodsim, LogsWhatTheDaemonReports) {
    link.send(xgate_build_sendmms_result_ind("262011112223334", 0, 0, 1000, 5, 2));
    link.send(xgate_build_connect_req());
    link.send({});
    link.send(xgate_frame(99, {}));
    EXPECT_TRUE(sim.wait_for_line(
        "received MMS_SENDMMS_RESULT_IND imsi=262011112223334 word1=0 word2=0 result=1000 "
        "cause=5 port=2"));
    EXPECT_TRUE(sim.wait_for_line("received XGATE_CONNECT_REQ"));
    EXPECT_TRUE(sim.wait_for_line("received empty datagram"));
    EXPECT_TRUE(sim.wait_for_line("received kind=99 length=12"));
    // A request whose lengths do not add up is reported, not answered.
    buffer bad = xgate_frame(MMS_SENDMMS_REQ, buffer(28, 0));
    link.send(bad);
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
