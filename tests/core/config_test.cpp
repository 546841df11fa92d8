// The client URL.
#include <gtest/gtest.h>

#include <vector>

#include "core/config.h"
#include "core/log.h"

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

// --loglevel: the later value wins; a value that names no level means debug, and is kept to be
// reported.
TEST(Options, LogLevel) {
    const std::tuple<std::vector<const char*>, log_level, const char*> cases[] = {
        {{}, log_level::debug, ""},
        {{"--loglevel", "info"}, log_level::info, ""},
        {{"--loglevel", "error", "--loglevel", "warning"}, log_level::warning, ""},
        {{"--loglevel", "info", "--loglevel", "INFO"}, log_level::debug, "INFO"},
    };
    for (const auto& [args, level, unknown] : cases) {
        std::vector<char*> argv{const_cast<char*>("mm7_server")};
        for (const char* a : args) {
            argv.push_back(const_cast<char*>(a));
        }
        server_config config;
        parse_options(static_cast<int>(argv.size()), argv.data(), config);
        EXPECT_EQ(config.loglevel, level) << args.size();
        EXPECT_EQ(config.unknown_loglevel, unknown);
    }
}

}  // namespace
