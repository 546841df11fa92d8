// Which VASP account a message from the network goes to, and where that account's deliveries
// are sent.  A report (delivery or read report) goes back to the account whose submission it is
// about, when that is on record; everything else, and a report with no record, follows the
// accounts' receive rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/config.h"
#include "mm7/accounts/mm7_accounts.h"
#include "mm7/accounts/mm7_message_owners.h"
#include "mm7/mms_message.h"

// What routing looks at in a message.
struct delivery_keys {
    std::string recipient;  // as the MM7 document names it: the PDU's, else the indication's
    std::uint32_t port = 0;
    std::optional<std::string> report_of;  // a report's Message-ID
};
delivery_keys mm7_delivery_keys(const mms_message& message, std::uint32_t port);

// The account the message goes to; nullptr when none takes it.  owners may be null (no records).
const vasp_account* mm7_route_delivery(const vasp_accounts& accounts, const message_owners* owners,
                                       const delivery_keys& keys);

// Where the account's deliveries go: the client URL of the single-VASP options as start-up
// checked it, or the account's own URL with the same defaults (http, port 80, empty path).
url_parts mm7_delivery_url(const vasp_accounts& accounts, const vasp_account& account,
                           const server_config& config);
