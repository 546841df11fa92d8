// The daemon as a service (log rotation on SIGHUP, a clean stop on SIGTERM or SIGINT) and its
// tools: mm7-submit against the daemon, mm7-sink as the VASP's endpoint.
#include <sys/un.h>

#include <csignal>
#include <map>

#include "core/metrics_server.h"
#include "support/e2e_fixture.h"

namespace {

using namespace e2e;

const std::string kSubmit = std::string(MM7_BINARY_DIR) + "/tools/mm7-submit/mm7-submit";

using OperationsE2E = fixture;

// Twenty submissions wait for a kernel that never confirms; each signal that stops the daemon
// answers every one of them exactly once with a fault and leaves no file behind.
TEST_F(OperationsE2E, StopAnswersEveryWaitingSubmissionOnceAndLeavesNoFiles) {
    stopped_ = true;
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        start({"--set", "confirm=none"});
        std::vector<http_connection> vasps(20);
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(vasps[i].send_all(submit_request_with(
                [i](auto& s) { s.transaction_id = "stop-" + std::to_string(i); })));
        }
        ASSERT_TRUE(wait_until([&] { return sim_->count("not confirming") == 20; }));
        kill(daemon_->pid(), signal_number);
        for (int i = 0; i < 20; ++i) {
            std::string reply = vasps[i].read_all(10s);
            EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK\r\n")) << reply;
            EXPECT_NE(reply.find("<TransactionID"), std::string::npos);
            EXPECT_NE(reply.find("stop-" + std::to_string(i) + "<"), std::string::npos);
            EXPECT_NE(reply.find("<StatusCode>4006</StatusCode>"), std::string::npos) << reply;
            EXPECT_EQ(reply.find("HTTP/1.0", 1), std::string::npos);
        }
        auto status = daemon_->wait_for_exit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(status->exited && status->code == 0) << describe(*status);
        EXPECT_FALSE(fs::exists(daemon_->pid_file()));
        EXPECT_EQ(count_files(daemon_->workdir()), 0u);
        EXPECT_TRUE(daemon_->log_contains(
            "Stopped cleanly: 20 waiting submissions answered, 0 turbo workers ended"));
    }
}

// At info level a finished submission leaves one line of at most 300 bytes, whether it was sent
// or refused, and the daemon's start still shows; the steps in between do not.
TEST_F(OperationsE2E, InfoLevelLeavesOneShortLinePerSubmission) {
    start({}, {"--loglevel", "info"});
    const std::pair<std::string, std::string> rows[] = {
        {submit_request_with([](auto& s) {
             s.transaction_id = "info-1";
             s.recipients += "<Cc><Number>+4917012346</Number></Cc>";
         }),
         "transaction=info-1 recipients=2 bytes=\\d+ outcome=sent http=200 status=1000 "
         "duration_ms=\\d+"},
        {"POST /mm7 HTTP/1.1\r\nContent-Length: x\r\n\r\n",
         "transaction=- recipients=0 bytes=0 outcome=refused http=400 status=- duration_ms=\\d+"},
    };
    std::size_t done = 0;
    for (const auto& [request, want] : rows) {
        const std::size_t before = daemon_->log().size();
        exchange(request);
        ASSERT_TRUE(daemon_->wait_for_log_count("Submission done", ++done)) << daemon_->log();
        std::this_thread::sleep_for(200ms);  // nothing else is to follow
        const std::string added = daemon_->log().substr(before);
        EXPECT_TRUE(std::regex_match(
            added, std::regex(R"(\[[-_:\d]{18}\] Submission done: )" + want + "\n")))
            << added;
        EXPECT_LE(added.size(), 300u);
    }
    for (const char* line : {"PID ", "Connected to kernel module", "QZM MM7 server starting"}) {
        EXPECT_TRUE(daemon_->log_contains(line)) << line;
    }
    EXPECT_FALSE(daemon_->log_contains("mainloop")) << daemon_->log();
}

// Under a service manager (NOTIFY_SOCKET): READY=1 once the listener takes connections, then
// WATCHDOG=1 from the loop's tick when the watchdog is meant for this process, RELOADING=1 and
// READY=1 around a log reopen (of a log moved away), STOPPING=1 when asked to stop.
TEST_F(OperationsE2E, TellsTheServiceManagerItsStateAndPingsTheWatchdog) {
    stopped_ = true;
    sim_ = std::make_unique<kmodsim_process>(strings{"--keep", keep_.path().string()});
    ASSERT_TRUE(sim_->ready());
    temp_dir dir("mm7-notify");
    const std::string path = (dir.path() / "notify").string();
    int manager = checked(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    checked(bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    auto next_message = [&](ms timeout) {
        pollfd p{manager, POLLIN, 0};
        char text[256];
        ssize_t n = poll(&p, 1, static_cast<int>(timeout.count())) > 0
                        ? recv(manager, text, sizeof text, 0)
                        : 0;
        return std::string(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    };
    auto next_state = [&] {  // the next message that is no watchdog ping
        std::string message;
        while ((message = next_message(5s)) == "WATCHDOG=1") {
        }
        return message;
    };
    // The watchdog is this process's when WATCHDOG_PID is unset, not when it names another one.
    for (const char* watchdog_pid : {"", "WATCHDOG_PID=1"}) {
        SCOPED_TRACE(watchdog_pid);
        strings env{"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=1000000"};
        if (*watchdog_pid != '\0') {
            env.push_back(watchdog_pid);
        }
        daemon_ = std::make_unique<daemon_process>(strings{"--clientip", "127.0.0.1"}, env);
        EXPECT_EQ(next_message(10s), "READY=1");
        http_connection vasp;
        EXPECT_TRUE(vasp.connected());
        EXPECT_TRUE(daemon_->log_contains("Connected to kernel module"));
        std::size_t pings = 0;
        for (auto end = std::chrono::steady_clock::now() + 3500ms;
             std::chrono::steady_clock::now() < end;) {
            std::string message = next_message(100ms);
            EXPECT_TRUE(message.empty() || message == "WATCHDOG=1") << message;
            pings += message == "WATCHDOG=1";
        }
        EXPECT_EQ(pings >= 2, *watchdog_pid == '\0') << pings;
        const fs::path rotated = daemon_->log_path().string() + ".1";
        fs::rename(daemon_->log_path(), rotated);
        kill(daemon_->pid(), SIGHUP);
        EXPECT_TRUE(std::regex_match(next_state(), std::regex("RELOADING=1\nMONOTONIC_USEC=\\d+")));
        EXPECT_EQ(next_state(), "READY=1");
        ASSERT_TRUE(daemon_->wait_for_log("reopened"));
        http_connection next;
        expect_log("mainloop_register_fd");
        EXPECT_EQ(read_file(rotated).find("reopened"), std::string::npos);
        EXPECT_NE(read_file(rotated).find("QZM MM7 server starting"), std::string::npos);
        kill(daemon_->pid(), SIGTERM);
        EXPECT_EQ(next_state(), "STOPPING=1");
        EXPECT_TRUE(daemon_->wait_for_exit().has_value());
    }
    close(manager);
}

// PDU files an earlier run left behind go at start-up only once the kernel module can no longer
// be sending them (10 minutes for small ones); younger ones go when their time comes.  Other
// files stay.
TEST_F(OperationsE2E, LeftoverPduFilesGoOnlyOnceNoSubmissionCanWaitForThem) {
    temp_dir work("mm7-leftovers");
    const auto now = fs::file_time_type::clock::now();
    const std::pair<std::string, std::chrono::seconds> files[] = {
        {"OLD-", 601s}, {"DUE+", 592s}, {"FRESH=", 0s}};
    for (const auto& [name, age] : files) {
        write_file(work.path() / (name + ".mm1"), "pdu");
        fs::last_write_time(work.path() / (name + ".mm1"), now - age);
    }
    write_file(work.path() / "notes.txt", "kept");
    start({}, {"--workdir", work.path().string() + "/"});
    expect_log("Removed 1 PDU files left by an earlier run");
    expect_log("2 PDU files left by an earlier run may still be in use, removing them later");
    EXPECT_FALSE(fs::exists(work.path() / "OLD-.mm1"));
    EXPECT_TRUE(fs::exists(work.path() / "DUE+.mm1"));
    EXPECT_TRUE(daemon_->wait_for_log_count("Removed 1 PDU files left by an earlier run", 2, 20s));
    EXPECT_FALSE(fs::exists(work.path() / "DUE+.mm1"));
    EXPECT_TRUE(fs::exists(work.path() / "FRESH=.mm1") && fs::exists(work.path() / "notes.txt"));
}

// Messages a turbo mode worker fetched ("<IMSI>_<hex>.mm1": up to 15 digits, 1 to 21 lower-case
// hex digits) go at start-up once older than an hour ('+'); nothing else of that look does.
TEST_F(OperationsE2E, OldFetchedMessagesGoAtStartUp) {
    temp_dir work("mm7-fetched");
    const std::string names =
        "+311480123456789_1a2b.mm1 +_5f.mm1 +7_0123456789abcdef01234.mm1 -3114801234567890_1a.mm1 "
        "-7_0123456789abcdef012345.mm1 -31148_.mm1 -31148_1A.mm1 -31148_1g.mm1 -3114x_1a.mm1 "
        "-31148_1a.mm2 -31148_1a_2.mm1 -31148_1b.mm1";  // the last one 10 s short of the hour
    auto each = [&](auto check) {
        std::istringstream words(names);
        for (std::string w; words >> w;) {
            check(work.path() / w.substr(1), w[0] == '+');
        }
    };
    each([](const fs::path& file, bool) {
        write_file(file, "pdu");
        fs::last_write_time(file, fs::file_time_type::clock::now() -
                                      (file.filename() == "31148_1b.mm1" ? 3590s : 3610s));
    });
    start({}, {"--workdir", work.path().string() + "/"});
    expect_log("Removed 3 fetched message files older than 3600 s");
    each([](const fs::path& file, bool gone) { EXPECT_NE(fs::exists(file), gone) << file; });
}

// The submit tool: interim responses, the SubmitRsp, and the content in the PDU the kernel
// module is asked to send; refusals of bad arguments before anything is sent.
TEST_F(OperationsE2E, SubmitToolGetsASubmitRspAndRefusesBadArguments) {
    temp_dir files("mm7-submit");
    start({"--set", "timeout_ind=on"});
    write_file(files.path() / "note.txt", "Hello from the tool");
    write_file(files.path() / "pic.png", std::string("\x89PNG\0\r\n", 7));
    auto [status, out] =
        shell(kSubmit + " --to +4917012345 --cc a@example.org --early-hints " + "--subject Hi " +
              (files.path() / "note.txt").string() + " " + (files.path() / "pic.png").string());
    EXPECT_EQ(status, 0) << out;
    for (const char* line : {"interim: 103 Early Hints (expected duration 60 s)",
                             "http: 200\nstatus: 1000", "message-id: kmodsim-"}) {
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    auto kept = sim_->wait_for_line("kept ").value_or(" ");
    std::string pdu = read_file(kept.substr(kept.rfind(' ') + 1));
    EXPECT_NE(pdu.find("Hello from the tool"), std::string::npos);
    EXPECT_NE(pdu.find(std::string("\x89PNG\0\r\n", 7)), std::string::npos);
    const std::pair<std::string, std::string> refusals[] = {
        {"--to not-an-address", "neither a number, a short code nor an e-mail"},
        {"--to 12345 /nonexistent/file.png", "cannot read '/nonexistent/file.png'"},
        {"--to 12345 --url ftp://127.0.0.1/mm7", "is not an http URL"},
        {"", "at least one recipient"}};
    for (const auto& [args, message] : refusals) {
        auto [code, text] = shell(kSubmit + " " + args + " 2>&1");
        EXPECT_EQ(code, 2) << args;
        EXPECT_NE(text.find(message), std::string::npos) << text;
    }
}

// A received message reaches mm7-sink, which saves each part byte for byte and answers the
// matching response; a malformed request gets a 400 with its reason.
TEST_F(OperationsE2E, SinkSavesTheExactPartsAndRefusesMalformedRequests) {
    start_vasp({}, true);
    start({}, {"--clienturl", "http://127.0.0.1:8080/mm7"});
    fs::path dir = sim_->dir();
    std::string image(70000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7919 % 251);
    }
    write_file(dir / "start.smil", "<smil><body><par><img src=\"pic.png\"/></par></body></smil>");
    write_file(dir / "pic.png", image);
    sim_->command("pdu retrieve " + (dir / "in.mm1").string() + " " +
                  (dir / "start.smil").string() + " " + (dir / "pic.png").string());
    ASSERT_TRUE(sim_->wait_for_line("wrote retrieve"));
    sim_->command("rcv 4 " + (dir / "in.mm1").string());
    auto line = vasp_->wait_for_line("request 1 DeliverReq").value_or("");
    EXPECT_NE(line.find("parts=2 saved="), std::string::npos) << line;
    std::map<std::string, std::string> parts;  // by the number the sink gave the file
    for (const auto& entry : fs::directory_iterator(match(line, "saved=(.*)"))) {
        parts[entry.path().filename().string().substr(0, 2)] = read_file(entry.path());
    }
    EXPECT_EQ(parts["1-"], read_file(dir / "start.smil"));
    EXPECT_EQ(parts["2-"], image);
    expect_log("delivered to the VASP");

    const std::string reply = exchange(
        "POST /mm7 HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
        "Content-Length: 5\r\n\r\nhello",
        8080);
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 400 ")) << reply;
    EXPECT_NE(reply.find("not a well-formed multipart"), std::string::npos) << reply;
}

// The monitoring endpoint stays answerable: a full table of idle scrapers makes room for the next
// one (the oldest goes), and a head not complete within 2 s ends its connection.
TEST_F(OperationsE2E, IdleScrapersNeitherBlockTheEndpointNorStay) {
    start({}, {"--metricsport", "9187"});
    const auto closed = [](http_connection& c, ms within) {
        const auto begin = std::chrono::steady_clock::now();
        return c.read_all(within).empty() && std::chrono::steady_clock::now() - begin < within;
    };
    std::vector<std::unique_ptr<http_connection>> idle;
    for (std::size_t i = 0; i < METRICS_MAX_CONNECTIONS; ++i) {
        idle.push_back(std::make_unique<http_connection>(9187));
        ASSERT_TRUE(idle.back()->send_all("GET /met"));
        std::this_thread::sleep_for(20ms);  // accepted in this order
    }
    const std::string health = exchange("GET /health HTTP/1.1\r\n\r\n", 9187);
    EXPECT_TRUE(health.starts_with("HTTP/1.1 200 OK\r\n")) << health << daemon_->log();
    EXPECT_TRUE(closed(*idle.front(), 1s));  // made room
    EXPECT_TRUE(closed(*idle.back(), 4s));   // its head was not complete within 2 s
}

}  // namespace
