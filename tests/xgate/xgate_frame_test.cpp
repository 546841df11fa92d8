// xgate frames: byte-exact builders, and a parser that never trusts a frame's own lengths.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "xgate_test_util.h"

namespace {

TEST(XgateBuilders, HeadersConnectAndSendRequests) {
    EXPECT_EQ(xgate_frame(0x01020304, buffer{0xAA, 0xBB, 0xCC}),
              (buffer{1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(xgate_frame(MMS_SENDMMS_CNF, {}), (buffer{0, 0, 0x80, 0x43, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(xgate_build_connect_req(), (buffer{0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}));

    using namespace std::string_view_literals;
    std::uint32_t id1 = 0, id3 = 0;
    const std::string file = "/work/0123456789.mm1";  // 20 characters
    const buffer full = xgate_build_sendmms_req(15, "123", std::nullopt, "mm7", file, id1);
    // Lengths describe texts cut at an embedded zero.
    const buffer cut =
        xgate_build_sendmms_req(15, "+49\0junk"sv, "me"sv, "mm7"sv, "/a.mm1\0tail"sv, id3);
    ASSERT_NE(id1, 0u);
    EXPECT_EQ(id3, id1 + 1);
    frame_writer w1, w3;
    w1.be32(MMS_SENDMMS_REQ).be32(0).be32(56).be32(id1).be32(15).be32(4).be32(4).be32(1).be32(3);
    EXPECT_EQ(full, w1.be32(20).field("123", 4).field("", 1).text("mm7").text(file).bytes());
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
    const std::string path = "/tmp/in/0001.mm1";
    const buffer datagram = join({
        header(XGATE_CONNECT_CNF, 0, 77),
        timeout_ind(515, "262011234567890", 42),
        send_cnf(515, 1, 3, "2620112345", 2, {0x8C, 0x81, 0x98, 'T', 0x00, 0x8D, 0x92, 0x92, 0x80}),
        send_cnf(9, 5, 6, "1", 0, {}),
        mmsrcv_ind("262017777777777", 3, MMSRCV_FLAG_FILE, std::string("+4917012345") + '\0',
                   "+4917099999", path),
        frame_of(MMS_MMSGET_IND, {1, 2, 3, 4}),
        header(MMS_SENDMMS_REQ, 0),
    });
    const char* const expected[] = {
        "kind=10 len=12 word2=77",
        "kind=73 len=44 call=515 timeout=42 imsi=262011234567890",
        "kind=32835 len=65 call=515 port=2 status=1 cause=3 imsi=2620112345 pdu=8C819854008D929280",
        "kind=32835 len=56 call=9 status=5 cause=6 imsi=1",
        "kind=70 len=87 port=3 flags=4 imsi=262017777777777 to=+4917012345 from=+4917099999 "
        "data=/tmp/in/0001.mm1",
        "kind=72 len=16",  // unknown kinds are logged and keep their header
        "kind=67 len=12",
    };
    std::uint32_t offset = 0;
    for (const char* want : expected) {
        auto msg = ParseXgateMessage(datagram, offset);
        ASSERT_NE(msg, nullptr) << want;
        EXPECT_EQ(fields(*msg), want);
        offset += msg->frame_length;
    }
    EXPECT_EQ(offset, datagram.size());
    EXPECT_EQ(ParseXgateMessage(datagram, offset), nullptr);
}

TEST(XgateParser, NoRecordWithoutACompleteFrame) {
    buffer cut = timeout_ind(1, "", 1);
    cut.pop_back();  // payload length past the end of the datagram
    const buffer ok = header(XGATE_CONNECT_CNF, 0);
    const std::pair<buffer, std::uint32_t> cases[] = {
        {buffer(11, 0), 0},
        {cut, 0},
        // A payload length that would wrap a 32-bit frame length.
        {join({header(XGATE_CONNECT_CNF, 0xFFFFFFF8u), buffer(8, 0)}), 0},
        {ok, 12},
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
    const std::string r(300, 'r'), s(300, 's');
    const std::pair<buffer, std::string> cases[] = {
        {mmsrcv_ind("123456789012345", 0, 1, r, s, "x"),
         "kind=70 len=649 flags=1 imsi=123456789012345 to=" + r.substr(0, 99) +
             " from=" + s.substr(0, 103) + " data=x"},
        {mmsrcv_ind(std::string("12\0"
                                "99",
                                5),
                    0, 1, std::string("ab\0cd", 5), std::string("\0ef", 3), ""),
         "kind=70 len=56 flags=1 imsi=12 to=ab"},
        // Binary PDU data is kept whole.
        {mmsrcv_ind("1", 0, 1, "", "", std::string("\0\x7F\xFF", 3)),
         "kind=70 len=51 flags=1 imsi=1 data=007FFF"},
    };
    for (const auto& [frame, want] : cases) {
        auto msg = ParseXgateMessage(frame, 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(fields(*msg), want);
    }
    // Extra bytes at the end of the frame are ignored.
    buffer padded = mmsrcv_ind("1", 1, 4, "+491", "+492", "/x.mm1");
    padded[11] += 3;
    padded.insert(padded.end(), {'p', 'a', 'd'});
    auto loose = ParseXgateMessage(padded, 0);
    ASSERT_NE(loose, nullptr);
    EXPECT_EQ(fields(*loose), "kind=70 len=65 port=1 flags=4 imsi=1 to=+491 from=+492 data=/x.mm1");
}

// Who may speak from 127.0.0.1:57445 (0xE065) when the kernel's socket tables are read as text:
// sockets bound to that address or a wildcard, IPv4 or IPv6, and nothing one address or one
// port off.
TEST(XgatePeer, SocketTablesNameEveryOwnerThatCanSendFromThePort) {
    const std::string head =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
        "retrnsmt   uid  timeout inode ref pointer drops\n";
    auto row = [](const std::string& local, unsigned uid) {
        return " 12: " + local + " 00000000:0000 07 00000000:00000000 00:00000000 00000000 " +
               std::to_string(uid) + " 0 105850 2 00000000abd82240 0\n";
    };
    const std::string v4 = head + row("0100007F:E065", 0) + row("00000000:E065", 1000) +
                           row("0200007F:E065", 7) + row("0100007F:E064", 8) +
                           row("0100007F:E066", 9);
    const std::string zeros(16, '0');
    const std::string v6 =
        head + row(zeros + zeros + ":E065", 65534) + row(zeros + "FFFF00000100007F:E065", 5) +
        row(zeros + "FFFF00000200007F:E065", 6) + row(zeros + "0000000001000000:E065", 7);
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(udp_table_owners(v4, false, loopback, 57445), (std::vector<std::uint32_t>{0, 1000}));
    EXPECT_EQ(udp_table_owners(v6, true, loopback, 57445), (std::vector<std::uint32_t>{65534, 5}));
    EXPECT_TRUE(udp_table_owners(v4, true, loopback, 57445).empty());
}

}  // namespace
