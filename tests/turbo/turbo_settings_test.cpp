// Per-port settings files and the carrier headers an IMSI selects.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "support/daemon_harness.h"
#include "turbo/turbo_settings.h"

namespace fs = std::filesystem;

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
        // Whole keys at the start of a line: a key's name inside a value, or a longer word
        // that begins with a key, sets nothing.
        {"keys in values", "mms_proxy: http://p/?imsi: 7\nimsi_old: 9\nmsisdn:1 imsi: 3\n",
         "http://p/?imsi: 7", "", "", "1 imsi: 3"},
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
}

// Whoever may write the file or its directory could send a port's messages anywhere: such a
// file, and anything that is not a regular file, counts as no settings.
TEST(TurboSettings, OnlyFilesOfRootOrTheDaemonAreRead) {
    struct row {
        std::string name, why;  // why: what the refusal says; "" for a file that is read
        std::function<void(const fs::path& dir, const fs::path& file)> plant;
    };
    const row rows[] = {
        {"sound", "", [](auto&, auto&) {}},
        {"missing", "file: No such file", [](auto&, auto& f) { fs::remove(f); }},
        {"file of another user", "file is owned by uid 65534",
         [](auto&, auto& f) { ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0); }},
        {"file writable by others", "file is writable by group or others",
         [](auto&, auto& f) { fs::permissions(f, fs::perms(0646)); }},
        {"directory of another user", "directory is owned by uid 65534",
         [](auto& d, auto&) { ASSERT_EQ(chown(d.c_str(), 65534, 65534), 0); }},
        {"directory writable by the group", "directory is writable by group or others",
         [](auto& d, auto&) { fs::permissions(d, fs::perms(0775)); }},
        {"symbolic link", "file is a symbolic link",
         [](auto&, auto& f) {
             fs::remove(f);
             fs::create_symlink("/etc/hostname", f);
         }},
        {"FIFO", "file is not a regular file",  // opened, never waited on
         [](auto&, auto& f) {
             fs::remove(f);
             ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        e2e::temp_dir top("turbo-trust");
        const fs::path dir = top.path() / "qzm";
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms(0755));
        const fs::path file = dir / "mm7_settings_3";
        std::ofstream(file) << "mmsc_url: http://mmsc/\n";
        fs::permissions(file, fs::perms(0644));
        r.plant(dir, file);
        mm7_settings s;
        const std::string why = read_settings_file(file.c_str(), s);
        EXPECT_NE(why.find(r.why), std::string::npos) << why;
        EXPECT_EQ(why.empty(), r.why.empty()) << why;
        EXPECT_STREQ(s.mmsc_url, r.why.empty() ? "http://mmsc/" : "");
    }
    // The directory itself as a link.
    e2e::temp_dir top("turbo-trust");
    fs::create_directory(top.path() / "real");
    std::ofstream(top.path() / "real" / "f") << "imsi: 1\n";
    fs::create_directory_symlink(top.path() / "real", top.path() / "link");
    mm7_settings s;
    EXPECT_NE(read_settings_file((top.path() / "link" / "f").c_str(), s), "");
    EXPECT_STREQ(s.imsi, "");
}

// Carrier headers as they reach an MMSC are checked by the turbo daemon's send rows.
TEST(TurboSettings, HeaderTemplatesAreFilledWithinTheirBound) {
    EXPECT_EQ(fill_header_template("##LINE1####LINE1##", "12"), "1212");
    EXPECT_EQ(fill_header_template("X: ##LINE1##", std::string(200, '7')).size(),
              HEADER_TEMPLATE_MAX);
}

}  // namespace
