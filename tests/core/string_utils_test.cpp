#include <gtest/gtest.h>

#include "core/string_utils.h"

namespace {

TEST(StringUtils, StripKeepsInnerSpaceAndGivesNothingForBlanks) {
    EXPECT_EQ(strstrip("  a b  "), "a b");
    EXPECT_EQ(strstrip("     x"), "x");
    EXPECT_EQ(strstrip("\t\n\t"), std::nullopt);
    EXPECT_EQ(strstrip(""), std::nullopt);
    EXPECT_EQ(strstrip(std::nullopt), std::nullopt);
}

TEST(StringUtils, PrefixAndSuffixRules) {
    EXPECT_TRUE(ends_with("/data/", "/"));
    EXPECT_FALSE(ends_with("", "/"));
    EXPECT_FALSE(ends_with(std::nullopt, "/"));
    EXPECT_TRUE(ends_with("x", std::nullopt));
    EXPECT_TRUE(starts_with("abc", ""));
    EXPECT_TRUE(starts_with("abc", std::nullopt));
    EXPECT_FALSE(starts_with(std::nullopt, "a"));
    EXPECT_FALSE(starts_with("ab", "abc"));
}

TEST(StringUtils, ConcatSkipsAbsentPieces) {
    EXPECT_EQ(concat({"a", std::nullopt, "c"}), "ac");
    EXPECT_EQ(concat({}), "");
}

TEST(StringUtils, ReplaceAbsentEmptyAndRepeated) {
    EXPECT_EQ(str_replace("a&b&", "&", "&amp;"), "a&amp;b&amp;");
    EXPECT_EQ(str_replace("", "&", "&amp;"), std::nullopt);
    EXPECT_EQ(str_replace("plain", "&", "&amp;"), "plain");
    EXPECT_EQ(str_replace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(str_replace("abc", "", "x"), "abc");
    EXPECT_EQ(str_replace(std::nullopt, "&", "x"), std::nullopt);
}

TEST(StringUtils, NumbersAndCopies) {
    EXPECT_EQ(itoa_hex(255), "FF");
    EXPECT_EQ(itoa_hex(0), "0");
    EXPECT_EQ(itoa_dec(-12), "-12");
    EXPECT_EQ(strdup_nonempty(""), std::nullopt);
    EXPECT_EQ(strdup_nonempty("x"), "x");
    EXPECT_EQ(memdup_z(nullptr, 3), std::nullopt);
    std::string with_nul = *memdup_z("a\0b", 3);
    EXPECT_EQ(with_nul.size(), 3u);
    std::string mixed = "MiXeD";
    EXPECT_EQ(strtolower(mixed), "mixed");
}

TEST(StringUtils, RegexMatchGivesTheWholeFirstMatch) {
    EXPECT_EQ(regex_match("text/plain; charset=utf-8", "^[^;]*"), "text/plain");
    EXPECT_EQ(regex_match("abc", "x+"), std::nullopt);
    EXPECT_EQ(regex_match("abc", "("), std::nullopt);
    EXPECT_EQ(regex_match(std::nullopt, "a"), std::nullopt);
}

TEST(StringUtils, HexdumpLinesAndShortLastLine) {
    const std::uint8_t three[] = {0x41, 0x0A, 0xC8};
    EXPECT_EQ(hexdump(three, 1000, 16), "41 0A C8    A..");
    std::vector<std::uint8_t> seventeen(17, 0x30);
    std::string dump = hexdump(seventeen, 1000, 16);
    std::string full = "";
    for (int i = 0; i < 16; ++i)
        full += "30 ";
    full += "   " + std::string(16, '0') + "\n30    0";
    EXPECT_EQ(dump, full);
    const std::uint8_t high[] = {0x7F, 0x80, 0x20};
    EXPECT_EQ(hexdump(high, 1000, 16), "7F 80 20    \x7F. ");
}

TEST(StringUtils, HexdumpIsBoundedByTheOutputSize) {
    const std::uint8_t three[] = {1, 2, 3};
    EXPECT_EQ(hexdump(three, 3, 16), "");
    EXPECT_EQ(hexdump({}, 1000, 16), "");
    EXPECT_EQ(hexdump(three, 5, 16), "01 0");
    std::vector<std::uint8_t> big(4096, 0xAB);
    std::string dump = hexdump(big, 1000, 16);
    EXPECT_EQ(dump.size(), 999u);
    EXPECT_EQ(dump.substr(0, 68), std::string("AB ") + dump.substr(3, 65));
    EXPECT_EQ(dump[67], '\n');  // a full line is 68 characters
}

TEST(Buffers, DupAndConcatAbsentRules) {
    buffer a{1, 2};
    buffer b{3};
    EXPECT_EQ(buffer_concat(&a, &b), (buffer{1, 2, 3}));
    EXPECT_EQ(buffer_concat(nullptr, &b), b);
    EXPECT_EQ(buffer_concat(nullptr, nullptr), std::nullopt);
    EXPECT_EQ(buffer_dup(nullptr), std::nullopt);
    EXPECT_EQ(buffer_dup(&a), a);
}

}  // namespace
