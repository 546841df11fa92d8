// End-to-end test harness: runs the real daemon and its peers (kernel module simulator, VASP
// stand-ins, MMSC stand-in, proxy) as child processes and lets a test wait for what they write.
// Every wait polls a condition with a deadline.  A destructor never leaves a child running
// (SIGTERM, then SIGKILL, always reaped), and children die with a killed test process
// (PR_SET_PDEATHSIG).  MM7_E2E_KEEP=1 keeps the temporary directories for a look afterwards.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using strings = std::vector<std::string>;
using ms = std::chrono::milliseconds;
inline constexpr ms default_timeout = 10s;  // sanitizer builds start slowly

inline int checked(int result, const std::string& what) {
    if (result < 0) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }
    return result;
}

inline int output_file(const fs::path& path) {
    return checked(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
                   path.string());
}

inline bool wait_until(const std::function<bool()>& pred, ms timeout = default_timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !pred(); std::this_thread::sleep_for(5ms)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

// The contents of a file; empty when it cannot be read.
inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// A fresh directory under the system's temporary directory, removed with its contents.
struct temp_dir {
    explicit temp_dir(std::string prefix = "mm7-e2e") {
        std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        checked(mkdtemp(pattern.data()) == nullptr ? -1 : 0, "mkdtemp " + pattern);
        path_ = pattern;
    }
    ~temp_dir() {
        const char* keep = std::getenv("MM7_E2E_KEEP");
        std::error_code ec;
        if (keep == nullptr || *keep == '\0' || std::strcmp(keep, "0") == 0) {
            fs::remove_all(path_, ec);
        }
    }
    const fs::path& path() const { return path_; }
    fs::path path_;
};

struct exit_status {
    bool exited = false;  // it called exit (code is valid); otherwise it died of signal
    int code = -1, signal = 0;
};
inline std::string describe(const exit_status& status) {
    return status.exited ? "exit status " + std::to_string(status.code)
                         : "killed by signal " + std::to_string(status.signal);
}

// A child process; -1 for a descriptor: /dev/null.
class process {
  public:
    process(const strings& args, const fs::path& cwd, int in = -1, int out = -1, int err = -1) {
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = checked(fork(), "fork for " + args[0]);
        if (pid_ == 0) {
            // Only async-signal-safe calls up to exec: the test process has threads.  The child
            // dies with the test process however that ends (a time-out, a crash): no orphans.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
                _exit(127);
            }
            int fds[] = {in, out, err};
            for (int target = 0; target < 3; ++target) {
                int fd = fds[target] >= 0 ? fds[target]
                                          : open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
                if (fd < 0 || dup2(fd, target) < 0) {
                    _exit(127);
                }
            }
            // Default signal handling and nothing blocked, whatever the test process has set up.
            struct sigaction default_action {};
            default_action.sa_handler = SIG_DFL;
            for (int number = 1; number < NSIG; ++number) {
                sigaction(number, &default_action, nullptr);
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            if (cwd.empty() || chdir(cwd.c_str()) == 0) {
                execv(argv[0], argv.data());
            }
            const char failed[] = "harness: cannot start the program\n";
            [[maybe_unused]] ssize_t n = write(2, failed, sizeof failed - 1);
            _exit(127);
        }
    }
    ~process() { stop(); }
    pid_t pid() const { return pid_; }
    bool running() { return !reap(false); }  // reaps it when it has ended
    std::optional<exit_status> wait_for_exit(ms timeout = default_timeout) {
        wait_until([this] { return reap(false); }, timeout);
        return status_;
    }
    exit_status stop(ms grace = 5s) {  // SIGTERM, then SIGKILL
        if (!reap(false)) {
            kill(pid_, SIGTERM);
            if (!wait_until([this] { return reap(false); }, grace)) {
                kill(pid_, SIGKILL);
                reap(true);
            }
        }
        return *status_;
    }

  private:
    bool reap(bool block) {
        int raw = 0;
        pid_t r = 0;
        while (!status_ && (r = waitpid(pid_, &raw, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
        }
        if (!status_ && r != 0) {
            status_ = WIFEXITED(raw) ? exit_status{true, WEXITSTATUS(raw), 0}
                                     : exit_status{false, -1, WIFSIGNALED(raw) ? WTERMSIG(raw) : 0};
        }
        return status_.has_value();
    }
    pid_t pid_ = -1;
    std::optional<exit_status> status_;
};

// The daemon with --workdir <dir>/, --logfile <dir>/mm7_server.log and --pdudir of the temporary
// directory (args may override them);
// env ("NAME=value") is added to its environment.
class daemon_process {
  public:
    explicit daemon_process(strings args = {}, const strings& env = {}) {
        if (std::ranges::find(args, "--pdudir") == args.end()) {  // where tests put PDU files
            args.insert(args.begin(), {"--pdudir", fs::temp_directory_path().string()});
        }
        args.insert(args.begin(), {MM7_DAEMON_PATH, "--workdir", dir_.path().string() + "/",
                                   "--logfile", log_path().string()});
        if (!env.empty()) {
            args.insert(args.begin(), env.begin(), env.end());
            args.insert(args.begin(), "/usr/bin/env");
        }
        const int out = output_file(dir_.path() / "stdout.txt");
        const int err = output_file(dir_.path() / "stderr.txt");
        child_ = std::make_unique<process>(args, dir_.path(), -1, out, err);
        close(out);
        close(err);
    }
    pid_t pid() const { return child_->pid(); }
    fs::path workdir() const { return dir_.path(); }
    fs::path log_path() const { return dir_.path() / "mm7_server.log"; }
    fs::path pid_file() const { return dir_.path() / "mm7-server.pid"; }
    std::string log() const { return read_file(log_path()); }
    std::string stderr_text() const { return read_file(dir_.path() / "stderr.txt"); }
    std::size_t log_count(std::string_view needle) const {
        const std::string text = log();
        std::size_t n = 0;
        for (auto at = text.find(needle); !needle.empty() && at != std::string::npos;
             at = text.find(needle, at + needle.size())) {
            ++n;
        }
        return n;
    }
    bool log_contains(std::string_view needle) const { return log_count(needle) > 0; }
    bool wait_for_log(std::string_view needle, ms timeout = default_timeout) {
        return wait_for_log_count(needle, 1, timeout);
    }
    bool wait_for_log_count(std::string_view needle, std::size_t n, ms timeout = default_timeout) {
        return wait_until([&] { return log_count(needle) >= n; }, timeout);
    }
    bool running() { return child_->running(); }
    auto wait_for_exit(ms timeout = default_timeout) { return child_->wait_for_exit(timeout); }
    exit_status stop() { return child_->stop(); }

  private:
    temp_dir dir_{"mm7-daemon"};
    std::unique_ptr<process> child_;
};

// A peer that reads commands on stdin and reports event lines on stdout (into dir()/out.txt).
class line_process {
  public:
    struct program {
        strings argv;                      // the program and its first arguments
        std::string ready_marker;          // the line that says it is ready
        std::string dir_option, dir_name;  // given dir() / dir_name
        bool ends_on_eof = true;           // else stop() sends SIGTERM at once
    };
    line_process(program p, const strings& args) : ends_on_eof_(p.ends_on_eof) {
        int to_child[2];
        checked(pipe2(to_child, O_CLOEXEC), "pipe");
        p.argv.insert(p.argv.end(), {p.dir_option, (dir_.path() / p.dir_name).string()});
        p.argv.insert(p.argv.end(), args.begin(), args.end());
        const int out = output_file(dir_.path() / "out.txt");
        const int err = output_file(dir_.path() / "stderr.txt");
        child_ = std::make_unique<process>(p.argv, dir_.path(), to_child[0], out, err);
        for (int fd : {to_child[0], out, err}) {
            close(fd);
        }
        command_fd_ = to_child[1];
        ready_ = wait_until([&] {
            return std::ranges::any_of(lines(),
                                       [&](auto& l) { return l.starts_with(p.ready_marker); });
        });
    }
    ~line_process() { stop(); }
    bool ready() const { return ready_; }  // the ready marker was printed
    pid_t pid() const { return child_->pid(); }
    const fs::path& dir() const { return dir_.path(); }
    void command(std::string_view line) {  // the newline is added
        signal(SIGPIPE, SIG_IGN);  // a command to a peer that has gone must fail, not kill us
        std::string text = std::string(line) + "\n";
        for (std::size_t done = 0; command_fd_ >= 0 && done < text.size();) {
            const ssize_t n = write(command_fd_, text.data() + done, text.size() - done);
            if (n <= 0 && errno != EINTR) {
                return;  // the peer is gone; the test sees it in the missing answers
            }
            done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
    }
    // The next line after the last one a wait returned that contains needle; nullopt on timeout.
    std::optional<std::string> wait_for_line(std::string_view needle,
                                             ms timeout = default_timeout) {
        return next_line([&](auto& l) { return l.find(needle) != std::string::npos; }, timeout);
    }
    bool seen(std::string_view needle) const { return count(needle) > 0; }
    std::size_t count(std::string_view needle) const {
        const strings& all = update();
        return std::count_if(all.begin(), all.end(),
                             [&](auto& l) { return l.find(needle) != std::string::npos; });
    }
    strings lines() const { return update(); }  // every complete line so far
    std::string frame_log() const { return read_file(dir_.path() / "frames.log"); }
    exit_status stop() {
        if (command_fd_ >= 0 && close(std::exchange(command_fd_, -1)) == 0 && ends_on_eof_) {
            child_->wait_for_exit(2s);  // end of its input: the peer ends by itself
        }
        return child_->stop();
    }

  private:
    const strings& update() const {  // reads what was added to the file since the last call
        std::ifstream in(dir_.path() / "out.txt", std::ios::binary);
        in.seekg(static_cast<std::streamoff>(read_));
        const std::string text(std::istreambuf_iterator<char>(in), {});
        for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            lines_.push_back(text.substr(at, nl - at));
            read_ += nl + 1 - at;
        }
        return lines_;
    }
    std::optional<std::string> next_line(const std::function<bool(const std::string&)>& pred,
                                         ms timeout) {
        std::optional<std::string> found;
        wait_until(
            [&] {
                const bool alive = child_->running();
                const strings& all = update();
                for (std::size_t i = cursor_; i < all.size() && !found; ++i) {
                    found = pred(all[i]) ? std::optional(all[i]) : std::nullopt;
                    cursor_ = found ? i + 1 : cursor_;
                }
                return found || !alive;
            },
            timeout);
        return found;
    }
    temp_dir dir_{"mm7-peer"};
    bool ends_on_eof_;
    std::unique_ptr<process> child_;
    int command_fd_ = -1;
    std::size_t cursor_ = 0;
    mutable std::size_t read_ = 0;  // bytes of out.txt in lines_
    mutable strings lines_;
    bool ready_ = false;
};

// tools/kmodsim, with its frame log in dir().
struct kmodsim_process : line_process {
    explicit kmodsim_process(const strings& args = {})
        : line_process({{MM7_KMODSIM_PATH}, "kmodsim ready", "--log", "frames.log"}, args) {}
};

// tools/vaspsim, or mm7-sink when sink is set, saving what they decode in dir()/save.
struct vasp_process : line_process {
    explicit vasp_process(const strings& args = {}, bool sink = false)
        : line_process(
              sink ? program{{MM7_SOURCE_DIR "/tools/mm7-sink/mm7_sink.py", "--host", "127.0.0.1"},
                             "mm7-sink listening",
                             "--save",
                             "save"}
                   : program{{MM7_SOURCE_DIR "/tools/vaspsim/vaspsim.py"},
                             "vaspsim ready",
                             "--save",
                             "save"},
              args) {}
};

// The MMSC stand-in (tools/mmsc_stub) on 127.0.0.1:8080, recording every request.
struct mmsc_request {
    int seq = 0;
    double t_ms = 0;  // the stand-in's clock
    std::string method, path, head, body;
};
struct mmsc_standin : line_process {
    explicit mmsc_standin(const strings& args = {})
        : line_process({{"/usr/bin/env", "python3", MM7_SOURCE_DIR "/tools/mmsc_stub/mmsc_stub.py"},
                        "mmsc_stub ready",
                        "--record",
                        "",
                        false},
                       args) {}
    std::vector<mmsc_request> requests() const {
        std::vector<mmsc_request> out;
        for (const std::string& line : lines()) {
            mmsc_request r;
            char method[16], path[1024];
            if (std::sscanf(line.c_str(), "request seq=%d t_ms=%lf method=%15s path=%1023s", &r.seq,
                            &r.t_ms, method, path) == 4) {
                const std::string base = (dir() / ("req-" + std::to_string(r.seq))).string();
                out.push_back({r.seq, r.t_ms, method, path, read_file(base + ".hdr"),
                               read_file(base + ".bin")});
            }
        }
        return out;
    }
    std::string output() const { return read_file(dir() / "out.txt"); }
};

// tinyproxy on 127.0.0.1:8899 (HTTP and CONNECT); available() is false when not installed.
struct proxy_standin {
    proxy_standin() {
        if (std::system("command -v tinyproxy >/dev/null 2>&1") == 0) {
            write_file(dir_.path() / "conf",
                       "Port 8899\nListen 127.0.0.1\nTimeout 30\nLogLevel "
                       "Info\nAllow 127.0.0.1\nLogFile \"" +
                           (dir_.path() / "log").string() + "\"\n");
            child_ = std::make_unique<process>(
                strings{"/usr/bin/env", "tinyproxy", "-d", "-c", (dir_.path() / "conf").string()},
                dir_.path());
            wait_until([&] { return log().find("istening") != std::string::npos; });
        }
    }
    bool available() const { return child_ != nullptr; }
    std::string log() const { return read_file(dir_.path() / "log"); }
    temp_dir dir_{"proxy"};
    std::unique_ptr<process> child_;
};

}  // namespace e2e
