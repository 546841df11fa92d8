// Stand-ins for the operator's side of turbo mode, on loopback: the MMSC (tools/mmsc_stub) and
// an HTTP proxy that supports CONNECT (tinyproxy).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/daemon_harness.h"

namespace turbo_test {

// Starts a stand-in with its output going to dir/out.txt.
inline std::unique_ptr<e2e::child_process> start(std::vector<std::string> argv,
                                                 const std::filesystem::path& dir) {
    int out = open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto child = std::make_unique<e2e::child_process>(
        e2e::child_process::launch{std::move(argv), {}, -1, out, out});
    close(out);
    return child;
}

// One request as the MMSC stand-in recorded it.
struct mmsc_request {
    int seq = 0;
    double t_ms = 0;  // the stand-in's clock
    std::string method, path, head, body;
};

class mmsc_standin {
  public:
    explicit mmsc_standin(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"/usr/bin/env", "python3",
                                         MM7_SOURCE_DIR "/tools/mmsc_stub/mmsc_stub.py", "--record",
                                         dir_.path().string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = start(argv, dir_.path());
        ready_ = e2e::wait_until([&] { return output().find("ready") != std::string::npos; });
    }
    ~mmsc_standin() { child_->stop(); }
    bool ready() const { return ready_; }
    std::string output() const { return e2e::read_file(dir_.path() / "out.txt"); }
    std::vector<mmsc_request> requests() const {
        std::vector<mmsc_request> out;
        std::istringstream lines(output());
        for (std::string line; std::getline(lines, line);) {
            mmsc_request r;
            char method[16], path[1024];
            if (std::sscanf(line.c_str(), "request seq=%d t_ms=%lf method=%15s path=%1023s", &r.seq,
                            &r.t_ms, method, path) == 4) {
                r.method = method;
                r.path = path;
                auto base = dir_.path() / ("req-" + std::to_string(r.seq));
                r.head = e2e::read_file(base.string() + ".hdr");
                r.body = e2e::read_file(base.string() + ".bin");
                out.push_back(r);
            }
        }
        return out;
    }
    const std::filesystem::path& dir() const { return dir_.path(); }

  private:
    e2e::temp_dir dir_{"mmsc"};
    std::unique_ptr<e2e::child_process> child_;
    bool ready_ = false;
};

// tinyproxy on 127.0.0.1:8899; available() is false when it is not installed.
class proxy_standin {
  public:
    proxy_standin() {
        if (std::system("command -v tinyproxy >/dev/null 2>&1") != 0) {
            return;
        }
        std::ofstream(dir_.path() / "conf")
            << "Port 8899\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nAllow 127.0.0.1\nLogFile \""
            << (dir_.path() / "log").string() << "\"\n";
        child_ = start({"/usr/bin/env", "tinyproxy", "-d", "-c", (dir_.path() / "conf").string()},
                       dir_.path());
        e2e::wait_until([&] { return log().find("istening") != std::string::npos; });
    }
    ~proxy_standin() {
        if (child_) {
            child_->stop();
        }
    }
    bool available() const { return child_ != nullptr; }
    std::string log() const { return e2e::read_file(dir_.path() / "log"); }

  private:
    e2e::temp_dir dir_{"proxy"};
    std::unique_ptr<e2e::child_process> child_;
};

}  // namespace turbo_test
