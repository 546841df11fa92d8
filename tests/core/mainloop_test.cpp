#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/mainloop.h"
#include "support/log_capture.h"

namespace {

// Each test leaves the loop's process-wide state empty again.
class MainloopTest : public ::testing::Test {
  protected:
    void TearDown() override {
        mainloop_clear_ticks();
        mainloop_cleanup();
        for (int fd : fds_) {
            close(fd);
        }
    }
    // A connected pair whose first end is readable (one byte waiting).
    int readable_socket() {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        fds_.insert(fds_.end(), {pair[0], pair[1]});
        EXPECT_EQ(write(pair[1], "x", 1), 1);
        return pair[0];
    }
    log_capture log;
    std::vector<int> fds_;
};

TEST_F(MainloopTest, HandlerResultEndsTheLoopAndIsReturned) {
    int fd = readable_socket();
    int calls = 0;
    mainloop_register_fd(fd, MAINLOOP_IN, [&](int got, int flags) {
        EXPECT_EQ(got, fd);
        EXPECT_EQ(flags, MAINLOOP_IN);
        return ++calls >= 3 ? -1 : 0;  // level-triggered: called again while data waits
    });
    EXPECT_EQ(mainloop_run(100), -1);
    EXPECT_EQ(calls, 3);
    // A second registration keeps the first handler.
    mainloop_register_fd(fd, MAINLOOP_IN, [](int, int) { return 2; });
    EXPECT_EQ(mainloop_run(100), -1);
    EXPECT_EQ(calls, 4);
}

TEST_F(MainloopTest, UnregisteredOrStoppedHandlersOfABatchAreNotCalled) {
    for (bool unregister : {true, false}) {
        int fds[2] = {readable_socket(), readable_socket()}, calls = 0;
        // Whichever runs first removes the other, or ends the batch; only one may be called.
        for (int i : {0, 1}) {
            mainloop_register_fd(fds[i], MAINLOOP_IN,
                                 [&, unregister, other = fds[1 - i]](int, int) {
                                     ++calls;
                                     if (unregister) {
                                         mainloop_unregister_fd(other);
                                     }
                                     return 7;
                                 });
        }
        EXPECT_EQ(mainloop_run(100), 7);
        EXPECT_EQ(calls, 1) << unregister;
        mainloop_cleanup();
    }
}

TEST_F(MainloopTest, HighestDescriptorAndMisuseIgnored) {
    int a = readable_socket(), b = readable_socket();
    auto handler = [](int, int) { return 0; };
    mainloop_register_fd(a, MAINLOOP_IN, handler);
    mainloop_register_fd(b, MAINLOOP_IN, handler);
    mainloop_unregister_fd(std::max(a, b));
    EXPECT_EQ(mainloop_highest_fd(), std::min(a, b));
    mainloop_unregister_fd(std::min(a, b));
    mainloop_register_fd(4096, MAINLOOP_IN, handler);
    mainloop_register_fd(-1, MAINLOOP_IN, handler);
    EXPECT_EQ(mainloop_highest_fd(), -1);
    mainloop_unregister_fd(5);
    mainloop_set_fd_flags(5, MAINLOOP_IN);
}

TEST_F(MainloopTest, TicksRunInOrderAtTheGivenRate) {
    ticks_init();
    ASSERT_GT(ticks_per_second, 0);
    std::vector<int> order;
    mainloop_add_tick([&] { return order.push_back(1), 0; });
    mainloop_add_tick([&] { return order.push_back(2), order.size() >= 6 ? 9 : 0; });
    std::int64_t start = ticks_now();
    EXPECT_EQ(mainloop_run(50), 9);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2, 1, 2}));
    // Three passes at 50 per second cannot take less than about 2 periods.
    EXPECT_GE(ticks_now() - start, 2 * ticks_per_second / 50 - 1);
}

}  // namespace
