// The client URL and the options that need more than a number.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/config.h"
#include "core/log.h"
#include "core/string_utils.h"

namespace {

std::string parts_of(const url_parts& p) {
    std::string out;
    for (auto [name, value] : {std::pair{"scheme", &p.scheme},
                               {"user", &p.user},
                               {"password", &p.password},
                               {"host", &p.host},
                               {"path", &p.path},
                               {"query", &p.query},
                               {"fragment", &p.fragment}}) {
        if (*value) {
            out += std::string(name) + "=" + **value + " ";
        }
    }
    return out + "port=" + std::to_string(p.port);
}

TEST(UrlParse, PartsAndRefusals) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"http://h:8080/a/b?x=1#top", 0,
         "scheme=http host=h path=a/b query=x=1 fragment=top port=8080"},
        {"http://u:pw@h:80/p", 0, "scheme=http user=u password=pw host=h path=p port=80"},
        {"http://u:p@w@h/p", 0, "scheme=http user=u password=p@w host=h path=p port=0"},
        // Parts found before a refusal stay, so start-up sees a host.
        {"http://u@h:81/", -1, "scheme=http user=u host=h:81 path= port=0"},
        {"http://@h/", -1, nullptr},
        {"/just/a/path", 0, "path=just/a/path port=0"},
        {"h:80", -1, nullptr},
        {":x//", -1, nullptr},
        {"http://h:/x", -1, nullptr},
        {"http:///path", -1, nullptr},
    };
    for (const auto& [text, rc, want] : cases) {
        url_parts p;
        EXPECT_EQ(url_parse(p, text), rc) << text;
        if (want != nullptr) {
            EXPECT_EQ(parts_of(p), want) << text;
        }
    }
}

// --loglevel: the later value wins; one that names no level means debug, kept to be reported.
TEST(Options, LogLevel) {
    for (auto [last, level, unknown] :
         {std::tuple{"info", log_level::info, ""}, std::tuple{"INFO", log_level::debug, "INFO"}}) {
        const char* args[] = {"mm7_server", "--loglevel", "error", "--loglevel", last};
        server_config config;
        parse_options(5, const_cast<char**>(args), config);
        EXPECT_EQ(config.loglevel, level) << last;
        EXPECT_EQ(config.unknown_loglevel, unknown);
    }
}

// --mm7namespace and --mm7version are kept as given, and --help names them.
TEST(Options, Mm7Schema) {
    const char* args[] = {"mm7_server", "--mm7namespace", "urn:x", "--mm7version", "6.8.0"};
    server_config config;
    EXPECT_EQ(config.mm7_namespace + config.mm7_version, "");
    parse_options(5, const_cast<char**>(args), config);
    EXPECT_EQ(config.mm7_namespace + " " + config.mm7_version, "urn:x 6.8.0");
    EXPECT_NE(usage_text().find("--mm7namespace URI"), std::string::npos);
    EXPECT_NE(usage_text().find("--mm7version V"), std::string::npos);
}

// --clientauthfile and --clienturlfile: one line, kept by its owner alone, who is root or the
// daemon's user; the token a request carries, the URL deliveries go to.
TEST(Options, SecretFiles) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("mm7-auth-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::tuple<const char*, mode_t, uid_t, const char*> rows[] = {
        {"vasp:s3cret\n", 0600, 0, "dmFzcDpzM2NyZXQ="},
        {"vasp:pa:ss\r\n", 0400, 0, "dmFzcDpwYTpzcw=="},
        {"vasp:s3cret\n", 0604, 0, nullptr},
        {"vasp:s3cret\n", 0700, 0, nullptr},
        {"vasp:s3cret\n", 0600, 65534, nullptr},
        {"no-colon\n", 0600, 0, nullptr},
        {":nouser\n", 0600, 0, nullptr},
        {"vasp:a\nvasp:b\n", 0600, 0, nullptr},
    };
    for (const auto& [text, mode, owner, token] : rows) {
        const fs::path file = dir / "auth";
        fs::remove(file);
        std::ofstream(file) << text;
        chmod(file.c_str(), mode);
        const bool owned = owner == 0 || chown(file.c_str(), owner, owner) == 0;
        server_config config;
        config.client_auth_file = file.string();
        config.client_url_file = file.string();
        EXPECT_EQ(load_client_auth(config), token != nullptr || !owned) << text << " " << mode;
        EXPECT_EQ(config.client_auth, token != nullptr ? token : "") << text;
        // The same checks for the URL file, which needs no colon and takes the line whole.
        const bool url_ok = (mode & 0177) == 0 && owned && owner == 0;
        if (std::string_view(text).find("\nvasp") == std::string_view::npos) {
            EXPECT_EQ(load_client_url(config), url_ok) << text << " " << mode;
        }
    }
    {
        const fs::path file = dir / "url";
        std::ofstream(file) << "http://vasp:p@ss@10.0.0.1:8080/mm7\n";
        chmod(file.c_str(), 0600);
        server_config config;
        config.client_url_file = file.string();
        ASSERT_TRUE(load_client_url(config));
        ASSERT_TRUE(check_client_url(config));
        EXPECT_EQ(config.client_url_parts.user, "vasp");
        EXPECT_EQ(config.client_url_parts.password, "p@ss");
        EXPECT_EQ(config.client_url_parts.host, "10.0.0.1");
    }
    // A link is not followed; no file at all is refused too; no option asks for nothing.
    fs::create_symlink(dir / "auth", dir / "link");
    for (auto [file, ok] :
         {std::pair{dir / "link", false}, {dir / "none", false}, {fs::path(), true}}) {
        server_config config;
        config.client_auth_file = file.string();
        EXPECT_EQ(load_client_auth(config), ok) << file;
    }
    fs::remove_all(dir);
    EXPECT_TRUE(equal_in_constant_time("dmFzcDpz", "dmFzcDpz"));
    EXPECT_FALSE(equal_in_constant_time("dmFzcDpz", "dmFzcDp"));
    EXPECT_FALSE(equal_in_constant_time("", "x"));
}

}  // namespace
