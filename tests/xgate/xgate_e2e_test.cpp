// The daemon's kernel link against the kernel module simulator, over real loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/daemon_harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::daemon_process;
using e2e::kmodsim_process;

// A daemon that must keep running: on failure, say how it ended and what it logged.
void expect_running(daemon_process& daemon) {
    EXPECT_TRUE(daemon.running()) << e2e::describe(
                                         daemon.wait_for_exit(0ms).value_or(e2e::exit_status{}))
                                  << "\nlog:\n"
                                  << daemon.log() << "\nstderr:\n"
                                  << daemon.stderr_text();
}

TEST(XgateEndToEnd, TheDaemonAnnouncesItselfAtStartUp) {
    kmodsim_process sim;
    ASSERT_TRUE(sim.ready());
    daemon_process daemon({"--gwserial", "GW-E2E"});
    ASSERT_TRUE(sim.wait_for_line("received XGATE_CONNECT_REQ"));
    ASSERT_TRUE(daemon.wait_for_log("Connected to kernel module fd="));
    const std::string log = daemon.log();
    const auto pid_line = log.find("PID " + std::to_string(daemon.pid()) + "\n");
    const auto serial = log.find("gateway serial: GW-E2E\n");
    const auto connected = log.find("Connected to kernel module fd=");
    ASSERT_NE(pid_line, std::string::npos) << log;
    ASSERT_NE(serial, std::string::npos) << log;
    EXPECT_LT(pid_line, serial);
    EXPECT_LT(serial, connected);
    EXPECT_NE(sim.frame_log().find("00 00 00 09 00 00 00 00 00 00 00 00"), std::string::npos);
    expect_running(daemon);
}

TEST(XgateEndToEnd, TheDaemonStartsBeforeTheKernelModuleAndKeepsRunning) {
    // The announce goes nowhere; the port-unreachable answer must not end the link.
    daemon_process daemon;
    ASSERT_TRUE(daemon.wait_for_log("Connected to kernel module fd="));
    kmodsim_process sim;
    ASSERT_TRUE(sim.ready());
    sim.command("raw 0000000A 00000000 00000000");
    ASSERT_TRUE(daemon.wait_for_log("Received 12 bytes from kernel\n"));
    expect_running(daemon);
}

TEST(XgateEndToEnd, TwoFramesForAnUnknownCallIdAreHandledInOrder) {
    kmodsim_process sim;
    ASSERT_TRUE(sim.ready());
    daemon_process daemon;
    ASSERT_TRUE(sim.wait_for_line("received XGATE_CONNECT_REQ"));

    ASSERT_EQ(sim.set("timeout_ind", "on"), "ok timeout_ind=on");
    ASSERT_EQ(sim.set("timeout", "77"), "ok timeout=77");
    ASSERT_EQ(sim.set("combine", "on"), "ok combine=on");
    sim.command("answer 4242");
    ASSERT_TRUE(sim.wait_for_line("sent MMS_SENDMMS_TIMEOUT_IND callid=4242 timeout=77"));
    auto cnf = sim.wait_for_line("sent MMS_SENDMMS_CNF callid=4242");
    ASSERT_TRUE(cnf);
    const auto at = cnf->find(" pdu=");
    ASSERT_NE(at, std::string::npos);
    const int pdu = std::stoi(cnf->substr(at + 5));

    const std::string line = "Not found client fd by callid 4242\n";
    ASSERT_TRUE(daemon.wait_for_log_count(line, 2)) << daemon.log();
    const std::string log = daemon.log();
    const std::string received =
        "Received " + std::to_string(44 + 56 + pdu) + " bytes from kernel\n";
    const auto received_at = log.find(received);
    ASSERT_NE(received_at, std::string::npos) << log;
    // The dump follows, 16 bytes a line: the timeout indication's header and call id (0x1092).
    const auto dump_at = log.find(
        "] \n00 00 00 49 00 00 00 00 00 00 00 20 00 00 10 92    ...I....... ....\n", received_at);
    EXPECT_NE(dump_at, std::string::npos) << log;
    const auto first = log.find(line, received_at);
    EXPECT_LT(dump_at, first);
    EXPECT_NE(log.find(line, first + 1), std::string::npos);
    EXPECT_EQ(log.find("Found client"), std::string::npos);
    expect_running(daemon);
}

TEST(XgateEndToEnd, UnknownAndMalformedFramesDoNotStopTheLink) {
    kmodsim_process sim;
    ASSERT_TRUE(sim.ready());
    daemon_process daemon;
    ASSERT_TRUE(sim.wait_for_line("received XGATE_CONNECT_REQ"));
    // A get indication, a confirmation whose PDU length reaches past its frame, an incomplete
    // frame at the end.
    sim.command(
        "raw 00000048 00000000 00000000"
        " 00008043 00000000 0000002C 00000005 00000000 00000001 00000000 00000000"
        " 303030303030303030303030303030 00 00000000 000000FF"
        " 0000000A 00000000 00000010 0000");
    ASSERT_TRUE(daemon.wait_for_log("MMS_MMSGET_IND received, ignoring\n"));
    ASSERT_TRUE(
        daemon.wait_for_log("ParseXgateMessage: Malformed message 32835 of 56 bytes dropped"))
        << daemon.log();
    EXPECT_TRUE(daemon.log_contains("ParseXgateMessage: Unknown message 72\n"));
    EXPECT_FALSE(daemon.log_contains("callid 5"));
    sim.command("empty");
    auto end = daemon.wait_for_exit();
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->exited && end->code == 1) << e2e::describe(*end);
}

TEST(XgateEndToEnd, AnEmptyDatagramEndsTheDaemonWithStatus1) {
    kmodsim_process sim;
    ASSERT_TRUE(sim.ready());
    daemon_process daemon;
    ASSERT_TRUE(sim.wait_for_line("received XGATE_CONNECT_REQ"));
    sim.command("empty");
    auto end = daemon.wait_for_exit();
    ASSERT_TRUE(end) << "still running";
    EXPECT_TRUE(end->exited) << e2e::describe(*end);
    EXPECT_EQ(end->code, 1) << daemon.stderr_text();
    EXPECT_TRUE(daemon.log_contains("Kernel disconnected \n"));
    EXPECT_FALSE(daemon.log_contains("Received 0 bytes"));
}

TEST(XgateEndToEnd, ATakenKernelLinkPortEndsStartUpWithStatus1) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(57444);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    daemon_process daemon;
    auto end = daemon.wait_for_exit();
    close(holder);
    ASSERT_TRUE(end) << "still running";
    EXPECT_TRUE(end->exited && end->code == 1) << e2e::describe(*end);
    EXPECT_TRUE(daemon.log_contains("Cannot bind socket. Errno: 98 (Address already in use)\n"))
        << daemon.log();
    EXPECT_FALSE(daemon.log_contains("Connected to kernel module"));
}

TEST(XgateEndToEnd, AnHttpsClientUrlEndsStartUpWith255AndNoPidFile) {
    daemon_process daemon({"--clienturl", "https://10.1.2.3:8443/mm7"});
    auto end = daemon.wait_for_exit();
    ASSERT_TRUE(end) << "still running";
    EXPECT_TRUE(end->exited && end->code == 255) << e2e::describe(*end);
    EXPECT_TRUE(daemon.log_contains("client url: only http scheme is supported\n"));
    EXPECT_FALSE(std::filesystem::exists(daemon.pid_file()));
    EXPECT_FALSE(daemon.log_contains("gateway serial"));
}

TEST(XgateEndToEnd, ThePidFileHoldsThePidWithoutNewline) {
    kmodsim_process sim;
    ASSERT_TRUE(sim.ready());
    daemon_process daemon;
    ASSERT_TRUE(sim.wait_for_line("received XGATE_CONNECT_REQ"));
    EXPECT_EQ(e2e::read_file(daemon.pid_file()), std::to_string(daemon.pid()));
    expect_running(daemon);
    const auto end = daemon.stop();
    EXPECT_TRUE(end.exited && end.code == 0) << e2e::describe(end);
    EXPECT_FALSE(std::filesystem::exists(daemon.pid_file()));
}

}  // namespace
