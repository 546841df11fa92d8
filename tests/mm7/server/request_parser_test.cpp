// The request parser on its own: whatever way a request is cut into reads, it reports the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

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
// on either side of a cut.
TEST(RequestParser, ASubmissionReadsTheSameWhateverItsReadsAndFraming) {
    test_submission s;
    s.parts.push_back({"image/png", "<big>", std::string(150000, 'Q') + "QQ==", "base64", ""});
    s.parts.push_back({"text/plain", "<raw>", std::string(100000, 'r') + "\r" + "end", "", ""});
    const std::string crlf = submit_request(s);
    const std::string folded = e2e::reshaped(crlf, {{"text/plain;", "text/plain;\r\n\t"}});
    for (const auto& [request, text] :
         {std::pair(crlf, "Hello from the VASP\r\nline two"),
          std::pair(e2e::bare_lf_body(folded), "Hello from the VASP\nline two")}) {
        const run whole = parse(request);
        ASSERT_EQ(whole.outcome, parse_outcome::complete);
        const auto& events = whole.events;
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const std::string& e) { return e.starts_with("end "); }),
                  5);
        for (const std::string& data : {std::string(text), std::string(100000, 'r') + "\rend"}) {
            EXPECT_NE(std::find(events.begin(), events.end(), "data+" + data), events.end());
        }
        expect_same_at_every_cut(request, whole);
        const std::string framed = e2e::chunked(request);
        EXPECT_EQ(parse(framed).events, whole.events);
        expect_same_at_every_cut(framed, whole);
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
