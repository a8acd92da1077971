#include "platform/ascii_text.h"
#include "platform/machine_name.h"
#include "platform/network_interfaces.h"
#include "platform/socket_error.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <net/if.h>

namespace lumenpost {
namespace {

TEST(AsciiText, TrimAndCaseTouchOnlyAsciiOctets) {
    EXPECT_EQ(Trim("\t a b\r\n\x01"), "a b");
    EXPECT_EQ(Trim(" \r\n "), "");
    // Octets above 0x7F (UTF-8, Latin-1) are text, not blanks.
    EXPECT_EQ(Trim("\xA0x\xFF"), "\xA0x\xFF");
    EXPECT_EQ(LowerAscii("MiXeD-Ä@EXAMPLE.Org"), "mixed-Ä@example.org");
    EXPECT_EQ(UpperAscii("auth login é"), "AUTH LOGIN é");
    EXPECT_EQ(LowerAsciiChar('Z'), 'z');
    EXPECT_EQ(LowerAsciiChar('\xC3'), '\xC3');
    EXPECT_TRUE(IsAscii(std::string("a\x7F\0z", 4)));
    EXPECT_FALSE(IsAscii("ab\x80"));
}

TEST(ErrorTextLookup, FindsTheRowOrNothing) {
    constexpr ErrorTextEntry table[] = {{0, "none"}, {10061, "refused"}};
    EXPECT_STREQ(LookupErrorText(table, 10061), "refused");
    EXPECT_STREQ(LookupErrorText(table, 0), "none");
    EXPECT_EQ(LookupErrorText(table, 10060), nullptr);
}

TEST(MachineName, ReadsTheHostNameAndRefusesABufferTooSmall) {
    const auto name = MachineName(256);
    ASSERT_TRUE(name.has_value());
    EXPECT_FALSE(name->empty());
    EXPECT_EQ(name->find('\0'), std::string::npos);
    // A buffer without room for the name and its end gives nothing, never a cut name.
    EXPECT_EQ(MachineName(name->size()), std::nullopt);
    EXPECT_EQ(MachineName(name->size() + 1), name);
}

TEST(NetworkInterfaces, LoopbackIsListedWithItsFlagsAndAddress) {
    const auto interfaces = ReadInterfaceAddresses();
    ASSERT_TRUE(interfaces.has_value());
    const auto loopback =
        std::find_if(interfaces->begin(), interfaces->end(),
                     [](const InterfaceAddress& entry) { return entry.ipv4 == 0x7F000001u; });
    ASSERT_NE(loopback, interfaces->end());
    EXPECT_NE(loopback->flags & IFF_LOOPBACK, 0u);
    EXPECT_FALSE(loopback->name.empty());
    EXPECT_EQ(loopback->peerIpv4, std::nullopt);
    EXPECT_EQ(DottedIpv4(0x7F000001u), "127.0.0.1");
    EXPECT_EQ(DottedIpv4(0xC0000207u), "192.0.2.7");
}

} // namespace
} // namespace lumenpost
