#include "relay/client_access.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(ClientAccessTest, LoopbackOwnAddressesAndAllowedNetworksOnly) {
    const std::vector<std::uint32_t> own = {*ParseIpv4("192.168.7.20")};
    const std::vector<Ipv4Network> allow = {*Ipv4Network::Parse("192.0.2.0/24"),
                                            *Ipv4Network::Parse("198.51.100.9")};
    const auto allowed = [&](const char* peer) { return ClientAllowed(peer, own, allow); };
    EXPECT_TRUE(allowed("127.0.0.1"));
    EXPECT_TRUE(allowed("127.255.255.254"));
    EXPECT_TRUE(allowed("192.168.7.20"));
    EXPECT_TRUE(allowed("192.0.2.200"));
    EXPECT_TRUE(allowed("198.51.100.9"));

    EXPECT_FALSE(allowed("128.0.0.1"));
    EXPECT_FALSE(allowed("192.168.7.21")); // a neighbour of an own address
    EXPECT_FALSE(allowed("192.0.3.1"));
    EXPECT_FALSE(allowed("198.51.100.10"));
    EXPECT_FALSE(allowed(""));
    EXPECT_FALSE(allowed("::1"));
    EXPECT_FALSE(ClientAllowed("10.1.2.3", {}, {}));
}

TEST(ClientAccessTest, OwnAddressesIncludeLoopback) {
    const std::vector<std::uint32_t> own = OwnIpv4Addresses();
    EXPECT_NE(std::find(own.begin(), own.end(), *ParseIpv4("127.0.0.1")), own.end());
}

} // namespace
} // namespace lumenpost
