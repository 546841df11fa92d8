#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "core/log.h"
#include "support/log_capture.h"

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(LogTest, StampRoundsToNearestMillisecondAndCarriesIntoSeconds) {
    // 2024-03-14 10:15:59.9996 UTC
    struct timeval tv {};
    tv.tv_sec = 1710411359;
    tv.tv_usec = 999600;
    EXPECT_EQ(log_time_stamp(tv), "[03-14_10:16:00:000]");
    tv.tv_usec = 58400;
    EXPECT_EQ(log_time_stamp(tv), "[03-14_10:15:59:058]");
    tv.tv_usec = 999499;
    EXPECT_EQ(log_time_stamp(tv), "[03-14_10:15:59:999]");
}

TEST_F(LogTest, LineHasStampSpaceMessageAndNewline) {
    log_capture log;
    log_printf("mainloop_register_fd %d", 7);
    std::string text = log.text();
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\[\d\d-\d\d_\d\d:\d\d:\d\d:\d\d\d\] mainloop_register_fd 7\n)")))
        << text;
}

TEST_F(LogTest, LongMessageIsCutTo1023Characters) {
    log_capture log;
    log_printf("%s", std::string(2000, 'x').c_str());
    std::string text = log.text();
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.size() - 1, 1023u);
}

TEST_F(LogTest, TrailingNewlineInMessageLeavesEmptyLine) {
    log_capture log;
    log_printf("a\n");
    std::string text = log.text();
    EXPECT_EQ(text.substr(text.size() - 3), "a\n\n");
}

TEST_F(LogTest, NoOutputWithoutLogFile) {
    FILE* saved = log_file;
    log_file = nullptr;
    log_printf("nothing %d", 1);  // must simply return
    log_file = saved;
}

// Buffered lines reach the file when a child crashes or is ended by a signal, and a forked
// child never writes its parent's lines a second time.
TEST_F(LogTest, BufferedLinesSurviveFatalSignalsAndForks) {
    std::string path = "/tmp/mm7-log-test-" + std::to_string(getpid());
    for (int how : {SIGSEGV, SIGABRT, SIGTERM, SIGBUS}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            log_file = std::fopen(path.c_str(), "w");
            log_flush_on_fatal_signals();
            log_printf("line before signal %d", how);
            if (fork() == 0) {
                _exit(0);  // its copy of the buffer must be empty
            }
            wait(nullptr);
            log_printf("second line");
            raise(how);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << how;
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        std::string expected = "line before signal " + std::to_string(how) + "\n";
        EXPECT_EQ(text.str().find(expected), 21u) << how << text.str();
        EXPECT_EQ(text.str().find(expected, 22), std::string::npos) << text.str();
        EXPECT_NE(text.str().find("] second line\n"), std::string::npos) << how;
    }
    std::remove(path.c_str());
}

TEST(TicksTest, ClockAdvancesAndRateIsKnown) {
    ticks_init();
    EXPECT_GT(ticks_per_second, 0);
    std::int64_t a = ticks_now();
    std::int64_t b = ticks_now();
    EXPECT_GE(b, a);
}

}  // namespace
