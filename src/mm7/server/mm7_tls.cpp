// The listener's TLS identity: the certificate, key and client CAs named on the command line,
// loaded at start-up and again on SIGHUP.  Connections keep the context they began with.
#include <openssl/crypto.h>

#include "core/log.h"
#include "core/trusted_file.h"
#include "mm7/server/mm7_server.h"
#include "mm7/server/mm7_server_internal.h"

namespace {

std::unique_ptr<tls_context> current;

// A key file is a few kilobytes at most.
constexpr std::size_t kMaxKeyBytes = 1 << 20;

std::unique_ptr<tls_context> load(const server_config& config, std::string& why) {
    secret_file key = read_secret_file(config.tls_key_file, kMaxKeyBytes);
    if (!key.text) {
        why = "TLS key file " + config.tls_key_file + " " + key.problem;
        return nullptr;
    }
    auto context =
        tls_context::server({config.tls_cert_file, *key.text, config.tls_client_ca_file}, why);
    OPENSSL_cleanse(key.text->data(), key.text->size());
    return context;
}

void log_identity(const char* what, const server_config& config) {
    log_info("TLS certificate %s %s: %s, valid until %s", config.tls_cert_file.c_str(), what,
             log_escape(current->certificate_subject()).c_str(),
             current->certificate_expiry().c_str());
    if (!config.tls_client_ca_file.empty()) {
        log_info("VASPs must present a TLS client certificate of %s",
                 config.tls_client_ca_file.c_str());
    }
}

}  // namespace

bool mm7_server_tls_init(const server_config& config) {
    if (config.tls_cert_file.empty() && config.tls_key_file.empty() && config.tls_port == 0 &&
        config.tls_client_ca_file.empty()) {
        return true;
    }
    if (config.tls_cert_file.empty() || config.tls_key_file.empty()) {
        log_fatal("TLS needs both --tlscert and --tlskey");
        return false;
    }
    if (config.tls_port != 0 && config.tls_port == config.port) {
        log_fatal("--tlsport %u is the clear --port too", config.tls_port);
        return false;
    }
    std::string why;
    current = load(config, why);
    if (!current) {
        log_fatal("Cannot use TLS: %s", why.c_str());
        return false;
    }
    log_identity("loaded", config);
    return true;
}

void mm7_server_tls_reload(const server_config& config) {
    if (!current) {
        return;
    }
    std::string why;
    std::unique_ptr<tls_context> fresh = load(config, why);
    if (!fresh) {
        log_error("TLS files not reloaded, those in force stay: %s", why.c_str());
        return;
    }
    fresh->take_ticket_keys(*current);  // sessions begun before stay resumable
    current = std::move(fresh);
    log_identity("reloaded", config);
}

const tls_context* mm7_tls_context() {
    return current.get();
}

bool mm7_tls_asks_client_certificate(const server_config& config) {
    return current && !config.tls_client_ca_file.empty();
}
