#include <gtest/gtest.h>

#include <vector>

#include "core/config.h"
#include "core/log.h"

namespace {

server_config parse(std::vector<std::string> args) {
    args.insert(args.begin(), "mm7_server");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    server_config config;
    parse_options(static_cast<int>(argv.size()), argv.data(), config);
    return config;
}

TEST(Options, DefaultsWithoutArguments) {
    server_config c = parse({});
    EXPECT_EQ(c.port, 8887u);
    EXPECT_EQ(c.workdir, "/boot/mms/outgoing/");
    EXPECT_EQ(c.client_ip, "0.0.0.0");
    EXPECT_EQ(c.storage_age, 48u);
    EXPECT_EQ(c.storage_size, 4096u);
    EXPECT_EQ(c.turbo_mode_capacity, 4);
    EXPECT_EQ(c.turbo_mode_timeout, 20);
    EXPECT_EQ(c.turbo_fd, -1);
    EXPECT_EQ(c.server_fd, -1);
}

TEST(Options, WorkdirGetsOneTrailingSlash) {
    EXPECT_EQ(parse({"--workdir", "/data"}).workdir, "/data/");
    EXPECT_EQ(parse({"--workdir", "/data/"}).workdir, "/data/");
    EXPECT_EQ(parse({"--workdir", ""}).workdir, "/");
    EXPECT_EQ(parse({"--workdir", std::string(300, 'd')}).workdir, std::string(255, 'd'));
}

TEST(Options, NumbersAreReadWithoutValidation) {
    EXPECT_EQ(parse({"--port", "abc"}).port, 0u);
    EXPECT_EQ(parse({"--port", "12ab"}).port, 12u);
    EXPECT_EQ(parse({"--turbomodemask", "18446744073709551615"}).turbo_mode_mask, ~0ull);
    EXPECT_EQ(parse({"--turbomodemsdelay", "-250"}).turbo_mode_ms_delay, -250);
}

TEST(Options, MissingValueStopsParsingAndStrayArgumentsAreSkipped) {
    server_config c = parse({"--clientip", "10.1.2.3", "--port"});
    EXPECT_EQ(c.port, 8887u);
    EXPECT_EQ(c.client_ip, "10.1.2.3");
    c = parse({"stray", "--port", "9000", "--PORT", "1", "--gwserial", "GW1"});
    EXPECT_EQ(c.port, 9000u);
    EXPECT_EQ(c.gw_serial, "GW1");
    EXPECT_EQ(parse({"--port", "1", "--port", "2"}).port, 2u);
}

TEST(Options, TextsAreCutToTheirFields) {
    server_config c = parse({"--clientip", "0123456789abcdefXYZ", "--gwserial",
                             std::string(40, 's'), "--clienturl", std::string(2000, 'u')});
    EXPECT_EQ(c.client_ip, "0123456789abcde");
    EXPECT_EQ(c.gw_serial, std::string(19, 's'));
    EXPECT_EQ(c.client_url.size(), 1023u);
}

TEST(UrlParse, AllParts) {
    url_parts p;
    ASSERT_EQ(url_parse(p, "http://h:8080/a/b?x=1#top"), 0);
    EXPECT_EQ(p.scheme, "http");
    EXPECT_EQ(p.host, "h");
    EXPECT_EQ(p.port, 8080u);
    EXPECT_EQ(p.path, "a/b");
    EXPECT_EQ(p.query, "x=1");
    EXPECT_EQ(p.fragment, "top");
    EXPECT_EQ(p.user, std::nullopt);
}

TEST(UrlParse, SchemeAndHostOnly) {
    url_parts p;
    ASSERT_EQ(url_parse(p, "http://h"), 0);
    EXPECT_EQ(p.port, 0u);
    EXPECT_EQ(p.path, std::nullopt);
}

TEST(UrlParse, UserInfo) {
    url_parts p;
    ASSERT_EQ(url_parse(p, "http://u:pw@h:80/p"), 0);
    EXPECT_EQ(p.user, "u");
    EXPECT_EQ(p.password, "pw");
    EXPECT_EQ(p.host, "h");
    EXPECT_EQ(url_parse(p, "http://u@h:81/"), -1);
    EXPECT_EQ(p.host, "h:81");  // taken before the refusal, so start-up sees a host
    EXPECT_EQ(url_parse(p, "http://@h/"), -1);
}

TEST(UrlParse, MalformedInputs) {
    url_parts p;
    EXPECT_EQ(url_parse(p, "http://"), -1);
    EXPECT_EQ(url_parse(p, "h:80"), -1);
    EXPECT_EQ(url_parse(p, ":x//"), -1);
    EXPECT_EQ(url_parse(p, "http://h:/x"), -1);
    EXPECT_EQ(url_parse(p, "http:///path"), -1);
    EXPECT_EQ(url_parse(p, ""), -1);
    ASSERT_EQ(url_parse(p, "/just/a/path"), 0);
    EXPECT_EQ(p.path, "just/a/path");
    EXPECT_EQ(p.host, std::nullopt);
}

TEST(ClientUrl, StartUpRules) {
    server_config c;
    c.client_url = "http://10.0.0.1";
    ASSERT_TRUE(check_client_url(c));
    EXPECT_EQ(c.client_url_parts.port, 80u);
    EXPECT_EQ(c.client_url_parts.path, "");
    c.client_url = "https://10.0.0.1/x";
    EXPECT_FALSE(check_client_url(c));
    c.client_url = "/only/path";
    ASSERT_TRUE(check_client_url(c));
    EXPECT_EQ(c.client_url_parts.scheme, "http");
    EXPECT_EQ(c.client_url_parts.host, std::nullopt);
}

}  // namespace
