#include "wsp/wsp_parse.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"
#include "wsp_test_util.h"

namespace {

mms_message parse(const buffer& data, std::uint32_t* offset_out = nullptr, bool part = false) {
    std::uint32_t offset = 12345;
    mms_message m = ParseMMSHeaders(data, offset, part);
    if (offset_out != nullptr) {
        *offset_out = offset;
    }
    return m;
}

TEST(WspParseHeaders, EmptyBuffer) {
    log_capture log;
    std::uint32_t offset = 1;
    mms_message m = parse(buffer{}, &offset);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(m.message_type, 0u);
    EXPECT_FALSE(m.content_type.has_value());
    EXPECT_FALSE(m.recipient.has_value());
    EXPECT_TRUE(log.contains("\nParseMMSHeaders_start\n"));
    EXPECT_TRUE(log.contains("ParseMMSHeaders_End\n\n"));
}

TEST(WspParseHeaders, StopsAfterContentType) {
    buffer pdu = cat({hex("8C 84 98 54 31 00 8D 92 84 B3"), hex("03"), hex("96 41 00")});
    std::uint32_t offset = 0;
    mms_message m = parse(pdu, &offset);
    EXPECT_EQ(m.message_type, 4u);
    EXPECT_EQ(m.transaction_id, "T1");
    EXPECT_EQ(m.mms_version, "\x12");
    ASSERT_TRUE(m.content_type.has_value());
    EXPECT_EQ(m.content_type->content_type, "application/vnd.wap.multipart.related");
    EXPECT_EQ(offset, 10u);
    EXPECT_FALSE(m.subject.has_value());
}

TEST(WspParseHeaders, ResponseStatusTexts) {
    mms_message m = parse(hex("92 80"));
    EXPECT_EQ(m.response_status, 0);
    EXPECT_FALSE(m.response_text.has_value());

    m = parse(hex("92 E3"));
    EXPECT_EQ(m.response_status, 99);
    EXPECT_EQ(m.response_text, "Error-permanent-sending-address-unresolved");

    m = parse(hex("92 C4"));
    EXPECT_EQ(m.response_status, 68);
    EXPECT_FALSE(m.response_text.has_value());

    // A Response-Text of the PDU wins over the table.
    m = parse(cat({hex("92 81 93"), text_bytes("busy"), hex("00")}));
    EXPECT_EQ(m.response_text, "busy");
    m = parse(cat({hex("93 06 EA"), text_bytes("busy"), hex("00 92 81")}));
    EXPECT_EQ(m.response_text, "busy");
}

TEST(WspParseHeaders, TokenTexts) {
    EXPECT_EQ(parse(hex("8F 82")).priority, "High");
    EXPECT_EQ(parse(hex("8F 80")).priority, "Low");
    EXPECT_EQ(parse(hex("8F 85")).priority, "\x05");
    EXPECT_EQ(parse(hex("95 81")).status, "Retrieved");
    EXPECT_EQ(parse(hex("95 87")).status, "\x07");
    EXPECT_EQ(parse(hex("9B 80")).read_status, "Read");
    EXPECT_EQ(parse(hex("9B 81")).read_status, "Deleted");
    // Token 0 is a text that ends at once: the class Personal is empty, priority 0 is Low.
    EXPECT_EQ(parse(hex("8A 80")).message_class, "");
    EXPECT_EQ(parse(hex("8F 00")).priority, "Low");
}

TEST(WspParseHeaders, TextsEndAtTheirFirstNul) {
    // A two-octet-per-character subject, as some handsets send it: no NUL may survive into the
    // record (and from there into an MM7 document).
    mms_message m = parse(hex("96 09 02 03 E8 00 61 00 62 00 00"));
    EXPECT_EQ(m.subject, "\x03\xE8");
    m = parse(hex("97 06 EA 31 00 32 33 00"));
    ASSERT_TRUE(m.to);
    EXPECT_EQ((*m.to)[0], "1");
}

TEST(WspParseHeaders, YesNo) {
    EXPECT_EQ(parse(hex("86 80")).delivery_report, 1u);
    EXPECT_EQ(parse(hex("86 81")).delivery_report, 0u);
    EXPECT_EQ(parse(hex("90 80")).read_report, 1u);
    EXPECT_EQ(parse(hex("90 00")).read_report, 0u);
}

TEST(WspParseHeaders, From) {
    EXPECT_EQ(parse(cat({hex("89 13 80 11 EA"), text_bytes("+4917/TYPE=PLMN"), hex("00")})).from,
              "+4917");
    EXPECT_FALSE(parse(hex("89 01 81")).from.has_value());
    EXPECT_EQ(parse(cat({hex("89 0C 80"), text_bytes("a@b.example"), hex("00")})).from,
              "a@b.example");
    // An address of 30 octets or more carries a quoted length inside the From value.
    const std::string longer = "someone.with.a.long.name@mail.example";
    EXPECT_EQ(parse(cat({hex("89 1F 2A 80 1F 27 EA"), text_bytes(longer), hex("00")})).from,
              longer);
    // A charset given as a Long-integer is skipped whole.
    EXPECT_EQ(parse(cat({hex("89 09 80 07 02 03 E8"), text_bytes("+49"), hex("00")})).from, "+49");
    EXPECT_EQ(parse(hex("89 01 80")).from, "");
    EXPECT_FALSE(parse(cat({hex("89"), text_bytes("x"), hex("00")})).from.has_value());
}

TEST(WspParseHeaders, AddressLists) {
    mms_message m = parse(cat({hex("97"), text_bytes("+4917/TYPE=PLMN"), hex("00"), hex("97 11 EA"),
                               text_bytes("+4918/TYPE=PLMN"), hex("00"), hex("97 01")}));
    ASSERT_TRUE(m.to.has_value());
    EXPECT_EQ(*m.to, (text_list{"+4917", "+4918", ""}));
    EXPECT_EQ(m.recipient, "+4917");
}

TEST(WspParseHeaders, RecipientFallsBackToCcThenBcc) {
    mms_message m =
        parse(cat({hex("82"), text_bytes("c"), hex("00 81"), text_bytes("b"), hex("00")}));
    EXPECT_EQ(m.recipient, "c");
    m = parse(cat({hex("81"), text_bytes("b"), hex("00")}));
    EXPECT_EQ(m.recipient, "b");
    EXPECT_FALSE(m.to.has_value());
}

TEST(WspParseHeaders, Date) {
    EXPECT_EQ(parse(hex("85 04 65 70 12 34")).date, 1701843508u);
    EXPECT_EQ(parse(hex("85 01 07")).date, 7u);
    EXPECT_EQ(parse(hex("85 05 01 02 03 04 05")).date, 0u);
    EXPECT_EQ(parse(hex("85 87")).date, 0u);
}

TEST(WspParseHeaders, TextualHeaderNamesAreSkippedPairwise) {
    mms_message m = parse(cat({text_bytes("X-Foo"), hex("00"), text_bytes("bar"), hex("00 96"),
                               text_bytes("s"), hex("00")}));
    EXPECT_EQ(m.subject, "s");
}

TEST(WspParseHeaders, DroppedFieldsAreSkipped) {
    // Expiry, Message-Size and a field number beyond the table leave nothing behind.
    mms_message m =
        parse(cat({hex("88 05 81 03 01 02 03 8E 02 01 00 FF 80 96"), text_bytes("s"), hex("00")}));
    EXPECT_EQ(m.subject, "s");
    EXPECT_EQ(m.date, 0u);
}

TEST(WspParseHeaders, TextualTopLevelContentType) {
    std::uint32_t offset = 0;
    buffer pdu = cat({hex("84"), text_bytes("text/plain"), hex("00 41")});
    mms_message m = parse(pdu, &offset);
    ASSERT_TRUE(m.content_type.has_value());
    EXPECT_EQ(m.content_type->content_type, "text/plain");
    EXPECT_EQ(offset, 12u);
}

TEST(WspParseHeaders, OverlongLengthsStopAtTheEnd) {
    std::uint32_t offset = 0;
    mms_message m = parse(cat({hex("96"), text_bytes("s"), hex("00 84 1F 8F 7F B3")}), &offset);
    EXPECT_EQ(m.subject, "s");
    ASSERT_TRUE(m.content_type.has_value());
    EXPECT_EQ(m.content_type->content_type, "application/vnd.wap.multipart.related");
    EXPECT_EQ(offset, 8u);

    m = parse(hex("96 1E EA 41"), &offset);
    EXPECT_EQ(m.subject, "");
    EXPECT_EQ(offset, 4u);
    m = parse(hex("84 1F"), &offset);
    EXPECT_EQ(offset, 2u);
    // A Content-Type name with no value at all.
    m = parse(hex("8C 84 84"), &offset);
    EXPECT_EQ(m.message_type, 4u);
    EXPECT_EQ(offset, 3u);
    ASSERT_TRUE(m.content_type.has_value());
    EXPECT_FALSE(m.content_type->content_type.has_value());
}

TEST(WspParseHeaders, PartHeaderMode) {
    mms_message m = parse(cat({hex("C0 22 3C 61 3E 00 8E"), text_bytes("img.jpg"), hex("00 96"),
                               text_bytes("s"), hex("00")}),
                          nullptr, true);
    EXPECT_EQ(m.content_id, "\"<a>\"");
    EXPECT_EQ(m.content_location, "img.jpg");
    EXPECT_FALSE(m.subject.has_value());
    // Binary values lose their first and last octets.
    m = parse(cat({hex("C0 05 EA 3C 61 3E 00")}), nullptr, true);
    EXPECT_EQ(m.content_id, "<a>");
    // The WSP header 0x04 is not a Content-Type here and does not end the block.
    m = parse(cat({hex("84 80 8E"), text_bytes("x"), hex("00")}), nullptr, true);
    EXPECT_EQ(m.content_location, "x");
}

TEST(WspUnwrap, DropsFirstAndLast) {
    buffer v = hex("EA 41 00");
    unwrap_binary_value(v, "binary");
    EXPECT_EQ(v, hex("41"));
    v = hex("41");
    unwrap_binary_value(v, "binary");
    EXPECT_TRUE(v.empty());
    v = hex("41 42");
    unwrap_binary_value(v, "string");
    EXPECT_EQ(v, hex("41 42"));
}

TEST(WspPlmnSuffix, OnlyAtTheEnd) {
    buffer v = text_bytes("+49/TYPE=PLMN");
    strip_plmn_suffix(v);
    EXPECT_EQ(v, text_bytes("+49"));
    v = text_bytes("/TYPE=PLMNx");
    strip_plmn_suffix(v);
    EXPECT_EQ(v, text_bytes("/TYPE=PLMNx"));
    v = text_bytes("PLMN");
    strip_plmn_suffix(v);
    EXPECT_EQ(v, text_bytes("PLMN"));
}

TEST(WspMultipartEntry, EntryHeaderExample) {
    buffer data = cat({hex("1B 05 11"), text_bytes("application/smil"), hex("00 C0 22"),
                       text_bytes("<smil>"), hex("00"), text_bytes("DATA!")});
    std::uint32_t offset = 0;
    auto entry = parse_multipart_entry(data, offset);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->headers_length, 27u);
    EXPECT_EQ(entry->data_length, 5u);
    EXPECT_EQ(entry->content_type.content_type, "application/smil");
    EXPECT_EQ(entry->headers.content_id, "\"<smil>\"");
    EXPECT_EQ(offset, 29u);
    EXPECT_EQ(data, cat({hex("C0 22"), text_bytes("<smil>"), hex("00")}));
}

TEST(WspMultipartEntry, BareWellKnownContentType) {
    buffer data = cat({hex("04 02 83 8E"), text_bytes("a"), hex("00"), text_bytes("hi")});
    std::uint32_t offset = 0;
    auto entry = parse_multipart_entry(data, offset);
    EXPECT_EQ(entry->content_type.content_type, "text/plain");
    EXPECT_EQ(entry->headers.content_location, "a");
    EXPECT_EQ(offset, 6u);
}

TEST(WspMultipartEntry, HeadersLongerThanTheBytesAtHand) {
    // A read-ahead window that ends inside the headers: what is there is decoded, and the offset
    // still names the first data octet.
    buffer data = cat({hex("81 00 05 01 9E C0"), text_bytes("<a>"), hex("00 8E")});
    std::uint32_t offset = 0;
    auto entry = parse_multipart_entry(data, offset);
    EXPECT_EQ(entry->headers_length, 128u);
    EXPECT_EQ(entry->content_type.content_type, "image/jpeg");
    EXPECT_EQ(entry->headers.content_id, "<a>");
    EXPECT_EQ(offset, 3u + 128u);
}

TEST(WspMultipartEntry, ContentTypeCannotReachIntoTheData) {
    // HeadersLen 2 but the content type claims 16 octets: it is cut at the headers' end.
    buffer data = cat({hex("02 03 10 9E"), text_bytes("abc")});
    std::uint32_t offset = 0;
    auto entry = parse_multipart_entry(data, offset);
    EXPECT_EQ(entry->content_type.content_type, "image/jpeg");
    EXPECT_EQ(offset, 4u);
    EXPECT_TRUE(data.empty());
}

TEST(WspMultipartEntry, EmptyAndExhaustedInput) {
    buffer data;
    std::uint32_t offset = 0;
    auto entry = parse_multipart_entry(data, offset);
    EXPECT_EQ(entry->headers_length, 0u);
    EXPECT_FALSE(entry->content_type.content_type.has_value());
    EXPECT_EQ(offset, 0u);

    data = hex("8F FF FF FF 7F 8F FF FF FF 7F");
    offset = 0;
    entry = parse_multipart_entry(data, offset);
    EXPECT_EQ(entry->headers_length, 0xFFFFFFFFu);
    EXPECT_EQ(offset, 0xFFFFFFFFu);
}

// What the composer writes, the parser reads back to the same fields.
TEST(WspRoundTrip, SendReqHeaders) {
    mms_message in;
    in.to = text_list{"+4917", "a@b.example"};
    in.cc = text_list{"+4918"};
    in.bcc = text_list{"+4919"};
    in.message_class = "advertisement";
    in.expiry = 1701843508;
    in.priority = "high";
    in.delivery_report = 1;
    in.read_report = 1;
    in.subject = std::string(40, 'S') + "\xC3\xA4";
    multipart_params params;
    params.type = "application/smil";
    buffer pdu = capture([&](FILE* f) {
        compose_send_req_headers(f, in, "tid-1", &params);
        write_octet(f, 2);
    });
    std::uint32_t offset = 0;
    mms_message out = ParseMMSHeaders(pdu, offset, false);
    EXPECT_EQ(out.message_type, 0u);
    EXPECT_EQ(out.transaction_id, "tid-1");
    EXPECT_EQ(out.mms_version, "\x12");
    EXPECT_FALSE(out.from.has_value());
    EXPECT_EQ(out.to, in.to);
    EXPECT_EQ(out.cc, in.cc);
    EXPECT_EQ(out.bcc, in.bcc);
    EXPECT_EQ(out.recipient, "+4917");
    EXPECT_EQ(out.message_class, "\x01");
    EXPECT_EQ(out.priority, "High");
    EXPECT_EQ(out.delivery_report, 1u);
    EXPECT_EQ(out.read_report, 1u);
    EXPECT_EQ(out.subject, in.subject);
    ASSERT_TRUE(out.content_type.has_value());
    EXPECT_EQ(out.content_type->content_type, "application/vnd.wap.multipart.related");
    EXPECT_EQ(out.content_type->start, "<smil>");
    EXPECT_EQ(out.content_type->type, "application/smil");
    EXPECT_EQ(offset, pdu.size() - 1);
    EXPECT_EQ(decode_uintvar(pdu, offset), 2u);
}

TEST(WspRoundTrip, PartEntries) {
    std::vector<mms_part> parts(3);
    parts[0].content_type = "application/smil";
    parts[0].content_id = "\"<smil>\"";
    parts[0].data_length = 4;
    parts[1].content_type = "image/jpeg; name=a.jpg";
    parts[1].content_id = "\"<img>\"";
    parts[1].content_location = "a.jpg";
    parts[1].content_disposition = "attachment; filename=a.jpg";
    parts[1].data_length = 200;
    parts[2].content_type = "text/plain; charset=utf-8";
    parts[2].content_id = "\"<t>\"";
    parts[2].data_length = 0;
    buffer file = capture([&](FILE* f) {
        for (const mms_part& p : parts) {
            ASSERT_TRUE(compose_part_headers(f, p));
            for (std::uint32_t i = 0; i < p.data_length; ++i) {
                write_octet(f, static_cast<int>(i));
            }
        }
    });
    std::size_t position = 0;
    for (const mms_part& p : parts) {
        buffer window(file.begin() + static_cast<std::ptrdiff_t>(position), file.end());
        std::uint32_t offset = 0;
        auto entry = parse_multipart_entry(window, offset);
        EXPECT_EQ(entry->data_length, p.data_length);
        const std::string media = p.content_type->substr(0, p.content_type->find(';'));
        EXPECT_EQ(entry->content_type.content_type, media);
        EXPECT_EQ(entry->headers.content_id, p.content_id);
        EXPECT_EQ(entry->headers.content_location, p.content_location);
        position += offset + entry->data_length;
    }
    EXPECT_EQ(position, file.size());
}

}  // namespace
