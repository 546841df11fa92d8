// kmodsim: stands in for the gateway's kernel module on the loopback interface, for the demo
// and the end-to-end tests.  It answers send requests the way the module does (an optional
// timeout indication, then one confirmation with a send confirmation PDU), injects received
// MMS on command, and logs every frame it sees.  See README.md for the command line and the
// control commands.
//
// It is deliberately independent of the daemon's own code: frames are encoded and decoded here
// from the wire layouts, so the simulator also checks the daemon's builders and parser.
//
// kmodsim_frames.cpp builds and reads the datagrams and PDUs, kmodsim_commands.cpp reads the
// control commands; this file holds the socket, the timers, the answers and the main loop.
#include "kmodsim.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>

#include "kmodsim_commands.h"

namespace kmodsim {

FILE* frame_log = stderr;

namespace {

constexpr std::size_t MAX_DATAGRAM = 65536;

const char* const USAGE =
    "Usage: kmodsim [options]\n"
    "Simulates the gateway's kernel module on UDP 127.0.0.1.  Commands are read from stdin,\n"
    "one per line (see README.md); events are printed on stdout, one per line.\n"
    "\n"
    "  --port N          UDP port to bind (default 57445)\n"
    "  --daemon-port N   where unsolicited messages go until the daemon has sent something\n"
    "                    (default 57444)\n"
    "  --log FILE        write the frame log (every datagram with its fields and a hex dump)\n"
    "                    to FILE instead of stderr\n"
    "  --keep DIR        copy each PDU file named in a send request into DIR before confirming\n"
    "  --set KEY=VALUE   initial value of a setting (repeatable); same keys as 'set'\n"
    "  --stay            keep running at the end of stdin (until SIGTERM or SIGINT)\n"
    "  --help            this text\n";

std::string time_stamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char out[32];
    std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, ts.tv_nsec / 1000000);
    return out;
}

void log_datagram(const char* direction, const sockaddr_in& peer, const bytes& data) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    std::fprintf(frame_log, "[%s] %s %zu bytes %s %s:%u\n%s", time_stamp().c_str(), direction,
                 data.size(), direction[0] == '<' ? "from" : "to", address, ntohs(peer.sin_port),
                 hex_dump(data).c_str());
    std::fflush(frame_log);
}

int bind_socket(std::uint16_t port) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::fprintf(stderr, "kmodsim: socket: %s\n", std::strerror(errno));
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "kmodsim: cannot bind 127.0.0.1:%u: %s\n", port, std::strerror(errno));
        close(sock);
        return -1;
    }
    return sock;
}

std::optional<std::uint16_t> port_arg(const char* text) {
    auto v = to_number(text);
    if (!v || *v < 1 || *v > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*v);
}

}  // namespace

void event(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(frame_log, "[%s]   %s\n", time_stamp().c_str(), line.c_str());
    std::fflush(frame_log);
}

void simulator::send_datagram(const bytes& data) {
    log_datagram("->", daemon_, data);
    if (sendto(sock_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&daemon_),
               sizeof daemon_) < 0) {
        event(std::string("error: sendto: ") + std::strerror(errno));
    }
}

void simulator::later(long ms, std::function<void()> action) {
    timers_.emplace(clock_type::now() + std::chrono::milliseconds(ms), std::move(action));
}

int simulator::run_due() {
    while (!timers_.empty()) {
        auto first = timers_.begin();
        const auto now = clock_type::now();
        if (first->first > now) {
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->first - now);
            return static_cast<int>(std::min<long long>(wait.count(), 60000));
        }
        auto action = std::move(first->second);
        timers_.erase(first);
        action();
    }
    return -1;
}

void simulator::receive() {
    bytes data(MAX_DATAGRAM);
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    ssize_t n = recvfrom(sock_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                         &peer_length);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            event(std::string("error: recvfrom: ") + std::strerror(errno));
        }
        return;
    }
    data.resize(static_cast<std::size_t>(n));
    daemon_ = peer;  // answers go to whoever spoke last, as the module does
    log_datagram("<-", peer, data);
    if (data.empty()) {
        event("received empty datagram");
        return;
    }
    std::size_t offset = 0;
    while (data.size() - offset >= 12) {
        const std::uint64_t length = std::uint64_t{get_be32(&data[offset + 8])} + 12;
        if (length > data.size() - offset) {
            break;
        }
        on_frame(&data[offset], static_cast<std::size_t>(length));
        offset += static_cast<std::size_t>(length);
    }
    if (offset != data.size()) {
        event("received " + std::to_string(data.size() - offset) + " trailing bytes");
    }
}

void simulator::on_frame(const std::uint8_t* f, std::size_t length) {
    const std::uint32_t kind = get_be32(f);
    std::string line;
    switch (kind) {
        case KIND_CONNECT_REQ:
            line = "received XGATE_CONNECT_REQ";
            break;
        case KIND_SENDMMS_REQ:
            on_send_request(f, length);
            return;
        case KIND_SENDMMS_RESULT_IND:
            if (length != 48) {
                line = "received malformed MMS_SENDMMS_RESULT_IND length=" + std::to_string(length);
                break;
            }
            line = "received MMS_SENDMMS_RESULT_IND imsi=" + field_text(f + 12, 16) +
                   " word1=" + std::to_string(get_le32(f + 28)) +
                   " word2=" + std::to_string(get_le32(f + 32)) +
                   " result=" + std::to_string(get_le32(f + 36)) +
                   " cause=" + std::to_string(get_le32(f + 40)) +
                   " port=" + std::to_string(get_le32(f + 44));
            break;
        default:
            line = "received kind=" + std::to_string(kind) + " length=" + std::to_string(length);
            break;
    }
    event(line);
}

void simulator::on_send_request(const std::uint8_t* f, std::size_t length) {
    if (length < 40) {
        const std::string line =
            "received malformed MMS_SENDMMS_REQ length=" + std::to_string(length);
        event(line);
        return;
    }
    const std::uint32_t call_id = get_be32(f + 12);
    const std::uint32_t timeout = get_be32(f + 16);
    const std::uint32_t word = get_be32(f + 20);
    const std::uint64_t lr = get_be32(f + 24), ls = get_be32(f + 28), la = get_be32(f + 32),
                        lf = get_be32(f + 36);
    if (40 + lr + ls + la + lf != length || lr == 0 || ls == 0 || f[40 + lr - 1] != 0 ||
        f[40 + lr + ls - 1] != 0) {
        const std::string line =
            "received malformed MMS_SENDMMS_REQ callid=" + std::to_string(call_id) +
            " length=" + std::to_string(length);
        event(line);
        return;
    }
    const char* p = reinterpret_cast<const char*>(f + 40);
    const std::string recipient(p, lr - 1);
    const std::string sender(p + lr, ls - 1);
    const std::string application(p + lr + ls, la);
    const std::string file(p + lr + ls + la, lf);
    const std::string line = "received MMS_SENDMMS_REQ callid=" + std::to_string(call_id) +
                             " timeout=" + std::to_string(timeout) +
                             " word=" + std::to_string(word) + " recipient=" + recipient +
                             " sender=" + sender + " application=" + application + " file=" + file;
    event(line);
    answer(call_id, file);
}

void simulator::keep_copy(const std::string& file) {
    if (!settings_.keep || file.empty()) {
        return;
    }
    const std::filesystem::path target =
        std::filesystem::path(*settings_.keep) / std::filesystem::path(file).filename();
    std::error_code ec;
    std::filesystem::copy_file(file, target, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        event("error: cannot keep " + file + ": " + ec.message());
    } else {
        event("kept " + file + " as " + target.string());
    }
}

bytes simulator::confirmation(std::uint32_t call_id, const settings& s, const std::string& tid,
                              bool& ok) {
    ok = true;
    bytes pdu;
    std::string what;
    if (s.confirm == "sendconf") {
        std::string id = s.message_id ? *s.message_id
                                      : "kmodsim-" + std::to_string(getpid()) + "-" +
                                            std::to_string(++message_counter_);
        pdu = send_conf_pdu(tid, s.response_status, s.response_text, id);
        what = " response_status=" + std::to_string(s.response_status) + " message-id=" + id;
    } else if (s.confirm == "file") {
        auto content = read_file(s.confirm_file);
        if (!content) {
            event("error: cannot read " + s.confirm_file);
            ok = false;
            return {};
        }
        pdu = std::move(*content);
        what = " file=" + s.confirm_file;
    }
    const std::string line = "sent MMS_SENDMMS_CNF callid=" + std::to_string(call_id) +
                             " status=" + std::to_string(s.status) +
                             " cause=" + std::to_string(s.cause) + " imsi=" + s.imsi +
                             " port=" + std::to_string(s.port) +
                             " pdu=" + std::to_string(pdu.size()) + what;
    event(line);
    return send_cnf_frame(call_id, s, pdu);
}

// The module's answer to a send request, with the settings as they are now.
void simulator::answer(std::uint32_t request_call_id, const std::string& file) {
    keep_copy(file);
    settings s = settings_;
    // Three draws for every request, whatever the shares, so a seed gives the same answers.
    std::uniform_int_distribution<int> percent(0, 99);
    const int silent = percent(draws_), indicated = percent(draws_), failed = percent(draws_);
    if (silent < s.silent_pct) {
        s.confirm = "none";
    }
    if (indicated < s.timeout_ind_pct) {
        s.timeout_ind = true;
    }
    if (failed < s.error_pct) {
        s.status = s.error_status;
    }
    const std::uint32_t call_id = request_call_id + s.callid_add;
    const std::string tid = transaction_id_of(file);
    const bool confirm = s.confirm != "none";
    auto send_ind = [this, call_id, s](bytes& out) {
        const std::string line = "sent MMS_SENDMMS_TIMEOUT_IND callid=" + std::to_string(call_id) +
                                 " timeout=" + std::to_string(s.timeout);
        event(line);
        const bytes f = timeout_ind_frame(call_id, s, s.timeout);
        out.insert(out.end(), f.begin(), f.end());
    };
    auto send_cnf = [this, call_id, s, tid](bytes& out) {
        bool ok = false;
        const bytes f = confirmation(call_id, s, tid, ok);
        if (ok) {
            out.insert(out.end(), f.begin(), f.end());
        }
    };
    if (!confirm) {
        event("not confirming callid=" + std::to_string(call_id));
    }
    if (s.timeout_ind && s.combine) {
        later(s.delay_ms, [this, send_ind, send_cnf, confirm] {
            bytes datagram;
            send_ind(datagram);
            if (confirm) {
                send_cnf(datagram);
            }
            send_datagram(datagram);
        });
        return;
    }
    long at = s.delay_ms;
    if (s.timeout_ind) {
        later(at, [this, send_ind] {
            bytes datagram;
            send_ind(datagram);
            send_datagram(datagram);
        });
        at += s.cnf_delay_ms;
    }
    if (confirm) {
        later(at, [this, send_cnf] {
            bytes datagram;
            send_cnf(datagram);
            if (!datagram.empty()) {
                send_datagram(datagram);
            }
        });
    }
}

}  // namespace kmodsim

int main(int argc, char** argv) {
    using namespace kmodsim;
    std::uint16_t port = 57445;
    std::uint16_t daemon_port = 57444;
    settings initial;
    bool stay = false;
    const char* log_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            std::fputs(COMMANDS, stdout);
            return 0;
        } else if (arg == "--stay") {
            stay = true;
        } else if (arg == "--port" && has_value) {
            auto p = port_arg(argv[++i]);
            if (!p) {
                std::fprintf(stderr, "kmodsim: bad port %s\n", argv[i]);
                return 2;
            }
            port = *p;
        } else if (arg == "--daemon-port" && has_value) {
            auto p = port_arg(argv[++i]);
            if (!p) {
                std::fprintf(stderr, "kmodsim: bad port %s\n", argv[i]);
                return 2;
            }
            daemon_port = *p;
        } else if (arg == "--log" && has_value) {
            log_path = argv[++i];
        } else if (arg == "--keep" && has_value) {
            if (auto error = apply_setting(initial, "keep", argv[++i])) {
                std::fprintf(stderr, "kmodsim: %s\n", error->c_str());
                return 2;
            }
        } else if (arg == "--set" && has_value) {
            const std::string_view kv = argv[++i];
            const auto eq = kv.find('=');
            auto error = eq == std::string_view::npos
                             ? std::optional<std::string>("--set needs KEY=VALUE")
                             : apply_setting(initial, kv.substr(0, eq), kv.substr(eq + 1));
            if (error) {
                std::fprintf(stderr, "kmodsim: %s\n", error->c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "kmodsim: unknown or incomplete option %s\n%s", argv[i], USAGE);
            return 2;
        }
    }
    if (log_path != nullptr) {
        frame_log = std::fopen(log_path, "a");
        if (frame_log == nullptr) {
            std::fprintf(stderr, "kmodsim: cannot open %s: %s\n", log_path, std::strerror(errno));
            return 2;
        }
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    const int sock = bind_socket(port);
    if (sock < 0) {
        return 1;
    }
    simulator sim(sock, daemon_port, std::move(initial));
    event("kmodsim ready port=" + std::to_string(port));

    bool stdin_open = true;
    std::string pending;
    for (;;) {
        const int wait_ms = sim.run_due();
        pollfd fds[3] = {{sock, POLLIN, 0}, {signal_fd, POLLIN, 0}, {0, POLLIN, 0}};
        const nfds_t count = stdin_open ? 3 : 2;
        const int ready = poll(fds, count, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            event(std::string("error: poll: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents != 0) {
            event("stopping on signal");
            break;
        }
        if (fds[0].revents & POLLIN) {
            sim.receive();
        }
        if (stdin_open && fds[2].revents != 0) {
            char chunk[4096];
            const ssize_t n = read(0, chunk, sizeof chunk);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                stdin_open = false;
                if (!pending.empty() && !sim.command(pending)) {
                    break;
                }
                if (!stay) {
                    break;
                }
                continue;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            bool go_on = true;
            for (std::size_t nl; go_on && (nl = pending.find('\n')) != std::string::npos;) {
                std::string one = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!one.empty() && one.back() == '\r') {
                    one.pop_back();
                }
                go_on = sim.command(one);
            }
            if (!go_on) {
                break;
            }
        }
    }
    event("kmodsim stopped");
    close(sock);
    if (frame_log != stderr) {
        std::fclose(frame_log);
    }
    return 0;
}
