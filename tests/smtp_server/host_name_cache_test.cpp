#include "smtp_server/host_name_cache.h"
#include "smtp_server/service_port.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace lumenpost {
namespace {

constexpr std::uint32_t kHour = 3600000;

struct CountingResolver {
    int calls = 0;
    std::string name = "host.example";
    THostNameCache::Resolver AsResolver() {
        return [this](const std::string&) {
            ++calls;
            return name;
        };
    }
};

TEST(HostNameCacheTest, LooksUpAnAddressOnceAnHour) {
    THostNameCache cache;
    CountingResolver dns;
    const std::uint32_t start = 0xFFFFFF00u; // the tick wraps during the hour
    EXPECT_EQ(cache.Lookup("10.0.0.1", "helo", start, dns.AsResolver()), "host.example");
    dns.name = "other.example";
    EXPECT_EQ(cache.Lookup("10.0.0.1", "helo", start + kHour - 1, dns.AsResolver()),
              "host.example");
    EXPECT_EQ(dns.calls, 1);
    EXPECT_EQ(cache.Lookup("10.0.0.1", "helo", start + kHour, dns.AsResolver()), "other.example");
    EXPECT_EQ(dns.calls, 2);
    EXPECT_EQ(cache.Entries().size(), 1u); // the stale slot was reused
}

TEST(HostNameCacheTest, ShortOrFailedNamesGiveTheHeloName) {
    THostNameCache cache;
    CountingResolver dns;
    dns.name = "abc";
    EXPECT_EQ(cache.Lookup("10.0.0.1", "client.helo", 5, dns.AsResolver()), "client.helo");
    EXPECT_EQ(cache.Lookup("10.0.0.1", "second.helo", 6, dns.AsResolver()), "client.helo");
    const auto failing = [](const std::string&) -> std::string {
        throw std::runtime_error("resolver down");
    };
    EXPECT_EQ(cache.Lookup("10.0.0.2", "mine", 7, failing), "mine");
    EXPECT_EQ(cache.Entries().size(), 1u);
}

TEST(ServicePortTest, NamesNumbersAndFallbacks) {
    EXPECT_EQ(ResolveServicePort("Smtp"), "25");
    EXPECT_EQ(ResolveServicePort(" 25 "), "25");
    EXPECT_EQ(ResolveServicePort("POP3"), "110");
    EXPECT_EQ(ResolveServicePort(" NoSuchService "), "nosuchservice");
}

} // namespace
} // namespace lumenpost
