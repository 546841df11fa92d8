// Per-port settings files and the carrier headers an IMSI selects.
#include <gtest/gtest.h>

#include <fstream>

#include "support/daemon_harness.h"
#include "turbo/turbo_settings.h"

namespace {

TEST(TurboSettings, FilesAreReadLineByLine) {
    // name, file, then the proxy, url, imsi and msisdn read from it
    const std::string u(300, 'u');
    const std::array<std::string, 6> cases[] = {
        {"crlf", "mms_proxy: p:8080\r\nmmsc_url: http://m/mms\r\nimsi: 311480\r\nmsisdn: +1\r\n",
         "p:8080", "http://m/mms", "311480", "+1"},
        {"odd spacing", "  imsi:311\n\t msisdn  :  +49 \n\nmmsc_url\t: u \t\n", "", "u", "311",
         "+49"},
        {"later line wins, empty empties", "mms_proxy: a\nmms_proxy:\nimsi: 1\nimsi: 2\n", "", "",
         "2", ""},
        {"no colon empties, unknown keys skipped", "imsi: 5\nimsi 6\nfoo: bar\nmsisdn=7\n", "", "",
         "", ""},
        {"values cut to the field", "msisdn: 123456789012345678901234\n", "", "", "",
         "1234567890123456789"},
        // The rest of an over-long line is not a line of its own, even when it looks like one.
        {"over-long line", "mmsc_url: " + u + "imsi: 9\nimsi: 1\n", "", u.substr(0, 245), "1", ""},
        {"no final line end", "imsi: 42", "", "", "42", ""},
    };
    e2e::temp_dir dir("turbo-settings");
    for (const auto& [name, file, proxy, url, imsi, msisdn] : cases) {
        std::ofstream(dir.path() / "settings", std::ios::binary) << file;
        mm7_settings s;
        read_settings_file((dir.path() / "settings").c_str(), s);
        const std::string got[] = {s.mms_proxy, s.mmsc_url, s.imsi, s.msisdn};
        EXPECT_EQ(got[0] + "|" + got[1] + "|" + got[2] + "|" + got[3],
                  proxy + "|" + url + "|" + imsi + "|" + msisdn)
            << name;
    }
    mm7_settings untouched;
    read_settings_file((dir.path() / "missing").c_str(), untouched);
    EXPECT_STREQ(untouched.mmsc_url, "");
}

// Carrier headers as they reach an MMSC are checked by the turbo daemon's send rows.
TEST(TurboSettings, HeaderTemplatesAreFilledWithinTheirBound) {
    EXPECT_EQ(fill_header_template("##LINE1####LINE1##", "12"), "1212");
    EXPECT_EQ(fill_header_template("X: ##LINE1##", std::string(200, '7')).size(),
              HEADER_TEMPLATE_MAX);
}

}  // namespace
