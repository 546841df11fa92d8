// The kernel link over real loopback sockets, in-process: this test plays the kernel module on
// 127.0.0.1:57445 (each test runs in a network namespace of its own).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/mainloop.h"
#include "support/log_capture.h"
#include "xgate/xgate.h"

namespace {

void put_be32(buffer& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

buffer frame_of(std::uint32_t kind, const buffer& payload) {
    buffer out;
    put_be32(out, kind);
    put_be32(out, 0);
    put_be32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

buffer timeout_ind(std::uint32_t call_id, std::uint32_t timeout) {
    buffer p;
    put_be32(p, call_id);
    p.resize(p.size() + 16, 0);  // IMSI and the byte after it
    put_be32(p, 0);
    put_be32(p, 0);
    put_be32(p, timeout);
    return frame_of(MMS_SENDMMS_TIMEOUT_IND, p);
}

buffer send_cnf(std::uint32_t call_id, std::uint32_t status, const buffer& pdu) {
    buffer p;
    put_be32(p, call_id);
    put_be32(p, 0);
    put_be32(p, status);
    put_be32(p, 0);
    put_be32(p, 17);  // cause
    const std::string imsi = "001010000000001";
    p.insert(p.end(), imsi.begin(), imsi.end());
    p.push_back(0);
    put_be32(p, 5);  // port
    put_be32(p, static_cast<std::uint32_t>(pdu.size()));
    p.insert(p.end(), pdu.begin(), pdu.end());
    return frame_of(MMS_SENDMMS_CNF, p);
}

buffer mmsrcv_ind(std::uint32_t flags, std::string_view data) {
    buffer p;
    const std::string imsi = "001010000000002";
    p.insert(p.end(), imsi.begin(), imsi.end());
    p.push_back(0);
    put_be32(p, 1);
    put_be32(p, flags);
    put_be32(p, 4);
    put_be32(p, 0);
    put_be32(p, static_cast<std::uint32_t>(data.size()));
    p.insert(p.end(), {'+', '4', '9', 0});
    p.insert(p.end(), data.begin(), data.end());
    return frame_of(MMS_MMSRCV_IND, p);
}

buffer join(std::initializer_list<buffer> parts) {
    buffer out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A UDP socket on 127.0.0.1 (port 0: any).
class udp_socket {
  public:
    explicit udp_socket(std::uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a = loopback(port);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval tv{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~udp_socket() { close(fd_); }
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;

    bool bound() const { return bound_; }
    std::uint16_t port() const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    void send_to_daemon(const buffer& data) const {
        sockaddr_in a = loopback(XGATE_LOCAL_PORT);
        ASSERT_EQ(
            sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(data.size()));
    }
    // One datagram, or nothing within two seconds.
    std::optional<buffer> receive() const {
        buffer data(70000);
        const ssize_t n = recv(fd_, data.data(), data.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        data.resize(static_cast<std::size_t>(n));
        return data;
    }

  private:
    int fd_;
    bool bound_ = false;
};

// Stand-ins for VASP connections: the link only passes these pointers around.
int connection_a, connection_b;
outgoing_mms_info* const client_a = reinterpret_cast<outgoing_mms_info*>(&connection_a);
outgoing_mms_info* const client_b = reinterpret_cast<outgoing_mms_info*>(&connection_b);

struct hook_call {
    std::string what;
    outgoing_mms_info* client;
    xgate_message msg;
};

class XgateLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kernel.bound()) << "port 57445 is taken";
        callid_table = {};
        xgate_hooks_table = {};
        config.gw_serial = "GW-42";
        xgate_open(config, fd);
        ASSERT_GT(fd, 0);
        auto announce = kernel.receive();
        ASSERT_TRUE(announce.has_value());
        EXPECT_EQ(*announce, xgate_build_connect_req());
    }
    void TearDown() override {
        callid_table = {};
        xgate_hooks_table = {};
        if (fd > 0) {
            close(fd);
        }
    }

    void install_hooks() {
        xgate_hooks_table.client_fd = [](outgoing_mms_info* c) { return c == client_a ? 41 : 42; };
        xgate_hooks_table.on_timeout_ind = [this](outgoing_mms_info* c, const xgate_message& m) {
            calls.push_back({"timeout", c, m});
        };
        xgate_hooks_table.on_send_cnf = [this](outgoing_mms_info* c, const xgate_message& m) {
            calls.push_back({"cnf", c, m});
        };
        xgate_hooks_table.on_mms_rcv_ind = [this](const xgate_message& m, server_config& cfg) {
            EXPECT_EQ(&cfg, &config);
            calls.push_back({"rcv", nullptr, m});
        };
    }

    // The kernel sends data; the link handles exactly that datagram.
    void deliver(const buffer& data) {
        kernel.send_to_daemon(data);
        EXPECT_EQ(xgate_receive(fd, MAINLOOP_IN, config), 0);
    }

    log_capture log;
    udp_socket kernel{XGATE_KERNEL_PORT};
    server_config config;
    int fd = -1;
    std::vector<hook_call> calls;
};

TEST_F(XgateLink, OpenLogsAndLeavesANonBlockingSocket) {
    EXPECT_TRUE(log.contains("gateway serial: GW-42\n"));
    EXPECT_TRUE(log.contains("Connected to kernel module fd=" + std::to_string(fd) + "\n"));
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(XgateLink, DatagramsAreLoggedWithAHexDump) {
    deliver(buffer{0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(log.contains("Received 12 bytes from kernel\n"));
    EXPECT_TRUE(log.contains("] \n00 00 00 0A 00 00 00 00 00 00 00 00    ............\n"));
}

TEST_F(XgateLink, AWakeUpWithoutADatagramIsNotADisconnect) {
    EXPECT_EQ(xgate_receive(fd, MAINLOOP_IN, config), 0);
    EXPECT_FALSE(log.contains("Kernel disconnected"));
    EXPECT_FALSE(log.contains("Received"));
}

TEST_F(XgateLink, ConfirmationGoesToTheConnectionOfItsCallId) {
    install_hooks();
    callid_table[3] = {3, client_a};
    const buffer pdu = {0x8C, 0x81};
    deliver(send_cnf(3, 1, pdu));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "cnf");
    EXPECT_EQ(calls[0].client, client_a);
    EXPECT_EQ(calls[0].msg.status, 1u);
    EXPECT_EQ(calls[0].msg.cause, 17u);
    EXPECT_EQ(calls[0].msg.port, 5u);
    EXPECT_EQ(calls[0].msg.imsi, "001010000000001");
    EXPECT_EQ(calls[0].msg.pdu, pdu);
    const std::string text = log.text();
    const auto found = text.find("Found client fd 41 by callid 3\n");
    ASSERT_NE(found, std::string::npos);
    EXPECT_NE(text.find("MMS_SENDMMS_CNF received\n", found), std::string::npos);
}

TEST_F(XgateLink, SameSlotDifferentCallIdIsNotRouted) {
    install_hooks();
    callid_table[3] = {3, client_a};
    const std::uint32_t same_slot = 3 + CALLID_TABLE_SIZE;
    deliver(send_cnf(same_slot, 1, {}));
    deliver(timeout_ind(same_slot, 9));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(log.text().find("Found client"), std::string::npos);
    const std::string line = "Not found client fd by callid " + std::to_string(same_slot) + "\n";
    const std::string text = log.text();
    const auto first = text.find(line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(line, first + 1), std::string::npos);

    // An empty slot, and a slot whose client has gone.
    callid_table[7] = {7, nullptr};
    deliver(send_cnf(7, 1, {}));
    deliver(send_cnf(8, 1, {}));
    EXPECT_TRUE(log.contains("Not found client fd by callid 7\n"));
    EXPECT_TRUE(log.contains("Not found client fd by callid 8\n"));
    EXPECT_TRUE(calls.empty());
}

TEST_F(XgateLink, TimeoutIndicationThenConfirmationAreHandledInOrder) {
    install_hooks();
    callid_table[515 % CALLID_TABLE_SIZE] = {515, client_b};
    deliver(join({timeout_ind(515, 44), send_cnf(515, 10, {0x8C})}));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "timeout");
    EXPECT_EQ(calls[0].client, client_b);
    EXPECT_EQ(calls[0].msg.timeout, 44u);
    EXPECT_EQ(calls[1].what, "cnf");
    EXPECT_EQ(calls[1].msg.status, 10u);
    const std::string text = log.text();
    const auto timeout_line = text.find("MMS_SENDMMS_CNF received, timeout=44\n");
    const auto cnf_line = text.find("MMS_SENDMMS_CNF received\n");
    ASSERT_NE(timeout_line, std::string::npos);
    ASSERT_NE(cnf_line, std::string::npos);
    EXPECT_LT(timeout_line, cnf_line);
    EXPECT_EQ(log.text().find("Not found"), std::string::npos);
}

TEST_F(XgateLink, ReceivedMmsGoesToDeliveryAndGetIsIgnored) {
    install_hooks();
    deliver(join({mmsrcv_ind(MMSRCV_FLAG_FILE, "/in/a.mm1"), frame_of(MMS_MMSGET_IND, {})}));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "rcv");
    EXPECT_EQ(calls[0].msg.flags, MMSRCV_FLAG_FILE);
    EXPECT_EQ(calls[0].msg.recipient, "+49");
    EXPECT_EQ(as_text(calls[0].msg.data), "/in/a.mm1");
    EXPECT_TRUE(log.contains("MMS_MMSRCV_IND received\n"));
    EXPECT_TRUE(log.contains("MMS_MMSGET_IND received, ignoring\n"));
}

TEST_F(XgateLink, WithoutHooksMessagesAreLoggedAndDropped) {
    callid_table[9] = {9, client_a};
    deliver(join({send_cnf(9, 1, {}), mmsrcv_ind(MMSRCV_FLAG_URL, "http://x")}));
    EXPECT_TRUE(log.contains("Found client fd -1 by callid 9\n"));
    EXPECT_TRUE(log.contains("xgate_receive: no handler for message 32835, dropped\n"));
    EXPECT_TRUE(log.contains("xgate_receive: no handler for message 70, dropped\n"));
}

TEST_F(XgateLink, MalformedFramesAreSkippedAndTheRestStillHandled) {
    install_hooks();
    callid_table[4] = {4, client_a};
    buffer bad_cnf = send_cnf(4, 1, {1, 2, 3});
    bad_cnf[12 + 43] = 200;  // P = 200 past the frame
    deliver(join({bad_cnf, frame_of(MMS_SENDMMS_TIMEOUT_IND, {0, 0, 0, 4}), send_cnf(4, 1, {})}));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "cnf");
    EXPECT_TRUE(calls[0].msg.pdu.empty());
    EXPECT_EQ(log.text().find("Not found"), std::string::npos);
}

TEST_F(XgateLink, OnlyTheKernelModuleIsHeardAndAnswersGoToIt) {
    install_hooks();
    callid_table[7 % CALLID_TABLE_SIZE] = {7, client_a};
    udp_socket other(0);
    other.send_to_daemon(send_cnf(7, 1, {0x8C, 0x81}));  // forged
    other.send_to_daemon({});                            // ends nothing
    deliver(timeout_ind(7, 9));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(log.contains("not from the kernel module, dropped"));
    const buffer frame = xgate_build_sendmms_result_ind("1", 0, 0, 2, 3, 4);
    EXPECT_EQ(xgate_send(fd, frame), static_cast<long>(frame.size()));
    EXPECT_EQ(kernel.receive(), frame);
}

TEST_F(XgateLink, DatagramsAreReadUpTo4096Bytes) {
    install_hooks();
    // 93 timeout indications of 44 bytes are 4092 bytes; a 94th crosses the limit.
    buffer datagram;
    for (std::uint32_t i = 1; i <= 94; ++i) {
        const buffer f = timeout_ind(1000 + i, i);
        datagram.insert(datagram.end(), f.begin(), f.end());
    }
    const buffer pad = frame_of(XGATE_CONNECT_CNF, {});
    datagram.insert(datagram.end(), pad.begin(), pad.end());
    deliver(datagram);
    EXPECT_TRUE(log.contains("Datagram of 4148 bytes cut to 4096"));
    EXPECT_TRUE(log.contains("Not found client fd by callid 1093\n"));
    EXPECT_FALSE(log.contains("Not found client fd by callid 1094\n"));

    // Exactly 4096 bytes arrive whole: 91 frames, then a confirmation that ends at byte 4096.
    datagram.resize(91 * 44);
    const buffer last = send_cnf(1001, 1, buffer(36, 0x8C));
    datagram.insert(datagram.end(), last.begin(), last.end());
    ASSERT_EQ(datagram.size(), XGATE_MAX_DATAGRAM);
    callid_table[1001 % CALLID_TABLE_SIZE] = {1001, client_a};
    log.clear();
    deliver(datagram);
    EXPECT_TRUE(log.contains("Received 4096 bytes from kernel\n"));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "timeout");
    EXPECT_EQ(calls[1].what, "cnf");
    EXPECT_EQ(calls[1].msg.pdu, buffer(36, 0x8C));
}

using XgateLinkDeathTest = XgateLink;

TEST_F(XgateLinkDeathTest, AnEmptyDatagramEndsTheProcess) {
    kernel.send_to_daemon({});
    EXPECT_EXIT(
        {
            log_file = stderr;
            xgate_receive(fd, MAINLOOP_IN, config);
        },
        ::testing::ExitedWithCode(1), "Kernel disconnected \n");
}

TEST_F(XgateLinkDeathTest, AReceiveErrorEndsTheProcess) {
    EXPECT_EXIT(
        {
            log_file = stderr;
            xgate_receive(-1, MAINLOOP_IN, config);
        },
        ::testing::ExitedWithCode(1), "Kernel disconnected \n");
}

TEST(XgateOpenDeathTest, ATakenPortEndsTheProcess) {
    udp_socket holder(XGATE_LOCAL_PORT);
    ASSERT_TRUE(holder.bound());
    server_config config;
    int fd = -1;
    EXPECT_EXIT(
        {
            log_file = stderr;
            xgate_open(config, fd);
        },
        ::testing::ExitedWithCode(1), "Cannot bind socket. Errno: 98 \\(Address already in use\\)");
}

}  // namespace
