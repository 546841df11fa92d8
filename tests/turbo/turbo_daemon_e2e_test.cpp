// The daemon in turbo mode, end to end: a VASP submits over MM7, the port's worker posts the
// PDU to the MMSC stand-in and the VASP gets the MMSC's answer; a worker killed mid-transfer is
// forked again and every waiting VASP is answered once.  Private /tmp (netns-tmp-run).
#include <signal.h>

#include "support/e2e_fixture.h"

namespace {

using namespace e2e;

// Modem port 3 in turbo mode, its MMSC the stand-in.
class TurboDaemon : public fixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(mmsc_.ready());
        settings("/mms");
        start({}, {"--gwserial", "GW-T", "--turbomodemask", "8", "--turbomodetimeout", "3"});
        ASSERT_TRUE(daemon_->wait_for_log("worker connected, fd=")) << daemon_->log();
    }
    static void settings(const std::string& path) {
        write_file("/tmp/qzm/mm7_settings_3", "mmsc_url: http://127.0.0.1:8080" + path +
                                                  "\r\nimsi: 311480123456789\r\n"
                                                  "msisdn: +12125550100\r\n");
    }
    static std::string submission() {
        return submit_request_with(
            [](auto& s) { s.recipients = "<To><Number>+03125550199</Number></To>"; });
    }
    int worker_pid() const {
        std::string pid = std::to_string(daemon_->pid());
        return std::atoi(read_file("/proc/" + pid + "/task/" + pid + "/children").c_str());
    }
    mmsc_standin mmsc_;
};

TEST_F(TurboDaemon, ASubmissionReachesTheMmscAndItsAnswerTheVaspAndAStopEndsTheWorker) {
    std::string reply = exchange(submission());
    EXPECT_TRUE(
        reply.starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n"
                          "X-QZM-GWSN: GW-T\r\nX-QZM-IMSI: 311480123456789\r\n"
                          "X-QZM-Port: 3\r\nX-QZM-Port-Capacity: 4\r\n"
                          "X-QZM-MM1-Support: 1.0\r\n\r\n"))
        << reply << daemon_->log();
    EXPECT_NE(reply.find("<MessageID>mid-1</MessageID>"), std::string::npos) << reply;
    EXPECT_TRUE(sim_->wait_for_line("MMS_SENDMMS_RESULT_IND"));
    EXPECT_FALSE(sim_->seen("received MMS_SENDMMS_REQ"));
    EXPECT_EQ(count_files(daemon_->workdir()), 0u);
    // A stop ends the worker and the daemon exits cleanly.
    const int worker = worker_pid();
    ASSERT_GT(worker, 0);
    kill(daemon_->pid(), SIGTERM);
    auto end = daemon_->wait_for_exit();
    ASSERT_TRUE(end.has_value());
    EXPECT_TRUE(end->exited && end->code == 0) << describe(*end);
    EXPECT_TRUE(daemon_->log_contains("1 turbo workers ended")) << daemon_->log();
    EXPECT_NE(kill(worker, 0), 0);  // ended and reaped
    EXPECT_EQ(daemon_->stderr_text(), "");
    stopped_ = true;
    // What reached the MMSC: the carrier's subscriber header and the m-send-req.
    auto requests = mmsc_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].head.find("X-VzW-MDN: 1"), std::string::npos);
    EXPECT_TRUE(requests[0].body.starts_with("\x8C\x80\x98")) << requests[0].body;
    EXPECT_NE(requests[0].body.find("+03125550199/TYPE=PLMN"), std::string::npos);
}

TEST_F(TurboDaemon, AKilledWorkerIsForkedAgainAndEveryVaspIsAnsweredOnce) {
    settings("/hang");
    std::vector<std::unique_ptr<http_connection>> vasps;
    for (int i = 0; i < 3; ++i) {
        vasps.push_back(std::make_unique<http_connection>());
        ASSERT_TRUE(vasps.back()->send_all(submission()));
    }
    ASSERT_TRUE(wait_until([&] { return mmsc_.requests().size() == 3; }));
    // A VASP that leaves while its send is out: after a complete request its end of input
    // reads as a half-close, so the submission stays and its answer is written to a dead peer.
    vasps.back().reset();
    const int worker = worker_pid();
    ASSERT_GT(worker, 0);
    kill(worker, SIGKILL);
    for (std::size_t i = 0; i + 1 < vasps.size(); ++i) {
        std::string reply = vasps[i]->read_all(10s);
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK\r\n")) << reply;
        EXPECT_NE(reply.find("Gateway error 9, cause 0"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("HTTP/1.0", 1), std::string::npos) << reply;  // answered once
    }
    ASSERT_TRUE(daemon_->wait_for_log("Worker for port 3 has been terminated"));
    ASSERT_TRUE(daemon_->wait_for_log_count("worker connected, fd=", 2));
    EXPECT_EQ(daemon_->log_count("is gone, request id="), 3u);
    settings("/mms");
    EXPECT_TRUE(exchange(submission()).starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_NE(worker_pid(), worker);
}

}  // namespace
