#include "core/tls_client.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include "core/log.h"
#include "core/trusted_file.h"

namespace {

// Largest key file read (a key with a long chain of comments is still far smaller).
constexpr std::size_t MAX_KEY_FILE = 1 << 20;
constexpr const char* TLS13_SUITES =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

}  // namespace

std::unique_ptr<tls_context> tls_client_context(const std::string& ca_file,
                                                const std::string& cert_file,
                                                const std::string& key_file, std::string& error) {
    if (cert_file.empty() != key_file.empty()) {
        error = "a certificate and its key go together";
        return nullptr;
    }
    tls_client_setup setup{ca_file, cert_file, {}, true};
    if (!key_file.empty()) {
        secret_file key = read_secret_file(key_file, MAX_KEY_FILE);
        if (!key.text) {
            error = "key file " + key_file + " " + key.problem;
            return nullptr;
        }
        setup.key_pem = std::move(*key.text);
    }
    std::unique_ptr<tls_context> context = tls_context::client(setup, error);
    OPENSSL_cleanse(setup.key_pem.data(), setup.key_pem.size());
    // OpenSSL's TLS 1.3 suites, AES-128-GCM offered first (as browsers do): it is the cheapest
    // per byte, and deliveries are bulk.
    if (context && SSL_CTX_set_ciphersuites(context->native(), TLS13_SUITES) != 1) {
        error = "cipher suites: refused";
        context.reset();
    }
    return context;
}

std::unique_ptr<tls_context> tls_client_context(const std::string& ca_file,
                                                const std::string& cert_file,
                                                const std::string& key_file) {
    if (cert_file.empty() != key_file.empty()) {
        log_fatal("TLS: --clientcert and --clientkey go together");
        return nullptr;
    }
    std::string error;
    std::unique_ptr<tls_context> context = tls_client_context(ca_file, cert_file, key_file, error);
    if (!context && error.starts_with("key file ")) {
        log_fatal("Client key file %s", error.c_str() + 9);
    } else if (!context) {
        log_fatal("TLS: deliveries cannot use %s%s%s: %s",
                  ca_file.empty() ? "the system's CA certificates" : ca_file.c_str(),
                  cert_file.empty() ? "" : " and ", cert_file.c_str(), error.c_str());
    }
    return context;
}

bool tls_ca_file_usable(const std::string& path, std::string_view what) {
    std::string error;
    if (!tls_context::client({path, {}, {}, true}, error)) {
        log_fatal("%.*s %s holds no CA certificate OpenSSL can read: %s",
                  static_cast<int>(what.size()), what.data(), path.c_str(), error.c_str());
        return false;
    }
    return true;
}
