// End-to-end test harness: runs the real daemon and its peers (kernel module simulator, VASP
// stand-ins, MMSC stand-in, proxy) as child processes and lets a test wait for what they write.
// Every wait polls a condition with a deadline.  A destructor never leaves a child running
// (SIGTERM, then SIGKILL, always reaped), and children die with a killed test process
// (PR_SET_PDEATHSIG).  MM7_E2E_KEEP=1 keeps the temporary directories for a look afterwards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using strings = std::vector<std::string>;
using ms = std::chrono::milliseconds;
inline constexpr ms default_timeout = 10s;  // sanitizer builds start slowly

// A fresh directory under the system's temporary directory, removed with its contents.
struct temp_dir {
    explicit temp_dir(std::string prefix = "mm7-e2e");
    ~temp_dir();
    const fs::path& path() const { return path_; }
    fs::path path_;
};

bool wait_until(const std::function<bool()>& pred, ms timeout = default_timeout);
std::string read_file(const fs::path& path);  // empty when it cannot be read
void write_file(const fs::path& path, std::string_view bytes);

struct exit_status {
    bool exited = false;  // it called exit (code is valid); otherwise it died of signal
    int code = -1, signal = 0;
};
std::string describe(const exit_status& status);

// A child process; -1 for a descriptor: /dev/null.
class process {
  public:
    process(const strings& argv, const fs::path& cwd, int in = -1, int out = -1, int err = -1);
    ~process() { stop(); }
    pid_t pid() const { return pid_; }
    bool running() { return !reap(false); }  // reaps it when it has ended
    std::optional<exit_status> wait_for_exit(ms timeout = default_timeout);
    exit_status stop(ms grace = 5s);  // SIGTERM, then SIGKILL

  private:
    bool reap(bool block);
    pid_t pid_ = -1;
    std::optional<exit_status> status_;
};

// The daemon with --workdir <dir>/ and --logfile <dir>/mm7_server.log (args may override them).
class daemon_process {
  public:
    explicit daemon_process(strings args = {});
    pid_t pid() const { return child_->pid(); }
    fs::path workdir() const { return dir_.path(); }
    fs::path log_path() const { return dir_.path() / "mm7_server.log"; }
    fs::path pid_file() const { return dir_.path() / "mm7-server.pid"; }
    std::string log() const { return read_file(log_path()); }
    std::string stderr_text() const { return read_file(dir_.path() / "stderr.txt"); }
    std::size_t log_count(std::string_view needle) const;
    bool log_contains(std::string_view needle) const { return log_count(needle) > 0; }
    bool wait_for_log(std::string_view needle, ms timeout = default_timeout) {
        return wait_for_log_count(needle, 1, timeout);
    }
    bool wait_for_log_count(std::string_view needle, std::size_t n, ms timeout = default_timeout);
    bool running() { return child_->running(); }
    auto wait_for_exit(ms timeout = default_timeout) { return child_->wait_for_exit(timeout); }
    exit_status stop() { return child_->stop(); }

  private:
    temp_dir dir_{"mm7-daemon"};
    std::unique_ptr<process> child_;
};

// A peer that reads commands on stdin and reports event lines on stdout.
class line_process {
  public:
    struct program {
        strings argv;                      // the program and its first arguments
        std::string ready_marker;          // the line that says it is ready
        std::string dir_option, dir_name;  // given dir() / dir_name
        bool ends_on_eof = true;           // else stop() sends SIGTERM at once
    };
    line_process(program p, const strings& args);
    ~line_process();
    bool ready() const { return ready_; }  // the ready marker was printed
    pid_t pid() const { return child_->pid(); }
    const fs::path& dir() const { return dir_.path(); }
    void command(std::string_view line);  // the newline is added
    // Sends "set key value" and waits for its answer line ("ok ..." or "error: ...").
    std::optional<std::string> set(std::string_view key, std::string_view value);
    // The next line after the last one a wait returned that contains needle; nullopt on timeout.
    std::optional<std::string> wait_for_line(std::string_view needle, ms timeout = default_timeout);
    bool seen(std::string_view needle) const { return count(needle) > 0; }
    std::size_t count(std::string_view needle) const;
    strings lines() const;
    std::string frame_log() const { return read_file(dir_.path() / "frames.log"); }
    exit_status stop();

  private:
    std::optional<std::string> next_line(const std::function<bool(const std::string&)>& pred,
                                         ms timeout);
    temp_dir dir_{"mm7-peer"};
    program program_;
    std::unique_ptr<process> child_;
    int command_fd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    strings lines_;
    std::size_t cursor_ = 0;
    bool ready_ = false, closed_ = false;
};

struct kmodsim_process : line_process {  // tools/kmodsim; its frame log in dir()
    explicit kmodsim_process(const strings& args = {});
};
struct vaspsim_process : line_process {  // tools/vaspsim; saves what it decodes in dir()/save
    explicit vaspsim_process(const strings& args = {});
};
struct mm7_sink_process : line_process {  // tools/mm7-sink, saving into dir()/save
    explicit mm7_sink_process(const strings& args = {});
};

// The MMSC stand-in (tools/mmsc_stub) on 127.0.0.1:8080, recording every request.
struct mmsc_request {
    int seq = 0;
    double t_ms = 0;  // the stand-in's clock
    std::string method, path, head, body;
};
struct mmsc_standin : line_process {
    explicit mmsc_standin(const strings& args = {});
    std::vector<mmsc_request> requests() const;
    std::string output() const;
};

// tinyproxy on 127.0.0.1:8899 (HTTP and CONNECT); available() is false when not installed.
struct proxy_standin {
    proxy_standin();
    bool available() const { return child_ != nullptr; }
    std::string log() const { return read_file(dir_.path() / "log"); }
    temp_dir dir_{"proxy"};
    std::unique_ptr<process> child_;
};

}  // namespace e2e
