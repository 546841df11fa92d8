// The rules of the accounts: addresses, credentials, routing of received messages, rates.
#include "mm7/accounts/mm7_accounts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/config.h"
#include "core/string_utils.h"

namespace {

bool bits_equal(const std::uint8_t* a, const std::uint8_t* b, unsigned bits) {
    const unsigned whole = bits / 8, rest = bits % 8;
    if (std::memcmp(a, b, whole) != 0) {
        return false;
    }
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

// A numeric address as bytes; IPv4-mapped IPv6 addresses come out as IPv4.
std::optional<address_range> numeric_address(std::string_view text) {
    const std::string copy(text);
    address_range a;
    if (inet_pton(AF_INET, copy.c_str(), a.bytes.data()) == 1) {
        a.prefix = 32;
        return a;
    }
    if (inet_pton(AF_INET6, copy.c_str(), a.bytes.data()) != 1) {
        return std::nullopt;
    }
    static constexpr std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(a.bytes.data(), mapped, sizeof mapped) == 0) {
        std::memmove(a.bytes.data(), a.bytes.data() + 12, 4);
        std::fill(a.bytes.begin() + 4, a.bytes.end(), 0);
        a.prefix = 32;
        return a;
    }
    a.v6 = true;
    a.prefix = 128;
    return a;
}

}  // namespace

std::optional<address_range> address_range::parse(std::string_view text) {
    if (text == "*") {
        address_range any;
        any.any_family = true;
        return any;
    }
    std::string_view host = text;
    std::optional<unsigned> prefix;
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        host = text.substr(0, slash);
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        prefix = static_cast<unsigned>(std::stoul(std::string(digits)));
    }
    // "10.1.*.*": the fixed octets, then only wildcards.
    unsigned wild = 0;
    std::string written(host);
    if (!prefix && host.find('*') != std::string_view::npos) {
        std::string_view rest = host;
        while (rest.size() >= 2 && rest.substr(rest.size() - 2) == ".*") {
            rest.remove_suffix(2);
            ++wild;
        }
        if (rest.find('*') != std::string_view::npos || wild == 0 ||
            std::count(rest.begin(), rest.end(), '.') != static_cast<long>(3 - wild)) {
            return std::nullopt;
        }
        written = std::string(rest);
        for (unsigned i = 0; i < wild; ++i) {
            written += ".0";
        }
        prefix = 32 - 8 * wild;
    }
    auto range = numeric_address(written);
    if (!range || (range->v6 && host.find(':') == std::string_view::npos)) {
        return std::nullopt;
    }
    if (prefix) {
        if (*prefix > (range->v6 ? 128u : 32u)) {
            return std::nullopt;
        }
        range->prefix = *prefix;
    }
    return range;
}

bool address_range::contains(std::string_view address) const {
    const auto peer = numeric_address(address);
    return peer && contains(*peer);
}

bool address_range::contains(const address_range& peer) const {
    return any_family || (peer.v6 == v6 && bits_equal(peer.bytes.data(), bytes.data(), prefix));
}

namespace {

std::string_view without_type(std::string_view recipient) {
    if (const auto slash = recipient.find("/TYPE="); slash != std::string_view::npos) {
        return recipient.substr(0, slash);
    }
    return recipient;
}

// '*' matches any run of characters, however long; everything else itself.
bool glob_matches(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

bool number_pattern::matches(std::string_view recipient) const {
    return glob_matches(text, without_type(recipient));
}

int number_pattern::specificity() const {
    const auto fixed =
        static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) { return c != '*'; }));
    return text.find('*') == std::string::npos ? 1'000'000 + fixed : fixed;
}

vasp_accounts vasp_accounts::implicit(const server_config& config) {
    vasp_account one;
    one.name = "default";
    // As ever, the one VASP connects from --clientip exactly.
    one.addresses.push_back(address_range::parse(config.client_ip).value_or(address_range{}));
    if (one.addresses.front().prefix == 0 && !one.addresses.front().any_family) {
        one.addresses.front().prefix = 32;  // an unusable --clientip matches 0.0.0.0 only
    }
    one.basic_token = config.client_auth;
    one.delivery_url = config.client_url;
    one.receive_default = true;
    vasp_accounts accounts;
    accounts.accounts.push_back(std::move(one));
    return accounts;
}

const vasp_account* vasp_accounts::find(std::string_view name) const {
    const auto it = std::find_if(accounts.begin(), accounts.end(),
                                 [&](const vasp_account& a) { return a.name == name; });
    return it == accounts.end() ? nullptr : &*it;
}

namespace {

// peer: nothing when the address is no numeric address at all (only an account without
// addresses takes it).
bool from_address(const vasp_account& account, const std::optional<address_range>& peer) {
    return account.addresses.empty() ||
           (peer && std::any_of(account.addresses.begin(), account.addresses.end(),
                                [&](const address_range& r) { return r.contains(*peer); }));
}

}  // namespace

bool vasp_address_allowed(const vasp_accounts& accounts, std::string_view address) {
    const auto peer = numeric_address(address);
    return std::any_of(accounts.accounts.begin(), accounts.accounts.end(),
                       [&](const vasp_account& a) { return from_address(a, peer); });
}

namespace {

// Whether a certificate's subject or one of its alternative names is the one an account asks for.
bool certificate_names(std::span<const std::string> certificate, std::string_view wanted) {
    return std::any_of(certificate.begin(), certificate.end(), [&](const std::string& name) {
        const auto colon = name.find(':');
        return name == wanted ||
               (colon != std::string::npos && name.find('=') == std::string::npos &&
                std::string_view(name).substr(colon + 1) == wanted);
    });
}

}  // namespace

vasp_identity vasp_identify(const vasp_accounts& accounts, std::string_view text_address,
                            std::string_view basic_token,
                            std::span<const std::string> certificate) {
    const auto address = numeric_address(text_address);
    if (!basic_token.empty()) {
        // Every token is compared, so the time taken does not tell which one came near.
        const vasp_account* owner = nullptr;
        for (const vasp_account& a : accounts.accounts) {
            if (!a.basic_token.empty() && equal_in_constant_time(basic_token, a.basic_token) &&
                owner == nullptr) {
                owner = &a;
            }
        }
        if (owner != nullptr && from_address(*owner, address) &&
            (owner->client_cert.empty() || certificate_names(certificate, owner->client_cert))) {
            return {vasp_match::matched, owner};
        }
        if (owner != nullptr) {
            return {vasp_match::wrong_credentials, owner};
        }
    }
    bool asked = false;
    for (const vasp_account& a : accounts.accounts) {
        if (!from_address(a, address)) {
            continue;
        }
        if (a.basic_token.empty() &&
            (a.client_cert.empty() || certificate_names(certificate, a.client_cert))) {
            return {vasp_match::matched, &a};
        }
        asked = true;
    }
    return {asked || !basic_token.empty() ? vasp_match::wrong_credentials : vasp_match::no_account,
            nullptr};
}

const vasp_account* vasp_route_received(const vasp_accounts& accounts, std::string_view recipient,
                                        std::uint32_t port) {
    const vasp_account* best = nullptr;
    int best_specificity = -1;
    for (const vasp_account& a : accounts.accounts) {
        for (const number_pattern& p : a.recipients) {
            if (p.specificity() > best_specificity && p.matches(recipient)) {
                best = &a;
                best_specificity = p.specificity();
            }
        }
    }
    if (best != nullptr) {
        return best;
    }
    for (const vasp_account& a : accounts.accounts) {
        if (std::find(a.ports.begin(), a.ports.end(), port) != a.ports.end()) {
            return &a;
        }
    }
    for (const vasp_account& a : accounts.accounts) {
        if (a.receive_default) {
            return &a;
        }
    }
    return nullptr;
}

std::uint32_t vasp_rate_limiter::take(double now) {
    if (rate_.per_second <= 0) {
        return 0;
    }
    if (last_ >= 0 && now > last_) {
        tokens_ = std::min(rate_.burst, tokens_ + (now - last_) * rate_.per_second);
    }
    last_ = std::max(last_, now);
    if (tokens_ >= 1) {
        tokens_ -= 1;
        return 0;
    }
    return static_cast<std::uint32_t>(std::max(1.0, std::ceil((1 - tokens_) / rate_.per_second)));
}

namespace {

std::shared_ptr<const vasp_accounts>& accounts_in_force() {
    static std::shared_ptr<const vasp_accounts> accounts = std::make_shared<vasp_accounts>();
    return accounts;
}

}  // namespace

std::shared_ptr<const vasp_accounts> mm7_accounts_current() {
    return accounts_in_force();
}

void mm7_accounts_install(std::shared_ptr<const vasp_accounts> accounts) {
    accounts_in_force() = std::move(accounts);
}
