// Pieces of the MM7 server that can be checked without a running daemon.
#include <gtest/gtest.h>

#include "mm7/mm7_server.h"
#include "support/log_capture.h"

namespace {

TEST(ParseMultipartParams, QuotedParametersAndStartKeepsItsBrackets) {
    log_capture log;
    opt_text boundary, start, type;
    ParseMultipartParams(
        "multipart/related; boundary=\"b-1\"; type=\"text/xml\"; start=\"<mm7_env>\"", boundary,
        start, type);
    EXPECT_EQ(boundary, "b-1");
    EXPECT_EQ(type, "text/xml");
    EXPECT_EQ(start, "<mm7_env>");
    EXPECT_TRUE(log.contains("Multipart boundary: b-1"));
    EXPECT_TRUE(log.contains("Type: text/xml"));
    EXPECT_TRUE(log.contains("Start: <mm7_env>"));
}

TEST(ParseMultipartParams, UnquotedOrUnterminatedParametersAreNotFound) {
    opt_text boundary, start, type;
    ParseMultipartParams("multipart/related; boundary=b-1; type=text/xml; start=<x>", boundary,
                         start, type);
    EXPECT_EQ(boundary, std::nullopt);
    EXPECT_EQ(type, std::nullopt);
    EXPECT_EQ(start, std::nullopt);
    ParseMultipartParams("multipart/related; boundary=\"open; start=\"<no-end", boundary, start,
                         type);
    EXPECT_EQ(boundary, "open; start=");
    EXPECT_EQ(start, std::nullopt);
}

TEST(ResponseStatusMapping, ListedAndUnlistedValues) {
    EXPECT_EQ(mm7_status_for_response(128), 1000);
    EXPECT_EQ(mm7_status_for_response(130), 4007);
    EXPECT_EQ(mm7_status_for_response(136), 4003);
    EXPECT_EQ(mm7_status_for_response(137), 3000);
    EXPECT_EQ(mm7_status_for_response(192), 4005);
    EXPECT_EQ(mm7_status_for_response(196), 3000);
    EXPECT_EQ(mm7_status_for_response(227), 4001);
    EXPECT_EQ(mm7_status_for_response(232), 4003);
    EXPECT_EQ(mm7_status_for_response(233), 3000);
    EXPECT_EQ(mm7_status_for_response(255), 3000);
}

}  // namespace
