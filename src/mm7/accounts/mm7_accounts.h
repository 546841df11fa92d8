// VASP accounts: who a VASP connection belongs to, which received messages and reports go to
// which VASP, and what each VASP may cost (submissions per second, connections).
//
// The accounts come from --vaspfile (a TOML file of [[vasp]] tables) or, without it, form one
// implicit account out of the single-VASP options.  This room holds the records, the file's
// reader and the rules; it does no socket I/O.  Used by the server and the delivery side.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct server_config;
class tls_context;

// An address a VASP may connect from: one address or a CIDR range, IPv4 or IPv6.  "*" (any
// address) and IPv4 texts ending in "*" octets ("10.1.*.*" = 10.1.0.0/16) are ranges too.
struct address_range {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    unsigned prefix = 0;      // leading bits that must match
    bool any_family = false;  // "*": every IPv4 and IPv6 address

    static std::optional<address_range> parse(std::string_view text);
    // address: a numeric IPv4 or IPv6 text (an IPv4-mapped IPv6 address counts as IPv4).
    bool contains(std::string_view address) const;
    // peer: one address as parse() gives it.
    bool contains(const address_range& peer) const;
};

// A number pattern of a receive rule: an exact number or short code, or a pattern in which '*'
// stands for any run of characters.  A recipient is compared without its "/TYPE=..." suffix.
struct number_pattern {
    std::string text;

    bool matches(std::string_view recipient) const;
    // Higher is more specific: an exact number beats every pattern; among patterns, the one with
    // more fixed characters wins.
    int specificity() const;
};

struct vasp_rate {
    double per_second = 0;  // 0: no limit
    double burst = 0;       // submissions that may come at once; at least 1 when limited
};

struct vasp_account {
    std::string name;
    int line = 0;  // where its table starts in the file (0: the implicit account)
    std::vector<address_range> addresses;  // empty: any address
    std::string user;
    std::string password_file;
    std::string basic_token;  // base64 of "user:password"; empty: no credentials asked for
    std::string client_cert;  // certificate subject or SAN to match
    std::string vaspid;       // SenderIdentification/VASPID the submissions must carry
    // As written, or as read from delivery_url_file when the file is loaded.
    std::string delivery_url;
    std::string delivery_url_file;  // the delivery URL (with its credentials) read from a file
    // The TLS of its deliveries to an https delivery URL: the CAs its endpoint's certificate must
    // chain to, and the certificate (with its key) presented when the endpoint asks for one.
    // All empty: --clientcafile, --clientcert and --clientkey serve it.
    std::string delivery_ca_file;
    std::string delivery_cert_file;
    std::string delivery_key_file;
    // Made when the file is read (start-up, reload) by the daemon, not by the reader: the
    // delivery URL's host as an IPv4 address, and the TLS context of the files above (null:
    // the client options' context).
    std::string delivery_address;
    std::shared_ptr<tls_context> delivery_tls;
    std::vector<number_pattern> recipients;
    std::vector<std::uint32_t> ports;
    bool receive_default = false;
    vasp_rate rate;
    std::uint32_t connections = 0;  // 0: no limit of its own
};

// A secret file's one line, or the reason it is not usable ("is not of mode 0600 ...").
struct secret_text {
    std::optional<std::string> text;
    std::string problem;
};
using secret_reader = std::function<secret_text(const std::string& path)>;

// Look-up tables over a set of accounts (by user, by address, by name), so that a request is
// told apart from a thousand accounts without walking them.
struct vasp_account_index;

struct vasp_accounts {
    std::vector<vasp_account> accounts;
    std::string file;  // empty: the one implicit account of the single-VASP options
    // Built by parse, load and implicit; a set put together otherwise has none, and its look-ups
    // build one for the moment.  Call reindex after changing the names, addresses or credentials
    // of an indexed set.
    std::shared_ptr<const vasp_account_index> index;

    void reindex();

    // Reads and checks an account file.  On a fault, nothing, with one line for each problem in
    // errors: "<file>:<line>: <key>: <what>".
    static std::optional<vasp_accounts> load(const std::string& path, const secret_reader& secrets,
                                             std::vector<std::string>& errors);
    // The same for the text of such a file (path names it in the lines).
    static std::optional<vasp_accounts> parse(std::string_view text, const std::string& path,
                                              const secret_reader& secrets,
                                              std::vector<std::string>& errors);
    // The implicit account: --clientip (0.0.0.0: any address), --clientauthfile, --clienturl.
    static vasp_accounts implicit(const server_config& config);

    const vasp_account* find(std::string_view name) const;
};

enum class vasp_match { matched, no_account, wrong_credentials };

struct vasp_identity {
    vasp_match result = vasp_match::no_account;
    const vasp_account* account = nullptr;
};

// The accounts a connection from address may belong to by their addresses alone (those without
// addresses included), in file order.
std::vector<const vasp_account*> vasp_accounts_of_address(const vasp_accounts& accounts,
                                                          std::string_view address);
// Whether any account may connect from address (asked at accept, before any credentials).
bool vasp_address_allowed(const vasp_accounts& accounts, std::string_view address);

// Who a request is: by its Basic token (the text after "Basic "; empty: none sent), else by the
// certificate its TLS connection presented (`certificate`: the subject, then the subject
// alternative names as "DNS:name", "IP:address", ...; the account's client_cert names one of
// them, with or without that prefix), else by its source address, when the account of that
// address asks for neither.  The account found must list the source address.  A token that names
// no account, or an address whose accounts all ask for credentials the request lacks, is
// wrong_credentials.
vasp_identity vasp_identify(const vasp_accounts& accounts, std::string_view address,
                            std::string_view basic_token,
                            std::span<const std::string> certificate = {});

// The account a received message belongs to: the most specific recipient pattern (then file
// order), else the account that claims its modem port, else the default account; nullptr when
// none takes it.
const vasp_account* vasp_route_received(const vasp_accounts& accounts, std::string_view recipient,
                                        std::uint32_t port);

// Submissions per second with a burst, per account (a token bucket).
class vasp_rate_limiter {
  public:
    explicit vasp_rate_limiter(vasp_rate rate) : rate_(rate), tokens_(rate.burst) {}
    // now: seconds on a steady clock.  0 when the submission may go; else the seconds after which
    // one will be allowed (at least 1), for a Retry-After.
    std::uint32_t take(double now);

  private:
    vasp_rate rate_;
    double tokens_;
    double last_ = -1;
};

// The accounts in force.  A connection or delivery keeps the pointer it started with, so a reload
// (which installs a new set whole) never changes the account of work under way.
std::shared_ptr<const vasp_accounts> mm7_accounts_current();
void mm7_accounts_install(std::shared_ptr<const vasp_accounts> accounts);
