// Turbo mode workers forked by this process (the supervisor runs here, on this process's event
// loop) against the MMSC and proxy stand-ins: send, receive, retrieve confirmation, failures,
// pacing and supervision.  Runs in a namespace with a private /tmp (netns-tmp-run).
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <map>

#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "mm7/mms_message.h"
#include "turbo/turbo_mode.h"
#include "turbo/turbo_standins.h"
#include "xgate/xgate.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr int PORT = 3;
const std::string MMSC = "http://127.0.0.1:8080";
const std::string ROUTE_BY = "+0" + std::to_string(PORT);

struct answer {
    std::uintptr_t client;
    int result;
    std::string pdu;
};

class TurboWorkers : public ::testing::Test {
  protected:
    static inline std::unique_ptr<e2e::temp_dir> dir;
    static inline server_config config;
    static inline std::map<std::uintptr_t, std::pair<std::string, std::string>> submissions;
    static inline std::vector<answer> answers;
    static inline std::vector<std::string> fetched;
    static inline std::function<bool()> done;
    static inline std::chrono::steady_clock::time_point deadline;

    static void SetUpTestSuite() {
        dir = std::make_unique<e2e::temp_dir>("turbo-workers");
        log_file = std::fopen((dir->path() / "log").c_str(), "w");
        config.workdir = dir->path().string() + "/";
        config.turbo_mode_mask = std::uint64_t{1} << PORT;
        config.turbo_mode_timeout = 2;
        turbo_hooks_table.submission = [](outgoing_mms_info* c) {
            auto& [from, path] = submissions[reinterpret_cast<std::uintptr_t>(c)];
            return turbo_submission{ROUTE_BY, from, path};
        };
        turbo_hooks_table.send_response = [](outgoing_mms_info* c, const buffer* pdu, int result,
                                             int, std::string_view, int) {
            answers.push_back({reinterpret_cast<std::uintptr_t>(c), result,
                               pdu ? std::string(pdu->begin(), pdu->end()) : ""});
        };
        xgate_hooks_table.on_mms_rcv_ind = [](const xgate_message& m, server_config&) {
            fetched.push_back(std::string(as_text(m.data)) + "|" + m.imsi + "|" +
                              std::to_string(m.port) + "|" + std::to_string(m.flags));
        };
        turbo_mode_init(config, config.turbo_fd);  // forks before the test's own tick exists
        mainloop_add_tick(
            [] { return done() || std::chrono::steady_clock::now() > deadline ? 1 : 0; });
    }
    static bool run_until(std::function<bool()> pred, std::chrono::milliseconds timeout = 10s) {
        done = pred;
        deadline = std::chrono::steady_clock::now() + timeout;
        mainloop_run(100);
        return pred();
    }
    void SetUp() override {
        ASSERT_TRUE(mmsc_.ready());
        ASSERT_TRUE(run_until([] { return turbo_mode_worker_connected(PORT); }));
        answers.clear();
        fetched.clear();
    }
    static void settings(const std::string& url, const std::string& proxy = "",
                         const std::string& imsi = "001010000000001") {
        std::ofstream("/tmp/qzm/mm7_settings_" + std::to_string(PORT))
            << "mmsc_url: " << url << "\nmms_proxy: " << proxy << "\nimsi: " << imsi
            << "\nmsisdn: +15550100\n";
    }
    // Queues a send of a fresh MM1 file (cut or padded to `size` bytes when given); the client.
    static std::uintptr_t send(std::string from = "", std::size_t size = SIZE_MAX,
                               bool create = true) {
        static std::uintptr_t next = 1;
        std::string path = (dir->path() / ("s" + std::to_string(next) + ".mm1")).string();
        if (create) {
            std::string pdu("\x8C\x80\x98T\0\x8D\x92\x97+1555\0", 12);
            pdu.resize(size == SIZE_MAX ? pdu.size() : size, 'x');
            std::ofstream(path, std::ios::binary) << pdu;
        }
        submissions[next] = {from, path};
        EXPECT_NE(turbo_mode_handle_message(reinterpret_cast<outgoing_mms_info*>(next)), 0u);
        return next++;
    }
    static bool answered(std::size_t n, std::chrono::milliseconds timeout = 10s) {
        return run_until([n] { return answers.size() >= n; }, timeout);
    }
    static std::string log() {
        log_flush();  // this process's own lines
        return e2e::read_file(dir->path() / "log");
    }

    turbo_test::mmsc_standin mmsc_;
};

TEST_F(TurboWorkers, SendsAndTheirFailures) {
    turbo_test::proxy_standin proxy;
    struct send_case {
        std::string url, proxy, from, imsi;
        int result;
        std::string text;           // close_session's text, for failures
        std::size_t mmsc_requests;  // what the stand-in saw
        std::string header;         // in the request head, when not empty
        bool create = true;
        std::size_t size = SIZE_MAX;
    };
    const std::string folded =
        "Accept: */*, application/vnd.wap.mms-message,\r\n application/vnd.wap.sic\r\n";
    const std::vector<send_case> cases = {
        {MMSC + "/mms", "", "", "310410000000000", 1, "", 1,
         "Accept: */*, application/vnd.wap.mms-message, application/vnd.wap.sic\r\n"
         "x-wap-profile: "},
        {MMSC + "/mms", "", "+19995550123", "311480000000000", 1, "", 1,
         folded + "x-wap-profile: http://uaprof.handset.example/mms/profile-1.xml\r\n"
                  "Content-Type: application/vnd.wap.mms-message\r\n"
                  "x-up-calling-line-id: 19995550123\r\nX-VzW-MDN: 19995550123\r\n"
                  "User-Agent: Android-Mms/0.1\r\n"},
        {MMSC + "/redirect", "", "", "", 1, "", 2, ""},
        {MMSC + "/status/500", "", "", "", 10, "Non-200 response from MMSC", 1, ""},
        {"http://127.0.0.1:8081/mms", "", "", "", 10, "MMSC connection failed", 0, ""},
        {MMSC + "/hang", "", "", "", 4, "Request timeout", 1, ""},
        {MMSC + "/mms", "127.0.0.1:8899", "", "", 1, "", 1, "Via: 1.1"},
        {MMSC + "/mms", "connect://127.0.0.1:8899", "", "", 1, "", 1, ""},
        {MMSC + "/mms", "", "", "", 9, "Cannot stat MM1 file", 0, "", false},
        {MMSC + "/mms", "", "", "", 9, "Cannot read MM1 file", 0, "", true, 0},
    };
    std::size_t seen = 0;
    for (const send_case& c : cases) {
        SCOPED_TRACE(c.url + " proxy=" + c.proxy + " from=" + c.from);
        if (!c.proxy.empty() && !proxy.available()) {
            continue;
        }
        settings(c.url, c.proxy, c.imsi.empty() ? "001010000000001" : c.imsi);
        std::uintptr_t client = send(c.from, c.size, c.create);
        ASSERT_TRUE(answered(1, 8s));
        EXPECT_EQ(answers[0].client, client);
        EXPECT_EQ(answers[0].result, c.result);
        EXPECT_EQ(answers[0].pdu.substr(0, 2), c.result == 1 ? "\x8C\x81" : "");
        // The worker writes its log lines out when its loop next waits: after the answer.
        const std::string closed = "result=" + std::to_string(c.result) + ", str='" + c.text + "'";
        EXPECT_TRUE(e2e::wait_until([&] { return log().find(closed) != std::string::npos; }, 2s));
        EXPECT_FALSE(fs::exists(submissions[client].second));
        e2e::wait_until([&] { return mmsc_.requests().size() >= seen + c.mmsc_requests; }, 2s);
        auto requests = mmsc_.requests();
        ASSERT_EQ(requests.size(), seen + c.mmsc_requests) << mmsc_.output() << log();
        if (!c.header.empty()) {
            EXPECT_NE(requests.back().head.find(c.header), std::string::npos)
                << requests.back().head;
        }
        if (c.proxy.starts_with("connect://")) {
            EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:8080"), std::string::npos);
            EXPECT_EQ(requests.back().head.find("Via:"), std::string::npos);
        }
        seen = requests.size();
        answers.clear();
    }
}

TEST_F(TurboWorkers, ReceivesWithTheirConfirmation) {
    struct receive_case {
        std::string location, message_id, transaction_id;
        std::string fetched_path;  // what the stand-in is asked for
        bool ok;
    };
    const std::vector<receive_case> cases = {
        {MMSC + "/mms/get?id=", "M1", "T1", "/mms/get?id=M1", true},
        {MMSC + "/mms/get?id=", "", "T2", "/mms/get?id=T2", true},
        {MMSC + "/mms/x", "M3", "", "/mms/x", true},
        {MMSC + "/status/404", "M4", "T4", "/status/404", false},
    };
    settings(MMSC + "/mms");
    for (const receive_case& c : cases) {
        SCOPED_TRACE(c.location);
        std::size_t before = mmsc_.requests().size();
        mms_message notification;
        notification.content_location = c.location;
        notification.message_id = c.message_id;
        notification.transaction_id = c.transaction_id;
        fetched.clear();
        ASSERT_NE(turbo_mode_handle_incoming(PORT, "001010000000001", notification), 0);
        bool confirm = c.ok && !c.transaction_id.empty();
        std::size_t expected = before + 1 + (confirm ? 1 : 0);
        run_until(
            [&] { return mmsc_.requests().size() >= expected && (!c.ok || !fetched.empty()); });
        run_until([] { return false; }, 300ms);  // nothing more arrives
        auto requests = mmsc_.requests();
        ASSERT_EQ(requests.size(), expected);
        EXPECT_EQ(requests[before].method + " " + requests[before].path, "GET " + c.fetched_path);
        ASSERT_EQ(fetched.size(), c.ok ? 1u : 0u);
        if (c.ok) {
            std::string path = fetched[0].substr(0, fetched[0].find('|'));
            EXPECT_EQ(fetched[0].substr(path.size()), "|001010000000001|3|4");
            EXPECT_EQ(e2e::read_file(path).substr(0, 2), "\x8C\x84");
        }
        if (confirm) {
            EXPECT_EQ(requests.back().body,
                      "\x8C\x83\x98" + c.transaction_id + std::string("\0\x8D\x92\x95\x81", 5));
        }
    }
}

TEST_F(TurboWorkers, PacingAndBatchModesOnTheMmscClock) {
    struct pacing_case {
        int delay, capacity, sends, timeout;
        double min_gap, max_gap;      // between consecutive arrivals, ms
        double min_first, max_first;  // from the submissions to the first arrival, ms
        int result;
    };
    const std::vector<pacing_case> cases = {
        {0, 4, 5, 5, 0, 400, 0, 500, 1},         {1000, 4, 3, 5, 950, 1300, 0, 500, 1},
        {-2000, 4, 3, 5, 0, 200, 1950, 2600, 1},  // the oldest waited past the hold time
        {-2000, 4, 4, 5, 0, 200, 0, 500, 1},      // the fourth arrival releases the batch
        {-500, 0, 2, 1, 0, 0, 0, 0, 4},           // capacity 0: nothing ever starts
    };
    settings(MMSC + "/mms");
    for (const pacing_case& c : cases) {
        SCOPED_TRACE(std::to_string(c.delay) + "/" + std::to_string(c.capacity));
        // A worker takes its pacing from the configuration it is forked with.
        config.turbo_mode_ms_delay = c.delay;
        config.turbo_mode_capacity = c.capacity;
        config.turbo_mode_timeout = c.timeout;
        kill(turbo_mode_worker_pid(PORT), SIGKILL);
        ASSERT_TRUE(run_until([] { return !turbo_mode_worker_connected(PORT); }));
        ASSERT_TRUE(run_until([] { return turbo_mode_worker_connected(PORT); }));
        std::size_t before = mmsc_.requests().size();
        answers.clear();
        double submitted = std::chrono::duration<double, std::milli>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
        for (int i = 0; i < c.sends; ++i) {
            send();
        }
        ASSERT_TRUE(answered(static_cast<std::size_t>(c.sends), 8s));
        for (const answer& a : answers) {
            EXPECT_EQ(a.result, c.result);
        }
        auto requests = mmsc_.requests();
        ASSERT_EQ(requests.size(), before + (c.result == 1 ? c.sends : 0));
        for (std::size_t i = before; i < requests.size(); ++i) {
            double gap = requests[i].t_ms - (i == before ? submitted : requests[i - 1].t_ms);
            EXPECT_GE(gap, i == before ? c.min_first : c.min_gap) << i;
            EXPECT_LE(gap, i == before ? c.max_first : c.max_gap) << i;
        }
    }
}

// A killed worker's waiting submissions are answered by the daemon's own test
// (TurboDaemon.AKilledWorkerIsForkedAgainAndEveryVaspIsAnsweredOnce).
TEST_F(TurboWorkers, ForgottenClientsAndForeignWorkers) {
    // A connection torn down while its send is out: the late answer finds no request.
    settings(MMSC + "/delay/300/mms");
    turbo_mode_forget_client(reinterpret_cast<outgoing_mms_info*>(send()));
    std::uintptr_t next = send();
    ASSERT_TRUE(answered(1));
    run_until([] { return false; }, 500ms);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].client, next);
    EXPECT_EQ(answers[0].result, 1);
    EXPECT_EQ(turbo_mode_pending_count(), 0u);
    // Only the forked worker may register, and only with a sound hello.
    for (std::uint32_t hello : {0x91199200u | PORT, 0x12345678u}) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, htons(10911), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::send(fd, &hello, 4, 0);
        run_until([] { return false; }, 200ms);
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0);  // closed by the supervisor
        close(fd);
    }
    EXPECT_TRUE(turbo_mode_worker_connected(PORT));
}

}  // namespace
