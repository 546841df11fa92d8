// What the end-to-end tests share: a raw-socket HTTP client, SubmitReq requests as a VASP sends
// them, and one fixture that runs the daemon with its peers (kernel module simulator, VASP
// endpoint, MMSC stand-in) and checks at the end that the daemon is still well.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/daemon_harness.h"

namespace e2e {

class http_connection {
  public:
    // from: the loopback address to connect from (127.0.0.1 when none).
    explicit http_connection(std::uint16_t port = 8887, const char* from = nullptr)
        : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in source{AF_INET, 0, {}, {}};
        if (from != nullptr &&
            (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
             bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
            return;
        }
        sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~http_connection() { close_now(); }
    bool connected() const { return connected_; }
    bool send_all(std::string_view data) {
        for (ssize_t n = 0; !data.empty(); data.remove_prefix(static_cast<std::size_t>(n))) {
            if ((n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL)) <= 0) {
                return false;
            }
        }
        return true;
    }
    // What arrives next, waiting at most `timeout` for it ("" at the end or on timeout).
    std::string read_some(ms timeout) {
        pollfd p{fd_, POLLIN, 0};
        char chunk[65536];
        ssize_t n = poll(&p, 1, static_cast<int>(std::max<long>(timeout.count(), 0))) > 0
                        ? recv(fd_, chunk, sizeof chunk, 0)
                        : 0;
        return std::string(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    // Everything the server sends until it closes (or the timeout passes).
    std::string read_all(ms timeout = 20s) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        auto left = [&] {
            return std::chrono::ceil<ms>(deadline - std::chrono::steady_clock::now());
        };
        for (std::string got; !(got = read_some(left())).empty();) {
            out += got;
        }
        return out;
    }
    void reset_now() {  // a close that sends a reset
        linger abort{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close_now();
    }
    void close_now() {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

inline std::string exchange(std::string_view request, std::uint16_t port = 8887,
                            const char* from = nullptr) {
    http_connection c(port, from);
    c.send_all(request);
    return c.read_all();
}

// The head of an MM1-mode request: the PDU itself as the body, no SOAP envelope.
inline const std::string mm1_head =
    "POST /mm7 HTTP/1.0\r\nContent-Type: application/vnd.wap.mms-message\r\n";

// The reply the daemon gives to a refused request.
inline std::string error_reply(const std::string& status) {
    return "HTTP/1.0 " + status + "\r\n\r\n" + status;
}

struct test_part {
    std::string content_type, content_id, body;         // the body as it travels
    std::string transfer_encoding = "", location = "";  // empty: no header
};

struct test_submission {
    std::string transaction_id = "vasp-tx-1", subject = "Hello";
    std::string recipients = "<To><Number>+4917012345</Number></To>";
    std::vector<test_part> parts = {
        {"application/smil", "<smil_part>",
         "<smil><body><par><img src=\"img.gif\"/><text src=\"t.txt\"/></par></body></smil>", "",
         "smil.xml"},
        {"text/plain; charset=utf-8", "<t.txt>", "Hello from the VASP\r\nline two", "8bit",
         "t.txt"},
        {"image/gif", "<img.gif>", "R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==",
         "base64", "img.gif"}};  // a 1x1 GIF
    strings extra_headers;       // e.g. "x-expect: 103-early-hints"
};

// The whole HTTP request: the SOAP envelope, then the content as an inner multipart/related.
inline std::string submit_request(const test_submission& s = {}) {
    const std::string ns =
        "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/"
        "REL-5-MM7-1-2\"";
    std::string body =
        "--outer-boundary-1\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-ID: <mm7_env>"
        "\r\n\r\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<env:Envelope xmlns:env=\"http://"
        "schemas.xmlsoap.org/soap/envelope/\">\r\n<env:Header><mm7:TransactionID xmlns:mm7=\"" +
        ns + " env:mustUnderstand=\"1\">" + s.transaction_id +
        "</mm7:TransactionID></env:Header>\r\n<env:Body><SubmitReq xmlns=\"" + ns +
        ">\r\n<MM7Version>5.3.0</MM7Version>\r\n<SenderIdentification><VASPID>vasp</VASPID>"
        "</SenderIdentification>\r\n<Recipients>" +
        s.recipients +
        "</Recipients>\r\n<MessageClass>Personal</MessageClass>\r\n<Priority>High</Priority>\r\n"
        "<Subject>" +
        s.subject +
        "</Subject>\r\n<Content href=\"cid:mms_cid\" "
        "allowAdaptations=\"true\"/>\r\n</SubmitReq></env:Body></env:Envelope>\r\n"
        "--outer-boundary-1\r\nContent-Type: multipart/related; boundary=\"inner-boundary-2\"; "
        "start=\"<smil_part>\"; type=\"application/smil\"\r\nContent-ID: <mms_cid>\r\n\r\n";
    for (const test_part& p : s.parts) {
        body += "--inner-boundary-2\r\nContent-Type: " + p.content_type +
                "\r\nContent-ID: " + p.content_id + "\r\n";
        body += p.transfer_encoding.empty()
                    ? ""
                    : "Content-Transfer-Encoding: " + p.transfer_encoding + "\r\n";
        body += p.location.empty() ? "" : "Content-Location: " + p.location + "\r\n";
        body += "\r\n" + p.body + "\r\n";
    }
    body += "--inner-boundary-2--\r\n\r\n--outer-boundary-1--\r\n";
    std::string head =
        "POST /mm7 HTTP/1.1\r\nHost: 127.0.0.1\r\nSOAPAction: \"\"\r\nContent-Type: "
        "multipart/related; boundary=\"outer-boundary-1\"; type=\"text/xml\"; "
        "start=\"<mm7_env>\"\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n";
    for (const std::string& h : s.extra_headers) {
        head += h + "\r\n";
    }
    return head + "\r\n" + body;
}

inline std::string submit_request_with(const std::function<void(test_submission&)>& change) {
    test_submission s;
    change(s);
    return submit_request(s);
}

// The request with its body sent chunked: chunks of varying sizes with an extension, and a
// trailer.
inline std::string chunked(std::string_view request) {
    std::size_t head_end = request.find("\r\n\r\n") + 4;
    std::string head(request.substr(0, head_end - 2));
    head.replace(head.find("Content-Length"), 14, "X-Length");
    std::string out = head + "Transfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = head_end, n = 1; at < request.size(); at += n, n = n * 7 % 5000 + 1) {
        std::string_view piece = request.substr(at, n);
        char size[32];
        std::snprintf(size, sizeof size, "%zx;ext=1\r\n", piece.size());
        out += size + std::string(piece) + "\r\n";
    }
    return out + "0\r\nTrailer: x\r\n\r\n";
}

// The request with each pair's first text replaced by its second (every occurrence), and its
// Content-Length brought up to date.
inline std::string reshaped(std::string request,
                            const std::vector<std::pair<std::string, std::string>>& changes) {
    for (const auto& [from, to] : changes) {
        EXPECT_NE(request.find(from), std::string::npos) << from;
        for (std::size_t at = 0; (at = request.find(from, at)) != std::string::npos;) {
            request.replace(at, from.size(), to);
            at += to.size();
        }
    }
    const std::size_t body = request.find("\r\n\r\n") + 4;
    return std::regex_replace(request.substr(0, body), std::regex("Content-Length: \\d+"),
                              "Content-Length: " + std::to_string(request.size() - body)) +
           request.substr(body);
}

// The request with the lines of its body (not of its head) ending in a bare LF.
inline std::string bare_lf_body(const std::string& request) {
    const std::size_t body = request.find("\r\n\r\n") + 4;
    return reshaped(request.substr(0, body) +
                        std::regex_replace(request.substr(body), std::regex("\r\n"), "\n"),
                    {});
}

// The first group of pattern in text ("" when it does not match).
inline std::string match(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

// Runs a command through the shell: its exit status and standard output.
inline std::pair<int, std::string> shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char chunk[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        out.append(chunk, n);
    }
    int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

inline std::size_t open_fds(pid_t pid) {
    auto dir = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(dir, fs::directory_iterator()));
}

inline std::size_t count_files(const fs::path& dir, std::string_view extension = ".mm1") {
    auto files = fs::directory_iterator(dir);
    return std::count_if(begin(files), end(files), [&](const fs::directory_entry& e) {
        return e.path().extension() == extension;
    });
}

// The daemon with its peers.  start() runs the simulator, keeping every PDU it is asked to send,
// and a daemon accepting 127.0.0.1;
// TearDown expects the daemon still running (unless stopped_), with nothing on stderr, and, once
// fds_ was taken, holding as many descriptors as then.
class fixture : public ::testing::Test {
  protected:
    void start(strings sim_args = {}, strings daemon_args = {}) {
        daemon_.reset();
        sim_.reset();
        sim_args.insert(sim_args.begin(), {"--keep", keep_.path().string()});
        sim_ = std::make_unique<kmodsim_process>(sim_args);
        ASSERT_TRUE(sim_->ready());
        start_daemon(daemon_args);
    }
    void start_daemon(strings args = {}, const strings& env = {}) {
        daemon_.reset();
        args.insert(args.begin(), {"--clientip", "127.0.0.1"});
        daemon_ = std::make_unique<daemon_process>(args, env);
        ASSERT_TRUE(daemon_->wait_for_log("QZM MM7 server starting on port 8887"));
        ASSERT_TRUE(!sim_ || sim_->wait_for_line("received XGATE_CONNECT_REQ"));
    }
    // The VASP's MM7 endpoint: tools/vaspsim, or mm7-sink when sink is set.
    void start_vasp(strings args = {}, bool sink = false) {
        vasp_.reset();
        vasp_ = std::make_unique<vasp_process>(args, sink);
        ASSERT_TRUE(vasp_->ready());
    }
    // Simulator settings, "key=value|key=value...", each answered "ok key=...".
    void set(const std::string& settings) {
        std::istringstream all(settings);
        for (std::string kv; std::getline(all, kv, '|');) {
            const std::string key = kv.substr(0, kv.find('='));
            sim_->command("set " + key + " " + kv.substr(key.size() + 1));
            ASSERT_TRUE(sim_->wait_for_line("ok " + key + "=")) << kv;
        }
    }
    void expect_log(std::string_view needle, ms timeout = 15s) {
        EXPECT_TRUE(daemon_->wait_for_log(needle, timeout)) << needle << "\n" << daemon_->log();
    }
    // The next PDU the daemon asks the simulator to send (it keeps a copy in keep_).
    std::string next_pdu() {
        auto line = sim_->wait_for_line("received MMS_SENDMMS_REQ");
        EXPECT_TRUE(line) << daemon_->log();
        return read_file(keep_.path() /
                         fs::path(match(line.value_or(""), "file=(\\S+)")).filename());
    }
    std::size_t pdu_files() const { return count_files(daemon_->workdir()); }
    void TearDown() override {
        if (daemon_ && !stopped_) {
            EXPECT_TRUE(daemon_->running()) << daemon_->log() << daemon_->stderr_text();
            EXPECT_FALSE(daemon_->log_contains("corrupted")) << daemon_->log();
            EXPECT_EQ(daemon_->stderr_text(), "");
            EXPECT_TRUE(fds_ == 0 || open_fds(daemon_->pid()) == fds_) << "descriptors leaked";
        }
    }

    temp_dir keep_{"mm7-kept"};
    std::unique_ptr<kmodsim_process> sim_;
    std::unique_ptr<vasp_process> vasp_;
    std::unique_ptr<daemon_process> daemon_;
    bool stopped_ = false;
    std::size_t fds_ = 0;
};

}  // namespace e2e
