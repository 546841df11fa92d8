// The link between the main process and its turbo mode workers: loopback TCP to 127.0.0.1:10911,
// integers in host order.  After the hello every message is a kind word and a fixed-size body;
// texts are NUL-terminated and NUL-padded to their width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

inline constexpr std::uint16_t TURBO_MODE_PORT = 10911;
inline constexpr std::uint32_t TURBO_HELLO = 0x91199200;  // | port in the low 8 bits
inline constexpr int TURBO_MAX_PORTS = 64;

inline constexpr std::uint32_t TURBO_SEND_REQUEST = 1;
inline constexpr std::uint32_t TURBO_RECEIVE_REQUEST = 2;
inline constexpr std::uint32_t TURBO_SEND_RESPONSE = 0x80000001;
inline constexpr std::uint32_t TURBO_RECEIVE_RESPONSE = 0x80000002;

// Results carried in responses.
inline constexpr std::uint32_t TURBO_RESULT_OK = 1;
inline constexpr std::uint32_t TURBO_RESULT_TIMEOUT = 4;
inline constexpr std::uint32_t TURBO_RESULT_LOCAL_ERROR = 9;
inline constexpr std::uint32_t TURBO_RESULT_MMSC_ERROR = 10;

struct turbo_send_request {
    std::uint32_t id;
    char sender[32];
    char path[256];
};
struct turbo_receive_request {
    std::uint32_t id;
    char transaction_id[256];
    char path[256];
    char url[512];
};
struct turbo_send_response {
    std::uint32_t id;
    std::uint32_t result;
    std::uint32_t cause;
    char imsi[32];
    std::uint32_t length;  // bytes of the MMSC's answer in data; 0 when data holds an error text
    std::uint8_t data[1024];
};
struct turbo_receive_response {
    std::uint32_t id;
    std::uint32_t result;
    char imsi[32];
    char path[256];
};
static_assert(sizeof(turbo_send_request) == 292);
static_assert(sizeof(turbo_receive_request) == 1028);
static_assert(sizeof(turbo_send_response) == 1072);
static_assert(sizeof(turbo_receive_response) == 296);

// Body size of a message kind; 0 for a kind the link does not know.
inline std::size_t turbo_body_size(std::uint32_t kind) {
    switch (kind) {
        case TURBO_SEND_REQUEST:
            return sizeof(turbo_send_request);
        case TURBO_RECEIVE_REQUEST:
            return sizeof(turbo_receive_request);
        case TURBO_SEND_RESPONSE:
            return sizeof(turbo_send_response);
        case TURBO_RECEIVE_RESPONSE:
            return sizeof(turbo_receive_response);
        default:
            return 0;
    }
}

// Copies text into a fixed field: at most N - 1 characters, the rest zero.
template <std::size_t N>
void turbo_set_text(char (&field)[N], std::string_view text) {
    std::memset(field, 0, N);
    if (!text.empty()) {
        std::memcpy(field, text.data(), std::min(text.size(), N - 1));
    }
}
// A fixed field as text: up to its first zero, never past its width.
template <std::size_t N>
std::string_view turbo_text(const char (&field)[N]) {
    return {field, strnlen(field, N)};
}

// One end of a link: bytes received but not yet a whole message, and bytes not yet written.
// Both ends use it, so that a message split by TCP is never taken for a broken link and a full
// socket buffer never loses a message.
struct turbo_link {
    int fd = -1;
    std::string input;
    std::string output;

    // Reads what the socket holds; false when the peer has gone or the read failed.
    bool fill();
    // The next whole message, if one is complete: kind and body.  A kind that is not one of
    // `accepted` sets `bad_kind` and leaves the input as it was.
    bool next(std::uint32_t& kind, std::string& body, bool& bad_kind, std::uint32_t accept_a,
              std::uint32_t accept_b);
    // Queues a message and writes as much as the socket takes.  False when the link is broken.
    bool send(std::uint32_t kind, const void* body, std::size_t size);
    // Writes queued bytes; false when the link is broken.
    bool flush();
};
