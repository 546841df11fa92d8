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
#include <stdexcept>

namespace e2e {

namespace {

constexpr auto poll_interval = 5ms;

bool keep_temp_dirs() {
    const char* keep = std::getenv("MM7_E2E_KEEP");
    return keep != nullptr && *keep != '\0' && std::strcmp(keep, "0") != 0;
}

// An owned descriptor.
struct fd_guard {
    int fd = -1;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard() {
        if (fd >= 0) {
            close(fd);
        }
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
};

int open_for_output(const std::filesystem::path& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path.string() + ": " + std::strerror(errno));
    }
    return fd;
}

std::size_t occurrences(std::string_view text, std::string_view needle) {
    if (needle.empty()) {
        return 0;
    }
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

}  // namespace

std::filesystem::path daemon_binary() {
    return MM7_DAEMON_PATH;
}
std::filesystem::path kmodsim_binary() {
    return MM7_KMODSIM_PATH;
}

// ---- temp_dir ----

temp_dir::temp_dir(std::string_view prefix) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    if (keep_temp_dirs()) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

// ---- helpers ----

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string describe(const exit_status& status) {
    if (status.exited) {
        return "exit status " + std::to_string(status.code);
    }
    return "killed by signal " + std::to_string(status.signal);
}

// ---- child_process ----

child_process::child_process(const launch& s) {
    std::vector<char*> argv;
    for (const auto& a : s.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    // The child reports a failed exec through this pipe; a successful one closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot start " + s.argv[0] + ": " + std::strerror(errno));
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec: the test process has threads.
        // The child dies with the test process, however that ends (a CTest time-out, a crash),
        // so no daemon or stand-in is ever left running.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
            _exit(127);
        }
        auto redirect = [](int fd, int target, int open_flags) {
            if (fd < 0) {
                fd = open("/dev/null", open_flags);
            }
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
        throw std::runtime_error("cannot start " + s.argv[0] + ": " + std::strerror(error));
    }
}

child_process::~child_process() {
    if (started() && !status_) {
        stop();
    }
}

bool child_process::reap(bool block) {
    if (status_ || !started()) {
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
    if (r == pid_) {
        if (WIFEXITED(raw)) {
            st.exited = true;
            st.code = WEXITSTATUS(raw);
        } else if (WIFSIGNALED(raw)) {
            st.signal = WTERMSIG(raw);
        }
    }
    status_ = st;
    return true;
}

bool child_process::running() {
    return !reap(false);
}

std::optional<exit_status> child_process::wait_for_exit(std::chrono::milliseconds timeout) {
    wait_until([this] { return reap(false); }, timeout);
    return status_;
}

exit_status child_process::stop(std::chrono::milliseconds grace) {
    if (!started()) {
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

// ---- daemon_process ----

daemon_process::daemon_process(std::vector<std::string> args)
    : daemon_process(options{std::move(args), true, true}) {}

daemon_process::daemon_process(options opts) : dir_("mm7-daemon") {
    child_process::launch s;
    s.argv.push_back(daemon_binary().string());
    if (opts.add_workdir) {
        s.argv.insert(s.argv.end(), {"--workdir", dir_.path().string() + "/"});
    }
    if (opts.add_logfile) {
        s.argv.insert(s.argv.end(), {"--logfile", log_path().string()});
    }
    s.argv.insert(s.argv.end(), opts.args.begin(), opts.args.end());
    s.cwd = dir_.path();
    fd_guard out(open_for_output(dir_.path() / "stdout.txt"));
    fd_guard err(open_for_output(dir_.path() / "stderr.txt"));
    s.stdout_fd = out.fd;
    s.stderr_fd = err.fd;
    child_ = std::make_unique<child_process>(s);
}

daemon_process::~daemon_process() {
    child_->stop();
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

// ---- kmodsim_process ----

kmodsim_process::kmodsim_process(std::vector<std::string> args, std::chrono::milliseconds timeout)
    : kmodsim_process(
          launch_line{{kmodsim_binary().string()}, "kmodsim ready", "--log", "frames.log"}, args,
          timeout) {}

kmodsim_process::kmodsim_process(launch_line program, std::vector<std::string> args,
                                 std::chrono::milliseconds timeout)
    : dir_("mm7-kmodsim"), ready_marker_(std::move(program.ready_marker)) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    fd_guard child_in(to_child[0]), child_out(from_child[1]);
    fd_guard our_in(to_child[1]), our_out(from_child[0]);
    // A command written after the simulator has gone must fail, not kill the test.
    signal(SIGPIPE, SIG_IGN);

    child_process::launch s;
    s.argv = program.argv;
    s.argv.insert(s.argv.end(), {program.dir_option, (dir_.path() / program.dir_name).string()});
    s.argv.insert(s.argv.end(), args.begin(), args.end());
    s.cwd = dir_.path();
    fd_guard err(open_for_output(dir_.path() / "stderr.txt"));
    s.stdin_fd = child_in.fd;
    s.stdout_fd = child_out.fd;
    s.stderr_fd = err.fd;
    child_ = std::make_unique<child_process>(s);
    command_fd_ = our_in.fd;
    our_in.fd = -1;

    const int read_fd = our_out.fd;
    our_out.fd = -1;  // the reader owns it now
    reader_ = std::thread([this, read_fd] { read_lines(read_fd); });

    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return ready_ || closed_; });
}

kmodsim_process::~kmodsim_process() {
    stop();
    if (reader_.joinable()) {
        reader_.join();
    }
}

void kmodsim_process::read_lines(int fd) {
    std::string partial;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        partial.append(chunk, static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            lines_.push_back(partial.substr(0, nl));
            if (lines_.back().starts_with(ready_marker_)) {
                ready_ = true;
            }
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
}

void kmodsim_process::command(std::string_view line) {
    if (command_fd_ < 0) {
        return;
    }
    std::string text(line);
    text.push_back('\n');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(command_fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the simulator is gone; the test sees it in the missing answers
        }
        done += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> kmodsim_process::set(std::string_view key, std::string_view value) {
    command("set " + std::string(key) + " " + std::string(value));
    std::unique_lock lock(mutex_);
    const std::string ok = "ok " + std::string(key) + "=";
    std::optional<std::string> answer;
    changed_.wait_for(lock, default_timeout, [&] {
        for (std::size_t i = cursor_; i < lines_.size(); ++i) {
            if (lines_[i].starts_with(ok) || lines_[i].starts_with("error: ")) {
                answer = lines_[i];
                cursor_ = i + 1;
                return true;
            }
        }
        return closed_;
    });
    return answer;
}

std::optional<std::string> kmodsim_process::wait_for_line(std::string_view needle,
                                                          std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (std::size_t i = cursor_; i < lines_.size(); ++i) {
            if (lines_[i].find(needle) != std::string::npos) {
                found = lines_[i];
                cursor_ = i + 1;
                return true;
            }
        }
        return closed_;
    });
    return found;
}

bool kmodsim_process::seen(std::string_view needle) const {
    return count(needle) > 0;
}

std::size_t kmodsim_process::count(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& l : lines_) {
        if (l.find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

std::vector<std::string> kmodsim_process::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

exit_status kmodsim_process::stop() {
    if (command_fd_ >= 0) {
        close(command_fd_);  // end of its input: the simulator ends by itself
        command_fd_ = -1;
        child_->wait_for_exit(2s);
    }
    return child_->stop();
}

vaspsim_process::vaspsim_process(std::vector<std::string> args)
    : kmodsim_process(
          launch_line{
              {MM7_SOURCE_DIR "/tools/vaspsim/vaspsim.py"}, "vaspsim ready", "--save", "save"},
          std::move(args)) {}

mm7_sink_process::mm7_sink_process(std::vector<std::string> args)
    : kmodsim_process(
          launch_line{{MM7_SOURCE_DIR "/tools/mm7-sink/mm7_sink.py", "--host", "127.0.0.1"},
                      "mm7-sink listening",
                      "--save",
                      "save"},
          std::move(args)) {}

}  // namespace e2e
