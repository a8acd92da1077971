#include "smtp_server/host_name_cache.h"

#include "net_events/socket_names.h"
#include "platform/tick.h"
#include "smtp_server/smtp_limits.h"

#include <algorithm>
#include <stdexcept>

namespace lumenpost {
namespace {

bool IsFresh(const RIPList& entry, std::uint32_t now) {
    return TicksBetween(entry.Tick, now) < smtp_limits::kHostNameFreshMs;
}

} // namespace

std::string THostNameCache::Lookup(const std::string& peerAddr, const std::string& heloName,
                                   std::uint32_t now, const Resolver& resolve) {
    try {
        for (const RIPList& entry : mEntries) {
            if (entry.IpText == peerAddr && IsFresh(entry, now)) {
                return entry.HostName;
            }
        }
        std::string name = resolve(peerAddr);
        if (name.size() < smtp_limits::kMinHostNameLength) {
            name = heloName;
        }
        FreeSlot(now) = RIPList{peerAddr, name, now};
        return name;
    } catch (const std::exception&) {
        return heloName; // a failed lookup only costs the nicer name
    }
}

RIPList& THostNameCache::FreeSlot(std::uint32_t now) {
    const auto reusable = std::find_if(mEntries.begin(), mEntries.end(), [now](const RIPList& e) {
        return !IsFresh(e, now) || e.IpText.empty() || e.HostName.empty();
    });
    if (reusable != mEntries.end()) {
        return *reusable;
    }
    return mEntries.emplace_back();
}

std::string PeerHostName(const std::string& address) {
    const std::vector<std::string> own = LocalAddressList();
    if (std::find(own.begin(), own.end(), address) != own.end()) {
        return LocalMachineName();
    }
    return AddrToHostName(address);
}

} // namespace lumenpost
