// The real-world PDUs of the shared test data: every file decodes with the message type its name
// gives, known files to the fields an independent decoder reads, and multipart bodies walk
// exactly to the end of the file.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/mms_fields.h"
#include "wsp_test_util.h"

namespace {

namespace fs = std::filesystem;

std::uint32_t expected_type(const std::string& name) {
    static const std::pair<std::string, std::uint32_t> prefixes[] = {
        {"m-send-UnexpectedResp.conf", 4},
        {"m-acknowledge", 5},
        {"m-delivery", 6},
        {"m-notification", 2},
        {"m-notifyresp", 3},
        {"m-read-orig", 8},
        {"m-read-rec", 7},
        {"m-retrieve", 4}};
    for (const auto& [prefix, type] : prefixes) {
        if (name.starts_with(prefix)) {
            return type;
        }
    }
    return name.ends_with(".req") ? 0 : 1;  // m-send-req, m-send-conf
}

#define SKIP_WITHOUT_CORPUS()                                                  \
    if (pdu_dir().empty()) {                                                   \
        GTEST_SKIP() << "no test PDUs at " << MM7_TESTDATA_DIR << "/mms-pdus"; \
    }

TEST(WspCorpus, MessageTypesAndMultipartBodies) {
    SKIP_WITHOUT_CORPUS();
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(pdu_dir())) {
        if (entry.is_regular_file() && entry.path().filename() != "README.txt") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        const std::string name = path.filename().string();
        const buffer pdu = read_file(path);
        std::uint32_t offset = 0;
        const mms_message m = ParseMMSHeaders(pdu, offset, false);
        EXPECT_LE(offset, pdu.size()) << name;
        if (name == "m-send-UnparsableResp.conf") {
            continue;  // not a PDU at all: it only has to decode without harm
        }
        EXPECT_EQ(m.message_type, expected_type(name)) << name;
        EXPECT_TRUE(m.mms_version.has_value()) << name;
        if (!name.starts_with("m-retrieve") &&
            !(name.starts_with("m-send_") && name.ends_with(".req"))) {
            continue;
        }
        ASSERT_TRUE(m.content_type.has_value()) << name;
        if (!m.content_type->content_type.value_or("").starts_with(
                "application/vnd.wap.multipart")) {
            continue;  // a single-part body is the data itself
        }
        std::uint32_t walked = 0;
        const body_walk w = walk_body(pdu, offset, [&](const multipart_entry&, auto) { ++walked; });
        EXPECT_EQ(w.end, pdu.size()) << name;
        EXPECT_EQ(walked, w.entries) << name;
    }
}

TEST(WspCorpus, FieldsOfKnownFiles) {
    SKIP_WITHOUT_CORPUS();
    const std::pair<const char*, const char*> cases[] = {
        {"m-send-ServiceDenied.conf",
         "type=1 tid=463 version=\\x11 message_id=021512014610000000005 response=97 "
         "response_text=Unable to send"},
        // The file's own type suffix is misspelt: it stays.
        {"m-delivery-DeliveryRejected.ind",
         "type=6 version=\\x11 to=+358500000000/TYPE=PLNM recipient=+358500000000/TYPE=PLNM "
         "message_id=BH24CBJJA40W1 date=1387560708 status=Rejected"},
        {"m-read-orig-ReadDeleted.ind",
         "type=8 version=\\x11 from=+358500000000 to=+358440000001 recipient=+358440000001 "
         "message_id=BH24CBJJA40W1 date=1387560855 read_status=Deleted"},
        {"m-retrieve_1.conf",
         "type=4 tid=m10l9m7u03mct2jbc12@mms.beeline.ru version=\\x10 from=+79050000000 "
         "to=+79650000001,+79650000002 cc=+79650000003,+79650000004 recipient=+79650000001 "
         "class=\\x01 priority=Normal rr=1 message_id=m10bdtxic3mct2jbc12@mms.beeline.ru "
         "date=1388311724 "
         "ct=application/vnd.wap.multipart.related;start=<0.smil>;type=application/smil"},
    };
    for (const auto& [name, want] : cases) {
        std::uint32_t offset = 0;
        EXPECT_EQ(fields(ParseMMSHeaders(read_file(pdu_dir() / name), offset, false)), want)
            << name;
    }
}

}  // namespace
