#include "relay/loop_guard.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

constexpr std::uint32_t kOwn = 0xC0000207;       // 192.0.2.7
constexpr std::uint32_t kElsewhere = 0xC6336401; // 198.51.100.1

LoopGuard Guard(std::uint32_t listenAddress, std::uint16_t listenPort) {
    LoopGuard::Self self{{"Desk.Example"},
                         [] { return std::vector<std::uint32_t>{kOwn}; },
                         listenAddress,
                         listenPort};
    return LoopGuard(std::move(self), [](const std::string& host) {
        return host == "mx.own.test" ? std::vector<std::uint32_t>{kOwn}
                                     : std::vector<std::uint32_t>{kElsewhere};
    });
}

TEST(LoopGuardTest, NamesOfThisMachineLoopWhereverItListens) {
    const LoopGuard guard = Guard(0x7F000001, 2525);
    for (const char* domain : {"localhost", "LocalHost", "mail.localhost", "desk.example"}) {
        EXPECT_EQ(guard.Check(domain, "mx.far.test"),
                  "mail for " + std::string(domain) + " loops back to myself")
            << domain;
    }
    // Not on port 25: an address of this machine may be another server's.
    EXPECT_EQ(guard.Check("dest.test", "mx.own.test"), std::nullopt);
    EXPECT_EQ(guard.Check("[127.0.0.9]", "[127.0.0.9]"), std::nullopt);
}

TEST(LoopGuardTest, AnExchangerWhereThisRelayListensIsALoop) {
    const LoopGuard everywhere = Guard(0, 25);
    EXPECT_TRUE(everywhere.Check("dest.test", "mx.own.test"));
    EXPECT_TRUE(everywhere.Check("dest.test", "127.0.0.53"));
    EXPECT_FALSE(everywhere.Check("dest.test", "mx.far.test"));
    for (const char* domain : {"[127.0.0.9]", "127.1.2.3", "[192.0.2.7]"}) {
        EXPECT_TRUE(everywhere.Check(domain, "mx.far.test")) << domain;
    }
    EXPECT_FALSE(everywhere.Check("[198.51.100.1]", "198.51.100.1"));
    const LoopGuard oneAddress = Guard(0x7F000022, 25); // 127.0.0.34:25
    EXPECT_TRUE(oneAddress.Check("dest.test", "127.0.0.34"));
    EXPECT_FALSE(oneAddress.Check("dest.test", "127.0.0.35"));
    EXPECT_FALSE(oneAddress.Check("dest.test", "mx.own.test"));
}

} // namespace
} // namespace lumenpost
