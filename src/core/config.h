// Configuration record, command line and start-up helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"

// Pieces of a URL; an absent piece is std::nullopt, an absent port is 0.  The path is kept
// without its leading "/".
struct url_parts {
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;
    std::uint32_t port = 0;
    std::optional<std::string> path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

inline constexpr const char* DEFAULT_WORKDIR = "/boot/mms/outgoing/";
inline constexpr const char* DEFAULT_CLIENT_URL = "http://192.168.1.10:8080/mms-gateway/mm7-client";
inline constexpr const char* DEFAULT_LOG_FILE = "/var/log/qzm/mm7_server.log";
inline constexpr const char* PID_FILE_NAME = "mm7-server.pid";
// Where the kernel module puts the PDU files of received messages, when no --pdudir is given.
inline constexpr const char* DEFAULT_PDU_DIR = "/boot/mms/";

// Field widths of the record (texts keep at most width - 1 characters).
inline constexpr std::size_t WORKDIR_SIZE = 256;
inline constexpr std::size_t CLIENT_URL_SIZE = 1024;
inline constexpr std::size_t CLIENT_IP_SIZE = 16;
inline constexpr std::size_t GW_SERIAL_SIZE = 20;

// The one configuration record of a process.
struct server_config {
    std::uint32_t port = 8887;
    std::string workdir = DEFAULT_WORKDIR;  // always ends in "/" unless cut at 255 characters
    std::string client_url = DEFAULT_CLIENT_URL;
    url_parts client_url_parts;
    // The client URL's host as a dotted IPv4 address: the URL's own, or what its name resolved
    // to at start-up.  Empty when the URL has no host.
    std::string client_address;
    std::string client_ip = "0.0.0.0";
    std::string gw_serial;
    std::uint32_t storage_age = 48;
    std::uint32_t storage_size = 4096;
    // Bounds of spool/bad/, where copies of undeliverable PDUs are kept for a person to look at.
    std::uint64_t bad_size = std::uint64_t{64} << 20;  // bytes; 0: no bound
    std::uint32_t bad_age = 168;                       // hours; 0: no bound
    int xgate_fd = 0;
    int turbo_fd = -1;
    int server_fd = -1;
    std::uint64_t turbo_mode_mask = 0;
    int turbo_mode_capacity = 4;
    int turbo_mode_ms_delay = 0;
    int turbo_mode_timeout = 20;
    int worker_index = 0;
    // Bounds on what one VASP connection may cost.
    std::uint32_t read_timeout = 60;               // s without progress while a request is read
    std::uint32_t request_timeout = 300;           // s from accept to the end of the request
    std::uint32_t max_conn_per_ip = 64;            // requests being read from one address
    std::uint32_t confirm_grace = 30;              // s past the kernel module's own time-outs
    std::uint64_t max_message_size = 64ULL << 20;  // decoded content bytes of one submission
    std::uint32_t metrics_port = 0;  // GET /metrics and /health on 127.0.0.1; 0: not served
    // Not part of the daemon's behaviour: set when --logfile was given.
    bool log_file_given = false;
    std::string log_path = DEFAULT_LOG_FILE;  // reopened on SIGHUP
    // --loglevel: the lines the log keeps (debug: every line).  A value that names no level is
    // kept in unknown_loglevel and reported once the log is open; the level is then debug.
    log_level loglevel = log_level::debug;
    std::string unknown_loglevel;
    // Seconds before the first retry of a delivery (--retrydelay); doubled for every further
    // one.
    std::uint32_t retry_delay = 5;
    // Deliveries framed with Transfer-Encoding: chunked instead of Content-Length
    // (--clientchunked 1), for endpoints known to take chunked requests.
    bool client_chunked = false;
    // --clientauthfile: a file holding "user:password" that VASP requests must present as HTTP
    // Basic credentials.  Read at start-up into client_auth, the base64 token such a request
    // carries; empty: no credentials are asked for.
    std::string client_auth_file;
    std::string client_url_file;  // --clienturlfile: the client URL is read from it
    std::string client_auth;
    // --mm7namespace, --mm7version: the MM7 namespace URI and MM7Version of the requests sent to
    // the VASP (and of answers to requests that name none); empty: the built-in REL-5-MM7-1-2
    // with 5.3.0.
    std::string mm7_namespace;
    std::string mm7_version;
    // --kerneluid: the user whose UDP socket alone speaks for the kernel module.
    std::uint32_t kernel_uid = 0;
    // --pdudir (repeatable): directories a received message's PDU file may be named in, besides
    // workdir; none given: DEFAULT_PDU_DIR.
    std::vector<std::string> pdu_dirs;
    // --vaspfile: the VASP accounts (TOML); empty: the single-VASP options form the one account.
    std::string vasp_file;
    // --checkconfig: the configuration is checked, the outcome said, and the process ends.
    bool check_only = false;
    // --mmsccafile: the CA certificates (PEM) an https MMSC's certificate must chain to, instead
    // of the system's; --mmscinsecure: an https MMSC's certificate and host name go unchecked.
    std::string mmsc_ca_file;
    bool mmsc_insecure = false;
    // Deliveries to an https client URL: --clientcafile, the CA certificates (PEM) the VASP's
    // certificate must chain to instead of the system's; --clientcert and --clientkey, the
    // certificate (PEM, its chain may follow) and key the gateway presents when asked for one.
    std::string client_ca_file;
    std::string client_cert_file;
    std::string client_key_file;
    // --tlscert, --tlskey: the MM7 port speaks HTTPS with this certificate (PEM, its chain may
    // follow) and key (checked as the credentials file is); --tlsport: HTTPS on this second port
    // instead, beside the clear one; --tlsclientca: VASPs must present a certificate of these CAs.
    std::string tls_cert_file, tls_key_file, tls_client_ca_file;
    std::uint32_t tls_port = 0;
};

enum class option_result { run, help, version };

// Fills config from the command line (arguments from argv[1] on).  "--logfile" opens the log
// (the last one given), unless the configuration is only checked.
// "--help" and "--version" are recognised only to answer them; the result says which was seen.
option_result parse_options(int argc, char** argv, server_config& config);

// Splits text into parts; 0 on success, -1 on a malformed URL.  Parts already found stay set
// after a failure.
int url_parse(url_parts& parts, std::string_view text);
// What a URL leaves out: scheme http, its scheme's port, an empty path.
void url_apply_defaults(url_parts& parts);
// The IPv4 address of host (a dotted address itself, or a name looked up now, which blocks);
// nothing, with the resolver's reason in error, when it has none.
std::optional<std::string> resolve_ipv4(const std::string& host, std::string& error);

// Applies the client URL rules of start-up and finds the address to deliver to (a host name is
// resolved here, once); false, logged, when the scheme is not supported or the name does not
// resolve.
bool check_client_url(server_config& config);

// Reads the client URL from the file named by --clienturlfile, checked as the credentials file
// is; false, with a line in the log, when it is not such a file.
bool load_client_url(server_config& config);

// Reads the file named by --clientauthfile into client_auth.  False, with a line in the log,
// when the file cannot be read, is not a regular file, may be read or written by anyone but its
// owner, is owned by another user than root or the daemon's, or holds no "user:password".
bool load_client_auth(server_config& config);

// Writes "<workdir>mm7-server.pid"; ends the process with status 1 when it cannot.
void write_pid_file(const server_config& config);

// The text printed by --help.
std::string usage_text();
