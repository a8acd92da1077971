#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lumenpost {

// One remembered reverse lookup.
struct RIPList {
    std::string IpText;
    std::string HostName;
    std::uint32_t Tick = 0; // when it was stored
};

// Remembers the names found for peer addresses for an hour, because the reverse lookup
// blocks the event loop. Stale slots are reused; the cache never shrinks.
class THostNameCache {
public:
    // Finds the host name of an address; empty when there is none. May throw.
    using Resolver = std::function<std::string(const std::string& address)>;

    // The name to show for `peerAddr`: cached while fresh, else resolved and stored. A
    // resolved name shorter than four characters, or a failed lookup, gives `heloName`.
    std::string Lookup(const std::string& peerAddr, const std::string& heloName, std::uint32_t now,
                       const Resolver& resolve);

    const std::vector<RIPList>& Entries() const { return mEntries; }
    void Clear() { mEntries.clear(); }

private:
    RIPList& FreeSlot(std::uint32_t now);

    std::vector<RIPList> mEntries;
};

// This machine's name for one of its own addresses, else the address's reverse lookup.
std::string PeerHostName(const std::string& address);

} // namespace lumenpost
