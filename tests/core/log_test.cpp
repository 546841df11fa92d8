#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

#include "core/log.h"
#include "support/log_capture.h"

namespace {

TEST(Log, StampRoundsToNearestMillisecondAndCarriesIntoSeconds) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2024-03-14 10:15:59 UTC and a fraction.
    const std::pair<long, const char*> cases[] = {{999600, "[03-14_10:16:00:000]"},
                                                  {58400, "[03-14_10:15:59:058]"},
                                                  {999499, "[03-14_10:15:59:999]"}};
    for (auto [usec, want] : cases) {
        EXPECT_EQ(log_time_stamp(timeval{1710411359, usec}), want) << usec;
    }
}

TEST(Log, LinesAreStampSpaceMessageNewlineCutTo1023) {
    log_capture log;
    log_printf("mainloop_register_fd %d", 7);
    EXPECT_TRUE(std::regex_match(
        log.text(), std::regex(R"(\[\d\d-\d\d_\d\d:\d\d:\d\d:\d\d\d\] mainloop_register_fd 7\n)")))
        << log.text();
    log.clear();
    log_printf("%s", std::string(2000, 'x').c_str());
    EXPECT_EQ(log.text().substr(21), std::string(1023 - 21, 'x') + "\n");
    FILE* saved = log_file;
    log_file = nullptr;
    log_printf("nothing %d", 1);  // without a log file: must simply return
    log_file = saved;
}

// Each threshold keeps the lines of its level and above; a rate-limited refusal is a warning,
// and a line the threshold drops is not counted as suppressed either.
TEST(Log, ThresholdKeepsItsLevelAndAbove) {
    const std::pair<const char*, const char*> rows[] = {{"debug", "d i w e r r"},
                                                        {"info", "i w e r r"},
                                                        {"warning", "w e r r"},
                                                        {"error", "e"},
                                                        {"loud", nullptr}};
    for (auto [name, want] : rows) {
        auto level = log_level_from(name);
        ASSERT_EQ(level.has_value(), want != nullptr) << name;
        if (!level) {
            continue;
        }
        log_capture log;
        log_threshold = *level;
        log_limiter refusals(2, 60);
        log_printf("d");
        log_info("i");
        log_warning("w");
        log_error("e");
        for (int i = 0; i < 3; ++i) {
            refusals.printf("r");
        }
        log_threshold = log_level::debug;
        std::string seen;
        std::istringstream lines(log.text());
        for (std::string line; std::getline(lines, line);) {
            seen += (seen.empty() ? "" : " ") + line.substr(21);
        }
        EXPECT_EQ(seen, want) << name;
    }
}

// A transaction writes at most its budget's lines of those the threshold keeps, whatever their
// level; the crossing line is the first suppressed, and the budget's end counts the rest at the
// highest level among them.  Lines outside its scope do not count.
TEST(Log, ATransactionWritesAtMostItsBudget) {
    const std::tuple<log_level, std::string, const char*> rows[] = {
        {log_level::debug, "diw", "d i w o "},
        {log_level::debug, "diwd", "d i w o T: suppressed 1 lines "},
        {log_level::info, "didwedi", "i w e o T: suppressed 1 lines "},
        {log_level::warning, "weeww", "w e e o T: suppressed 2 lines "}};
    for (const auto& [threshold, written, want] : rows) {
        log_capture log;
        log_threshold = threshold;
        {
            log_budget budget("T", 3);
            log_scope scope(&budget);
            for (const char c : written) {
                log_at(static_cast<log_level>(std::string_view("diwe").find(c)), "%c", c);
            }
            log_scope none(nullptr);
            log_error("o");
        }
        log_threshold = log_level::debug;
        const std::regex stamp(R"(\[\d\d-\d\d_\d\d:\d\d:\d\d:\d\d\d\] ([^\n]*)\n)");
        EXPECT_EQ(std::regex_replace(log.text(), stamp, "$1 "), want) << written;
    }
}

// Buffered lines reach the file when a child crashes or is ended by a signal, and a forked
// child never writes its parent's lines a second time.
TEST(Log, BufferedLinesSurviveFatalSignalsAndForks) {
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

}  // namespace
