#include "wsp/wsp_primitives.h"

#include <gtest/gtest.h>

#include "wsp_test_util.h"

namespace {

TEST(WspEncode, ShortIntegerSetsTheTopBit) {
    EXPECT_EQ(encode_short_integer(0), hex("80"));
    EXPECT_EQ(encode_short_integer(127), hex("FF"));
}

TEST(WspEncodeDeathTest, ShortIntegerAboveRangeStopsTheProcess) {
    EXPECT_DEATH(encode_short_integer(128), "n >= 0 && n < 128");
}

TEST(WspEncode, LongIntegerKeepsAtLeastOneOctet) {
    EXPECT_EQ(encode_long_integer(0), hex("01 00"));
    EXPECT_EQ(encode_long_integer(255), hex("01 FF"));
    EXPECT_EQ(encode_long_integer(256), hex("02 01 00"));
    EXPECT_EQ(encode_long_integer(65536), hex("03 01 00 00"));
    EXPECT_EQ(encode_long_integer(0xFFFFFFFFu), hex("04 FF FF FF FF"));
    EXPECT_EQ(encode_long_integer(0x01000000u), hex("04 01 00 00 00"));
}

TEST(WspEncode, UintvarGroupsOfSevenBits) {
    EXPECT_EQ(encode_uintvar(0), hex("00"));
    EXPECT_EQ(encode_uintvar(127), hex("7F"));
    EXPECT_EQ(encode_uintvar(128), hex("81 00"));
    EXPECT_EQ(encode_uintvar(16384), hex("81 80 00"));
    EXPECT_EQ(encode_uintvar(0xFFFFFFFFu), hex("8F FF FF FF 7F"));
}

TEST(WspEncode, ValueLengthQuotesFrom31On) {
    EXPECT_EQ(encode_value_length(0), hex("00"));
    EXPECT_EQ(encode_value_length(30), hex("1E"));
    EXPECT_EQ(encode_value_length(31), hex("1F 1F"));
    EXPECT_EQ(encode_value_length(200), hex("1F 81 48"));
}

TEST(WspEncode, TextStringQuotingRules) {
    EXPECT_FALSE(encode_text_string("").has_value());
    EXPECT_EQ(encode_text_string("abc"), "abc");
    // A quoted text keeps its opening quote only: the terminator replaces the closing one.
    EXPECT_EQ(encode_text_string("\"abc\""), "\"abc");
    EXPECT_EQ(encode_text_string("\""), "\"");
    EXPECT_EQ(encode_text_string("\"abc"), "\"abc");
    EXPECT_EQ(encode_text_string("\xC3\xA4x"), "\x7F\xC3\xA4x");
    EXPECT_EQ(encode_text_string("\x7F"), "\x7F\x7F");
}

TEST(WspEncode, AddressGetsPlmnTypeUnlessEmail) {
    EXPECT_EQ(encode_address("+4917"), "+4917/TYPE=PLMN");
    EXPECT_EQ(encode_address("a@b.example"), "a@b.example");
    EXPECT_FALSE(encode_address(std::nullopt).has_value());
}

TEST(WspCompose, ValueWithNothingPresent) {
    EXPECT_TRUE(
        compose_value(wsp_value_kind::plain, -1, -1, std::nullopt, -1, std::nullopt).empty());
    EXPECT_EQ(compose_value(wsp_value_kind::mms_header_length_token, -1, -1, std::nullopt, -1,
                            std::nullopt),
              hex("00"));
}

TEST(WspCompose, ItemsInFixedOrder) {
    EXPECT_EQ(compose_value(wsp_value_kind::plain, 1, 2, "t", 3, "u"), hex("81 82 74 00 83 75 00"));
    EXPECT_EQ(compose_value(wsp_value_kind::mms_header_long_integer_token, 300, -1, std::nullopt, 1,
                            std::nullopt),
              hex("02 01 2C 01 01"));
    EXPECT_EQ(compose_value(wsp_value_kind::mms_header_encoded_string_value_token, -1, -1, "x", -1,
                            std::nullopt),
              hex("03 EA 78 00"));
}

TEST(WspCompose, EmptyTextIsTheLoneTerminator) {
    EXPECT_EQ(compose_value(wsp_value_kind::plain, -1, -1, "", -1, std::nullopt), hex("00"));
    EXPECT_EQ(compose_value(wsp_value_kind::mms_header_encoded_string_value_token, -1, -1, "", -1,
                            std::nullopt),
              hex("02 EA 00"));
    EXPECT_EQ(compose_header(wsp_value_kind::plain, -1, -1, "", -1, std::nullopt, 24),
              hex("98 00"));
}

TEST(WspCompose, TokenItems) {
    EXPECT_EQ(compose_value(wsp_value_kind::mms_header_length_token, -1, -1, std::nullopt, -1,
                            std::nullopt, 0, 1701843508),
              hex("06 80 04 65 70 12 34"));
    EXPECT_EQ(compose_value(wsp_value_kind::mms_header_length_token, -1, -1, std::nullopt, -1,
                            std::nullopt, 1, 3600),
              hex("04 81 02 0E 10"));
}

TEST(WspCompose, HeaderExamples) {
    EXPECT_EQ(compose_header(wsp_value_kind::plain, 0, -1, std::nullopt, -1, std::nullopt, 12),
              hex("8C 80"));
    EXPECT_EQ(compose_header(wsp_value_kind::plain, 18, -1, std::nullopt, -1, std::nullopt, 13),
              hex("8D 92"));
    EXPECT_EQ(compose_header(wsp_value_kind::plain, -1, -1, "ABC", -1, std::nullopt, 24),
              hex("98 41 42 43 00"));
    EXPECT_EQ(compose_header(wsp_value_kind::mms_header_length_token, 1, -1, std::nullopt, -1,
                             std::nullopt, 9),
              hex("89 01 81"));
    EXPECT_EQ(compose_header(wsp_value_kind::mms_header_encoded_string_value_token, -1, -1,
                             "+4917/TYPE=PLMN", -1, std::nullopt, 23),
              cat({hex("97 11 EA"), text_bytes("+4917/TYPE=PLMN"), hex("00")}));
}

TEST(WspDecode, TextString) {
    std::uint32_t next = 99;
    EXPECT_FALSE(decode_text_string(buffer{}, 0, next).has_value());
    EXPECT_FALSE(decode_text_string(hex("61"), 1, next).has_value());
    EXPECT_EQ(next, 99u);

    EXPECT_EQ(decode_text_string(hex("61 62 00 63"), 0, next), "ab");
    EXPECT_EQ(next, 3u);
    // Without a NUL the last octet is the terminator, whatever it holds.
    EXPECT_EQ(decode_text_string(hex("61 62"), 0, next), "a");
    EXPECT_EQ(next, 2u);
    EXPECT_EQ(decode_text_string(hex("61 62"), 1, next), "");
    EXPECT_EQ(next, 2u);
}

TEST(WspDecode, Uintvar) {
    std::uint32_t offset = 0;
    EXPECT_EQ(decode_uintvar(hex("81 80 00 05"), offset), 16384u);
    EXPECT_EQ(offset, 3u);
    offset = 1;
    EXPECT_EQ(decode_uintvar(hex("7F"), offset), 0u);
    EXPECT_EQ(offset, 1u);
    // Running out of octets keeps what was gathered.
    offset = 0;
    EXPECT_EQ(decode_uintvar(hex("81 81"), offset), 129u);
    EXPECT_EQ(offset, 2u);
    // Higher bits than 32 are lost, not undefined.
    offset = 0;
    EXPECT_EQ(decode_uintvar(hex("FF FF FF FF FF FF 7F"), offset), 0xFFFFFFFFu);
    EXPECT_EQ(offset, 7u);
}

struct decoded {
    buffer bytes;
    opt_text type;
    std::uint32_t offset;
};

decoded decode(const buffer& data, std::uint32_t offset = 0) {
    decoded d;
    d.bytes = decode_value(data, offset, d.type);
    d.offset = offset;
    return d;
}

TEST(WspDecode, ValueClasses) {
    decoded d = decode(hex("8A"));
    EXPECT_EQ(d.bytes, hex("0A"));
    EXPECT_EQ(d.type, "immediate");
    EXPECT_EQ(d.offset, 1u);

    d = decode(hex("22 61 00 99"));
    EXPECT_EQ(d.bytes, hex("22 61 22"));
    EXPECT_EQ(d.type, "string");
    EXPECT_EQ(d.offset, 3u);

    d = decode(hex("7F E4 00"));
    EXPECT_EQ(d.bytes, hex("E4"));
    EXPECT_EQ(d.type, "string");
    EXPECT_EQ(d.offset, 3u);

    d = decode(hex("03 01 02 03 04"));
    EXPECT_EQ(d.bytes, hex("01 02 03"));
    EXPECT_EQ(d.type, "binary");
    EXPECT_EQ(d.offset, 4u);

    d = decode(hex("00"));
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_EQ(d.type, "no-value");
    EXPECT_EQ(d.offset, 1u);

    d = decode(hex("61 62 00 63 00"));
    EXPECT_EQ(d.bytes, text_bytes("ab"));
    EXPECT_EQ(d.type, "string");
    EXPECT_EQ(d.offset, 3u);

    buffer quoted = cat({hex("1F 81 00"), buffer(128, 0x41)});
    d = decode(quoted);
    EXPECT_EQ(d.bytes, buffer(128, 0x41));
    EXPECT_EQ(d.type, "binary");
    EXPECT_EQ(d.offset, 131u);
}

TEST(WspDecode, NothingAtOrPastTheEnd) {
    decoded d = decode(buffer{});
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_FALSE(d.type.has_value());
    d = decode(hex("80"), 1);
    EXPECT_FALSE(d.type.has_value());
    EXPECT_EQ(d.offset, 1u);
}

TEST(WspDecode, LengthsPastTheEndAreCut) {
    decoded d = decode(hex("05 01 02"));
    EXPECT_EQ(d.bytes, hex("01 02"));
    EXPECT_EQ(d.type, "binary");
    EXPECT_EQ(d.offset, 3u);

    d = decode(hex("1F 8F FF FF FF 7F 01"));
    EXPECT_EQ(d.bytes, hex("01"));
    EXPECT_EQ(d.offset, 7u);

    d = decode(hex("1F"));
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_EQ(d.type, "binary");
    EXPECT_EQ(d.offset, 1u);

    d = decode(hex("7F"));
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_EQ(d.type, "string");
    EXPECT_EQ(d.offset, 1u);

    d = decode(hex("22"));
    EXPECT_EQ(d.bytes, hex("22 22"));
    EXPECT_EQ(d.offset, 1u);
}

TEST(WspRoundTrip, EncodersReadBack) {
    for (std::uint32_t v :
         {0u, 1u, 127u, 128u, 16383u, 16384u, 2097151u, 0x0FFFFFFFu, 0xFFFFFFFFu}) {
        std::uint32_t offset = 0;
        EXPECT_EQ(decode_uintvar(encode_uintvar(v), offset), v);
        offset = 0;
        opt_text type;
        buffer value = decode_value(encode_long_integer(v), offset, type);
        std::uint64_t back = 0;
        for (auto o : value) {
            back = back * 256 + o;
        }
        EXPECT_EQ(back, v);
        EXPECT_EQ(type, "binary");
    }
    for (std::uint32_t len : {0u, 1u, 30u, 31u, 200u, 70000u}) {
        buffer data = cat({encode_value_length(len), buffer(len, 0x33)});
        decoded d = decode(data);
        EXPECT_EQ(d.bytes.size(), len);
        EXPECT_EQ(d.offset, data.size());
    }
}

}  // namespace
