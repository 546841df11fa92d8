#include "support/daemon_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int open_for_output(const fs::path& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : (fail("cannot create " + path.string()), -1);
}

std::size_t occurrences(std::string_view text, std::string_view needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); !needle.empty() && at != std::string_view::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

}  // namespace

temp_dir::temp_dir(std::string_view prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp " + pattern);
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    const char* keep = std::getenv("MM7_E2E_KEEP");
    std::error_code ec;
    if (keep == nullptr || *keep == '\0' || std::strcmp(keep, "0") == 0) {
        fs::remove_all(path_, ec);
    }
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string describe(const exit_status& status) {
    return status.exited ? "exit status " + std::to_string(status.code)
                         : "killed by signal " + std::to_string(status.signal);
}

child_process::child_process(const launch& s) {
    std::vector<char*> argv;
    for (const auto& a : s.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    int report[2];  // the child reports a failed exec here; a successful one closes it
    if (pipe2(report, O_CLOEXEC) != 0) {
        fail("cannot start " + s.argv[0]);
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls up to exec: the test process has threads.  The child dies
        // with the test process however that ends (a CTest time-out, a crash): no orphans.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
            _exit(127);
        }
        auto redirect = [](int fd, int target, int flags) {
            fd = fd < 0 ? open("/dev/null", flags) : fd;
            return fd >= 0 && dup2(fd, target) >= 0;
        };
        bool ok = redirect(s.stdin_fd, 0, O_RDONLY) && redirect(s.stdout_fd, 1, O_WRONLY) &&
                  redirect(s.stderr_fd, 2, O_WRONLY) &&
                  (s.cwd.empty() || chdir(s.cwd.c_str()) == 0);
        // Default signal handling and nothing blocked, whatever the test process has set up.
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        for (int number = 1; number < NSIG; ++number) {
            sigaction(number, &default_action, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (ok) {
            execv(argv[0], argv.data());
        }
        int error = errno;
        [[maybe_unused]] ssize_t n = write(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int error = pid_ < 0 ? errno : 0;
    if (pid_ > 0 && read(report[0], &error, sizeof error) != sizeof error) {
        error = 0;  // the exec went through
    }
    close(report[0]);
    if (error != 0) {
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        errno = error;
        fail("cannot start " + s.argv[0]);
    }
}

bool child_process::reap(bool block) {
    if (status_ || pid_ <= 0) {
        return true;
    }
    int raw = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &raw, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
        return false;
    }
    exit_status st;
    if (r == pid_ && WIFEXITED(raw)) {
        st = {true, WEXITSTATUS(raw), 0};
    } else if (r == pid_ && WIFSIGNALED(raw)) {
        st.signal = WTERMSIG(raw);
    }
    status_ = st;
    return true;
}

std::optional<exit_status> child_process::wait_for_exit(std::chrono::milliseconds timeout) {
    wait_until([this] { return reap(false); }, timeout);
    return status_;
}

exit_status child_process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return {};
    }
    if (!reap(false)) {
        kill(pid_, SIGTERM);
        if (!wait_until([this] { return reap(false); }, grace)) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
    return *status_;
}

daemon_process::daemon_process(strings args) {
    child_process::launch s{{MM7_DAEMON_PATH, "--workdir", dir_.path().string() + "/", "--logfile",
                             log_path().string()},
                            dir_.path()};
    s.argv.insert(s.argv.end(), args.begin(), args.end());
    s.stdout_fd = open_for_output(dir_.path() / "stdout.txt");
    s.stderr_fd = open_for_output(dir_.path() / "stderr.txt");
    child_ = std::make_unique<child_process>(s);
    close(s.stdout_fd);
    close(s.stderr_fd);
}

bool daemon_process::log_contains(std::string_view needle) const {
    return log().find(needle) != std::string::npos;
}

std::size_t daemon_process::log_count(std::string_view needle) const {
    return occurrences(log(), needle);
}

bool daemon_process::wait_for_log(std::string_view needle, std::chrono::milliseconds timeout) {
    return wait_until([&] { return log_contains(needle); }, timeout);
}

bool daemon_process::wait_for_log_count(std::string_view needle, std::size_t count,
                                        std::chrono::milliseconds timeout) {
    return wait_until([&] { return log_count(needle) >= count; }, timeout);
}

line_process::line_process(program p, strings args, std::chrono::milliseconds timeout)
    : program_(std::move(p)) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    child_process::launch s{program_.argv, dir_.path(), to_child[0], from_child[1]};
    s.argv.insert(s.argv.end(), {program_.dir_option, (dir_.path() / program_.dir_name).string()});
    s.argv.insert(s.argv.end(), args.begin(), args.end());
    s.stderr_fd = open_for_output(dir_.path() / "stderr.txt");
    try {
        child_ = std::make_unique<child_process>(s);
    } catch (...) {
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1], s.stderr_fd}) {
            close(fd);
        }
        throw;
    }
    for (int fd : {to_child[0], from_child[1], s.stderr_fd}) {
        close(fd);
    }
    command_fd_ = to_child[1];
    reader_ = std::thread([this, fd = from_child[0]] {
        std::string partial;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);) {
            partial.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            std::lock_guard lock(mutex_);
            for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                lines_.push_back(partial.substr(0, nl));
                ready_ = ready_ || lines_.back().starts_with(program_.ready_marker);
                partial.erase(0, nl + 1);
            }
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        if (!partial.empty()) {
            lines_.push_back(partial);
        }
        closed_ = true;
        changed_.notify_all();
        close(fd);
    });
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return ready_ || closed_; });
}

line_process::~line_process() {
    stop();
    reader_.join();
}

void line_process::command(std::string_view line) {
    signal(SIGPIPE, SIG_IGN);  // a command to a simulator that has gone must fail, not kill us
    std::string text = std::string(line) + "\n";
    for (std::size_t done = 0; command_fd_ >= 0 && done < text.size();) {
        const ssize_t n = write(command_fd_, text.data() + done, text.size() - done);
        if (n <= 0 && errno != EINTR) {
            return;  // the simulator is gone; the test sees it in the missing answers
        }
        done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
}

template <class Pred>
std::optional<std::string> line_process::next_line(Pred pred, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (std::size_t i = cursor_; i < lines_.size(); ++i) {
            if (pred(lines_[i])) {
                found = lines_[i];
                cursor_ = i + 1;
                return true;
            }
        }
        return closed_;
    });
    return found;
}

std::optional<std::string> line_process::set(std::string_view key, std::string_view value) {
    command("set " + std::string(key) + " " + std::string(value));
    const std::string ok = "ok " + std::string(key) + "=";
    return next_line(
        [&](const std::string& l) { return l.starts_with(ok) || l.starts_with("error: "); },
        default_timeout);
}

std::optional<std::string> line_process::wait_for_line(std::string_view needle,
                                                       std::chrono::milliseconds timeout) {
    return next_line([&](const std::string& l) { return l.find(needle) != std::string::npos; },
                     timeout);
}

std::size_t line_process::count(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    return std::count_if(lines_.begin(), lines_.end(),
                         [&](const std::string& l) { return l.find(needle) != std::string::npos; });
}

strings line_process::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

exit_status line_process::stop() {
    if (command_fd_ >= 0) {
        close(command_fd_);  // end of its input: the simulator ends by itself
        command_fd_ = -1;
        if (program_.ends_on_eof) {
            child_->wait_for_exit(2s);
        }
    }
    return child_->stop();
}

kmodsim_process::kmodsim_process(strings args)
    : line_process({{MM7_KMODSIM_PATH}, "kmodsim ready", "--log", "frames.log"}, args) {}

vaspsim_process::vaspsim_process(strings args)
    : line_process(
          {{MM7_SOURCE_DIR "/tools/vaspsim/vaspsim.py"}, "vaspsim ready", "--save", "save"}, args) {
}

mm7_sink_process::mm7_sink_process(strings args)
    : line_process({{MM7_SOURCE_DIR "/tools/mm7-sink/mm7_sink.py", "--host", "127.0.0.1"},
                    "mm7-sink listening",
                    "--save",
                    "save"},
                   args) {}

mmsc_standin::mmsc_standin(strings extra)
    : line_process({{"/usr/bin/env", "python3", MM7_SOURCE_DIR "/tools/mmsc_stub/mmsc_stub.py"},
                    "mmsc_stub ready",
                    "--record",
                    "",
                    false},
                   extra) {}

std::vector<mmsc_request> mmsc_standin::requests() const {
    std::vector<mmsc_request> out;
    for (const std::string& line : lines()) {
        mmsc_request r;
        char method[16], path[1024];
        if (std::sscanf(line.c_str(), "request seq=%d t_ms=%lf method=%15s path=%1023s", &r.seq,
                        &r.t_ms, method, path) == 4) {
            const std::string base = (dir() / ("req-" + std::to_string(r.seq))).string();
            out.push_back(
                {r.seq, r.t_ms, method, path, read_file(base + ".hdr"), read_file(base + ".bin")});
        }
    }
    return out;
}

std::string mmsc_standin::output() const {
    std::string out;
    for (const std::string& line : lines()) {
        out += line + "\n";
    }
    return out;
}

proxy_standin::proxy_standin() {
    if (std::system("command -v tinyproxy >/dev/null 2>&1") != 0) {
        return;
    }
    std::ofstream(dir_.path() / "conf")
        << "Port 8899\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nAllow 127.0.0.1\nLogFile \""
        << (dir_.path() / "log").string() << "\"\n";
    child_process::launch s;
    s.argv = {"/usr/bin/env", "tinyproxy", "-d", "-c", (dir_.path() / "conf").string()};
    child_ = std::make_unique<child_process>(s);
    wait_until([&] { return log().find("istening") != std::string::npos; });
}

}  // namespace e2e
