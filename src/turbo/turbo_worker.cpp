#include "turbo/turbo_worker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "turbo/turbo_session.h"

namespace {

int worker_port = 0;
turbo_link parent_link;
std::array<std::list<std::unique_ptr<turbo_session>>, 3> sessions;
std::uint64_t last_send_start_ms = 0;

std::list<std::unique_ptr<turbo_session>>& list_of(session_type type) {
    return sessions[static_cast<std::size_t>(type)];
}

void update_parent_flags() {
    mainloop_set_fd_flags(parent_link.fd,
                          MAINLOOP_IN | (parent_link.output.empty() ? 0 : MAINLOOP_OUT));
}

int handle_parent_socket(int flags, server_config& config) {
    if ((flags & MAINLOOP_OUT) && !parent_link.flush()) {
        log_info("%s %d: parent connection died, exiting", "handle_parent_socket", worker_port);
        return 1;
    }
    if (!(flags & (MAINLOOP_IN | MAINLOOP_ERR))) {
        update_parent_flags();
        return 0;
    }
    bool alive = parent_link.fill();
    for (;;) {
        std::uint32_t kind = 0;
        std::string body;
        bool bad_kind = false;
        if (parent_link.next(kind, body, bad_kind, TURBO_SEND_REQUEST, TURBO_RECEIVE_REQUEST)) {
            if (kind == TURBO_SEND_REQUEST) {
                turbo_send_request request;
                std::memcpy(&request, body.data(), sizeof request);
                handle_send_message_request(request, config);
            } else {
                turbo_receive_request request;
                std::memcpy(&request, body.data(), sizeof request);
                handle_receive_message_request(request, config);
            }
            continue;
        }
        if (!bad_kind) {
            break;
        }
        log_error("%s %d: unknown request 0x%X received", "handle_parent_socket", worker_port,
                  kind);
        parent_link.input.erase(0, 4);
    }
    if (!alive) {
        if (!parent_link.input.empty()) {
            std::size_t have = parent_link.input.size();
            std::uint32_t kind = 0;
            std::memcpy(&kind, parent_link.input.data(), std::min<std::size_t>(have, 4));
            log_error("%s %d: Incorrect request size received %d instead of %d",
                      "handle_parent_socket", worker_port,
                      static_cast<int>(have < 4 ? have : have - 4),
                      static_cast<int>(have < 4 ? 4 : turbo_body_size(kind)));
        }
        log_info("%s %d: parent connection died, exiting", "handle_parent_socket", worker_port);
        return 1;
    }
    update_parent_flags();
    return 0;
}

// Every session has the time-out from its start, and a queued one from its arrival: a send
// that waits behind others in the pacing queue ends unsent once it has waited that long, so the
// main process, which allows a send twice the time-out, always hears how it ended.
int worker_tick() {
    std::uint64_t now = monotonic_ms();
    for (auto type : {session_type::send, session_type::receive, session_type::confirm}) {
        auto& list = list_of(type);
        for (auto it = list.begin(); it != list.end();) {
            turbo_session& session = **it++;  // closing it takes it out of the list
            std::int64_t timeout_ms = std::int64_t{session.config->turbo_mode_timeout} * 1000;
            if (static_cast<std::int64_t>(session.start_ms) + timeout_ms <
                static_cast<std::int64_t>(now)) {
                close_session(session, TURBO_RESULT_TIMEOUT, "Request timeout");
            }
        }
    }
    schedule_send_sessions();
    return 0;
}

void connect_to_parent(int port, pid_t parent) {
    parent_link.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (parent_link.fd < 0) {
        log_error("Cannot create turbo mode client socket.");
        log_flush();
        _exit(1);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(TURBO_MODE_PORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        usleep(500000);
        if (getppid() != parent) {
            log_flush();
            _exit(0);  // the main process has gone before we could connect
        }
        int n = connect(parent_link.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (n == 0) {
            break;
        }
        log_error("%s %d: Cannot connect to parent. n=%d errno=%d.", "turbo_mode_worker", port, n,
                  errno);
    }
    log_printf("%s %d: Connected to parent, fd=%d.", "turbo_mode_worker", port, parent_link.fd);
    fcntl(parent_link.fd, F_SETFL, fcntl(parent_link.fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

std::uint64_t monotonic_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void send_to_parent(std::uint32_t kind, const void* body, std::size_t size) {
    if (!parent_link.send(kind, body, size)) {
        log_warning("%s %d: cannot write to parent, errno=%d", "send_to_parent", worker_port,
                    errno);
        return;  // the read side notices the broken link
    }
    if (!parent_link.output.empty()) {
        update_parent_flags();
    }
}

turbo_session& add_session(std::unique_ptr<turbo_session> session) {
    turbo_session& s = *session;
    log_printf("%s: type=%d id=%d", "add_session", static_cast<int>(s.type),
               static_cast<int>(s.id()));
    s.log_lines = std::make_shared<log_budget>(
        concat({"MMSC transaction type=", std::to_string(static_cast<int>(s.type)),
                " id=", std::to_string(s.id())}));
    list_of(s.type).push_back(std::move(session));
    return s;
}

void start_session(turbo_session& session) {
    session.state = session_state::running;
    session.start_ms = monotonic_ms();
    if (session.type == session_type::send) {
        last_send_start_ms = session.start_ms;
    }
    curl_glue_add(session);
}

void schedule_send_sessions() {
    auto& list = list_of(session_type::send);
    std::uint64_t now = monotonic_ms();
    const server_config* config = list.empty() ? nullptr : list.front()->config;
    if (config == nullptr) {
        return;
    }
    std::int32_t delay = config->turbo_mode_ms_delay;
    std::int32_t capacity = config->turbo_mode_capacity;
    if (delay >= 0) {
        if (now < last_send_start_ms + static_cast<std::uint64_t>(delay)) {
            return;
        }
        for (auto& session : list) {
            if (session->state == session_state::queued) {
                start_session(*session);
                return;
            }
        }
        return;
    }
    std::uint64_t hold = static_cast<std::uint64_t>(-static_cast<std::int64_t>(delay));
    bool release = false;
    std::int32_t counted = 0;
    for (auto& session : list) {
        if (session->state != session_state::queued) {
            continue;
        }
        ++counted;
        if (now - session->start_ms > hold || counted >= capacity) {
            release = true;
            break;
        }
    }
    if (!release || capacity < 1) {
        return;
    }
    std::int32_t started = 0;
    for (auto& session : list) {
        if (started >= capacity) {
            break;
        }
        if (session->state == session_state::queued) {
            start_session(*session);
            ++started;
        }
    }
}

void close_session(turbo_session& session, std::uint32_t result, const char* text) {
    // A transaction that failed is a warning; one that succeeded is told by the main process.
    // One per exchange: never suppressed.
    {
        const log_scope outcome_line(nullptr);
        log_at(result == TURBO_RESULT_OK ? log_level::debug : log_level::warning,
               "%s: id=%d, type=%d, result=%d, str='%s'", "close_session",
               static_cast<int>(session.id()), static_cast<int>(session.type),
               static_cast<int>(result), text != nullptr ? text : "");
    }
    // Take the session out of its list; this frame owns it from here on.
    std::unique_ptr<turbo_session> owned;
    auto& list = list_of(session.type);
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->get() == &session) {
            owned = std::move(*it);
            list.erase(it);
            break;
        }
    }
    if (session.file != nullptr) {
        std::fclose(session.file);
        session.file = nullptr;
    }
    curl_glue_remove(session);
    switch (session.type) {
        case session_type::receive: {
            const turbo_receive_request& request = session.receive_request();
            if (result == TURBO_RESULT_OK && !turbo_text(request.transaction_id).empty()) {
                send_retrieve_confirmation(session);
            }
            if (result != TURBO_RESULT_OK && session.stored_path[0] != '\0') {
                // A failed fetch leaves nothing behind that could pass for a message.
                std::remove(session.stored_path);
            }
            turbo_receive_response response{};
            response.id = session.id();
            response.result = result;
            turbo_set_text(response.imsi, turbo_text(session.imsi));
            turbo_set_text(response.path, turbo_text(session.stored_path));
            send_to_parent(TURBO_RECEIVE_RESPONSE, &response, sizeof response);
            break;
        }
        case session_type::confirm:
            session.confirm_pdu.clear();
            break;
        case session_type::send: {
            turbo_send_response response{};
            response.id = session.id();
            response.result = result;
            response.cause = 0;
            turbo_set_text(response.imsi, turbo_text(session.imsi));
            if (session.state == session_state::finished) {
                response.length =
                    std::min<std::uint32_t>(session.response_length, sizeof response.data);
                std::memcpy(response.data, session.response, response.length);
            } else {
                turbo_set_text(reinterpret_cast<char(&)[sizeof response.data]>(response.data),
                               text != nullptr ? text : "");
                response.length = 0;
            }
            if (session.mapped) {
                munmap(const_cast<std::uint8_t*>(session.mm1_data), session.mm1_size);
                session.mapped = false;
            }
            // Gone before the answer leaves, so that whoever reads the answer finds it gone.
            std::string path(turbo_text(session.send_request().path));
            std::remove(path.c_str());
            send_to_parent(TURBO_SEND_RESPONSE, &response, sizeof response);
            break;
        }
    }
    if (session.easy != nullptr) {
        curl_easy_cleanup(session.easy);
        session.easy = nullptr;
    }
    curl_slist_free_all(session.headers);
    session.headers = nullptr;
}

void turbo_mode_worker(server_config& config) {
    pid_t parent = getppid();
    worker_port = config.worker_index;
    (void)!setgid(static_cast<gid_t>(100 + worker_port));
    log_info("%s: starting for port %d", "turbo_mode_worker", worker_port);
    curl_glue_init(transfer_completed);
    connect_to_parent(worker_port, parent);
    std::uint32_t hello = TURBO_HELLO | static_cast<std::uint32_t>(worker_port);
    parent_link.output.append(reinterpret_cast<const char*>(&hello), 4);
    parent_link.flush();
    mainloop_register_fd(parent_link.fd, MAINLOOP_IN,
                         [&config](int, int flags) { return handle_parent_socket(flags, config); });
    update_parent_flags();
    mainloop_add_tick(worker_tick);
    mainloop_run(100);
}
