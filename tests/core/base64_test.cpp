#include <gtest/gtest.h>

#include "core/base64.h"

namespace {

std::string encode(std::size_t n, std::uint8_t fill = 0xFF) {
    buffer data(n, fill);
    return *base64_encode(data);
}

TEST(Base64, LineBreaksOnlyBetweenFullLines) {
    EXPECT_EQ(encode(60).size(), 80u);
    EXPECT_EQ(encode(60).find('\r'), std::string::npos);
    std::string sixty_one = encode(61);
    ASSERT_EQ(sixty_one.size(), 86u);
    EXPECT_EQ(sixty_one.substr(80, 2), "\r\n");
    EXPECT_EQ(sixty_one.substr(84), "==");
    std::string two_lines = encode(120);
    EXPECT_EQ(two_lines.size(), 162u);
    EXPECT_EQ(two_lines.substr(80, 2), "\r\n");
    EXPECT_NE(two_lines.back(), '\n');
    EXPECT_EQ(encode(0), "");
}

TEST(Base64, PaddingAndKnownValues) {
    EXPECT_EQ(*base64_encode(as_bytes("M")), "TQ==");
    EXPECT_EQ(*base64_encode(as_bytes("Ma")), "TWE=");
    EXPECT_EQ(*base64_encode(as_bytes("Man")), "TWFu");
}

TEST(Base64, DecodeSkipsStrayCharactersAndStopsAfterPadding) {
    EXPECT_EQ(base64_decode("TW\r\nFu"), (buffer{'M', 'a', 'n'}));
    EXPECT_EQ(base64_decode("TWFu\r\nTWFu"), (buffer{'M', 'a', 'n', 'M', 'a', 'n'}));
    EXPECT_EQ(base64_decode("TQ"), std::nullopt);
    EXPECT_EQ(base64_decode("TQ=="), (buffer{'M'}));
    EXPECT_EQ(base64_decode("T==="), std::nullopt);
    EXPECT_EQ(base64_decode("TQ==TWFu"), (buffer{'M'}));
    EXPECT_EQ(base64_decode(""), std::nullopt);
    EXPECT_EQ(base64_decode("!!**"), std::nullopt);
    EXPECT_EQ(base64_decode("T=Fu"), (buffer{0x4C, 0x01}));  // "=" inside a group counts as 0
    EXPECT_EQ(base64_decode("TQ==TWF"), std::nullopt);       // symbols after it still count
    EXPECT_EQ(base64_decode("T W F u"), (buffer{'M', 'a', 'n'}));
    // A reused buffer takes the size of each result.
    buffer reused;
    ASSERT_TRUE(base64_decode_into("TWFuTWFuTWFu", reused));
    ASSERT_TRUE(base64_decode_into("TQ==", reused));
    EXPECT_EQ(reused, (buffer{'M'}));
    EXPECT_FALSE(base64_decode_into("TQ=", reused));
}

TEST(Base64, RoundTripOfEveryLength) {
    for (std::size_t n = 0; n < 300; ++n) {
        buffer data(n);
        for (std::size_t i = 0; i < n; ++i)
            data[i] = static_cast<std::uint8_t>(i * 7 + n);
        auto text = base64_encode(data);
        ASSERT_TRUE(text);
        if (n == 0)
            continue;
        EXPECT_EQ(base64_decode(*text), data) << n;
    }
}

}  // namespace
