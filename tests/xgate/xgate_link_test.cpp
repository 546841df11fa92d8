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
int connection_a;
outgoing_mms_info* const client_a = reinterpret_cast<outgoing_mms_info*>(&connection_a);

buffer cnf(std::uint32_t call_id, std::uint32_t status, const buffer& pdu) {
    return send_cnf(call_id, status, 17, "001010000000001", 5, pdu);
}

// A hook call as "hook client: fields of the message".
std::string call(const char* hook, outgoing_mms_info* c, const xgate_message& m) {
    return std::string(hook) + (c == client_a ? " a: " : " -: ") + fields(m);
}

class XgateLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kernel.bound()) << "port 57445 is taken";
        callid_table = {};
        xgate_hooks_table = {};
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
        xgate_hooks_table.on_timeout_ind = [this](outgoing_mms_info* c, const xgate_message& m) {
            calls.push_back(call("timeout", c, m));
        };
        xgate_hooks_table.on_send_cnf = [this](outgoing_mms_info* c, const xgate_message& m) {
            calls.push_back(call("cnf", c, m));
        };
    }
    // The kernel sends data; the link handles exactly that datagram.
    void deliver(const buffer& data) {
        kernel.send_to(XGATE_LOCAL_PORT, data);
        EXPECT_EQ(xgate_receive(fd, MAINLOOP_IN, config), 0);
    }

    log_capture log;
    udp_end kernel{XGATE_KERNEL_PORT};
    server_config config;
    int fd = -1;
    std::vector<std::string> calls;
};

TEST_F(XgateLink, AWakeUpWithoutADatagramIsNotADisconnect) {
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(xgate_receive(fd, MAINLOOP_IN, config), 0);
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
    deliver(cnf(3, 1, {}));  // only the slot's own call id is routed
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(XgateLink, OnlyTheKernelModuleIsHeardAndAnswersGoToIt) {
    install_hooks();
    callid_table[7] = {7, client_a};
    udp_end other(0);
    other.send_to(XGATE_LOCAL_PORT, cnf(7, 1, {0x8C, 0x81}));  // forged
    other.send_to(XGATE_LOCAL_PORT, {});                       // ends nothing
    deliver(timeout_ind(7, "", 9));
    ASSERT_EQ(calls.size(), 1u);
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

}  // namespace
