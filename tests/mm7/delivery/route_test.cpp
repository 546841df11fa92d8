// Which account a message from the network goes to.
#include <gtest/gtest.h>

#include <cstdio>

#include "mm7/delivery/mm7_route.h"

namespace {

TEST(DeliveryRoute, ReportsGoToTheSubmittingAccountOnRecordElseTheReceiveRules) {
    vasp_accounts accounts;
    accounts.accounts.resize(2);
    accounts.accounts[0].name = "acme";
    accounts.accounts[0].recipients = {{"+49151*"}};
    accounts.accounts[1].name = "globex";
    accounts.accounts[1].ports = {7};
    accounts.accounts[1].receive_default = true;
    const std::string path = ::testing::TempDir() + "route-test-owners";
    std::remove(path.c_str());
    message_owners owners(path);
    owners.record("m-globex", "globex", 100);
    owners.record("m-gone", "umbrella", 100);  // an account a reload has removed
    const struct {
        std::uint32_t type;
        const char *id, *to;  // to: the PDU's recipient (nullptr: none, the indication's then)
        const char* account;
    } rows[] = {
        {MMS_RETRIEVE_CONF, "-", nullptr, "acme"},
        {MMS_RETRIEVE_CONF, "m-globex", "+4915100/TYPE=PLMN", "acme"},  // records are for reports
        {MMS_DELIVERY_IND, "m-globex", "+4915100", "globex"},
        {MMS_READ_ORIG_IND, "m-globex", "+4915100", "globex"},
        {MMS_DELIVERY_IND, "m-gone", "+4915100", "acme"},
        {MMS_READ_ORIG_IND, "m-none", "+4917", "globex"},
    };
    for (const auto& row : rows) {
        mms_message message;
        message.message_type = row.type;
        message.message_id = row.id;
        message.recipient = row.to ? std::optional<std::string>(row.to) : std::nullopt;
        message.gateway_recipient = "+4915100";
        const vasp_account* to =
            mm7_route_delivery(accounts, &owners, mm7_delivery_keys(message, 7));
        EXPECT_EQ(to ? to->name : "", row.account) << row.id;
    }
    std::remove(path.c_str());
}

}  // namespace
