// TLS sessions over a non-blocking socket pair, certificates made by scripts/make_pki.sh.
#include "core/tls.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

namespace {

namespace fs = std::filesystem;

const fs::path pki = fs::temp_directory_path() / ("mm7-tls-test-" + std::to_string(getpid()));

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Tls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(std::system((MM7_SOURCE_DIR "/scripts/make_pki.sh " + pki.string()).c_str()), 0);
    }
    static void TearDownTestSuite() { fs::remove_all(pki); }

    // A server context with server.pem, or a client one trusting ca.pem; `cert` names the
    // certificate a client presents.
    static std::unique_ptr<tls_context> context(bool server, std::string cert = "",
                                                const std::string& client_ca = "") {
        cert = server ? "server" : cert;
        std::string error, pem = cert.empty() ? "" : (pki / (cert + ".pem")).string();
        const std::string key = cert.empty() ? "" : slurp(pki / (cert + ".key"));
        auto ctx = server ? tls_context::server({pem, key, client_ca}, error)
                          : tls_context::client({(pki / "ca.pem").string(), pem, key}, error);
        EXPECT_TRUE(ctx) << error;
        return ctx;
    }
    // Handshakes on both ends until neither waits any more; the two outcomes.
    std::pair<tls_state, tls_state> connect(const tls_context& server, const tls_context& client,
                                            const std::string& host = "127.0.0.1",
                                            const tls_session& resume = nullptr) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        fds_ = {fds[0], fds[1]};
        std::string error;
        s_ = tls_connection::server(server, fds[0], error);
        c_ = tls_connection::client(client, fds[1], host, error, resume);
        tls_state a = tls_state::want_read, b = tls_state::want_write;
        auto waiting = [](tls_state x) {
            return x == tls_state::want_read || x == tls_state::want_write;
        };
        for (int i = 0; i < 100 && (waiting(a) || waiting(b)); ++i) {
            b = waiting(b) ? c_->handshake() : b;
            a = waiting(a) ? s_->handshake() : a;
        }
        return {a, b};
    }
    void TearDown() override {
        s_.reset();
        c_.reset();
        close(std::exchange(fds_.first, -1));
        close(std::exchange(fds_.second, -1));
    }
    std::unique_ptr<tls_connection> s_, c_;
    std::pair<int, int> fds_{-1, -1};
};

// Client certificates against the server's CA file, and the server's name against the
// certificate: who gets through, and the reason each refusal carries.
TEST_F(Tls, HandshakeChecksBothSidesCertificates) {
    struct row {
        const char *client_cert, *host, *server_error, *client_error;  // "", "": both succeed
    };
    const row rows[] = {
        {"client", "127.0.0.1", "", ""},
        {"client", "localhost", "", ""},
        {"stranger", "127.0.0.1",
         "certificate verify failed (unable to get local issuer certificate)", ""},
        {"expired", "127.0.0.1", "certificate verify failed (certificate has expired)", ""},
        {"", "127.0.0.1", "peer did not return a certificate", ""},
        {"client", "mmsc.example", "", "certificate verify failed (hostname mismatch)"},
        {"client", "127.0.0.2", "", "certificate verify failed (IP address mismatch)"},
    };
    auto server = context(true, "", (pki / "ca.pem").string());
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.client_cert) + " " + r.host);
        auto client = context(false, r.client_cert);
        auto [a, b] = connect(*server, *client, r.host);
        // A refused client may only learn of it from the server's next record.
        std::size_t got = 0;
        std::uint8_t byte = 0;
        if (b == tls_state::done && a != tls_state::done) {
            b = c_->read({&byte, 1}, got);
        }
        const tls_state want =
            *r.server_error == 0 && *r.client_error == 0 ? tls_state::done : tls_state::failed;
        EXPECT_EQ(a, want) << s_->error();
        EXPECT_EQ(b, want) << c_->error();
        EXPECT_NE(s_->error().find(r.server_error), std::string::npos) << s_->error();
        EXPECT_NE(c_->error().find(r.client_error), std::string::npos) << c_->error();
        if (a == tls_state::done) {
            EXPECT_EQ(s_->peer_subject(), "CN=vasp-1,O=mm7 trial");
            EXPECT_EQ(s_->peer_names(),
                      (std::vector<std::string>{"DNS:vasp.example", "email:ops@vasp.example"}));
            EXPECT_EQ(c_->protocol(), "TLSv1.3");
        }
        TearDown();
    }
}

// A megabyte one way through a socket that takes far less at a time, the client's records sent
// one by one or gathered in an output buffer smaller than the megabyte: every write that waits
// is repeated from a copy of the rest (the buffer moves), and close_notify ends it.
TEST_F(Tls, PartialWritesRepeatedFromAMovedBufferArriveWhole) {
    auto server = context(true);
    auto client = context(false);
    std::string sent(1 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 7919 >> 5);
    }
    for (const bool gathered : {false, true}) {
        SCOPED_TRACE(gathered ? "gathered" : "record by record");
        ASSERT_EQ(connect(*server, *client), std::make_pair(tls_state::done, tls_state::done));
        ASSERT_TRUE(!gathered || c_->gather_output(5 * TLS_RECORD_DATA));
        std::string pending = sent, received;
        std::vector<std::uint8_t> chunk(70000);
        bool shut = false;
        for (int i = 0; i < 100000 && received.size() < sent.size(); ++i) {
            std::size_t n = 0;
            if (!pending.empty()) {
                const tls_state st = c_->write(as_bytes(pending), n);
                ASSERT_TRUE(st == tls_state::done || st == tls_state::want_write) << c_->error();
                pending = pending.substr(n);  // a new buffer for the rest
            } else if (!shut) {
                shut = c_->shutdown() == tls_state::done;
            }
            if (s_->read(chunk, n) == tls_state::done) {
                received.append(reinterpret_cast<char*>(chunk.data()), n);
            }
        }
        EXPECT_TRUE(received == sent) << received.size();
        std::size_t n = 0;
        ASSERT_TRUE(shut || c_->shutdown() == tls_state::done);
        EXPECT_FALSE(c_->output_pending());
        EXPECT_EQ(s_->read(chunk, n), tls_state::closed);
        EXPECT_EQ(s_->error(), "the peer ended the session");
        TearDown();
    }
}

// A client's saved session resumes the next connection, also after the server's context was
// made anew with the old one's ticket keys; without them it starts afresh.
TEST_F(Tls, SessionsResumeAcrossAReloadThatKeepsTheTicketKeys) {
    auto server = context(true);
    auto client = context(false);
    std::uint8_t byte = 0;
    std::size_t n = 0;
    ASSERT_EQ(connect(*server, *client).second, tls_state::done);
    c_->read({&byte, 1}, n);  // takes in the ticket that followed the handshake
    tls_session session = c_->session();
    EXPECT_FALSE(c_->resumed());
    TearDown();
    auto reloaded = context(true);
    reloaded->take_ticket_keys(*server);
    auto fresh = context(true);
    for (auto [ctx, resumes] :
         {std::pair{server.get(), true}, {reloaded.get(), true}, {fresh.get(), false}}) {
        ASSERT_EQ(connect(*ctx, *client, "127.0.0.1", session).second, tls_state::done);
        EXPECT_EQ(s_->resumed(), resumes);
        TearDown();
    }
}

}  // namespace
