// The daemon's kernel link against the kernel module simulator, over real loopback sockets.
#include <unistd.h>

#include "support/e2e_fixture.h"
#include "xgate_test_util.h"

namespace {

using namespace e2e;
using XgateEndToEnd = fixture;

// The daemon announces itself (its PID, then the gateway serial, then the link); two frames
// for an unknown call id arrive in one datagram and are handled in order.
TEST_F(XgateEndToEnd, AnnouncedAndTwoFramesForAnUnknownCallIdAreHandledInOrder) {
    start({}, {"--gwserial", "GW-E2E"});
    ASSERT_TRUE(daemon_->wait_for_log("Connected to kernel module fd="));
    EXPECT_NE(sim_->frame_log().find("00 00 00 09 00 00 00 00 00 00 00 00"), std::string::npos);
    set("timeout_ind=on|timeout=77|combine=on");
    sim_->command("answer 4242");
    ASSERT_TRUE(sim_->wait_for_line("sent MMS_SENDMMS_TIMEOUT_IND callid=4242 timeout=77"));
    const std::string pdu =
        match(sim_->wait_for_line("sent MMS_SENDMMS_CNF callid=4242").value_or(""), " pdu=(\\d+)");
    ASSERT_NE(pdu, "");
    const std::string line = "Not found client fd by callid 4242\n";
    ASSERT_TRUE(daemon_->wait_for_log_count(line, 2)) << daemon_->log();
    const std::string log = daemon_->log();
    const auto pid_line = log.find("PID " + std::to_string(daemon_->pid()) + "\n");
    EXPECT_LT(pid_line, log.find("gateway serial: GW-E2E\n")) << log;
    EXPECT_LT(log.find("gateway serial: GW-E2E\n"), log.find("Connected to kernel module fd="));
    const auto received_at =
        log.find("Received " + std::to_string(44 + 56 + std::stoi(pdu)) + " bytes from kernel\n");
    ASSERT_NE(received_at, std::string::npos) << log;
    // The dump follows, 16 bytes a line: the timeout indication's header and call id (0x1092).
    const auto dump_at = log.find(
        "] \n00 00 00 49 00 00 00 00 00 00 00 20 00 00 10 92    ...I....... ....\n", received_at);
    EXPECT_NE(dump_at, std::string::npos) << log;
    const auto first = log.find(line, received_at);
    EXPECT_LT(dump_at, first);
    EXPECT_NE(log.find(line, first + 1), std::string::npos);
    EXPECT_EQ(log.find("Found client"), std::string::npos);
}

// Datagrams up to 4096 bytes, heard only from the kernel module, and a confirmation routed only
// to the submission of its own call id (not to another in the same table slot).
TEST_F(XgateEndToEnd, DatagramsUpTo4096BytesFromTheKernelModuleOnlyRoutedByTheirOwnCallId) {
    start({"--set", "confirm=none"}, {"--metricsport", "9187"});
    // Unmatched frames are counted (their lines are rate-limited).
    auto unmatched = [] {
        return match(exchange("GET /metrics HTTP/1.0\r\n\r\n", 9187),
                     "\nmm7_kernel_unmatched_total (\\d+)\n");
    };
    http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request()));
    const auto id = static_cast<std::uint32_t>(
        std::stoul(match(sim_->wait_for_line("not confirming").value_or(""), "id=(\\d+)")));
    auto raw = [&](const buffer& datagram) { sim_->command("raw " + hex_of(datagram)); };
    // 94 timeout indications of 44 bytes: the 94th lies past byte 4096 and is not read.
    buffer datagram;
    for (std::uint32_t i = 1; i <= 94; ++i) {
        datagram = join({datagram, timeout_ind(1000 + i, "", i)});
    }
    raw(datagram);
    expect_log("Datagram of 4136 bytes cut to 4096");
    EXPECT_EQ(unmatched(), "93");
    // Confirmations the submission must not take: forged by another sender, or for another
    // call id of the same slot.
    const int forger = socket(AF_INET, SOCK_DGRAM, 0);
    const buffer forged = send_cnf(id, 3, 7, "1", 0, {});
    sockaddr_in daemon_end{AF_INET, htons(XGATE_LOCAL_PORT), {htonl(INADDR_LOOPBACK)}, {}};
    sendto(forger, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&daemon_end),
           sizeof daemon_end);
    close(forger);
    raw(send_cnf(id + CALLID_TABLE_SIZE, 3, 8, "1", 0, {}));
    EXPECT_TRUE(wait_until([&] { return unmatched() == "94"; }));
    // Exactly 4096 bytes are read whole: 91 frames, then its confirmation ending at byte 4096.
    datagram.resize(91 * 44);
    datagram = join({datagram, send_cnf(id, 1, 0, "1", 0, buffer(36, 0x8C))});
    ASSERT_EQ(datagram.size(), XGATE_MAX_DATAGRAM);
    raw(datagram);
    const std::string reply = vasp.read_all();
    EXPECT_NE(reply.find("Invalid response received from network"), std::string::npos) << reply;
}

// A daemon started before the kernel module (its announce goes nowhere, and the port-unreachable
// answer must not end the link), unknown and malformed frames, an empty datagram and one too
// short for a frame leave the link up.
TEST_F(XgateEndToEnd, UnknownMalformedAndEmptyDatagramsDoNotStopTheLink) {
    start_daemon();
    ASSERT_TRUE(daemon_->wait_for_log("Connected to kernel module fd="));
    sim_ = std::make_unique<kmodsim_process>();
    ASSERT_TRUE(sim_->ready());
    // A get indication, a confirmation whose PDU length reaches past its frame, an incomplete
    // frame at the end.
    sim_->command(
        "raw 00000048 00000000 00000000"
        " 00008043 00000000 0000002C 00000005 00000000 00000001 00000000 00000000"
        " 303030303030303030303030303030 00 00000000 000000FF"
        " 0000000A 00000000 00000010 0000");
    ASSERT_TRUE(daemon_->wait_for_log("MMS_MMSGET_IND received, ignoring\n"));
    expect_log("ParseXgateMessage: Malformed message 32835 of 56 bytes dropped");
    expect_log("Datagram of 82 bytes from the kernel module: 14 bytes after its last whole frame");
    EXPECT_TRUE(daemon_->log_contains("ParseXgateMessage: Unknown message 72\n"));
    EXPECT_FALSE(daemon_->log_contains("callid 5"));
    sim_->command("empty");
    expect_log("Empty datagram from the kernel module, ignored");
    sim_->command("raw 00000048 00000000 000000");
    expect_log("Datagram of 11 bytes from the kernel module: 11 bytes after its last whole frame");
    sim_->command("raw 00000048 00000000 00000000");
    EXPECT_TRUE(daemon_->wait_for_log_count("MMS_MMSGET_IND received, ignoring\n", 2));
    // Five lines a minute of unknown and malformed frames, the crossing one is not written.
    for (const char* kind : {"C8", "C9", "CA"}) {
        sim_->command(std::string("raw 000000") + kind + " 00000000 00000000");
    }
    sim_->command("raw 00000048 00000000 00000000");
    EXPECT_TRUE(daemon_->wait_for_log_count("MMS_MMSGET_IND received, ignoring\n", 3));
    EXPECT_TRUE(daemon_->log_contains("ParseXgateMessage: Unknown message 201\n"));
    EXPECT_FALSE(daemon_->log_contains("ParseXgateMessage: Unknown message 202\n"));
    EXPECT_FALSE(daemon_->log_contains("Kernel disconnected"));
}

// While the kernel module does not hold its port any local user may bind it: what a socket of
// another user than --kerneluid sends is dropped, so a forged confirmation answers no VASP and a
// forged indication opens no file.  The module is heard again as soon as it is back.
TEST_F(XgateEndToEnd, OnlyASocketOfTheKernelUserSpeaksForTheKernelModule) {
    start({"--set", "confirm=none"});
    http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request()));
    const std::string id =
        match(sim_->wait_for_line("not confirming").value_or(""), "callid=(\\d+)");
    ASSERT_NE(id, "");
    sim_->stop();
    const fs::path secret = keep_.path() / "secret.mm1";  // root's alone, in a PDU directory
    write_file(secret, std::string("\x8C\x86\x8D\x90\x8Bmsg-1\0\x95\x81", 13));
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    const buffer conf = {0x8C, 0x81, 0x98, 'T', 0, 0x8D, 0x92, 0x92, 0x80, 0x8B, 'f', 0};
    const std::string code =
        "import socket,sys,time\n"
        "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
        "s.bind(('127.0.0.1',57445))\n"
        "for h in sys.argv[1:]: s.sendto(bytes.fromhex(h),('127.0.0.1',57444))\n"
        "time.sleep(30)\n";
    {
        process forger({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                        "/usr/bin/python3", "-c", code,
                        hex_of(send_cnf(std::stoul(id), 1, 0, "001010123456789", 0, conf)),
                        hex_of(mmsrcv_ind("001010123456789", 0, 4, "", "", secret.string()))},
                       keep_.path());
        ASSERT_TRUE(daemon_->wait_for_log_count(
            "from 127.0.0.1:57445 is not from the kernel module (its socket belongs to uid "
            "65534), dropped",
            2))
            << daemon_->log();
    }
    EXPECT_FALSE(daemon_->log_contains("MMS_MMSRCV_IND received"));
    EXPECT_FALSE(daemon_->log_contains("Found client fd"));
    std::this_thread::sleep_for(200ms);  // a refusal is remembered for a tenth of a second
    sim_ = std::make_unique<kmodsim_process>();
    ASSERT_TRUE(sim_->ready());
    sim_->command("cnf " + id);
    const std::string reply = vasp.read_all();
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\n")) << reply << daemon_->log();
}

// A received message's PDU file is opened only inside a PDU directory (or the work directory),
// whatever links or ".." its name holds.
TEST_F(XgateEndToEnd, NamedPduFilesAreOpenedOnlyInsideAPduDirectory) {
    const fs::path top = keep_.path(), dir = top / "pdus";
    fs::create_directories(dir / "sub");
    fs::create_directories(top / "pdus-x");
    for (const fs::path& file : {dir / "in.mm1", top / "pdus-x" / "in.mm1", top / "out.mm1"}) {
        write_file(file, std::string("\x8C\x86\x8D\x90\x8Bmsg-1\0\x95\x81", 13));
    }
    fs::create_symlink(dir / "in.mm1", dir / "link.mm1");
    fs::create_symlink(top / "out.mm1", dir / "escape.mm1");
    fs::create_directory_symlink(top / "pdus-x", dir / "away");
    start({}, {"--pdudir", dir.string() + "/"});
    const std::pair<std::string, bool> rows[] = {
        {dir / "in.mm1", true},
        {dir / "sub/../in.mm1", true},
        {dir / "link.mm1", true},
        {dir / "../out.mm1", false},
        {dir / "escape.mm1", false},
        {dir / "away/in.mm1", false},
        {top / "pdus-x" / "in.mm1", false},  // a sibling whose name begins like the directory's
    };
    for (const auto& [path, opened] : rows) {
        SCOPED_TRACE(path);
        const std::string needle =
            opened ? "spooled as entry" : "Cannot open " + path + ". Errno: 13 ";
        const std::size_t before = daemon_->log_count(needle);
        sim_->command("rcv 4 " + path);
        ASSERT_TRUE(daemon_->wait_for_log_count(needle, before + 1)) << daemon_->log();
        EXPECT_EQ(daemon_->log_count(path + " is in no PDU directory, refused"), opened ? 0u : 1u);
    }
}

// Start-up that cannot go on: the exit status, the reason logged (at error level, and on stderr
// whatever the level), and what must not follow.
TEST(XgateStartUp, ATakenPortAnUnknownClientUrlSchemeOrAnOpenSecretFileEndStartUp) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, htons(57444), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int metrics_holder = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_port = htons(9187);
    ASSERT_EQ(bind(metrics_holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(metrics_holder, 1), 0);
    struct failure {
        strings args;
        int code;
        const char *logged, *never;
    };
    temp_dir dir("mm7-auth");
    const std::string auth = (dir.path() / "vasp.auth").string();
    write_file(auth, "vasp:s3cret\n");
    fs::permissions(auth, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    for (const auto& [args, code, logged, never] : std::vector<failure>{
             {{"--clientauthfile", auth}, 1, "is not of mode 0600 or stricter", "PID "},
             {{},
              1,
              "Cannot bind socket. Errno: 98 (Address already in use)\n",
              "Connected to kernel module"},
             {{"--clienturl", "ftp://10.1.2.3/mm7"},
              255,
              "client url: only http and https schemes are supported\n",
              "gateway serial"},
             {{"--clienturl", "https://10.1.2.3/mm7", "--clientcert", auth, "--clientkey", auth},
              1,
              "Client key file /",
              "PID "},
             {{"--metricsport", "9187", "--loglevel", "info"},
              1,
              "Cannot open metrics port 9187. Errno: 98 (Address already in use)\n",
              "Metrics served"}}) {
        if (!args.empty() && args[0] == "--metricsport") {
            close(holder);  // that start gets past the kernel link
        }
        daemon_process daemon(args);
        auto end = daemon.wait_for_exit();
        ASSERT_TRUE(end) << "still running";
        EXPECT_TRUE(end->exited && end->code == code) << describe(*end);
        EXPECT_TRUE(daemon.log_contains(logged)) << daemon.log();
        EXPECT_FALSE(daemon.log_contains(never));
        EXPECT_TRUE(daemon.stderr_text().starts_with("mm7_server: ") &&
                    daemon.stderr_text().find(logged) != std::string::npos)
            << daemon.stderr_text();
        EXPECT_TRUE(code == 1 || !fs::exists(daemon.pid_file()));
    }
    close(metrics_holder);
}

}  // namespace
