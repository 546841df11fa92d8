// Which account a message from the network goes to (the receive rules themselves are the
// accounts' own, tested there).
#include <gtest/gtest.h>

#include <cstdio>

#include "mm7/delivery/mm7_route.h"

namespace {

TEST(DeliveryRoute, OnlyReportsGoToTheAccountOnRecordAndOnlyWhileItIsThere) {
    vasp_accounts accounts;
    accounts.accounts.resize(2);
    accounts.accounts[0].name = "acme";
    accounts.accounts[0].receive_default = true;
    accounts.accounts[1].name = "globex";
    const std::string path = ::testing::TempDir() + "route-test-owners";
    std::remove(path.c_str());
    message_owners owners(path);
    owners.record("m-globex", "globex", 100);
    owners.record("m-gone", "umbrella", 100);  // an account a reload has removed
    const struct {
        std::uint32_t type;
        const char *id, *account;
    } rows[] = {{MMS_DELIVERY_IND, "m-globex", "globex"},
                {MMS_READ_ORIG_IND, "m-globex", "globex"},
                {MMS_RETRIEVE_CONF, "m-globex", "acme"},
                {MMS_DELIVERY_IND, "m-gone", "acme"},
                {MMS_READ_ORIG_IND, "m-none", "acme"}};
    for (const auto& row : rows) {
        mms_message message;
        message.message_type = row.type;
        message.message_id = row.id;
        const vasp_account* to =
            mm7_route_delivery(accounts, &owners, mm7_delivery_keys(message, 7));
        EXPECT_EQ(to ? to->name : "", row.account) << row.id << " " << row.type;
    }
    mms_message plain;  // a recipient of its own, else the number it was received on
    plain.gateway_recipient = "+4917";
    EXPECT_EQ(mm7_delivery_keys(plain, 7).recipient, "+4917");
    plain.recipient = "+4918";
    EXPECT_EQ(mm7_delivery_keys(plain, 7).recipient, "+4918");
    std::remove(path.c_str());
}

}  // namespace
