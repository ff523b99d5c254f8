// A person's allowance of codes: kept per asking network, more at the
// networks the person signed in from; and the mail, bounded apart, so that
// strangers asking from many networks neither flood the person's mailbox
// nor keep the person from a code anywhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay_service/account_list.h"
#include "relay_service/address_codes.h"

namespace morvane::relay_service {
namespace {

TEST(AddressCodes, StrangersElsewhereLeaveThePersonTheirOwnCodesAndMailAFew) {
    // Three a network, five at home; eight mails, four of them for codes
    // asked elsewhere.
    AddressCodes codes({3, 5, 8, 4, 600, 1'000, 2});
    Counted counted;
    codes.signedIn("p@example.com", "home");
    struct Step {
        const char* why;
        const char* address;
        std::string network;
        bool given;
        bool mailed;
    };
    const std::vector<Step> steps = {
        {"a stranger's first", "p@example.com", "s1", true, true},
        {"its second", "p@example.com", "s1", true, true},
        {"its third", "p@example.com", "s1", true, true},
        {"its network has had the address's three", "p@example.com", "s1", false, false},
        {"another network: the last mail for strangers", "p@example.com", "s2", true, true},
        {"past them, the newest code mailed", "p@example.com", "s2", true, false},
        {"", "p@example.com", "s3", true, false},
        {"the person away from home has their own three", "p@example.com", "hotel", true, false},
        {"the person at home is mailed", "p@example.com", "home", true, true},
        {"", "p@example.com", "home", true, true},
        {"", "p@example.com", "home", true, true},
        {"eight mails in all", "p@example.com", "home", true, true},
        {"past them, the newest code mailed", "p@example.com", "home", true, false},
        {"past what a person asks at home", "p@example.com", "home", false, false},
        {"another address counts apart", "q@example.com", "s1", true, true},
    };
    for (const auto& step : steps) {
        const bool given = !codes.take(step.address, step.network, 100, counted);
        EXPECT_EQ(given, step.given) << step.why;
        if (given) {
            EXPECT_EQ(codes.mailed(step.address, step.network, 100, counted), step.mailed) << step.why;
        }
    }
    EXPECT_TRUE(!codes.take("p@example.com", "s1", 700, counted)) << "a new window";
    EXPECT_TRUE(codes.mailed("p@example.com", "s1", 700, counted)) << "a new window";

    // A mail given back (none went out) is the next code's.
    AddressCodes fresh({3, 4, 8, 1, 600, 1'000, 2});
    Counted mail;
    EXPECT_TRUE(fresh.mailed("r@example.com", "s1", 100, mail));
    giveBack(mail, 100);
    EXPECT_TRUE(fresh.mailed("r@example.com", "s2", 100, counted));
    EXPECT_FALSE(fresh.mailed("r@example.com", "s3", 100, counted));

    // The last networks signed in from are home; older ones are forgotten.
    codes.signedIn("p@example.com", "cafe");
    codes.signedIn("p@example.com", "office");
    EXPECT_FALSE(codes.home("p@example.com", "home"));
    EXPECT_TRUE(codes.home("p@example.com", "cafe"));
    EXPECT_TRUE(codes.home("p@example.com", "office"));
    EXPECT_FALSE(codes.home("q@example.com", "office"));
}

// A mailbox is mailed its few codes in a window whatever "+tag" its
// addresses carry: each tag is an address of its own to the other counts.
TEST(AddressCodes, PlusAddressesOfOneMailboxShareItsMails) {
    // Three a network and eight mails an address, as many elsewhere; four
    // a mailbox.
    AddressCodes codes({3, 5, 8, 8, 600, 1'000, 2, 4});
    Counted counted;
    struct Step {
        const char* why;
        const char* address;
        std::int64_t at;
        bool mailed;
    };
    const Step steps[] = {
        {"the address", "p@example.com", 100, true},
        {"a tag of it", "p+a@example.com", 100, true},
        {"another tag", "p+b@example.com", 100, true},
        {"a tag with a plus in it", "p+c+d@example.com", 100, true},
        {"the mailbox has had its four", "p+e@example.com", 100, false},
        {"the address itself too", "p@example.com", 100, false},
        {"another mailbox of the domain", "q+a@example.com", 100, true},
        {"the same local part elsewhere", "p@example.org", 100, true},
        {"a new window", "p+f@example.com", 700, true},
    };
    for (const auto& step : steps) {
        EXPECT_FALSE(codes.take(step.address, "s1", step.at, counted)) << step.why;
        EXPECT_EQ(codes.mailed(step.address, "s1", step.at, counted), step.mailed) << step.why;
    }

    // Where a mailbox is: the local part up to its first "+".
    const std::pair<const char*, const char*> boxes[] = {
        {"p+tag@example.com", "p@example.com"},  {"p@example.com", "p@example.com"},
        {"p+@example.com", "p@example.com"},     {"p+a+b@example.com", "p@example.com"},
        {"first.last+x@example.com", "first.last@example.com"},
    };
    for (const auto& [address, box] : boxes) EXPECT_EQ(mailboxOf(address), box) << address;
}

}  // namespace
}  // namespace morvane::relay_service
