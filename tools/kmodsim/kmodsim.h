// kmodsim: the simulator's state, its timers and its socket, shared by the command reader and
// the main loop.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kmodsim_frames.h"

namespace kmodsim {

using clock_type = std::chrono::steady_clock;

// Where the frame log goes (stderr unless --log names a file).
extern FILE* frame_log;

// An event line: on stdout for whoever drives the simulator, and in the frame log.
void event(const std::string& line);

class simulator {
  public:
    simulator(int sock, std::uint16_t daemon_port, settings initial)
        : sock_(sock), settings_(std::move(initial)), draws_(settings_.seed) {
        daemon_.sin_family = AF_INET;
        daemon_.sin_port = htons(daemon_port);
        daemon_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    // One command line; false when the simulator is to stop.
    bool command(std::string_view line);
    void receive();
    // Runs what is due; the milliseconds until the next timed action (-1 when none).
    int run_due();

  private:
    void send_datagram(const bytes& data);
    void on_frame(const std::uint8_t* f, std::size_t length);
    void on_send_request(const std::uint8_t* f, std::size_t length);
    void answer(std::uint32_t call_id, const std::string& file);
    bytes confirmation(std::uint32_t call_id, const settings& s, const std::string& tid, bool& ok);
    void keep_copy(const std::string& file);
    void later(long ms, std::function<void()> action);
    bool inject_mmsrcv(const std::vector<std::string>& words);
    void write_pdu(const std::vector<std::string>& words);

    int sock_;
    sockaddr_in daemon_{};
    settings settings_;
    std::mt19937 draws_;  // for the *_pct settings
    unsigned message_counter_ = 0;
    std::multimap<clock_type::time_point, std::function<void()>> timers_;
};

}  // namespace kmodsim
