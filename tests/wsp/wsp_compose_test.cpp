#include "wsp/wsp_compose.h"

#include <gtest/gtest.h>

#include <set>

#include "core/base64.h"
#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"
#include "wsp_test_util.h"

namespace {

buffer send_req(const mms_message& m, const multipart_params* params, std::string_view id = "ABC") {
    return capture([&](FILE* f) { compose_send_req_headers(f, m, id, params); });
}

const buffer opening = cat({hex("8C 80 98"), text_bytes("ABC"), hex("00 8D 92 89 01 81")});

buffer smil_content_type(bool with_type) {
    if (!with_type) {
        return cat({hex("84 09 B3 8A"), text_bytes("<smil>"), hex("00")});
    }
    return cat({hex("84 1B B3 8A"), text_bytes("<smil>"), hex("00 89"),
                text_bytes("application/smil"), hex("00")});
}

buffer to_header(std::string_view address_on_wire) {
    return cat({hex("97"),
                encode_value_length(static_cast<std::uint32_t>(address_on_wire.size()) + 2),
                hex("EA"), text_bytes(address_on_wire), hex("00")});
}

TEST(WspSendReq, WorkedExample) {
    mms_message m;
    m.to = text_list{"+4917"};
    multipart_params params;
    params.type = "application/smil";
    EXPECT_EQ(send_req(m, &params), cat({opening, hex("97 11 EA"), text_bytes("+4917/TYPE=PLMN"),
                                         hex("00"), smil_content_type(true)}));
}

TEST(WspSendReq, ContentTypeWithoutTypeParameter) {
    mms_message m;
    m.to = text_list{"+4917"};
    EXPECT_EQ(send_req(m, nullptr),
              cat({opening, to_header("+4917/TYPE=PLMN"), smil_content_type(false)}));
    multipart_params params;
    EXPECT_EQ(send_req(m, &params),
              cat({opening, to_header("+4917/TYPE=PLMN"), smil_content_type(false)}));
}

TEST(WspSendReq, AllHeadersInOrder) {
    mms_message m;
    m.to = text_list{"1", "a@b.example"};
    m.cc = text_list{"2"};
    m.bcc = text_list{"3"};
    m.message_class = "InFoRmAtIoNaL";
    m.expiry = 3600;
    m.priority = "LOW";
    m.delivery_report = 1;
    m.read_report = 1;
    m.subject = "Hi";
    EXPECT_EQ(send_req(m, nullptr),
              cat({opening, to_header("1/TYPE=PLMN"), to_header("a@b.example"), hex("82 0D EA"),
                   text_bytes("2/TYPE=PLMN"), hex("00"), hex("81 0D EA"), text_bytes("3/TYPE=PLMN"),
                   hex("00"), hex("8A 82"), hex("88 04 81 02 0E 10"), hex("8F 80"), hex("86 80"),
                   hex("90 80"), hex("96 04 EA 48 69 00"), smil_content_type(false)}));
}

TEST(WspSendReq, ClassAndPriorityMapping) {
    EXPECT_EQ(message_class_token("Personal"), 0);
    EXPECT_EQ(message_class_token("ADVERTISEMENT"), 1);
    EXPECT_EQ(message_class_token("informational"), 2);
    EXPECT_EQ(message_class_token("Auto"), 3);
    EXPECT_EQ(message_class_token("bulk"), 0);
    EXPECT_EQ(priority_token("High"), 2);
    EXPECT_EQ(priority_token("low"), 0);
    EXPECT_EQ(priority_token("NORMAL"), 1);
    EXPECT_EQ(priority_token("urgent"), 1);
}

TEST(WspSendReq, ReportFlags) {
    mms_message m;
    m.delivery_report = 2;  // not a flag value: written as No
    buffer out = send_req(m, nullptr);
    EXPECT_EQ(out, cat({opening, hex("86 81"), smil_content_type(false)}));
    m.delivery_report = 0;
    EXPECT_EQ(send_req(m, nullptr), cat({opening, smil_content_type(false)}));
}

TEST(WspSendReq, EmptySubjectStillHasAValue) {
    mms_message m;
    m.subject = "";
    EXPECT_EQ(send_req(m, nullptr), cat({opening, hex("96 02 EA 00"), smil_content_type(false)}));
}

TEST(WspExpiry, RelativeBelowTheThresholdAbsoluteFromIt) {
    EXPECT_EQ(compose_expiry_value(30), hex("03 81 01 1E"));
    EXPECT_EQ(compose_expiry_value(86400 * 7), hex("05 81 03 09 3A 80"));
    EXPECT_EQ(compose_expiry_value(EXPIRY_ABSOLUTE_FROM - 1), hex("06 81 04 3B 9A C9 FF"));
    EXPECT_EQ(compose_expiry_value(EXPIRY_ABSOLUTE_FROM), hex("06 80 04 3B 9A CA 00"));
    EXPECT_EQ(compose_expiry_value(1701843508), hex("06 80 04 65 70 12 34"));
    // The largest value a date can produce is written, never taken for a Short-integer.
    EXPECT_EQ(compose_expiry_value(0xFFFFFFFFu), hex("06 80 04 FF FF FF FF"));
}

TEST(WspSendReq, LargeExpiryIsWrittenAsAbsoluteDate) {
    mms_message m;
    m.expiry = 1701843508;
    EXPECT_EQ(send_req(m, nullptr),
              cat({opening, hex("88 06 80 04 65 70 12 34"), smil_content_type(false)}));
}

TEST(WspOctet, LowEightBits) {
    EXPECT_EQ(capture([](FILE* f) {
                  write_octet(f, 0);
                  write_octet(f, 0x17F);
                  write_octet(f, -1);
              }),
              hex("00 7F FF"));
}

TEST(WspTransactionId, DistinctAndFileNameSafe) {
    std::set<std::string> seen;
    for (int i = 0; i < 300; ++i) {
        const std::string id = generate_transaction_id();
        EXPECT_GE(id.size(), 8u);
        EXPECT_LE(id.size(), 16u);
        EXPECT_EQ(id.find('/'), std::string::npos);
        EXPECT_EQ(id.find('\n'), std::string::npos);
        EXPECT_TRUE(seen.insert(id).second) << id;
    }
}

TEST(WspTransactionId, EncodesTimeAndCounter) {
    const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
    std::string id = generate_transaction_id();
    for (char& c : id) {
        if (c == '-') {
            c = '/';
        }
    }
    std::optional<buffer> raw = base64_decode(id);
    ASSERT_TRUE(raw.has_value());
    std::uint32_t offset = 0;
    const std::uint32_t when = decode_uintvar(*raw, offset);
    EXPECT_GE(when, before);
    EXPECT_LE(when, before + 5);
    const std::uint32_t counter = decode_uintvar(*raw, offset);
    EXPECT_GT(counter, 0u);
    EXPECT_EQ(offset, raw->size());
}

}  // namespace
