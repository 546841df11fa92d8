// xgate frames: byte-exact builders, and a parser that never trusts a frame's own lengths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "xgate/xgate.h"

namespace {

// Writes frames the way the kernel module does, field by field.
class frame_writer {
  public:
    frame_writer& be32(std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes_.push_back(static_cast<std::uint8_t>(v >> shift));
        }
        return *this;
    }
    // A text field of exactly width bytes, zero-padded (or cut).
    frame_writer& field(std::string_view text, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes_.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
        }
        return *this;
    }
    frame_writer& text(std::string_view text) { return field(text, text.size()); }
    const buffer& bytes() const { return bytes_; }

  private:
    buffer bytes_;
};

buffer header(std::uint32_t kind, std::uint32_t payload_length, std::uint32_t word2 = 0) {
    return frame_writer().be32(kind).be32(word2).be32(payload_length).bytes();
}

buffer join(std::initializer_list<buffer> parts) {
    buffer out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

buffer timeout_ind(std::uint32_t call_id, std::string_view imsi, std::uint32_t timeout) {
    buffer payload = frame_writer()
                         .be32(call_id)
                         .field(imsi, 15)
                         .field("", 1)
                         .be32(11)
                         .be32(12)
                         .be32(timeout)
                         .bytes();
    return join({header(MMS_SENDMMS_TIMEOUT_IND, payload.size()), payload});
}

buffer send_cnf(std::uint32_t call_id, std::uint32_t status, std::uint32_t cause,
                std::string_view imsi, std::uint32_t port, const buffer& pdu,
                std::uint32_t declared_pdu_length) {
    frame_writer w;
    w.be32(call_id).be32(0).be32(status).be32(0).be32(cause).field(imsi, 15).field("", 1);
    w.be32(port).be32(declared_pdu_length);
    buffer payload = join({w.bytes(), pdu});
    return join({header(MMS_SENDMMS_CNF, payload.size()), payload});
}

buffer send_cnf(std::uint32_t call_id, std::uint32_t status, std::uint32_t cause,
                std::string_view imsi, std::uint32_t port, const buffer& pdu) {
    return send_cnf(call_id, status, cause, imsi, port, pdu,
                    static_cast<std::uint32_t>(pdu.size()));
}

buffer mmsrcv_ind(std::string_view imsi, std::uint32_t port, std::uint32_t flags,
                  std::string_view to, std::string_view from, std::string_view data,
                  std::uint32_t r, std::uint32_t s, std::uint32_t d) {
    frame_writer w;
    w.field(imsi, 15).field("", 1).be32(port).be32(flags).be32(r).be32(s).be32(d);
    w.text(to).text(from).text(data);
    return join({header(MMS_MMSRCV_IND, w.bytes().size()), w.bytes()});
}

buffer mmsrcv_ind(std::string_view imsi, std::uint32_t port, std::uint32_t flags,
                  std::string_view to, std::string_view from, std::string_view data) {
    return mmsrcv_ind(imsi, port, flags, to, from, data, to.size(), from.size(), data.size());
}

std::string text_of(const buffer& b) {
    return std::string(as_text(b));
}

// ---- builders ----

TEST(XgateBuilders, FrameHeaderIsBigEndianKindZeroAndLength) {
    const buffer payload = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(xgate_frame(0x01020304, payload),
              (buffer{1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(xgate_frame(MMS_SENDMMS_CNF, {}), (buffer{0, 0, 0x80, 0x43, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(xgate_build_connect_req(), (buffer{0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(XgateBuilders, SendRequestWithRecipientAndNoSenderHas56BytePayload) {
    const std::string file = "/work/0123456789.mm1";
    ASSERT_EQ(file.size(), 20u);
    std::uint32_t call_id = 0;
    const buffer frame = xgate_build_sendmms_req(15, "123", std::nullopt, "mm7", file, call_id);
    ASSERT_NE(call_id, 0u);

    frame_writer expected;
    expected.be32(MMS_SENDMMS_REQ).be32(0).be32(56);
    expected.be32(call_id).be32(15).be32(4).be32(4).be32(1).be32(3).be32(20);
    expected.field("123", 4).field("", 1).text("mm7").text(file);
    EXPECT_EQ(frame, expected.bytes());
    EXPECT_EQ(frame.size(), 12u + 56u);
}

TEST(XgateBuilders, SendRequestCallIdsCountUpAndTextsMayAllBeAbsent) {
    std::uint32_t first = 0, second = 0;
    xgate_build_sendmms_req(1, "1", "2", "mm7", "f", first);
    const buffer frame =
        xgate_build_sendmms_req(7, std::nullopt, std::nullopt, std::nullopt, std::nullopt, second);
    EXPECT_EQ(second, first + 1);

    frame_writer expected;
    expected.be32(MMS_SENDMMS_REQ).be32(0).be32(30);
    expected.be32(second).be32(7).be32(4).be32(1).be32(1).be32(0).be32(0).field("", 2);
    EXPECT_EQ(frame, expected.bytes());
}

TEST(XgateBuilders, SendRequestLengthsDescribeTextsCutAtAnEmbeddedZero) {
    using namespace std::string_view_literals;
    std::uint32_t call_id = 0;
    const buffer frame =
        xgate_build_sendmms_req(15, "+49\0junk"sv, "me"sv, "mm7"sv, "/a.mm1\0tail"sv, call_id);
    frame_writer expected;
    expected.be32(MMS_SENDMMS_REQ).be32(0).be32(28 + 4 + 3 + 3 + 6);
    expected.be32(call_id).be32(15).be32(4).be32(4).be32(3).be32(3).be32(6);
    expected.field("+49", 4).field("me", 3).text("mm7").text("/a.mm1");
    EXPECT_EQ(frame, expected.bytes());
}

TEST(XgateBuilders, ResultIndicationIsLittleEndianWithAZeroPaddedImsi) {
    const buffer frame =
        xgate_build_sendmms_result_ind("262019876543210", 0, 0, 0x01020304, 7, 0x0A0B0C0D);
    buffer expected = header(MMS_SENDMMS_RESULT_IND, 36);
    const std::string imsi = "262019876543210";
    expected.insert(expected.end(), imsi.begin(), imsi.end());
    expected.push_back(0);
    const buffer ints = {0, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1, 7, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A};
    expected.insert(expected.end(), ints.begin(), ints.end());
    EXPECT_EQ(frame, expected);

    // A longer IMSI keeps 15 characters and the terminating zero.
    const buffer cut = xgate_build_sendmms_result_ind("1234567890123456789", 0, 0, 0, 0, 0);
    ASSERT_EQ(cut.size(), 48u);
    EXPECT_EQ(std::string(cut.begin() + 12, cut.begin() + 28),
              std::string("123456789012345") + '\0');
    // A short one is zero-padded.
    const buffer short_imsi = xgate_build_sendmms_result_ind("42", 0, 0, 0, 0, 0);
    EXPECT_EQ(std::string(short_imsi.begin() + 12, short_imsi.begin() + 28),
              std::string("42") + std::string(14, '\0'));
}

// ---- parser: the kinds ----

TEST(XgateParser, ConnectConfirmationIsAHeaderOnlyRecord) {
    const buffer datagram = join({header(XGATE_CONNECT_CNF, 0, 77), timeout_ind(5, "", 9)});
    auto msg = ParseXgateMessage(datagram, 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->kind, XGATE_CONNECT_CNF);
    EXPECT_EQ(msg->word2, 77u);
    EXPECT_EQ(msg->frame_length, 12u);
    EXPECT_EQ(msg->call_id, 0u);
    EXPECT_FALSE(msg->malformed);
    auto next = ParseXgateMessage(datagram, msg->frame_length);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->kind, MMS_SENDMMS_TIMEOUT_IND);
}

TEST(XgateParser, TimeoutIndicationThenConfirmationInOneDatagram) {
    const buffer pdu = {0x8C, 0x81, 0x98, 'T', 0x00, 0x8D, 0x92, 0x92, 0x80};
    const buffer datagram =
        join({timeout_ind(515, "262011234567890", 42), send_cnf(515, 1, 3, "2620112345", 2, pdu)});

    auto first = ParseXgateMessage(datagram, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->kind, MMS_SENDMMS_TIMEOUT_IND);
    EXPECT_EQ(first->frame_length, 44u);
    EXPECT_EQ(first->call_id, 515u);
    EXPECT_EQ(first->imsi, "262011234567890");
    EXPECT_EQ(first->timeout, 42u);

    auto second = ParseXgateMessage(datagram, first->frame_length);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->kind, MMS_SENDMMS_CNF);
    EXPECT_EQ(second->frame_length, 56u + pdu.size());
    EXPECT_EQ(second->call_id, 515u);
    EXPECT_EQ(second->status, 1u);
    EXPECT_EQ(second->cause, 3u);
    EXPECT_EQ(second->imsi, "2620112345");
    EXPECT_EQ(second->port, 2u);
    EXPECT_EQ(second->pdu, pdu);
    EXPECT_FALSE(second->malformed);

    EXPECT_EQ(ParseXgateMessage(datagram, first->frame_length + second->frame_length), nullptr);
}

TEST(XgateParser, ConfirmationWithoutPdu) {
    auto msg = ParseXgateMessage(send_cnf(9, 5, 6, "1", 0, {}), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->status, 5u);
    EXPECT_TRUE(msg->pdu.empty());
    EXPECT_FALSE(msg->malformed);
}

TEST(XgateParser, ReceiveIndicationWithEveryField) {
    const std::string path = "/tmp/in/0001.mm1";
    const buffer frame = mmsrcv_ind("262017777777777", 3, MMSRCV_FLAG_FILE,
                                    std::string("+4917012345") + '\0', "+4917099999", path);
    auto msg = ParseXgateMessage(frame, 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->kind, MMS_MMSRCV_IND);
    EXPECT_EQ(msg->call_id, 0u);
    EXPECT_EQ(msg->imsi, "262017777777777");
    EXPECT_EQ(msg->port, 3u);
    EXPECT_EQ(msg->flags, MMSRCV_FLAG_FILE);
    EXPECT_EQ(msg->recipient, "+4917012345");
    EXPECT_EQ(msg->sender, "+4917099999");
    EXPECT_EQ(text_of(msg->data), path);
    EXPECT_EQ(msg->frame_length, frame.size());
}

TEST(XgateParser, UnknownKindsAreLoggedAndKeepTheirHeader) {
    log_capture log;
    const buffer datagram =
        join({header(MMS_MMSGET_IND, 4), buffer{1, 2, 3, 4}, header(MMS_SENDMMS_REQ, 0)});
    auto get = ParseXgateMessage(datagram, 0);
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->kind, MMS_MMSGET_IND);
    EXPECT_EQ(get->frame_length, 16u);
    EXPECT_FALSE(get->malformed);
    EXPECT_TRUE(log.contains("ParseXgateMessage: Unknown message 72\n"));
    auto own = ParseXgateMessage(datagram, 16);
    ASSERT_NE(own, nullptr);
    EXPECT_TRUE(log.contains("ParseXgateMessage: Unknown message 67\n"));
}

// ---- parser: frames that do not fit ----

TEST(XgateParser, NoRecordWithoutACompleteFrame) {
    const buffer eleven(11, 0);
    EXPECT_EQ(ParseXgateMessage(eleven, 0), nullptr);
    EXPECT_EQ(ParseXgateMessage({}, 0), nullptr);

    // Payload length past the end of the datagram.
    buffer cut = timeout_ind(1, "", 1);
    cut.pop_back();
    EXPECT_EQ(ParseXgateMessage(cut, 0), nullptr);

    // A payload length that would wrap a 32-bit frame length.
    const buffer huge = join({header(XGATE_CONNECT_CNF, 0xFFFFFFF8u), buffer(8, 0)});
    EXPECT_EQ(ParseXgateMessage(huge, 0), nullptr);

    // Offsets at or past the end.
    const buffer ok = header(XGATE_CONNECT_CNF, 0);
    EXPECT_NE(ParseXgateMessage(ok, 0), nullptr);
    EXPECT_EQ(ParseXgateMessage(ok, 12), nullptr);
    EXPECT_EQ(ParseXgateMessage(ok, 13), nullptr);
    EXPECT_EQ(ParseXgateMessage(ok, 0xFFFFFFFFu), nullptr);
}

TEST(XgateParser, FramesShorterThanTheirFixedFieldsAreDroppedButWalkable) {
    log_capture log;
    for (std::uint32_t kind : {MMS_SENDMMS_TIMEOUT_IND, MMS_MMSRCV_IND, MMS_SENDMMS_CNF}) {
        SCOPED_TRACE(kind);
        // A 4-byte payload: the call id would fit, nothing else does.
        const buffer datagram =
            join({header(kind, 4), buffer{0, 0, 0, 5}, header(XGATE_CONNECT_CNF, 0)});
        auto msg = ParseXgateMessage(datagram, 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_TRUE(msg->malformed);
        EXPECT_EQ(msg->kind, kind);
        EXPECT_EQ(msg->frame_length, 16u);
        EXPECT_EQ(msg->call_id, 0u);
        EXPECT_TRUE(msg->imsi.empty());
        EXPECT_TRUE(msg->data.empty());
        EXPECT_TRUE(msg->pdu.empty());
        auto next = ParseXgateMessage(datagram, msg->frame_length);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->kind, XGATE_CONNECT_CNF);
    }
    EXPECT_TRUE(log.contains("ParseXgateMessage: Malformed message 73 of 16 bytes dropped"));
    EXPECT_TRUE(log.contains("ParseXgateMessage: Malformed message 32835 of 16 bytes dropped"));
}

TEST(XgateParser, ReceiveIndicationLengthsPastTheFrameDropIt) {
    const std::string to = "+491", from = "+492", data = "/x.mm1";
    struct lengths {
        std::uint32_t r, s, d;
    };
    for (auto l : {lengths{5, 4, 6}, lengths{4, 5, 6}, lengths{4, 4, 7}, lengths{0xFFFFFFFFu, 4, 6},
                   lengths{4, 0xFFFFFFF0u, 0x20}, lengths{0x80000000u, 0x80000000u, 0x80000000u}}) {
        SCOPED_TRACE(testing::Message() << l.r << "/" << l.s << "/" << l.d);
        // Trailing frames make sure the bytes after the frame are not taken for its fields.
        const buffer datagram = join(
            {mmsrcv_ind("1", 1, 4, to, from, data, l.r, l.s, l.d), header(10, 0), buffer(32, 'Z')});
        auto msg = ParseXgateMessage(datagram, 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_TRUE(msg->malformed);
        EXPECT_TRUE(msg->recipient.empty());
        EXPECT_TRUE(msg->data.empty());
    }
    // Exact lengths are fine, and extra bytes at the end of the frame are ignored.
    buffer padded = mmsrcv_ind("1", 1, 4, to, from, data);
    auto exact = ParseXgateMessage(padded, 0);
    ASSERT_NE(exact, nullptr);
    EXPECT_FALSE(exact->malformed);
    padded[11] += 3;
    padded.insert(padded.end(), {'p', 'a', 'd'});
    auto loose = ParseXgateMessage(padded, 0);
    ASSERT_NE(loose, nullptr);
    EXPECT_FALSE(loose->malformed);
    EXPECT_EQ(text_of(loose->data), data);
}

TEST(XgateParser, ConfirmationPduLengthPastTheFrameDropsIt) {
    const buffer pdu = {0x8C, 0x81};
    for (std::uint32_t declared : {3u, 100u, 0xFFFFFFFFu, 0xFFFFFFC8u}) {
        SCOPED_TRACE(declared);
        const buffer datagram = join({send_cnf(7, 1, 0, "1", 0, pdu, declared), buffer(64, 0)});
        // Only the frame itself, not the trailing bytes of the datagram, belongs to it.
        const buffer frame(datagram.begin(), datagram.begin() + 58);
        for (const buffer* b : {&frame, &datagram}) {
            auto msg = ParseXgateMessage(*b, 0);
            ASSERT_NE(msg, nullptr);
            EXPECT_TRUE(msg->malformed);
            EXPECT_EQ(msg->call_id, 0u) << "a dropped confirmation must not be routed";
            EXPECT_TRUE(msg->pdu.empty());
        }
    }
}

TEST(XgateParser, LongTextsAreCutToTheirRoom) {
    const std::string to(300, 'r'), from(300, 's');
    auto msg = ParseXgateMessage(mmsrcv_ind("123456789012345", 0, 1, to, from, "x"), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_FALSE(msg->malformed);
    EXPECT_EQ(msg->recipient, std::string(99, 'r'));
    EXPECT_EQ(msg->sender, std::string(103, 's'));
    EXPECT_EQ(msg->imsi, "123456789012345");
    EXPECT_EQ(text_of(msg->data), "x");

    // Texts of exactly their room stay whole; an IMSI without terminator stops at 15.
    auto fit = ParseXgateMessage(
        mmsrcv_ind("123456789012345", 0, 1, std::string(99, 'a'), std::string(103, 'b'), ""), 0);
    ASSERT_NE(fit, nullptr);
    EXPECT_EQ(fit->recipient.size(), 99u);
    EXPECT_EQ(fit->sender.size(), 103u);

    // Texts end at their first zero byte.
    auto zero =
        ParseXgateMessage(mmsrcv_ind("12\0"
                                     "99",
                                     0, 1, std::string("ab\0cd", 5), std::string("\0ef", 3), ""),
                          0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->recipient, "ab");
    EXPECT_EQ(zero->sender, "");
}

TEST(XgateParser, BinaryPduDataIsKeptWhole) {
    std::string data;
    for (int i = 0; i < 256; ++i) {
        data.push_back(static_cast<char>(i));
    }
    auto msg = ParseXgateMessage(mmsrcv_ind("1", 0, MMSRCV_FLAG_PDU, "", "", data), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(text_of(msg->data), data);
    EXPECT_TRUE(msg->recipient.empty());
    EXPECT_TRUE(msg->sender.empty());
}

TEST(XgateParser, AFullDatagramOfFramesIsWalkedToTheLastCompleteOne) {
    buffer datagram;
    for (int i = 0; i < 204; ++i) {
        auto f = join({header(MMS_MMSGET_IND, 8), buffer(8, static_cast<std::uint8_t>(i))});
        datagram.insert(datagram.end(), f.begin(), f.end());
    }
    // 204 * 20 = 4080; a 16-byte frame completes 4096 exactly.
    auto last = join({header(XGATE_CONNECT_CNF, 4), buffer{1, 2, 3, 4}});
    datagram.insert(datagram.end(), last.begin(), last.end());
    ASSERT_EQ(datagram.size(), XGATE_MAX_DATAGRAM);

    log_capture log;
    auto walk = [](byte_view d) {
        int frames = 0;
        std::uint32_t offset = 0;
        std::uint32_t last_kind = 0;
        while (auto msg = ParseXgateMessage(d, offset)) {
            ++frames;
            offset += msg->frame_length;
            last_kind = msg->kind;
        }
        return std::pair{frames, last_kind};
    };
    EXPECT_EQ(walk(datagram), (std::pair{205, XGATE_CONNECT_CNF}));
    // Cut by one byte, the last frame is incomplete and dropped.
    EXPECT_EQ(walk(byte_view(datagram).first(4095)), (std::pair{204, MMS_MMSGET_IND}));
}

}  // namespace
