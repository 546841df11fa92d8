// Durable delivery: received messages wait in the spool until the VASP takes them, across a
// VASP that is away or failing and across a killed daemon.  Retries start after 1 s here.
#include <signal.h>

#include "support/e2e_fixture.h"
#include "wsp/wsp_test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SpoolE2E : public e2e::fixture {
  protected:
    void SetUp() override {
        start_vasp();
        start({}, daemon_args());
    }
    e2e::strings daemon_args() const {
        return {"--workdir",   work_.path().string() + "/",       "--retrydelay", "1",
                "--clienturl", "http://127.0.0.1:8080/mm7-client"};
    }
    // An inline m-retrieve-conf with transaction id tid and one image part holding data.
    void send(const std::string& tid, std::string_view data) {
        const std::string head("image/png\0\xC0<img>\0", 17);
        const buffer pdu = cat({hex("8C 84 98"), text_bytes(tid + '\0'), hex("8D 90 84 B3 01"),
                                encode_uintvar(static_cast<std::uint32_t>(head.size())),
                                encode_uintvar(static_cast<std::uint32_t>(data.size())),
                                text_bytes(head), text_bytes(data)});
        const fs::path file = in_.path() / (tid + ".mm1");
        e2e::write_file(file, std::string(pdu.begin(), pdu.end()));
        sim_->command("rcv 1 " + file.string() + " to=+4917 from=+4918");
    }
    void vasp(const std::string& command) {
        vasp_->command(command);
        ASSERT_TRUE(vasp_->wait_for_line("ok " + command.substr(0, command.find(' ')))) << command;
    }
    std::size_t spooled(const char* suffix = ".meta", std::string_view sub = "") {
        return e2e::count_files(work_.path() / "spool" / sub, suffix);
    }
    // Nothing more reaches the VASP in the next few retry intervals.
    void expect_no_more_requests(std::size_t seen) {
        EXPECT_FALSE(vasp_->wait_for_line("accepted " + std::to_string(seen + 1), 4s));
        EXPECT_EQ(spooled(), 0u);
    }
    void expect_delivered(int request, const std::string& data) {
        ASSERT_TRUE(vasp_->wait_for_line("request " + std::to_string(request) +
                                         " path=/mm7-client soap=DeliverReq parts=1"));
        EXPECT_EQ(e2e::read_file(vasp_->dir() / "save" / ("request-" + std::to_string(request)) /
                                 "part-1.bin"),
                  data);
    }

    e2e::temp_dir work_{"mm7-spool"}, in_{"mm7-in"};
};

TEST_F(SpoolE2E, MessageSentWhileTheVaspIsDownArrivesIntactOnceItIsBack) {
    vasp("mode refuse");
    send("T-down", "bytes sent while nobody listens");
    expect_log("transaction T-down not delivered (try 1), the VASP is unreachable");
    expect_log("transaction T-down not delivered (try 2), the VASP is unreachable");
    vasp("mode normal");
    expect_log("transaction T-down delivered to the VASP");
    expect_delivered(1, "bytes sent while nobody listens");
    expect_no_more_requests(1);
}

// The VASP answers, but does not take the message at first: retried until it does, then never
// again; a client-error StatusCode is dropped at once.
TEST_F(SpoolE2E, UntakenMessagesAreRetriedUntilTakenAndClientErrorsDropped) {
    struct answer_case {
        const char *tid, *status, *mm7_status;
        int failures;     // answers before the VASP is set right
        const char* end;  // the log line that ends the message's story
    };
    const answer_case cases[] = {
        {"T-500", "500", "1000", 2, "transaction T-500 delivered to the VASP"},
        {"T-4xxx", "200", "4006", 2, "transaction T-4xxx delivered to the VASP"},
        {"T-3xxx", "200", "3001", 1, "transaction T-3xxx delivered to the VASP"},
        {"T-2xxx", "200", "2002", 1, "dropped transaction T-2xxx from +4918 to +4917 (entry "},
    };
    std::size_t requests = 0;
    for (const answer_case& c : cases) {
        SCOPED_TRACE(c.tid);
        vasp(std::string("status ") + c.status);
        vasp(std::string("mm7-status ") + c.mm7_status);
        send(c.tid, c.tid);
        for (int i = 0; i < c.failures; ++i) {
            ASSERT_TRUE(vasp_->wait_for_line(
                concat({"answered ", std::to_string(++requests), " ", c.status}), 15s));
        }
        vasp("status 200");
        vasp("mm7-status 1000");
        expect_log(c.end);
        requests = vasp_->count("accepted ");
        expect_no_more_requests(requests);
    }
    EXPECT_EQ(requests, 3u + 3 + 2 + 1);
}

// A daemon killed while the VASP holds a delivery delivers it after the restart; what the
// restart finds in the spool is checked: an entry past the age bound is dropped with its log
// line, a corrupt one and an orphaned PDU are moved aside.
TEST_F(SpoolE2E, KilledDaemonDeliversAfterRestartAndBadEntriesAreMovedAside) {
    vasp("mode never-answer");
    send("T-kill", "kept across a kill");
    ASSERT_TRUE(vasp_->wait_for_line("not answering 1"));
    kill(daemon_->pid(), SIGKILL);
    ASSERT_TRUE(daemon_->wait_for_exit());
    ASSERT_EQ(spooled(), 1u);
    const fs::path spool = work_.path() / "spool";
    fs::path meta;
    for (const auto& e : fs::directory_iterator(spool)) {
        meta = e.path().extension() == ".meta" ? e.path() : meta;
    }
    const std::string record = e2e::read_file(meta);
    auto plant = [&](const char* number, std::string text) {
        fs::copy_file(fs::path(meta).replace_extension(".pdu"),
                      spool / (std::string(number) + ".pdu"));
        if (!text.empty()) {
            e2e::write_file(spool / (std::string(number) + ".meta"), text);
        }
    };
    std::string aged = std::regex_replace(record, std::regex("received \\d+"), "received 1");
    plant("00000000000000000001", std::regex_replace(aged, std::regex("T-kill"), "T-aged"));
    plant("00000000000000000002", record.substr(0, record.size() / 2));  // cut mid-write
    plant("00000000000000000003", "");                                   // no record at all

    vasp("mode normal");
    start_daemon(daemon_args());
    expect_log(
        "dropped transaction T-aged from +4918 to +4917 (entry 00000000000000000001, 0 tries): "
        "older than 48 hours");
    expect_log("entry 00000000000000000002 moved to " + spool.string() +
               "/bad/: its record is truncated or corrupt");
    expect_log("entry 00000000000000000003 moved to");
    expect_log("transaction T-kill delivered to the VASP");
    expect_delivered(2, "kept across a kill");
    EXPECT_EQ(spooled(".pdu", "bad"), 2u);
    expect_no_more_requests(2);
}

TEST_F(SpoolE2E, FullSpoolDropsItsOldestEntryFirst) {
    e2e::strings args = daemon_args();
    args.insert(args.end(), {"--storagesize", "2"});
    start_daemon(args);
    vasp("mode refuse");
    for (const char* tid : {"T-s1", "T-s2", "T-s3"}) {
        send(tid, tid);
        ASSERT_TRUE(daemon_->wait_for_log_count("spooled as entry", tid[3] - '0'));
    }
    expect_log("dropped transaction T-s1 from +4918 to +4917 (entry ");
    expect_log("the spool is full (2 messages)");
    vasp("mode normal");
    expect_log("transaction T-s2 delivered to the VASP");
    expect_log("transaction T-s3 delivered to the VASP");
    EXPECT_FALSE(daemon_->log_contains("transaction T-s1 delivered"));
    expect_no_more_requests(2);
}

// A spool that cannot be written (here: a file where its directory should be): the message is
// still tried once, directly, and the failure is logged loudly.
TEST_F(SpoolE2E, UnwritableSpoolStillTriesTheDeliveryOnce) {
    daemon_.reset();
    fs::remove_all(work_.path() / "spool");
    e2e::write_file(work_.path() / "spool", "in the way");
    start_daemon(daemon_args());
    send("T-nospool", "no copy on disk");
    expect_log("spool: CANNOT SPOOL transaction T-nospool from +4918 to +4917: ");
    expect_log("transaction T-nospool delivered to the VASP");
    EXPECT_FALSE(vasp_->wait_for_line("accepted 2", 2s));
}

}  // namespace
