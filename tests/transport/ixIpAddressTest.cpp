#include "transport/ixIpAddress.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include "ixTestSupport.h"
#include "transport/ixSocketError.h"

namespace ix {
namespace {

using test::CodeOf;

TEST(IpAddress, Ipv6TextCompressesTheFirstRunOfTwoOrMoreZeroGroups) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (auto c : {Case{"2001:db8:0:0:0:0:0:1", "2001:DB8::1"}, Case{"1:0:2:0:0:0:0:3", "1:0:2:0:0:0:0:3"},
                   Case{"fe80::", "FE80::"}, Case{"::", "::"}, Case{"::1", "::1"},
                   Case{"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"}, Case{"0:1:2:3:4:5:6:7", "0:1:2:3:4:5:6:7"},
                   Case{"1:0:0:2:0:0:0:3", "1::2:0:0:0:3"}, Case{"0:0:1::", "::1:0:0:0:0:0"}}) {
        EXPECT_EQ(TixIPAddress::CreateIpAddress(c.in)->ToString(), c.out) << c.in;
    }
}

TEST(IpAddress, PortsAreStoredIn16BitsAndNegativeOnesRefused) {
    auto address = TixIPAddress::CreateIpAddress("127.0.0.1");
    address->SetPort(65536 + 25);
    EXPECT_EQ(address->GetPort(), 25);
    EXPECT_EQ(CodeOf([&] { address->SetPort(-1); }), IX_INVALID_PORT);
}

TEST(IpAddress, TextsThatAreNoAddressAreRefused) {
    for (const char* text : {"", "localhost", "256.1.1.1", "1::2::3", "127.0.0.1 ", "::g"}) {
        EXPECT_FALSE(TixIPAddress::IsIpAddress(text)) << text;
        std::string message;
        EXPECT_EQ(CodeOf([&] { TixIPAddress::CreateIpAddress(text); }, &message), IX_INVALID_ADDRESS) << text;
        EXPECT_EQ(message, "Invalid host address");
    }
    EXPECT_FALSE(TixIPAddress::IsIpAddress(std::string("127.0.0.1\0x", 11)));
}

TEST(IpAddress, BindAddressesAndFamilies) {
    EXPECT_EQ(TixIPAddress::CreateBindAddress("", AF_INET6)->ToString(), "::");
    EXPECT_EQ(TixIPAddress::CreateBindAddress("127.0.0.2", AF_INET6)->ToString(), "127.0.0.2");
    std::string message;
    EXPECT_EQ(CodeOf([] { TixIPAddress::CreateForFamily(AF_UNIX); }, &message), IX_INVALID_FAMILY);
    EXPECT_EQ(message, "Invalid address family");
}

TEST(HostResolution, LocalhostFollowsTheFamilyPreference) {
    // An address text comes back unchanged: every connection to 127.0.0.1 or ::1 looks one up.
    EXPECT_EQ(GetHostIP("localhost", false), "127.0.0.1");
    // Hosts files without an IPv6 localhost line still resolve, to the first address.
    TixStringList all;
    GetHostIPList("localhost", all);
    bool hasV6 = all.IndexOfExact("::1") >= 0;
    EXPECT_EQ(GetHostIP("localhost", true), hasV6 ? "::1" : "127.0.0.1");
    EXPECT_GE(all.IndexOfExact("127.0.0.1"), 0);
}

}  // namespace
}  // namespace ix
