// The kernel link over real loopback sockets, in-process: this test plays the kernel module on
// 127.0.0.1:57445 (each test runs in a network namespace of its own).
#include <fcntl.h>
#include <gtest/gtest.h>

#include "core/log.h"
#include "core/mainloop.h"
#include "support/log_capture.h"
#include "xgate_test_util.h"

namespace {

// Stand-ins for VASP connections: the link only passes these pointers around.
int connection_a, connection_b;
outgoing_mms_info* const client_a = reinterpret_cast<outgoing_mms_info*>(&connection_a);
outgoing_mms_info* const client_b = reinterpret_cast<outgoing_mms_info*>(&connection_b);

buffer cnf(std::uint32_t call_id, std::uint32_t status, const buffer& pdu) {
    return send_cnf(call_id, status, 17, "001010000000001", 5, pdu);
}

// A hook call as "hook client: fields of the message".
std::string call(const char* hook, outgoing_mms_info* c, const xgate_message& m) {
    return std::string(hook) +
           (c == client_a   ? " a: "
            : c == client_b ? " b: "
                            : " -: ") +
           fields(m);
}

class XgateLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kernel.bound()) << "port 57445 is taken";
        callid_table = {};
        xgate_hooks_table = {};
        config.gw_serial = "GW-42";
        xgate_open(config, fd);
        ASSERT_GT(fd, 0);
        EXPECT_EQ(kernel.receive(), xgate_build_connect_req());
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
            calls.push_back(call("timeout", c, m));
        };
        xgate_hooks_table.on_send_cnf = [this](outgoing_mms_info* c, const xgate_message& m) {
            calls.push_back(call("cnf", c, m));
        };
        xgate_hooks_table.on_mms_rcv_ind = [this](const xgate_message& m, server_config& cfg) {
            EXPECT_EQ(&cfg, &config);
            calls.push_back(call("rcv", nullptr, m));
        };
    }
    // The kernel sends data; the link handles exactly that datagram.
    void deliver(const buffer& data) {
        kernel.send_to(XGATE_LOCAL_PORT, data);
        EXPECT_EQ(xgate_receive(fd, MAINLOOP_IN, config), 0);
    }
    // The log's lines in this order.
    void expect_lines_in_order(std::initializer_list<std::string> lines) {
        const std::string text = log.text();
        std::size_t at = 0;
        for (const std::string& line : lines) {
            at = text.find(line, at);
            ASSERT_NE(at, std::string::npos) << line << "\n" << text;
            ++at;
        }
    }

    log_capture log;
    udp_end kernel{XGATE_KERNEL_PORT};
    server_config config;
    int fd = -1;
    std::vector<std::string> calls;
};

TEST_F(XgateLink, OpenLogsAndDatagramsAreDumped) {
    EXPECT_TRUE(log.contains("gateway serial: GW-42\n"));
    EXPECT_TRUE(log.contains("Connected to kernel module fd=" + std::to_string(fd) + "\n"));
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    // A wake-up without a datagram is not a disconnect.
    EXPECT_EQ(xgate_receive(fd, MAINLOOP_IN, config), 0);
    EXPECT_FALSE(log.contains("Kernel disconnected"));
    EXPECT_FALSE(log.contains("Received"));
    deliver(buffer{0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(log.contains("Received 12 bytes from kernel\n"));
    EXPECT_TRUE(log.contains("] \n00 00 00 0A 00 00 00 00 00 00 00 00    ............\n"));
}

TEST_F(XgateLink, ConfirmationsAndTimeoutsGoToTheConnectionOfTheirCallId) {
    install_hooks();
    callid_table[3] = {3, client_a};
    deliver(cnf(3, 1, {0x8C, 0x81}));
    expect_lines_in_order({"Found client fd 41 by callid 3\n", "MMS_SENDMMS_CNF received\n"});
    log.clear();
    callid_table[515 % CALLID_TABLE_SIZE] = {515, client_b};
    deliver(join({timeout_ind(515, "", 44), cnf(515, 10, {0x8C})}));
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "cnf a: kind=32835 len=58 call=3 port=5 status=1 cause=17 "
                         "imsi=001010000000001 pdu=8C81",
                         "timeout b: kind=73 len=44 call=515 timeout=44",
                         "cnf b: kind=32835 len=57 call=515 port=5 status=10 cause=17 "
                         "imsi=001010000000001 pdu=8C"}));
    expect_lines_in_order({"MMS_SENDMMS_CNF received, timeout=44\n", "MMS_SENDMMS_CNF received\n"});
    EXPECT_FALSE(log.contains("Not found"));
}

TEST_F(XgateLink, UnknownCallIdsAreNotRouted) {
    install_hooks();
    callid_table[3] = {3, client_a};
    callid_table[7] = {7, nullptr};  // a slot whose client has gone
    const std::uint32_t same_slot = 3 + CALLID_TABLE_SIZE;
    deliver(cnf(same_slot, 1, {}));
    deliver(timeout_ind(same_slot, "", 9));
    deliver(cnf(7, 1, {}));
    deliver(cnf(8, 1, {}));  // an empty slot
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(log.contains("Found client"));
    const std::string line = "Not found client fd by callid " + std::to_string(same_slot) + "\n";
    expect_lines_in_order({line, line});
    EXPECT_TRUE(log.contains("Not found client fd by callid 7\n"));
    EXPECT_TRUE(log.contains("Not found client fd by callid 8\n"));
}

TEST_F(XgateLink, ReceivedMmsGetUnhookedAndMalformedFrames) {
    callid_table[9] = {9, client_a};
    deliver(join({cnf(9, 1, {}), mmsrcv_ind("1", 1, MMSRCV_FLAG_URL, "", "", "http://x")}));
    EXPECT_TRUE(log.contains("Found client fd -1 by callid 9\n"));  // no client_fd hook
    EXPECT_TRUE(log.contains("xgate_receive: no handler for message 32835, dropped\n"));
    EXPECT_TRUE(log.contains("xgate_receive: no handler for message 70, dropped\n"));
    install_hooks();
    buffer bad_cnf = cnf(9, 1, {1, 2, 3});
    bad_cnf[12 + 43] = 200;  // P = 200 past the frame
    deliver(join({mmsrcv_ind("001010000000002", 1, MMSRCV_FLAG_FILE, std::string("+49\0", 4), "",
                             "/in/a.mm1"),
                  frame_of(MMS_MMSGET_IND, {}), bad_cnf,
                  frame_of(MMS_SENDMMS_TIMEOUT_IND, {0, 0, 0, 9}), cnf(9, 1, {})}));
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "rcv -: kind=70 len=61 port=1 flags=4 imsi=001010000000002 to=+49 "
                         "data=/in/a.mm1",
                         "cnf a: kind=32835 len=56 call=9 port=5 status=1 cause=17 "
                         "imsi=001010000000001"}));
    EXPECT_TRUE(log.contains("MMS_MMSRCV_IND received\n"));
    EXPECT_TRUE(log.contains("MMS_MMSGET_IND received, ignoring\n"));
    EXPECT_FALSE(log.contains("Not found"));
}

TEST_F(XgateLink, OnlyTheKernelModuleIsHeardAndAnswersGoToIt) {
    install_hooks();
    callid_table[7] = {7, client_a};
    udp_end other(0);
    other.send_to(XGATE_LOCAL_PORT, cnf(7, 1, {0x8C, 0x81}));  // forged
    other.send_to(XGATE_LOCAL_PORT, {});                       // ends nothing
    deliver(timeout_ind(7, "", 9));
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
        datagram = join({datagram, timeout_ind(1000 + i, "", i)});
    }
    deliver(join({datagram, frame_of(XGATE_CONNECT_CNF, {})}));
    EXPECT_TRUE(log.contains("Datagram of 4148 bytes cut to 4096"));
    EXPECT_TRUE(log.contains("Not found client fd by callid 1093\n"));
    EXPECT_FALSE(log.contains("Not found client fd by callid 1094\n"));

    // Exactly 4096 bytes arrive whole: 91 frames, then a confirmation that ends at byte 4096.
    datagram.resize(91 * 44);
    datagram = join({datagram, cnf(1001, 1, buffer(36, 0x8C))});
    ASSERT_EQ(datagram.size(), XGATE_MAX_DATAGRAM);
    callid_table[1001 % CALLID_TABLE_SIZE] = {1001, client_a};
    log.clear();
    deliver(datagram);
    EXPECT_TRUE(log.contains("Received 4096 bytes from kernel\n"));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "timeout a: kind=73 len=44 call=1001 timeout=1");
    std::string pdu;
    for (int i = 0; i < 36; ++i) {
        pdu += "8C";
    }
    EXPECT_EQ(calls[1],
              "cnf a: kind=32835 len=92 call=1001 port=5 status=1 cause=17 "
              "imsi=001010000000001 pdu=" +
                  pdu);
}

using XgateLinkDeathTest = XgateLink;

TEST_F(XgateLinkDeathTest, AnEmptyDatagramOrAReceiveErrorEndsTheProcess) {
    kernel.send_to(XGATE_LOCAL_PORT, {});
    for (int from : {fd, -1}) {
        EXPECT_EXIT(
            {
                log_file = stderr;
                xgate_receive(from, MAINLOOP_IN, config);
            },
            ::testing::ExitedWithCode(1), "Kernel disconnected \n");
    }
}

}  // namespace
