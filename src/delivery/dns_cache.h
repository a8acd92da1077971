#pragma once

#include "delivery/dns_lookup.h"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace lumenpost {

struct DnsCacheKey {
    std::string server; // address and port of the DNS server
    std::string name;   // in lower case
    std::uint16_t type = 0;

    auto operator<=>(const DnsCacheKey&) const = default;
};

// Lookups kept for their TTL, at most `capacity` of them; when full, expired entries go
// first, then the one closest to expiring. Safe for several threads: callers asking for
// one key at once share a single fetch, and no lock is held while it runs.
class DnsCache {
public:
    using Clock = std::function<std::int64_t()>; // seconds
    using Fetch = std::function<DnsLookup()>;

    DnsCache(std::size_t capacity, Clock clock);

    // The kept lookup for `key`, else the outcome of `fetch`, kept unless it failed.
    DnsLookup Get(const DnsCacheKey& key, const Fetch& fetch);

private:
    struct Entry {
        DnsLookup lookup;
        std::int64_t expiresAt = 0;
    };

    const DnsLookup* FindLocked(const DnsCacheKey& key, std::int64_t now);
    void StoreLocked(const DnsCacheKey& key, const DnsLookup& lookup, std::int64_t now);
    void EraseLocked(std::map<DnsCacheKey, Entry>::iterator entry);
    void MakeRoomLocked(std::int64_t now);
    DnsLookup FetchFor(const DnsCacheKey& key, const Fetch& fetch,
                       std::promise<DnsLookup>& promise);

    const std::size_t capacity_;
    const Clock clock_;
    std::mutex mutex_;
    std::map<DnsCacheKey, Entry> entries_;
    std::set<std::pair<std::int64_t, DnsCacheKey>> byExpiry_;
    std::map<DnsCacheKey, std::shared_future<DnsLookup>> inFlight_;
};

} // namespace lumenpost
