#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
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

TEST(TicksTest, ClockAdvancesAndRateIsKnown) {
    ticks_init();
    EXPECT_GT(ticks_per_second, 0);
    std::int64_t a = ticks_now();
    std::int64_t b = ticks_now();
    EXPECT_GE(b, a);
}

}  // namespace
