// End-to-end test harness: runs the real daemon and the kernel module simulator as child
// processes and lets a test wait for what they write.
//
// Every wait polls for a condition with a deadline; nothing sleeps for a fixed time.  A
// destructor never leaves a child running: it asks with SIGTERM, then forces with SIGKILL, and
// reaps the process.  A test process that is killed takes its children with it (they are
// started with PR_SET_PDEATHSIG).  Set MM7_E2E_KEEP=1 in the environment to keep the temporary directories
// (logs, PDU files) for a look after the test.
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
#include <string_view>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// How long a wait lasts unless the test says otherwise (sanitizer builds start slowly).
inline constexpr std::chrono::milliseconds default_timeout = 10s;

// Paths of the programs under test (this build's).
std::filesystem::path daemon_binary();
std::filesystem::path kmodsim_binary();

// A fresh directory under the system's temporary directory, removed with its contents.
class temp_dir {
  public:
    explicit temp_dir(std::string_view prefix = "mm7-e2e");
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Polls pred every few milliseconds until it holds; false when the timeout passes first.
bool wait_until(const std::function<bool()>& pred,
                std::chrono::milliseconds timeout = default_timeout);

// The contents of a file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// How a child process ended.
struct exit_status {
    bool exited = false;  // it called exit (code is valid); otherwise it died of signal
    int code = -1;
    int signal = 0;
};
std::string describe(const exit_status& status);

// One spawned child: its pid, its end, and a forced stop.
class child_process {
  public:
    struct launch {
        std::vector<std::string> argv;  // argv[0] is the program path
        std::filesystem::path cwd;
        int stdin_fd = -1;   // -1: /dev/null
        int stdout_fd = -1;  // -1: /dev/null
        int stderr_fd = -1;  // -1: /dev/null
    };
    explicit child_process(const launch& s);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    // True while the process has not ended (reaps it when it has).
    bool running();
    // The end status once the process has ended and been reaped.
    std::optional<exit_status> status() const { return status_; }
    std::optional<exit_status> wait_for_exit(std::chrono::milliseconds timeout);
    // SIGTERM, up to grace for the process to end, then SIGKILL; always reaps.
    exit_status stop(std::chrono::milliseconds grace = 5s);

  private:
    bool reap(bool block);

    pid_t pid_ = -1;
    std::optional<exit_status> status_;
};

// The daemon, started in a fresh work directory with its log there.
class daemon_process {
  public:
    struct options {
        std::vector<std::string> args;  // added after the harness's own options
        bool add_workdir = true;        // --workdir <dir>/
        bool add_logfile = true;        // --logfile <dir>/mm7_server.log
    };
    explicit daemon_process(std::vector<std::string> args = {});
    explicit daemon_process(options opts);
    ~daemon_process();
    daemon_process(const daemon_process&) = delete;
    daemon_process& operator=(const daemon_process&) = delete;

    pid_t pid() const { return child_->pid(); }
    // The work directory, with its trailing "/" as the daemon keeps it.
    std::filesystem::path workdir() const { return dir_.path(); }
    std::filesystem::path log_path() const { return dir_.path() / "mm7_server.log"; }
    std::filesystem::path pid_file() const { return dir_.path() / "mm7-server.pid"; }

    std::string log() const { return read_file(log_path()); }
    // What the process wrote to stderr (sanitizer reports end up here).
    std::string stderr_text() const { return read_file(dir_.path() / "stderr.txt"); }
    bool log_contains(std::string_view needle) const;
    std::size_t log_count(std::string_view needle) const;
    bool wait_for_log(std::string_view needle, std::chrono::milliseconds timeout = default_timeout);
    bool wait_for_log_count(std::string_view needle, std::size_t count,
                            std::chrono::milliseconds timeout = default_timeout);

    bool running() { return child_->running(); }
    std::optional<exit_status> wait_for_exit(std::chrono::milliseconds timeout = default_timeout) {
        return child_->wait_for_exit(timeout);
    }
    exit_status stop() { return child_->stop(); }

  private:
    temp_dir dir_;
    std::unique_ptr<child_process> child_;
};

// The kernel module simulator, with a pipe for its commands and a reader of its event lines.
class kmodsim_process {
  public:
    // Starts the simulator and waits until it has bound its socket (see ready()).
    explicit kmodsim_process(std::vector<std::string> args = {},
                             std::chrono::milliseconds timeout = default_timeout);
    ~kmodsim_process();
    kmodsim_process(const kmodsim_process&) = delete;
    kmodsim_process& operator=(const kmodsim_process&) = delete;

    // True once "kmodsim ready" was printed.
    bool ready() const { return ready_; }
    pid_t pid() const { return child_->pid(); }
    const std::filesystem::path& dir() const { return dir_.path(); }

    // Sends one command line (the newline is added).
    void command(std::string_view line);
    // Sends a command and waits for its answer line ("ok ..." or "error: ..."); the answer.
    std::optional<std::string> set(std::string_view key, std::string_view value);

    // Waits for the next line, after the last one a wait returned, that contains needle; the
    // line, or nullopt on timeout (the position is then unchanged).
    std::optional<std::string> wait_for_line(std::string_view needle,
                                             std::chrono::milliseconds timeout = default_timeout);
    // True when any line so far contains needle.
    bool seen(std::string_view needle) const;
    std::size_t count(std::string_view needle) const;
    std::vector<std::string> lines() const;
    // The frame log (every datagram with a hex dump).
    std::string frame_log() const { return read_file(dir_.path() / "frames.log"); }

    bool running() { return child_->running(); }
    // Closes the command pipe and lets the simulator end; forces it when it does not.
    exit_status stop();

  protected:
    struct launch_line {
        std::vector<std::string> argv;  // the program and its first arguments
        std::string ready_marker;       // the line that says it is ready
        std::string dir_option;         // given dir() / dir_name
        std::string dir_name;
    };
    kmodsim_process(launch_line program, std::vector<std::string> args,
                    std::chrono::milliseconds timeout = default_timeout);

  private:
    void read_lines(int fd);

    temp_dir dir_;
    std::string ready_marker_;
    std::unique_ptr<child_process> child_;
    int command_fd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::size_t cursor_ = 0;
    bool ready_ = false;
    bool closed_ = false;  // the simulator's output has ended
};

// The VASP stand-in (tools/vaspsim), driven the same way; it saves what it decodes in dir().
class vaspsim_process : public kmodsim_process {
  public:
    explicit vaspsim_process(std::vector<std::string> args = {});
};

// mm7-sink, the MM7 endpoint tool, saving into dir()/save.
class mm7_sink_process : public kmodsim_process {
  public:
    explicit mm7_sink_process(std::vector<std::string> args = {});
};

}  // namespace e2e
