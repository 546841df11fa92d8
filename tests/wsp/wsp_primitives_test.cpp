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
        {encode_short_integer(127), "FF"},
        {encode_long_integer(255), "01 FF"},
        {encode_long_integer(256), "02 01 00"},
        {encode_long_integer(0xFFFFFFFFu), "04 FF FF FF FF"},
        {encode_uintvar(127), "7F"},
        {encode_uintvar(128), "81 00"},
        {encode_uintvar(0xFFFFFFFFu), "8F FF FF FF 7F"},
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
        {encode_text_string("\xC3\xA4x"), "\x7F\xC3\xA4x"},
        {encode_address("+4917"), "+4917/TYPE=PLMN"},
        {encode_address("a@b.example"), "a@b.example"},
    };
    for (const auto& [got, want] : cases) {
        EXPECT_EQ(got, want) << want.value_or("(absent)");
    }
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
        {hex("22 61 00 99"), 0, hex("22 61 22"), "string", 3},
        {hex("7F E4 00"), 0, hex("E4"), "string", 3},
        {hex("03 01 02 03 04"), 0, hex("01 02 03"), "binary", 4},
        {cat({hex("1F 81 00"), buffer(128, 0x41)}), 0, buffer(128, 0x41), "binary", 131},
        {hex("80"), 1, {}, NO, 1},
        // Lengths past the end are cut at the end.
        {hex("05 01 02"), 0, hex("01 02"), "binary", 3},
        {hex("1F 8F FF FF FF 7F 01"), 0, hex("01"), "binary", 7},
        {hex("1F"), 0, {}, "binary", 1},
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

TEST(WspContentType, Composed) {
    log_capture log;
    expect_rows({
        {compose_content_type("text/plain; charset=utf-8"), "03 83 81 EA"},
        {compose_content_type("application/smil"), "11 'application/smil' 00"},
        // Nothing trims the media: the space before ";" stays in it.
        {compose_content_type("text/plain ; charset=utf-8"), "0E 'text/plain ' 00 81 EA"},
        {compose_content_type("image/gif; name=a.gif; charset=utf-8;start=<x>"),
         "0F 9D 85 'a.gif' 00 81 EA 8A '<x>' 00"},
        // A piece without "=" between two parameters is dropped, the ones around it are kept.
        {compose_content_type("text/plain;junk;name=x"), "04 83 85 78 00"},
        // Charset not in the table: the Short-integer 1 and the name as text.
        {compose_content_type("text/plain; charset=ibm866"), "09 83 81 'ibm866' 00"},
        {compose_content_type("text/plain; charset=\"utf-8\""), "03 83 81 EA"},
        {compose_content_type("text/plain; charset=\"\""), "01 83"},
        // Values read whole: quoted strings with blanks, ";" and escapes; RFC 2231 extended
        // values decoded (Latin-1 to UTF-8), their sections joined, preferred to a plain value.
        {compose_content_type("image/gif; name=\"a b\""), "06 9D 85 'a b' 00"},
        {compose_content_type("image/gif; name = \"x \\\"y\\\"; z\" ; type=q"),
         "12 9D 85 'x \"y\"; z' 00 'type' 00 'q' 00"},
        {compose_content_type("image/png; name*=UTF-8''%C3%BCber%20photo.png"),
         "13 A0 85 7F C3 BC 'ber photo.png' 00"},
        {compose_content_type("image/png; name*=iso-8859-1'de'%FC.png"),
         "0A A0 85 7F C3 BC '.png' 00"},
        {compose_content_disposition(
             "attachment; filename=\"old.png\"; filename*1=\"b c.png\"; filename*0*=utf-8''a%20"),
         "0C 81 86 'a b c.png' 00"},
        // MIBenums above 127 are Long-integers.
        {compose_content_type("text/plain; charset=Big5"), "05 83 81 02 07 EA"},
        {compose_content_disposition("attachment; filename=a.jpg"), "08 81 86 'a.jpg' 00"},
        {compose_content_disposition("Inline"), "07 'Inline' 00"},
    });
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
    part.content_id.reset();  // named by its location alone
    EXPECT_EQ(composed(true), hex("15 82 2C 01 9E 8E 'img.jpg' 00 AE 08 81 86 'a.jpg' 00"));
    part.content_location.reset();
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
        std::string params = "";  // the further parameters, "name=value;..."
    };
    const ct_case cases[] = {
        {"B3 8A '<smil>' 00 89 'application/smil' 00", "binary",
         "application/vnd.wap.multipart.related", "<smil>", "application/smil"},
        // Encoding-version 1.4 Start (a Quoted-string keeps its quotes), a Type given as a
        // well-known number.
        {"B3 99 22 '<s>' 00 89 83", "binary", "application/vnd.wap.multipart.related", "\"<s>\"",
         "text/plain"},
        // Charsets by Short-integer, Long-integer and name; Name in both versions, quoted or not;
        // untyped parameters by their token name; the first of a repeated name is kept.
        {"83 81 EA 85 'a.txt' 00", "binary", "text/plain", NO, NO, "charset=utf-8;name=a.txt"},
        {"83 81 02 07 EA 97 22 'b c.jpg' 00", "binary", "text/plain", NO, NO,
         "charset=big5;name=b c.jpg"},
        {"83 81 'UTF-8' 00 'format' 00 'flowed' 00 'n' 00 8C", "binary", "text/plain", NO, NO,
         "charset=UTF-8;format=flowed;n=12"},
        {"'application/smil' 00 'x' 00 'y' 00 81 EA 81 84", "binary", "application/smil", NO, NO,
         "x=y;charset=utf-8"},
        // Nothing MIME could not carry: an unknown MIBenum, Any-charset, a name that is no token,
        // a value-less parameter, the boundary of the multipart around it.
        {"83 81 02 99 99 81 80 'a b' 00 'c' 00 'd' 00 00 'Boundary' 00 'x' 00", "binary",
         "text/plain", NO, NO},
        // Bad values leave the record alone.
        {"CC", "binary", NO, NO, NO},
        {"03", "immediate", NO, NO, NO},
        {"", "binary", NO, NO, NO},
    };
    for (const ct_case& c : cases) {
        mms_content_type ct;
        parse_content_type_f(hex(c.value), c.type, ct);
        EXPECT_EQ(ct.content_type, c.media) << c.value;
        EXPECT_EQ(ct.start, c.start) << c.value;
        EXPECT_EQ(ct.type, c.type_param) << c.value;
        std::string params;
        for (const mms_param& p : ct.params) {
            params += (params.empty() ? "" : ";") + p.name + "=" + p.value;
        }
        EXPECT_EQ(params, c.params) << c.value;
    }
}

// Charsets by their IANA MIBenum, both ways: the number a name is written as, the name a number
// is read as.
TEST(WspCharsets, MibEnums) {
    log_capture log;
    const std::pair<std::uint32_t, const char*> charsets[] = {
        {3, "us-ascii"},        {4, "iso-8859-1"},         {5, "iso-8859-2"},
        {12, "iso-8859-9"},     {17, "shift_JIS"},         {18, "euc-jp"},
        {38, "euc-kr"},         {39, "iso-2022-jp"},       {106, "utf-8"},
        {109, "iso-8859-13"},   {111, "iso-8859-15"},      {113, "gbk"},
        {114, "gb18030"},       {1000, "iso-10646-ucs-2"}, {1013, "utf-16be"},
        {1015, "utf-16"},       {2025, "gb2312"},          {2026, "big5"},
        {2084, "koi8-r"},       {2250, "windows-1250"},    {2252, "windows-1252"},
        {2258, "windows-1258"},
    };
    for (const auto& [mib, name] : charsets) {
        SCOPED_TRACE(name);
        const buffer number = mib < 128 ? encode_short_integer(mib) : encode_long_integer(mib);
        EXPECT_EQ(compose_content_type(std::string("text/plain; charset=") + name),
                  cat({encode_value_length(static_cast<std::uint32_t>(2 + number.size())),
                       hex("83 81"), number}));
        mms_content_type ct;
        parse_content_type_f(cat({hex("83 81"), number}), "binary", ct);
        ASSERT_EQ(ct.params.size(), 1u);
        EXPECT_EQ(ct.params[0].value, name);
    }
    // Another name of the same charset is written as its number.
    EXPECT_EQ(compose_content_type("text/plain; charset=ucs-2"), hex("05 83 81 02 03 E8"));
}

}  // namespace
