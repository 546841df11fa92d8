#include "app/mm7_accounts_setup.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/mainloop.h"
#include "core/string_utils.h"
#include "core/tls_client.h"
#include "core/trusted_file.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/accounts/mm7_message_owners.h"

namespace {

// A password file holds one line, its line end not part of the password.
secret_text password_of(const std::string& path) {
    secret_file file = read_secret_file(path, 4096);
    if (!file.text) {
        return {std::nullopt, file.problem};
    }
    std::string& text = *file.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (text.empty() || text.find_first_of("\r\n") != std::string::npos) {
        return {std::nullopt, "does not hold one line"};
    }
    return {std::move(text), ""};
}

// What the reader leaves to the daemon, for each account: its delivery host resolved now (a
// delivery never waits for a resolver) and the TLS context of its own TLS files.  Problems go to
// errors as the reader's do.
void prepare_deliveries(vasp_accounts& accounts, std::vector<std::string>& errors) {
    for (vasp_account& account : accounts.accounts) {
        const std::string where = concat({accounts.file, ":", std::to_string(account.line), ": "});
        url_parts url;
        url_parse(url, account.delivery_url);  // the reader has checked it
        url_apply_defaults(url);
        std::string error;
        if (const auto address = resolve_ipv4(url.host.value_or(""), error)) {
            account.delivery_address = *address;
        } else {
            errors.push_back(concat(
                {where, account.delivery_url_file.empty() ? "delivery_url" : "delivery_url_file",
                 ": cannot resolve host ", url.host.value_or(""), ": ", error}));
        }
        if (url.scheme != "https" ||
            (account.delivery_ca_file.empty() && account.delivery_cert_file.empty())) {
            continue;
        }
        account.delivery_tls = tls_client_context(
            account.delivery_ca_file, account.delivery_cert_file, account.delivery_key_file, error);
        if (!account.delivery_tls) {
            errors.push_back(concat(
                {where,
                 account.delivery_ca_file.empty() ? "delivery_cert_file" : "delivery_ca_file",
                 ": cannot be used: ", error}));
        }
    }
}

// At start-up a fault ends the process (its lines also go to stderr); on a reload it does not.
std::shared_ptr<const vasp_accounts> read_accounts(const server_config& config, bool starting) {
    if (config.vasp_file.empty()) {
        return std::make_shared<vasp_accounts>(vasp_accounts::implicit(config));
    }
    std::vector<std::string> errors;
    auto accounts = vasp_accounts::load(config.vasp_file, password_of, errors);
    if (accounts) {
        prepare_deliveries(*accounts, errors);
    }
    for (const std::string& line : errors) {
        if (starting) {
            log_fatal("%s", log_escape(line).c_str());
        } else {
            log_error("%s", log_escape(line).c_str());
        }
    }
    if (!accounts || !errors.empty()) {
        return nullptr;
    }
    return std::make_shared<vasp_accounts>(std::move(*accounts));
}

std::int64_t wall_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

bool mm7_accounts_start(const server_config& config) {
    auto accounts = read_accounts(config, true);
    if (!accounts) {
        return false;
    }
    if (!config.vasp_file.empty()) {
        log_info("%zu VASP accounts from %s", accounts->accounts.size(),
                 log_escape(config.vasp_file).c_str());
    }
    mm7_accounts_install(std::move(accounts));
    return true;
}

bool mm7_accounts_reload(const server_config& config) {
    if (config.vasp_file.empty()) {
        return true;
    }
    auto accounts = read_accounts(config, false);
    if (!accounts) {
        log_error("VASP accounts of %s not reloaded; the accounts in force stay",
                  log_escape(config.vasp_file).c_str());
        return false;
    }
    log_info("%zu VASP accounts reloaded from %s", accounts->accounts.size(),
             log_escape(config.vasp_file).c_str());
    mm7_accounts_install(std::move(accounts));
    return true;
}

void mm7_message_owners_start(const server_config& config) {
    const std::int64_t max_age = std::int64_t{config.storage_age} * 3600;
    auto owners = std::make_unique<message_owners>(config.workdir + "message-owners");
    owners->load(wall_now(), max_age);
    mm7_message_owners_install(std::move(owners));
    mainloop_add_tick([max_age] {
        static std::int64_t last = 0;
        const std::int64_t now = wall_now();
        if (now - last >= 60) {
            last = now;
            mm7_message_owners()->expire(now, max_age);
        }
        return 0;
    });
}
