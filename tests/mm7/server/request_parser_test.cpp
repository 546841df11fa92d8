// The request parser on its own: whatever way a request is cut into reads, it reports the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/base64.h"
#include "mm7/server/mm7_server.h"
#include "request_transcript.h"
#include "support/e2e_fixture.h"

namespace {

using e2e::submit_request;
using e2e::test_submission;

using run = request_run;

run parse(std::string_view request) {
    return parse_request(request, [] { return std::size_t{1} << 30; });
}

// Feeds the request in pieces of random sizes, small ones first, and expects what it fed whole.
void expect_same_at_every_cut(std::string_view request, const run& whole) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        const unsigned most = round < 10 ? 3 : 20000;
        const run split = parse_request(request, [&] { return 1 + random() % most; });
        ASSERT_EQ(split.outcome, whole.outcome) << "round " << round;
        ASSERT_EQ(split.refusal, whole.refusal) << "round " << round;
        ASSERT_EQ(split.events, whole.events) << "round " << round;
    }
}

// Also when the body's lines end in a bare LF and a part header is folded: a CR or LF may fall
// on either side of a cut, and so may an escape, a soft break or trailing blanks of a long
// quoted-printable line.
TEST(RequestParser, ASubmissionReadsTheSameWhateverItsReadsAndFraming) {
    std::string qp, plain;
    for (int i = 0; i < 40000; ++i) {
        qp += "=41b ";
        plain += "Ab ";
    }
    plain.pop_back();  // the trailing blanks of a line are the transport's, not the text's
    test_submission s;
    s.parts.push_back({"image/png", "<big>", std::string(150000, 'Q') + "QQ==", "base64", ""});
    s.parts.push_back({"text/plain", "<raw>", std::string(100000, 'r') + "\r" + "end", "", ""});
    s.parts.push_back({"text/plain", "<qp>", qp + "  \r\nz=", "quoted-printable", ""});
    const std::string crlf = submit_request(s);
    const std::string folded = e2e::reshaped(crlf, {{"text/plain;", "text/plain;\r\n\t"}});
    for (const auto& [request, end] :
         {std::pair(crlf, "\r\n"), std::pair(e2e::bare_lf_body(folded), "\n")}) {
        const run whole = parse(request);
        ASSERT_EQ(whole.outcome, parse_outcome::complete);
        const auto& events = whole.events;
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const std::string& e) { return e.starts_with("end "); }),
                  6);
        for (const std::string& data : {"Hello from the VASP" + std::string(end) + "line two",
                                        std::string(100000, 'r') + "\rend", plain + end + "z"}) {
            EXPECT_NE(std::find(events.begin(), events.end(), "data+" + data), events.end());
        }
        expect_same_at_every_cut(request, whole);
        // A read that ends among the blanks at the end of the long quoted-printable line.
        for (std::size_t blanks : {1, 2}) {
            const std::size_t at = request.find("  " + std::string(end) + "z=") + blanks;
            bool first = true;
            EXPECT_EQ(
                parse_request(request, [&] { return std::exchange(first, false) ? at : 1u << 30; })
                    .events,
                whole.events);
        }
        const std::string framed = e2e::chunked(request);
        EXPECT_EQ(parse(framed).events, whole.events);
        expect_same_at_every_cut(framed, whole);
    }
}

// Requests as MIME writers and HTTP clients shape them: each row's outcome (the refusal, or ""
// for a complete request) and one event it must report.
TEST(RequestParser, TransferEncodingsTargetsAndIdsAsWritten) {
    const std::string request = submit_request();
    const std::string env_head = "Content-ID: <mm7_env>\r\n";
    const std::size_t env_at = request.find(env_head) + env_head.size() + 2;
    const std::string envelope =
        request.substr(env_at, request.find("\r\n--outer-boundary-1", env_at) - env_at);
    // The envelope in quoted-printable: "=" escaped, a soft break after every ">" (also at its
    // very end), its own line ends kept.
    std::string qp_envelope;
    for (char c : envelope) {
        qp_envelope += c == '=' ? "=3D" : c == '>' ? ">=\r\n" : std::string(1, c);
    }
    auto root = [&](const std::string& encoding, const std::string& body) {
        return e2e::reshaped(
            request, {{env_head, env_head + "Content-Transfer-Encoding: " + encoding + "\r\n"},
                      {envelope, body}});
    };
    auto part = [](const std::string& encoding, const std::string& body) {
        return e2e::submit_request_with([&](test_submission& s) {
            s.parts[1].transfer_encoding = encoding;
            s.parts[1].body = body;
        });
    };
    auto target = [&](const std::string& target) {
        return e2e::reshaped(request, {{"POST /mm7 ", "POST " + target + " "}});
    };
    auto header = [&](const std::string& line) {
        return e2e::reshaped(request, {{"HTTP/1.1\r\n", "HTTP/1.1\r\n" + line + "\r\n"}});
    };
    const std::string text = "data+Hello from the VASP\r\nline two";
    const std::string bad_encoding = "note Unsupported Content-Transfer-Encoding: ";
    const struct {
        std::string request, refusal, event;
    } rows[] = {
        {root("base64", *base64_encode(as_bytes(envelope))), "", text},
        {root("Quoted-Printable", qp_envelope), "", text},
        {root("x-gzip", envelope), "400 Bad Request", bad_encoding + "x-gzip"},
        // A soft break at the very end of each encoding's body.
        {part("quoted-printable", "Caf=C3=A9 =3D=\r\nsoft=20 \t\r\nlow=c3=a9 =4=\r\n=="), "",
         "data+Caf\xC3\xA9 =soft \r\nlow\xC3\xA9 =4="},
        {part("BASE64", "SGVsbG8g\r\nd29y bGQ=\r\n"), "", "data+Hello world"},
        {part("7bit", "a=41=\r\nb="), "", "data+a=41=\r\nb="},
        {part("8bit", "\xC3\xA9=\r\n="), "", "data+\xC3\xA9=\r\n="},
        {part("Binary", std::string("\0=", 2)), "", std::string("data+\0=", 7)},
        {part("x-uuencode", "x"), "400 Bad Request", bad_encoding + "x-uuencode"},
        // A Content-ID with a literal %-escape, named by an href written the same way.
        {e2e::reshaped(request, {{"cid:mms_cid", "cid:mms%41cid"}, {"<mms_cid>", "<mms%41cid>"}}),
         "", text},
        {target("/mm7?vasp=acme&x=/mm7/"), "", text},
        {target("http://127.0.0.1:8887/mm7"), "", text},
        {target("HTTP://gw.example/mm7?vasp=acme"), "", text},
        {target("/mm7/?vasp=acme"), "400 Bad request", ""},
        {target("http://gw.example/mm7/x"), "400 Bad request", ""},
        {target("http://gw.example"), "400 Bad request", ""},
        {target("/mm7#top"), "400 Bad request", ""},
        // Framing and credentials come once; nothing follows the version; Expect is
        // 100-continue or nothing.
        {e2e::reshaped(request, {{"HTTP/1.1\r\n", "HTTP/1.1 x\r\n"}}), "400 Bad request", ""},
        {e2e::reshaped(request, {{"HTTP/1.1\r\n", "HTTP/1.12\r\n"}}), "400 Bad request", ""},
        {header("Transfer-Encoding: chunked"), "400 Bad request",
         "note Transfer-Encoding together with Content-Length"},
        {header("Content-Length: 10"), "400 Bad request", "note Duplicate header content-length"},
        {header("Transfer-Encoding: identity\r\nTransfer-Encoding: identity"), "400 Bad request",
         "note Duplicate header transfer-encoding"},
        {header("Authorization: Basic a\r\nAuthorization: Basic b"), "400 Bad request",
         "note Duplicate header authorization"},
        {header("Expect: 100-Continue"), "", text},
        {header("Expect: 200-ok"), "417 Expectation Failed", "note Unsupported Expect: 200-ok"},
        {e2e::reshaped(request,
                       {{"multipart/related; boundary=\"inner-boundary-2\"; start=\"<smil_part>\"; "
                         "type=\"application/smil\"",
                         "image"}}),
         "400 Bad request",
         "note Bad content-type of Content: boundary=(null), start=(null), type=(null)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request.substr(0, 120));
        const run whole = parse(row.request);
        EXPECT_EQ(whole.outcome,
                  row.refusal.empty() ? parse_outcome::complete : parse_outcome::refused);
        EXPECT_EQ(whole.refusal, row.refusal);
        EXPECT_TRUE(row.event.empty() || std::find(whole.events.begin(), whole.events.end(),
                                                   row.event) != whole.events.end())
            << row.event;
        expect_same_at_every_cut(row.request, whole);
    }
}

TEST(RequestParser, AnMm1BodyEndsWithItsLengthOrItsLastChunk) {
    const std::string pdu = std::string("\x8c\x80\x98tid") + '\0' + std::string(3000, 'b');
    const std::string head =
        "POST /mm7 HTTP/1.1\r\nContent-Type: application/vnd.wap.mms-message\r\n"
        "X-QZM-Recipient-Id: 123\r\nContent-Length: " +
        std::to_string(pdu.size()) + "\r\n\r\n";
    const run whole = parse(head + pdu + "trailing junk");
    ASSERT_EQ(whole.outcome, parse_outcome::complete);
    EXPECT_EQ(whole.events.back(), "mm1+" + pdu);
    EXPECT_EQ(whole.events[whole.events.size() - 2],
              "note HandleMM1Body: got more data (" + std::to_string(pdu.size() + 13) +
                  ") than content length (" + std::to_string(pdu.size()) + ")");
    expect_same_at_every_cut(head + pdu, parse(head + pdu));
    const run framed = parse(e2e::chunked(head + pdu));
    EXPECT_EQ(framed.outcome, parse_outcome::complete);
    EXPECT_EQ(framed.events.back(), "mm1+" + pdu);
}

TEST(ParseMultipartParams, TokensOrQuotedStringsInAnyCaseAndOrder) {
    const struct {
        std::string_view value;
        opt_text boundary, start, type;
    } rows[] = {
        {"multipart/related; boundary=\"b-1\"; type=\"text/xml\"; start=\"<mm7_env>\"", "b-1",
         "<mm7_env>", "text/xml"},
        {"Multipart/Related;TYPE=text/xml;Start=<x>;boundary=b-1", "b-1", "<x>", "text/xml"},
        {"multipart/related;\tBoundary = \"a\\\"b;c\" ; start=\"\"; type; boundary=no",
         "a\"b;c",
         {},
         {}},
        {"multipart/related; boundary=\"open; start=\"<no-end", "open; start=", {}, {}},
        {"multipart/related; boundary=\"unterminated; start=<s>", {}, {}, {}},
    };
    for (const auto& row : rows) {
        opt_text boundary, start, type;
        ParseMultipartParams(row.value, boundary, start, type);
        EXPECT_EQ(boundary, row.boundary) << row.value;
        EXPECT_EQ(start, row.start) << row.value;
        EXPECT_EQ(type, row.type) << row.value;
    }
}

TEST(ResponseStatusMapping, ListedAndUnlistedValues) {
    const std::pair<int, int> rows[] = {{128, 1000}, {130, 4007}, {136, 4003}, {137, 3000},
                                        {192, 4005}, {196, 3000}, {227, 4001}, {229, 2004},
                                        {232, 4003}, {233, 3000}, {255, 3000}};
    for (auto [octet, status] : rows) {
        EXPECT_EQ(mm7_status_for_response(octet), status) << octet;
    }
}

}  // namespace
