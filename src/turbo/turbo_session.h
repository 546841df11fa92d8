// The worker's sessions (one HTTP transaction with the MMSC each) and the libcurl glue that
// runs their transfers on the worker's event loop.
#pragma once

#include <curl/curl.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "turbo/turbo_protocol.h"

struct server_config;

enum class session_type : std::uint32_t { send = 0, receive = 1, confirm = 2 };
enum class session_state : std::uint32_t { fresh = 0, queued = 10, running = 20, finished = 100 };

struct turbo_session {
    server_config* config = nullptr;
    session_type type = session_type::send;
    session_state state = session_state::fresh;
    std::uint64_t start_ms = 0;  // creation, then the start of the transfer
    char imsi[32] = {};
    // The request body as received (send or receive); zero for a retrieve confirmation.
    std::array<std::uint8_t, sizeof(turbo_receive_request)> request{};
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    const std::uint8_t* mm1_data = nullptr;  // the body to post
    std::uint64_t mm1_size = 0;
    bool mapped = false;                    // mm1_data is the mapped MM1 file
    std::vector<std::uint8_t> confirm_pdu;  // retrieve confirmation: owns mm1_data
    FILE* file = nullptr;                   // receive: the fetched PDU goes here
    std::uint64_t file_size = 0;
    char stored_path[256] = {};
    std::uint32_t response_length = 0;
    std::uint8_t response[4096];
    bool in_multi = false;
    char curl_error[CURL_ERROR_SIZE] = {};  // libcurl's own words for a failed transfer
    bool loopback_allowed = false;  // receive: its connections may go to this machine's loopback
    // The lines of this exchange with the MMSC, however much the MMSC sends.
    std::shared_ptr<log_budget> log_lines;

    std::uint32_t id() const {
        std::uint32_t id;
        std::memcpy(&id, request.data(), 4);
        return id;
    }
    const turbo_send_request& send_request() const {
        return *reinterpret_cast<const turbo_send_request*>(request.data());
    }
    const turbo_receive_request& receive_request() const {
        return *reinterpret_cast<const turbo_receive_request*>(request.data());
    }
};

// A fetched message larger than this is refused (an MMSC reply that never ends).
inline constexpr std::uint64_t MAX_FETCHED_SIZE = 64u << 20;

// ---- sessions (turbo_worker.cpp) ----
std::uint64_t monotonic_ms();
turbo_session& add_session(std::unique_ptr<turbo_session> session);
void close_session(turbo_session& session, std::uint32_t result, const char* text);
void schedule_send_sessions();
void start_session(turbo_session& session);
// The worker's link to the main process.
void send_to_parent(std::uint32_t kind, const void* body, std::size_t size);

// ---- MMSC transactions (turbo_mmsc.cpp) ----
using transfer_done_fn = void (*)(CURL* easy, turbo_session* session, CURLcode result);
void curl_glue_init(transfer_done_fn transfer_done);
// Adds a built transfer to the multi handle and lets it begin.
void curl_glue_add(turbo_session& session);
void curl_glue_remove(turbo_session& session);
void transfer_completed(CURL* easy, turbo_session* session, CURLcode result);
void handle_send_message_request(const turbo_send_request& request, server_config& config);
void handle_receive_message_request(const turbo_receive_request& request, server_config& config);
void send_retrieve_confirmation(const turbo_session& receive_session);
void set_curl_proxy(CURL* easy, const char* proxy);
