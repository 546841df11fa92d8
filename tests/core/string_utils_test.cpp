// Strings, buffers and base64.
#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/string_utils.h"

namespace {

using std::nullopt;

TEST(StringUtils, StripAffixesConcatAndReplace) {
    const std::pair<opt_text, opt_text> strips[] = {
        {strstrip("  a b  "), "a b"},
        {strstrip("     x"), "x"},
        {strstrip("\t\n\t"), nullopt},
        {strstrip(""), nullopt},
        {strstrip(nullopt), nullopt},
        {concat({"a", nullopt, "c"}), "ac"},
        {concat({}), ""},
        {str_replace("a&b&", "&", "&amp;"), "a&amp;b&amp;"},
        {str_replace("", "&", "&amp;"), nullopt},
        {str_replace("plain", "&", "&amp;"), "plain"},
        {str_replace("aaa", "aa", "b"), "ba"},
        {str_replace("abc", "", "x"), "abc"},
        {str_replace(nullopt, "&", "x"), nullopt},
        {itoa_hex(255), "FF"},
        {itoa_hex(0), "0"},
        {itoa_dec(-12), "-12"},
        {strdup_nonempty(""), nullopt},
        {strdup_nonempty("x"), "x"},
        {memdup_z(nullptr, 3), nullopt},
        {memdup_z("a\0b", 3), std::string("a\0b", 3)},
        {regex_match("text/plain; charset=utf-8", "^[^;]*"), "text/plain"},
        {regex_match("abc", "x+"), nullopt},
        {regex_match("abc", "("), nullopt},
        {regex_match(nullopt, "a"), nullopt}};
    for (std::size_t i = 0; i < std::size(strips); ++i) {
        EXPECT_EQ(strips[i].first, strips[i].second) << "row " << i;
    }
    const std::tuple<opt_text, opt_text, bool, bool> affixes[] = {
        // text, affix, ends_with, starts_with
        {"/data/", "/", true, true}, {"", "/", false, false}, {nullopt, "/", false, false},
        {"x", nullopt, true, true},  {"abc", "", true, true}, {"ab", "abc", false, false}};
    for (const auto& [text, affix, ends, starts] : affixes) {
        EXPECT_EQ(ends_with(text, affix), ends) << text.value_or("-") << " " << affix.value_or("-");
        EXPECT_EQ(starts_with(text, affix), starts)
            << text.value_or("-") << " " << affix.value_or("-");
    }
    std::string mixed = "MiXeD";
    EXPECT_EQ(strtolower(mixed), "mixed");
}

TEST(StringUtils, HexdumpLinesAndBounds) {
    const std::uint8_t three[] = {0x41, 0x0A, 0xC8}, high[] = {0x7F, 0x80, 0x20},
                       small[] = {1, 2, 3};
    const std::vector<std::uint8_t> seventeen(17, 0x30), big(4096, 0xAB);
    std::string full;
    for (int i = 0; i < 16; ++i) {
        full += "30 ";
    }
    const std::pair<std::string, std::string> cases[] = {
        {hexdump(three, 1000, 16), "41 0A C8    A.."},
        {hexdump(seventeen, 1000, 16), full + "   " + std::string(16, '0') + "\n30    0"},
        {hexdump(high, 1000, 16), "7F 80 20    \x7F. "},
        // Bounded by the output size.
        {hexdump(small, 3, 16), ""},
        {hexdump({}, 1000, 16), ""},
        {hexdump(small, 5, 16), "01 0"}};
    for (const auto& [got, want] : cases) {
        EXPECT_EQ(got, want);
    }
    std::string dump = hexdump(big, 1000, 16);
    EXPECT_EQ(dump.size(), 999u);
    EXPECT_EQ(dump.substr(0, 68), "AB " + dump.substr(3, 65));
    EXPECT_EQ(dump[67], '\n');  // a full line is 68 characters
}

TEST(Buffers, DupAndConcatAbsentRules) {
    buffer a{1, 2}, b{3};
    EXPECT_EQ(buffer_concat(&a, &b), (buffer{1, 2, 3}));
    EXPECT_EQ(buffer_concat(nullptr, &b), b);
    EXPECT_EQ(buffer_concat(nullptr, nullptr), nullopt);
    EXPECT_EQ(buffer_dup(nullptr), nullopt);
    EXPECT_EQ(buffer_dup(&a), a);
}

std::string encode(std::size_t n) {
    return *base64_encode(buffer(n, 0xFF));
}

TEST(Base64, EncodePaddingAndLineBreaksOnlyBetweenFullLines) {
    EXPECT_EQ(*base64_encode(as_bytes("M")), "TQ==");
    EXPECT_EQ(*base64_encode(as_bytes("Ma")), "TWE=");
    EXPECT_EQ(*base64_encode(as_bytes("Man")), "TWFu");
    EXPECT_EQ(encode(0), "");
    EXPECT_EQ(encode(60), std::string(80, '/'));
    EXPECT_EQ(encode(61), std::string(80, '/') + "\r\n/w==");
    EXPECT_EQ(encode(120), std::string(80, '/') + "\r\n" + std::string(80, '/'));
}

TEST(Base64, DecodeSkipsStrayCharactersAndStopsAfterPadding) {
    const std::pair<const char*, std::optional<buffer>> cases[] = {
        {"TW\r\nFu", buffer{'M', 'a', 'n'}},
        {"TWFu\r\nTWFu", buffer{'M', 'a', 'n', 'M', 'a', 'n'}},
        {"TQ", nullopt},
        {"TQ==", buffer{'M'}},
        {"T===", nullopt},
        {"TQ==TWFu", buffer{'M'}},
        {"", nullopt},
        {"!!**", nullopt},
        {"T=Fu", buffer{0x4C, 0x01}},  // "=" inside a group counts as 0
        {"TQ==TWF", nullopt},          // symbols after it still count
        {"T W F u", buffer{'M', 'a', 'n'}}};
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(base64_decode(text), want) << text;
    }
    // A reused buffer takes the size of each result.
    buffer reused;
    ASSERT_TRUE(base64_decode_into("TWFuTWFuTWFu", reused));
    ASSERT_TRUE(base64_decode_into("TQ==", reused));
    EXPECT_EQ(reused, (buffer{'M'}));
    EXPECT_FALSE(base64_decode_into("TQ=", reused));
}

TEST(Base64, RoundTripOfEveryLength) {
    for (std::size_t n = 1; n < 300; ++n) {
        buffer data(n);
        for (std::size_t i = 0; i < n; ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7 + n);
        }
        EXPECT_EQ(base64_decode(*base64_encode(data)), data) << n;
    }
}

}  // namespace
