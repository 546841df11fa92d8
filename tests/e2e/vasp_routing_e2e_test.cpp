// Three VASP accounts, each with an endpoint of its own: received messages and reports reach
// their account's endpoint, across a restart; an endpoint that is down or hangs delays no other
// account; a message no account takes waits in the spool until one does.
#include <ctime>

#include "support/e2e_fixture.h"
#include "support/test_pki.h"

namespace {

using e2e::strings;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class VaspRoutingE2E : public e2e::fixture {
  protected:
    // acme takes +49151..., globex port 7 (its URL in a file), initech +4917... and, as the
    // default, whatever no other account takes.
    void write_accounts(bool initech_default) {
        e2e::write_file(work_.path() / "globex-url", "http://127.0.0.1:8082/globex\n");
        fs::permissions(work_.path() / "globex-url", fs::perms::owner_read);
        const std::string accounts[][3] = {
            {"acme", "delivery_url = \"http://127.0.0.1:8081/acme\"", "recipients = [\"+49151*\"]"},
            {"globex", "delivery_url_file = \"" + work_.path().string() + "/globex-url\"",
             "ports = [7]"},
            {"initech", "delivery_url = \"http://127.0.0.1:8083/initech\"",
             std::string("recipients = [\"+4917*\"]") +
                 (initech_default ? ", default = true" : "")}};
        std::string text;
        for (int n = 0; n < 3; ++n) {
            text += "[[vasp]]\nname = \"" + accounts[n][0] + "\"\naddresses = [\"127.0.0." +
                    std::to_string(n + 1) + "\"]\n" + accounts[n][1] + "\nreceive = { " +
                    accounts[n][2] + " }\n";
        }
        e2e::write_file(work_.path() / "vasps.toml", text);
    }
    strings args() const {
        const std::string dir = work_.path().string() + "/";
        return {"--workdir",    dir, "--vaspfile",    dir + "vasps.toml",
                "--retrydelay", "1", "--metricsport", "9187"};
    }
    // The simulator writes a message (retrieve) or a report (delivery, read) to `to` and hands
    // it to the daemon as received on `port`.
    void receive(const std::string& kind, const std::string& id, const std::string& to, int port) {
        const std::string pdu = (in_.path() / (to + ".mm1")).string(), txt = pdu + ".txt";
        e2e::write_file(txt, "text for " + to);
        set("recipient=" + to);
        sim_->command("pdu " + kind + " " + pdu + " " + (kind == "retrieve" ? txt : id));
        ASSERT_TRUE(sim_->wait_for_line("wrote " + kind));
        sim_->command("rcv 4 " + pdu + " port=" + std::to_string(port));
    }
    static std::unique_ptr<e2e::vasp_process> sink(int port) {
        return std::make_unique<e2e::vasp_process>(strings{"--port", std::to_string(port)}, true);
    }
    e2e::temp_dir work_{"mm7-vasps"}, in_{"mm7-in"};
};

TEST_F(VaspRoutingE2E, MessagesAndReportsReachTheirAccountAcrossARestartUnroutableOnesWait) {
    write_accounts(false);
    std::unique_ptr<e2e::vasp_process> sinks[] = {sink(8081), nullptr, sink(8083)};
    start({}, args());  // globex's endpoint is down
    // globex and initech submit, and the daemon restarts before the network's reports come.
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        set(std::string("message_id=MID-") + from[8]);
        EXPECT_TRUE(e2e::exchange(e2e::submit_request(), 8887, from).starts_with("HTTP/1.0 200"));
    }
    start_daemon(args());
    const struct {
        const char *kind, *id, *to;
        int port, vasp;  // -1: globex, down; -2: no account takes it until initech is the default
    } cases[] = {
        {"retrieve", "", "+4930000007", 1, -2},      {"retrieve", "", "+4915100001", 1, 0},
        {"retrieve", "", "+4930000002", 7, -1},      {"retrieve", "", "+4917000003", 7, 2},
        {"delivery", "MID-2", "+4915100004", 1, -1}, {"read", "MID-3", "+4915100005", 7, 2},
        {"delivery", "MID-X", "+4915100006", 1, 0}};
    std::size_t down = 0;
    for (const auto& c : cases) {
        receive(c.kind, c.id, c.to, c.port);
        EXPECT_TRUE(c.vasp != -1 || daemon_->wait_for_log_count("bytes) for VASP globex", ++down));
        EXPECT_TRUE(c.vasp < 0 || sinks[c.vasp]->wait_for_line(c.to)) << c.to << daemon_->log();
    }
    expect_log("to +4930000007 (entry 0");  // "...) is taken by no VASP account, kept ..."
    EXPECT_EQ(e2e::match(daemon_->log(), "(spool: try .*) taken by no VASP"), "");  // never tried
    const std::string metrics = e2e::exchange("GET /metrics HTTP/1.1\r\n\r\n", 9187);
    EXPECT_NE(metrics.find("\nmm7_deliveries_unroutable 1\n"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("vasp=\"\""), std::string::npos) << metrics;  // never tried
    // A restart, with the globex report's record as an older version wrote it (no account).
    daemon_->stop();
    const std::string spool = work_.path().string() + "/spool/";
    ASSERT_EQ(e2e::shell("sed -i /^account/d $(grep -l +4915100004 " + spool + "*.meta)").first, 0);
    write_accounts(true);
    sinks[1] = sink(8082);
    start_daemon(args());
    EXPECT_TRUE(e2e::wait_until([&] {
        return sinks[1]->seen("+4930000002") && sinks[1]->seen("+4915100004");
    })) << daemon_->log();
    EXPECT_TRUE(sinks[2]->wait_for_line("+4930000007")) << daemon_->log();
    EXPECT_TRUE(daemon_->log_contains(") goes to VASP globex"));
    EXPECT_EQ(std::tuple(sinks[0]->count(" tx="), sinks[1]->count(" tx="), sinks[2]->count(" tx=")),
              std::tuple(2u, 2u, 3u));
}

// globex refuses connections, then takes them and never answers: acme and initech are served at
// once all the same, and /health names globex once it has failed for 10 retry delays.
TEST_F(VaspRoutingE2E, AnEndpointDownOrHangingDelaysNoOtherAccount) {
    write_accounts(true);
    auto acme = sink(8081), initech = sink(8083);
    e2e::vasp_process globex({"--port", "8082", "--mode", "refuse"});
    start({}, args());
    for (int i = 0; i < 9; ++i) {
        receive("retrieve", "", "+493000000" + std::to_string(i), 7);
    }
    ASSERT_TRUE(daemon_->wait_for_log_count("bytes) for VASP globex", 9)) << daemon_->log();
    globex.command("mode never-answer");
    ASSERT_TRUE(e2e::wait_until([&] { return globex.count("not answering") == 8; }, 15s));
    receive("retrieve", "", "+4915100009", 1);
    EXPECT_TRUE(acme->wait_for_line("+4915100009", 3s)) << daemon_->log();
    receive("retrieve", "", "+4940000009", 1);
    EXPECT_TRUE(initech->wait_for_line("+4940000009", 3s)) << daemon_->log();
    const auto get = [](std::string what) {
        return e2e::exchange(what + " HTTP/1.1\r\n\r\n", 9187);
    };
    const auto failing = [&] {
        return e2e::match(get("GET /health"), "\n(VASP .*) endpoint failing");
    };
    EXPECT_TRUE(e2e::wait_until([&] { return !failing().empty(); }, 15s));
    EXPECT_EQ(failing(), "VASP globex");
    const std::string metrics = get("GET /metrics");
    for (const char* line : {"entries{vasp=\"globex\"} 9", "entries{vasp=\"acme\"} 0",
                             "{outcome=\"delivered\",vasp=\"initech\"} 1"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
    }
}

// An account's https endpoint named by its host name, reached with TLS files of the account's
// own: the endpoint demands a client certificate, which only the account's files present (the
// client options name neither CA nor certificate).  A host name that does not resolve is a fault
// of the file, found before anything starts.
TEST_F(VaspRoutingE2E, AnAccountDeliversOverTlsWithItsOwnFilesToANamedHost) {
    const e2e::test_pki pki;
    const std::string account =
        "[[vasp]]\nname = \"acme\"\naddresses = [\"127.0.0.1\"]\nreceive = { default = true }\n"
        "delivery_ca_file = \"" +
        pki("ca.pem") + "\"\ndelivery_cert_file = \"" + pki("client.pem") +
        "\"\ndelivery_key_file = \"" + pki("client.key") + "\"\n";
    e2e::write_file(work_.path() / "vasps.toml",
                    account + "delivery_url = \"https://no-such-host.invalid/\"\n");
    const std::string dir = work_.path().string() + "/";
    const auto [status, out] =
        e2e::shell(std::string(MM7_DAEMON_PATH) + " --checkconfig --workdir " + dir +
                   " --vaspfile " + dir + "vasps.toml 2>&1");
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("vasps.toml:1: delivery_url: cannot resolve host no-such-host.invalid"),
              std::string::npos)
        << out;
    e2e::write_file(work_.path() / "vasps.toml",
                    account + "delivery_url = \"https://localhost:8443/acme\"\n");
    e2e::vasp_process acme({"--port", "8443", "--tlscert", pki("server.pem"), "--tlskey",
                            pki("server.key"), "--tlsclientca", pki("ca.pem")},
                           true);
    start({}, args());
    receive("retrieve", "", "+4915100001", 1);
    const auto line = acme.wait_for_line("request 1 DeliverReq");
    ASSERT_TRUE(line) << daemon_->log();
    EXPECT_NE(line->find("commonName=vasp-1"), std::string::npos) << *line;
}

}  // namespace
