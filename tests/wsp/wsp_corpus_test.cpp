// The real-world PDUs of the shared test data: every file decodes, with the message type an
// independent decoder reads, and the multipart bodies walk exactly to the end of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"
#include "wsp_test_util.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t M_SEND_REQ = 0;
constexpr std::uint32_t M_SEND_CONF = 1;
constexpr std::uint32_t M_NOTIFICATION_IND = 2;
constexpr std::uint32_t M_NOTIFYRESP_IND = 3;
constexpr std::uint32_t M_RETRIEVE_CONF = 4;
constexpr std::uint32_t M_ACKNOWLEDGE_IND = 5;
constexpr std::uint32_t M_DELIVERY_IND = 6;
constexpr std::uint32_t M_READ_REC_IND = 7;
constexpr std::uint32_t M_READ_ORIG_IND = 8;

std::uint32_t expected_type(const std::string& name) {
    if (name == "m-send-UnexpectedResp.conf") {
        return M_RETRIEVE_CONF;
    }
    static const std::vector<std::pair<std::string, std::uint32_t>> prefixes = {
        {"m-acknowledge", M_ACKNOWLEDGE_IND},   {"m-delivery", M_DELIVERY_IND},
        {"m-notification", M_NOTIFICATION_IND}, {"m-notifyresp", M_NOTIFYRESP_IND},
        {"m-read-orig", M_READ_ORIG_IND},       {"m-read-rec", M_READ_REC_IND},
        {"m-retrieve", M_RETRIEVE_CONF},
    };
    for (const auto& [prefix, type] : prefixes) {
        if (name.starts_with(prefix)) {
            return type;
        }
    }
    return name.ends_with(".req") ? M_SEND_REQ : M_SEND_CONF;
}

struct walk_result {
    std::uint32_t entries = 0;
    std::uint64_t end = 0;
    std::vector<std::string> media;
};

walk_result walk(const buffer& pdu, std::uint32_t offset) {
    walk_result r;
    body_walk w = walk_body(pdu, offset, [&](const multipart_entry& entry, std::uint64_t) {
        r.media.push_back(entry.content_type.content_type.value_or("?"));
    });
    r.entries = w.entries;
    r.end = w.end;
    return r;
}

std::vector<fs::path> corpus() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(pdu_dir())) {
        if (entry.is_regular_file() && entry.path().filename() != "README.txt") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(WspCorpus, MessageTypes) {
    if (pdu_dir().empty()) {
        GTEST_SKIP() << "no test PDUs at " << MM7_TESTDATA_DIR << "/mms-pdus";
    }
    for (const fs::path& path : corpus()) {
        const std::string name = path.filename().string();
        const buffer pdu = read_file(path);
        std::uint32_t offset = 0;
        const mms_message m = ParseMMSHeaders(pdu, offset, false);
        EXPECT_LE(offset, pdu.size()) << name;
        if (name == "m-send-UnparsableResp.conf") {
            continue;  // not a PDU at all: it only has to decode without harm
        }
        EXPECT_EQ(m.message_type, expected_type(name)) << name;
        EXPECT_EQ(m.mms_version.has_value(), true) << name;
    }
}

mms_message parse_file(const std::string& name) {
    const buffer pdu = read_file(pdu_dir() / name);
    std::uint32_t offset = 0;
    return ParseMMSHeaders(pdu, offset, false);
}

TEST(WspCorpus, FieldsOfKnownFiles) {
    if (pdu_dir().empty()) {
        GTEST_SKIP() << "no test PDUs at " << MM7_TESTDATA_DIR << "/mms-pdus";
    }
    mms_message m = parse_file("m-notification_1.ind");
    EXPECT_EQ(m.from, "+79050000000");
    EXPECT_EQ(m.content_location, "http://mmsr5/?message-id=m10l9m7u03mct2jbc12");

    m = parse_file("m-send-Failure.conf");
    EXPECT_EQ(m.response_status, 96);
    EXPECT_EQ(m.response_text, "Error-permanent-failure");
    m = parse_file("m-send-ServiceDenied.conf");
    EXPECT_EQ(m.response_status, 97);
    EXPECT_EQ(m.response_text, "Unable to send");
    m = parse_file("m-send-Accept.conf");
    EXPECT_EQ(m.response_status, 0);
    EXPECT_FALSE(m.response_text.has_value());
    EXPECT_EQ(m.message_id, "TestMessageId");

    m = parse_file("m-delivery-DeliveryRejected.ind");
    EXPECT_EQ(m.status, "Rejected");
    EXPECT_EQ(m.message_id, "BH24CBJJA40W1");
    EXPECT_EQ(m.date, 1387560708u);
    m = parse_file("m-read-orig-ReadDeleted.ind");
    EXPECT_EQ(m.read_status, "Deleted");
    EXPECT_EQ(m.from, "+358500000000");
    EXPECT_EQ(m.recipient, "+358440000001");

    m = parse_file("m-retrieve_1.conf");
    EXPECT_EQ(m.priority, "Normal");
    EXPECT_EQ(m.to, (text_list{"+79650000001", "+79650000002"}));
    EXPECT_EQ(m.recipient, "+79650000001");
}

TEST(WspCorpus, MultipartBodiesEndAtTheEndOfTheFile) {
    if (pdu_dir().empty()) {
        GTEST_SKIP() << "no test PDUs at " << MM7_TESTDATA_DIR << "/mms-pdus";
    }
    for (const fs::path& path : corpus()) {
        const std::string name = path.filename().string();
        if (!name.starts_with("m-retrieve") &&
            !(name.starts_with("m-send_") && name.ends_with(".req"))) {
            continue;
        }
        const buffer pdu = read_file(path);
        std::uint32_t offset = 0;
        const mms_message m = ParseMMSHeaders(pdu, offset, false);
        ASSERT_TRUE(m.content_type.has_value()) << name;
        const std::string media = m.content_type->content_type.value_or("");
        std::printf("%s: %s start=%s type=%s headers end at %u\n", name.c_str(), media.c_str(),
                    m.content_type->start.value_or("-").c_str(),
                    m.content_type->type.value_or("-").c_str(), offset);
        if (!media.starts_with("application/vnd.wap.multipart")) {
            continue;  // a single-part body is the data itself
        }
        const walk_result r = walk(pdu, offset);
        std::printf("  %u entries declared, %zu walked:", r.entries, r.media.size());
        for (const auto& t : r.media) {
            std::printf(" %s", t.c_str());
        }
        std::printf("\n");
        EXPECT_EQ(r.end, pdu.size()) << name;
        EXPECT_EQ(r.media.size(), r.entries) << name;
    }
}

}  // namespace
