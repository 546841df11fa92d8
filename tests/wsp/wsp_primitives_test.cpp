// Codec primitives and content types: each row is input, expected octets (hex), name.
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "wsp/wsp_content.h"
#include "wsp_test_util.h"

namespace {

using K = wsp_value_kind;
constexpr auto NO = std::nullopt;

struct bytes_case {
    buffer got;
    const char* want;
};
void expect_rows(std::initializer_list<bytes_case> rows) {
    for (const bytes_case& r : rows) {
        EXPECT_EQ(r.got, hex(r.want)) << "expected " << r.want;
    }
}

TEST(WspEncode, IntegersAndLengths) {
    expect_rows({
        {encode_short_integer(0), "80"},
        {encode_short_integer(127), "FF"},
        {encode_long_integer(0), "01 00"},
        {encode_long_integer(255), "01 FF"},
        {encode_long_integer(256), "02 01 00"},
        {encode_long_integer(65536), "03 01 00 00"},
        {encode_long_integer(0x01000000u), "04 01 00 00 00"},
        {encode_long_integer(0xFFFFFFFFu), "04 FF FF FF FF"},
        {encode_uintvar(0), "00"},
        {encode_uintvar(127), "7F"},
        {encode_uintvar(128), "81 00"},
        {encode_uintvar(16384), "81 80 00"},
        {encode_uintvar(0xFFFFFFFFu), "8F FF FF FF 7F"},
        {encode_value_length(0), "00"},
        {encode_value_length(30), "1E"},
        {encode_value_length(31), "1F 1F"},
        {encode_value_length(200), "1F 81 48"},
    });
    EXPECT_DEATH(encode_short_integer(128), "n >= 0 && n < 128");
}

TEST(WspEncode, TextsAndAddresses) {
    const std::pair<opt_text, opt_text> cases[] = {
        {encode_text_string(""), NO},
        {encode_text_string("abc"), "abc"},
        // A quoted text keeps its opening quote only: the terminator replaces the closing one.
        {encode_text_string("\"abc\""), "\"abc"},
        {encode_text_string("\""), "\""},
        {encode_text_string("\"abc"), "\"abc"},
        {encode_text_string("\xC3\xA4x"), "\x7F\xC3\xA4x"},
        {encode_text_string("\x7F"), "\x7F\x7F"},
        {encode_address("+4917"), "+4917/TYPE=PLMN"},
        {encode_address("a@b.example"), "a@b.example"},
        {encode_address(NO), NO},
    };
    for (const auto& [got, want] : cases) {
        EXPECT_EQ(got, want) << want.value_or("(absent)");
    }
}

TEST(WspCompose, ValuesAndHeaders) {
    expect_rows({
        {compose_value(K::plain, -1, -1, NO, -1, NO), ""},
        {compose_value(K::mms_header_length_token, -1, -1, NO, -1, NO), "00"},
        {compose_value(K::plain, 1, 2, "t", 3, "u"), "81 82 74 00 83 75 00"},
        {compose_value(K::mms_header_long_integer_token, 300, -1, NO, 1, NO), "02 01 2C 01 01"},
        {compose_value(K::mms_header_encoded_string_value_token, -1, -1, "x", -1, NO),
         "03 EA 78 00"},
        {compose_value(K::plain, -1, -1, "", -1, NO), "00"},
        {compose_value(K::mms_header_encoded_string_value_token, -1, -1, "", -1, NO), "02 EA 00"},
        {compose_value(K::mms_header_length_token, -1, -1, NO, -1, NO, 0, 1701843508),
         "06 80 04 65 70 12 34"},
        {compose_value(K::mms_header_length_token, -1, -1, NO, -1, NO, 1, 3600), "04 81 02 0E 10"},
        {compose_header(K::plain, -1, -1, "", -1, NO, 24), "98 00"},
        {compose_header(K::plain, 0, -1, NO, -1, NO, 12), "8C 80"},
        {compose_header(K::plain, 18, -1, NO, -1, NO, 13), "8D 92"},
        {compose_header(K::plain, -1, -1, "ABC", -1, NO, 24), "98 41 42 43 00"},
        {compose_header(K::mms_header_length_token, 1, -1, NO, -1, NO, 9), "89 01 81"},
        {compose_header(K::mms_header_encoded_string_value_token, -1, -1, "+49/TYPE=PLMN", -1, NO,
                        23),
         "97 0F EA '+49/TYPE=PLMN' 00"},
    });
}

TEST(WspDecode, TextStringAndUintvar) {
    std::uint32_t next = 99;
    EXPECT_FALSE(decode_text_string(buffer{}, 0, next).has_value());
    EXPECT_FALSE(decode_text_string(hex("61"), 1, next).has_value());
    EXPECT_EQ(next, 99u);
    // Without a NUL the last octet is the terminator, whatever it holds.
    const std::tuple<const char*, std::uint32_t, opt_text, std::uint32_t> texts[] = {
        {"61 62 00 63", 0, "ab", 3}, {"61 62", 0, "a", 2}, {"61 62", 1, "", 2}};
    for (const auto& [data, at, want, want_next] : texts) {
        EXPECT_EQ(decode_text_string(hex(data), at, next), want) << data;
        EXPECT_EQ(next, want_next) << data;
    }
    // Running out of octets keeps what was gathered; bits above 32 are lost, not undefined.
    const std::tuple<const char*, std::uint32_t, std::uint32_t, std::uint32_t> uintvars[] = {
        {"81 80 00 05", 0, 16384, 3},
        {"7F", 1, 0, 1},
        {"81 81", 0, 129, 2},
        {"FF FF FF FF FF FF 7F", 0, 0xFFFFFFFFu, 7},
    };
    for (auto [data, offset, want, want_offset] : uintvars) {
        EXPECT_EQ(decode_uintvar(hex(data), offset), want) << data;
        EXPECT_EQ(offset, want_offset) << data;
    }
}

TEST(WspDecode, ValueClassesAndCutLengths) {
    struct value_case {
        buffer data;
        std::uint32_t at;
        buffer bytes;
        opt_text type;
        std::uint32_t next;
    };
    const value_case cases[] = {
        {hex("8A"), 0, hex("0A"), "immediate", 1},
        {hex("22 61 00 99"), 0, hex("22 61 22"), "string", 3},
        {hex("7F E4 00"), 0, hex("E4"), "string", 3},
        {hex("03 01 02 03 04"), 0, hex("01 02 03"), "binary", 4},
        {hex("00"), 0, {}, "no-value", 1},
        {hex("61 62 00 63 00"), 0, text_bytes("ab"), "string", 3},
        {cat({hex("1F 81 00"), buffer(128, 0x41)}), 0, buffer(128, 0x41), "binary", 131},
        {{}, 0, {}, NO, 0},
        {hex("80"), 1, {}, NO, 1},
        // Lengths past the end are cut at the end.
        {hex("05 01 02"), 0, hex("01 02"), "binary", 3},
        {hex("1F 8F FF FF FF 7F 01"), 0, hex("01"), "binary", 7},
        {hex("1F"), 0, {}, "binary", 1},
        {hex("7F"), 0, {}, "string", 1},
        {hex("22"), 0, hex("22 22"), "string", 1},
    };
    for (const value_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        std::uint32_t offset = c.at;
        opt_text type;
        EXPECT_EQ(decode_value(c.data, offset, type), c.bytes);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(offset, c.next);
    }
}

TEST(WspRoundTrip, EncodersReadBack) {
    for (std::uint32_t v :
         {0u, 1u, 127u, 128u, 16383u, 16384u, 2097151u, 0x0FFFFFFFu, 0xFFFFFFFFu}) {
        std::uint32_t offset = 0;
        EXPECT_EQ(decode_uintvar(encode_uintvar(v), offset), v);
        offset = 0;
        opt_text type;
        std::uint64_t back = 0;
        for (auto o : decode_value(encode_long_integer(v), offset, type)) {
            back = back * 256 + o;
        }
        EXPECT_EQ(back, v);
        EXPECT_EQ(type, "binary");
    }
    for (std::uint32_t len : {0u, 1u, 30u, 31u, 200u, 70000u}) {
        buffer data = cat({encode_value_length(len), buffer(len, 0x33)});
        std::uint32_t offset = 0;
        opt_text type;
        EXPECT_EQ(decode_value(data, offset, type).size(), len);
        EXPECT_EQ(offset, data.size());
    }
}

TEST(WspContentType, Composed) {
    log_capture log;
    expect_rows({
        {compose_content_type("text/plain; charset=utf-8"), "03 83 81 EA"},
        {compose_content_type("image/jpeg"), "01 9E"},
        {compose_content_type("application/smil"), "11 'application/smil' 00"},
        // Nothing trims the media: the space before ";" stays in it.
        {compose_content_type("text/plain ; charset=utf-8"), "0E 'text/plain ' 00 81 EA"},
        {compose_content_type("image/gif; name=a.gif; charset=utf-8;start=<x>"),
         "0F 9D 85 'a.gif' 00 81 EA 8A '<x>' 00"},
        {compose_content_type("text/plain;charset=utf-8;name=x"), "06 83 81 EA 85 78 00"},
        // A piece without "=" between two parameters is dropped, the ones around it are kept.
        {compose_content_type("text/plain;junk;name=x"), "04 83 85 78 00"},
        // Charset not in the table: the Short-integer 1 and the name as text.
        {compose_content_type("text/plain; charset=koi8-r"), "09 83 81 'koi8-r' 00"},
        {compose_content_type("text/plain; charset=\"utf-8\""), "03 83 81 EA"},
        {compose_content_type("text/plain; charset=UTF-8"), "03 83 81 EA"},
        {compose_content_type("text/plain; charset=\"\""), "01 83"},
        {compose_content_type("image/gif; name=\"a b\""), "05 9D 85 22 'a' 00"},
        {compose_content_type("image/gif; name=\"ab\""), "06 9D 85 22 'ab' 00"},
        {compose_content_type("image/gif; type=x"), "08 9D 'type' 00 78 00"},
        {compose_content_type("image/gif; name=\"\""), "03 9D 85 00"},
        {compose_content_type(";charset=utf-8"), "03 00 81 EA"},
        {compose_content_type(""), "01 00"},
        {compose_content_type("application/vnd.oma.drm.rights+wbxml"), "01 CB"},
        {compose_content_type("multipart/byterantes"), "01 8E"},
        {compose_content_disposition("attachment; filename=a.jpg"), "08 81 86 'a.jpg' 00"},
        {compose_content_disposition("inline"), "01 82"},
        {compose_content_disposition("Inline"), "07 'Inline' 00"},
    });
    EXPECT_TRUE(log.contains("compose_content_type: charset=utf-8"));
    EXPECT_TRUE(log.contains("compose_content_type: unknown parameter type x"));
    EXPECT_TRUE(log.contains("compose_content_disposition: filename=a.jpg"));
}

TEST(WspSplitHeaderLine, TrimsLowerCasesAndNeedsBoth) {
    const std::tuple<opt_text, opt_text, bool, opt_text, opt_text> cases[] = {
        {"  Content-Type :  text/plain  ", NO, true, "content-type", "text/plain"},
        {"A: b: c", NO, true, "a", "b: c"},
        {"Name=X", "=", true, "name", "X"},
        {"X:", NO, false, NO, NO},
        {" : v", NO, false, NO, NO},
        {"no separator", NO, false, NO, NO},
        {NO, NO, false, NO, NO},
    };
    for (const auto& [line, separator, ok, want_name, want_value] : cases) {
        opt_text name = "stale", value = "stale";
        EXPECT_EQ(split_header_line(line, separator, name, value), ok) << line.value_or("-");
        EXPECT_EQ(name, want_name) << line.value_or("-");
        EXPECT_EQ(value, want_value) << line.value_or("-");
    }
}

TEST(WspPartHeaders, EntryHeaders) {
    mms_part part;
    part.content_type = "application/smil";
    part.content_id = "\"<smil>\"";
    part.data_length = 5;
    auto composed = [&](bool ok) {
        return capture([&](FILE* f) { EXPECT_EQ(compose_part_headers(f, part), ok); });
    };
    EXPECT_EQ(composed(true), hex("1B 05 11 'application/smil' 00 C0 22 '<smil>' 00"));
    part.content_type = "image/jpeg";
    part.content_id = "\"<i>\"";
    part.content_location = "img.jpg";
    part.content_disposition = "attachment; filename=a.jpg";
    part.data_length = 300;
    EXPECT_EQ(composed(true),
              hex("1B 82 2C 01 9E C0 22 '<i>' 00 8E 'img.jpg' 00 AE 08 81 86 'a.jpg' 00"));
    part.content_id.reset();
    EXPECT_TRUE(composed(false).empty());
    part.content_type.reset();
    part.content_id = "\"<a>\"";
    EXPECT_TRUE(composed(false).empty());
}

TEST(WspParseContentType, Forms) {
    log_capture log;
    struct ct_case {
        const char* value;
        const char* type;
        opt_text media, start, type_param;
    };
    const ct_case cases[] = {
        {"B3 8A '<smil>' 00 89 'application/smil' 00", "binary",
         "application/vnd.wap.multipart.related", "<smil>", "application/smil"},
        {"B3 8A 22 '<s>' 00", "binary", "application/vnd.wap.multipart.related", "\"<s>\"", NO},
        {"'application/smil' 00 'x' 00 'y' 00 81 EA", "binary", "application/smil", NO, NO},
        {"'text/x-foo'", "string", "text/x-foo", NO, NO},
        // Bad values leave the record alone.
        {"CC", "binary", NO, NO, NO},
        {"03", "immediate", NO, NO, NO},
        {"02 01 02", "binary", NO, NO, NO},
        {"", "binary", NO, NO, NO},
    };
    for (const ct_case& c : cases) {
        mms_content_type ct;
        parse_content_type_f(hex(c.value), c.type, ct);
        EXPECT_EQ(ct.content_type, c.media) << c.value;
        EXPECT_EQ(ct.start, c.start) << c.value;
        EXPECT_EQ(ct.type, c.type_param) << c.value;
        EXPECT_TRUE(ct.params.empty()) << c.value;
    }
    EXPECT_TRUE(log.contains("parse_content_type_f_3"));
    EXPECT_TRUE(log.contains("parse_content_type_f end"));
    EXPECT_TRUE(log.contains("parse_content_type: bad encoded content type L"));
    EXPECT_TRUE(log.contains("parse_content_type: bad content type type binary"));
}

}  // namespace
