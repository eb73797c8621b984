#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/allowed_peers.h"

namespace {

TEST(AllowedPeersTest, DottedIPv4Addresses) {
    for (const char* good : {"0.0.0.0", "127.0.0.2", "10.20.30.40", "255.255.255.255", "1.2.3.4"}) {
        EXPECT_TRUE(isDottedIPv4(good)) << good;
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", ".1.2.3", "1..2.3", "256.1.1.1",
                            "1.2.3.1000", "01.2.3.4", "1.2.3.04", "1.2.3.4 ", " 1.2.3.4", "A.B.C.D",
                            "1.2.3.4A", "1,2.3.4", "-1.2.3.4", "1.2.3.+4", "0x7f.0.0.1"}) {
        EXPECT_FALSE(isDottedIPv4(bad)) << bad;
    }
}

TEST(AllowedPeersTest, WellFormedListsAllowOnlyTheirAddresses) {
    AllowedPeers none;
    EXPECT_FALSE(none.given());
    EXPECT_TRUE(none.allows("192.0.2.1"));
    EXPECT_TRUE(none.allows(""));

    std::string sixteen;
    for (int i = 1; i <= 16; ++i) sixteen += (i > 1 ? "," : "") + std::to_string(i) + ".0.0.1";
    // Both limits at once: 16 addresses in exactly 255 characters.
    std::string widest;
    for (int i = 1; i <= 16; ++i) widest += (i > 1 ? "," : "") + std::string("100.100.100.100");
    ASSERT_EQ(AllowedPeers::kMaxLength, widest.size());

    AllowedPeers peers;
    peers.set("127.0.0.2,10.0.0.7");
    EXPECT_TRUE(peers.given());
    EXPECT_EQ("", peers.problem());
    EXPECT_EQ((std::vector<std::string>{"127.0.0.2", "10.0.0.7"}), peers.addresses());
    EXPECT_TRUE(peers.allows("127.0.0.2"));
    EXPECT_TRUE(peers.allows("10.0.0.7"));
    for (const char* other : {"127.0.0.1", "", "10.0.0.70", "127.0.0.20"}) {
        EXPECT_FALSE(peers.allows(other)) << other;
    }

    peers.set(sixteen);
    EXPECT_EQ("", peers.problem());
    EXPECT_EQ(16u, peers.addresses().size());
    EXPECT_TRUE(peers.allows("16.0.0.1"));

    peers.set(widest);
    EXPECT_EQ("", peers.problem());
    EXPECT_TRUE(peers.allows("100.100.100.100"));
}

TEST(AllowedPeersTest, MalformedListsNameTheBadEntryAndAllowNobody) {
    std::string seventeen;
    for (int i = 1; i <= 17; ++i) seventeen += (i > 1 ? "," : "") + std::to_string(i) + ".0.0.1";
    // 16 addresses, the last one a digit too long: 256 characters.
    std::string tooLong;
    for (int i = 1; i <= 15; ++i) tooLong += "100.100.100.100,";
    tooLong += "100.100.100.1000";
    std::string huge(1000, '7');

    struct Case {
        std::string list;
        std::string problem;
    };
    const Case cases[] = {
        {"", "Allowed peers list is empty"},
        {"127.0.0.2,", "Allowed peers list entry \"\" is not an IPv4 address"},
        {",127.0.0.2", "Allowed peers list entry \"\" is not an IPv4 address"},
        {"127.0.0.2,,10.0.0.1", "Allowed peers list entry \"\" is not an IPv4 address"},
        {"127.0.0.2,HOST", "Allowed peers list entry \"HOST\" is not an IPv4 address"},
        {"127.0.0.A", "Allowed peers list entry \"127.0.0.A\" is not an IPv4 address"},
        {"127.0.0.2;10.0.0.1",
         "Allowed peers list entry \"127.0.0.2;10.0.0.1\" is not an IPv4 "
         "address"},
        {"127.0.0.256", "Allowed peers list entry \"127.0.0.256\" is not an IPv4 address"},
        {"010.0.0.1", "Allowed peers list entry \"010.0.0.1\" is not an IPv4 address"},
        {seventeen, "Allowed peers list has more than 16 addresses, at entry \"17.0.0.1\""},
        {tooLong,
         "Allowed peers list is longer than 255 characters, at entry \"100.100.100.1000\""},
        {huge, "Allowed peers list is longer than 255 characters, at entry \"" +
                   std::string(AllowedPeers::kMaxShownEntry, '7') + "...\""},
    };
    for (const Case& c : cases) {
        AllowedPeers peers;
        peers.set(c.list);
        EXPECT_TRUE(peers.given()) << c.list;
        EXPECT_EQ(c.problem, peers.problem()) << c.list;
        EXPECT_TRUE(peers.addresses().empty()) << c.list;
        for (const char* address : {"127.0.0.2", "10.0.0.1", "17.0.0.1", "1.2.3.4", ""}) {
            EXPECT_FALSE(peers.allows(address)) << c.list << " / " << address;
        }
    }
}

}  // namespace
