#include "core/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// ALPN: HTTP/1.1 alone, as its length-prefixed wire form.
constexpr unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

struct bio_deleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
using unique_bio = std::unique_ptr<BIO, bio_deleter>;

// OpenSSL's error queue as one text (emptied), or `fallback` when it holds nothing.
std::string openssl_errors(std::string fallback = "unknown error") {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        // "error:0A000086:SSL routines::certificate verify failed": the reason is the last field.
        const char* reason = std::strrchr(line, ':');
        text += text.empty() ? "" : "; ";
        text += reason != nullptr && reason[1] != '\0' ? reason + 1 : line;
    }
    return text.empty() ? fallback : text;
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string name_text(const X509_NAME* name) {
    unique_bio bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr ||
        X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    return bio_text(bio.get());
}

// A private key that asks for a passphrase is refused rather than prompted for.
int no_passphrase(char*, int, int, void*) {
    return 0;
}

// The server's choice among the protocols the client offers: HTTP/1.1, or a refusal.
int select_alpn(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* in,
                unsigned int in_length, void*) {
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, out_length, kAlpn, sizeof kAlpn, in, in_length) !=
        OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

// What every context shares: TLS 1.2 and up, no renegotiation, writes that may end part way
// and be repeated from a buffer that has moved.
SSL_CTX* new_context(const SSL_METHOD* method, std::string& error) {
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (ctx == nullptr) {
        error = openssl_errors();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
    // Records are read from the socket as far as they have come, in few reads; what is read
    // ahead waits inside OpenSSL (tls_connection::buffered).
    SSL_CTX_set_read_ahead(ctx, 1);
    return ctx;
}

// The certificate (with its chain) from a file and the key from PEM text.
bool use_identity(SSL_CTX* ctx, const std::string& cert_file, const std::string& key_pem,
                  std::string& error) {
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1) {
        error = "certificate " + cert_file + ": " + openssl_errors();
        return false;
    }
    unique_bio bio(BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())));
    EVP_PKEY* key =
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr) : nullptr;
    const bool used = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1 &&
                      SSL_CTX_check_private_key(ctx) == 1;
    EVP_PKEY_free(key);
    if (!used) {
        error = "private key: " + openssl_errors("no key found");
        return false;
    }
    return true;
}

// Client certificates checked against the CA file.  Sessions are kept apart by the CA file's
// contents: a session begun under other CAs is never resumed.
bool ask_client_certificates(SSL_CTX* ctx, const std::string& ca_file, std::string& error) {
    std::ifstream in(ca_file, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca_file.c_str());
    if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1 || names == nullptr) {
        sk_X509_NAME_pop_free(names, X509_NAME_free);
        error = "client CA file " + ca_file + ": " + openssl_errors("no certificate found");
        return false;
    }
    SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(pem.data(), pem.size(), digest, &length, EVP_sha256(), nullptr);
    SSL_CTX_set_session_id_context(ctx, digest, std::min(length, 32U));
    return true;
}

// Offers a copy of a kept session: OpenSSL marks the session of a connection that is freed
// without close_notify unusable, which must not spoil the one kept.
bool resume_from(SSL* ssl, const SSL_SESSION* kept) {
    SSL_SESSION* copy = SSL_SESSION_dup(kept);
    const bool set = copy != nullptr && SSL_set_session(ssl, copy) == 1;
    SSL_SESSION_free(copy);
    return set;
}

}  // namespace

// ---- contexts ----

std::unique_ptr<tls_context> tls_context::server(const tls_server_setup& setup,
                                                 std::string& error) {
    SSL_CTX* ctx = new_context(TLS_server_method(), error);
    if (ctx == nullptr) {
        return nullptr;
    }
    std::unique_ptr<tls_context> context(new tls_context(ctx));
    static constexpr unsigned char kSessionContext[] = "mm7_server";
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    if (!use_identity(ctx, setup.cert_file, setup.key_pem, error) ||
        (!setup.client_ca_file.empty() &&
         !ask_client_certificates(ctx, setup.client_ca_file, error))) {
        return nullptr;
    }
    // Resumption: stateless tickets, and a cache for clients that resume by session id.  One
    // ticket a connection is enough, as each carries one request.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(ctx, 1024);
    SSL_CTX_set_num_tickets(ctx, 1);
    SSL_CTX_set_alpn_select_cb(ctx, select_alpn, nullptr);
    return context;
}

std::unique_ptr<tls_context> tls_context::client(const tls_client_setup& setup,
                                                 std::string& error) {
    SSL_CTX* ctx = new_context(TLS_client_method(), error);
    if (ctx == nullptr) {
        return nullptr;
    }
    std::unique_ptr<tls_context> context(new tls_context(ctx));
    if (setup.verify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        const bool trusted = setup.ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                                   : SSL_CTX_load_verify_locations(
                                                         ctx, setup.ca_file.c_str(), nullptr) == 1;
        if (!trusted) {
            error = "CA file " + setup.ca_file + ": " + openssl_errors("no certificate found");
            return nullptr;
        }
    }
    if (!setup.cert_file.empty() && !use_identity(ctx, setup.cert_file, setup.key_pem, error)) {
        return nullptr;
    }
    SSL_CTX_set_alpn_protos(ctx, kAlpn, sizeof kAlpn);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    return context;
}

tls_context::~tls_context() {
    SSL_CTX_free(ctx_);
}

void tls_context::take_ticket_keys(const tls_context& older) {
    unsigned char keys[80];
    if (SSL_CTX_get_tlsext_ticket_keys(older.ctx_, keys, sizeof keys) == 1) {
        SSL_CTX_set_tlsext_ticket_keys(ctx_, keys, sizeof keys);
    }
    OPENSSL_cleanse(keys, sizeof keys);
}

std::string tls_context::certificate_subject() const {
    const X509* cert = SSL_CTX_get0_certificate(ctx_);
    return cert != nullptr ? name_text(X509_get_subject_name(cert)) : std::string();
}

std::string tls_context::certificate_expiry() const {
    const X509* cert = SSL_CTX_get0_certificate(ctx_);
    unique_bio bio(BIO_new(BIO_s_mem()));
    if (cert == nullptr || !bio || ASN1_TIME_print(bio.get(), X509_get0_notAfter(cert)) != 1) {
        return {};
    }
    return bio_text(bio.get());
}

// ---- connections ----

std::unique_ptr<tls_connection> tls_connection::server(const tls_context& context, int fd,
                                                       std::string& error) {
    SSL* ssl = SSL_new(context.native());
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        error = openssl_errors();
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return std::unique_ptr<tls_connection>(new tls_connection(ssl));
}

std::unique_ptr<tls_connection> tls_connection::client(const tls_context& context, int fd,
                                                       std::string_view host, std::string& error,
                                                       const tls_session& resume) {
    SSL* ssl = SSL_new(context.native());
    std::unique_ptr<tls_connection> connection(ssl ? new tls_connection(ssl) : nullptr);
    const std::string name(host);
    unsigned char address[16];
    const bool literal = inet_pton(AF_INET, name.c_str(), address) == 1 ||
                         inet_pton(AF_INET6, name.c_str(), address) == 1;
    // An IP address is checked against the certificate's IP names and is never sent as SNI.
    const bool ready =
        ssl != nullptr && SSL_set_fd(ssl, fd) == 1 &&
        (literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1
                 : SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 &&
                       SSL_set1_host(ssl, name.c_str()) == 1) &&
        (!resume || resume_from(ssl, resume.get()));
    if (!ready) {
        error = openssl_errors();
        return nullptr;
    }
    SSL_set_connect_state(ssl);
    return connection;
}

tls_connection::~tls_connection() {
    SSL_free(ssl_);
    BIO_free(output_);
}

bool tls_connection::gather_output(std::size_t size) {
    BIO* inner = nullptr;
    BIO* outer = nullptr;
    // Our end only reads what OpenSSL writes: nothing is ever written into it.
    if (output_ != nullptr || BIO_new_bio_pair(&inner, size, &outer, 1) != 1) {
        return false;
    }
    fd_ = SSL_get_rfd(ssl_);
    SSL_set0_wbio(ssl_, inner);
    output_ = outer;
    SSL_clear_mode(ssl_, SSL_MODE_RELEASE_BUFFERS);
    return true;
}

tls_state tls_connection::flush() {
    while (output_ != nullptr && BIO_ctrl_pending(output_) > 0) {
        char* data = nullptr;
        const int n = BIO_nread0(output_, &data);
        if (n <= 0) {
            break;
        }
        const ssize_t sent = send(fd_, data, static_cast<std::size_t>(n), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return tls_state::want_write;
        }
        if (sent < 0) {
            if (!broken_) {
                error_ = std::strerror(errno);  // unless an earlier failure says more
            }
            broken_ = true;
            return tls_state::failed;
        }
        BIO_nread(output_, &data, static_cast<int>(sent));
    }
    return tls_state::done;
}

bool tls_connection::output_pending() const {
    return output_ != nullptr && BIO_ctrl_pending(output_) > 0;
}

tls_state tls_connection::outcome(int result) {
    const int saved_errno = errno;
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            return tls_state::want_read;
        case SSL_ERROR_WANT_WRITE:
            return tls_state::want_write;
        case SSL_ERROR_ZERO_RETURN:
            error_ = "the peer ended the session";
            return tls_state::closed;
        case SSL_ERROR_SYSCALL:
            broken_ = true;
            error_ = ERR_peek_error() != 0 ? openssl_errors()
                     : saved_errno != 0    ? std::strerror(saved_errno)
                                           : "the connection ended";
            return saved_errno == 0 ? tls_state::closed : tls_state::failed;
        default:
            break;
    }
    broken_ = true;
    const unsigned long first = ERR_peek_error();
    if (ERR_GET_LIB(first) == ERR_LIB_SSL &&
        ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        error_ = "the connection ended without close_notify";
        return tls_state::closed;
    }
    plain_http_ = ERR_GET_LIB(first) == ERR_LIB_SSL && ERR_GET_REASON(first) == SSL_R_HTTP_REQUEST;
    error_ = openssl_errors();
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
        error_ += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
    }
    return tls_state::failed;
}

tls_state tls_connection::handshake() {
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_do_handshake(ssl_);
        const tls_state state = result == 1 ? tls_state::done : outcome(result);
        if (output_ == nullptr) {
            return state;
        }
        // What the handshake wrote goes out before it waits for the peer (an alert too, as
        // far as the socket takes it).
        const std::size_t before = BIO_ctrl_pending(output_);
        const tls_state flushed = flush();
        const bool ended = state == tls_state::failed || state == tls_state::closed;
        if (ended || flushed == tls_state::failed) {
            return ended ? state : flushed;
        }
        if (state == tls_state::want_write && BIO_ctrl_pending(output_) < before) {
            continue;  // the buffer was full and has room again
        }
        return flushed == tls_state::done ? state : flushed;
    }
}

tls_state tls_connection::read(std::span<std::uint8_t> into, std::size_t& got) {
    got = 0;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_read_ex(ssl_, into.data(), into.size(), &got);
    const tls_state state = result == 1 ? tls_state::done : outcome(result);
    if (output_ != nullptr && state != tls_state::failed) {
        flush();  // what reading made OpenSSL say (a key update), as far as the socket takes it
    }
    return state;
}

tls_state tls_connection::write_record(byte_view data, std::size_t& sent) {
    sent = 0;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_write_ex(ssl_, data.data(), data.size(), &sent);
    return result == 1 ? tls_state::done : outcome(result);
}

tls_state tls_connection::write(byte_view data, std::size_t& sent) {
    return output_ == nullptr ? write_record(data, sent) : gathered_write(data, sent);
}

// Records into the output buffer, a record at a time (partial writes are on), until the data is
// taken; a full buffer is sent and filled again, until the socket takes nothing more.
tls_state tls_connection::gathered_write(byte_view data, std::size_t& sent) {
    sent = 0;
    tls_state state = tls_state::done;
    while (sent < data.size()) {
        std::size_t n = 0;
        state = write_record(data.subspan(sent), n);
        sent += n;
        if (state != tls_state::want_write) {
            if (state != tls_state::done) {
                break;
            }
            continue;
        }
        const std::size_t before = BIO_ctrl_pending(output_);
        if (const tls_state flushed = flush(); flushed == tls_state::failed) {
            return flushed;
        }
        if (BIO_ctrl_pending(output_) == before) {
            break;  // the buffer is full and the socket takes nothing now
        }
    }
    if (state == tls_state::failed || state == tls_state::closed) {
        return state;
    }
    return sent > 0 || data.empty() ? tls_state::done : state;
}

tls_state tls_connection::shutdown() {
    if (broken_ || !SSL_is_init_finished(ssl_)) {
        return tls_state::closed;  // nothing may be said any more, or nothing was begun
    }
    if (output_ != nullptr) {
        // close_notify follows what is still buffered, into a buffer it surely fits in.
        if (const tls_state flushed = flush(); flushed != tls_state::done) {
            return flushed;
        }
        if ((SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN) != 0) {
            return tls_state::done;
        }
    }
    ERR_clear_error();
    errno = 0;
    const int result = SSL_shutdown(ssl_);
    const tls_state state = result >= 0 ? tls_state::done : outcome(result);
    return output_ != nullptr && state == tls_state::done ? flush() : state;
}

bool tls_connection::buffered() const {
    return SSL_has_pending(ssl_) == 1;
}

bool tls_connection::handshake_done() const {
    return SSL_is_init_finished(ssl_) == 1;
}

bool tls_connection::resumed() const {
    return SSL_session_reused(ssl_) == 1;
}

std::string tls_connection::protocol() const {
    return SSL_get_version(ssl_);
}

std::string tls_connection::peer_subject() const {
    const X509* cert = SSL_get0_peer_certificate(ssl_);
    return cert != nullptr ? name_text(X509_get_subject_name(cert)) : std::string();
}

std::vector<std::string> tls_connection::peer_names() const {
    std::vector<std::string> out;
    const X509* cert = SSL_get0_peer_certificate(ssl_);
    auto* names = cert != nullptr ? static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
                                        cert, NID_subject_alt_name, nullptr, nullptr))
                                  : nullptr;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        int type = 0;
        const auto* value = static_cast<const ASN1_STRING*>(GENERAL_NAME_get0_value(name, &type));
        const auto* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
        const auto length = static_cast<std::size_t>(ASN1_STRING_length(value));
        if (type == GEN_DNS || type == GEN_EMAIL || type == GEN_URI) {
            const char* label = type == GEN_DNS ? "DNS:" : type == GEN_EMAIL ? "email:" : "URI:";
            out.push_back(label + std::string(bytes, length));
        } else if (type == GEN_IPADD && (length == 4 || length == 16)) {
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(length == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
            out.push_back(std::string("IP:") + text);
        }
    }
    GENERAL_NAMES_free(names);
    return out;
}

tls_session tls_connection::session() const {
    // A copy, for the reason resume_from copies it.
    SSL_SESSION* session = SSL_get0_session(ssl_);
    session = session != nullptr ? SSL_SESSION_dup(session) : nullptr;
    return session != nullptr ? tls_session(session, SSL_SESSION_free) : nullptr;
}
