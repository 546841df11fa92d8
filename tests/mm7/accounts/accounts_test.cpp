// The account rules: addresses, who a request is, where a received message goes, rates, and the
// account file's checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "core/base64.h"
#include "core/config.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/accounts/mm7_message_owners.h"

namespace {

secret_text fake_secret(const std::string& path) {
    if (path == "/secret/ok") {
        return {"pass", ""};
    }
    return {std::nullopt, "is not of mode 0600 or stricter"};
}

std::optional<vasp_accounts> parse(std::string_view text, std::vector<std::string>& errors) {
    return vasp_accounts::parse(text, "vasps.toml", fake_secret, errors);
}

const char* const three_accounts = R"(
[[vasp]]
name = "acme"
addresses = ["192.0.2.10", "198.51.100.0/24"]
delivery_url = "http://192.0.2.10:8080/mm7"
receive = { recipients = ["+49151*", "12345"] }
rate = { per_second = 2, burst = 3 }

[[vasp]]
name = "globex"
addresses = ["10.1.*.*", "2001:db8::/32"]
user = "globex"
password_file = "/secret/ok"
delivery_url = "https://globex.example/mm7"
receive = { recipients = ["+4915123*"], ports = [7, 8] }

[[vasp]]
name = "initech"
addresses = ["203.0.113.5"]
delivery_url = "http://203.0.113.5/in"
receive = { default = true }
connections = 4
)";

vasp_accounts three() {
    std::vector<std::string> errors;
    auto accounts = parse(three_accounts, errors);
    EXPECT_TRUE(accounts) << (errors.empty() ? "" : errors.front());
    return accounts.value_or(vasp_accounts{});
}

TEST(Accounts, AddressRangesContainTheirWholeRangeAndNothingPastIt) {
    const struct {
        const char* range;
        const char* inside;
        const char* outside;
    } rows[] = {
        {"192.0.2.10", "192.0.2.10", "192.0.2.11"},
        {"198.51.100.0/24", "198.51.100.255", "198.51.101.0"},
        {"198.51.100.0/25", "198.51.100.127", "198.51.100.128"},
        {"10.1.*.*", "10.1.255.255", "10.2.0.0"},
        {"0.0.0.0/0", "255.255.255.255", "::1"},
        {"2001:db8::/32", "2001:db8:ffff::1", "2001:db9::"},
        {"::ffff:192.0.2.1", "192.0.2.1", "192.0.2.2"},
        {"192.0.2.1", "::ffff:192.0.2.1", "::ffff:192.0.2.3"},
        {"*", "::1", "not-an-address"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.range);
        const auto range = address_range::parse(row.range);
        ASSERT_TRUE(range);
        EXPECT_TRUE(range->contains(row.inside));
        EXPECT_FALSE(range->contains(row.outside));
    }
    for (const char* bad : {"", "192.0.2.0/33", "2001:db8::/129", "10.*.1.*", "10.1.*", "*.1.1.1",
                            "192.0.2.0/", "192.0.2.0/x", "host.example", "1.2.3.4.5"}) {
        EXPECT_FALSE(address_range::parse(bad)) << bad;
    }
}

TEST(Accounts, ReceivedMessagesGoToTheMostSpecificPatternThenPortThenDefault) {
    const vasp_accounts accounts = three();
    const struct {
        const char* recipient;
        std::uint32_t port;
        const char* account;  // nullptr: unroutable
    } rows[] = {
        {"+4915100000/TYPE=PLMN", 1, "acme"},
        {"+4915123999/TYPE=PLMN", 1, "globex"},  // longer pattern wins over +49151*
        {"12345", 7, "acme"},                    // a pattern before the port
        {"123456", 7, "globex"},                 // an exact number matches itself only
        {"1234", 8, "globex"},
        {"+4917000000", 9, "initech"},  // the default
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.recipient);
        const vasp_account* account = vasp_route_received(accounts, row.recipient, row.port);
        ASSERT_NE(account, nullptr);
        EXPECT_EQ(account->name, row.account);
    }
    vasp_accounts without_default = accounts;
    without_default.accounts.pop_back();
    EXPECT_EQ(vasp_route_received(without_default, "+4917000000", 9), nullptr);
    // Equal weight: the account first in the file wins.
    vasp_accounts tie = accounts;
    tie.accounts[1].recipients = {{"+49151*"}};
    EXPECT_EQ(vasp_route_received(tie, "+4915100000", 1)->name, "acme");
    // An exact number wins over a pattern with as many fixed digits, wherever it stands.
    vasp_accounts exact = accounts;
    exact.accounts[0].recipients = {{"1234*5"}};
    exact.accounts[1].recipients = {{"12345"}};
    EXPECT_EQ(vasp_route_received(exact, "12345", 1)->name, "globex");
    EXPECT_TRUE(number_pattern{"*0*"}.matches("+100/TYPE=PLMN"));
    EXPECT_FALSE(number_pattern{"*0"}.matches("+001"));
}

TEST(Accounts, ARequestIsItsCredentialsAccountFromItsAddressesOrNone) {
    const vasp_accounts accounts = three();
    const std::string globex = accounts.accounts[1].basic_token;
    ASSERT_EQ(globex, "Z2xvYmV4OnBhc3M=");  // globex:pass
    const struct {
        const char* address;
        std::string token;
        vasp_match result;
        const char* account;
    } rows[] = {
        {"192.0.2.10", "", vasp_match::matched, "acme"},
        {"198.51.100.77", "", vasp_match::matched, "acme"},
        {"10.1.2.3", globex, vasp_match::matched, "globex"},
        {"2001:db8::5", globex, vasp_match::matched, "globex"},
        // globex's address without its credentials, or with someone's credentials elsewhere.
        {"10.1.2.3", "", vasp_match::wrong_credentials, nullptr},
        {"10.1.2.3", "Z2xvYmV4Ondyb25n", vasp_match::wrong_credentials, nullptr},
        {"192.0.2.10", globex, vasp_match::wrong_credentials, "globex"},
        {"192.0.2.99", "", vasp_match::no_account, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address + (" " + row.token));
        const vasp_identity who = vasp_identify(accounts, row.address, row.token);
        EXPECT_EQ(who.result, row.result);
        EXPECT_EQ(who.account != nullptr ? who.account->name : "",
                  row.account != nullptr ? row.account : "");
    }
    // An account that asks for a certificate takes the one whose subject or alternative name it
    // names, and only from its addresses.
    vasp_accounts certified = accounts;
    certified.accounts[2].client_cert = "vasp.initech.example";
    const std::vector<std::string> initech = {"CN=initech,O=Initech", "DNS:vasp.initech.example"},
                                   other = {"CN=vasp.initech.example,O=Other"};
    EXPECT_EQ(vasp_identify(certified, "203.0.113.5", "", initech).account, &certified.accounts[2]);
    EXPECT_EQ(vasp_identify(certified, "203.0.113.5", "", other).result,
              vasp_match::wrong_credentials);
    EXPECT_EQ(vasp_identify(certified, "203.0.113.5", "").result, vasp_match::wrong_credentials);
    EXPECT_EQ(vasp_identify(certified, "192.0.2.99", "", initech).result, vasp_match::no_account);
    EXPECT_TRUE(vasp_address_allowed(accounts, "203.0.113.5"));
    EXPECT_FALSE(vasp_address_allowed(accounts, "203.0.113.6"));
}

TEST(Accounts, AmongManyAccountsEachAddressAndTokenFindsItsOwnInFileOrder) {
    std::string text;
    const auto add = [&](const std::string& name, const std::string& addresses) {
        text += "[[vasp]]\nname = \"" + name + "\"\naddresses = [" + addresses + "]\nuser = \"" +
                name + "\"\npassword_file = \"/secret/ok\"\ndelivery_url = \"http://192.0.2.1/\"\n";
    };
    for (int i = 0; i < 200; ++i) {
        add("v" + std::to_string(i), "\"10." + std::to_string(i) + ".0.0/16\"");
    }
    add("wide", "\"10.0.0.0/8\", \"10.5.1.0/24\"");
    add("roaming", "");
    add("anyone", "\"*\"");
    add("six", "\"2001:db8::/47\"");
    std::vector<std::string> errors;
    const auto accounts = parse(text, errors);
    ASSERT_TRUE(accounts);
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"10.5.1.1", {"v5", "wide", "roaming", "anyone"}},
        {"::ffff:10.199.255.255", {"v199", "wide", "roaming", "anyone"}},
        {"2001:db8:1::1", {"roaming", "anyone", "six"}},
        {"host.example", {"roaming"}},
    };
    for (const auto& [address, names] : rows) {
        std::vector<std::string> found;
        for (const vasp_account* a : vasp_accounts_of_address(*accounts, address)) {
            found.push_back(a->name);
        }
        EXPECT_EQ(found, names) << address;
    }
    const std::string v150 = *base64_encode(as_bytes("v150:pass")),
                      wrong = *base64_encode(as_bytes("v150:pas"));
    EXPECT_EQ(vasp_identify(*accounts, "10.150.0.1", v150).account->name, "v150");
    EXPECT_EQ(vasp_identify(*accounts, "10.151.0.1", v150).result, vasp_match::wrong_credentials);
    EXPECT_EQ(vasp_identify(*accounts, "10.150.0.1", wrong).account, nullptr);
}

TEST(Accounts, WithoutAFileTheSingleVaspOptionsAreOneAccount) {
    server_config config;
    config.client_ip = "192.0.2.7";
    config.client_auth = "dXNlcjpwYXNz";
    const vasp_accounts accounts = vasp_accounts::implicit(config);
    EXPECT_EQ(vasp_identify(accounts, "192.0.2.7", "dXNlcjpwYXNz").result, vasp_match::matched);
    EXPECT_EQ(vasp_identify(accounts, "192.0.2.8", "dXNlcjpwYXNz").result,
              vasp_match::wrong_credentials);
    EXPECT_FALSE(vasp_address_allowed(accounts, "192.0.2.8"));
    EXPECT_EQ(vasp_route_received(accounts, "+49170", 3), &accounts.accounts.front());
    // The default --clientip lets no address in, as ever.
    EXPECT_FALSE(vasp_address_allowed(vasp_accounts::implicit(server_config{}), "127.0.0.1"));
}

TEST(Accounts, TheRateAllowsItsBurstThenOnePerIntervalWithARetryAfter) {
    vasp_rate_limiter limiter({2, 3});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(limiter.take(100.0), 0u) << i;
    }
    EXPECT_EQ(limiter.take(100.0), 1u);  // the burst's last one was the third
    EXPECT_EQ(limiter.take(100.49), 1u);
    EXPECT_EQ(limiter.take(100.5), 0u);  // one token back after half a second
    EXPECT_EQ(limiter.take(100.5), 1u);
    // However long it was idle, no more than the burst at once.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(limiter.take(1000.0), 0u) << i;
    }
    EXPECT_EQ(limiter.take(1000.0), 1u);
    vasp_rate_limiter slow({0.1, 1});
    EXPECT_EQ(slow.take(5.0), 0u);
    EXPECT_EQ(slow.take(5.0), 10u);
    EXPECT_EQ(vasp_rate_limiter({}).take(0), 0u);  // no rate: no limit
}

TEST(Accounts, EveryFaultOfTheFileIsOneLineWithFileLineAndKey) {
    const std::string account =
        "[[vasp]]\nname = \"a\"\naddresses = [\"192.0.2.1\"]\n"
        "delivery_url = \"http://192.0.2.1/\"\n";
    const std::string other =
        "[[vasp]]\nname = \"b\"\naddresses = [\"192.0.2.2\"]\n"
        "delivery_url = \"http://192.0.2.2/\"\n";
    const struct {
        std::string text;
        const char* line;
    } rows[] = {
        {account + "colour = \"red\"\n", "vasps.toml:5: colour: unknown key"},
        {account + "receive = { recipient = [\"1\"] }\n", "vasps.toml:5: receive.recipient: "},
        {account + "rate = { per_second = 0 }\n", "vasps.toml:5: rate.per_second: "},
        {account + "connections = 0\n", "vasps.toml:5: connections: "},
        {account + "receive = { ports = [256] }\n", "vasps.toml:5: receive.ports: "},
        {account + "receive = { recipients = [\"1\"] }\n" + other +
             "receive = { recipients = [\"1\"] }\n",
         "vasps.toml:6: receive.recipients: \"1\" is already claimed by account a"},
        {account + "receive = { ports = [3] }\n" + other + "receive = { ports = [3] }\n",
         "vasps.toml:6: receive.ports: \"3\" is already claimed by account a"},
        {account + "receive = { default = true }\n" + other + "receive = { default = true }\n",
         "vasps.toml:6: receive.default: account a is the default already"},
        {account + account, "vasps.toml:5: name: \"a\" is already claimed by account a"},
        {"[[vasp]]\nname = \"a\"\naddresses = [\"192.0.2.0/33\"]\n", "vasps.toml:3: addresses: "},
        {account + "user = \"u\"\npassword_file = \"/secret/open\"\n",
         "vasps.toml:6: password_file: /secret/open is not of mode 0600 or stricter"},
        {account + "user = \"u\"\n", "vasps.toml:1: user: "},
        {"[[vasp]]\nname = \"a\"\ndelivery_url = \"http://x/\"\n", "vasps.toml:1: addresses: "},
        {"[[vasp]]\nname = \"a b\"\n", "vasps.toml:1: name: "},
        {"[[vasp]]\nname = \"a\"\naddresses = [\"192.0.2.1\"]\ndelivery_url = \"ftp://x/\"\n",
         "vasps.toml:4: delivery_url: "},
        {account + "[[vasp]]\nname = \"b\"\naddresses = [\"192.0.2.0/24\"]\n"
                   "delivery_url = \"http://192.0.2.2/\"\n",
         "vasps.toml:5: addresses: shares addresses with account a"},
        {account + "delivery_ca_file = \"/ca.pem\"\n",
         "vasps.toml:5: delivery_ca_file: serves an https delivery URL only"},
        {"[[vasp]]\nname = \"a\"\naddresses = [\"192.0.2.1\"]\n"
         "delivery_url = \"https://a.example/\"\ndelivery_cert_file = \"/c.pem\"\n",
         "vasps.toml:1: delivery_cert_file: delivery_cert_file and delivery_key_file go together"},
        {"name = \"a\"\n", "vasps.toml:1: name: unknown key"},
        {"[[vasp]\n", "vasps.toml:1: syntax: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> errors;
        EXPECT_FALSE(parse(row.text, errors));
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.front().substr(0, std::strlen(row.line)), row.line) << errors.front();
    }
    std::vector<std::string> errors;
    EXPECT_TRUE(parse(account + other, errors)) << (errors.empty() ? "" : errors.front());
}

}  // namespace

namespace {

TEST(MessageOwners, RecordsSurviveARestartAndExpireAtTheirAge) {
    const std::string path = ::testing::TempDir() + "message-owners-test";
    std::remove(path.c_str());
    const std::string odd = "id with blanks\n%0A and \x7f";
    {
        message_owners owners(path);
        ASSERT_TRUE(owners.load(1000, 100));
        EXPECT_TRUE(owners.record("m-1", "acme", 1000));
        EXPECT_TRUE(owners.record(odd, "globex", 1050));
        EXPECT_TRUE(owners.record("m-1", "initech", 1060));  // the later send names it
    }
    // A crash in the middle of a line leaves a torn one at the end.
    std::FILE* file = std::fopen(path.c_str(), "a");
    std::fputs("1070 acme m-tor", file);
    std::fclose(file);
    message_owners owners(path);
    ASSERT_TRUE(owners.load(1099, 100));
    EXPECT_EQ(owners.owner("m-1"), "initech");
    EXPECT_EQ(owners.owner(odd), "globex");
    EXPECT_EQ(owners.owner("m-tor"), std::nullopt);
    EXPECT_EQ(owners.owner("m-2"), std::nullopt);
    // At the age a record goes; a second before it stays.
    owners.expire(1149, 100);
    EXPECT_EQ(owners.owner(odd), "globex");
    owners.expire(1150, 100);
    EXPECT_EQ(owners.owner(odd), std::nullopt);
    message_owners reread(path);
    ASSERT_TRUE(reread.load(1159, 100));
    EXPECT_EQ(reread.size(), 1u);
    std::remove(path.c_str());
}

}  // namespace
