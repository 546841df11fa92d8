#include "core/tls_client.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/log.h"
#include "core/trusted_file.h"

namespace {

// Largest key file read (a key with a long chain of comments is still far smaller).
constexpr std::size_t MAX_KEY_FILE = 1 << 20;

struct bio_free_fn {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct pkey_free_fn {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct store_free_fn {
    void operator()(X509_STORE* store) const noexcept { X509_STORE_free(store); }
};

// The contents of a key file, read only once it proved trusted (see read_secret_file).
// Nothing, after an error line, when it is not such a file.
std::optional<std::string> read_key_file(const std::string& path) {
    secret_file file = read_secret_file(path, MAX_KEY_FILE);
    if (!file.text) {
        log_fatal("Client key file %s %s", path.c_str(), file.problem.c_str());
    }
    return std::move(file.text);
}

// Loads the certificate and key of settings into ctx; the key file is checked first, so that
// nothing of a key in a file others may read is used.
bool use_certificate(SSL_CTX* ctx, const tls_client_settings& settings) {
    std::optional<std::string> text = read_key_file(settings.key_file);
    if (!text) {
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, settings.cert_file.c_str()) != 1) {
        OPENSSL_cleanse(text->data(), text->size());
        log_fatal("Client certificate file %s holds no certificate OpenSSL can read: %s",
                  settings.cert_file.c_str(), tls_error_text().c_str());
        return false;
    }
    std::unique_ptr<BIO, bio_free_fn> bio(
        BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
    std::unique_ptr<EVP_PKEY, pkey_free_fn> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    OPENSSL_cleanse(text->data(), text->size());
    if (!key) {
        log_fatal("Client key file %s holds no key OpenSSL can read: %s", settings.key_file.c_str(),
                  tls_error_text().c_str());
        return false;
    }
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        log_fatal("Client key file %s does not go with the certificate of %s: %s",
                  settings.key_file.c_str(), settings.cert_file.c_str(), tls_error_text().c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string tls_error_text() {
    std::string text;
    char line[256];
    while (const unsigned long code = ERR_get_error()) {
        ERR_error_string_n(code, line, sizeof line);
        const char* reason = ERR_reason_error_string(code);
        text += text.empty() ? "" : "; ";
        text += reason != nullptr ? reason : line;
    }
    return text;
}

bool tls_ca_file_usable(const std::string& path, std::string_view what) {
    std::unique_ptr<X509_STORE, store_free_fn> store(X509_STORE_new());
    if (!store || X509_STORE_load_file(store.get(), path.c_str()) != 1) {
        log_fatal("%.*s %s holds no CA certificate OpenSSL can read: %s",
                  static_cast<int>(what.size()), what.data(), path.c_str(),
                  tls_error_text().c_str());
        return false;
    }
    return true;
}

tls_client_ctx tls_client_context(const tls_client_settings& settings) {
    tls_client_ctx ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        log_fatal("TLS: cannot make a client context: %s", tls_error_text().c_str());
        return {};
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // Writes of whatever the socket takes, each retried with the same bytes until it is taken.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    static constexpr unsigned char HTTP_1_1[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_CTX_set_alpn_protos(ctx.get(), HTTP_1_1, sizeof HTTP_1_1);
    if (settings.ca_file.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
            log_fatal("TLS: the system's CA certificates cannot be used: %s",
                      tls_error_text().c_str());
            return {};
        }
    } else if (!tls_ca_file_usable(settings.ca_file, "Client CA file") ||
               SSL_CTX_load_verify_file(ctx.get(), settings.ca_file.c_str()) != 1) {
        return {};
    }
    if (settings.cert_file.empty() != settings.key_file.empty()) {
        log_fatal("TLS: --clientcert and --clientkey go together");
        return {};
    }
    if (!settings.cert_file.empty() && !use_certificate(ctx.get(), settings)) {
        return {};
    }
    return ctx;
}

bool tls_client_prepare(SSL* ssl, const std::string& host) {
    SSL_set_connect_state(ssl);
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        // An address is not sent as a server name; the certificate must list it.
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    }
    return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
           SSL_set1_host(ssl, host.c_str()) == 1;
}

std::string tls_client_failure(SSL* ssl, int ssl_error) {
    const long verdict = SSL_get_verify_result(ssl);
    std::string queued = tls_error_text();
    if (verdict != X509_V_OK) {
        return concat({"certificate verify failed: ", X509_verify_cert_error_string(verdict)});
    }
    if (!queued.empty()) {
        return queued;
    }
    if (ssl_error == SSL_ERROR_SYSCALL) {
        return errno != 0 ? concat({"connection error: ", std::strerror(errno)})
                          : std::string("the peer closed the connection in the handshake");
    }
    return concat({"TLS error ", std::to_string(ssl_error)});
}
