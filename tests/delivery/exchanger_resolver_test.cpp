#include "delivery/exchanger_resolver.h"
#include "fake_dns_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace lumenpost {
namespace {

using test::DnsReply;
using test::FakeDnsServer;
using namespace test::dns_bytes;

constexpr std::int32_t kShortTimeoutMs = 200;
constexpr std::uint16_t kA = 1;
constexpr std::uint16_t kCname = 5;
constexpr std::uint16_t kMx = 15;
constexpr std::uint16_t kAaaa = 28;
const std::string kAsked = Pointer(12);

// An authoritative view of some names: the records each (name, type) answers with, owned
// by the asked name unless built otherwise. A known name asked for another type gets an
// empty answer; an unknown name NXDOMAIN with a SOA of MINIMUM 600.
class Zone {
public:
    Zone& Add(const std::string& name, std::uint16_t type, std::vector<std::string> records) {
        records_[{name, type}] = std::move(records);
        return *this;
    }

    FakeDnsServer::Script Script() const {
        return [records = records_](const std::string& query) {
            const std::string name = AskedName(query);
            const auto found = records.find({name, AskedType(query)});
            if (found != records.end()) {
                return std::vector<DnsReply>{{Answer(query, found->second)}};
            }
            const bool known = std::any_of(records.begin(), records.end(), [&](const auto& entry) {
                return entry.first.first == name;
            });
            return std::vector<DnsReply>{{WithAuthority(Answer(query, {}, known ? 0 : 3),
                                                        {Soa(Name("example"), 900, 600)})}};
        };
    }

private:
    std::map<std::pair<std::string, std::uint16_t>, std::vector<std::string>> records_;
};

ExchangerResolver::Options Quick() {
    ExchangerResolver::Options options;
    options.dnsPort = "0"; // replaced by each test's server port
    options.timeoutMs = test::kPeerWaitMs;
    return options;
}

struct Fixture {
    explicit Fixture(FakeDnsServer::Script script, ExchangerResolver::Options options = Quick(),
                     FakeDnsServer::Script tcpScript = nullptr)
        : server(std::move(script), std::move(tcpScript)),
          resolver((options.dnsPort = server.Port(), std::move(options))) {}

    Route Resolve(const std::string& domain) { return resolver.Resolve("127.0.0.1", domain); }

    FakeDnsServer server;
    ExchangerResolver resolver;
};

std::vector<std::string> Names(const Route& route) {
    std::vector<std::string> names;
    for (const Exchanger& exchanger : route.exchangers) {
        names.push_back(exchanger.name);
    }
    return names;
}

std::vector<std::string> Addresses(const Exchanger& exchanger) {
    std::vector<std::string> texts;
    for (const SocketAddress& address : exchanger.addresses) {
        texts.push_back(address.Text());
    }
    return texts;
}

Zone TwoLevelZone() {
    return Zone()
        .Add("example.org", kMx,
             {Mx(kAsked, 20, Name("backup.example.org")), Mx(kAsked, 10, Name("a.example.org")),
              Mx(kAsked, 10, Name("b.example.org"))})
        .Add("a.example.org", kA, {Address(kAsked, "192.0.2.1")})
        .Add("b.example.org", kA, {Address(kAsked, "192.0.2.2")})
        .Add("backup.example.org", kA, {Address(kAsked, "192.0.2.3")});
}

TEST(ExchangerResolverTest, ExchangersInPreferenceOrderWithEqualOnesShuffled) {
    Fixture fixture(TwoLevelZone().Script());
    std::set<std::vector<std::string>> orders;
    for (int run = 0; run < 64 && orders.size() < 2; ++run) {
        const Route route = fixture.Resolve("example.org");
        ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
        ASSERT_EQ(route.exchangers.size(), 3U);
        EXPECT_EQ(route.exchangers[2].name, "backup.example.org");
        orders.insert(Names(route));
    }
    EXPECT_EQ(orders, (std::set<std::vector<std::string>>{
                          {"a.example.org", "b.example.org", "backup.example.org"},
                          {"b.example.org", "a.example.org", "backup.example.org"}}));
}

TEST(ExchangerResolverTest, IPv6AddressesComeFirstInTheServersOrder) {
    ExchangerResolver::Options options = Quick();
    options.smtpPort = 2525;
    Fixture fixture(
        Zone()
            .Add("example.org", kMx,
                 {Mx(kAsked, 1, Name("six.example.org")), Mx(kAsked, 2, Name("four.example.org")),
                  Mx(kAsked, 3, Name("both.example.org"))})
            .Add("six.example.org", kAaaa, {Address(kAsked, "2001:db8::6")})
            .Add("four.example.org", kA, {Address(kAsked, "192.0.2.4")})
            .Add("both.example.org", kAaaa,
                 {Address(kAsked, "2001:db8::b"), Address(kAsked, "2001:db8::a")})
            .Add("both.example.org", kA,
                 {Address(kAsked, "192.0.2.9"), Address(kAsked, "192.0.2.8")})
            .Script(),
        options);
    const Route route = fixture.Resolve("example.org");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    ASSERT_EQ(route.exchangers.size(), 3U);
    EXPECT_EQ(Addresses(route.exchangers[0]), std::vector<std::string>{"[2001:db8::6]:2525"});
    EXPECT_EQ(Addresses(route.exchangers[1]), std::vector<std::string>{"192.0.2.4:2525"});
    EXPECT_EQ(Addresses(route.exchangers[2]),
              (std::vector<std::string>{"[2001:db8::b]:2525", "[2001:db8::a]:2525",
                                        "192.0.2.9:2525", "192.0.2.8:2525"}));
}

TEST(ExchangerResolverTest, DomainWithoutMxIsItsOwnExchanger) {
    Fixture fixture(Zone()
                        .Add("example.org", kAaaa, {Address(kAsked, "2001:db8::1")})
                        .Add("example.org", kA, {Address(kAsked, "192.0.2.1")})
                        .Add("bare.example.org", kCname, {})
                        .Script());
    Route route = fixture.Resolve("Example.ORG.");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    EXPECT_EQ(Names(route), std::vector<std::string>{"example.org"});
    EXPECT_EQ(Addresses(route.exchangers[0]),
              (std::vector<std::string>{"[2001:db8::1]:25", "192.0.2.1:25"}));

    route = fixture.Resolve("bare.example.org");
    EXPECT_EQ(route.status, RouteStatus::permanent);
    EXPECT_EQ(route.reason, "domain bare.example.org has no mail exchanger and no address");
}

TEST(ExchangerResolverTest, NonexistentDomainAndNullMxArePermanent) {
    Fixture fixture(
        Zone().Add("nomail.example", kMx, {Mx(kAsked, 0, std::string(1, '\0'))}).Script());
    Route route = fixture.Resolve("missing.example");
    EXPECT_EQ(route.status, RouteStatus::permanent);
    EXPECT_EQ(route.reason, "domain missing.example does not exist");

    route = fixture.Resolve("nomail.example");
    EXPECT_EQ(route.status, RouteStatus::permanent);
    EXPECT_NE(route.reason.find("domain nomail.example does not accept mail"), std::string::npos)
        << route.reason;
    // Only the MX question was needed for either.
    EXPECT_EQ(fixture.server.QueryCount(), 2U);
}

TEST(ExchangerResolverTest, ServerFailuresAndGarbledAnswersAreTemporary) {
    const std::vector<std::pair<std::uint16_t, std::string>> failures{
        {2, "DNS server 127.0.0.1 failed to answer for example.org (SERVFAIL)"},
        {5, "DNS server 127.0.0.1 failed to answer for example.org (REFUSED)"},
        {4, "DNS server 127.0.0.1 failed to answer for example.org (response code 4)"}};
    for (const auto& [rcode, reason] : failures) {
        Fixture fixture([rcode](const std::string& query) {
            return std::vector<DnsReply>{{Answer(query, {}, rcode)}};
        });
        const Route route = fixture.Resolve("example.org");
        EXPECT_EQ(route.status, RouteStatus::temporary);
        EXPECT_EQ(route.reason, reason);
    }

    Fixture garbled([](const std::string& query) {
        std::string answer = Answer(query, {Mx(kAsked, 10, Name("mx.example.org"))});
        answer.resize(answer.size() - 3);
        return std::vector<DnsReply>{{answer}};
    });
    const Route route = garbled.Resolve("example.org");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason, "DNS server 127.0.0.1 sent an unreadable answer for example.org");
}

TEST(ExchangerResolverTest, SilentServerTimesOut) {
    ExchangerResolver::Options options = Quick();
    options.timeoutMs = kShortTimeoutMs;
    Fixture fixture([](const std::string&) { return std::vector<DnsReply>{}; }, options);
    const Route route = fixture.Resolve("example.org");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason.rfind("DNS server 127.0.0.1 did not answer within 200 ms", 0), 0U)
        << route.reason;
}

TEST(ExchangerResolverTest, TruncatedAnswerIsAskedAgainOverTcp) {
    const Zone zone = Zone()
                          .Add("example.org", kMx, {Mx(kAsked, 10, Name("mx.example.org"))})
                          .Add("mx.example.org", kA, {Address(kAsked, "192.0.2.25")});
    const FakeDnsServer::Script truncatedMx = [zone](const std::string& query) {
        if (AskedType(query) == kMx) {
            return std::vector<DnsReply>{{Truncated(Answer(query, {}))}};
        }
        return zone.Script()(query);
    };
    Fixture fixture(truncatedMx, Quick(), zone.Script());
    const Route route = fixture.Resolve("example.org");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    EXPECT_EQ(Names(route), std::vector<std::string>{"mx.example.org"});
    EXPECT_EQ(fixture.server.TcpQueryCount(), 1U);
    const std::vector<std::string> queries = fixture.server.Queries();
    ASSERT_GE(queries.size(), 2U);
    // The same question over TCP.
    EXPECT_EQ(Question(queries[0]), Question(queries[1]));
}

TEST(ExchangerResolverTest, TcpAnswerCutShortOrGarbledIsTemporaryAndSaysSo) {
    const FakeDnsServer::Script truncated = [](const std::string& query) {
        return std::vector<DnsReply>{{Truncated(Answer(query, {}))}};
    };
    const auto full = [](const std::string& query) {
        return Answer(query, {Mx(kAsked, 10, Name("mx.example.org"))});
    };
    Fixture cut(truncated, Quick(), [&](const std::string& query) {
        return std::vector<DnsReply>{{full(query), false, true}};
    });
    Route route = cut.Resolve("example.org");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason, "DNS server 127.0.0.1 ended the TCP connection before its answer was "
                            "complete");

    Fixture garbled(truncated, Quick(), [&](const std::string& query) {
        std::string answer = full(query);
        answer.resize(answer.size() - 3);
        return std::vector<DnsReply>{{answer}};
    });
    route = garbled.Resolve("example.org");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason, "DNS server 127.0.0.1 sent an unreadable answer over TCP for "
                            "example.org");
}

TEST(ExchangerResolverTest, AnswersToAnotherQuestionOrIdAreIgnored) {
    const auto withOtherId = [](std::string answer) {
        answer[0] = static_cast<char>(answer[0] ^ 0x80);
        return answer;
    };
    const auto otherQuestion = [](const std::string& query, const std::string& name,
                                  std::uint16_t type) {
        std::string forged = query.substr(0, 12) + Name(name) + Word16(type) + Word16(1);
        return Answer(forged, {Mx(kAsked, 1, Name("forged.example"))});
    };
    Fixture fixture([&](const std::string& query) {
        return std::vector<DnsReply>{
            {otherQuestion(query, "other.example", kMx)},
            {otherQuestion(query, "example.org", kA)},
            {withOtherId(Answer(query, {Mx(kAsked, 1, Name("forged.example"))}))},
            {Answer(query, {Mx(kAsked, 10, Name("192.0.2.10"))})}};
    });
    const Route route = fixture.Resolve("example.org");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    EXPECT_EQ(Names(route), std::vector<std::string>{"192.0.2.10"});

    ExchangerResolver::Options options = Quick();
    options.timeoutMs = kShortTimeoutMs;
    Fixture onlyForged(
        [&](const std::string& query) {
            return std::vector<DnsReply>{{otherQuestion(query, "example.com", kMx)},
                                         {withOtherId(Answer(query, {}))}};
        },
        options);
    EXPECT_EQ(onlyForged.Resolve("example.org").status, RouteStatus::temporary);
}

TEST(ExchangerResolverTest, AliasesAreFollowed) {
    Fixture fixture(Zone()
                        // Inside one answer: the alias and the target's records.
                        .Add("example.org", kMx,
                             {Cname(kAsked, "mail.example.net"),
                              Mx(Name("mail.example.net"), 10, Name("mx.example.net"))})
                        // An answer with only the alias: the target is asked for next.
                        .Add("mx.example.net", kA, {Cname(kAsked, "host.example.net")})
                        .Add("host.example.net", kA, {Address(kAsked, "192.0.2.44")})
                        .Add("loop.example", kMx, {Cname(kAsked, "loop.example")})
                        .Script());
    Route route = fixture.Resolve("example.org");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    EXPECT_EQ(Names(route), std::vector<std::string>{"mx.example.net"});
    EXPECT_EQ(Addresses(route.exchangers[0]), std::vector<std::string>{"192.0.2.44:25"});

    route = fixture.Resolve("loop.example");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_NE(route.reason.find("more than 8 aliases"), std::string::npos) << route.reason;
}

TEST(ExchangerResolverTest, InternationalNamesAreAskedInTheirAsciiForm) {
    Fixture fixture(
        Zone().Add("xn--bcher-kva.example", kMx, {Mx(kAsked, 10, Name("192.0.2.7"))}).Script());
    const Route route = fixture.Resolve("B\xC3\xBC"
                                        "cher.example");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    EXPECT_EQ(AskedName(fixture.server.ReceivedQuery()), "xn--bcher-kva.example");

    // U+0080, a control character, is no part of any IDNA name.
    const Route bad = fixture.Resolve("a\xC2\x80.example");
    EXPECT_EQ(bad.status, RouteStatus::permanent);
    EXPECT_EQ(bad.reason, "domain a\xC2\x80.example is not a valid international domain name");
    for (const std::string& invalid :
         std::vector<std::string>{"a..example", "", std::string(64, 'a') + ".example"}) {
        EXPECT_EQ(fixture.Resolve(invalid).status, RouteStatus::permanent) << invalid;
    }
    EXPECT_EQ(fixture.server.QueryCount(), 1U);
}

TEST(ExchangerResolverTest, AddressLiteralsNeedNoDns) {
    Fixture fixture([](const std::string&) { return std::vector<DnsReply>{}; });
    Route route = fixture.Resolve("[192.0.2.7]");
    ASSERT_EQ(route.status, RouteStatus::found);
    EXPECT_EQ(Names(route), std::vector<std::string>{"[192.0.2.7]"});
    EXPECT_EQ(Addresses(route.exchangers[0]), std::vector<std::string>{"192.0.2.7:25"});

    route = fixture.Resolve("[IPv6:2001:db8::7]");
    ASSERT_EQ(route.status, RouteStatus::found);
    EXPECT_EQ(Addresses(route.exchangers[0]), std::vector<std::string>{"[2001:db8::7]:25"});

    for (const char* malformed :
         {"[2001:db8::7]", "[IPv6:192.0.2.7]", "[192.0.2.256]", "[192.0.2]", "[]", "[tag:x]"}) {
        route = fixture.Resolve(malformed);
        EXPECT_EQ(route.status, RouteStatus::permanent) << malformed;
        EXPECT_NE(route.reason.find("is not a valid address literal"), std::string::npos);
    }
    EXPECT_EQ(fixture.server.QueryCount(), 0U);
}

TEST(ExchangerResolverTest, ExchangersWithoutAddressAreLeftOut) {
    Fixture fixture(
        Zone()
            .Add("example.org", kMx,
                 {Mx(kAsked, 1, Name("gone.example.org")), Mx(kAsked, 2, Name("empty.example.org")),
                  Mx(kAsked, 3, Name("127.0.0.31"))})
            .Add("empty.example.org", kMx, {})
            .Add(
                "dead.example", kMx,
                {Mx(kAsked, 1, Name("empty.example.org")), Mx(kAsked, 2, Name("gone.example.org"))})
            .Script());
    Route route = fixture.Resolve("example.org");
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    EXPECT_EQ(Names(route), std::vector<std::string>{"127.0.0.31"});
    EXPECT_EQ(Addresses(route.exchangers[0]), std::vector<std::string>{"127.0.0.31:25"});
    // The dotted exchange is not asked about; the missing name once, the empty one twice.
    EXPECT_EQ(fixture.server.QueryCount(), 4U);

    route = fixture.Resolve("dead.example");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason, "no mail exchanger of dead.example has an address (last: mail "
                            "exchanger gone.example.org does not exist)");
}

TEST(ExchangerResolverTest, MissingDnsServerTellsWhatToSet) {
    ExchangerResolver resolver;
    const Route route = resolver.Resolve("", "example.org");
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_NE(route.reason.find("in the settings"), std::string::npos) << route.reason;
}

TEST(ExchangerResolverTest, RelayHostIsAskedForItsAddressesOnlyWithTheGivenPort) {
    Fixture fixture(Zone()
                        .Add("smtp.relay.test", kAaaa, {Address(kAsked, "2001:db8::70")})
                        .Add("smtp.relay.test", kA, {Address(kAsked, "192.0.2.70")})
                        .Add("nameless.relay.test", kMx, {Mx(kAsked, 10, Name("192.0.2.1"))})
                        .Script());
    Route route = fixture.resolver.ResolveHost("127.0.0.1", "SMTP.Relay.Test", 465);
    ASSERT_EQ(route.status, RouteStatus::found) << route.reason;
    ASSERT_EQ(route.exchangers.size(), 1U);
    EXPECT_EQ(route.exchangers[0].name, "smtp.relay.test");
    EXPECT_EQ(Addresses(route.exchangers[0]),
              (std::vector<std::string>{"[2001:db8::70]:465", "192.0.2.70:465"}));
    EXPECT_EQ(fixture.server.QueryCount(), 2U); // no MX question

    route = fixture.resolver.ResolveHost("127.0.0.1", "192.0.2.9", 587);
    ASSERT_EQ(route.status, RouteStatus::found);
    EXPECT_EQ(Addresses(route.exchangers[0]), std::vector<std::string>{"192.0.2.9:587"});

    // Unknown to the DNS server, or known without an address: the setting may be wrong,
    // so the mail waits.
    route = fixture.resolver.ResolveHost("127.0.0.1", "missing.relay.test", 587);
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason, "relay host missing.relay.test does not exist at DNS server "
                            "127.0.0.1; check relayhost in the settings");
    route = fixture.resolver.ResolveHost("127.0.0.1", "nameless.relay.test", 587);
    EXPECT_EQ(route.status, RouteStatus::temporary);
    EXPECT_EQ(route.reason, "relay host nameless.relay.test has no address (no AAAA or A "
                            "record) at DNS server 127.0.0.1; check relayhost in the settings");
}

TEST(ExchangerResolverCacheTest, BurstAsksOncePerRecordType) {
    const Zone zone = Zone()
                          .Add("example.org", kMx, {Mx(kAsked, 10, Name("mx.example.org"))})
                          .Add("mx.example.org", kAaaa, {Address(kAsked, "2001:db8::25")})
                          .Add("mx.example.org", kA, {Address(kAsked, "192.0.2.25")});
    // A slow server, so that the burst's calls overlap the first ones' questions.
    Fixture fixture([zone](const std::string& query) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return zone.Script()(query);
    });
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 100; ++i) {
        threads.emplace_back(
            [&] { found += fixture.Resolve("example.org").status == RouteStatus::found ? 1 : 0; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(found, 100);
    EXPECT_EQ(fixture.server.QueryCount(kMx), 1U);
    EXPECT_EQ(fixture.server.QueryCount(kAaaa), 1U);
    EXPECT_EQ(fixture.server.QueryCount(kA), 1U);
}

struct ClockedFixture {
    explicit ClockedFixture(FakeDnsServer::Script script, std::size_t entries = 4096)
        : fixture(std::move(script), [&] {
              ExchangerResolver::Options options = Quick();
              options.cacheEntries = entries;
              options.clock = [this] { return now.load(); };
              return options;
          }()) {}

    // `domain` asked at once, then just before and at `seconds` later: the answer is kept
    // exactly that long (one query more than before, then another).
    void ExpectKeptFor(const std::string& domain, std::int64_t seconds) {
        const std::size_t before = fixture.server.QueryCount();
        fixture.Resolve(domain);
        now += seconds - 1;
        fixture.Resolve(domain);
        EXPECT_EQ(fixture.server.QueryCount(), before + 1) << domain;
        now += 1;
        fixture.Resolve(domain);
        EXPECT_EQ(fixture.server.QueryCount(), before + 2) << domain;
    }

    std::atomic<std::int64_t> now{1000};
    Fixture fixture;
};

TEST(ExchangerResolverCacheTest, AnswersExpireWithTheirSmallestTtl) {
    ClockedFixture clocked(
        Zone()
            .Add("example.org", kMx,
                 {Mx(kAsked, 10, Name("192.0.2.1"), 300), Mx(kAsked, 20, Name("192.0.2.2"), 60)})
            .Script());
    clocked.ExpectKeptFor("example.org", 60);
}

TEST(ExchangerResolverCacheTest, NegativeAnswersUseTheSoaAndFailuresAreNotKept) {
    std::atomic<bool> failing{true};
    const FakeDnsServer::Script zone = Zone().Script();
    ClockedFixture clocked([&](const std::string& query) {
        if (AskedName(query) == "flaky.example" && failing) {
            return std::vector<DnsReply>{{Answer(query, {}, 2)}};
        }
        return zone(query);
    });
    FakeDnsServer& server = clocked.fixture.server;
    // NXDOMAIN with a SOA of TTL 900 and MINIMUM 600: kept 600 s.
    clocked.ExpectKeptFor("missing.example", 600);

    EXPECT_EQ(clocked.fixture.Resolve("flaky.example").status, RouteStatus::temporary);
    failing = false;
    EXPECT_EQ(clocked.fixture.Resolve("flaky.example").reason,
              "domain flaky.example does not exist");
    EXPECT_EQ(server.QueryCount(), 4U);
}

TEST(ExchangerResolverCacheTest, LongTtlsAreCappedAtADay) {
    ClockedFixture clocked(
        Zone().Add("example.org", kMx, {Mx(kAsked, 10, Name("192.0.2.1"), 0x7FFFFFFF)}).Script());
    clocked.ExpectKeptFor("example.org", 86400);
}

TEST(ExchangerResolverCacheTest, CacheHoldsAtMostItsEntries) {
    ClockedFixture clocked(Zone()
                               .Add("one.example", kMx, {Mx(kAsked, 10, Name("192.0.2.1"))})
                               .Add("two.example", kMx, {Mx(kAsked, 10, Name("192.0.2.2"))})
                               .Script(),
                           1);
    clocked.fixture.Resolve("one.example");
    clocked.fixture.Resolve("two.example");
    clocked.fixture.Resolve("two.example");
    EXPECT_EQ(clocked.fixture.server.QueryCount(), 2U);
    clocked.fixture.Resolve("one.example");
    EXPECT_EQ(clocked.fixture.server.QueryCount(), 3U);
}

} // namespace
} // namespace lumenpost
