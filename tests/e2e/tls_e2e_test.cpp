// The MM7 listener over TLS, with Debian's TLS clients (curl, Python's ssl, openssl s_client,
// mm7-submit) and certificates made at run time by scripts/make_pki.sh.
#include <sys/stat.h>

#include <csignal>
#include <tuple>

#include "support/e2e_fixture.h"

namespace {

using namespace e2e;

const std::string kSubmit = std::string(MM7_BINARY_DIR) + "/tools/mm7-submit/mm7-submit";

class TlsE2E : public fixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(shell(MM7_SOURCE_DIR "/scripts/make_pki.sh " + pki("") + " 2>&1").first, 0);
        const std::string request = submit_request();
        write_file(pki("request"), request);
        write_file(pki("body"), request.substr(request.find("\r\n\r\n") + 4));
    }
    std::string pki(const std::string& name) const { return (pki_.path() / name).string(); }
    // The daemon with a certificate and key (copied, so that a test may replace them).
    void start_tls(strings args) {
        fs::copy_file(pki("server.pem"), pki("live.pem"), fs::copy_options::overwrite_existing);
        fs::copy_file(pki("server.key"), pki("live.key"), fs::copy_options::overwrite_existing);
        args.insert(args.end(), {"--tlscert", pki("live.pem"), "--tlskey", pki("live.key")});
        start({}, args);
    }
    // curl posting the submission: its output (the reply, or curl's complaint) and status.
    std::pair<int, std::string> curl(int port, const std::string& options = "") {
        return shell("curl -sS --cacert " + pki("ca.pem") + " " + options +
                     " -H 'Content-Type: multipart/related; boundary=\"outer-boundary-1\"; "
                     "type=\"text/xml\"; start=\"<mm7_env>\"' --data-binary @" +
                     pki("body") + " https://localhost:" + std::to_string(port) + "/mm7 2>&1");
    }
    std::string python(int port, int times, const std::string& cert = "") {
        return shell("python3 " MM7_SOURCE_DIR "/tests/e2e/tls_vasp.py " + std::to_string(port) +
                     " " + pki("ca.pem") + " " + pki("request") + " " + std::to_string(times) +
                     (cert.empty() ? "" : " " + pki(cert + ".pem") + " " + pki(cert + ".key")) +
                     " 2>&1")
            .second;
    }
    temp_dir pki_{"mm7-pki"};
};

const std::string kOk = "HTTP/1.0 200 OK";
const std::string kSubmitRsp = "<StatusCode>1000</StatusCode>";

// Each client submits over HTTPS beside the clear port and gets its SubmitRsp; 100 Continue and
// 103 Early Hints come through TLS, a Python VASP resumes its session, and a request the parser
// refuses is refused over TLS as in the clear.
TEST_F(TlsE2E, DebianClientsSubmitOverHttpsBesideTheClearPort) {
    start_tls({"--tlsport", "8843"});
    write_file(pki("hints"), submit_request_with(
                                 [](auto& s) { s.extra_headers = {"x-expect: 103-early-hints"}; }));
    write_file(pki("bad"), "POST /mm7 HTTP/1.1\r\nContent-Length: x\r\n\r\n");
    const std::string s_client = "openssl s_client -quiet -verify_return_error -CAfile " +
                                 pki("ca.pem") + " -connect 127.0.0.1:8843 2>&1 <";
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {curl(8843, "-i -H 'Expect: 100-continue'").second,
         {"HTTP/1.1 100 Continue", kOk, kSubmitRsp}},
        {python(8843, 3),
         {"reply " + kOk + " resumed=False TLSv1.3 alpn=http/1.1",
          "reply " + kOk + " resumed=True TLSv1.3 alpn=http/1.1\nreply"}},
        {shell(s_client + pki("hints")).second, {"HTTP/1.0 103 Early Hints", kOk, kSubmitRsp}},
        {shell(s_client + pki("bad")).second, {error_reply("400 Bad request")}},
        {shell(kSubmit + " --url https://localhost:8843/mm7 --cacert " + pki("ca.pem") +
               " --to +4917012345 2>&1")
             .second,
         {"http: 200\nstatus: 1000"}},
        {exchange(submit_request()), {kOk, kSubmitRsp}},
    };
    for (const auto& [out, wanted] : rows) {
        for (const std::string& want : wanted) {
            EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
        }
    }
    EXPECT_EQ(daemon_->log_count("Submission done:"), 8u) << daemon_->log();
}

// With --tlsclientca only certificates of that CA get in, and each client's subject and names
// are logged; the others are refused in the handshake, with the reason.
TEST_F(TlsE2E, MutualTlsAdmitsOnlyCertificatesOfTheCa) {
    start_tls({"--tlsclientca", pki("ca.pem"), "--loglevel", "info"});
    const std::pair<std::string, std::string> rows[] = {
        {"client", "TLS client 127.0.0.1 on fd "},
        {"", "failed: peer did not return a certificate"},
        {"stranger", "failed: certificate verify failed (unable to get local issuer certificate)"},
        {"expired", "failed: certificate verify failed (certificate has expired)"},
    };
    for (const auto& [cert, line] : rows) {
        const std::string out = python(8887, 1, cert);
        EXPECT_EQ(out.starts_with("reply " + kOk), cert == "client") << out;
        expect_log(line);
    }
    expect_log(": subject CN=vasp-1,O=mm7 trial, names DNS:vasp.example, email:ops@vasp.example");
    EXPECT_EQ(curl(8887, "--cert " + pki("client.pem") + " --key " + pki("client.key")).first, 0);
}

// Clear HTTP on the HTTPS port is told so in the clear; a handshake cut halfway or left
// hanging ends (the hanging one after 10 s) while other VASPs are served; nothing is kept.
TEST_F(TlsE2E, BrokenHandshakesEndWithoutStallingOthers) {
    start_tls({"--tlsport", "8843"});
    fds_ = open_fds(daemon_->pid());
    EXPECT_EQ(exchange(submit_request(), 8843),
              error_reply("400 Plain HTTP sent to the HTTPS port"));
    // A ClientHello record that announces 512 bytes and brings 100.
    const std::string half =
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(89, '\x2a');
    http_connection cut(8843), hanging(8843);
    ASSERT_TRUE(cut.send_all(half) && hanging.send_all(half));
    cut.close_now();
    expect_log("TLS handshake with 127.0.0.1 on fd");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(curl(8843).first, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_EQ(hanging.read_all(15s), "");
    expect_log("not done within 10 s, closing");
    EXPECT_TRUE(wait_until([&] { return open_fds(daemon_->pid()) == fds_; }));
}

// SIGHUP takes a new certificate and key at once; a broken key, or one others may read, leaves
// the pair in force with an error line.  A connection open across the reloads keeps its session.
TEST_F(TlsE2E, SighupReloadsTheFilesAndKeepsThemWhenBroken) {
    start_tls({});
    int to_vasp[2];
    ASSERT_EQ(pipe2(to_vasp, O_CLOEXEC), 0);
    const int out = output_file(pki("held.out"));
    process held({"/usr/bin/python3", MM7_SOURCE_DIR "/tests/e2e/tls_vasp.py", "8887",
                  pki("ca.pem"), pki("request"), "0"},
                 pki_.path(), to_vasp[0], out, out);
    close(to_vasp[0]);
    close(out);
    ASSERT_TRUE(wait_until([&] { return read_file(pki("held.out")) == "handshaken\n"; }));
    auto served_subject = [&] {
        return shell(
                   "openssl s_client -connect 127.0.0.1:8887 </dev/null 2>/dev/null | "
                   "sed -n 's/^subject=//p'")
            .second;
    };
    fs::copy_file(pki("server2.pem"), pki("live.pem"), fs::copy_options::overwrite_existing);
    fs::copy_file(pki("server2.key"), pki("live.key"), fs::copy_options::overwrite_existing);
    kill(daemon_->pid(), SIGHUP);
    expect_log("reloaded: CN=localhost-2,O=mm7 trial");
    EXPECT_EQ(served_subject(), "O = mm7 trial, CN = localhost-2\n");
    const std::tuple<std::string, mode_t, std::string> broken[] = {
        {"not a key", 0600, "TLS files not reloaded, those in force stay: private key: "},
        {read_file(pki("server.key")), 0600, "private key: key values mismatch"},
        {read_file(pki("server2.key")), 0644, "live.key is not of mode 0600 or stricter"},
    };
    for (const auto& [key, mode, line] : broken) {
        write_file(pki("live.key"), key);
        chmod(pki("live.key").c_str(), mode);
        kill(daemon_->pid(), SIGHUP);
        expect_log(line);
        EXPECT_EQ(served_subject(), "O = mm7 trial, CN = localhost-2\n");
    }
    EXPECT_EQ(write(to_vasp[1], "\n", 1), 1);
    close(to_vasp[1]);
    held.wait_for_exit();
    EXPECT_NE(read_file(pki("held.out")).find("reply " + kOk), std::string::npos);
}

// TLS options that cannot be used end the start with status 1 and a reason, before the pid file.
TEST_F(TlsE2E, UnusableTlsFilesEndTheStart) {
    const std::pair<strings, std::string> rows[] = {
        {{"--tlscert", pki("server.pem")}, "TLS needs both --tlscert and --tlskey"},
        {{"--tlscert", pki("server.pem"), "--tlskey", pki("client.key")}, "values mismatch"},
        {{"--tlscert", pki("nothing.pem"), "--tlskey", pki("server.key")},
         "Cannot use TLS: certificate " + pki("nothing.pem")},
        {{"--tlscert", pki("server.pem"), "--tlskey", pki("ca.pem")},
         "is not of mode 0600 or stricter"},
        {{"--tlscert", pki("server.pem"), "--tlskey", pki("server.key"), "--tlsport", "8887"},
         "--tlsport 8887 is the clear --port too"},
    };
    for (const auto& [args, line] : rows) {
        daemon_process daemon(args);
        const auto status = daemon.wait_for_exit();
        ASSERT_TRUE(status && status->exited) << line;
        EXPECT_EQ(status->code, 1) << line;
        EXPECT_NE(daemon.stderr_text().find(line), std::string::npos) << daemon.stderr_text();
        EXPECT_FALSE(fs::exists(daemon.pid_file()));
    }
}

}  // namespace
