// The client URL.
#include <gtest/gtest.h>

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

}  // namespace
