// xgate frames: byte-exact builders, and a parser that never trusts a frame's own lengths.
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "xgate_test_util.h"

namespace {

std::string text_of(const buffer& b) {
    return std::string(as_text(b));
}

TEST(XgateBuilders, HeadersConnectAndSendRequests) {
    EXPECT_EQ(xgate_frame(0x01020304, buffer{0xAA, 0xBB, 0xCC}),
              (buffer{1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(xgate_frame(MMS_SENDMMS_CNF, {}), (buffer{0, 0, 0x80, 0x43, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(xgate_build_connect_req(), (buffer{0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}));

    using namespace std::string_view_literals;
    std::uint32_t id1 = 0, id2 = 0, id3 = 0;
    const std::string file = "/work/0123456789.mm1";  // 20 characters
    const buffer full = xgate_build_sendmms_req(15, "123", std::nullopt, "mm7", file, id1);
    const buffer none =
        xgate_build_sendmms_req(7, std::nullopt, std::nullopt, std::nullopt, std::nullopt, id2);
    // Lengths describe texts cut at an embedded zero.
    const buffer cut =
        xgate_build_sendmms_req(15, "+49\0junk"sv, "me"sv, "mm7"sv, "/a.mm1\0tail"sv, id3);
    ASSERT_NE(id1, 0u);
    EXPECT_EQ(id2, id1 + 1);
    EXPECT_EQ(id3, id2 + 1);
    frame_writer w1, w2, w3;
    w1.be32(MMS_SENDMMS_REQ).be32(0).be32(56).be32(id1).be32(15).be32(4).be32(4).be32(1).be32(3);
    EXPECT_EQ(full, w1.be32(20).field("123", 4).field("", 1).text("mm7").text(file).bytes());
    w2.be32(MMS_SENDMMS_REQ).be32(0).be32(30).be32(id2).be32(7).be32(4).be32(1).be32(1).be32(0);
    EXPECT_EQ(none, w2.be32(0).field("", 2).bytes());
    w3.be32(MMS_SENDMMS_REQ).be32(0).be32(44).be32(id3).be32(15).be32(4).be32(4).be32(3).be32(3);
    EXPECT_EQ(cut, w3.be32(6).field("+49", 4).field("me", 3).text("mm7").text("/a.mm1").bytes());
}

TEST(XgateBuilders, ResultIndicationIsLittleEndianWithAZeroPaddedImsi) {
    const buffer ints = {0, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1, 7, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A};
    EXPECT_EQ(xgate_build_sendmms_result_ind("262019876543210", 0, 0, 0x01020304, 7, 0x0A0B0C0D),
              join({header(MMS_SENDMMS_RESULT_IND, 36),
                    frame_writer().field("262019876543210", 16).bytes(), ints}));
    // A longer IMSI keeps 15 characters and the terminating zero; a short one is zero-padded.
    const std::pair<const char*, std::string> imsis[] = {
        {"1234567890123456789", std::string("123456789012345") + '\0'},
        {"42", "42" + std::string(14, '\0')}};
    for (const auto& [imsi, want] : imsis) {
        const buffer frame = xgate_build_sendmms_result_ind(imsi, 0, 0, 0, 0, 0);
        ASSERT_EQ(frame.size(), 48u);
        EXPECT_EQ(std::string(frame.begin() + 12, frame.begin() + 28), want) << imsi;
    }
}

TEST(XgateParser, EveryKindAndFramesInOneDatagram) {
    log_capture log;
    const buffer pdu = {0x8C, 0x81, 0x98, 'T', 0x00, 0x8D, 0x92, 0x92, 0x80};
    const std::string path = "/tmp/in/0001.mm1";
    const buffer datagram = join({
        header(XGATE_CONNECT_CNF, 0, 77),
        timeout_ind(515, "262011234567890", 42),
        send_cnf(515, 1, 3, "2620112345", 2, pdu),
        send_cnf(9, 5, 6, "1", 0, {}),
        mmsrcv_ind("262017777777777", 3, MMSRCV_FLAG_FILE, std::string("+4917012345") + '\0',
                   "+4917099999", path),
        header(MMS_MMSGET_IND, 4),
        buffer{1, 2, 3, 4},
        header(MMS_SENDMMS_REQ, 0),
    });
    std::vector<std::unique_ptr<xgate_message>> m;
    std::uint32_t offset = 0;
    while (auto msg = ParseXgateMessage(datagram, offset)) {
        EXPECT_FALSE(msg->malformed) << m.size();
        offset += msg->frame_length;
        m.push_back(std::move(msg));
    }
    ASSERT_EQ(m.size(), 7u);
    EXPECT_EQ(offset, datagram.size());
    EXPECT_EQ(m[0]->kind, XGATE_CONNECT_CNF);
    EXPECT_EQ(m[0]->word2, 77u);
    EXPECT_EQ(m[0]->frame_length, 12u);
    EXPECT_EQ(m[0]->call_id, 0u);
    EXPECT_EQ(m[1]->kind, MMS_SENDMMS_TIMEOUT_IND);
    EXPECT_EQ(m[1]->frame_length, 44u);
    EXPECT_EQ(m[1]->call_id, 515u);
    EXPECT_EQ(m[1]->imsi, "262011234567890");
    EXPECT_EQ(m[1]->timeout, 42u);
    EXPECT_EQ(m[2]->kind, MMS_SENDMMS_CNF);
    EXPECT_EQ(m[2]->frame_length, 56u + pdu.size());
    EXPECT_EQ(m[2]->call_id, 515u);
    EXPECT_EQ(m[2]->status, 1u);
    EXPECT_EQ(m[2]->cause, 3u);
    EXPECT_EQ(m[2]->imsi, "2620112345");
    EXPECT_EQ(m[2]->port, 2u);
    EXPECT_EQ(m[2]->pdu, pdu);
    EXPECT_EQ(m[3]->status, 5u);
    EXPECT_TRUE(m[3]->pdu.empty());
    EXPECT_EQ(m[4]->kind, MMS_MMSRCV_IND);
    EXPECT_EQ(m[4]->call_id, 0u);
    EXPECT_EQ(m[4]->imsi, "262017777777777");
    EXPECT_EQ(m[4]->port, 3u);
    EXPECT_EQ(m[4]->flags, MMSRCV_FLAG_FILE);
    EXPECT_EQ(m[4]->recipient, "+4917012345");
    EXPECT_EQ(m[4]->sender, "+4917099999");
    EXPECT_EQ(text_of(m[4]->data), path);
    // Unknown kinds are logged and keep their header.
    EXPECT_EQ(m[5]->kind, MMS_MMSGET_IND);
    EXPECT_EQ(m[5]->frame_length, 16u);
    EXPECT_TRUE(log.contains("ParseXgateMessage: Unknown message 72\n"));
    EXPECT_TRUE(log.contains("ParseXgateMessage: Unknown message 67\n"));
}

TEST(XgateParser, NoRecordWithoutACompleteFrame) {
    buffer cut = timeout_ind(1, "", 1);
    cut.pop_back();  // payload length past the end of the datagram
    const buffer ok = header(XGATE_CONNECT_CNF, 0);
    const std::pair<buffer, std::uint32_t> cases[] = {
        {buffer(11, 0), 0},
        {{}, 0},
        {cut, 0},
        // A payload length that would wrap a 32-bit frame length.
        {join({header(XGATE_CONNECT_CNF, 0xFFFFFFF8u), buffer(8, 0)}), 0},
        {ok, 12},
        {ok, 13},
        {ok, 0xFFFFFFFFu},
    };
    for (const auto& [data, offset] : cases) {
        EXPECT_EQ(ParseXgateMessage(data, offset), nullptr)
            << testing::PrintToString(data) << " at " << offset;
    }
    EXPECT_NE(ParseXgateMessage(ok, 0), nullptr);
}

// Checks a frame the parser must drop: walkable, but with no field a handler could act on.
void expect_dropped(const buffer& datagram, std::uint32_t frame_length = 0) {
    auto msg = ParseXgateMessage(datagram, 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_TRUE(msg->malformed);
    EXPECT_EQ(msg->call_id, 0u) << "a dropped confirmation must not be routed";
    EXPECT_TRUE(msg->imsi.empty());
    EXPECT_TRUE(msg->recipient.empty());
    EXPECT_TRUE(msg->data.empty());
    EXPECT_TRUE(msg->pdu.empty());
    if (frame_length != 0) {
        EXPECT_EQ(msg->frame_length, frame_length);
        auto next = ParseXgateMessage(datagram, msg->frame_length);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->kind, XGATE_CONNECT_CNF);
    }
}

TEST(XgateParser, FramesWhoseFieldsDoNotFitAreDropped) {
    log_capture log;
    // A 4-byte payload: the call id would fit, nothing else does.
    for (std::uint32_t kind : {MMS_SENDMMS_TIMEOUT_IND, MMS_MMSRCV_IND, MMS_SENDMMS_CNF}) {
        SCOPED_TRACE(kind);
        expect_dropped(join({header(kind, 4), buffer{0, 0, 0, 5}, header(XGATE_CONNECT_CNF, 0)}),
                       16);
    }
    EXPECT_TRUE(log.contains("ParseXgateMessage: Malformed message 73 of 16 bytes dropped"));
    EXPECT_TRUE(log.contains("ParseXgateMessage: Malformed message 32835 of 16 bytes dropped"));
    // Receive indication lengths past the frame; trailing frames make sure the bytes after the
    // frame are not taken for its fields.
    const std::array<std::uint32_t, 3> lengths[] = {{5, 4, 6},
                                                    {4, 5, 6},
                                                    {4, 4, 7},
                                                    {0xFFFFFFFFu, 4, 6},
                                                    {4, 0xFFFFFFF0u, 0x20},
                                                    {0x80000000u, 0x80000000u, 0x80000000u}};
    for (const auto& l : lengths) {
        SCOPED_TRACE(testing::PrintToString(l));
        expect_dropped(join(
            {mmsrcv_ind("1", 1, 4, "+491", "+492", "/x.mm1", l), header(10, 0), buffer(32, 'Z')}));
    }
    // Confirmation PDU lengths past the frame: neither the frame alone nor the datagram's
    // trailing bytes make it fit.
    for (std::uint32_t declared : {3u, 100u, 0xFFFFFFFFu, 0xFFFFFFC8u}) {
        SCOPED_TRACE(declared);
        const buffer datagram =
            join({send_cnf(7, 1, 0, "1", 0, {0x8C, 0x81}, declared), buffer(64, 0)});
        expect_dropped(buffer(datagram.begin(), datagram.begin() + 58));
        expect_dropped(datagram);
    }
}

TEST(XgateParser, TextsAreCutToTheirRoomAndEndAtAZero) {
    struct text_case {
        std::string imsi, to, from, data;
        std::string want_imsi, want_to, want_from;
    };
    std::string every_byte;
    for (int i = 0; i < 256; ++i) {
        every_byte.push_back(static_cast<char>(i));
    }
    const text_case cases[] = {
        {"123456789012345", std::string(300, 'r'), std::string(300, 's'), "x", "123456789012345",
         std::string(99, 'r'), std::string(103, 's')},
        {"1", std::string(99, 'a'), std::string(103, 'b'), "", "1", std::string(99, 'a'),
         std::string(103, 'b')},
        {std::string("12\0"
                     "99",
                     5),
         std::string("ab\0cd", 5), std::string("\0ef", 3), "", "12", "ab", ""},
        {"1", "", "", every_byte, "1", "", ""},  // binary PDU data is kept whole
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.want_to);
        auto msg = ParseXgateMessage(mmsrcv_ind(c.imsi, 0, 1, c.to, c.from, c.data), 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_FALSE(msg->malformed);
        EXPECT_EQ(msg->imsi, c.want_imsi);
        EXPECT_EQ(msg->recipient, c.want_to);
        EXPECT_EQ(msg->sender, c.want_from);
        EXPECT_EQ(text_of(msg->data), c.data);
    }
    // Extra bytes at the end of the frame are ignored.
    buffer padded = mmsrcv_ind("1", 1, 4, "+491", "+492", "/x.mm1");
    padded[11] += 3;
    padded.insert(padded.end(), {'p', 'a', 'd'});
    auto loose = ParseXgateMessage(padded, 0);
    ASSERT_NE(loose, nullptr);
    EXPECT_FALSE(loose->malformed);
    EXPECT_EQ(text_of(loose->data), "/x.mm1");
}

TEST(XgateParser, AFullDatagramOfFramesIsWalkedToTheLastCompleteOne) {
    buffer datagram;
    for (int i = 0; i < 204; ++i) {
        datagram =
            join({datagram, frame_of(MMS_MMSGET_IND, buffer(8, static_cast<std::uint8_t>(i)))});
    }
    // 204 * 20 = 4080; a 16-byte frame completes 4096 exactly.
    datagram = join({datagram, frame_of(XGATE_CONNECT_CNF, {1, 2, 3, 4})});
    ASSERT_EQ(datagram.size(), XGATE_MAX_DATAGRAM);
    log_capture log;
    auto walk = [](byte_view d) {
        int frames = 0;
        std::uint32_t offset = 0, last_kind = 0;
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
