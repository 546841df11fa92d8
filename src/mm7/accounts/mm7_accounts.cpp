// The rules of the accounts: addresses, credentials, routing of received messages, rates.
#include "mm7/accounts/mm7_accounts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "core/base64.h"
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

namespace {

// A range as a hash key: its family, its prefix length and the bits of that prefix (the rest 0).
struct range_key {
    std::array<std::uint8_t, 16> bytes{};
    unsigned prefix = 0;
    bool v6 = false;

    bool operator==(const range_key&) const = default;
};

struct range_key_hash {
    std::size_t operator()(const range_key& key) const noexcept {
        const std::string_view bytes(reinterpret_cast<const char*>(key.bytes.data()),
                                     key.bytes.size());
        return std::hash<std::string_view>{}(bytes) ^ (key.prefix << 1 | (key.v6 ? 1u : 0u));
    }
};

range_key key_of(const address_range& address, unsigned prefix) {
    range_key key;
    key.v6 = address.v6;
    key.prefix = prefix;
    const unsigned whole = prefix / 8, rest = prefix % 8;
    std::copy_n(address.bytes.begin(), whole, key.bytes.begin());
    if (rest != 0) {
        key.bytes[whole] = address.bytes[whole] & static_cast<std::uint8_t>(0xff << (8 - rest));
    }
    return key;
}

struct text_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

template <typename T>
using text_map = std::unordered_map<std::string, T, text_hash, std::equal_to<>>;

// The user of a Basic token ("user:password" in base64); nothing when it names none.
std::optional<std::string> user_of(std::string_view token) {
    const auto pair = base64_decode(token);
    if (!pair) {
        return std::nullopt;
    }
    const auto colon = std::find(pair->begin(), pair->end(), ':');
    if (colon == pair->end()) {
        return std::nullopt;
    }
    return std::string(pair->begin(), colon);
}

}  // namespace

// Positions in the account list, ascending within each list.
struct vasp_account_index {
    text_map<std::uint32_t> by_name;  // the first account of each name
    text_map<std::vector<std::uint32_t>> by_user;
    std::vector<std::uint32_t> unkeyed;            // tokens that name no user
    std::vector<std::uint32_t> without_addresses;  // taken from any address, numeric or not
    std::vector<std::uint32_t> any_address;        // "*": any numeric address
    std::unordered_map<range_key, std::vector<std::uint32_t>, range_key_hash> ranges;
    std::vector<unsigned> v4_prefixes, v6_prefixes;  // the prefix lengths ranges have

    explicit vasp_account_index(const std::vector<vasp_account>& accounts) {
        for (std::uint32_t i = 0; i < accounts.size(); ++i) {
            const vasp_account& a = accounts[i];
            by_name.emplace(a.name, i);
            if (!a.basic_token.empty()) {
                if (auto user = user_of(a.basic_token)) {
                    by_user[*user].push_back(i);
                } else {
                    unkeyed.push_back(i);
                }
            }
            if (a.addresses.empty()) {
                without_addresses.push_back(i);
            }
            for (const address_range& r : a.addresses) {
                if (r.any_family) {
                    any_address.push_back(i);
                    continue;
                }
                auto& prefixes = r.v6 ? v6_prefixes : v4_prefixes;
                if (std::find(prefixes.begin(), prefixes.end(), r.prefix) == prefixes.end()) {
                    prefixes.push_back(r.prefix);
                }
                auto& owners = ranges[key_of(r, r.prefix)];
                if (owners.empty() || owners.back() != i) {
                    owners.push_back(i);
                }
            }
        }
    }

    // The accounts whose addresses take peer (nothing: an address that is not numeric).
    std::vector<std::uint32_t> of_address(const std::optional<address_range>& peer) const {
        std::vector<std::uint32_t> found = without_addresses;
        if (peer) {
            found.insert(found.end(), any_address.begin(), any_address.end());
            for (unsigned prefix : peer->v6 ? v6_prefixes : v4_prefixes) {
                if (const auto it = ranges.find(key_of(*peer, prefix)); it != ranges.end()) {
                    found.insert(found.end(), it->second.begin(), it->second.end());
                }
            }
            std::sort(found.begin(), found.end());
            found.erase(std::unique(found.begin(), found.end()), found.end());
        }
        return found;
    }
};

namespace {

// The index of a set, or, for a set without one, an index built for the moment.
class index_of {
  public:
    explicit index_of(const vasp_accounts& accounts)
        : index_(accounts.index ? accounts.index
                                : std::make_shared<vasp_account_index>(accounts.accounts)) {}
    const vasp_account_index* operator->() const { return index_.get(); }
    const vasp_account_index& operator*() const { return *index_; }

  private:
    std::shared_ptr<const vasp_account_index> index_;
};

}  // namespace

void vasp_accounts::reindex() {
    index = std::make_shared<vasp_account_index>(accounts);
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
    accounts.reindex();
    return accounts;
}

const vasp_account* vasp_accounts::find(std::string_view name) const {
    const index_of index(*this);
    const auto it = index->by_name.find(name);
    return it == index->by_name.end() ? nullptr : &accounts[it->second];
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

std::vector<const vasp_account*> vasp_accounts_of_address(const vasp_accounts& accounts,
                                                          std::string_view address) {
    const index_of index(accounts);
    std::vector<const vasp_account*> found;
    for (std::uint32_t i : index->of_address(numeric_address(address))) {
        found.push_back(&accounts.accounts[i]);
    }
    return found;
}

bool vasp_address_allowed(const vasp_accounts& accounts, std::string_view address) {
    const index_of index(accounts);
    return !index->of_address(numeric_address(address)).empty();
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

// The first account whose credentials the token is.  Only the accounts of the token's user are
// compared, each whole, so the time taken tells whether the user exists and nothing of how near
// the password came.
const vasp_account* token_owner(const vasp_accounts& accounts, const vasp_account_index& index,
                                std::string_view token) {
    const vasp_account* owner = nullptr;
    const auto compare = [&](std::span<const std::uint32_t> positions) {
        for (std::uint32_t i : positions) {
            const vasp_account& a = accounts.accounts[i];
            if (equal_in_constant_time(token, a.basic_token) && (owner == nullptr || &a < owner)) {
                owner = &a;
            }
        }
    };
    compare(index.unkeyed);
    if (const auto user = user_of(token)) {
        if (const auto it = index.by_user.find(*user); it != index.by_user.end()) {
            compare(it->second);
        }
    }
    return owner;
}

}  // namespace

vasp_identity vasp_identify(const vasp_accounts& accounts, std::string_view text_address,
                            std::string_view basic_token,
                            std::span<const std::string> certificate) {
    const index_of index(accounts);
    const auto address = numeric_address(text_address);
    if (!basic_token.empty()) {
        const vasp_account* owner = token_owner(accounts, *index, basic_token);
        if (owner != nullptr && from_address(*owner, address) &&
            (owner->client_cert.empty() || certificate_names(certificate, owner->client_cert))) {
            return {vasp_match::matched, owner};
        }
        if (owner != nullptr) {
            return {vasp_match::wrong_credentials, owner};
        }
    }
    bool asked = false;
    for (std::uint32_t i : index->of_address(address)) {
        const vasp_account& a = accounts.accounts[i];
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
