// Strings and base64.
#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/string_utils.h"

namespace {

using std::nullopt;

TEST(StringUtils, HexdumpIsBoundedByTheOutputSize) {
    const std::uint8_t three[] = {0x41, 0x0A, 0xC8}, small[] = {1, 2, 3};
    EXPECT_EQ(hexdump(three, 1000, 16), "41 0A C8    A..");
    EXPECT_EQ(hexdump(small, 3, 16), "");
    std::string dump = hexdump(std::vector<std::uint8_t>(4096, 0xAB), 1000, 16);
    EXPECT_EQ(dump.size(), 999u);
    EXPECT_EQ(dump[67], '\n');  // a full line is 68 characters
}

// Peer text in a log line: controls, backslashes and bytes that are no UTF-8 character become
// \xNN; characters that could end or reorder a line (C1 controls, line and paragraph
// separators, bidirectional overrides) too; other UTF-8 characters are kept.
TEST(StringUtils, LogEscapeKeepsOneLineAndReadableUtf8) {
    const std::pair<std::string, std::string> rows[] = {
        {"id\n[12-07_01:02:03:004] x\r\x1F\x7F~", "id\\x0A[12-07_01:02:03:004] x\\x0D\\x1F\\x7F~"},
        {"a\\x0Ab", "a\\x5Cx0Ab"},
        {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
         "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"\xC2\x85\xC2\x9F\xC2\xA0", "\\xC2\\x85\\xC2\\x9F\xC2\xA0"},  // NEL, APC; NBSP kept
        {"\xE2\x80\xA8\xE2\x80\xAE\xE2\x81\xA9\xE2\x80\xAF",
         "\\xE2\\x80\\xA8\\xE2\\x80\\xAE\\xE2\\x81\\xA9\xE2\x80\xAF"},
        {"\xC0\xAF\xE0\x83\xA9\xED\xA0\x80\xF4\x90\x80\x80",  // overlong, surrogate, > U+10FFFF
         "\\xC0\\xAF\\xE0\\x83\\xA9\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80"},
        {"\xE2\x82 \xFF\xF0\x9F\x98",
         "\\xE2\\x82 \\xFF\\xF0\\x9F\\x98"},  // cut and stray bytes, cut at the end
    };
    for (const auto& [text, want] : rows) {
        EXPECT_EQ(log_escape(text), want) << want;
    }
}

TEST(Base64, LineBreaksOnlyBetweenFullLinesAndLenientDecoding) {
    auto encode = [](std::size_t n) { return *base64_encode(buffer(n, 0xFF)); };
    EXPECT_EQ(*base64_encode(as_bytes("Ma")), "TWE=");
    EXPECT_EQ(encode(60), std::string(80, '/'));
    EXPECT_EQ(encode(61), std::string(80, '/') + "\r\n/w==");
    const std::pair<const char*, std::optional<buffer>> cases[] = {
        {"TW\r\nFu", buffer{'M', 'a', 'n'}},
        {"TQ", nullopt},
        {"T===", nullopt},
        {"TQ==TWFu", buffer{'M'}},
        {"!!**", nullopt},
        {"T=Fu", buffer{0x4C, 0x01}},  // "=" inside a group counts as 0
        {"TQ==TWF", nullopt}};         // symbols after it still count
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(base64_decode(text), want) << text;
    }
    buffer reused;  // takes the size of each result
    ASSERT_TRUE(base64_decode_into("TWFuTWFuTWFu", reused));
    ASSERT_TRUE(base64_decode_into("TQ==", reused));
    EXPECT_EQ(reused, (buffer{'M'}));
    for (std::size_t n = 1; n < 300; ++n) {
        buffer data(n);
        for (std::size_t i = 0; i < n; ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7 + n);
        }
        EXPECT_EQ(base64_decode(*base64_encode(data)), data) << n;
    }
}

}  // namespace
