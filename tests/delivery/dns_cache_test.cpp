#include "delivery/dns_cache.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace lumenpost {
namespace {

DnsLookup Kept(std::uint32_t ttl, const std::string& data = "192.0.2.1") {
    DnsRecord record;
    record.type = kDnsTypeA;
    record.data = data;
    return {DnsLookup::Outcome::found, {record}, ttl, {}};
}

class DnsCacheTest : public testing::Test {
protected:
    DnsCacheKey Key(const std::string& name) { return {"127.0.0.1:53", name, kDnsTypeA}; }

    // Gets `name` from the cache, counting the fetches.
    DnsLookup Get(const std::string& name, DnsLookup fetched) {
        return cache.Get(Key(name), [&] {
            ++fetches;
            return fetched;
        });
    }

    std::int64_t now = 0;
    int fetches = 0;
    DnsCache cache{3, [this] { return now; }};
};

TEST_F(DnsCacheTest, FullCacheDropsExpiredEntriesThenTheSoonestToExpire) {
    Get("a", Kept(10));
    Get("b", Kept(100));
    Get("c", Kept(50));
    now = 20; // a has expired
    Get("d", Kept(1000));
    Get("e", Kept(1000)); // full again: c goes first
    EXPECT_EQ(fetches, 5);
    Get("b", Kept(1));
    Get("d", Kept(1));
    Get("e", Kept(1));
    EXPECT_EQ(fetches, 5);
    Get("c", Kept(1));
    EXPECT_EQ(fetches, 6);
}

TEST_F(DnsCacheTest, FailuresAndZeroTtlsAreNotKept) {
    Get("a", {DnsLookup::Outcome::failed, {}, 600, "down"});
    Get("a", Kept(0));
    EXPECT_EQ(Get("a", Kept(60, "192.0.2.9")).records[0].data, "192.0.2.9");
    EXPECT_EQ(Get("a", Kept(60)).records[0].data, "192.0.2.9");
    EXPECT_EQ(fetches, 3);
}

TEST_F(DnsCacheTest, FailingFetchLeavesNothingBehind) {
    EXPECT_THROW(cache.Get(Key("a"), []() -> DnsLookup { throw std::runtime_error("fetch"); }),
                 std::runtime_error);
    Get("a", Kept(60));
    EXPECT_EQ(fetches, 1);
}

} // namespace
} // namespace lumenpost
