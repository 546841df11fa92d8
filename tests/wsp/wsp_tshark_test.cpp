// An independent decoder reads what the composer writes: the m-send-req goes into a pcap as an
// HTTP POST and tshark's MMS dissector must find no malformed or erroneous field in it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <memory>

#include "wsp/wsp.h"
#include "wsp_test_util.h"

namespace {

namespace fs = std::filesystem;

bool have_tool(const char* name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::string run(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return out;
    }
    std::array<char, 4096> chunk{};
    std::size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) {
        out.append(chunk.data(), n);
    }
    return out;
}

buffer sample_send_req() {
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
    const std::vector<std::string> data = {
        "<smil><body><par><text src=\"hello.txt\"/></par></body></smil>", "Hello there",
        std::string(300, '\x5A')};
    return capture([&](FILE* f) {
        compose_send_req_headers(f, m, "tshark-1", &params);
        const long count_at = std::ftell(f);
        write_octet(f, 0);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            parts[i].data_length = static_cast<std::uint32_t>(data[i].size());
            compose_part_headers(f, parts[i]);
            std::fwrite(data[i].data(), 1, data[i].size(), f);
        }
        std::fseek(f, count_at, SEEK_SET);
        write_octet(f, static_cast<int>(parts.size()));
    });
}

TEST(WspTshark, ComposedSendReqDissectsCleanly) {
    if (!have_tool("tshark") || !have_tool("text2pcap")) {
        GTEST_SKIP() << "tshark or text2pcap not installed";
    }
    const buffer pdu = sample_send_req();
    const std::string head =
        "POST /mms HTTP/1.1\r\nHost: mmsc.example\r\n"
        "Content-Type: application/vnd.wap.mms-message\r\n"
        "Content-Length: " +
        std::to_string(pdu.size()) + "\r\n\r\n";
    const buffer request = cat({text_bytes(head), pdu});

    const fs::path dir = fs::temp_directory_path() / ("wsp_tshark_" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
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
    }
    const std::string pcap = (dir / "request.pcap").string();
    run("text2pcap -q -T 40000,80 -4 10.0.0.1,10.0.0.2 " + (dir / "request.txt").string() + " " +
        pcap + " 2>&1");
    const std::string text = run("tshark -n -r " + pcap + " -V -d tcp.port==80,http 2>&1");
    if (std::getenv("WSP_KEEP_PCAP") == nullptr) {
        fs::remove_all(dir);
    }

    EXPECT_NE(text.find("MMS Message Encapsulation"), std::string::npos) << text;
    EXPECT_NE(text.find("m-send-req"), std::string::npos) << text;
    EXPECT_NE(text.find("+491700000001/TYPE=PLMN"), std::string::npos) << text;
    EXPECT_NE(text.find("application/smil"), std::string::npos) << text;
    EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
    EXPECT_EQ(text.find("Expert Info (Error"), std::string::npos) << text;
    EXPECT_EQ(text.find("Expert Info (Warning"), std::string::npos) << text;
}

}  // namespace
