#include "delivery/ehlo_name.h"
#include "delivery/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace lumenpost {
namespace {

TEST(SocketAddressTest, TextOfBothFamilies) {
    const auto ipv4 = SocketAddress::FromText("192.0.2.7", 25);
    ASSERT_TRUE(ipv4);
    EXPECT_EQ(ipv4->Family(), AF_INET);
    EXPECT_EQ(ipv4->Port(), 25);
    EXPECT_EQ(ipv4->Text(), "192.0.2.7:25");
    EXPECT_EQ(ipv4->Literal(), "[192.0.2.7]");

    const auto ipv6 = SocketAddress::FromText("2001:DB8:0:0::7", 2525);
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv6->Family(), AF_INET6);
    EXPECT_EQ(ipv6->HostText(), "2001:db8::7");
    EXPECT_EQ(ipv6->Text(), "[2001:db8::7]:2525");
    EXPECT_EQ(ipv6->Literal(), "[IPv6:2001:db8::7]");
    EXPECT_EQ(ipv6->WithPort(25).Text(), "[2001:db8::7]:25");
}

TEST(SocketAddressTest, OnlyAddressTextIsTaken) {
    for (const char* text : {"", "mx.example", "[192.0.2.7]", "192.0.2", "192.0.2.256",
                             "[2001:db8::7]", "2001:db8::7::25", "1.2.3.4 "}) {
        EXPECT_FALSE(SocketAddress::FromText(text, 25)) << text;
    }
    const SocketAddress empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(empty.Family(), AF_UNSPEC);
    EXPECT_EQ(empty.Port(), 0);
}

TEST(SocketAddressTest, SystemAddressesCompareByFamilyHostAndPort) {
    sockaddr_in raw{};
    raw.sin_family = AF_INET;
    raw.sin_port = htons(53);
    inet_pton(AF_INET, "192.0.2.1", &raw.sin_addr);
    const SocketAddress system =
        SocketAddress::FromSystem(reinterpret_cast<const sockaddr*>(&raw), sizeof raw);
    EXPECT_EQ(system, *SocketAddress::FromText("192.0.2.1", 53));
    EXPECT_FALSE(system == *SocketAddress::FromText("192.0.2.1", 54));
    EXPECT_FALSE(system == *SocketAddress::FromText("192.0.2.2", 53));
    EXPECT_FALSE(*SocketAddress::FromText("::ffff:192.0.2.1", 53) == system);
    // An oversized length is no address rather than an overrun.
    EXPECT_TRUE(SocketAddress::FromSystem(reinterpret_cast<const sockaddr*>(&raw), 4096).Empty());
}

TEST(EhloNameTest, OnlyQualifiedNamesIntroduceTheMachine) {
    EXPECT_TRUE(IsQualifiedHostName("host.example.org"));
    EXPECT_FALSE(IsQualifiedHostName("host"));
    EXPECT_FALSE(IsQualifiedHostName("localhost"));
    EXPECT_FALSE(IsQualifiedHostName("LocalHost.localdomain"));
    EXPECT_FALSE(IsQualifiedHostName("192.0.2.7"));
    EXPECT_FALSE(IsQualifiedHostName(""));
}

TEST(EhloNameTest, AddressLiteralWithoutAQualifiedName) {
    const SocketAddress local = *SocketAddress::FromText("2001:db8::2", 40000);
    EXPECT_EQ(EhloNameFor("", local), "[IPv6:2001:db8::2]");
    EXPECT_EQ(EhloNameFor("", *SocketAddress::FromText("192.0.2.2", 1)), "[192.0.2.2]");
    EXPECT_EQ(EhloNameFor("relay.example.org", local), "relay.example.org");
    const std::string& machine = MachineQualifiedName();
    EXPECT_TRUE(machine.empty() || IsQualifiedHostName(machine)) << machine;
    EXPECT_EQ(&MachineQualifiedName(), &machine);
}

} // namespace
} // namespace lumenpost
