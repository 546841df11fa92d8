// Received MMS, delivery reports and read reports from the kernel module simulator to a VASP
// stand-in that decodes every request with Python's email package; the spool that keeps them
// until the VASP has taken them, across a VASP that is away or failing and a killed daemon.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <map>
#include <set>

#include "core/base64.h"
#include "support/e2e_fixture.h"
#include "support/test_pki.h"
#include "wsp/wsp_test_util.h"

namespace {

using e2e::fixture, e2e::strings;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* DELIVERED = "delivered to the VASP";
const std::string PNG_HEADERS("image/png\0\xC0<img>\0", 17);

// An m-retrieve-conf (multipart.related) with the given entry count and entries.
std::string retrieve_pdu(std::uint32_t count, std::initializer_list<buffer> entries,
                         const std::string& tid = "T-hostile") {
    buffer pdu =
        cat({hex("8C 84 98"), text_bytes(tid + '\0'), hex("8D 90 84 B3"), encode_uintvar(count)});
    for (const buffer& e : entries) {
        pdu.insert(pdu.end(), e.begin(), e.end());
    }
    return std::string(pdu.begin(), pdu.end());
}
// One entry; the lengths written are the true ones plus the deltas.
buffer entry(std::string_view headers, std::string_view data, int header_delta = 0,
             int data_delta = 0) {
    return cat({encode_uintvar(static_cast<std::uint32_t>(headers.size() + header_delta)),
                encode_uintvar(static_cast<std::uint32_t>(data.size() + data_delta)),
                text_bytes(headers), text_bytes(data)});
}

std::string part_headers(const std::string& type, const std::string& id) {
    return type + '\0' + "\xC0" + id + '\0';
}

// Checks a request byte for byte as it reached the VASP: its head's framing, the boundaries,
// base64 in 80-character lines (but the last) with CRLF, raw SMIL.  parts: the entries' data.
void expect_raw_request(const std::string& head, const std::string& body, const strings& parts,
                        bool content) {
    SCOPED_TRACE(head);
    const std::string outer = e2e::match(head, "boundary=\"([^\"]+)\"");
    const std::string length = e2e::match(head, "\nContent-Length: (\\d+)\r?\n");
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(length, std::to_string(body.size()));
    std::size_t at = 0;
    auto expect_text = [&](const std::string& text) {
        EXPECT_EQ(body.substr(at, text.size()), text) << "at " << at;
        at += text.size();
    };
    expect_text("--" + outer +
                "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-ID: <mm7_msg>\r\n\r\n");
    at = body.find("\r\n--" + outer, at);
    ASSERT_NE(at, std::string::npos);
    expect_text("\r\n--" + outer);
    if (!content) {
        expect_text("--\r\n");
        EXPECT_EQ(at, body.size());
        return;
    }
    const std::size_t line_end = body.find("\r\n\r\n", at);
    ASSERT_NE(line_end, std::string::npos);
    const std::string nested = body.substr(at, line_end + 4 - at);
    const std::string inner = e2e::match(nested, "boundary=\"([^\"]+)\"");
    EXPECT_TRUE(nested.starts_with("\r\nContent-Type: multipart/")) << nested;
    EXPECT_TRUE(nested.ends_with("\"\r\nContent-ID: <mms_cid>\r\n\r\n")) << nested;
    at = line_end + 4;
    for (const std::string& data : parts) {
        expect_text("\r\n--" + inner + "\r\nContent-Type: ");
        const std::size_t headers_end = body.find("\r\n\r\n", at);
        ASSERT_NE(headers_end, std::string::npos);
        const std::string headers = body.substr(at, headers_end + 4 - at);
        at = headers_end + 4;
        const bool base64 =
            headers.find("\r\nContent-Transfer-Encoding: base64\r\n") != std::string::npos;
        EXPECT_EQ(base64, !headers.starts_with("application/smil")) << headers;
        if (!base64) {
            expect_text(data);
            continue;
        }
        const std::size_t end = body.find("\r\n--" + inner, at);
        ASSERT_NE(end, std::string::npos);
        const std::string text = body.substr(at, end - at);
        at = end;
        std::size_t lines = 0, short_lines = 0;
        for (std::size_t from = 0, eol; from < text.size(); from = eol + 2, ++lines) {
            eol = text.find("\r\n", from);
            ASSERT_NE(eol, std::string::npos) << "base64 line without CRLF: " << text.substr(from);
            EXPECT_LE(eol - from, 80u);
            EXPECT_GT(eol - from, 0u);
            short_lines += eol - from < 80 ? 1 : 0;
            EXPECT_TRUE(eol - from == 80 || eol + 2 == text.size()) << "short line inside";
        }
        EXPECT_LE(short_lines, 1u);
        EXPECT_EQ(lines, (data.size() + 59) / 60);
        const buffer decoded = base64_decode(text).value_or(buffer());
        EXPECT_EQ(std::string(decoded.begin(), decoded.end()), data);
    }
    expect_text("\r\n--" + inner + "--\r\n\r\n--" + outer + "--\r\n");
    EXPECT_EQ(at, body.size());
}

// A VASP stand-in at the client URL; in_ holds the PDU files the simulator announces.
class Delivery : public fixture {
  protected:
    fs::path pdu_file(const std::string& pdu, const std::string& name = "pdu") {
        e2e::write_file(in_.path() / (name + ".mm1"), pdu);
        return in_.path() / (name + ".mm1");
    }
    void receive(const std::string& command, std::string_view needle) {
        const std::size_t before = daemon_->log_count(needle);
        sim_->command(command);
        ASSERT_TRUE(daemon_->wait_for_log_count(needle, before + 1))
            << command << " did not log " << needle << "\n"
            << daemon_->log();
    }
    void vasp(const std::string& command) {
        vasp_->command(command);
        ASSERT_TRUE(vasp_->wait_for_line("ok " + command.substr(0, command.find(' ')))) << command;
    }
    std::string saved(int request, int part = 1) {
        return saved_file(request, "part-" + std::to_string(part) + ".bin");
    }
    std::string saved_file(int request, const std::string& name) {
        return e2e::read_file(vasp_->dir() / "save" / ("request-" + std::to_string(request)) /
                              name);
    }
    e2e::temp_dir in_{"mm7-in"};
    int requests_ = 0;  // requests the stand-in has accepted
};

// Failed deliveries are retried no sooner than 10 minutes later, beyond every test here.
class DeliveryE2E : public Delivery {
  protected:
    void SetUp() override {
        start_vasp();
        start({}, {"--gwserial", "GW-TEST-1", "--clienturl", "http://127.0.0.1:8080/mm7-client",
                   "--retrydelay", "600"});
        fds_ = e2e::open_fds(daemon_->pid());
    }
};

// Every real-world PDU, as a file and (when it fits a datagram) inline: multipart retrievals
// arrive with every part's bytes intact, their multipart kind and charsets, reports as their
// documents, the rest is dropped.
TEST_F(DeliveryE2E, RealWorldPdusReachTheVaspOrAreDroppedAsSpecified) {
    const fs::path dir = pdu_dir();
    if (dir.empty()) {
        GTEST_SKIP() << "no real-world PDUs at " << MM7_TESTDATA_DIR;
    }
    std::vector<fs::path> files{fs::directory_iterator(dir), fs::directory_iterator()};
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        if (file.filename() == "README.txt") {
            continue;
        }
        const buffer pdu = read_file(file);
        std::uint32_t offset = 0;
        const mms_message headers = ParseMMSHeaders(pdu, offset, false);
        const std::string type =
            headers.content_type ? headers.content_type->content_type.value_or("") : "";
        const bool multipart = type.find("multipart") != std::string::npos;
        // What the daemon logs and the document the VASP gets ("": none) for each message type.
        auto [needle, soap] = std::map<int, std::pair<std::string, std::string>>{
            {2, {"without turbo mode, this should not happen", ""}},
            {4,
             {multipart ? DELIVERED : "ignoring content-type = ", multipart ? "DeliverReq" : ""}},
            {6, {DELIVERED, "DeliveryReportReq"}},
            {8, {DELIVERED, "ReadReplyReq"}},
        }[headers.message_type];
        needle = needle.empty() ? "ignoring message type" : needle;
        for (const char* flags : {"4", "1"}) {
            if (*flags == '1' && pdu.size() > 3800) {
                continue;  // more than one datagram holds
            }
            SCOPED_TRACE(file.filename().string() + " flags " + flags);
            // A copy where the daemon opens PDU files.
            const fs::path copy = pdu_file(std::string(pdu.begin(), pdu.end()), file.stem());
            receive(std::string("rcv ") + flags + " " + copy.string() + " to=+4917 from=+4918",
                    needle);
            if (soap.empty()) {
                continue;
            }
            const int n = ++requests_;
            auto line =
                vasp_->wait_for_line("request " + std::to_string(n) + " path=/mm7-client soap=");
            ASSERT_TRUE(line) << daemon_->log();
            EXPECT_NE(line->find("soap=" + soap + " "), std::string::npos) << *line;
            strings parts;
            if (headers.content_type) {
                walk_body(pdu, offset, [&](const multipart_entry& e, std::uint64_t at) {
                    parts.emplace_back(reinterpret_cast<const char*>(pdu.data()) + at,
                                       e.data_length);
                });
            }
            EXPECT_NE(line->find(" parts=" + std::to_string(parts.size()) + " "), std::string::npos)
                << *line;
            for (std::size_t i = 0; i < parts.size(); ++i) {
                EXPECT_EQ(saved(n, static_cast<int>(i + 1)), parts[i]) << "part " << i + 1;
            }
            expect_raw_request(saved_file(n, "head.raw"), saved_file(n, "body.txt"), parts,
                               headers.content_type.has_value());
            EXPECT_TRUE(!headers.content_type ||
                        vasp_->seen("request " + std::to_string(n) + " content type=multipart/" +
                                    (type.ends_with("mixed") ? "mixed start=-" : "related start=")))
                << type;
            EXPECT_FALSE(vasp_->seen("start-ok=False"));
        }
    }
    EXPECT_FALSE(vasp_->seen("error")) << daemon_->log();
    // Every text part of these messages is labelled utf-8 (MIBenum 106) in its PDU.
    for (const std::string& line : vasp_->lines()) {
        EXPECT_TRUE(line.find(" content-type=text/") == std::string::npos ||
                    line.find(" charset=utf-8 ") != std::string::npos)
            << line;
    }
}

// What two MIME readers of a VASP (Python's email package in the stand-in, Perl's MIME::Parser)
// read of received messages: each part's charset by its MIME name and its name, quoted or RFC
// 2231-encoded; the PDU's multipart kind, and for multipart/related a start that names a part
// there is; the number the message was received on where the PDU names no recipient.
TEST_F(DeliveryE2E, PartParametersAndMultipartKindReachEveryMimeReader) {
    // A content type in the general form (media and parameters as hex() writes them).
    const auto general = [](const char* media_and_params) {
        const buffer ct = hex(media_and_params);
        return cat({encode_value_length(static_cast<std::uint32_t>(ct.size())), ct});
    };
    const auto headers = [&](const char* media_and_params, const std::string& id) {
        const buffer h = cat({general(media_and_params), text_bytes("\xC0" + id + '\0')});
        return std::string(h.begin(), h.end());
    };
    struct part {
        std::string headers, data, type, charset, name;
    };
    struct message_case {
        const char* name;
        buffer content_type;  // the PDU's Content-Type value
        bool to;              // the PDU names a recipient
        std::vector<part> parts;
        std::string kind, start, type;  // of the nested content, as read
    } const cases[] = {
        {"mixed",
         hex("A3"),
         true,
         {{headers("83 81 EA 85 7F '\xD0\xBF\xD1\x80\xD0\xB8 \xD0\xBC.txt' 00", "<t1>"),
           "\xD0\x9F\xD1\x80\xD0\xB8", "text/plain", "utf-8",
           "\xD0\xBF\xD1\x80\xD0\xB8 \xD0\xBC.txt"},
          {headers("83 81 02 07 EA 97 22 'a \"q\" b.txt' 00", "<t2>"), "\xA4\xA4", "text/plain",
           "big5", "a \"q\" b.txt"},
          {headers("9E 85 'holiday photo.jpg' 00", "<i>"), "\xFF\xD8jpeg", "image/jpeg", "-",
           "holiday photo.jpg"}},
         "multipart/mixed",
         "-",
         "-"},
        {"related, start on the second part",
         general("B3 8A '<b>' 00 89 'application/smil' 00"),
         true,
         {{headers("83 81 84", "<a>"), "caf\xE9", "text/plain", "iso-8859-1", "-"},
          {part_headers("application/smil", "<b>"), "<smil/>", "application/smil", "-", "-"}},
         "multipart/related",
         "<b>",
         "application/smil"},
        {"related, start on no part, no recipient",
         general("B3 8A '<gone>' 00 89 'application/smil' 00"),
         false,
         {{part_headers("image/png", "<i>"), "png", "image/png", "-", "-"},
          {headers("83 81 EA", "<t>"), "hi", "text/plain", "utf-8", "-"}},
         "multipart/related",
         "<i>",
         "image/png"},
        // As handsets write it: a Content-ID without angle brackets.
        {"related, start without brackets",
         general("B3 8A '<smil>' 00 89 'application/smil' 00"),
         true,
         {{part_headers("image/png", "<i>"), "png", "image/png", "-", "-"},
          {"application/smil" + std::string(1, '\0') + "\xC0\"smil" + '\0', "<smil/>",
           "application/smil", "-", "-"}},
         "multipart/related",
         "smil",
         "application/smil"},
    };
    const auto hex_of = [](const std::string& data) {
        std::string out;
        for (const unsigned char c : data) {
            out += "0123456789abcdef"[c >> 4];
            out += "0123456789abcdef"[c & 15];
        }
        return out;
    };
    int n = 0;
    for (const message_case& c : cases) {
        SCOPED_TRACE(c.name);
        buffer pdu = cat({hex("8C 84 98 'T-mime' 00 8D 90 89 07 80 '+4915' 00"),
                          c.to ? hex("97 '+4916' 00") : buffer(), hex("84"), c.content_type,
                          encode_uintvar(static_cast<std::uint32_t>(c.parts.size()))});
        std::string perl_wants =
            "content type=" + c.kind + " start=" + c.start + " type=" + c.type + "\n";
        for (std::size_t k = 0; k < c.parts.size(); ++k) {
            const part& p = c.parts[k];
            pdu = cat({pdu, entry(p.headers, p.data)});
            perl_wants += "part " + std::to_string(k + 1) + " type=" + p.type +
                          " charset=" + p.charset + " data=" + hex_of(p.data) + " name=" + p.name +
                          "\n";
        }
        receive("rcv 4 " + pdu_file(std::string(pdu.begin(), pdu.end())).string() +
                    " to=+4917/TYPE=PLMN from=+4918",
                DELIVERED);
        const std::string request = "request " + std::to_string(++n);
        const auto line = vasp_->wait_for_line(request + " path=");
        ASSERT_TRUE(line) << daemon_->log();
        EXPECT_NE(line->find(c.to ? "Number=+4915,+4916" : "Number=+4915,+4917"), std::string::npos)
            << *line;
        EXPECT_TRUE(vasp_->seen(request + " content type=" + c.kind + " start=" + c.start +
                                " boundary-ok=True type=" + c.type + " start-ok=True"))
            << testing::PrintToString(vasp_->lines());
        for (std::size_t k = 0; k < c.parts.size(); ++k) {
            const part& p = c.parts[k];
            const auto part_line =
                vasp_->wait_for_line(request + " part " + std::to_string(k + 1) + " ");
            EXPECT_TRUE(part_line &&
                        part_line->find("content-type=" + p.type + " ") != std::string::npos &&
                        part_line->ends_with(" charset=" + p.charset + " name=" + p.name))
                << part_line.value_or("(none)");
            EXPECT_EQ(saved(n, static_cast<int>(k + 1)), p.data);
        }
        const fs::path saved_dir = vasp_->dir() / "save" / ("request-" + std::to_string(n));
        const auto [status, perl_read] =
            e2e::shell("perl " MM7_SOURCE_DIR "/tests/support/mime_parts.pl " +
                       (saved_dir / "head.txt").string() + " " + (saved_dir / "body.txt").string());
        EXPECT_EQ(status, 0);
        EXPECT_EQ(perl_read, perl_wants);
    }
}

// Hostile PDUs: either a complete, well-formed request or none at all.
TEST_F(DeliveryE2E, HostilePdusAreRefusedOrDeliveredWhole) {
    const std::string big = "image/png" + std::string(4100, '\0');
    const std::string evil("text/plain\0\xC0<a>\r\nX-Evil: 1\0", 28);
    const std::string forged = "[12-07_01:02:03:004] mm7_client: transaction T delivered";
    std::string many_to = retrieve_pdu(1, {entry(PNG_HEADERS, "abc")}, "T-many");
    for (int i = 0; i < 1300; ++i) {  // each recipient makes a line at debug level
        many_to.insert(12, std::string("\x97\x31\0", 3));  // To: 1
    }
    struct hostile_case {
        std::string pdu;
        const char* needle;
        int parts;  // parts the stand-in must see, -1 when nothing may be sent
        bool kept;  // a copy of the PDU goes to spool/bad/
    } const cases[] = {
        {retrieve_pdu(1, {entry(PNG_HEADERS, "abc", 0, 1)}),
         "entry data runs past the end of the PDU (entry 1), dropped; the original PDU is kept as ",
         -1, true},
        {retrieve_pdu(1, {entry(PNG_HEADERS, "", 40)}), "entry header block runs past the end", -1,
         true},
        {retrieve_pdu(1, {entry(big, "x")}), "over 4096 bytes", -1, true},
        {retrieve_pdu(1, {hex("FF FF FF FF FF FF 01")}), "entry length unreadable", -1, true},
        {retrieve_pdu(3, {entry(PNG_HEADERS, "abc")}), "nParts = 3 but the content holds 1 entries",
         1, false},
        {retrieve_pdu(1, {entry("image/png", "abc")}), DELIVERED, 1, false},  // unterminated text
        {retrieve_pdu(2, {entry(evil, "hi"), entry(PNG_HEADERS, "abc")}), DELIVERED, 2, false},
        // A defect after whole entries: those are delivered.
        {retrieve_pdu(3, {entry(PNG_HEADERS, "abc"), entry(PNG_HEADERS, "de"),
                          entry(PNG_HEADERS, "last", 0, 9)}),
         "entry data runs past the end of the PDU (entry 3), the 2 entries before it are delivered",
         2, true},
        {retrieve_pdu(2, {entry(PNG_HEADERS, "abc"), entry("", "x")}),
         "entry without a content type (entry 2), the 1 entries before it are delivered", 1, true},
        {retrieve_pdu(1, {entry(PNG_HEADERS, "abc"), hex("00 00 00")}),
         "3 bytes after the last of 1 entries ignored (entry without a content type)", 1, true},
        {many_to, "delivery of transaction T-many: suppressed ", 1, false},
        // A transaction id that carries a line of its own stays on the lines of the message.
        {retrieve_pdu(1, {entry(PNG_HEADERS, "abc")}, "T\n" + forged), DELIVERED, 1, false},
        {std::string("\x8C\x84\x98T-plain\0\x8D\x90\x84\x83hello", 20),  // one plain-text body
         "ignoring content-type = text/plain\n", -1, true},
    };
    std::size_t kept = 0;
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.needle);
        const fs::path file = pdu_file(c.pdu);
        for (const char* flags : {"4", "1"}) {
            if (*flags == '1' && c.pdu.size() > 3800) {
                continue;
            }
            receive(std::string("rcv ") + flags + " " + file.string(), c.needle);
            kept += c.kept ? 1 : 0;
            if (c.parts >= 0) {
                ASSERT_TRUE(daemon_->wait_for_log_count(DELIVERED, requests_ + 1));
                auto line =
                    vasp_->wait_for_line("request " + std::to_string(++requests_) + " path=");
                EXPECT_NE(line.value_or("").find(" parts=" + std::to_string(c.parts) + " "),
                          std::string::npos)
                    << line.value_or("(none)");
            }
        }
    }
    EXPECT_EQ(vasp_->count("accepted "), static_cast<std::size_t>(requests_));
    EXPECT_EQ(e2e::count_files(daemon_->workdir() / "spool" / "bad", ".pdu"), kept);
    EXPECT_FALSE(vasp_->seen("mime-error"));
    EXPECT_TRUE(vasp_->seen("content-id=<a>X-Evil: 1 "));  // one header line, value kept
    EXPECT_EQ(daemon_->log().find("\n" + forged), std::string::npos);
    EXPECT_EQ(daemon_->log_count("transaction T\\x0A" + forged + " delivered to the VASP"), 2u);
}

// What endpoint stacks that read a body by its Content-Length only (Python's http.server here)
// receive: every shape of message, byte for byte, with an exact Content-Length; the reports name
// the indication's parties as plain numbers.  The chunked framing stays available by option.
TEST_F(DeliveryE2E, EveryMessageShapeArrivesWithAnExactLength) {
    start_vasp({"--stack", "http.server"});
    const std::string smil = "<smil>\r\n<body><par><img src=\"i\"/></par></body>\r\n</smil>\xE4";
    std::string binary;
    for (int i = 0; i < 3 * 256; ++i) {
        binary += static_cast<char>(i);
    }
    const std::string png = part_headers("image/png", "<i>");
    const std::string text = part_headers("text/plain", "<t>");
    const std::string smil_headers = part_headers("application/smil", "<s>");
    const std::string indication = " to=+4917/TYPE=PLMN from=+4918/TYPE=PLMN";
    struct shape {
        std::string name, pdu;
        strings parts;  // the entries' data
    };
    std::vector<shape> shapes = {
        {"one part", retrieve_pdu(1, {entry(png, "abc")}), {"abc"}},
        {"two parts", retrieve_pdu(2, {entry(smil_headers, smil), entry(png, "")}), {smil, ""}},
        {"three parts",
         retrieve_pdu(3, {entry(smil_headers, smil), entry(text, "hi\r\n"), entry(png, binary)}),
         {smil, "hi\r\n", binary}},
        // No content at all: reports that name no parties of their own.
        {"delivery report", std::string("\x8C\x86\x8D\x90\x8Bmsg-1\0\x95\x81", 13), {}},
        {"read report", std::string("\x8C\x88\x8D\x90\x8Bmsg-2\0\x9B\x80", 13), {}},
    };
    for (const std::size_t size : {23999, 24000, 24001, 48001}) {  // around the 24000-byte read
        const std::string data(size, static_cast<char>('a' + size % 7));
        shapes.push_back(
            {std::to_string(size) + " bytes", retrieve_pdu(1, {entry(png, data)}), {data}});
    }
    int requests = 0;
    for (const shape& s : shapes) {
        SCOPED_TRACE(s.name);
        receive("rcv 4 " + pdu_file(s.pdu).string() + indication, DELIVERED);
        const std::string n = std::to_string(++requests);
        auto line = vasp_->wait_for_line("request " + n + " path=/mm7-client soap=");
        ASSERT_TRUE(line) << daemon_->log();
        const bool content = s.name.find("report") == std::string::npos;
        EXPECT_TRUE(content || line->find("Number=+4917,+4918") != std::string::npos) << *line;
        expect_raw_request(saved_file(requests, "head.txt"), saved_file(requests, "body.txt"),
                           s.parts, content);
    }
    for (const std::string& line : vasp_->lines()) {
        EXPECT_TRUE(line.find("excess") == std::string::npos &&
                    line.find("mime-error") == std::string::npos &&
                    line.find(" 400") == std::string::npos)
            << line;
    }

    start_vasp();
    start_daemon({"--clienturl", "http://127.0.0.1:8080/mm7-client", "--clientchunked", "1"});
    receive("rcv 4 " + pdu_file(shapes[7].pdu).string(), DELIVERED);  // 24001 bytes, chunked
    ASSERT_TRUE(vasp_->wait_for_line("request 1 complete bytes="));
    EXPECT_TRUE(vasp_->seen("request 1 complete bytes=" +
                            std::to_string(saved_file(1, "body.txt").size()) + " framing=chunked"));
    EXPECT_NE(saved_file(1, "head.raw").find("\r\nTransfer-Encoding: chunked\r\n"),
              std::string::npos);
}

// Credentials in the client URL reach the endpoint (wsgiref here) as Basic credentials, never in
// Host and never in the log; a URL without a host keeps the message without connecting.
TEST_F(DeliveryE2E, ClientUrlCredentialsGoInAuthorization) {
    start_vasp({"--stack", "wsgiref", "--auth", "mm7 user:p@ss:word"});
    const fs::path file = pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, "abc")}));
    const std::string no_host = "http_open: the client URL has no host, cannot connect";
    // From a file (no password in the process list), the password may keep its '@' unencoded.
    const fs::path url_file = in_.path() / "client.url";
    e2e::write_file(url_file, "http://mm7%20user:p@ss:word@127.0.0.1:8080/mm7-client\n");
    fs::permissions(url_file, fs::perms::owner_read | fs::perms::owner_write);
    const std::pair<strings, std::string> cases[] = {
        {{"--clienturl", "http://mm7%20user:p%40ss:word@127.0.0.1:8080/mm7-client"}, DELIVERED},
        {{"--clienturlfile", url_file.string()}, DELIVERED},
        {{"--clienturl", "http://127.0.0.1:8080/mm7-client"},
         "rejected by the VASP: HTTP/1.0 401 Unauthorized"},
        {{"--clienturl", "http://mm7%20user:p%40ss:word@:8080/mm7-client"}, no_host},
    };
    int requests = 0;
    for (const auto& [args, outcome] : cases) {
        SCOPED_TRACE(args[1]);
        start_daemon(args);
        fds_ = e2e::open_fds(daemon_->pid());
        receive("rcv 4 " + file.string(), outcome);
        EXPECT_TRUE(outcome == no_host ||
                    vasp_->wait_for_line("request " + std::to_string(++requests) +
                                         (outcome == DELIVERED ? " authorized" : " unauthorized")));
        EXPECT_FALSE(daemon_->log_contains("p%40ss") || daemon_->log_contains("ss:word") ||
                     daemon_->log_contains("bW03IHVzZXI6"))
            << daemon_->log();
    }
    EXPECT_TRUE(daemon_->log_contains("spooled as entry"));
    EXPECT_FALSE(vasp_->seen("request 4"));
    const std::string head = saved_file(1, "head.txt");
    EXPECT_NE(head.find("\nHost: 127.0.0.1:8080\n"), std::string::npos) << head;
}

// The VASP's answer is judged on its whole head and its parsed body, as stacks write them.
TEST_F(DeliveryE2E, RepliesAreJudgedOnTheirHeadAndParsedBody) {
    auto http = [](const std::string& head, const std::string& body) {
        return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    auto mm7 = [](const std::string& status) {
        return "<?xml version=\"1.0\"?>\n<soap-env:Envelope xmlns:soap-env=\"http://"
               "schemas.xmlsoap.org/soap/envelope/\"><soap-env:Body><mm7:DeliverRsp xmlns:mm7="
               "\"urn:mm7\"><mm7:Status><mm7:StatusCode>" +
               status +
               "</mm7:StatusCode></mm7:Status></mm7:DeliverRsp></soap-env:Body>"
               "</soap-env:Envelope>";
    };
    const std::string body = mm7("1000");
    const std::size_t cut = body.find("StatusCode>") + 6;
    const std::pair<std::string, std::string> cases[] = {
        // The body after a pause, its StatusCode with blanks around it.
        {std::regex_replace(http("HTTP/1.1 200 OK\r\n", mm7("\n  1000\n")), std::regex("\r\n\r\n"),
                            "\r\n\r\n<pause>"),
         "delivered to the VASP (HTTP/1.1 200 OK, StatusCode 1000)"},
        // Chunked, with the chunk boundary inside the element name.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + itoa_hex(cut) + "\r\n" +
             body.substr(0, cut) + "\r\n" + itoa_hex(body.size() - cut) + "\r\n" +
             body.substr(cut) + "\r\n0\r\n\r\n",
         "delivered to the VASP (HTTP/1.1 200 OK, StatusCode 1000)"},
        // No MM7 response, and the connection left open.
        {http("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", "<html><p>OK</p></html>") +
             "<keep-open>",
         "delivered to the VASP (HTTP/1.1 200 OK, StatusCode none)"},
        // Lines ended by LF alone, and a head that comes in two pieces.
        {"HTTP/1.1 200 OK\nContent-Type: text/xml\n<pause>\n" + mm7("2002"),
         "refused by the VASP as a client error: HTTP/1.1 200 OK, StatusCode 2002"},
    };
    for (const auto& [reply, outcome] : cases) {
        SCOPED_TRACE(reply);
        std::string escaped;
        for (const char c : reply) {
            escaped += c == '\r'   ? "\\r"
                       : c == '\n' ? "\\n"
                       : c == '\\' ? "\\\\"
                                   : std::string(1, c);
        }
        vasp("reply " + escaped);
        receive("rcv 4 " + pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, "abc")})).string(),
                outcome);
    }
    // Every connection carried a whole request.
    EXPECT_EQ(vasp_->count("accepted "), std::size(cases));
    EXPECT_EQ(vasp_->count(" complete bytes="), std::size(cases));
}

// A VASP that misbehaves: every delivery ends with its outcome on one line, nothing leaks, and
// submissions are served meanwhile.  The stalled ones end at the 60-second progress deadline,
// one whose answer drips a byte a second at the total deadline (60 s for a small message).
TEST_F(DeliveryE2E, MisbehavingVaspEndsEachDeliveryWithItsOutcome) {
    start_vasp({"--slow-bytes", "16384", "--slow-interval", "0.01"});  // 16 kB every 10 ms
    const fs::path big = pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, std::string(8 << 20, 'z'))}));
    const fs::path small = pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, "abc")}), "small");
    const std::pair<std::string, std::string> cases[] = {
        {"refuse", "failed, no connection: connection failed: Connection refused"},
        {"close-early", "failed, connection lost"},
        {"answer-early", "failed, premature reply: HTTP/1.1 200 OK"},
        {"slow", "delivered to the VASP (HTTP/1.1 200 OK, StatusCode 1000)"},
        {"never-answer", "failed, timed out: no progress for 60 s in state 10"},
        {"never-read", "failed, timed out: no progress for 60 s in state 5"},
        {"drip", "failed, timed out: not done within 61 s in state 10"},
        // Interim responses while the body is still being written are skipped.
        {"continue", "interim response skipped: HTTP/1.1 102 Processing"},
    };
    for (const auto& [name, outcome] : cases) {
        vasp("mode " + name);
        sim_->command("rcv 4 " + (name == "drip" ? small : big).string());
        // The first connection made ends the wait of the refused message, which is tried
        // again at once: close-early takes both.
        ASSERT_TRUE(name == "refuse" ? daemon_->wait_for_log(outcome)
                    : name == "close-early"
                        ? vasp_->wait_for_line("accepted 2 mode=close-early").has_value()
                        : vasp_->wait_for_line("mode=" + name).has_value())
            << daemon_->log();
    }
    // The delivery streams the spool's own copy, which the module cannot change; when that
    // shrinks while it is streamed, the request is cut off, never completed.
    const fs::path spool = daemon_->workdir() / "spool";
    vasp("mode slow");
    sim_->command("rcv 4 " + big.string());
    ASSERT_TRUE(vasp_->wait_for_line("accepted 9 mode=slow"));
    fs::path copy;  // the newest entry
    for (const auto& f : fs::directory_iterator(spool)) {
        copy = f.path().extension() == ".pdu" ? std::max(copy, f.path()) : copy;
    }
    fs::resize_file(copy, 1 << 20);
    expect_log("failed, bad PDU: PDU file ends inside a part (part 1 of " + copy.string());
    EXPECT_TRUE(vasp_->wait_for_line("request 9 incomplete"));
    vasp("mode normal");
    const std::string reply = e2e::exchange(e2e::submit_request());
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    for (const auto& [name, outcome] : cases) {
        expect_log(outcome, 120s);
    }
    EXPECT_EQ(daemon_->log_count("mm7_client: "), std::size(cases) + 2);
    EXPECT_EQ(daemon_->log_count("delivered to the VASP (HTTP/1.1 200 OK, StatusCode 1000)"), 2u);
    EXPECT_TRUE(vasp_->seen("request 5 incomplete") || vasp_->seen("request 5 complete"));
}

// Durable delivery, retries after 1 s.
class SpoolE2E : public Delivery {
  protected:
    void SetUp() override {
        start_vasp();
        start({}, args());
    }
    strings args(strings extra = {}) const {
        extra.insert(extra.begin(), {"--workdir", work_.path().string() + "/", "--retrydelay", "1",
                                     "--clienturl", "http://127.0.0.1:8080/mm7-client"});
        return extra;
    }
    void send(const std::string& tid, std::string_view data) {
        const fs::path file = pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, data)}, tid), tid);
        sim_->command("rcv 1 " + file.string() + " to=+4917 from=+4918");
    }
    std::size_t spooled(const char* suffix = ".meta", std::string_view sub = "") {
        return e2e::count_files(work_.path() / "spool" / sub, suffix);
    }
    // Nothing more reaches the VASP in the next few retry intervals.
    void expect_no_more_requests(std::size_t seen) {
        EXPECT_FALSE(vasp_->wait_for_line("accepted " + std::to_string(seen + 1), 4s));
        EXPECT_EQ(spooled(), 0u);
    }
    e2e::temp_dir work_{"mm7-spool"};
};

// The VASP answers, but does not take the message at first: retried until it does, then never
// again; a client-error StatusCode is dropped at once.
TEST_F(SpoolE2E, UntakenMessagesAreRetriedUntilTakenAndClientErrorsDropped) {
    struct answer_case {
        std::string tid, status, mm7_status;
        int failures;     // answers before the VASP is set right
        std::string end;  // the log line that ends the message's story
    } const cases[] = {
        {"T-500", "500", "1000", 2, "transaction T-500 delivered to the VASP"},
        {"T-4xxx", "200", "4006", 2, "transaction T-4xxx delivered to the VASP"},
        {"T-100", "200", "100", 1, "transaction T-100 delivered to the VASP"},  // not 4 digits
        {"T-2xxx", "200", "2002", 1, "dropped transaction T-2xxx from +4918 to +4917 (entry "},
    };
    std::size_t requests = 0;
    for (const answer_case& c : cases) {
        SCOPED_TRACE(c.tid);
        vasp("status " + c.status);
        vasp("mm7-status " + c.mm7_status);
        send(c.tid, c.tid);
        for (int i = 0; i < c.failures; ++i) {
            ASSERT_TRUE(vasp_->wait_for_line(
                "answered " + std::to_string(++requests) + " " + c.status, 15s));
        }
        vasp("status 200");
        vasp("mm7-status 1000");
        expect_log(c.end);
        requests = vasp_->count("accepted ");
        expect_no_more_requests(requests);
    }
    EXPECT_EQ(requests, 3u + 3 + 2 + 1);
}

// While the VASP is unreachable, a probe that connects ends the wait of every message at once,
// even when it then hangs.
TEST_F(SpoolE2E, ProbeThatConnectsEndsTheWaitEvenWhenItHangs) {
    vasp("mode refuse");
    for (const char* tid : {"T-probe", "T-next"}) {
        send(tid, tid);
        expect_log(std::string("transaction ") + tid +
                   " not delivered (try 1), the VASP is unreachable");
    }
    vasp("mode never-answer");
    ASSERT_TRUE(vasp_->wait_for_line("accepted 1 mode=never-answer", 15s));
    expect_log("spool: the VASP is back, 2 messages waiting");
    EXPECT_TRUE(vasp_->wait_for_line("accepted 2 mode=never-answer", 10s)) << daemon_->log();
}

// Messages sent while the VASP is down are tried again until it is back; a full spool drops its
// oldest entry first.  The kernel module may write its next message under the name of one
// already spooled: each message reaches the VASP as it was when it arrived.
TEST_F(SpoolE2E, MessagesSentWhileTheVaspIsDownArriveAsTheyWereOnceItIsBack) {
    start_daemon(args({"--storagesize", "2"}));
    vasp("mode refuse");
    const fs::path file = in_.path() / "in.mm1";
    for (const std::string data : {"first-message", "other-message", "third-message"}) {
        e2e::write_file(file, retrieve_pdu(1, {entry(PNG_HEADERS, data)}, "T-" + data));
        sim_->command("rcv 4 " + file.string() + " to=+4917 from=+4918");
        expect_log("transaction T-" + data + " not delivered (try 1)");
    }
    expect_log("dropped transaction T-first-message from +4918 to +4917 (entry ");
    expect_log("the spool is full (2 messages)");
    expect_log("transaction T-other-message not delivered (try 2), the VASP is unreachable");
    vasp("mode normal");
    ASSERT_TRUE(daemon_->wait_for_log_count(DELIVERED, 2));
    EXPECT_EQ((std::set<std::string>{saved(1), saved(2)}),
              (std::set<std::string>{"other-message", "third-message"}));  // of one size
    EXPECT_FALSE(daemon_->log_contains("transaction T-first-message delivered"));
    expect_no_more_requests(2);
}

// A daemon killed while the VASP holds a delivery delivers it after the restart, which drops an
// entry past the age bound and the oldest beyond --storagesize, and moves aside a corrupt entry,
// one with a number out of range and an orphaned PDU.
TEST_F(SpoolE2E, KilledDaemonDeliversAfterRestartAndBadEntriesAreMovedAside) {
    vasp("mode never-answer");
    send("T-kill", "kept across a kill");
    ASSERT_TRUE(vasp_->wait_for_line("not answering 1"));
    kill(daemon_->pid(), SIGKILL);
    ASSERT_TRUE(daemon_->wait_for_exit());
    ASSERT_EQ(spooled(), 1u);
    const fs::path spool = work_.path() / "spool";
    fs::path meta;
    for (const auto& e : fs::directory_iterator(spool)) {
        meta = e.path().extension() == ".meta" ? e.path() : meta;
    }
    const std::string record = e2e::read_file(meta);
    auto plant = [&](std::string number, std::string text) {
        fs::copy_file(fs::path(meta).replace_extension(".pdu"), spool / (number + ".pdu"));
        if (!text.empty()) {
            e2e::write_file(spool / (number + ".meta"), text);
        }
    };
    auto with = [&](const std::string& tid, const std::string& received = "") {
        const std::string text = std::regex_replace(record, std::regex("T-kill"), tid);
        return received.empty()
                   ? text
                   : std::regex_replace(text, std::regex("received \\d+"), "received " + received);
    };
    plant("00000000000000000001", record.substr(0, record.size() / 2));  // cut mid-write
    plant("00000000000000000002", "");                                   // no record at all
    plant("00000000000000000003", with("T-range", "-9223372036854775808"));
    for (int i = 0; i < 8; ++i) {  // the 6 oldest go beyond --storagesize 4
        plant("0000000000000000001" + std::to_string(i), with("T-many-" + std::to_string(i)));
    }
    plant("00000000000000000020", with("T-aged", "1"));
    vasp("mode normal");
    start_daemon(args({"--storagesize", "4"}));
    expect_log("entry 00000000000000000001 moved to " + spool.string() +
               "/bad/: its record is truncated or corrupt");
    expect_log("entry 00000000000000000002 moved to");
    expect_log("entry 00000000000000000003 moved to");
    expect_log(
        "dropped 6 messages, entries 00000000000000000010 to 00000000000000000015 (transactions "
        "T-many-0 to T-many-5): the spool is full (4 messages)");
    expect_log(
        "dropped transaction T-aged from +4918 to +4917 (entry 00000000000000000020, 0 tries): "
        "older than 48 hours");
    for (const char* tid : {"T-many-6", "T-many-7", "T-kill"}) {
        expect_log(std::string("spool: try 1 of transaction ") + tid);
    }
    // The PDUs are copies: each carries the transaction id T-kill.
    EXPECT_TRUE(daemon_->wait_for_log_count("transaction T-kill delivered to the VASP", 3));
    EXPECT_EQ(daemon_->log_count("dropped transaction"), 1u);
    EXPECT_EQ(spooled(".pdu", "bad"), 3u);
    expect_no_more_requests(4);
}

// Copies of undeliverable PDUs stay within --badage and --badsize, at start-up and as they come;
// the oldest go first, and a folder exactly at its bound keeps everything.
TEST_F(SpoolE2E, KeptCopiesOfUndeliverablePdusStayWithinTheirBounds) {
    kill(daemon_->pid(), SIGTERM);
    ASSERT_TRUE(daemon_->wait_for_exit());
    const fs::path bad = work_.path() / "spool" / "bad";
    const auto copy = [&](int n) {
        return bad / ("0000000000000000000" + std::to_string(n) + ".pdu");
    };
    e2e::write_file(copy(1), std::string(500, 'a'));
    fs::last_write_time(copy(1), fs::last_write_time(copy(1)) - std::chrono::hours(2));
    e2e::write_file(copy(2), std::string(1000, 'b'));
    e2e::write_file(copy(3), std::string(1000, 'c'));
    start_daemon(args({"--badsize", "2000", "--badage", "1"}));
    expect_log("spool: 1 copies (500 bytes) removed from " + bad.string() +
               "/: older than 1 hours");
    EXPECT_TRUE(fs::exists(copy(2)) && fs::exists(copy(3)));
    receive("rcv 4 " + pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, "abc", 0, 1)})).string(),
            "entry data runs past the end of the PDU");
    expect_log("spool: 1 copies (1000 bytes) removed from " + bad.string() +
               "/: it held more than 2000 bytes");
    EXPECT_FALSE(fs::exists(copy(2)));
    EXPECT_TRUE(fs::exists(copy(3)));
    EXPECT_EQ(spooled(".pdu", "bad"), 2u);
}

// A spool that cannot be written, on a tmpfs of its own: each message is held in memory, tried
// like a spooled one and written out as soon as the spool can take it; a removed spool directory
// is made again at once.  Beyond 64 MiB held, the line says the message is lost.
class SpoolTroubleE2E : public SpoolE2E {
  protected:
    void SetUp() override {
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(mount("tmpfs", work_.path().c_str(), "tmpfs", 0, "size=80m"), 0);
        SpoolE2E::SetUp();
    }
    void TearDown() override {
        SpoolE2E::TearDown();
        daemon_.reset();
        umount(work_.path().c_str());
    }
    std::size_t on_disk() { return fs::is_directory(work_.path() / "spool") ? spooled() : 0; }
};

TEST_F(SpoolTroubleE2E, UnwritableSpoolHoldsMessagesUntilItCanBeWritten) {
    const fs::path spool = work_.path() / "spool";
    const fs::path filler = work_.path() / "filler";
    auto fill = [&] {  // up to the last page
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const std::string chunk(1 << 16, 'f');
        for (std::size_t n = chunk.size(); n > 0; n = n > 1 ? n / 16 : 0) {
            while (write(fd, chunk.data(), n) > 0) {
            }
        }
        close(fd);
    };
    struct trouble_case {
        const char* tid;
        std::function<void()> make, mend;
        const char* error;  // nullptr: the message is spooled all the same
    } const cases[] = {
        {"T-full", fill, [&] { fs::remove(filler); }, "No space left on device"},
        {"T-file",
         [&] {
             fs::remove_all(spool);
             e2e::write_file(spool, "in the way");
         },
         [&] { fs::remove(spool); }, "Not a directory"},
        {"T-gone", [&] { fs::remove_all(spool); }, [] {}, nullptr},
    };
    for (const trouble_case& c : cases) {
        SCOPED_TRACE(c.tid);
        const std::string tid = c.tid;
        vasp("mode refuse");
        c.make();
        send(tid, tid);
        if (c.error != nullptr) {
            expect_log("spool: CANNOT SPOOL transaction " + tid + " from +4918 to +4917: cannot ");
            EXPECT_TRUE(daemon_->log_contains(std::string(c.error) + "; held in memory as entry"));
        }
        expect_log("transaction " + tid + " not delivered (try 1)");
        EXPECT_EQ(on_disk(), 0u + (c.error == nullptr));
        c.mend();
        EXPECT_TRUE(e2e::wait_until([&] { return on_disk() == 1; })) << daemon_->log();
        vasp("mode normal");
        expect_log("transaction " + tid + " delivered to the VASP");
        EXPECT_TRUE(e2e::wait_until([&] { return on_disk() == 0; }));
    }
    // Two messages of 32 MiB and a bit while the disk is full: the second one finds no room in
    // memory either.
    const std::string image((32 << 20) + 1, 'i');
    vasp("mode refuse");
    fill();
    for (const char* tid : {"T-big1", "T-big2"}) {
        sim_->command("rcv 4 " +
                      pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, image)}, tid), tid).string());
    }
    expect_log("transaction T-big1 not delivered (try 1)");
    expect_log("delivery of transaction T-big2 failed, no connection");
    expect_log("spool: CANNOT SPOOL transaction T-big1 from ? to ?: cannot ");
    expect_log("spool: CANNOT SPOOL transaction T-big2 from ? to ?: cannot ");
    expect_log("; no room in memory either (");
    EXPECT_TRUE(daemon_->log_contains(
        " bytes held), the delivery is tried once and THE MESSAGE IS LOST if it fails"));
    fs::remove(filler);
    EXPECT_TRUE(e2e::wait_until([&] { return on_disk() == 1; })) << daemon_->log();
}

}  // namespace

// nginx terminating TLS on 127.0.0.1:8443 for localhost alone (a handshake that names no server
// is refused) in front of the endpoint on 8080; DIR/access.log shows the name and client asked.
std::unique_ptr<e2e::process> nginx(const fs::path& dir, const e2e::test_pki& pki,
                                    const std::string& cert, bool demand) {
    const std::string conf = R"(user root; pid @pid; error_log @log; events {}
http { log_format t 'sni=$ssl_server_name client=$ssl_client_s_dn'; access_log @access.log t;
  client_body_temp_path @; proxy_temp_path @; client_max_body_size 0;
  server { listen 127.0.0.1:8443 ssl default_server; ssl_reject_handshake on; }
  server { listen 127.0.0.1:8443 ssl; server_name localhost; ssl_certificate PKI/CERT.pem;
    ssl_certificate_key PKI/CERT.key; ssl_client_certificate PKI/ca.pem; ssl_verify_client DEMAND;
    location / { proxy_pass http://127.0.0.1:8080; proxy_request_buffering off; } } })";
    const std::string d = dir.string() + "/";
    e2e::write_file(
        d + "conf",
        std::regex_replace(
            std::regex_replace(std::regex_replace(std::regex_replace(conf, std::regex("@"), d),
                                                  std::regex("PKI"), pki.dir_.path().string()),
                               std::regex("CERT"), cert),
            std::regex("DEMAND"), demand ? "on" : "off"));
    auto child = std::make_unique<e2e::process>(
        strings{"/usr/sbin/nginx", "-p", d, "-c", d + "conf", "-g", "daemon off;"}, dir);
    EXPECT_TRUE(e2e::wait_until([&] { return fs::exists(d + "pid"); }));
    return child;
}

// Deliveries to an https client URL, to Python's ssl module (mm7-sink) and to nginx in front of
// a plain endpoint, with and without a client certificate: the message is sent, streamed in
// pieces as the TLS connection takes them, only to an endpoint that proves its name.  Any other
// gets no byte of it, in the clear or not; the message stays in the spool and is tried again.
TEST_F(Delivery, HttpsEndpointsGetTheMessageOnlyOnceTheyProveTheirName) {
    const e2e::test_pki pki;
    start();
    const std::string data(4 << 20, '\x89');  // many short writes on the way
    const fs::path file = pdu_file(retrieve_pdu(1, {entry(PNG_HEADERS, data)}));
    const strings ca = {"--clientcafile", pki("ca.pem")};
    const strings mine = {"--clientcafile",  pki("ca.pem"), "--clientcert",
                          pki("client.pem"), "--clientkey", pki("client.key")};
    const struct {
        std::string endpoint, cert;  // sink (mm7-sink), nginx, or clear (a recorder of bytes)
        bool demand;                 // the endpoint demands a client certificate
        std::string host;
        strings options;
        std::string outcome;  // in the log
    } rows[] = {
        {"sink", "server", false, "127.0.0.1", ca, DELIVERED},
        {"sink", "server", true, "127.0.0.1", mine, DELIVERED},
        {"nginx", "server", true, "localhost", mine, DELIVERED},
        // TLS 1.3 lets the client write before the server refuses: the request is lost in TLS.
        {"sink", "server", true, "127.0.0.1", ca, "failed, connection lost: "},
        {"sink", "server", false, "127.0.0.1", {}, "(self-signed certificate in certificate"},
        {"sink", "self", false, "127.0.0.1", ca, "verify failed (self-signed certificate)"},
        {"sink", "other", false, "127.0.0.1", ca, "verify failed (IP address mismatch)"},
        {"nginx", "other", false, "localhost", ca, "verify failed (hostname mismatch)"},
        {"clear", "", false, "127.0.0.1", ca, "with 127.0.0.1:8443: wrong version number"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.endpoint + " " + r.cert + " " + r.host + " " + r.outcome);
        std::unique_ptr<e2e::process> front;
        const fs::path wire = in_.path() / "wire";
        fs::create_directories(wire);
        strings tls = {"--port",        "8443",
                       "--tlscert",     pki(r.cert + ".pem"),
                       "--tlskey",      pki(r.cert + ".key"),
                       "--tlsclientca", pki("ca.pem")};
        if (r.endpoint != "clear") {
            start_vasp(r.endpoint == "nginx" ? strings()
                                             : strings(tls.begin(), tls.end() - (r.demand ? 0 : 2)),
                       true);
            front = r.endpoint == "nginx" ? nginx(wire, pki, r.cert, r.demand) : nullptr;
        } else {  // every connection's bytes into wire-N, answered as a clear server would
            front = std::make_unique<e2e::process>(
                strings{"/usr/bin/python3", "-c",
                        "import socket\ns = socket.create_server(('127.0.0.1', 8443))\n"
                        "for n in range(1, 100):\n c = s.accept()[0]\n"
                        " open('wire-%d' % n, 'wb').write(c.recv(65536))\n"
                        " c.sendall(b'HTTP/1.1 400 Bad Request\\r\\n\\r\\n'); c.close()\n"},
                wire);
        }
        strings options = {"--clienturl", "https://" + r.host + ":8443/mm7-client", "--retrydelay",
                           "1"};
        options.insert(options.end(), r.options.begin(), r.options.end());
        start_daemon(options);
        sim_->command("rcv 4 " + file.string());
        if (r.outcome == DELIVERED) {
            expect_log(DELIVERED, 60s);
            const auto line = vasp_->wait_for_line("request 1 DeliverReq");
            ASSERT_TRUE(line);
            EXPECT_EQ(e2e::read_file(vasp_->dir() / "save" / "0001-DeliverReq" / "1-img"), data);
            EXPECT_EQ(line->find("commonName=vasp-1") != std::string::npos, r.demand && !front);
            const std::string log = e2e::read_file(wire / "access.log");
            EXPECT_TRUE(!front || log.find("sni=localhost client=CN=vasp-1") != std::string::npos)
                << log;
            continue;
        }
        // Refused, and tried again; nothing of the request ever reached the endpoint.
        EXPECT_TRUE(daemon_->wait_for_log_count(r.outcome, 2, 20s)) << daemon_->log();
        EXPECT_EQ(e2e::count_files(daemon_->workdir() / "spool", ".meta"), 1u);
        const std::string hello = e2e::read_file(wire / "wire-1");
        EXPECT_TRUE(r.endpoint != "clear" ||
                    (hello.starts_with("\x16\x03") && hello.find("POST") == std::string::npos))
            << hello;
        EXPECT_FALSE(vasp_->seen("request ")) << "the endpoint was reached";
        EXPECT_TRUE(r.endpoint != "sink" || vasp_->seen("tls handshake failed"));
    }
}
