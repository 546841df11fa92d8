// Which account a message from the network goes to.
#include <gtest/gtest.h>

#include <cstdio>

#include "mm7/delivery/mm7_route.h"

namespace {

TEST(DeliveryRoute, ReportsGoToTheSubmittingAccountOnRecordElseTheReceiveRules) {
    std::vector<std::string> errors;
    const vasp_accounts accounts = *vasp_accounts::parse(
        "[[vasp]]\nname = \"acme\"\naddresses = [\"192.0.2.1\"]\ndelivery_url = \"http://a/\"\n"
        "receive = { recipients = [\"+49151*\"] }\n[[vasp]]\nname = \"globex\"\naddresses = "
        "[\"192.0.2.2\"]\ndelivery_url = \"http://g/\"\nreceive = { ports = [7], default = true }",
        "vasps.toml", [](const std::string&) { return secret_text{}; }, errors);
    const std::string path = ::testing::TempDir() + "route-test-owners";
    std::remove(path.c_str());
    message_owners owners(path);
    owners.record("m-globex", "globex", 100);
    owners.record("m-gone", "umbrella", 100);  // an account a reload has removed
    const struct {
        std::uint32_t type;
        const char *id, *to;  // to: the PDU's recipient (nullptr: none, the indication's then)
        std::uint32_t port;
        const char* account;
    } rows[] = {
        {MMS_RETRIEVE_CONF, nullptr, "+4915100/TYPE=PLMN", 7, "acme"},
        {MMS_RETRIEVE_CONF, nullptr, nullptr, 1, "acme"},
        {MMS_RETRIEVE_CONF, "m-globex", "+4915100", 1, "acme"},  // records are for reports
        {MMS_DELIVERY_IND, "m-globex", "+4915100", 1, "globex"},
        {MMS_READ_ORIG_IND, "m-globex", "+4915100", 1, "globex"},
        {MMS_DELIVERY_IND, "m-gone", "+4915100", 7, "acme"},
        {MMS_READ_ORIG_IND, "m-none", "+4917", 1, "globex"},
    };
    for (const auto& row : rows) {
        mms_message message;
        message.message_type = row.type;
        message.message_id = row.id ? std::optional<std::string>(row.id) : std::nullopt;
        message.recipient = row.to ? std::optional<std::string>(row.to) : std::nullopt;
        message.gateway_recipient = "+4915100";
        const vasp_account* to =
            mm7_route_delivery(accounts, &owners, mm7_delivery_keys(message, row.port));
        EXPECT_EQ(to ? to->name : "", row.account) << (row.id ? row.id : "-");
    }
    std::remove(path.c_str());
}

}  // namespace
