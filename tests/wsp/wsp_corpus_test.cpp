// Independent decoders: the real-world PDUs of the shared test data decode with the message type
// their names give and walk exactly to their end, and tshark's MMS dissector reads what the
// composer writes without complaint.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>

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
    auto parse_file = [](const char* name) {
        std::uint32_t offset = 0;
        return ParseMMSHeaders(read_file(pdu_dir() / name), offset, false);
    };
    const std::tuple<const char*, std::function<opt_text(const mms_message&)>, opt_text> cases[] = {
        {"m-notification_1.ind", [](auto& m) { return m.from; }, "+79050000000"},
        {"m-notification_1.ind", [](auto& m) { return m.content_location; },
         "http://mmsr5/?message-id=m10l9m7u03mct2jbc12"},
        {"m-send-Failure.conf", [](auto& m) { return m.response_text; }, "Error-permanent-failure"},
        {"m-send-ServiceDenied.conf", [](auto& m) { return m.response_text; }, "Unable to send"},
        {"m-send-Accept.conf", [](auto& m) { return m.response_text; }, std::nullopt},
        {"m-send-Accept.conf", [](auto& m) { return m.message_id; }, "TestMessageId"},
        {"m-delivery-DeliveryRejected.ind", [](auto& m) { return m.status; }, "Rejected"},
        {"m-delivery-DeliveryRejected.ind", [](auto& m) { return m.message_id; }, "BH24CBJJA40W1"},
        {"m-read-orig-ReadDeleted.ind", [](auto& m) { return m.read_status; }, "Deleted"},
        {"m-read-orig-ReadDeleted.ind", [](auto& m) { return m.from; }, "+358500000000"},
        {"m-read-orig-ReadDeleted.ind", [](auto& m) { return m.recipient; }, "+358440000001"},
        {"m-retrieve_1.conf", [](auto& m) { return m.priority; }, "Normal"},
        {"m-retrieve_1.conf", [](auto& m) { return m.recipient; }, "+79650000001"},
    };
    for (const auto& [name, field, want] : cases) {
        EXPECT_EQ(field(parse_file(name)), want) << name;
    }
    EXPECT_EQ(parse_file("m-send-Failure.conf").response_status, 96);
    EXPECT_EQ(parse_file("m-send-ServiceDenied.conf").response_status, 97);
    EXPECT_EQ(parse_file("m-send-Accept.conf").response_status, 0);
    EXPECT_EQ(parse_file("m-delivery-DeliveryRejected.ind").date, 1387560708u);
    EXPECT_EQ(parse_file("m-retrieve_1.conf").to, (text_list{"+79650000001", "+79650000002"}));
}

std::string run(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::array<char, 4096> chunk{};
    for (std::size_t n; pipe && (n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0;) {
        out.append(chunk.data(), n);
    }
    return out;
}

TEST(WspTshark, ComposedSendReqDissectsCleanly) {
    if (std::system("(command -v tshark && command -v text2pcap) >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark or text2pcap not installed";
    }
    mms_message m;
    m.to = text_list{"+491700000001", "someone@example.com"};
    m.cc = text_list{"+491700000002"};
    m.message_class = "Informational";
    m.expiry = 3600;
    m.priority = "high";
    m.delivery_report = 1;
    m.read_report = 1;
    m.subject = "Greetings \xC3\xA4";
    multipart_params params;
    params.type = "application/smil";
    std::vector<mms_part> parts(3);
    parts[0].content_type = "application/smil";
    parts[0].content_id = "\"<smil>\"";
    parts[1].content_type = "text/plain; charset=utf-8; name=hello.txt";
    parts[1].content_id = "\"<text1>\"";
    parts[1].content_location = "hello.txt";
    parts[2].content_type = "image/jpeg; name=\"pic.jpg\"";
    parts[2].content_id = "\"<img1>\"";
    parts[2].content_location = "pic.jpg";
    parts[2].content_disposition = "attachment; filename=pic.jpg";
    const std::string data[] = {"<smil><body><par><text src=\"hello.txt\"/></par></body></smil>",
                                "Hello there", std::string(300, '\x5A')};
    const buffer pdu = capture([&](FILE* f) {
        compose_send_req_headers(f, m, "tshark-1", &params);
        write_octet(f, static_cast<int>(parts.size()));
        for (std::size_t i = 0; i < parts.size(); ++i) {
            parts[i].data_length = static_cast<std::uint32_t>(data[i].size());
            compose_part_headers(f, parts[i]);
            std::fwrite(data[i].data(), 1, data[i].size(), f);
        }
    });
    const buffer request = cat({text_bytes("POST /mms HTTP/1.1\r\nHost: mmsc.example\r\n"
                                           "Content-Type: application/vnd.wap.mms-message\r\n"
                                           "Content-Length: " +
                                           std::to_string(pdu.size()) + "\r\n\r\n"),
                                pdu});
    const fs::path dir = fs::temp_directory_path() / ("wsp_tshark_" + std::to_string(getpid()));
    fs::create_directories(dir);
    FILE* f = std::fopen((dir / "request.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (std::size_t i = 0; i < request.size(); ++i) {
        if (i % 16 == 0) {
            std::fprintf(f, "%s%06zx", i == 0 ? "" : "\n", i);
        }
        std::fprintf(f, " %02x", request[i]);
    }
    std::fprintf(f, "\n");
    std::fclose(f);
    const std::string pcap = (dir / "request.pcap").string();
    run("text2pcap -q -T 40000,80 -4 10.0.0.1,10.0.0.2 " + (dir / "request.txt").string() + " " +
        pcap + " 2>&1");
    const std::string text = run("tshark -n -r " + pcap + " -V -d tcp.port==80,http 2>&1");
    if (std::getenv("WSP_KEEP_PCAP") == nullptr) {
        fs::remove_all(dir);
    }
    for (const char* wanted : {"MMS Message Encapsulation", "m-send-req", "+491700000001/TYPE=PLMN",
                               "application/smil"}) {
        EXPECT_NE(text.find(wanted), std::string::npos) << wanted << "\n" << text;
    }
    for (const char* unwanted : {"Malformed", "Expert Info (Error", "Expert Info (Warning"}) {
        EXPECT_EQ(text.find(unwanted), std::string::npos) << unwanted << "\n" << text;
    }
}

}  // namespace
