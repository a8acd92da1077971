#include "net_events/socket_error_text.h"
#include "net_events/socket_exception.h"
#include "net_events/socket_names.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

template <typename Call> std::string FailureText(Call call) {
    try {
        call();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "no failure";
}

TEST(DottedQuad, AcceptsFourPartsWithSurroundingSpaces) {
    EXPECT_TRUE(IsDottedQuad("127.0.0.1"));
    EXPECT_TRUE(IsDottedQuad("  10.1.2.3   "));
    EXPECT_TRUE(IsDottedQuad("255.255.255.255"));
}

TEST(DottedQuad, RejectsMalformedTexts) {
    EXPECT_FALSE(IsDottedQuad(""));
    EXPECT_FALSE(IsDottedQuad(".1.2.3"));
    EXPECT_FALSE(IsDottedQuad("1.2.3."));
    EXPECT_FALSE(IsDottedQuad("1.2.3"));
    EXPECT_FALSE(IsDottedQuad("1.2.3.4.5"));
    EXPECT_FALSE(IsDottedQuad("1.256.3.4"));
    EXPECT_FALSE(IsDottedQuad("1.2.3.256"));
    EXPECT_FALSE(IsDottedQuad("1..3.4"));
    EXPECT_FALSE(IsDottedQuad("1.2.3.4x"));
    EXPECT_FALSE(IsDottedQuad("1.2.3.4 x"));
    EXPECT_FALSE(IsDottedQuad("mail.example"));
    EXPECT_FALSE(IsDottedQuad("1.2.3.99999999999999999999"));
}

TEST(LeadingNumber, ReadsDigitsAfterSpaces) {
    EXPECT_EQ(ParseLeadingNumber("  25abc"), 25U);
    EXPECT_EQ(ParseLeadingNumber("x25"), 0U);
    EXPECT_EQ(ParseLeadingNumber(""), 0U);
    EXPECT_EQ(ParseLeadingNumber("99999999999999999999"), UINT32_MAX);
}

TEST(ResolveHost, ConvertsDottedQuadsWithoutLookup) {
    EXPECT_EQ(SocketResolveHost(" 127.0.0.1 "), htonl(0x7F000001));
    EXPECT_EQ(SocketResolveHost("255.255.255.255"), 0xFFFFFFFFU);
    EXPECT_EQ(SocketResolveHost("localhost"), htonl(0x7F000001));
}

TEST(ResolveHost, ReportsBadTexts) {
    EXPECT_EQ(FailureText([] { SocketResolveHost(""); }),
              "SocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(FailureText([] { SocketResolveHost(std::string(257, 'a')); }),
              "SocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
    EXPECT_EQ(FailureText([] { SocketResolveHost("01.2.3.4"); }),
              "SocketResolveHost: '01.2.3.4' Invalid IP address.");
    EXPECT_EQ(FailureText([] { SocketResolveHost("no-such-host.invalid"); })
                  .rfind("SocketResolveHost: Cannot convert host address 'no-such-host.invalid', "
                         "Error #110",
                         0),
              0U);
}

TEST(ResolvePort, NumbersNamesAndFailures) {
    EXPECT_EQ(SocketResolvePort("smtp", "tcp"), 25);
    EXPECT_EQ(SocketResolvePort("domain", "udp"), 53);
    EXPECT_EQ(SocketResolvePort("25", "tcp"), 25);
    EXPECT_EQ(SocketResolvePort("2525abc", "tcp"), 2525);
    EXPECT_EQ(FailureText([] { SocketResolvePort("", "tcp"); }),
              "SocketResolvePort: Invalid Port.");
    EXPECT_EQ(FailureText([] { SocketResolvePort(std::string(32, 'p'), "tcp"); }),
              "SocketResolvePort: Invalid Port.");
    EXPECT_EQ(FailureText([] { SocketResolvePort("smtp", std::string(32, 't')); }),
              "SocketResolvePort: Invalid Proto.");
    EXPECT_EQ(FailureText([] { SocketResolvePort("nosuchservice", "tcp"); }),
              "SocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    EXPECT_NE(FailureText([] { SocketResolvePort("70000", "tcp"); }), "no failure");
}

TEST(ResolveProto, NamesAndNumbers) {
    EXPECT_EQ(SocketResolveProto("tcp"), 6);
    EXPECT_EQ(SocketResolveProto(" udp "), 17);
    EXPECT_EQ(SocketResolveProto("6"), 6);
    EXPECT_EQ(FailureText([] { SocketResolveProto(""); }), "SocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(FailureText([] { SocketResolveProto("nosuchproto"); }),
              "SocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

TEST(HostRecords, LookupsAndTheirLimits) {
    EXPECT_EQ(FailureText([] { SocketHostByName(""); }), "SocketHostByName: Invalid Hostname.");
    EXPECT_EQ(FailureText([] { SocketHostByAddr(std::string(300, '1')); }),
              "SocketHostByAddr: Invalid address.");
    const auto record = SocketHostByName("localhost");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(DottedAddress(record->Addresses.front()), "127.0.0.1");
    EXPECT_FALSE(AddrToHostName("127.0.0.1").empty());
    EXPECT_EQ(AddrToHostName("not an address"), "");
    EXPECT_FALSE(LocalMachineName().empty());
    for (const std::string& address : LocalAddressList()) {
        EXPECT_TRUE(IsDottedQuad(address)) << address;
    }
}

TEST(ErrorTexts, KnownAndUnknownCodes) {
    EXPECT_EQ(SocketErrorText(0), "No Error");
    EXPECT_EQ(SocketErrorText(10048), "Address already in use");
    EXPECT_EQ(SocketErrorText(10057), "Socket is not connected");
    EXPECT_EQ(SocketErrorText(11004), "No Data");
    EXPECT_EQ(SocketErrorText(10001), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(20000 + 5), "Not a WinSock error");
}

} // namespace
} // namespace lumenpost
