// The client side of TLS: contexts that verify the server they connect to (its certificate
// chains to a trusted CA and names the host asked for) and may present a client certificate,
// and the sessions made from them.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <string_view>

struct ssl_ctx_free_fn {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};
using tls_client_ctx = std::unique_ptr<SSL_CTX, ssl_ctx_free_fn>;
struct ssl_free_fn {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};
using tls_client_session = std::unique_ptr<SSL, ssl_free_fn>;

struct tls_client_settings {
    std::string ca_file;    // CA certificates (PEM) to trust instead of the system's; "": those
    std::string cert_file;  // the certificate to present (PEM, its chain may follow); "": none
    std::string key_file;   // its key (PEM), a file only its owner may read
};

// OpenSSL's own words for the failures queued in this thread, oldest first (the queue is
// emptied); "" when there are none.
std::string tls_error_text();

// False, with an error line naming `what`, when path holds no CA certificate OpenSSL can read.
bool tls_ca_file_usable(const std::string& path, std::string_view what);

// A context for outbound connections: TLS 1.2 or 1.3 with OpenSSL's default ciphers, the peer
// verified against settings.ca_file or the system's CA store, and the client certificate when
// one is set (the key checked as the daemon checks every file that holds a secret, and against
// the certificate).  Null, after an error line, when any of it cannot be used.
tls_client_ctx tls_client_context(const tls_client_settings& settings);

// Sets up ssl, made from such a context, to connect to host: the host name is sent (SNI, for a
// name) and the certificate must name it (a name, or an IP address as text).  False when OpenSSL
// refuses.
bool tls_client_prepare(SSL* ssl, const std::string& host);

// Why the handshake of ssl failed, for the log: the verification's reason when the peer's
// certificate was refused, else OpenSSL's words for the failure (or the socket's).
std::string tls_client_failure(SSL* ssl, int ssl_error);
