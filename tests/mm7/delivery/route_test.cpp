// Which account a message from the network goes to, and where that account's deliveries go.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "mm7/delivery/mm7_route.h"

namespace {

TEST(DeliveryRoute, ReportsGoToTheSubmittingAccountOnRecordElseTheReceiveRules) {
    const char* file =
        "[[vasp]]\nname = \"acme\"\naddresses = [\"192.0.2.1\"]\ndelivery_url = "
        "\"http://127.0.0.1:8081/a\"\nreceive = { recipients = [\"+49151*\"] }\n"
        "[[vasp]]\nname = \"globex\"\naddresses = [\"192.0.2.2\"]\ndelivery_url_file = \"/url\"\n"
        "receive = { ports = [7], default = true }\n";
    std::vector<std::string> errors;
    const auto secrets = [](const std::string&) { return secret_text{"https://u:p@h/g", ""}; };
    vasp_accounts accounts = *vasp_accounts::parse(file, "vasps.toml", secrets, errors);
    const std::string path = ::testing::TempDir() + "route-test-owners";
    std::remove(path.c_str());
    message_owners owners(path);
    owners.record("m-globex", "globex", 100);
    owners.record("m-gone", "umbrella", 100);  // an account a reload has removed
    const struct {
        std::uint32_t type;
        const char* id;
        const char* to;  // the PDU's recipient (nullptr: none, the indication's "+4915100" then)
        std::uint32_t port;
        const char* account;  // without the default: nullptr
    } rows[] = {
        {MMS_RETRIEVE_CONF, nullptr, "+4915100/TYPE=PLMN", 7, "acme"},
        {MMS_RETRIEVE_CONF, nullptr, nullptr, 1, "acme"},
        {MMS_RETRIEVE_CONF, "m-globex", "+4915100", 1, "acme"},  // records are for reports
        {MMS_DELIVERY_IND, "m-globex", "+4915100", 1, "globex"},
        {MMS_READ_ORIG_IND, "m-globex", "+4915100", 1, "globex"},
        {MMS_DELIVERY_IND, "m-gone", "+4915100", 7, "acme"},
        {MMS_READ_ORIG_IND, "m-none", "+4917", 7, "globex"},
        {MMS_DELIVERY_IND, "m-none", "+4917", 1, nullptr},
    };
    for (const bool with_default : {true, false}) {
        accounts.accounts[1].receive_default = with_default;
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.id ? row.id : "-") + " " + (row.to ? row.to : "-"));
            mms_message message;
            message.message_type = row.type;
            message.message_id = row.id ? std::optional<std::string>(row.id) : std::nullopt;
            message.recipient = row.to ? std::optional<std::string>(row.to) : std::nullopt;
            message.gateway_recipient = "+4915100";
            const vasp_account* to =
                mm7_route_delivery(accounts, &owners, mm7_delivery_keys(message, row.port));
            EXPECT_EQ(to ? to->name : "", row.account ? row.account : with_default ? "globex" : "");
        }
    }
    // Each account's own URL, the one from its file included, with the defaults of --clienturl.
    const url_parts url = mm7_delivery_url(accounts, accounts.accounts[1], server_config{});
    EXPECT_EQ(std::make_tuple(url.host, url.port, url.path, url.user),
              std::make_tuple(std::optional<std::string>("h"), 443u,
                              std::optional<std::string>("g"), std::optional<std::string>("u")));
    std::remove(path.c_str());
}

}  // namespace
