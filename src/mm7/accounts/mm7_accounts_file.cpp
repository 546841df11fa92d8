// The account file: [[vasp]] tables in TOML, read with toml++ and checked whole before use.
#include <arpa/inet.h>

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <span>

#include "core/base64.h"
#include "core/config.h"
#include "core/string_utils.h"
#include "mm7/accounts/mm7_accounts.h"

namespace {

// Collects the problems of one file, each as "<file>:<line>: <key>: <what>".
class file_problems {
  public:
    file_problems(const std::string& file, std::vector<std::string>& lines)
        : file_(file), lines_(lines) {}

    void add(const toml::source_region& where, std::string_view key, std::string_view what) {
        lines_.push_back(
            concat({file_, ":", std::to_string(where.begin.line), ": ", key, ": ", what}));
    }
    bool any() const { return lines_.size() > first_; }

  private:
    const std::string& file_;
    std::vector<std::string>& lines_;
    std::size_t first_ = lines_.size();
};

constexpr std::string_view account_keys[] = {"name",
                                             "addresses",
                                             "user",
                                             "password_file",
                                             "client_cert",
                                             "vaspid",
                                             "delivery_url",
                                             "delivery_url_file",
                                             "delivery_ca_file",
                                             "delivery_cert_file",
                                             "delivery_key_file",
                                             "receive",
                                             "rate",
                                             "connections"};
constexpr std::string_view receive_keys[] = {"recipients", "ports", "default"};
constexpr std::string_view rate_keys[] = {"per_second", "burst"};

bool known(std::span<const std::string_view> keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

void check_keys(const toml::table& table, std::span<const std::string_view> keys,
                std::string_view prefix, file_problems& problems) {
    for (const auto& [key, value] : table) {
        if (!known(keys, key.str())) {
            problems.add(key.source(), concat({prefix, key.str()}), "unknown key");
        }
    }
}

// A text made of letters, digits and ".-_": account names go into log lines and metric labels.
bool plain_name(std::string_view name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
    });
}

bool printable(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x21 || c == 0x7f; });
}

// Reads a text value; false (with a problem) when the key holds something else.
bool text_of(const toml::table& table, std::string_view key, std::string& out,
             file_problems& problems) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        return true;
    }
    if (const auto* text = node->as_string()) {
        out = text->get();
        return true;
    }
    problems.add(node->source(), key, "must be a text");
    return false;
}

std::optional<std::int64_t> whole_number(const toml::node& node) {
    if (const auto* number = node.as_integer()) {
        return number->get();
    }
    return std::nullopt;
}

std::optional<double> any_number(const toml::node& node) {
    if (const auto* number = node.as_integer()) {
        return static_cast<double>(number->get());
    }
    if (const auto* number = node.as_floating_point()) {
        return number->get();
    }
    return std::nullopt;
}

// Each element of an array of texts, with where it stands; problems for anything else.
std::vector<std::pair<std::string, toml::source_region>> texts_of(const toml::node& node,
                                                                  std::string_view key,
                                                                  file_problems& problems) {
    std::vector<std::pair<std::string, toml::source_region>> texts;
    const toml::array* list = node.as_array();
    if (list == nullptr) {
        problems.add(node.source(), key, "must be a list of texts");
        return texts;
    }
    for (const toml::node& element : *list) {
        if (const auto* text = element.as_string()) {
            texts.emplace_back(text->get(), element.source());
        } else {
            problems.add(element.source(), key, "must be a list of texts");
        }
    }
    return texts;
}

void read_receive(const toml::node& node, vasp_account& account, file_problems& problems) {
    const toml::table* receive = node.as_table();
    if (receive == nullptr) {
        problems.add(node.source(), "receive", "must be a table");
        return;
    }
    check_keys(*receive, receive_keys, "receive.", problems);
    if (const toml::node* recipients = receive->get("recipients")) {
        for (auto& [text, where] : texts_of(*recipients, "receive.recipients", problems)) {
            if (text.empty() || text.size() > 64 || !printable(text)) {
                problems.add(where, "receive.recipients",
                             concat({"\"", log_escape(text), "\" is not a number pattern"}));
            } else {
                account.recipients.push_back({std::move(text)});
            }
        }
    }
    if (const toml::node* ports = receive->get("ports")) {
        const toml::array* list = ports->as_array();
        for (std::size_t i = 0; list != nullptr && i < list->size(); ++i) {
            const auto port = whole_number(*list->get(i));
            if (!port || *port < 0 || *port > 255) {
                problems.add(list->get(i)->source(), "receive.ports",
                             "must be modem port numbers from 0 to 255");
            } else {
                account.ports.push_back(static_cast<std::uint32_t>(*port));
            }
        }
        if (list == nullptr) {
            problems.add(ports->source(), "receive.ports", "must be a list of port numbers");
        }
    }
    if (const toml::node* flag = receive->get("default")) {
        if (const auto* value = flag->as_boolean()) {
            account.receive_default = value->get();
        } else {
            problems.add(flag->source(), "receive.default", "must be true or false");
        }
    }
}

void read_rate(const toml::node& node, vasp_account& account, file_problems& problems) {
    const toml::table* rate = node.as_table();
    if (rate == nullptr) {
        problems.add(node.source(), "rate", "must be a table");
        return;
    }
    check_keys(*rate, rate_keys, "rate.", problems);
    const toml::node* per_second = rate->get("per_second");
    const auto value = per_second != nullptr ? any_number(*per_second) : std::nullopt;
    if (!value || !(*value > 0) || *value > 1e6) {
        problems.add(per_second != nullptr ? per_second->source() : node.source(),
                     "rate.per_second", "must be a number of submissions above 0");
        return;
    }
    account.rate.per_second = *value;
    account.rate.burst = std::max(1.0, std::ceil(*value));
    if (const toml::node* burst = rate->get("burst")) {
        const auto size = whole_number(*burst);
        if (!size || *size < 1 || *size > 1'000'000) {
            problems.add(burst->source(), "rate.burst", "must be a whole number from 1 on");
        } else {
            account.rate.burst = static_cast<double>(*size);
        }
    }
}

void read_account(const toml::table& table, const secret_reader& secrets, vasp_account& account,
                  file_problems& problems) {
    account.line = static_cast<int>(table.source().begin.line);
    check_keys(table, account_keys, "", problems);
    text_of(table, "name", account.name, problems);
    if (!plain_name(account.name)) {
        problems.add(table.source(), "name",
                     "each account needs a name of letters, digits, '.', '-' or '_'");
    }
    if (const toml::node* addresses = table.get("addresses")) {
        for (const auto& [text, where] : texts_of(*addresses, "addresses", problems)) {
            if (auto range = address_range::parse(text)) {
                account.addresses.push_back(*range);
            } else {
                problems.add(where, "addresses",
                             concat({"\"", log_escape(text),
                                     "\" is not an IPv4 or IPv6 address or CIDR range"}));
            }
        }
    }
    text_of(table, "user", account.user, problems);
    text_of(table, "client_cert", account.client_cert, problems);
    text_of(table, "vaspid", account.vaspid, problems);
    text_of(table, "delivery_url", account.delivery_url, problems);
    text_of(table, "delivery_url_file", account.delivery_url_file, problems);
    text_of(table, "delivery_ca_file", account.delivery_ca_file, problems);
    text_of(table, "delivery_cert_file", account.delivery_cert_file, problems);
    text_of(table, "delivery_key_file", account.delivery_key_file, problems);
    if (text_of(table, "password_file", account.password_file, problems) &&
        !account.password_file.empty()) {
        const secret_text password = secrets(account.password_file);
        if (!password.text) {
            problems.add(table.get("password_file")->source(), "password_file",
                         concat({account.password_file, " ", password.problem}));
        } else {
            const std::string pair = concat({account.user, ":", *password.text});
            std::string token = base64_encode(as_bytes(pair)).value_or("");
            std::erase_if(token, [](char c) { return c == '\r' || c == '\n'; });
            account.basic_token = std::move(token);
        }
    }
    if (account.user.empty() != account.password_file.empty() ||
        account.user.find(':') != std::string::npos) {
        problems.add(table.source(), "user",
                     "user and password_file go together, and a user has no ':'");
    }
    if (account.delivery_url.empty() == account.delivery_url_file.empty()) {
        problems.add(table.source(), "delivery_url",
                     "each account needs one of delivery_url and delivery_url_file");
    } else {
        // A URL in a file of its own holds credentials: read now, and checked like one written
        // out (never quoted in a problem).
        const std::string_view key =
            account.delivery_url.empty() ? "delivery_url_file" : "delivery_url";
        const secret_text url = account.delivery_url_file.empty()
                                    ? secret_text{account.delivery_url, ""}
                                    : secrets(account.delivery_url_file);
        account.delivery_url = url.text.value_or("");
        url_parts parts;
        if (!url.text) {
            problems.add(table.get(key)->source(), key,
                         concat({account.delivery_url_file, " ", url.problem}));
        } else if (url_parse(parts, account.delivery_url) != 0 || !parts.host ||
                   (parts.scheme != "http" && parts.scheme != "https")) {
            problems.add(table.get(key)->source(), key, "is not an http:// or https:// URL");
        } else if (parts.scheme != "https") {
            for (const char* tls_key :
                 {"delivery_ca_file", "delivery_cert_file", "delivery_key_file"}) {
                if (const toml::node* node = table.get(tls_key)) {
                    problems.add(node->source(), tls_key, "serves an https delivery URL only");
                }
            }
        }
    }
    if (account.delivery_cert_file.empty() != account.delivery_key_file.empty()) {
        problems.add(table.source(), "delivery_cert_file",
                     "delivery_cert_file and delivery_key_file go together");
    }
    if (account.addresses.empty() && account.basic_token.empty() && account.client_cert.empty() &&
        !problems.any()) {
        problems.add(table.source(), "addresses",
                     "an account without addresses needs credentials, or anyone could use it");
    }
    if (const toml::node* receive = table.get("receive")) {
        read_receive(*receive, account, problems);
    }
    if (const toml::node* rate = table.get("rate")) {
        read_rate(*rate, account, problems);
    }
    if (const toml::node* connections = table.get("connections")) {
        const auto count = whole_number(*connections);
        if (!count || *count < 1 || *count > 100'000) {
            problems.add(connections->source(), "connections", "must be a whole number from 1 on");
        } else {
            account.connections = static_cast<std::uint32_t>(*count);
        }
    }
}

bool overlap(const address_range& a, const address_range& b) {
    if (a.any_family || b.any_family) {
        return true;
    }
    if (a.v6 != b.v6) {
        return false;
    }
    // The shorter prefix decides: both ranges share it, or they are apart.
    const address_range& wider = a.prefix <= b.prefix ? a : b;
    const address_range& other = a.prefix <= b.prefix ? b : a;
    char text[64] = {};
    inet_ntop(other.v6 ? AF_INET6 : AF_INET, other.bytes.data(), text, sizeof text);
    return wider.contains(text);
}

// Claims two accounts may not share: names, users, recipient patterns, ports, the default,
// and an address from which two accounts without credentials could not be told apart.
void check_claims(const toml::array& tables, const std::vector<vasp_account>& accounts,
                  file_problems& problems) {
    std::map<std::string, std::string> names, users, patterns, ports;
    std::string default_owner;
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const vasp_account& a = accounts[i];
        const toml::source_region& where = tables.get(i)->source();
        const auto claim = [&](std::map<std::string, std::string>& owners, const std::string& what,
                               std::string_view key) {
            const auto [it, fresh] = owners.emplace(what, a.name);
            if (!fresh) {
                problems.add(where, key,
                             concat({"\"", log_escape(what), "\" is already claimed by account ",
                                     it->second}));
            }
        };
        claim(names, a.name, "name");
        if (!a.user.empty()) {
            claim(users, a.user, "user");
        }
        for (const number_pattern& p : a.recipients) {
            claim(patterns, p.text, "receive.recipients");
        }
        for (std::uint32_t port : a.ports) {
            claim(ports, std::to_string(port), "receive.ports");
        }
        if (a.receive_default && !default_owner.empty()) {
            problems.add(where, "receive.default",
                         concat({"account ", default_owner, " is the default already"}));
        } else if (a.receive_default) {
            default_owner = a.name;
        }
        for (std::size_t j = 0; j < i; ++j) {
            const vasp_account& b = accounts[j];
            if (!a.basic_token.empty() || !a.client_cert.empty() || !b.basic_token.empty() ||
                !b.client_cert.empty()) {
                continue;
            }
            for (const address_range& x : a.addresses) {
                if (std::any_of(b.addresses.begin(), b.addresses.end(),
                                [&](const address_range& y) { return overlap(x, y); })) {
                    problems.add(where, "addresses",
                                 concat({"shares addresses with account ", b.name,
                                         ", and neither asks for credentials"}));
                    break;
                }
            }
        }
    }
}

}  // namespace

std::optional<vasp_accounts> vasp_accounts::parse(std::string_view text, const std::string& path,
                                                  const secret_reader& secrets,
                                                  std::vector<std::string>& errors) {
    file_problems problems(path, errors);
    toml::table document;
    try {
        document = toml::parse(text, path);
    } catch (const toml::parse_error& error) {
        problems.add(error.source(), "syntax", error.description());
        return std::nullopt;
    }
    check_keys(document, std::array<std::string_view, 1>{"vasp"}, "", problems);
    const toml::array* tables = document["vasp"].as_array();
    if (tables == nullptr || tables->empty() || !tables->is_array_of_tables()) {
        problems.add(tables != nullptr ? tables->source() : document.source(), "vasp",
                     "the file needs one [[vasp]] table for each account");
        return std::nullopt;
    }
    vasp_accounts result;
    result.file = path;
    for (const toml::node& table : *tables) {
        read_account(*table.as_table(), secrets, result.accounts.emplace_back(), problems);
    }
    check_claims(*tables, result.accounts, problems);
    if (problems.any()) {
        return std::nullopt;
    }
    result.reindex();
    return result;
}

std::optional<vasp_accounts> vasp_accounts::load(const std::string& path,
                                                 const secret_reader& secrets,
                                                 std::vector<std::string>& errors) {
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        errors.push_back(concat({path, ":0: vasp: the file cannot be read"}));
        return std::nullopt;
    }
    return parse(text, path, secrets, errors);
}
