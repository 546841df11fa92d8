// The worker's HTTP side: MM1 transactions with the MMSC through libcurl's multi-socket
// interface, driven by the worker's event loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "turbo/turbo_session.h"
#include "turbo/turbo_settings.h"

namespace {

CURLM* curl_multi = nullptr;
transfer_done_fn transfer_done = nullptr;
bool in_glue = false;  // inside a multi call: a new transfer waits for the next pass

// A fetch's location comes from the network: refusals are the network's to provoke.
log_limiter refusal_log(10, 5);

void* const SOCKET_MARKER = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xdeadbeef));

constexpr const char* ACCEPT =
    "Accept: */*, application/vnd.wap.mms-message, application/vnd.wap.sic";
constexpr const char* ACCEPT_FOLDED =
    "Accept: */*, application/vnd.wap.mms-message,\r\n application/vnd.wap.sic";
constexpr const char* PROFILE = "x-wap-profile: http://uaprof.handset.example/mms/profile-1.xml";
constexpr const char* MMS_CONTENT_TYPE = "Content-Type: application/vnd.wap.mms-message";
constexpr const char* USER_AGENT = "User-Agent: Android-Mms/0.1";

void drain() {
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(curl_multi, &pending)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = message->easy_handle;
        CURLcode result = message->data.result;
        char* session = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &session);
        transfer_done(easy, reinterpret_cast<turbo_session*>(session), result);
    }
}

void socket_action(curl_socket_t fd, int flags) {
    int running = 0;
    in_glue = true;
    curl_multi_socket_action(curl_multi, fd, flags, &running);
    in_glue = false;
    drain();
}

int socket_handler(int fd, int flags) {
    socket_action(fd, flags);
    return 0;
}

int socket_callback(CURL* easy, curl_socket_t fd, int what, void*, void* socketp) {
    if (what == CURL_POLL_REMOVE) {
        mainloop_unregister_fd(fd);
        return 0;
    }
    int flags = MAINLOOP_ERR;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) {
        flags |= MAINLOOP_IN;
    }
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) {
        flags |= MAINLOOP_OUT;
    }
    if (socketp == nullptr) {
        curl_multi_assign(curl_multi, fd, SOCKET_MARKER);
        mainloop_register_fd(fd, flags, socket_handler);
    } else {
        mainloop_set_fd_flags(fd, flags);
    }
    char* session = nullptr;  // whose transfer the connection carries now
    if (curl_easy_getinfo(easy, CURLINFO_PRIVATE, &session) == CURLE_OK && session != nullptr) {
        mainloop_limit_lines(fd, reinterpret_cast<turbo_session*>(session)->log_lines);
    }
    return 0;
}

// libcurl's own time-outs are served by the per-pass action below.
int timer_callback(CURLM*, long, void*) {
    return 0;
}

int glue_tick() {
    socket_action(CURL_SOCKET_TIMEOUT, 0);
    return 0;
}

std::size_t collect_response(char* data, std::size_t size, std::size_t count, void* user) {
    auto* session = static_cast<turbo_session*>(user);
    std::size_t n = size * count;
    std::size_t room = sizeof session->response - session->response_length;
    std::size_t take = std::min(n, room);
    std::memcpy(session->response + session->response_length, data, take);
    session->response_length += static_cast<std::uint32_t>(take);
    return n;
}

std::size_t discard_response(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

std::size_t store_fetched(char* data, std::size_t size, std::size_t count, void* user) {
    auto* session = static_cast<turbo_session*>(user);
    std::size_t n = size * count;
    session->file_size += n;
    if (session->file_size > MAX_FETCHED_SIZE) {
        log_warning("%s: fetched message exceeds %llu bytes", "store_fetched",
                    static_cast<unsigned long long>(MAX_FETCHED_SIZE));
        return 0;  // ends the transfer with a write error
    }
    return std::fwrite(data, 1, n, session->file);
}

void log_settings(const char* who, const mm7_settings& settings) {
    log_printf("%s got mms configuration: '%s', '%s', '%s'", who, settings.imsi, settings.mmsc_url,
               settings.mms_proxy);
}

// True for a host name or address that reaches this machine itself.
bool host_is_loopback(std::string_view host) {
    std::string name(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (name.ends_with('.')) {
        name.pop_back();
    }
    if (name == "localhost" || name.ends_with(".localhost")) {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1) {
        std::uint32_t a = ntohl(v4.s_addr);
        return (a >> 24) == 127 || a == 0;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&v6) &&
               (v6.s6_addr[12] == 127 || (v6.s6_addr[12] == 0 && v6.s6_addr[13] == 0 &&
                                          v6.s6_addr[14] == 0 && v6.s6_addr[15] == 0));
    }
    return false;
}

// The scheme and host (empty when there is none) of a URL, in lower case; false when it is no
// URL with a scheme.
bool url_scheme_and_host(const char* url, std::string& scheme, std::string& host) {
    CURLU* parsed = curl_url();
    if (parsed == nullptr) {
        return false;
    }
    char* part_scheme = nullptr;
    char* part_host = nullptr;
    bool ok = curl_url_set(parsed, CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
              curl_url_get(parsed, CURLUPART_SCHEME, &part_scheme, 0) == CURLUE_OK;
    if (ok) {
        scheme = part_scheme;
        host = curl_url_get(parsed, CURLUPART_HOST, &part_host, 0) == CURLUE_OK ? part_host : "";
        for (std::string* text : {&scheme, &host}) {
            for (char& c : *text) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
    }
    curl_free(part_scheme);
    curl_free(part_host);
    curl_url_cleanup(parsed);
    return ok;
}

// Whether a (non-loopback) address is one of this machine's own: a service listening on every
// address is reached through any of them.
bool is_own_address(const sockaddr* address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool own = false;
    for (const ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != address->sa_family) {
            continue;
        }
        if (address->sa_family == AF_INET) {
            own = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr ==
                  reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
        } else {
            own = IN6_ARE_ADDR_EQUAL(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr,
                                     &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
        }
    }
    freeifaddrs(list);
    return own;
}

// Why a fetch must not connect to an address, "" when it may: never to this machine (its
// loopback only in a lab, where the MMSC is there too), an unspecified, link-local or multicast
// address.  Private ranges are where operators' MMSCs live: they stay allowed.
std::string address_refusal(const sockaddr* address, bool loopback_allowed) {
    std::uint32_t v4 = 0;
    bool is_v4 = address->sa_family == AF_INET;
    if (is_v4) {
        v4 = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    } else if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            is_v4 = true;
            v4 = (std::uint32_t{v6.s6_addr[12]} << 24) | (std::uint32_t{v6.s6_addr[13]} << 16) |
                 (std::uint32_t{v6.s6_addr[14]} << 8) | v6.s6_addr[15];
        } else if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return loopback_allowed ? "" : "this machine";
        } else if (IN6_IS_ADDR_UNSPECIFIED(&v6)) {
            return "unspecified";
        } else if (IN6_IS_ADDR_LINKLOCAL(&v6)) {
            return "link-local";
        } else if (IN6_IS_ADDR_MULTICAST(&v6)) {
            return "multicast";
        }
    } else {
        return "not an internet address";
    }
    if (is_v4) {
        if ((v4 >> 24) == 127) {
            return loopback_allowed ? "" : "this machine";
        }
        if ((v4 >> 24) == 0) {
            return "in 0.0.0.0/8";
        }
        if ((v4 >> 16) == 0xA9FE) {
            return "link-local";
        }
        if ((v4 >> 28) == 0xE) {
            return "multicast";
        }
        sockaddr_in plain{};
        plain.sin_family = AF_INET;
        plain.sin_addr.s_addr = htonl(v4);
        return is_own_address(reinterpret_cast<const sockaddr*>(&plain))
                   ? "an address of this machine"
                   : "";
    }
    return is_own_address(address) ? "an address of this machine" : "";
}

bool url_on_loopback(const char* url) {
    std::string scheme;
    std::string host;
    return url_scheme_and_host(url, scheme, host) && host_is_loopback(host);
}

// Why a notification's location is not fetched; "" when it may be.  The location comes from
// the mobile network: only HTTP(S), and never this machine unless the MMSC is on it as well (a
// lab set-up).
std::string fetch_refusal(const char* url, bool loopback_allowed) {
    std::string scheme;
    std::string host;
    if (!url_scheme_and_host(url, scheme, host)) {
        return "not a URL";
    }
    if (scheme != "http" && scheme != "https") {
        return "scheme " + scheme + " is not HTTP";
    }
    if (!loopback_allowed && host_is_loopback(host)) {
        return "host " + host + " is this machine";
    }
    // An address written in the URL is judged before any connection (a proxy would make it).
    std::string literal =
        host.size() >= 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    sockaddr_in6 address{};
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    if (inet_pton(AF_INET, literal.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, literal.c_str(), &address.sin6_addr) == 1) {
        address.sin6_family = AF_INET6;
    } else {
        return "";
    }
    std::string why =
        address_refusal(reinterpret_cast<const sockaddr*>(&address), loopback_allowed);
    return why.empty() ? "" : "host " + host + " is " + why;
}

// Refuses a connection of a fetch that the address it goes to forbids, whatever name or
// redirect led there.
curl_socket_t open_fetch_socket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* session = static_cast<turbo_session*>(user);
    char text[INET6_ADDRSTRLEN] = {};
    if (address->family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&address->addr);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (address->family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address->addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
    const std::string why = text[0] == '\0'
                                ? "this machine"
                                : address_refusal(&address->addr, session->loopback_allowed);
    if (why == "this machine") {
        refusal_log.printf("%s: id=%d, refusing to connect to %s", "open_fetch_socket",
                           static_cast<int>(session->id()), text[0] != '\0' ? text : "(unknown)");
        return CURL_SOCKET_BAD;
    }
    if (!why.empty()) {
        refusal_log.printf("%s: id=%d, refusing to connect to %s: %s", "open_fetch_socket",
                           static_cast<int>(session->id()), text, why.c_str());
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Numbers from the network or a VASP go into a header only without control characters.
bool header_safe(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Builds the header list of a transfer, in order.
curl_slist* build_headers(bool folded_accept, bool with_content_type, std::string_view imsi,
                          std::string_view line1) {
    curl_slist* list = nullptr;
    auto append = [&](const char* header) {
        if (curl_slist* appended = curl_slist_append(list, header)) {
            list = appended;
        }
    };
    append(folded_accept ? ACCEPT_FOLDED : ACCEPT);
    append(PROFILE);
    if (with_content_type) {
        append(MMS_CONTENT_TYPE);
    }
    if (!line1.empty() && header_safe(line1)) {
        list = append_carrier_headers(list, imsi, line1);
    }
    append(USER_AGENT);
    append("Expect:");
    return list;
}

// The options every transfer shares, in order; the transaction's write options are set by
// the caller through `write_options`.
template <class F>
void common_options(turbo_session& session, const char* url, long max_age,
                    const mm7_settings& settings, bool post, F&& write_options) {
    CURL* easy = session.easy;
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, max_age);
    // An https MMSC must prove who it is (its certificate chains to a trusted CA and names the
    // URL's host), unless the operator has said it cannot.
    const server_config& config = *session.config;
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, config.mmsc_insecure ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, config.mmsc_insecure ? 0L : 2L);
    if (!config.mmsc_insecure && !config.mmsc_ca_file.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, config.mmsc_ca_file.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, session.curl_error);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "identity");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    // Only HTTP(S), redirects included: a URL may come from the network.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // A post moved by 301 or 302 stays a post (turned into a GET it would lose the message), as
    // it does on 307 and 308; a 303 "See Other" asks for a GET.
    curl_easy_setopt(easy, CURLOPT_POSTREDIR,
                     static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
    curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    if (settings.mms_proxy[0] != '\0') {
        set_curl_proxy(easy, settings.mms_proxy);
    }
    if (post) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(session.mm1_size));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, session.mm1_data);
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, session.headers);
    write_options(easy);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &session);
}

std::unique_ptr<turbo_session> new_session(session_type type, server_config& config,
                                           const mm7_settings& settings) {
    auto session = std::make_unique<turbo_session>();
    session->config = &config;
    session->type = type;
    session->start_ms = monotonic_ms();
    turbo_set_text(session->imsi, turbo_text(settings.imsi));
    return session;
}

}  // namespace

void curl_glue_init(transfer_done_fn done) {
    transfer_done = done;
    curl_global_init(CURL_GLOBAL_ALL);
    curl_multi = curl_multi_init();
    curl_multi_setopt(curl_multi, CURLMOPT_SOCKETFUNCTION, socket_callback);
    curl_multi_setopt(curl_multi, CURLMOPT_TIMERFUNCTION, timer_callback);
    mainloop_add_tick(glue_tick);
}

void curl_glue_add(turbo_session& session) {
    if (session.easy == nullptr) {
        return;
    }
    curl_multi_add_handle(curl_multi, session.easy);
    session.in_multi = true;
    if (!in_glue) {
        socket_action(CURL_SOCKET_TIMEOUT, 0);  // begin now rather than on the next pass
    }
}

void curl_glue_remove(turbo_session& session) {
    if (session.in_multi) {
        curl_multi_remove_handle(curl_multi, session.easy);
        session.in_multi = false;
    }
}

void transfer_completed(CURL* easy, turbo_session* session, CURLcode result) {
    if (session == nullptr) {
        return;
    }
    if (result != CURLE_OK) {
        log_warning("%s: id=%d, curl error %d (%s)", "transfer_completed",
                    static_cast<int>(session->id()), static_cast<int>(result),
                    // libcurl's text may name what the MMSC or the notification gave.
                    log_escape(session->curl_error[0] != '\0' ? session->curl_error
                                                              : curl_easy_strerror(result))
                        .c_str());
        close_session(*session, TURBO_RESULT_MMSC_ERROR, "MMSC connection failed");
        return;
    }
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    if (code == 200) {
        session->state = session_state::finished;
        close_session(*session, TURBO_RESULT_OK, "");
    } else {
        log_warning("%s: id=%d, HTTP status %ld", "transfer_completed",
                    static_cast<int>(session->id()), code);
        close_session(*session, TURBO_RESULT_MMSC_ERROR, "Non-200 response from MMSC");
    }
}

void set_curl_proxy(CURL* easy, const char* proxy) {
    log_printf("%s: setting proxy '%s'", "set_curl_proxy", proxy);
    std::string_view text(proxy);
    bool tunnel = text.starts_with("connect://");
    if (tunnel) {
        text.remove_prefix(10);
    }
    std::string host(text);
    CURLcode rc = curl_easy_setopt(easy, CURLOPT_PROXY, host.c_str());
    if (rc != CURLE_OK) {
        log_warning("%s: cannot set proxy, error %d", "set_curl_proxy", static_cast<int>(rc));
    }
    if (host.find(':') == std::string::npos) {
        rc = curl_easy_setopt(easy, CURLOPT_PROXYPORT, 80L);
        if (rc != CURLE_OK) {
            log_warning("%s: cannot set proxy port, error %d", "set_curl_proxy",
                        static_cast<int>(rc));
        }
    }
    if (tunnel) {
        rc = curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (rc != CURLE_OK) {
            log_warning("%s: cannot set proxy tunnel mode, error %d", "set_curl_proxy",
                        static_cast<int>(rc));
        }
    }
}

void handle_send_message_request(const turbo_send_request& request, server_config& config) {
    const char* who = "handle_send_message_request";
    std::string path(turbo_text(request.path));
    log_printf("%s enter, id=%d, path='%s'", who, static_cast<int>(request.id), path.c_str());
    mm7_settings settings;
    const std::string refused = load_port_settings(config.worker_index, settings, who);
    log_settings(who, settings);
    auto fresh = new_session(session_type::send, config, settings);
    std::memcpy(fresh->request.data(), &request, sizeof request);
    turbo_session& session = add_session(std::move(fresh));
    if (!refused.empty()) {  // nowhere to send it
        const std::string text = std::string(TURBO_SETTINGS_REFUSED) +
                                 port_settings_path(config.worker_index) + ": " + refused;
        close_session(session, TURBO_RESULT_LOCAL_ERROR, text.c_str());
        return;
    }

    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        log_error("%s: stat failed on mm1 file %s, errno=%d", who, path.c_str(), errno);
        close_session(session, TURBO_RESULT_LOCAL_ERROR, "Cannot stat MM1 file");
        return;
    }
    session.mm1_size = static_cast<std::uint64_t>(st.st_size);
    log_printf("%s: mm1 size is %d", who, static_cast<int>(session.mm1_size));
    int fd = open(path.c_str(), O_RDONLY);
    void* map = MAP_FAILED;
    if (fd >= 0 && session.mm1_size > 0) {
        map = mmap(nullptr, session.mm1_size, PROT_READ, MAP_PRIVATE, fd, 0);
    }
    int saved = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (map == MAP_FAILED) {
        log_error("%s: cannot mmap mm1 file, stat_size=%d, errno=%d", who,
                  static_cast<int>(session.mm1_size), saved);
        close_session(session, TURBO_RESULT_LOCAL_ERROR, "Cannot read MM1 file");
        return;
    }
    session.mm1_data = static_cast<const std::uint8_t*>(map);
    session.mapped = true;

    std::string_view sender = turbo_text(request.sender);
    std::string_view imsi = turbo_text(settings.imsi);
    std::string_view line1 = !sender.empty() ? sender : turbo_text(settings.msisdn);
    session.easy = curl_easy_init();
    session.headers =
        build_headers(!sender.empty() && imsi.starts_with("31148"), true, imsi, line1);
    common_options(session, settings.mmsc_url, 10L, settings, true, [&](CURL* easy) {
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect_response);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &session);
    });
    session.state = session_state::queued;
    session.start_ms = monotonic_ms();
    schedule_send_sessions();
}

void handle_receive_message_request(const turbo_receive_request& request, server_config& config) {
    const char* who = "handle_receive_message_request";
    std::string path(turbo_text(request.path));
    std::string url(turbo_text(request.url));
    log_printf("%s enter, id=%d, path='%s', url='%s', transaction_id='%s'", who,
               static_cast<int>(request.id), path.c_str(), log_escape(url).c_str(),
               log_escape(turbo_text(request.transaction_id)).c_str());
    mm7_settings settings;
    load_port_settings(config.worker_index, settings, who);
    log_settings(who, settings);
    auto fresh = new_session(session_type::receive, config, settings);
    std::memcpy(fresh->request.data(), &request, sizeof request);
    turbo_session& session = add_session(std::move(fresh));

    // The operator's MMSC is never on the gateway itself, unless this is a lab set-up.
    const bool loopback_allowed = url_on_loopback(settings.mmsc_url);
    if (std::string why = fetch_refusal(url.c_str(), loopback_allowed); !why.empty()) {
        refusal_log.printf("%s: id=%d, not fetching '%s': %s", who, static_cast<int>(request.id),
                           log_escape(url).c_str(), log_escape(why).c_str());
        close_session(session, TURBO_RESULT_MMSC_ERROR, "MMSC connection failed");
        return;
    }
    // The file is new, directly in the work directory, and readable by this user alone.
    std::string_view name(path);
    if (name.starts_with(config.workdir)) {
        name.remove_prefix(config.workdir.size());
        while (name.starts_with('/')) {
            name.remove_prefix(1);
        }
    } else {
        name = {};
    }
    int fd = -1;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
        log_warning("%s: path '%s' is not in the work directory", who, path.c_str());
        errno = EINVAL;
    } else {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    session.file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (session.file == nullptr) {
        log_error("%s: cannot fopen mm1 file, errno=%d", who, errno);
        if (fd >= 0) {
            close(fd);
            std::remove(path.c_str());
        }
        close_session(session, TURBO_RESULT_LOCAL_ERROR, "Cannot open MM1 file");
        return;
    }
    turbo_set_text(session.stored_path, path);
    session.easy = curl_easy_init();
    session.headers =
        build_headers(false, false, turbo_text(settings.imsi), turbo_text(settings.msisdn));
    common_options(session, url.c_str(), 20L, settings, false, [&](CURL* easy) {
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, store_fetched);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &session);
        // Through a proxy the proxy connects; without one, every address connected to is judged.
        if (settings.mms_proxy[0] == '\0') {
            session.loopback_allowed = loopback_allowed;
            curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, open_fetch_socket);
            curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &session);
        }
    });
    start_session(session);
}

void send_retrieve_confirmation(const turbo_session& receive_session) {
    const char* who = "send_retrieve_confirmation";
    server_config& config = *receive_session.config;
    mm7_settings settings;
    load_port_settings(config.worker_index, settings, who);
    log_settings(who, settings);
    auto fresh = new_session(session_type::confirm, config, settings);
    std::string_view transaction_id = turbo_text(receive_session.receive_request().transaction_id);
    fresh->mm1_size = transaction_id.size() + 8;
    log_printf("%s: mm1 size is %d", who, static_cast<int>(fresh->mm1_size));
    std::vector<std::uint8_t>& pdu = fresh->confirm_pdu;
    pdu = {0x8C, 0x83, 0x98};
    pdu.insert(pdu.end(), transaction_id.begin(), transaction_id.end());
    pdu.insert(pdu.end(), {0x00, 0x8D, 0x92, 0x95, 0x81});
    fresh->mm1_data = pdu.data();
    turbo_session& session = add_session(std::move(fresh));
    session.easy = curl_easy_init();
    session.headers =
        build_headers(false, true, turbo_text(settings.imsi), turbo_text(settings.msisdn));
    common_options(session, settings.mmsc_url, 10L, settings, true, [&](CURL* easy) {
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard_response);
    });
    start_session(session);
}
