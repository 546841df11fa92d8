// Who a VASP connection is and what it may cost: its account (by credentials, else by source
// address), the account's connections, its submissions per second and its VASPID.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>

#include "core/log.h"
#include "mm7/accounts/mm7_message_owners.h"
#include "mm7/documents/mm7.h"
#include "mm7/server/mm7_server.h"
#include "mm7/server/mm7_server_internal.h"

namespace {

log_limiter forbidden_log(10, 5);
log_limiter rate_log(10, 5);

// The rate of each account by name; a reload that changes an account's rate starts it afresh.
struct account_rate {
    vasp_rate rate;
    vasp_rate_limiter limiter;
};
std::map<std::string, account_rate, std::less<>> rates;

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

mm7_auth_verdict identify(outgoing_mms_info& info, std::string_view token) {
    const std::vector<std::string> certificate = mm7_client_certificate_names(info.fd);
    const vasp_identity who = vasp_identify(*info.accounts, info.peer_address, token, certificate);
    if (who.result == vasp_match::matched) {
        info.account = who.account;
        return {};
    }
    if (who.account != nullptr) {
        // Good credentials from an address their account does not connect from.
        forbidden_log.printf("Client %d (%s) sent the credentials of VASP %s from another address",
                             info.fd, info.peer_address.c_str(), who.account->name.c_str());
        return {"credentials of another address", MM7_FORBIDDEN};
    }
    if (who.result == vasp_match::no_account) {
        return {"no account", MM7_FORBIDDEN};
    }
    return {!token.empty()        ? "wrong credentials"
            : certificate.empty() ? "no credentials"
                                  : "a certificate no account names",
            MM7_UNAUTHORIZED};
}

}  // namespace

outgoing_mms_info::outgoing_mms_info(server_config& config)
    : config(&config),
      parser(*this, config.max_message_size, config.client_auth),
      accounts(mm7_accounts_current()) {
    parser.set_identify([this](std::string_view token) { return identify(*this, token); });
}

std::string mm7_vasp_label(const outgoing_mms_info& info) {
    if (info.account == nullptr || info.accounts->file.empty()) {
        return {};
    }
    return " vasp=" + info.account->name;
}

bool mm7_vasp_connection_allowed(const vasp_accounts& accounts, std::string_view address,
                                 const std::function<std::size_t(const vasp_account&)>& open) {
    bool any = false;
    for (const vasp_account* a : vasp_accounts_of_address(accounts, address)) {
        if (a->connections == 0 || open(*a) < a->connections) {
            return true;  // an account it may be that has room
        }
        any = true;
    }
    return !any;
}

bool mm7_vasp_submission_allowed(outgoing_mms_info& info, bool mm1_mode) {
    const vasp_account* account = info.account;
    if (account == nullptr) {
        return true;
    }
    const mms_message* message = info.message();
    if (!account->vaspid.empty() && !mm1_mode && message != nullptr &&
        message->vasp_id != account->vaspid) {
        info.fault_code =
            message->vasp_id ? MM7_STATUS_OPERATION_RESTRICTED : MM7_STATUS_VALIDATION_ERROR;
        info.fault_text = message->vasp_id ? "VASPID is not the one of this VASP's account"
                                           : "SenderIdentification has no VASPID";
        log_warning("Client %d, VASP %s: %s", info.fd, account->name.c_str(),
                    info.fault_text.c_str());
        return false;
    }
    if (account->rate.per_second <= 0) {
        return true;
    }
    auto it = rates.find(account->name);
    if (it == rates.end() || it->second.rate.per_second != account->rate.per_second ||
        it->second.rate.burst != account->rate.burst) {
        it = rates
                 .insert_or_assign(account->name,
                                   account_rate{account->rate, vasp_rate_limiter(account->rate)})
                 .first;
    }
    info.retry_after = it->second.limiter.take(steady_seconds());
    if (info.retry_after == 0) {
        return true;
    }
    mm7_count_rate_limited(*account);
    info.fault_code = MM7_STATUS_SERVICE_UNAVAILABLE;
    info.fault_text = "Service unavailable: the VASP's submission rate is exceeded";
    rate_log.printf(
        "Client %d, VASP %s: past its rate of %g submissions a second, retry after "
        "%u s",
        info.fd, account->name.c_str(), account->rate.per_second, info.retry_after);
    return false;
}

void mm7_vasp_record_message(const outgoing_mms_info& info, opt_view message_id) {
    message_owners* owners = mm7_message_owners();
    if (owners == nullptr || info.account == nullptr || info.accounts->file.empty() ||
        !message_id || message_id->empty()) {
        return;  // with one account every report is its own
    }
    owners->record(*message_id, info.account->name, static_cast<std::int64_t>(std::time(nullptr)));
}
