#include "delivery/dns_cache.h"

#include <optional>

namespace lumenpost {

DnsCache::DnsCache(std::size_t capacity, Clock clock)
    : capacity_(capacity), clock_(std::move(clock)) {}

// The first caller for a key fetches; whoever asks meanwhile waits for its outcome,
// failures included, which are shared but never kept.
DnsLookup DnsCache::Get(const DnsCacheKey& key, const Fetch& fetch) {
    std::optional<std::promise<DnsLookup>> promise;
    std::shared_future<DnsLookup> pending;
    {
        const std::lock_guard lock(mutex_);
        if (const DnsLookup* kept = FindLocked(key, clock_())) {
            return *kept;
        }
        const auto [flight, first] = inFlight_.try_emplace(key);
        if (first) {
            flight->second = promise.emplace().get_future().share();
        } else {
            pending = flight->second;
        }
    }
    return promise ? FetchFor(key, fetch, *promise) : pending.get();
}

DnsLookup DnsCache::FetchFor(const DnsCacheKey& key, const Fetch& fetch,
                             std::promise<DnsLookup>& promise) {
    try {
        const DnsLookup lookup = fetch();
        {
            const std::lock_guard lock(mutex_);
            StoreLocked(key, lookup, clock_());
            inFlight_.erase(key);
        }
        promise.set_value(lookup);
        return lookup;
    } catch (...) {
        {
            const std::lock_guard lock(mutex_);
            inFlight_.erase(key);
        }
        promise.set_exception(std::current_exception());
        throw;
    }
}

const DnsLookup* DnsCache::FindLocked(const DnsCacheKey& key, std::int64_t now) {
    const auto entry = entries_.find(key);
    if (entry == entries_.end()) {
        return nullptr;
    }
    if (entry->second.expiresAt <= now) {
        EraseLocked(entry);
        return nullptr;
    }
    return &entry->second.lookup;
}

void DnsCache::StoreLocked(const DnsCacheKey& key, const DnsLookup& lookup, std::int64_t now) {
    if (lookup.outcome == DnsLookup::Outcome::failed || lookup.ttl == 0 || capacity_ == 0) {
        return;
    }
    if (const auto old = entries_.find(key); old != entries_.end()) {
        EraseLocked(old);
    }
    MakeRoomLocked(now);
    const std::int64_t expiresAt = now + lookup.ttl;
    entries_.emplace(key, Entry{lookup, expiresAt});
    byExpiry_.emplace(expiresAt, key);
}

void DnsCache::EraseLocked(std::map<DnsCacheKey, Entry>::iterator entry) {
    byExpiry_.erase({entry->second.expiresAt, entry->first});
    entries_.erase(entry);
}

void DnsCache::MakeRoomLocked(std::int64_t now) {
    if (entries_.size() < capacity_) {
        return;
    }
    // Expired entries sort first, so they go before any live one.
    while (!byExpiry_.empty() &&
           (byExpiry_.begin()->first <= now || entries_.size() >= capacity_)) {
        EraseLocked(entries_.find(byExpiry_.begin()->second));
    }
}

} // namespace lumenpost
