// Several VASPs on one daemon: who a request is, what each account may cost, reloads and the
// check of an account file, with three accounts on loopback addresses of their own.
#include <csignal>
#include <regex>
#include <thread>
#include <tuple>

#include "core/base64.h"
#include "support/e2e_fixture.h"
#include "support/test_pki.h"

namespace {

using e2e::exchange, e2e::http_connection, e2e::strings, e2e::submit_request;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string globex_token = "Z2xvYmV4OnNlY3JldA==";  // globex:secret

std::string accounts_file(const fs::path& dir, std::string_view acme_addresses = "127.0.0.2") {
    return "# three VASPs\n"
           "[[vasp]]\n"
           "name = \"acme\"\n"
           "addresses = [\"" +
           std::string(acme_addresses) +
           "\"]\n"
           "vaspid = \"vasp\"\n"
           "delivery_url = \"http://127.0.0.1:8080/acme\"\n"
           "rate = { per_second = 0.5, burst = 2 }\n"
           "\n"
           "[[vasp]]\n"
           "name = \"globex\"\n"
           "addresses = [\"127.0.0.3/32\"]\n"
           "user = \"globex\"\n"
           "password_file = \"" +
           (dir / "globex.pass").string() +
           "\"\n"
           "delivery_url = \"http://127.0.0.1:8080/globex\"\n"
           "\n"
           "[[vasp]]\n"
           "name = \"initech\"\n"
           "addresses = [\"127.0.0.4\"]\n"
           "vaspid = \"initech-1\"\n"
           "delivery_url = \"http://127.0.0.1:8080/initech\"\n"
           "receive = { default = true }\n"
           "connections = 2\n";
}

class Accounts : public e2e::fixture {
  protected:
    void SetUp() override {
        e2e::write_file(dir_.path() / "globex.pass", "secret\n");
        fs::permissions(dir_.path() / "globex.pass", fs::perms::owner_read);
        e2e::write_file(file(), accounts_file(dir_.path()));
        start({}, {"--vaspfile", file().string()});
    }
    fs::path file() const { return dir_.path() / "vasps.toml"; }
    std::string submit(const char* from, std::string_view auth = "") {
        std::string request = submit_request();
        if (!auth.empty()) {
            request.insert(request.find("\r\n") + 2,
                           "Authorization: Basic " + std::string(auth) + "\r\n");
        }
        return exchange(request, 8887, from);
    }
    void reload() {
        const std::size_t before = daemon_->log_count("VASP accounts");
        kill(daemon_->pid(), SIGHUP);
        ASSERT_TRUE(daemon_->wait_for_log_count("VASP accounts", before + 1)) << daemon_->log();
    }
    e2e::temp_dir dir_{"mm7-accounts"};
};

class AccountsTls : public e2e::fixture {};

TEST_F(Accounts, EachRequestIsItsAccountAndNoAccountCanPassForAnother) {
    const struct {
        const char* from;
        std::string auth;
        const char* reply;  // the start of the answer ("": closed without one)
        const char* line;   // in the log
    } rows[] = {
        {"127.0.0.2", "", "HTTP/1.0 200 OK", "outcome=sent http=200 status=1000"},
        {"127.0.0.3", globex_token, "HTTP/1.0 200 OK", "vasp=globex"},
        {"127.0.0.3", "", "HTTP/1.0 401 Unauthorized", "sent no credentials, answering 401"},
        {"127.0.0.3", "Z2xvYmV4Ondyb25n", "HTTP/1.0 401", "sent wrong credentials"},
        // globex's credentials from acme's address: neither account.
        {"127.0.0.2", globex_token, "HTTP/1.0 403 Forbidden",
         "sent the credentials of VASP globex from another address"},
        {"127.0.0.5", "", "", "IP '127.0.0.5' not authorized"},
        // initech's submissions must carry its VASPID.
        {"127.0.0.4", "", "HTTP/1.0 500 OK",
         "VASP initech: VASPID is not the one of this VASP's account"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.from) + " " + row.auth);
        const std::string reply = submit(row.from, row.auth);
        EXPECT_TRUE(reply.starts_with(row.reply)) << reply;
        expect_log(row.line);
    }
    EXPECT_NE(submit("127.0.0.4").find("<StatusCode>2001</StatusCode>"), std::string::npos);
    expect_log("outcome=sent http=200 status=1000 duration_ms=");
    EXPECT_TRUE(daemon_->log_contains(" vasp=acme\n")) << daemon_->log();
}

TEST_F(Accounts, PastItsRateAVaspGetsAFaultWithRetryAfterAndTheOthersGoOn) {
    // The burst of two, then a fault that says when to come back; globex is not slowed.
    EXPECT_TRUE(submit("127.0.0.2").starts_with("HTTP/1.0 200"));
    EXPECT_TRUE(submit("127.0.0.2").starts_with("HTTP/1.0 200"));
    const std::string refused = submit("127.0.0.2");
    EXPECT_TRUE(refused.starts_with("HTTP/1.0 500 OK\r\n")) << refused;
    EXPECT_TRUE(std::regex_search(refused, std::regex("\r\nRetry-After: [12]\r\n"))) << refused;
    EXPECT_NE(refused.find("<StatusCode>4006</StatusCode>"), std::string::npos) << refused;
    EXPECT_NE(refused.find(">vasp-tx-1</TransactionID>"), std::string::npos) << refused;
    EXPECT_TRUE(submit("127.0.0.3", globex_token).starts_with("HTTP/1.0 200"));
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(submit("127.0.0.2").starts_with("HTTP/1.0 200"));
}

TEST_F(Accounts, PastItsConnectionsAnAccountIsRefusedAtAcceptAndOnlyIt) {
    http_connection first(8887, "127.0.0.4"), second(8887, "127.0.0.4");
    ASSERT_TRUE(first.connected() && second.connected());
    first.send_all("POST");
    second.send_all("POST");
    http_connection third(8887, "127.0.0.4");
    EXPECT_EQ(third.read_all(5s), "");
    expect_log("The VASP accounts of 127.0.0.4 have all their connections open");
    EXPECT_TRUE(submit("127.0.0.2").starts_with("HTTP/1.0 200"));
}

TEST_F(Accounts, AReloadTakesAGoodFileWholeAndKeepsTheAccountsOfABrokenOne) {
    e2e::write_file(file(), accounts_file(dir_.path()) + "colour = \"red\"\n");
    reload();
    expect_log("vasps.toml:23: colour: unknown key");
    expect_log("not reloaded; the accounts in force stay");
    EXPECT_TRUE(submit("127.0.0.2").starts_with("HTTP/1.0 200"));
    EXPECT_EQ(submit("127.0.0.6"), "");
    e2e::write_file(file(), accounts_file(dir_.path(), "127.0.0.6"));
    reload();
    expect_log("3 VASP accounts reloaded from");
    EXPECT_TRUE(submit("127.0.0.6").starts_with("HTTP/1.0 200"));
    EXPECT_EQ(submit("127.0.0.2"), "");
}

// Over TLS an account may ask for a client certificate: a certificate of the CA that bears the
// subject or alternative name it names is that account; another of the same CA is not.
TEST_F(AccountsTls, AClientCertificateIsItsAccountOnlyWhenItBearsTheNameAsked) {
    e2e::test_pki pki;
    std::string file;
    for (const auto& [name, address, cert] :
         {std::tuple{"bysubject", "127.0.0.2", "CN=vasp-1,O=mm7 trial"},
          {"bydns", "127.0.0.3", "DNS:vasp.example"},
          {"byemail", "127.0.0.4", "ops@vasp.example"}}) {
        file += std::string("[[vasp]]\nname = \"") + name + "\"\naddresses = [\"" + address +
                "\"]\nclient_cert = \"" + cert + "\"\ndelivery_url = \"http://127.0.0.1:8080/\"\n";
    }
    const std::string request = submit_request();
    e2e::write_file(pki("vasps.toml"), file);
    e2e::write_file(pki("body"), request.substr(request.find("\r\n\r\n") + 4));
    start({}, {"--vaspfile", pki("vasps.toml"), "--tlscert", pki("server.pem"), "--tlskey",
               pki("server.key"), "--tlsclientca", pki("ca.pem")});
    const std::string curl =
        "curl -sS -i -4 --cacert " + pki("ca.pem") + " --data-binary @" + pki("body") +
        " -H 'Content-Type: " + e2e::match(request, "Content-Type: ([^\\r]*)") +
        "' https://localhost:8887/mm7 2>&1";
    const struct {
        const char *from, *cert, *reply, *line;
    } rows[] = {
        {"127.0.0.2", "client", "HTTP/1.0 200 OK", " vasp=bysubject\n"},
        {"127.0.0.2", "other", "HTTP/1.0 401 Unauthorized", "no account names, answering 401"},
        {"127.0.0.3", "other", "HTTP/1.0 200 OK", " vasp=bydns\n"},
        {"127.0.0.4", "client", "HTTP/1.0 200 OK", " vasp=byemail\n"},
        {"127.0.0.4", "other", "HTTP/1.0 401 Unauthorized", "no account names, answering 401"},
    };
    for (const auto& row : rows) {
        const std::string reply = e2e::shell(curl + " --interface " + row.from + " --cert " +
                                             pki(row.cert) + ".pem --key " + pki(row.cert) + ".key")
                                      .second;
        EXPECT_TRUE(reply.starts_with(row.reply)) << row.from << " " << row.cert << "\n" << reply;
        expect_log(row.line);
    }
}

TEST(AccountsCheck, CheckconfigSaysWhatIsWrongWithEachFileAndStartsNothing) {
    e2e::temp_dir dir("mm7-check");
    e2e::write_file(dir.path() / "globex.pass", "secret\n");
    fs::permissions(dir.path() / "globex.pass", fs::perms::owner_read | fs::perms::others_read);
    const std::string good = accounts_file(dir.path());
    const auto changed = [&](std::string_view from, std::string_view to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    const struct {
        std::string text;
        int status;
        const char* says;
    } rows[] = {
        {changed("user = \"globex\"\npassword_file = \"" + (dir.path() / "globex.pass").string() +
                     "\"\n",
                 ""),
         0, "mm7_server: the configuration is good"},
        {good, 1, "vasps.toml:13: password_file: "},  // readable by others
        {good + "[[vasp]]\nname = \"acme\"\n", 1, "vasps.toml:23: name: \"acme\" is already"},
        {changed("127.0.0.3/32", "127.0.0.300"), 1, "vasps.toml:11: addresses: "},
        {changed("rate = {", "receive = { default = true }\nrate = {"), 1,
         "vasps.toml:17: receive.default: account acme is the default already"},
        {"[[vasp]]\nname = \"x\"\naddresses = [\"10.0.0.0/40\"]\n", 1,
         "vasps.toml:3: addresses: \"10.0.0.0/40\" is not an IPv4 or IPv6 address"},
        {"[[vasp]\n", 1, "vasps.toml:1: syntax: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        e2e::write_file(dir.path() / "vasps.toml", row.text);
        const auto [status, out] = e2e::shell(
            std::string(MM7_DAEMON_PATH) + " --workdir " + dir.path().string() +
            "/ --checkconfig " + "--vaspfile " + (dir.path() / "vasps.toml").string() + " 2>&1");
        EXPECT_EQ(status, row.status) << out;
        EXPECT_NE(out.find(row.says), std::string::npos) << out;
        EXPECT_FALSE(fs::exists(dir.path() / "mm7-server.pid"));
    }
}

}  // namespace
