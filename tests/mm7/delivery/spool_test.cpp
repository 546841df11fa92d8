// The spool's rules that need no daemon around them.
#include <gtest/gtest.h>

#include "mm7/delivery/mm7_spool.h"

namespace {

// A message the VASP did not take waits the retry delay, doubled with every further failure.
TEST(SpoolRetryDelay, DoublesFromTheBaseUpToTheBound) {
    const std::int64_t rows[][3] = {
        {1, 1, 1},     {1, 2, 2},     {1, 3, 4},     {0, 1, 1},
        {600, 1, 600}, {200, 2, 400}, {600, 2, 600}, {1, 40, SPOOL_MAX_RETRY_SECONDS}};
    for (auto [base, failures, delay] : rows) {
        EXPECT_EQ(mm7_spool_retry_delay(static_cast<std::uint32_t>(base),
                                        static_cast<std::uint32_t>(failures)),
                  delay)
            << base << " s, " << failures << " failures";
    }
}

}  // namespace
