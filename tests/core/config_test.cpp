// Command-line options and the client URL.
#include <gtest/gtest.h>

#include "core/config.h"
#include "core/log.h"

namespace {

server_config parse(std::vector<std::string> args) {
    args.insert(args.begin(), "mm7_server");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    server_config config;
    parse_options(static_cast<int>(argv.size()), argv.data(), config);
    return config;
}

TEST(Options, TakenAsGivenCutToTheirFields) {
    const std::string dirs(300, 'd');
    const std::pair<server_config, std::string> workdirs[] = {
        {parse({"--workdir", "/data"}), "/data/"},
        {parse({"--workdir", ""}), "/"},
        {parse({"--workdir", dirs}), dirs.substr(0, 255)}};
    for (const auto& [c, want] : workdirs) {
        EXPECT_EQ(c.workdir, want);
    }
    // Numbers are read without validation.
    EXPECT_EQ(parse({"--port", "12ab"}).port, 12u);
    EXPECT_EQ(parse({"--turbomodemsdelay", "-250"}).turbo_mode_ms_delay, -250);
    server_config c = parse({"--clientip", "0123456789abcdefXYZ", "--gwserial",
                             std::string(40, 's'), "--clienturl", std::string(2000, 'u')});
    EXPECT_EQ(c.client_ip, "0123456789abcde");
    EXPECT_EQ(c.gw_serial, std::string(19, 's'));
    EXPECT_EQ(c.client_url.size(), 1023u);
    // A missing value stops parsing; stray arguments are skipped; the last one counts.
    EXPECT_EQ(parse({"--clientip", "10.1.2.3", "--port"}).port, 8887u);
    c = parse({"stray", "--port", "9000", "--PORT", "1", "--gwserial", "GW1"});
    EXPECT_EQ(c.port, 9000u);
    EXPECT_EQ(c.gw_serial, "GW1");
}

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

}  // namespace
