#include "relay/loop_guard.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

constexpr std::uint32_t kOwn = 0xC0000207; // 192.0.2.7

LoopGuard Guard(std::uint32_t listenAddress, std::uint16_t listenPort) {
    return LoopGuard({{"Desk.Example"},
                      [] { return std::vector<std::uint32_t>{kOwn}; },
                      listenAddress,
                      listenPort});
}

// One exchanger per address text, each on port `port`.
std::vector<Exchanger> At(std::initializer_list<const char*> addresses, std::uint16_t port = 25) {
    std::vector<Exchanger> exchangers;
    for (const char* address : addresses) {
        exchangers.push_back({address, {SocketAddress::FromText(address, port).value()}});
    }
    return exchangers;
}

TEST(LoopGuardTest, NamesOfThisMachineLoopWhereverItListens) {
    const LoopGuard guard = Guard(0x7F000001, 2525);
    for (const char* domain : {"localhost", "LocalHost", "mail.localhost", "desk.example"}) {
        EXPECT_EQ(guard.Check(domain, At({"198.51.100.1"})),
                  "mail for " + std::string(domain) + " loops back to myself")
            << domain;
    }
    // Port 25 of this machine is another server's while the relay listens elsewhere.
    EXPECT_EQ(guard.Check("dest.test", At({"192.0.2.7", "127.0.0.9"})), std::nullopt);
    EXPECT_TRUE(guard.Check("dest.test", At({"127.0.0.1"}, 2525)));
}

TEST(LoopGuardTest, AnExchangerAddressWhereThisRelayListensIsALoop) {
    const LoopGuard everywhere = Guard(0, 25);
    EXPECT_TRUE(everywhere.Check("dest.test", At({"192.0.2.7"})));
    EXPECT_TRUE(everywhere.Check("dest.test", At({"198.51.100.1", "127.0.0.53"})));
    EXPECT_FALSE(everywhere.Check("dest.test", At({"198.51.100.1"})));
    EXPECT_FALSE(everywhere.Check("dest.test", At({"192.0.2.7"}, 587)));
    // The relay listens on IPv4 only.
    EXPECT_FALSE(everywhere.Check("dest.test", At({"::1"})));
    const LoopGuard oneAddress = Guard(0x7F000022, 25); // 127.0.0.34:25
    EXPECT_TRUE(oneAddress.Check("dest.test", At({"127.0.0.34"})));
    EXPECT_FALSE(oneAddress.Check("dest.test", At({"127.0.0.35", "192.0.2.7"})));
}

} // namespace
} // namespace lumenpost
