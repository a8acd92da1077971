#include "delivery/dns_client.h"
#include "delivery/mx_lookup.h"
#include "fake_dns_server.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using test::DnsReply;
using test::FakeDnsServer;
using namespace test::dns_bytes;

constexpr int kShortTimeoutMs = 300;
// The query's question name starts right after the 12-octet header.
const std::string kQueryName = Pointer(12);

struct LookupResult {
    bool found = false;
    std::vector<std::string> hosts;
};

LookupResult Lookup(const std::string& domain, FakeDnsServer::Script script,
                    int timeoutMs = test::kPeerWaitMs) {
    FakeDnsServer server(std::move(script));
    LookupResult result;
    result.found = LookupMailServers("127.0.0.1", domain, result.hosts, {server.Port(), timeoutMs});
    return result;
}

// A script answering once with `records` built from the query.
FakeDnsServer::Script
Answering(std::function<std::vector<std::string>(const std::string&)> records) {
    return [records](const std::string& query) {
        return std::vector<DnsReply>{{Answer(query, records(query))}};
    };
}

std::string WithOtherId(std::string datagram) {
    datagram[1] = static_cast<char>(datagram[1] ^ 0x5A);
    return datagram;
}

TEST(MxLookupTest, PreferencesSortNumerically) {
    LookupResult result = Lookup("example.org", Answering([](const std::string&) {
                                     return std::vector{Mx(kQueryName, 10, Name("ten.example")),
                                                        Mx(kQueryName, 5, Name("five.example"))};
                                 }));
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.hosts, (std::vector<std::string>{"five.example", "ten.example"}));

    result = Lookup("example.org", Answering([](const std::string&) {
                        return std::vector{Mx(kQueryName, 9, Name("nine.example")),
                                           Mx(kQueryName, 10, Name("ten.example")),
                                           Mx(kQueryName, 65535, Name("last.example"))};
                    }));
    EXPECT_EQ(result.hosts,
              (std::vector<std::string>{"nine.example", "ten.example", "last.example"}));
}

TEST(MxLookupTest, EqualPreferencesOrderByNameIgnoringCase) {
    const LookupResult result =
        Lookup("example.org", Answering([](const std::string&) {
                   return std::vector{Mx(kQueryName, 10, Name("b.example")),
                                      Mx(kQueryName, 10, Name("A.example")),
                                      Mx(kQueryName, 10, Name("c.example"))};
               }));
    EXPECT_EQ(result.hosts, (std::vector<std::string>{"A.example", "b.example", "c.example"}));
}

TEST(MxLookupTest, CompressedExchangeNamesAreExpanded) {
    const LookupResult result =
        Lookup("example.org", Answering([](const std::string& query) {
                   // Owner pointer, TYPE CLASS TTL, RDLENGTH, preference: then the exchange name.
                   const auto firstExchange =
                       static_cast<std::uint16_t>(12 + Question(query).size() + 14);
                   return std::vector{Mx(kQueryName, 10, "\x02mx" + kQueryName),
                                      Mx(kQueryName, 20,
                                         "\x06"
                                         "backup" +
                                             Pointer(firstExchange))};
               }));
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.hosts, (std::vector<std::string>{"mx.example.org", "backup.mx.example.org"}));
}

TEST(MxLookupTest, OnlyRecordsOwnedByTheQueriedNameCount) {
    LookupResult result =
        Lookup("example.org", Answering([](const std::string&) {
                   return std::vector{Record(kQueryName, 5, Name("mail.example.net")),
                                      Mx(Name("mail.example.net"), 10, Name("mx.example.net"))};
               }));
    EXPECT_TRUE(result.found);
    EXPECT_TRUE(result.hosts.empty());

    result = Lookup("example.org", Answering([](const std::string&) {
                        return std::vector{Record(kQueryName, 5, Name("mail.example.net")),
                                           Mx(Name("mail.example.net"), 10, Name("mx.example.net")),
                                           Mx(kQueryName, 20, Name("own.example.org"))};
                    }));
    EXPECT_EQ(result.hosts, std::vector<std::string>{"own.example.org"});

    // Owner names are compared octet for octet: letter case and a trailing dot matter.
    for (const char* domain : {"example.org.", "Example.org"}) {
        result = Lookup(domain, Answering([](const std::string&) {
                            return std::vector{Mx(Name("example.org"), 10, Name("mx.example.org"))};
                        }));
        EXPECT_TRUE(result.found) << domain;
        EXPECT_TRUE(result.hosts.empty()) << domain;
    }
}

TEST(MxLookupTest, ServerFailureAndNameErrorGiveFalse) {
    for (const std::uint16_t rcode : {2, 3}) {
        FakeDnsServer server([rcode](const std::string& query) {
            return std::vector<DnsReply>{
                {Answer(query, {Mx(kQueryName, 10, Name("mx.example"))}, rcode)}};
        });
        TDnsClient client;
        client.ServerHost = "127.0.0.1";
        client.ServerPort = server.Port();
        std::vector<std::string> results{"stale"};
        EXPECT_FALSE(client.Query("example.org", 15, results));
        EXPECT_EQ(client.ResponseCode(), rcode);
        EXPECT_TRUE(results.empty());
    }
    const LookupResult result = Lookup("example.org", [](const std::string& query) {
        return std::vector<DnsReply>{{Answer(query, {}, 3)}};
    });
    EXPECT_FALSE(result.found);
    EXPECT_TRUE(result.hosts.empty());
}

TEST(MxLookupTest, MalformedAnswersStopInsideTheDatagram) {
    // Cut in the middle of the second record: the first survives.
    LookupResult result = Lookup("example.org", [](const std::string& query) {
        std::string answer = Answer(query, {Mx(kQueryName, 10, Name("one.example")),
                                            Mx(kQueryName, 20, Name("two.example"))});
        answer.resize(answer.size() - 5);
        return std::vector<DnsReply>{{answer}};
    });
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.hosts, std::vector<std::string>{"one.example"});

    // More answers announced than present.
    result = Lookup("example.org", [](const std::string& query) {
        return std::vector<DnsReply>{
            {Answer(query, {Mx(kQueryName, 10, Name("only.example"))}, 0, 40)}};
    });
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.hosts, std::vector<std::string>{"only.example"});

    // An exchange name pointing at itself, and two names pointing at each other.
    result = Lookup("example.org", Answering([](const std::string& query) {
                        const auto exchange =
                            static_cast<std::uint16_t>(12 + Question(query).size() + 14);
                        return std::vector{Mx(kQueryName, 10, Pointer(exchange))};
                    }));
    EXPECT_TRUE(result.found);
    EXPECT_TRUE(result.hosts.empty());

    result = Lookup("example.org", Answering([](const std::string& query) {
                        const auto first =
                            static_cast<std::uint16_t>(12 + Question(query).size() + 14);
                        const auto second = static_cast<std::uint16_t>(first + 4 + 14);
                        return std::vector{Mx(kQueryName, 10,
                                              "\x01"
                                              "a" +
                                                  Pointer(second)),
                                           Mx(kQueryName, 20,
                                              "\x01"
                                              "b" +
                                                  Pointer(first))};
                    }));
    EXPECT_TRUE(result.found);
    EXPECT_TRUE(result.hosts.empty());

    // A pointer far beyond the end of the datagram.
    result = Lookup("example.org", Answering([](const std::string&) {
                        return std::vector{Mx(kQueryName, 10, Name("good.example")),
                                           Mx(Pointer(0x3FFF), 20, Name("bad.example"))};
                    }));
    EXPECT_EQ(result.hosts, std::vector<std::string>{"good.example"});

    // Shorter than a header and question: no answer to the query at all.
    result = Lookup(
        "example.org",
        [](const std::string& query) {
            return std::vector<DnsReply>{{Header(query, 0, 0, 0).substr(0, 13)}};
        },
        kShortTimeoutMs);
    EXPECT_FALSE(result.found);
}

TEST(MxLookupTest, StrayDatagramsBeforeTheAnswerAreIgnored) {
    const LookupResult result = Lookup("example.org", [](const std::string& query) {
        const std::string forged = Answer(query, {Mx(kQueryName, 1, Name("forged.example"))});
        return std::vector<DnsReply>{{WithOtherId(forged)},
                                     {forged, true},
                                     {"", false},
                                     {Answer(query, {Mx(kQueryName, 10, Name("real.example"))})}};
    });
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.hosts, std::vector<std::string>{"real.example"});
}

TEST(MxLookupTest, OnlyStrayDatagramsEndInATimeOut) {
    const LookupResult result = Lookup(
        "example.org",
        [](const std::string& query) {
            const std::string forged = Answer(query, {Mx(kQueryName, 1, Name("forged.example"))});
            return std::vector<DnsReply>{{WithOtherId(forged)}, {forged, true}};
        },
        kShortTimeoutMs);
    EXPECT_FALSE(result.found);
    EXPECT_TRUE(result.hosts.empty());
}

TEST(MxLookupTest, SilentServerTimesOut) {
    FakeDnsServer server([](const std::string&) { return std::vector<DnsReply>{}; });
    TDnsClient client;
    client.ServerHost = "127.0.0.1";
    client.ServerPort = server.Port();
    client.TimeoutMs = kShortTimeoutMs;
    std::vector<std::string> results;
    EXPECT_FALSE(client.Query("example.org", 15, results));
    EXPECT_EQ(client.ErrorCode(), 10060);
}

TEST(DnsQueryTest, IdentifiersUseAllSixteenBits) {
    FakeDnsServer server(Answering([](const std::string&) { return std::vector<std::string>{}; }));
    TDnsClient client;
    client.ServerHost = "127.0.0.1";
    client.ServerPort = server.Port();
    std::vector<std::string> results;
    bool highBitSeen = false;
    for (int i = 0; i < 64 && !highBitSeen; ++i) {
        ASSERT_TRUE(client.Query("example.org", 15, results));
        highBitSeen = (static_cast<unsigned char>(server.Queries().back()[0]) & 0x80) != 0;
    }
    EXPECT_TRUE(highBitSeen);
}

TEST(DnsQueryTest, QueryLayoutAndReverseNameForAddresses) {
    FakeDnsServer server(Answering(
        [](const std::string&) { return std::vector{Mx(kQueryName, 10, Name("mx.example"))}; }));
    TDnsClient client;
    client.ServerHost = "127.0.0.1";
    client.ServerPort = server.Port();
    std::vector<std::string> results;
    EXPECT_TRUE(client.Query("192.0.2.7", 15, results));
    EXPECT_EQ(results, std::vector<std::string>{"10,mx.example"});
    const std::string query = server.ReceivedQuery();
    ASSERT_GE(query.size(), 12U);
    EXPECT_EQ(query.substr(2, 10), Word16(0x0100) + Word16(1) + Word16(0) + Word16(0) + Word16(0));
    EXPECT_EQ(Question(query), Name("7.2.0.192.in-addr.arpa") + Word16(15) + Word16(1));
}

} // namespace
} // namespace lumenpost
