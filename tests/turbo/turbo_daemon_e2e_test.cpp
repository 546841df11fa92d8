// The daemon in turbo mode, end to end: submissions through the port's worker to the MMSC
// stand-in, paced as configured; announced messages fetched, confirmed and delivered to a VASP
// stand-in; the worker supervised and its port guarded.  Private /tmp (netns-tmp-run).
#include <signal.h>
#include <sys/resource.h>

#include <set>

#include "support/e2e_fixture.h"
#include "support/test_pki.h"

namespace {

using namespace e2e;
const std::string MMSC = "http://127.0.0.1:8080";
const fs::path SETTINGS = "/tmp/qzm/mm7_settings_3";
constexpr auto npos = std::string::npos;

// Modem port 3 in turbo mode, its MMSC the stand-in on 8080; received messages go to the VASP
// stand-in on 8081.
class TurboDaemon : public fixture {
  protected:
    void SetUp() override {
        // A soft limit on descriptors below the hard one, as a login shell leaves it.
        rlimit files{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1024);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
        ASSERT_TRUE(mmsc_.ready());
        settings(MMSC + "/mms");
        start_vasp({"--port", "8081"});
        sim_ = std::make_unique<kmodsim_process>();
        ASSERT_TRUE(sim_->ready());
        run({"--turbomodetimeout", "3"});
    }
    // The daemon (again) with these options, once its worker has connected.
    void run(strings options) {
        options.insert(options.end(), {"--gwserial", "GW-T", "--turbomodemask", "8", "--clienturl",
                                       "http://127.0.0.1:8081/mm7"});
        start_daemon(options);
        ASSERT_TRUE(daemon_->wait_for_log("worker connected, fd=")) << daemon_->log();
    }
    static void settings(const std::string& url, const std::string& imsi = "311480123456789",
                         const std::string& proxy = "") {
        // Root's, writable by root alone, as the gateway writes them.
        ASSERT_EQ(chown("/tmp/qzm", 0, 0), 0);
        fs::permissions("/tmp/qzm", fs::perms(0755));
        fs::remove(SETTINGS);
        write_file(SETTINGS, "mmsc_url: " + url + "\nmms_proxy: " + proxy + "\nimsi: " + imsi +
                                 "\nmsisdn: +12125550100\n");
        fs::permissions(SETTINGS, fs::perms(0644));
    }
    // An m-send-req for port 3 in MM1 mode; sender: the forced From.
    static std::string mm1(const std::string& sender = "") {
        return mm1_head + "x-qzm-recipient-id: +03125550199\r\nContent-Length: 12\r\n" +
               (sender.empty() ? "" : "x-qzm-sender-id: ##FORCE##" + sender + "\r\n") +
               std::string("\r\n\x8C\x80\x98T\0\x8D\x92\x97+1555\0", 14);
    }
    int worker_pid() const {
        std::string pid = std::to_string(daemon_->pid());
        return std::atoi(read_file("/proc/" + pid + "/task/" + pid + "/children").c_str());
    }
    mmsc_standin mmsc_{{"--host", "0.0.0.0"}};
};

TEST_F(TurboDaemon, SendsAndTheirFailures) {
    proxy_standin proxy;
    struct row {
        std::string url;
        int result, requests;  // the worker's result; the requests the MMSC stand-in saw
        std::string text, header = "", proxy = "", sender = "", imsi = "311480123456789";
        std::string method = "POST";          // of the last request the MMSC saw
        std::function<void()> plant = [] {};  // what another user did to the settings
        std::string refusal = "";             // why the settings were not used
    };
    // A local user's settings, or settings directory, in the port's place (every other refusal:
    // TurboSettings): the send fails at once, and the VASP hears why.
    auto as_nobody = [] { ASSERT_EQ(chown(SETTINGS.c_str(), 65534, 65534), 0); };
    auto dir_as_nobody = [] { ASSERT_EQ(chown("/tmp/qzm", 65534, 65534), 0); };
    const std::string unused = "Port settings not used: /tmp/qzm/mm7_settings_3: ";
    const std::string failed = "MMSC connection failed";
    // The head of a send: the Accept header (folded for a sender of a 31148 SIM), the carrier's.
    auto head = [](const std::string& fold, const std::string& carrier) {
        return "Accept: */*, application/vnd.wap.mms-message," + fold +
               "application/vnd.wap.sic\r\nx-wap-profile: http://uaprof.handset.example/mms/"
               "profile-1.xml\r\nContent-Type: application/vnd.wap.mms-message\r\n" +
               carrier + "User-Agent: Android-Mms/0.1\r\n";
    };
    const row rows[] = {
        {MMSC + "/mms", 1, 1, "", head(" ", "X-Up-Calling-Line-Id: 12125550100\r\n"), "", "",
         "310410000000000"},
        {MMSC + "/mms", 1, 1, "",
         head("\r\n ", "x-up-calling-line-id: 19995550123\r\nX-VzW-MDN: 19995550123\r\n"), "",
         "+19995550123"},
        {MMSC + "/redirect", 1, 2, ""},
        // A 303 "See Other" is answered with a GET, never with the message again.
        {MMSC + "/see-other/status/404", 10, 2, "Non-200 response from MMSC", "", "", "",
         "311480123456789", "GET"},
        {MMSC + "/mms", 9, 0, unused + "file is owned by uid 65534", "", "", "", "", "", as_nobody,
         "file is owned by uid 65534"},
        {MMSC + "/mms", 9, 0, unused + "directory is owned by uid 65534", "", "", "", "", "",
         dir_as_nobody, "directory is owned by uid 65534"},
        {"http://127.0.0.1:9/mms", 10, 0, "MMSC connection failed"},
        {MMSC + "/hang", 4, 1, "Request timeout"},
        {MMSC + "/endless", 4, 1, "Request timeout"},  // its lines capped: below
        {MMSC + "/mms", 1, 1, "", "Via: 1.1", "127.0.0.1:8899"},
        {MMSC + "/mms", 1, 1, "", "", "connect://127.0.0.1:8899"},
    };
    std::size_t seen = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.url + " proxy=" + r.proxy + " sender=" + r.sender);
        if (!r.proxy.empty() && !proxy.available()) {
            continue;
        }
        settings(r.url, r.imsi, r.proxy);
        r.plant();
        const std::string closed = "result=" + std::to_string(r.result) + ", str='" + r.text + "'";
        const std::size_t before = daemon_->log_count(closed);
        // The submission's own line names the port that sent it, and what the VASP was told.
        const std::regex ended(
            std::string("\\] Submission done: transaction=- recipients=0 ") +
            "bytes=\\d+ outcome=" +
            (r.result == 1 ? "sent http=200 status=1000" : "failed http=500 status=3000") +
            " duration_ms=\\d+ port=3\n");
        auto ends = [&] {
            const std::string log = daemon_->log();
            return std::distance(std::sregex_iterator(log.begin(), log.end(), ended),
                                 std::sregex_iterator());
        };
        const auto ends_before = ends();
        const std::string reply = exchange(mm1(r.sender));
        EXPECT_TRUE(r.result == 1 ? reply.starts_with("HTTP/1.0 200 OK\r\n")
                                  : reply.find("Gateway error " + std::to_string(r.result) +
                                               ", cause 0") != npos)
            << reply;
        EXPECT_TRUE(daemon_->wait_for_log_count(closed, before + 1)) << daemon_->log();
        EXPECT_TRUE(wait_until([&] { return ends() == ends_before + 1; })) << daemon_->log();
        auto requests = mmsc_.requests();
        ASSERT_EQ(requests.size(), seen + static_cast<std::size_t>(r.requests)) << mmsc_.output();
        if (!r.header.empty()) {
            EXPECT_NE(requests.back().head.find(r.header), npos) << requests.back().head;
        }
        if (r.requests > 0) {
            EXPECT_EQ(requests.back().method, r.method);
        }
        if (!r.refusal.empty()) {
            expect_log("no settings for port 3, /tmp/qzm/mm7_settings_3 not used: " + r.refusal);
            EXPECT_NE(reply.find("Gateway error 9, cause 0: " + r.text), npos) << reply;
        }
        if (r.proxy.starts_with("connect://")) {  // a tunnel
            EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:8080"), npos);
        }
        seen = requests.size();
    }
    // An MMSC that never ends its answer makes the exchange write no more than its bound of
    // lines at debug level, and one line with the count of the rest.
    const std::string log = daemon_->log();
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\] MMSC transaction type=0 id=\d+: suppressed \d{4,} lines\n)")))
        << log.substr(log.size() - 2000);
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 4000);
    // Started with the directory taken over: said once at start-up, and each refusal is an
    // error.
    dir_as_nobody();
    daemon_.reset();  // the ports are free for the next one
    daemon_ = std::make_unique<daemon_process>(
        strings{"--loglevel", "error", "--clientip", "127.0.0.1", "--turbomodemask", "8"});
    expect_log(
        "Turbo mode settings directory /tmp/qzm is not trusted: directory is owned by uid "
        "65534; every turbo mode send fails until it is root's and writable by root alone");
    std::string reply;  // the kernel path answers until the worker has connected
    EXPECT_TRUE(wait_until([&] {
        reply = exchange(mm1());
        return reply.find(unused) != npos;
    })) << reply;
    expect_log("no settings for port 3, /tmp/qzm/mm7_settings_3 not used: directory is owned");
    EXPECT_EQ(daemon_->log_count("is not trusted"), 1u);
}

// An https MMSC must prove its name: one whose certificate chains to no trusted CA, or names
// another host, never sees the message and the VASP hears of the failure; --mmsccafile trusts
// the operator's CA, and --mmscinsecure trusts anyone, with a warning at start-up.
TEST_F(TurboDaemon, HttpsMmscsAreVerified) {
    const test_pki pki;
    const struct {
        std::string cert;
        strings options;
        std::string refusal;  // the reason in the log; empty: sent
    } rows[] = {
        {"server",
         {},
         " certificate problem: self-signed certificate in certificate chain"},  // the system's CAs
                                                                                 // only
        {"server", {"--mmsccafile", pki("ca.pem")}, ""},
        {"other",
         {"--mmsccafile", pki("ca.pem")},
         ": no alternative certificate subject name matches target host name '127.0.0.1'"},
        {"self", {"--mmsccafile", pki("ca.pem")}, " certificate problem: self-signed certificate"},
        {"self", {"--mmscinsecure"}, ""},
    };
    settings("https://127.0.0.1:8443/mms");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cert + (r.options.empty() ? "" : " " + r.options[0]));
        mmsc_standin https({"--port", "8443", "--tlscert", pki(r.cert + ".pem"), "--tlskey",
                            pki(r.cert + ".key")});
        ASSERT_TRUE(https.ready());
        run(r.options);
        const std::string reply = exchange(mm1());
        EXPECT_EQ(reply.starts_with("HTTP/1.0 200 OK\r\n"), r.refusal.empty()) << reply;
        EXPECT_EQ(https.requests().size(), r.refusal.empty() ? 1u : 0u) << https.output();
        if (!r.refusal.empty()) {
            EXPECT_NE(reply.find("Gateway error 10, cause 0"), npos);
            expect_log("curl error 60 (SSL" + r.refusal);
        }
        EXPECT_EQ(daemon_->log_contains("--mmscinsecure: the certificates of https MMSCs are not "
                                        "verified"),
                  r.options == strings{"--mmscinsecure"});
    }
}

TEST_F(TurboDaemon, NotificationsAreFetchedConfirmedAndDelivered) {
    struct row {
        std::string location, message_id, transaction_id, fetched;  // fetched: the path asked for
        bool ok;
        std::string refusal = "";  // why nothing was fetched
        std::string mmsc = MMSC + "/mms", imsi = "001010000000002";
    };
    // Locations come from the mobile network: nothing but HTTP(S), nothing on the gateway (its
    // loopback only when its MMSC is there too), nothing unspecified, link-local or multicast,
    // whatever a name or a redirect leads to; private ranges are fine.  The IMSI names the file.
    // Here 10.1.2.3 is the gateway's own, 10.8.0.0/16 and 169.255.0.0/16 reach the MMSC.
    ASSERT_EQ(shell("ip addr add 10.1.2.3/32 dev lo && ip route add local 10.8.0.0/16 dev lo && "
                    "ip route add local 169.255.0.0/16 dev lo")
                  .first,
              0);
    const std::string own = "http://10.1.2.3:8080/mms/x";
    const row rows[] = {
        {MMSC + "/mms/get?id=", "M1", "T1", "/mms/get?id=M1", true},
        {MMSC + "/mms/get?id=", "", "T2", "/mms/get?id=T2", true},
        {MMSC + "/mms/x", "M3", "", "/mms/x", true},
        {MMSC + "/status/404", "M4", "T4", "/status/404", false},
        {"file:///etc/shadow", "", "T5", "", false,
         "not fetching 'file:///etc/shadow': scheme file"},
        {"dict://127.0.0.1:8080/x", "", "T6", "", false, "scheme dict is not HTTP"},
        {MMSC + "/mms/x", "", "T7", "", false, "host 127.0.0.1 is this machine",
         "http://mmsc.invalid/mms"},
        {"http://LocalHost:8080/mms/x", "", "T8", "", false, "host localhost is this machine",
         "http://mmsc.invalid/mms"},
        {MMSC + "/mms/x", "", "T9", "", false,
         "refusing the notification of port 3: its IMSI is not at most 15 digits", MMSC + "/mms",
         "../../../../../"},
        {"http://10.8.0.1:8080/mms/x", "", "T10", "/mms/x", true},
        {own, "", "T11", "", false, "not fetching '" + own + "': host 10.1.2.3 is an address of"},
        {"http://0.255.255.255/", "", "T12", "", false, "host 0.255.255.255 is in 0.0.0.0/8"},
        {"http://239.255.255.255/", "", "T13", "", false, "host 239.255.255.255 is multicast"},
        {"http://169.254.255.255/", "", "T14", "", false, "host 169.254.255.255 is link-local"},
        {"http://169.255.0.1:8080/mms/x", "", "T15", "/mms/x", true},
        {MMSC + "/away/10.1.2.3:8080/mms/x", "", "T16", "/away/10.1.2.3:8080/mms/x", false,
         "refusing to connect to 10.1.2.3: an address of this machine"},
    };
    auto field = [](char code, const std::string& v) { return v.empty() ? v : code + v + '\0'; };
    const fs::path file = keep_.path() / "notification.mm1";
    int delivered = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.location + r.message_id + "/" + r.transaction_id);
        settings(r.mmsc, "001010000000001");
        const std::size_t before = mmsc_.requests().size();
        write_file(file, "\x8C\x82" + field('\x98', r.transaction_id) + "\x8D\x92" +
                             field('\x8B', r.message_id) + field('\x83', r.location));
        sim_->command("rcv 1 " + file.string() + " port=3 imsi=" + r.imsi);
        if (!r.refusal.empty()) {
            expect_log(r.refusal);
        }
        if (r.ok) {  // delivered with the worker's IMSI and port
            const std::string n = std::to_string(++delivered);
            ASSERT_TRUE(vasp_->wait_for_line("answered " + n + " ")) << daemon_->log();
            EXPECT_TRUE(vasp_->seen("request " + n + " path=/mm7 soap=DeliverReq"));
            const fs::path saved = vasp_->dir() / "save" / ("request-" + n);
            const std::string head = read_file(saved / "head.txt");
            EXPECT_NE(head.find("X-QZM-IMSI: 001010000000001\nX-QZM-Port: 3\n"), npos) << head;
            EXPECT_EQ(read_file(saved / "part-1.bin"), "Hello from the MMSC stand-in\n");
        }
        const std::size_t expected = before + (r.fetched.empty()                   ? 0
                                               : r.ok && !r.transaction_id.empty() ? 2
                                                                                   : 1);
        wait_until([&] { return mmsc_.requests().size() >= expected; });
        std::this_thread::sleep_for(300ms);  // nothing more arrives
        auto requests = mmsc_.requests();
        ASSERT_EQ(requests.size(), expected) << mmsc_.output();
        if (!r.fetched.empty()) {
            EXPECT_EQ(requests[before].method + " " + requests[before].path, "GET " + r.fetched);
        }
        if (expected == before + 2) {  // the retrieve confirmation
            EXPECT_EQ(requests.back().body,
                      "\x8C\x83\x98" + r.transaction_id + std::string("\0\x8D\x92\x95\x81", 5));
        }
    }
    EXPECT_EQ(vasp_->count("soap=DeliverReq"), 5u);
    // A fetched file goes once its message is spooled, a failed fetch leaves none; nothing was
    // written outside the work directory.
    for (const auto& e : fs::directory_iterator(daemon_->workdir())) {
        EXPECT_FALSE(e.path().filename().string().starts_with("001010000000002_")) << e.path();
    }
    for (const auto& e : fs::directory_iterator("/")) {
        EXPECT_NE(e.path().extension(), ".mm1") << e.path();
    }
}

TEST_F(TurboDaemon, PacingAndBatchModesOnTheMmscClock) {
    struct row {
        int delay, capacity, sends, timeout;  // the options; then, in ms, the bounds of the gap
        double min_gap, max_gap, min_first, max_first;  // between arrivals, and before the first
    };
    const row rows[] = {
        {0, 4, 5, 5, 0, 400, 0, 800},         {1000, 4, 3, 5, 800, 1500, 0, 800},
        {-2000, 4, 3, 5, 0, 400, 1950, 2800},  // the oldest waited past the hold time
        {-2000, 4, 4, 5, 0, 400, 0, 800},      // the fourth arrival releases the batch
        {-500, 0, 2, 1, 0, 0, 0, 0},           // capacity 0: nothing ever starts, all time out
    };
    for (const row& r : rows) {
        const bool sent = r.capacity > 0;
        SCOPED_TRACE(std::to_string(r.delay) + "/" + std::to_string(r.capacity));
        run({"--turbomodemsdelay", std::to_string(r.delay), "--turbomodecapacity",
             std::to_string(r.capacity), "--turbomodetimeout", std::to_string(r.timeout)});
        const std::size_t before = mmsc_.requests().size();
        std::vector<http_connection> vasps(static_cast<std::size_t>(r.sends));
        const auto t0 = std::chrono::steady_clock::now();
        for (http_connection& vasp : vasps) {
            ASSERT_TRUE(vasp.send_all(mm1()));
        }
        for (http_connection& vasp : vasps) {
            const std::string reply = vasp.read_all(10s);
            EXPECT_NE(reply.find(sent ? "<MessageID>mid-" : "Gateway error 4,"), npos) << reply;
            EXPECT_EQ(reply.find("X-QZM-Shotgun-Mode: 1\r\n") != npos, r.delay < 0) << reply;
        }
        // A time-out comes no sooner than the configured seconds.
        EXPECT_TRUE(sent || std::chrono::steady_clock::now() - t0 >
                                std::chrono::seconds(r.timeout) - 100ms);
        auto requests = mmsc_.requests();
        ASSERT_EQ(requests.size(), before + (sent ? r.sends : 0));
        double last = std::chrono::duration<double, std::milli>(t0.time_since_epoch()).count();
        for (std::size_t i = before; i < requests.size(); last = requests[i++].t_ms) {
            EXPECT_GE(requests[i].t_ms - last, i == before ? r.min_first : r.min_gap) << i;
            EXPECT_LE(requests[i].t_ms - last, i == before ? r.max_first : r.max_gap) << i;
        }
    }
}

TEST_F(TurboDaemon, AWorkerThatDoesNotAnswerMissesItsDeadlines) {
    // Paced sends to a slow MMSC, more than the time-out lets through: those that waited the
    // time-out in the worker's queue end unsent, the others are sent, no deadline passes, and
    // what each VASP hears is what the MMSC recorded.
    settings(MMSC + "/delay/1500/mms");
    run({"--turbomodemsdelay", "1000", "--turbomodetimeout", "3", "--confirmgrace", "1"});
    std::vector<http_connection> paced(6);
    for (http_connection& vasp : paced) {
        ASSERT_TRUE(vasp.send_all(mm1()));
    }
    std::set<std::string> sent, recorded;
    for (http_connection& vasp : paced) {
        const std::string reply = vasp.read_all(15s);
        const std::string id = match(reply, "<MessageID>(mid-\\d+)</MessageID>");
        EXPECT_TRUE(!id.empty() || reply.find("Gateway error 4, cause 0") != npos) << reply;
        sent.insert(id);
    }
    sent.erase("");
    for (const mmsc_request& r : mmsc_.requests()) {
        recorded.insert("mid-" + std::to_string(r.seq));
    }
    EXPECT_EQ(sent, recorded);
    EXPECT_LT(sent.size(), paced.size());
    EXPECT_FALSE(daemon_->log_contains("no answer from the worker")) << daemon_->log();
    // A send has the worker's time-out in the queue, the time-out again, and the grace to be
    // answered: here 3 s.
    settings(MMSC + "/mms");
    run({"--turbomodetimeout", "1", "--confirmgrace", "1"});
    const int worker = worker_pid();
    ASSERT_GT(worker, 0);
    const std::string fault = "Gateway did not confirm the submission";
    kill(worker, SIGSTOP);
    const auto t0 = std::chrono::steady_clock::now();
    std::string reply = exchange(mm1());
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK\r\n") && reply.find(fault) != npos) << reply;
    EXPECT_GT(std::chrono::steady_clock::now() - t0, 2900ms);
    // A late answer finds no request, and shows the worker alive.
    kill(worker, SIGCONT);
    expect_log("handle_send_message_response: cannot find request id");
    // Deadlines missed in three passes in a row: the worker is ended and forked again.  Two that
    // pass together count once.
    kill(worker, SIGSTOP);
    std::vector<http_connection> vasps(4);
    for (std::size_t i = 0; i < vasps.size(); ++i) {
        std::this_thread::sleep_for(i < 2 ? 0ms : 1200ms);
        ASSERT_TRUE(vasps[i].send_all(mm1()));
    }
    for (http_connection& vasp : vasps) {
        EXPECT_FALSE(daemon_->log_contains("deadlines in a row"));
        reply = vasp.read_all(10s);
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK\r\n") && reply.find(fault) != npos) << reply;
    }
    expect_log("worker for port 3 missed 3 deadlines in a row, ending it");
    ASSERT_TRUE(daemon_->wait_for_log_count("worker connected, fd=", 2)) << daemon_->log();
    EXPECT_NE(worker_pid(), worker);
    EXPECT_TRUE(exchange(mm1()).starts_with("HTTP/1.0 200 OK\r\n")) << daemon_->log();
    EXPECT_EQ(daemon_->log_count("no answer from the worker of port 3"), 5u);
}

TEST_F(TurboDaemon, GoneVaspsForeignWorkersAKilledWorkerAndAStop) {
    // A VASP that resets its connection while its send is out: the late answer finds no request.
    settings(MMSC + "/delay/1000/mms");
    http_connection gone, next;
    ASSERT_TRUE(gone.send_all(mm1()));
    ASSERT_TRUE(wait_until([&] { return mmsc_.requests().size() == 1; }));
    gone.reset_now();
    ASSERT_TRUE(next.send_all(mm1()));
    EXPECT_NE(next.read_all().find("<MessageID>mid-2</MessageID>"), npos) << daemon_->log();
    expect_log("cannot find request id");
    // On the workers' port a sound hello from another process, and hellos that are none: at
    // most 10 lines of them in 5 s.
    for (int i = 0; i < 14; ++i) {
        const std::uint32_t hello = i == 0 ? 0x91199203u : 0x12345678u;
        http_connection foreign(10911);
        ASSERT_TRUE(foreign.send_all({reinterpret_cast<const char*>(&hello), 4}));
        EXPECT_EQ(foreign.read_all(4s), "");
    }
    expect_log("refusing worker hello for port 3: the peer is not its worker");
    expect_log("invalid worker hello. n=4, hello=0x12345678");
    EXPECT_EQ(daemon_->log_count("worker hello"), 10u);
    EXPECT_EQ(daemon_->log_count("worker connected, fd="), 1u);
    // Connections without a hello: two may wait (two per configured port), a third closes the
    // oldest, and each has 2 s to say it.
    using clock = std::chrono::steady_clock;
    http_connection first(10911), second(10911);
    const auto t0 = clock::now();
    std::this_thread::sleep_for(200ms);
    http_connection third(10911);
    EXPECT_EQ(first.read_all(1s), "");
    EXPECT_LT(clock::now() - t0, 900ms);
    expect_log("more than 2 connections without a hello, closing the oldest");
    for (http_connection* waiting : {&second, &third}) {
        EXPECT_EQ(waiting->read_all(5s), "");
    }
    EXPECT_GT(clock::now() - t0, 2s);
    EXPECT_LT(clock::now() - t0, 4s);
    // The soft limit on descriptors was raised to the hard one.
    const std::string limits = read_file("/proc/" + std::to_string(daemon_->pid()) + "/limits");
    const std::string files = match(limits, "Max open files +(\\d+ +\\d+)");
    ASSERT_NE(files, "") << limits;
    EXPECT_EQ(files.substr(0, files.find(' ')), files.substr(files.rfind(' ') + 1)) << limits;
    // A killed worker: every VASP waiting for it is answered once, and it is forked again.
    settings(MMSC + "/hang");
    std::vector<http_connection> vasps(3);
    for (http_connection& vasp : vasps) {
        ASSERT_TRUE(vasp.send_all(mm1()));
    }
    ASSERT_TRUE(wait_until([&] { return mmsc_.requests().size() == 5; }));
    // A VASP that leaves while its send is out: after a complete request its end of input
    // reads as a half-close, so the submission stays and its answer is written to a dead peer.
    vasps.back().close_now();
    const int worker = worker_pid();
    ASSERT_GT(worker, 0);
    kill(worker, SIGKILL);
    for (std::size_t i = 0; i + 1 < vasps.size(); ++i) {
        std::string reply = vasps[i].read_all(10s);
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK\r\n") && reply.find("HTTP/1.0", 1) == npos &&
                    reply.find("Gateway error 9, cause 0") != npos)
            << reply;  // answered once
    }
    ASSERT_TRUE(daemon_->wait_for_log("Worker for port 3 has been terminated"));
    ASSERT_TRUE(daemon_->wait_for_log_count("worker connected, fd=", 2));
    EXPECT_EQ(daemon_->log_count("is gone, request id="), 3u);
    // The kernel module hears of each with the port's SIM (one send was answered before).
    EXPECT_TRUE(wait_until(
        [&] { return sim_->count("MMS_SENDMMS_RESULT_IND imsi=311480123456789 ") == 4; }));
    settings(MMSC + "/mms");
    EXPECT_TRUE(exchange(mm1()).starts_with("HTTP/1.0 200 OK\r\n"));
    // A stop ends the new worker and the daemon exits cleanly.
    const int forked = worker_pid();
    EXPECT_NE(forked, worker);
    kill(daemon_->pid(), SIGTERM);
    auto end = daemon_->wait_for_exit();
    EXPECT_TRUE(end && end->exited && end->code == 0) << daemon_->log();
    EXPECT_TRUE(daemon_->log_contains("1 turbo workers ended")) << daemon_->log();
    EXPECT_NE(kill(forked, 0), 0);  // ended and reaped
    EXPECT_EQ(daemon_->stderr_text(), "");
    stopped_ = true;
}

// A scripted run, then one scrape: the counters say exactly what happened.  A scraper that
// stops in the middle of its request holds nothing up.
TEST_F(TurboDaemon, MetricsCountAScriptedRun) {
    run({"--turbomodetimeout", "3", "--retrydelay", "1", "--metricsport", "9187"});
    auto get = [](const std::string& path) {
        return exchange("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 9187);
    };
    http_connection stalled(9187);
    ASSERT_TRUE(stalled.send_all("GET /met"));
    EXPECT_EQ(get("/health"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 3\r\nConnection: close\r\n\r\nok\n");
    EXPECT_TRUE(exchange(submit_request()).starts_with("HTTP/1.0 200 OK\r\n"));  // kernel path
    // Port 3's submission reaches the MMSC with the carrier's subscriber header, and its answer
    // the VASP; the kernel module hears of the result.
    const std::string reply = exchange(submit_request_with(
        [](auto& s) { s.recipients = "<To><Number>+03125550199</Number></To>"; }));
    EXPECT_TRUE(
        reply.starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n"
                          "X-QZM-GWSN: GW-T\r\nX-QZM-IMSI: 311480123456789\r\n"
                          "X-QZM-Port: 3\r\nX-QZM-Port-Capacity: 4\r\n"
                          "X-QZM-MM1-Support: 1.0\r\n\r\n"))
        << reply << daemon_->log();
    EXPECT_NE(reply.find("<MessageID>mid-1</MessageID>"), npos) << reply;
    EXPECT_TRUE(sim_->wait_for_line("MMS_SENDMMS_RESULT_IND"));
    auto requests = mmsc_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].head.find("X-VzW-MDN: 12125550100\r\n"), npos) << requests[0].head;
    EXPECT_NE(requests[0].body.find("+03125550199/TYPE=PLMN"), npos);
    EXPECT_EQ(exchange(mm1_head + "Content-Length: 3\r\n\r\nabc"), error_reply("400 Bad request"));
    // A received message the VASP first answers with 500, then takes.
    vasp_->command("status 500");
    const fs::path part = keep_.path() / "hello.txt";
    const fs::path pdu = keep_.path() / "received.mm1";
    write_file(part, "Hello");
    sim_->command("pdu retrieve " + pdu.string() + " " + part.string());
    ASSERT_TRUE(sim_->wait_for_line("wrote retrieve"));
    sim_->command("rcv 4 " + pdu.string());
    ASSERT_TRUE(vasp_->wait_for_line("answered 1 500"));
    vasp_->command("status 200");
    expect_log("delivered to the VASP");
    const std::string scrape = get("/metrics");
    const std::string body = scrape.substr(scrape.find("\r\n\r\n") + 4);
    EXPECT_TRUE(
        scrape.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
                           "charset=utf-8\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n"))
        << scrape;
    const std::string expected[] = {
        "mm7_submissions_accepted_total 2",
        "mm7_submissions_refused_total{status=\"400\"} 1",
        "mm7_submission_duration_seconds_count 2",
        "mm7_vasp_connections 0",
        "mm7_kernel_callid_slots_used 0",
        // Announcement, the send request, the turbo send's result; a send confirmation and the
        // received message.
        "mm7_kernel_datagrams_sent_total 3",
        "mm7_kernel_datagrams_received_total 2",
        "mm7_kernel_foreign_datagrams_total 0",
        "mm7_kernel_unmatched_total 0",
        "mm7_deliveries_total{outcome=\"rejected\"} 1",
        "mm7_deliveries_total{outcome=\"delivered\"} 1",
        "mm7_spool_entries 0",
        "mm7_spool_bytes 0",
        "mm7_spool_bad_total 0",
        "mm7_turbo_worker_up{port=\"3\"} 1",
        "mm7_turbo_worker_restarts_total{port=\"3\"} 0",
        "mm7_turbo_sends_total{port=\"3\",result=\"1\"} 1",
        "mm7_turbo_requests_pending{port=\"3\"} 0",
        "mm7_build_info{version=\"" MM7_VERSION "\"} 1",
    };
    for (const std::string& line : expected) {
        EXPECT_NE(body.find("\n" + line + "\n"), npos) << line << "\n" << body;
    }
    EXPECT_EQ(body.find("mm7_submissions_faults_total{"), npos) << body;
    if (system("command -v promtool >/dev/null") == 0) {
        write_file(keep_.path() / "scrape.txt", body);
        const std::string check =
            "promtool check metrics <" + (keep_.path() / "scrape.txt").string();
        EXPECT_EQ(system(check.c_str()), 0) << body;
    } else {
        ADD_FAILURE() << "promtool is not installed (scripts/setup.sh installs it)";
    }
    // While a stop waits for a delivery the VASP never answers, the listener is closed.
    vasp_->command("mode never-answer");
    sim_->command("rcv 4 " + pdu.string());
    ASSERT_TRUE(vasp_->wait_for_line("accepted 3 mode=never-answer"));
    kill(daemon_->pid(), SIGTERM);
    ASSERT_TRUE(daemon_->wait_for_log("Stop requested"));
    EXPECT_EQ(get("/health"),
              "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 27\r\nConnection: close\r\n\r\nMM7 listener not accepting\n");
    auto end = daemon_->wait_for_exit();
    EXPECT_TRUE(end && end->exited && end->code == 0) << daemon_->log();
    stopped_ = true;
}

}  // namespace
