// The daemon as a service: log rotation on SIGHUP and a clean stop on SIGTERM or SIGINT.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <csignal>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include "e2e/http_client.h"
#include "e2e/mm7_request.h"
#include "support/daemon_harness.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Runs a command through the shell: its exit status and standard output.
std::pair<int, std::string> run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, out};
    }
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        out.append(chunk, n);
    }
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

const std::string kSubmit = std::string(MM7_BINARY_DIR) + "/tools/mm7-submit/mm7-submit";

class OperationsE2E : public ::testing::Test {
  protected:
    void start(std::vector<std::string> sim_args = {}) {
        sim_ = std::make_unique<e2e::kmodsim_process>(std::move(sim_args));
        ASSERT_TRUE(sim_->ready());
        daemon_ = std::make_unique<e2e::daemon_process>(
            std::vector<std::string>{"--clientip", "127.0.0.1"});
        ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting on port 8887"));
    }
    std::unique_ptr<e2e::kmodsim_process> sim_;
    std::unique_ptr<e2e::daemon_process> daemon_;
};

TEST_F(OperationsE2E, HangupReopensTheLogAfterItWasMovedAway) {
    start();
    fs::path rotated = daemon_->log_path().string() + ".1";
    fs::rename(daemon_->log_path(), rotated);
    kill(daemon_->pid(), SIGHUP);
    ASSERT_TRUE(daemon_->wait_for_log("reopened"));
    e2e::http_connection vasp;
    ASSERT_TRUE(vasp.connected());
    EXPECT_TRUE(daemon_->wait_for_log("mainloop_register_fd"));
    EXPECT_EQ(e2e::read_file(rotated).find("reopened"), std::string::npos);
    EXPECT_NE(e2e::read_file(rotated).find("QZM MM7 server starting"), std::string::npos);
}

// Twenty submissions wait for a kernel that never confirms; each signal that stops the daemon
// answers every one of them exactly once with a fault and leaves no file behind.
TEST_F(OperationsE2E, StopAnswersEveryWaitingSubmissionOnceAndLeavesNoFiles) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        start({"--set", "confirm=none"});
        std::vector<std::unique_ptr<e2e::http_connection>> vasps;
        for (int i = 0; i < 20; ++i) {
            test_submission s = sample_submission();
            s.transaction_id = "stop-" + std::to_string(i);
            vasps.push_back(std::make_unique<e2e::http_connection>());
            ASSERT_TRUE(vasps.back()->send_all(submit_request(s)));
        }
        ASSERT_TRUE(e2e::wait_until([&] { return sim_->count("not confirming") == 20; }));
        kill(daemon_->pid(), signal_number);
        for (int i = 0; i < 20; ++i) {
            std::string reply = vasps[i]->read_all(10s);
            EXPECT_EQ(reply.rfind("HTTP/1.0 500 OK\r\n", 0), 0u) << reply;
            EXPECT_NE(reply.find("<TransactionID"), std::string::npos);
            EXPECT_NE(reply.find("stop-" + std::to_string(i) + "<"), std::string::npos);
            EXPECT_NE(reply.find("<StatusCode>4006</StatusCode>"), std::string::npos) << reply;
            EXPECT_EQ(reply.find("HTTP/1.0", 1), std::string::npos);
        }
        auto status = daemon_->wait_for_exit();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(status->exited && status->code == 0) << e2e::describe(*status);
        EXPECT_FALSE(fs::exists(daemon_->pid_file()));
        for (const auto& entry : fs::directory_iterator(daemon_->workdir())) {
            EXPECT_NE(entry.path().extension(), ".mm1") << entry.path();
        }
        EXPECT_TRUE(daemon_->log_contains(
            "Stopped cleanly: 20 waiting submissions answered, 0 turbo workers ended"));
        daemon_.reset();
        sim_.reset();
    }
}

// The submit tool against the daemon: interim responses, the SubmitRsp, and the content in the
// PDU the kernel module is asked to send; refusals of bad arguments before anything is sent.
TEST_F(OperationsE2E, SubmitToolGetsASubmitRspAndRefusesBadArguments) {
    e2e::temp_dir files("mm7-submit");
    start({"--set", "timeout_ind=on", "--keep", files.path().string()});
    std::ofstream(files.path() / "note.txt") << "Hello from the tool";
    std::ofstream(files.path() / "pic.png", std::ios::binary) << std::string("\x89PNG\0\r\n", 7);
    auto [status, out] =
        run(kSubmit + " --to +4917012345 --cc a@example.org --early-hints " + "--subject Hi " +
            (files.path() / "note.txt").string() + " " + (files.path() / "pic.png").string());
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("interim: 103 Early Hints (expected duration 60 s)"), std::string::npos)
        << out;
    EXPECT_NE(out.find("http: 200\nstatus: 1000"), std::string::npos) << out;
    EXPECT_NE(out.find("message-id: kmodsim-"), std::string::npos) << out;
    auto kept = sim_->wait_for_line("kept ");
    ASSERT_TRUE(kept.has_value());
    std::string pdu = e2e::read_file(kept->substr(kept->rfind(' ') + 1));
    EXPECT_NE(pdu.find("Hello from the tool"), std::string::npos);
    EXPECT_NE(pdu.find(std::string("\x89PNG\0\r\n", 7)), std::string::npos);

    struct refusal {
        std::string args;
        std::string message;
    };
    for (const refusal& r : std::vector<refusal>{
             {"--to not-an-address", "neither a number, a short code nor an e-mail"},
             {"--to 12345 /nonexistent/file.png", "cannot read '/nonexistent/file.png'"},
             {"--to 12345 --url ftp://127.0.0.1/mm7", "is not an http URL"},
             {"", "at least one recipient"}}) {
        auto [code, text] = run(kSubmit + " " + r.args + " 2>&1");
        EXPECT_EQ(code, 2) << r.args;
        EXPECT_NE(text.find(r.message), std::string::npos) << text;
    }
}

// A received message reaches mm7-sink, which saves each part byte for byte and answers the
// matching response; a malformed request gets a 400 with its reason.
TEST_F(OperationsE2E, SinkSavesTheExactPartsAndRefusesMalformedRequests) {
    e2e::mm7_sink_process sink;
    ASSERT_TRUE(sink.ready());
    sim_ = std::make_unique<e2e::kmodsim_process>();
    daemon_ = std::make_unique<e2e::daemon_process>(std::vector<std::string>{
        "--clientip", "127.0.0.1", "--clienturl", "http://127.0.0.1:8080/mm7"});
    ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting"));
    fs::path dir = sim_->dir();
    std::string image(70000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7919 % 251);
    }
    std::ofstream(dir / "start.smil")
        << "<smil><body><par><img src=\"pic.png\"/></par></body></smil>";
    std::ofstream(dir / "pic.png", std::ios::binary) << image;
    sim_->command("pdu retrieve " + (dir / "in.mm1").string() + " " +
                  (dir / "start.smil").string() + " " + (dir / "pic.png").string());
    ASSERT_TRUE(sim_->wait_for_line("wrote retrieve"));
    sim_->command("rcv 4 " + (dir / "in.mm1").string());
    auto line = sink.wait_for_line("request 1 DeliverReq");
    ASSERT_TRUE(line.has_value());
    EXPECT_NE(line->find("parts=2 saved="), std::string::npos) << *line;
    fs::path saved = line->substr(line->find("saved=") + 6);
    std::map<std::string, std::string> parts;  // by the number the sink gave the file
    for (const auto& entry : fs::directory_iterator(saved)) {
        parts[entry.path().filename().string().substr(0, 2)] = e2e::read_file(entry.path());
    }
    EXPECT_EQ(parts["1-"], e2e::read_file(dir / "start.smil"));
    EXPECT_EQ(parts["2-"], image);
    EXPECT_TRUE(daemon_->wait_for_log("delivered to the VASP"));

    e2e::http_connection bad(8080);
    bad.send_all(
        "POST /mm7 HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\nContent-Length: "
        "5\r\n\r\nhello");
    std::string reply = bad.read_all(10s);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400 ", 0), 0u) << reply;
    EXPECT_NE(reply.find("not a well-formed multipart"), std::string::npos) << reply;
}

}  // namespace
