#include "core/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/base64.h"
#include "core/log.h"
#include "core/trusted_file.h"

namespace {

std::string cut(std::string_view value, std::size_t width) {
    return std::string(value.substr(0, width - 1));
}

}  // namespace

option_result parse_options(int argc, char** argv, server_config& config) {
    option_result result = option_result::run;
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        if (name == "--help") {
            result = option_result::help;
            continue;
        }
        if (name == "--version") {
            result = option_result::version;
            continue;
        }
        if (name == "--checkconfig") {
            config.check_only = true;
            continue;
        }
        if (name == "--mmscinsecure") {  // a switch: no value follows
            config.mmsc_insecure = true;
            continue;
        }
        static constexpr const char* kNames[] = {"--port",
                                                 "--workdir",
                                                 "--clienturl",
                                                 "--clientip",
                                                 "--storagesize",
                                                 "--storageage",
                                                 "--turbomodemask",
                                                 "--turbomodecapacity",
                                                 "--turbomodemsdelay",
                                                 "--turbomodetimeout",
                                                 "--logfile",
                                                 "--loglevel",
                                                 "--gwserial",
                                                 "--readtimeout",
                                                 "--confirmgrace",
                                                 "--maxmessagesize",
                                                 "--metricsport",
                                                 "--retrydelay",
                                                 "--clientchunked",
                                                 "--clientauthfile",
                                                 "--clienturlfile",
                                                 "--requesttimeout",
                                                 "--maxconnperip",
                                                 "--badsize",
                                                 "--badage",
                                                 "--mm7namespace",
                                                 "--mm7version",
                                                 "--kerneluid",
                                                 "--pdudir",
                                                 "--vaspfile",
                                                 "--mmsccafile",
                                                 "--clientcafile",
                                                 "--clientcert",
                                                 "--clientkey",
                                                 "--tlscert",
                                                 "--tlskey",
                                                 "--tlsport",
                                                 "--tlsclientca"};
        bool known = false;
        for (const char* known_name : kNames) {
            known = known || name == known_name;
        }
        if (!known) {
            continue;  // a stray argument is skipped on its own
        }
        if (i + 1 >= argc) {
            break;  // the value is missing: parsing ends here
        }
        const char* value = argv[++i];
        auto number = [&] { return static_cast<std::int32_t>(std::strtol(value, nullptr, 10)); };
        if (name == "--port") {
            config.port = static_cast<std::uint32_t>(std::strtol(value, nullptr, 10));
        } else if (name == "--workdir") {
            std::string dir(value);
            if (dir.empty() || dir.back() != '/') {
                dir += '/';
            }
            config.workdir = cut(dir, WORKDIR_SIZE);
        } else if (name == "--clienturl") {
            config.client_url = cut(value, CLIENT_URL_SIZE);
        } else if (name == "--clientip") {
            config.client_ip = cut(value, CLIENT_IP_SIZE);
        } else if (name == "--storagesize") {
            config.storage_size = static_cast<std::uint32_t>(number());
        } else if (name == "--storageage") {
            config.storage_age = static_cast<std::uint32_t>(number());
        } else if (name == "--turbomodemask") {
            config.turbo_mode_mask = std::strtoull(value, nullptr, 10);
        } else if (name == "--turbomodecapacity") {
            config.turbo_mode_capacity = number();
        } else if (name == "--turbomodemsdelay") {
            config.turbo_mode_ms_delay = number();
        } else if (name == "--turbomodetimeout") {
            config.turbo_mode_timeout = number();
        } else if (name == "--logfile") {
            config.log_file_given = true;
            config.log_path = value;
        } else if (name == "--loglevel") {
            if (auto level = log_level_from(value)) {
                config.loglevel = *level;
                config.unknown_loglevel.clear();
            } else {
                config.loglevel = log_level::debug;
                config.unknown_loglevel = value;
            }
        } else if (name == "--gwserial") {
            config.gw_serial = cut(value, GW_SERIAL_SIZE);
        } else if (name == "--readtimeout") {
            config.read_timeout = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--confirmgrace") {
            config.confirm_grace = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--maxmessagesize") {
            config.max_message_size = std::strtoull(value, nullptr, 10);
        } else if (name == "--metricsport") {
            config.metrics_port = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--retrydelay") {
            config.retry_delay = static_cast<std::uint32_t>(std::max(1, number()));
        } else if (name == "--clientchunked") {
            config.client_chunked = number() != 0;
        } else if (name == "--clientauthfile") {
            config.client_auth_file = value;
        } else if (name == "--clienturlfile") {
            config.client_url_file = value;
        } else if (name == "--requesttimeout") {
            config.request_timeout = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--maxconnperip") {
            config.max_conn_per_ip = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--badsize") {
            config.bad_size = std::strtoull(value, nullptr, 10);
        } else if (name == "--badage") {
            config.bad_age = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--mm7namespace") {
            config.mm7_namespace = value;
        } else if (name == "--mm7version") {
            config.mm7_version = value;
        } else if (name == "--kerneluid") {
            config.kernel_uid = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--pdudir") {
            config.pdu_dirs.emplace_back(value);
        } else if (name == "--vaspfile") {
            config.vasp_file = value;
        } else if (name == "--mmsccafile") {
            config.mmsc_ca_file = value;
        } else if (name == "--clientcafile") {
            config.client_ca_file = value;
        } else if (name == "--clientcert") {
            config.client_cert_file = value;
        } else if (name == "--clientkey") {
            config.client_key_file = value;
        } else if (name == "--tlscert") {
            config.tls_cert_file = value;
        } else if (name == "--tlskey") {
            config.tls_key_file = value;
        } else if (name == "--tlsport") {
            config.tls_port = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--tlsclientca") {
            config.tls_client_ca_file = value;
        }
    }
    // A check of the configuration leaves the log of a running daemon as it is.
    if (config.log_file_given && !config.check_only) {
        FILE* file = std::fopen(config.log_path.c_str(), "w+");
        if (file == nullptr) {
            std::fprintf(stderr, "mm7_server: cannot open log file %s: %s\n",
                         config.log_path.c_str(), std::strerror(errno));
        } else {
            if (log_file != nullptr && log_file != file) {
                log_flush();
                std::fclose(log_file);
            }
            log_file = file;
        }
    }
    return result;
}

int url_parse(url_parts& parts, std::string_view text) {
    parts = url_parts{};
    if (auto hash = text.find('#'); hash != std::string_view::npos) {
        parts.fragment = std::string(text.substr(hash + 1));
        text = text.substr(0, hash);
    }
    if (auto question = text.find('?'); question != std::string_view::npos) {
        parts.query = std::string(text.substr(question + 1));
        text = text.substr(0, question);
    }
    if (text.starts_with('/')) {
        parts.path = std::string(text.substr(1));
        return 0;
    }
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || text.substr(colon + 1, 2) != "//") {
        return -1;
    }
    std::string_view authority = text.substr(colon + 3);
    if (authority.empty()) {
        return -1;
    }
    parts.scheme = std::string(text.substr(0, colon));
    if (auto slash = authority.find('/'); slash != std::string_view::npos) {
        parts.path = std::string(authority.substr(slash + 1));
        authority = authority.substr(0, slash);
    }
    std::string_view host = authority;
    // The host follows the last '@': a password may hold one that its writer did not encode.
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        if (at == 0) {
            return -1;
        }
        std::string_view user = authority.substr(0, at);
        host = authority.substr(at + 1);
        auto user_colon = user.find(':');
        if (user_colon == std::string_view::npos) {
            // Refused, with user and (uncut) host already taken, as a caller may look at them.
            parts.user = std::string(user);
            parts.host = std::string(host);
            return -1;
        }
        parts.user = std::string(user.substr(0, user_colon));
        parts.password = std::string(user.substr(user_colon + 1));
    }
    if (host.empty()) {
        return -1;
    }
    if (auto port_colon = host.find(':'); port_colon != std::string_view::npos) {
        std::string port(host.substr(port_colon + 1));
        host = host.substr(0, port_colon);
        parts.host = std::string(host);
        if (port.empty()) {
            return -1;
        }
        parts.port = static_cast<std::uint32_t>(std::strtoul(port.c_str(), nullptr, 10));
        return 0;
    }
    parts.host = std::string(host);
    return 0;
}

void url_apply_defaults(url_parts& parts) {
    if (!parts.scheme) {
        parts.scheme = "http";
    }
    if (parts.port == 0) {
        parts.port = *parts.scheme == "https" ? 443 : 80;
    }
    if (!parts.path) {
        parts.path = "";
    }
}

std::optional<std::string> resolve_ipv4(const std::string& host, std::string& error) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return host;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = rc != 0 ? gai_strerror(rc) : "no address";
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
              sizeof text);
    freeaddrinfo(found);
    return std::string(text);
}

bool check_client_url(server_config& config) {
    url_parts& parts = config.client_url_parts;
    url_parse(parts, config.client_url);  // the fields decide, not the result
    if (!parts.host) {
        log_warning("client url: host is not specified");
    }
    if (parts.scheme && *parts.scheme != "http" && *parts.scheme != "https") {
        log_fatal("client url: only http and https schemes are supported");
        return false;
    }
    url_apply_defaults(parts);
    config.client_address.clear();
    in_addr address{};
    if (!parts.host || parts.host->empty() ||
        inet_pton(AF_INET, parts.host->c_str(), &address) == 1) {
        config.client_address = parts.host.value_or("");
        return true;
    }
    // A name (which an https endpoint's certificate is usually made out to) is resolved now,
    // before the event loop runs: a delivery never waits for a resolver.
    std::string error;
    const auto resolved = resolve_ipv4(*parts.host, error);
    if (!resolved) {
        log_fatal("client url: cannot resolve host %s: %s", log_escape(*parts.host).c_str(),
                  error.c_str());
        return false;
    }
    config.client_address = *resolved;
    log_info("client url: host %s resolved to %s (once, at start-up)",
             log_escape(*parts.host).c_str(), resolved->c_str());
    return true;
}

namespace {

// Reads a file that holds a secret (one line), checked before anything of it is used (see
// read_secret_file): at most 4 KiB.  Nothing, with a line that ends the start, when it is not
// such a file.
std::optional<std::string> read_secret_line(const char* what, const std::string& name,
                                            const char* line_name) {
    const char* path = name.c_str();
    secret_file file = read_secret_file(name, 4096);
    std::string text = file.text.value_or("");
    // One line; its line end is not part of the secret.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (file.problem.empty() && (text.empty() || text.find_first_of("\r\n") != std::string::npos)) {
        log_fatal("%s %s does not hold one line%s", what, path, line_name);
        return std::nullopt;
    }
    if (!file.problem.empty()) {
        log_fatal("%s %s %s", what, path, file.problem.c_str());
        return std::nullopt;
    }
    return text;
}

}  // namespace

bool load_client_url(server_config& config) {
    if (config.client_url_file.empty()) {
        return true;
    }
    const auto url = read_secret_line("Client URL file", config.client_url_file, " URL");
    if (!url) {
        return false;
    }
    config.client_url = cut(*url, CLIENT_URL_SIZE);
    return true;
}

bool load_client_auth(server_config& config) {
    config.client_auth.clear();
    if (config.client_auth_file.empty()) {
        return true;
    }
    const char* path = config.client_auth_file.c_str();
    const auto text =
        read_secret_line("Client credentials file", config.client_auth_file, " user:password");
    if (!text) {
        return false;
    }
    if (text->find(':') == std::string::npos || text->find(':') == 0) {
        log_fatal("Client credentials file %s does not hold one line user:password", path);
        return false;
    }
    std::string token = base64_encode(as_bytes(*text)).value_or("");
    std::erase_if(token, [](char c) { return c == '\r' || c == '\n'; });
    config.client_auth = std::move(token);
    log_info("VASP requests must carry the credentials of %s", path);
    return true;
}

void write_pid_file(const server_config& config) {
    log_printf("%s", "");
    log_info("PID %d", static_cast<int>(getpid()));
    char path[272];
    std::snprintf(path, sizeof path, "%s%s", config.workdir.c_str(), PID_FILE_NAME);
    // Written to a new file that then takes the name: a link planted under the name is replaced,
    // never followed.
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    bool written = file != nullptr && fchmod(fd, 0644) == 0 &&
                   std::fprintf(file, "%d", static_cast<int>(getpid())) > 0 &&
                   std::fflush(file) == 0;
    if (file != nullptr) {
        written = std::fclose(file) == 0 && written;
    } else if (fd >= 0) {
        close(fd);
    }
    if (!written || std::rename(temporary.c_str(), path) != 0) {
        if (fd >= 0) {
            unlink(temporary.c_str());
        }
        log_fatal("Cannot create %s", path);
        std::exit(1);
    }
}

std::string usage_text() {
    return "Usage: mm7_server [options]\n"
           "  --port N                TCP port of the MM7 listener (default 8887)\n"
           "  --workdir DIR           working directory for PDU and pid files "
           "(default /boot/mms/outgoing/)\n"
           "  --clienturl URL         the VASP's MM7 endpoint, http or https; a host name is\n"
           "                          resolved once, at start-up\n"
           "                          (default " +
           std::string(DEFAULT_CLIENT_URL) +
           ")\n"
           "  --clientip ADDR         the only VASP address accepted (default 0.0.0.0: none)\n"
           "  --storagesize N         messages the delivery spool holds at most; when full, the\n"
           "                          oldest is dropped (default 4096; 0: no bound)\n"
           "  --storageage N          hours a spooled message is kept before it is dropped\n"
           "                          (default 48; 0: no bound)\n"
           "  --turbomodemask N       bit n set: a turbo mode worker for port n (default 0: off)\n"
           "  --turbomodecapacity N   batch size of a worker's batch mode (default 4)\n"
           "  --turbomodemsdelay N    ms between send starts; negative: batch mode (default 0)\n"
           "  --turbomodetimeout N    seconds an MMSC transaction may take (default 20)\n"
           "  --logfile FILE          log file (default /var/log/qzm/mm7_server.log)\n"
           "  --loglevel LEVEL        debug (every line), info (one line per submission and\n"
           "                          delivery, starts, stops, refusals), warning or error\n"
           "                          (default debug)\n"
           "  --gwserial TEXT         gateway serial number (default empty)\n"
           "  --readtimeout N         s a VASP may send nothing while its request is read "
           "(default 60, 0: none)\n"
           "  --requesttimeout N      s from accept by which a request must be complete, whatever\n"
           "                          its progress (default 300, 0: none); its head: 10 s\n"
           "  --maxconnperip N        requests read at once from one address (default 64, 0: no\n"
           "                          bound)\n"
           "  --confirmgrace N        s to wait for the kernel module beyond its own time-outs "
           "(default 30)\n"
           "  --maxmessagesize N      most content bytes of one submission, decoded "
           "(default 67108864)\n"
           "  --metricsport N         serve /metrics and /health on 127.0.0.1:N (default 0: "
           "off)\n"
           "  --retrydelay N          seconds before the first retry of a delivery, doubled for\n"
           "                          each further one up to 600 (default 5)\n"
           "  --clientchunked N       1: send deliveries chunked instead of with a\n"
           "                          Content-Length (default 0)\n"
           "  --clientauthfile FILE   VASP requests must carry HTTP Basic credentials, the\n"
           "                          user:password in FILE (mode 0600 or stricter)\n"
           "  --clienturlfile FILE    the client URL read from FILE instead (mode 0600 or\n"
           "                          stricter), so no password shows in the process list\n"
           "  --clientcafile FILE     CA certificates (PEM) an https client URL's certificate\n"
           "                          must chain to (default: the system's)\n"
           "  --clientcert FILE       certificate (PEM, chain may follow) shown to an https\n"
           "                          client URL that asks for one; with --clientkey\n"
           "  --clientkey FILE        its key (PEM, mode 0600 or stricter)\n"
           "  --mmsccafile FILE       CA certificates (PEM) an https MMSC's certificate must\n"
           "                          chain to (default: the system's)\n"
           "  --mmscinsecure          https MMSCs' certificates are not verified (warned at\n"
           "                          start-up; no value follows)\n"
           "  --badsize N             bytes of undeliverable PDUs kept in spool/bad/; the\n"
           "                          oldest copies go first (default 67108864; 0: no bound)\n"
           "  --badage N              hours a copy in spool/bad/ is kept (default 168; 0: no\n"
           "                          bound)\n"
           "  --mm7namespace URI      MM7 namespace of the requests sent to the VASP (default\n"
           "                          the REL-5-MM7-1-2 schema of 3GPP's archive)\n"
           "  --mm7version V          MM7Version of the requests sent to the VASP (default 5.3.0)\n"
           "  --kerneluid N           only a UDP socket of this user speaks for the kernel\n"
           "                          module (default 0)\n"
           "  --pdudir DIR            a directory the kernel module names received PDU files\n"
           "                          in; repeatable (default /boot/mms/; the working\n"
           "                          directory always counts)\n"
           "  --vaspfile FILE         the VASP accounts (TOML); without it --clientip,\n"
           "                          --clientauthfile and --clienturl form the one account\n"
           "  --checkconfig           check the options and the account file, then exit\n"
           "  --tlscert FILE          certificate (PEM, its chain may follow): the MM7 port\n"
           "                          speaks HTTPS\n"
           "  --tlskey FILE           its private key (PEM, mode 0600 or stricter)\n"
           "  --tlsport N             HTTPS on port N instead, beside the clear --port\n"
           "  --tlsclientca FILE      VASPs must present a client certificate of these CAs (PEM)\n"
           "                          (SIGHUP reloads the certificate, key and CAs)\n"
           "  --help                  print this text and exit\n"
           "  --version               print the version and exit\n";
}
