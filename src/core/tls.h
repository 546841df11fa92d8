// TLS over non-blocking sockets, with OpenSSL: a context per side (the settings and credentials
// that connections share) and the session of one connection, driven by the event loop.  No call
// ever waits: one that needs the socket to become readable or writable says so, and is made
// again once it is.  TLS 1.2 and 1.3 only, OpenSSL's default ciphers, ALPN "http/1.1".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/string_utils.h"

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;
struct bio_st;

// Where a TLS call left the connection.
enum class tls_state {
    done,        // finished; for read and write: bytes were moved
    want_read,   // make the same call again once the socket is readable
    want_write,  // make the same call again once the socket is writable
    closed,      // the peer ended the session or the connection (nothing more comes)
    failed,      // a protocol, certificate or socket error; error() says which
};

// A server's identity and what it asks of clients.
struct tls_server_setup {
    std::string cert_file;       // PEM: the certificate; its chain may follow it
    std::string key_pem;         // the private key as PEM text (read from a checked file)
    std::string client_ca_file;  // PEM: client certificates must chain to it; empty: none asked
};

// What a client trusts and presents.
struct tls_client_setup {
    std::string ca_file;    // PEM: the CAs that may vouch for servers; empty: the system's store
    std::string cert_file;  // PEM: a certificate to present (chain may follow); empty: none
    std::string key_pem;    // its private key as PEM text
    bool verify = true;     // false: the server's certificate is not checked at all
};

// Plaintext octets of a full TLS record: data written in multiples of it makes no short records.
inline constexpr std::size_t TLS_RECORD_DATA = 16384;

// A session kept by a client to resume the next connection to the same server.
using tls_session = std::shared_ptr<ssl_session_st>;

// An OpenSSL context.  Connections hold their own reference to it: a context replaced (after a
// reload) lives on as long as a connection made with it.
class tls_context {
  public:
    // Null, with `error` set to OpenSSL's reason, when the files cannot be used.
    static std::unique_ptr<tls_context> server(const tls_server_setup& setup, std::string& error);
    static std::unique_ptr<tls_context> client(const tls_client_setup& setup, std::string& error);
    ~tls_context();
    tls_context(const tls_context&) = delete;
    tls_context& operator=(const tls_context&) = delete;

    // Session tickets issued by `older` stay good in this context (for a reload).
    void take_ticket_keys(const tls_context& older);
    // The certificate in use: its subject, and the time it expires ("" for a context without).
    std::string certificate_subject() const;
    std::string certificate_expiry() const;
    ssl_ctx_st* native() const { return ctx_; }

  private:
    explicit tls_context(ssl_ctx_st* ctx) : ctx_(ctx) {}
    ssl_ctx_st* ctx_;
};

// The TLS session of one connected, non-blocking socket.  The socket stays the caller's: it is
// neither closed nor shut down here.
class tls_connection {
  public:
    // Null, with `error` set, when OpenSSL cannot make the session.
    static std::unique_ptr<tls_connection> server(const tls_context& context, int fd,
                                                  std::string& error);
    // `host`: the name or IP address the server's certificate must be for; a name is also sent
    // as SNI.  `resume`: a session of an earlier connection to the same server, or null.
    static std::unique_ptr<tls_connection> client(const tls_context& context, int fd,
                                                  std::string_view host, std::string& error,
                                                  const tls_session& resume = nullptr);
    ~tls_connection();
    tls_connection(const tls_connection&) = delete;
    tls_connection& operator=(const tls_connection&) = delete;

    tls_state handshake();
    // Decrypted bytes into `into`: done with got > 0, any other state with got 0.
    tls_state read(std::span<std::uint8_t> into, std::size_t& got);
    // Encrypts from `data`: done with the count taken (possibly fewer than all).  After
    // want_read or want_write the call must be made again with the same bytes at the start of
    // `data` (more may follow, and they may have moved in memory).
    tls_state write(byte_view data, std::size_t& sent);
    // Sends close_notify: done once it is out; the peer's is not waited for.
    tls_state shutdown();

    // For a connection that streams: records collect in an output buffer of `size` octets and
    // go to the socket many in one system call, instead of one call per record; the connection
    // keeps its record buffers too.  write() then sends the buffer whenever it is full (and
    // says want_write when the socket takes none of it); what is left in it goes on flush(),
    // which the caller makes once it has nothing more to write.  The handshake, reads and
    // shutdown send what they add to it at once.  False when OpenSSL cannot make it.
    bool gather_output(std::size_t size);
    // Sends what waits in the output buffer: done once it is empty.
    tls_state flush();
    bool output_pending() const;

    // Decrypted or received bytes held inside OpenSSL, which the socket will not signal: OpenSSL
    // reads ahead, so a reader goes on until want_read (or looks here) before it waits.
    bool buffered() const;
    bool handshake_done() const;
    bool resumed() const;
    std::string protocol() const;  // "TLSv1.3"
    // The peer's certificate: its subject (RFC 2253) and subject alternative names ("DNS:x",
    // "IP:x", "email:x", "URI:x"); empty without one.
    std::string peer_subject() const;
    std::vector<std::string> peer_names() const;
    // The session to resume a later connection with (a client's, after the handshake).
    tls_session session() const;
    // Why the last call failed or closed: OpenSSL's reason, with the verification result when
    // a certificate was refused.
    const std::string& error() const { return error_; }
    // The failure was a plain HTTP request sent to a TLS server.
    bool plain_http() const { return plain_http_; }

  private:
    explicit tls_connection(ssl_st* ssl) : ssl_(ssl) {}
    tls_state outcome(int result);
    tls_state write_record(byte_view data, std::size_t& sent);
    tls_state gathered_write(byte_view data, std::size_t& sent);
    ssl_st* ssl_;
    bio_st* output_ = nullptr;  // our end of the output buffer (gather_output)
    int fd_ = -1;
    std::string error_;
    bool broken_ = false;  // a fatal error happened: no close_notify may follow
    bool plain_http_ = false;
};
