// The m-send-req the daemon composes, and the header and entry parser for what it receives.
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/mms_fields.h"
#include "wsp/wsp_compose.h"
#include "wsp/wsp_parse.h"
#include "wsp_test_util.h"

namespace {

buffer send_req(const mms_message& m, const multipart_params* params) {
    return capture([&](FILE* f) { compose_send_req_headers(f, m, "ABC", params); });
}

// Type m-send-req, transaction id ABC, version 1.2, From insert-address.
const char* const OPENING = "8C 80 98 'ABC' 00 8D 92 89 01 81 ";
const char* const SMIL = " 84 09 B3 8A '<smil>' 00";
const char* const SMIL_TYPED = " 84 1B B3 8A '<smil>' 00 89 'application/smil' 00";

TEST(WspSendReq, HeadersInOrder) {
    struct send_case {
        const char* name;
        std::function<void(mms_message&)> set;
        bool with_type;
        const char* middle;
    };
    const send_case cases[] = {
        {"worked example", [](mms_message& m) { m.to = text_list{"+4917"}; }, true,
         "97 11 EA '+4917/TYPE=PLMN' 00"},
        {"every header",
         [](mms_message& m) {
             m.to = text_list{"1", "a@b.example"};
             m.cc = text_list{"2"};
             m.bcc = text_list{"3"};
             m.message_class = "InFoRmAtIoNaL";
             m.expiry = mms_time{3600, true};
             m.delivery_time = mms_time{1701843508, false};
             m.priority = "LOW";
             m.delivery_report = 1;
             m.read_report = 1;
             m.subject = "Hi";
         },
         false,
         "97 0D EA '1/TYPE=PLMN' 00 97 0D EA 'a@b.example' 00 82 0D EA '2/TYPE=PLMN' 00 81 0D EA "
         "'3/TYPE=PLMN' 00 8A 82 88 04 81 02 0E 10 87 06 80 04 65 70 12 34 8F 80 86 80 90 80 96 04 "
         "EA "
         "48 69 00"},
        {"report 2 is not a flag: No", [](mms_message& m) { m.delivery_report = 2; }, false,
         "86 81"},
        {"absolute expiry",
         [](mms_message& m) {
             m.expiry = mms_time{1701843508, false};
         },
         false, "88 06 80 04 65 70 12 34"},
    };
    for (const send_case& c : cases) {
        mms_message m;
        c.set(m);
        multipart_params params;
        params.type = "application/smil";
        multipart_params untyped;
        EXPECT_EQ(send_req(m, c.with_type ? &params : nullptr),
                  hex(std::string(OPENING) + c.middle + (c.with_type ? SMIL_TYPED : SMIL)))
            << c.name;
        if (!c.with_type) {
            EXPECT_EQ(send_req(m, &untyped), send_req(m, nullptr)) << c.name;
        }
    }
}

TEST(WspSendReq, TimeValues) {
    // The token says what the number is, whatever its size; the largest is never a Short-integer.
    const std::pair<mms_time, const char*> times[] = {
        {{0, true}, "03 81 01 00"},
        {{30, true}, "03 81 01 1E"},
        {{0xFFFFFFFFu, true}, "06 81 04 FF FF FF FF"},
        {{0, false}, "03 80 01 00"},
        {{0xFFFFFFFFu, false}, "06 80 04 FF FF FF FF"},
    };
    for (auto [time, want] : times) {
        EXPECT_EQ(compose_time_value(time), hex(want)) << time.seconds;
    }
}

TEST(WspParseHeaders, Records) {
    log_capture log;
    const char* const MULTIPART = "ct=application/vnd.wap.multipart.related;start=-;type=-";
    struct parse_case {
        const char* data;
        std::string want;  // the record's fields
        int end = -1;      // where the headers end; -1: at the end of the data
        bool part = false;
    };
    const parse_case cases[] = {
        {"", ""},
        // The headers stop after the Content-Type.
        {"8C 84 98 54 31 00 8D 92 84 B3 03 96 41 00",
         "type=4 tid=T1 version=\\x12 " + std::string(MULTIPART), 10},
        {"8F 82", "priority=High"},
        {"8F 85", "priority=\\x05"},
        {"95 81", "status=Retrieved"},
        {"86 81 90 80", "rr=1"},
        // Token 0 is a text that ends at once: the class Personal is empty.
        {"8A 80", "class="},
        // Texts end at their first NUL (a two-octet-per-character subject as handsets send it).
        {"96 09 02 03 E8 00 61 00 62 00 00", "subject=\\x03\\xE8"},
        {"97 '+4917/TYPE=PLMN' 00 97 11 EA '+4918/TYPE=PLMN' 00 97 01",
         "to=+4917,+4918, recipient=+4917"},
        // The recipient falls back to Cc, then Bcc.
        {"82 'c' 00 81 'b' 00", "cc=c bcc=b recipient=c"},
        {"92 E3", "response=99 response_text=Error-permanent-sending-address-unresolved"},
        // A Response-Text of the PDU wins over the table.
        {"92 81 93 'busy' 00", "response=1 response_text=busy"},
        // An address of 30 octets or more carries a quoted length inside the From value.
        {"89 1F 2A 80 1F 27 EA 'someone.with.a.long.name@mail.example' 00",
         "from=someone.with.a.long.name@mail.example"},
        // A charset given as a Long-integer is skipped whole.
        {"89 09 80 07 02 03 E8 '+49' 00", "from=+49"},
        {"85 05 01 02 03 04 05", ""},
        // Textual header names are skipped pairwise; Expiry, Message-Size and unknown fields too.
        {"'X-Foo' 00 'bar' 00 96 's' 00", "subject=s"},
        {"88 05 81 03 01 02 03 8E 02 01 00 FF 80 96 's' 00", "subject=s"},
        {"84 'text/plain' 00 41", "ct=text/plain;start=-;type=-", 12},
        // Overlong lengths stop at the end.
        {"96 's' 00 84 1F 8F 7F B3", "subject=s " + std::string(MULTIPART), 8},
        {"8C 84 84", "type=4 ct=-;start=-;type=-"},  // a Content-Type name with no value
        // Part headers: binary values lose their first and last octets; the WSP header 0x04 is
        // not a Content-Type here and does not end the block.
        {"C0 22 3C 61 3E 00 8E 'img.jpg' 00 96 's' 00", "content_id=\"<a>\" location=img.jpg", -1,
         true},
        {"84 80 8E 'x' 00", "location=x", -1, true},
    };
    for (const parse_case& c : cases) {
        const buffer data = hex(c.data);
        std::uint32_t offset = 12345;
        EXPECT_EQ(fields(ParseMMSHeaders(data, offset, c.part)), c.want) << c.data;
        EXPECT_EQ(offset, c.end < 0 ? data.size() : static_cast<std::size_t>(c.end)) << c.data;
    }
}

TEST(WspMultipartEntry, Entries) {
    struct entry_case {
        const char* name;
        const char* data;
        std::uint32_t headers_length, data_length, offset;
        opt_text media, content_id, location;
        const char* left;  // what the headers buffer holds afterwards, when checked
    };
    const entry_case cases[] = {
        {"example", "1B 05 11 'application/smil' 00 C0 22 '<smil>' 00 'DATA!'", 27, 5, 29,
         "application/smil", "\"<smil>\"", std::nullopt, "C0 22 '<smil>' 00"},
        {"bare well-known type", "04 02 83 8E 'a' 00 'hi'", 4, 2, 6, "text/plain", std::nullopt,
         "a", nullptr},
        // A read-ahead window that ends inside the headers: what is there is decoded, and the
        // offset still names the first data octet.
        {"window ends in headers", "81 00 05 01 9E C0 '<a>' 00 8E", 128, 5, 131, "image/jpeg",
         "<a>", "", nullptr},
        // HeadersLen 2 but the content type claims 16 octets: it is cut at the headers' end.
        {"type cut at headers", "02 03 10 9E 'abc'", 2, 3, 4, "image/jpeg", std::nullopt,
         std::nullopt, ""},
        {"empty", "", 0, 0, 0, std::nullopt, std::nullopt, std::nullopt, nullptr},
        {"exhausted", "8F FF FF FF 7F 8F FF FF FF 7F", 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu,
         std::nullopt, std::nullopt, std::nullopt, nullptr},
    };
    for (const entry_case& c : cases) {
        SCOPED_TRACE(c.name);
        buffer data = hex(c.data);
        std::uint32_t offset = 0;
        auto entry = parse_multipart_entry(data, offset);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->headers_length, c.headers_length);
        EXPECT_EQ(entry->data_length, c.data_length);
        EXPECT_EQ(offset, c.offset);
        EXPECT_EQ(entry->content_type.content_type, c.media);
        EXPECT_EQ(entry->headers.content_id, c.content_id);
        EXPECT_EQ(entry->headers.content_location, c.location);
        if (c.left != nullptr) {
            EXPECT_EQ(data, hex(c.left));
        }
    }
}

}  // namespace
