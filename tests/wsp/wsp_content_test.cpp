#include "wsp/wsp_content.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"
#include "wsp_test_util.h"

namespace {

TEST(WspTables, Vocabulary) {
    EXPECT_EQ(content_type_table[0x0E], "multipart/byterantes");
    EXPECT_EQ(content_type_table[0x33], "application/vnd.wap.multipart.related");
    EXPECT_EQ(content_type_table[0x4B], "application/vnd.oma.drm.rights+wbxml");
    EXPECT_EQ(content_type_table[0x1E], "image/jpeg");
    for (std::string_view entry : content_type_table) {
        EXPECT_FALSE(entry.empty());
    }
    EXPECT_TRUE(parameter_table[0x09].empty());
    EXPECT_EQ(parameter_table[0x0A], "start");
    EXPECT_EQ(charset_table[106], "utf-8");
    EXPECT_EQ(charset_table[17], "shift_JIS");
    EXPECT_EQ(disposition_table[2], "inline");
}

TEST(WspContentType, WellKnownMediaAndCharset) {
    log_capture log;
    EXPECT_EQ(compose_content_type("text/plain; charset=utf-8"), hex("03 83 81 EA"));
    EXPECT_TRUE(log.contains("compose_content_type: charset=utf-8"));
    EXPECT_EQ(compose_content_type("image/jpeg"), hex("01 9E"));
}

TEST(WspContentType, UnknownMediaIsText) {
    EXPECT_EQ(compose_content_type("application/smil"),
              cat({hex("11"), text_bytes("application/smil"), hex("00")}));
    // Nothing trims the media: the space before ";" stays in it.
    EXPECT_EQ(compose_content_type("text/plain ; charset=utf-8"),
              cat({hex("0E"), text_bytes("text/plain "), hex("00 81 EA")}));
}

TEST(WspContentType, ParametersInOrder) {
    EXPECT_EQ(compose_content_type("image/gif; name=a.gif; charset=utf-8;start=<x>"),
              cat({hex("0F 9D 85"), text_bytes("a.gif"), hex("00 81 EA 8A"), text_bytes("<x>"),
                   hex("00")}));
}

TEST(WspContentType, ParametersWithoutBlanksStaySeparate) {
    EXPECT_EQ(compose_content_type("text/plain;charset=utf-8;name=x"), hex("06 83 81 EA 85 78 00"));
    // A piece without "=" between two parameters is dropped, the parameters around it are kept.
    EXPECT_EQ(compose_content_type("text/plain;junk;name=x"), hex("04 83 85 78 00"));
}

TEST(WspContentType, CharsetLookup) {
    // Not in the table: the Short-integer 1 and the name as text.
    EXPECT_EQ(compose_content_type("text/plain; charset=koi8-r"),
              cat({hex("09 83 81"), text_bytes("koi8-r"), hex("00")}));
    // Quotes and case do not hide a known charset.
    EXPECT_EQ(compose_content_type("text/plain; charset=\"utf-8\""), hex("03 83 81 EA"));
    EXPECT_EQ(compose_content_type("text/plain; charset=UTF-8"), hex("03 83 81 EA"));
    EXPECT_EQ(compose_content_type("text/plain; charset=\"\""), hex("01 83"));
}

TEST(WspContentType, QuotedValueBecomesQuotedString) {
    EXPECT_EQ(compose_content_type("image/gif; name=\"a b\""),
              cat({hex("05 9D 85 22"), text_bytes("a"), hex("00")}));
    EXPECT_EQ(compose_content_type("image/gif; name=\"ab\""),
              cat({hex("06 9D 85 22"), text_bytes("ab"), hex("00")}));
}

TEST(WspContentType, UnknownParameterIsWrittenUntyped) {
    log_capture log;
    EXPECT_EQ(compose_content_type("image/gif; type=x"),
              cat({hex("08 9D"), text_bytes("type"), hex("00 78 00")}));
    EXPECT_TRUE(log.contains("compose_content_type: unknown parameter type x"));
}

TEST(WspContentType, KnownParameterWithoutTokenHasEmptyValue) {
    EXPECT_EQ(compose_content_type("image/gif; name=\"\""), hex("03 9D 85 00"));
}

TEST(WspContentType, EmptyMediaIsTheEmptyText) {
    EXPECT_EQ(compose_content_type(";charset=utf-8"), hex("03 00 81 EA"));
    EXPECT_EQ(compose_content_type(""), hex("01 00"));
}

TEST(WspDisposition, Examples) {
    log_capture log;
    EXPECT_EQ(compose_content_disposition("attachment; filename=a.jpg"),
              hex("08 81 86 61 2E 6A 70 67 00"));
    EXPECT_TRUE(log.contains("compose_content_disposition: filename=a.jpg"));
    EXPECT_EQ(compose_content_disposition("inline"), hex("01 82"));
    EXPECT_EQ(compose_content_disposition("Inline"),
              cat({hex("07"), text_bytes("Inline"), hex("00")}));
}

TEST(WspSplitHeaderLine, TrimsAndLowerCasesTheName) {
    opt_text name;
    opt_text value;
    EXPECT_TRUE(split_header_line("  Content-Type :  text/plain  ", std::nullopt, name, value));
    EXPECT_EQ(name, "content-type");
    EXPECT_EQ(value, "text/plain");
    EXPECT_TRUE(split_header_line("A: b: c", std::nullopt, name, value));
    EXPECT_EQ(value, "b: c");
    EXPECT_TRUE(split_header_line("Name=X", "=", name, value));
    EXPECT_EQ(name, "name");
    EXPECT_EQ(value, "X");
}

TEST(WspSplitHeaderLine, FalseUnlessBothPresent) {
    opt_text name = "stale";
    opt_text value = "stale";
    EXPECT_FALSE(split_header_line("X:", std::nullopt, name, value));
    EXPECT_FALSE(name.has_value());
    EXPECT_FALSE(value.has_value());
    EXPECT_FALSE(split_header_line(" : v", std::nullopt, name, value));
    EXPECT_FALSE(split_header_line("no separator", std::nullopt, name, value));
    EXPECT_FALSE(split_header_line(std::nullopt, std::nullopt, name, value));
    EXPECT_FALSE(name.has_value());
}

TEST(WspPartHeaders, EntryHeaderExample) {
    mms_part part;
    part.content_type = "application/smil";
    part.content_id = "\"<smil>\"";
    part.data_length = 5;
    buffer out = capture([&](FILE* f) { EXPECT_TRUE(compose_part_headers(f, part)); });
    EXPECT_EQ(out, cat({hex("1B 05 11"), text_bytes("application/smil"), hex("00 C0 22"),
                        text_bytes("<smil>"), hex("00")}));
}

TEST(WspPartHeaders, LocationAndDisposition) {
    mms_part part;
    part.content_type = "image/jpeg";
    part.content_id = "\"<i>\"";
    part.content_location = "img.jpg";
    part.content_disposition = "attachment; filename=a.jpg";
    part.data_length = 300;
    buffer out = capture([&](FILE* f) { EXPECT_TRUE(compose_part_headers(f, part)); });
    buffer block = cat({hex("01 9E C0 22"), text_bytes("<i>"), hex("00 8E"), text_bytes("img.jpg"),
                        hex("00 AE 08 81 86 61 2E 6A 70 67 00")});
    EXPECT_EQ(out,
              cat({encode_uintvar(static_cast<std::uint32_t>(block.size())), hex("82 2C"), block}));
}

TEST(WspPartHeaders, RefusedWithoutTypeOrId) {
    mms_part part;
    part.content_type = "image/jpeg";
    EXPECT_TRUE(capture([&](FILE* f) { EXPECT_FALSE(compose_part_headers(f, part)); }).empty());
    part.content_type.reset();
    part.content_id = "\"<a>\"";
    EXPECT_TRUE(capture([&](FILE* f) { EXPECT_FALSE(compose_part_headers(f, part)); }).empty());
}

TEST(WspParseContentType, GeneralFormWithStartAndType) {
    log_capture log;
    mms_content_type ct;
    buffer value = cat({hex("B3 8A"), text_bytes("<smil>"), hex("00 89"),
                        text_bytes("application/smil"), hex("00")});
    parse_content_type_f(value, "binary", ct);
    EXPECT_EQ(ct.content_type, "application/vnd.wap.multipart.related");
    EXPECT_EQ(ct.start, "<smil>");
    EXPECT_EQ(ct.type, "application/smil");
    EXPECT_TRUE(ct.params.empty());
    EXPECT_TRUE(log.contains("parse_content_type_f_3"));
    EXPECT_TRUE(log.contains("parse_content_type_f end"));
}

TEST(WspParseContentType, QuotedStartKeepsItsQuotes) {
    mms_content_type ct;
    parse_content_type_f(cat({hex("B3 8A 22"), text_bytes("<s>"), hex("00")}), "binary", ct);
    EXPECT_EQ(ct.start, "\"<s>\"");
}

TEST(WspParseContentType, TextualMediaAndSkippedParameters) {
    mms_content_type ct;
    buffer value = cat({text_bytes("application/smil"), hex("00"), text_bytes("x"), hex("00"),
                        text_bytes("y"), hex("00 81 EA")});
    parse_content_type_f(value, "binary", ct);
    EXPECT_EQ(ct.content_type, "application/smil");
    EXPECT_FALSE(ct.start.has_value());
    EXPECT_FALSE(ct.type.has_value());

    parse_content_type_f(text_bytes("text/x-foo"), "string", ct);
    EXPECT_EQ(ct.content_type, "text/x-foo");
}

TEST(WspParseContentType, BadValuesLeaveTheRecordAlone) {
    log_capture log;
    mms_content_type ct;
    parse_content_type_f(hex("CC"), "binary", ct);
    EXPECT_FALSE(ct.content_type.has_value());
    EXPECT_TRUE(log.contains("parse_content_type: bad encoded content type L"));
    parse_content_type_f(hex("03"), "immediate", ct);
    EXPECT_FALSE(ct.content_type.has_value());
    parse_content_type_f(hex("02 01 02"), "binary", ct);
    EXPECT_FALSE(ct.content_type.has_value());
    EXPECT_TRUE(log.contains("parse_content_type: bad content type type binary"));
    parse_content_type_f(buffer{}, "binary", ct);
    EXPECT_FALSE(ct.content_type.has_value());
}

TEST(WspContentRoundTrip, ComposedTypesDecodeBack) {
    for (const char* text : {"image/jpeg", "application/smil", "text/plain; charset=utf-8",
                             "application/vnd.wap.multipart.related; start=<smil>",
                             "audio/amr; name=a.amr; x-extra=1"}) {
        buffer value = compose_content_type(text);
        std::uint32_t offset = 0;
        opt_text type;
        buffer decoded = decode_value(value, offset, type);
        EXPECT_EQ(offset, value.size()) << text;
        mms_content_type ct;
        parse_content_type_f(decoded, type, ct);
        std::string media(text);
        media = media.substr(0, media.find(';'));
        EXPECT_EQ(ct.content_type, media) << text;
    }
}

}  // namespace
