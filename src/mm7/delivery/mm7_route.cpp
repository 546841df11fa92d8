// Routing of what the network sends to the VASP accounts.
#include "mm7/delivery/mm7_route.h"

delivery_keys mm7_delivery_keys(const mms_message& message, std::uint32_t port) {
    delivery_keys keys;
    keys.recipient = message.recipient.value_or(message.gateway_recipient.value_or(""));
    keys.port = port;
    if (message.message_type == MMS_DELIVERY_IND || message.message_type == MMS_READ_ORIG_IND) {
        keys.report_of = message.message_id;
    }
    return keys;
}

const vasp_account* mm7_route_delivery(const vasp_accounts& accounts, const message_owners* owners,
                                       const delivery_keys& keys) {
    if (keys.report_of && owners != nullptr) {
        // An owner that a reload has removed no longer takes anything.
        if (const auto owner = owners->owner(*keys.report_of)) {
            if (const vasp_account* account = accounts.find(*owner)) {
                return account;
            }
        }
    }
    return vasp_route_received(accounts, keys.recipient, keys.port);
}

url_parts mm7_delivery_url(const vasp_accounts& accounts, const vasp_account& account,
                           const server_config& config) {
    if (accounts.file.empty()) {
        return config.client_url_parts;
    }
    url_parts url;
    url_parse(url, account.delivery_url);  // the account file has checked it
    url_apply_defaults(url);
    return url;
}
