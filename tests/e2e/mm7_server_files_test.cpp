// The daemon's files and descriptors under hostile conditions: links planted in its work
// directory, a full disk, a descriptor limit, a log file it cannot open.  Each test runs with a
// tiny tmpfs of its own (tests/netns-tmpfs-run).
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/base64.h"
#include "e2e/http_client.h"
#include "e2e/mm7_request.h"
#include "support/daemon_harness.h"
#include "wsp/wsp_primitives.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

fs::path tiny_fs() {
    const char* dir = std::getenv("MM7_TINY_FS");
    return dir != nullptr ? fs::path(dir) : fs::path();
}

class ServerFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        if (tiny_fs().empty()) {
            GTEST_SKIP() << "needs tests/netns-tmpfs-run";
        }
        work_ = tiny_fs() / "work";
        fs::create_directory(work_);
        ASSERT_TRUE(sim_.ready());
    }
    void start(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--workdir", work_.string(), "--clientip", "127.0.0.1"});
        daemon_ =
            std::make_unique<e2e::daemon_process>(e2e::daemon_process::options{args, false, true});
        ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting"));
    }

    fs::path work_;
    e2e::kmodsim_process sim_;
    std::unique_ptr<e2e::daemon_process> daemon_;
};

// The names the daemon's first transaction ids take around now.
std::vector<std::string> likely_pdu_names() {
    std::vector<std::string> names;
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    for (std::uint32_t t = now - 2; t <= now + 20; ++t) {
        for (std::uint32_t counter = 1; counter <= 3; ++counter) {
            buffer id = encode_uintvar(t);
            buffer c = encode_uintvar(counter);
            id.insert(id.end(), c.begin(), c.end());
            std::string name = base64_encode(id).value_or("");
            std::replace(name.begin(), name.end(), '/', '-');
            if (!name.empty() && name.back() == '\n') {
                name.pop_back();
            }
            names.push_back(name + ".mm1");
        }
    }
    return names;
}

TEST_F(ServerFiles, PlantedLinksAreNeverFollowed) {
    const fs::path victim = tiny_fs() / "victim";
    std::ofstream(victim) << "precious";
    fs::create_symlink(victim, work_ / "mm7-server.pid");
    start();
    EXPECT_FALSE(fs::is_symlink(work_ / "mm7-server.pid"));
    EXPECT_EQ(e2e::read_file(work_ / "mm7-server.pid"), std::to_string(daemon_->pid()));
    for (const std::string& name : likely_pdu_names()) {
        fs::create_symlink(victim, work_ / name);
    }
    std::string reply = e2e::exchange(submit_request(sample_submission()));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    EXPECT_EQ(e2e::read_file(victim), "precious");
    EXPECT_TRUE(daemon_->log_contains("exists already, taking another name"));
}

TEST_F(ServerFiles, AFullDiskIsAnErrorAndTheKernelModuleIsNotAsked) {
    start();
    {
        std::ofstream filler(tiny_fs() / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size())) {
        }
    }
    const std::string body(3000, 'p');
    std::string reply = e2e::exchange(
        "POST /mm7 HTTP/1.0\r\nContent-Type: application/vnd.wap.mms-message\r\n"
        "x-qzm-recipient-id: +4917099\r\nContent-Length: 3000\r\n\r\n" +
        body);
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 503 Server error")) << reply;
    EXPECT_FALSE(sim_.seen("received MMS_SENDMMS_REQ"));
    fs::remove(tiny_fs() / "filler");
    reply = e2e::exchange(submit_request(sample_submission()));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
}

// Clock ticks the process has used.
long cpu_ticks(pid_t pid) {
    std::string stat = e2e::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long total = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            total += std::stol(field);
        }
    }
    return total;
}

TEST_F(ServerFiles, RunningOutOfDescriptorsDoesNotSpin) {
    start();
    rlimit limit{24, 24};
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<std::unique_ptr<e2e::http_connection>> connections;
    for (int i = 0; i < 60; ++i) {
        connections.push_back(std::make_unique<e2e::http_connection>());
    }
    std::this_thread::sleep_for(500ms);
    const long before = cpu_ticks(daemon_->pid());
    const auto log_before = fs::file_size(daemon_->log_path());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(cpu_ticks(daemon_->pid()) - before, sysconf(_SC_CLK_TCK) / 2);
    EXPECT_LT(fs::file_size(daemon_->log_path()) - log_before, 100000u);
    connections.clear();
    EXPECT_TRUE(daemon_->wait_for_log("Client disconnected"));
    std::string reply = e2e::exchange(submit_request(sample_submission()));
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
}

TEST_F(ServerFiles, ALogFileThatCannotBeOpenedIsReportedOnStderr) {
    e2e::daemon_process daemon(e2e::daemon_process::options{
        {"--workdir", work_.string(), "--logfile", (tiny_fs() / "no/such/dir.log").string()},
        false,
        false});
    EXPECT_TRUE(e2e::wait_until(
        [&] { return daemon.stderr_text().find("cannot open log file") != std::string::npos; }));
}

}  // namespace
