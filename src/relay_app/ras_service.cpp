#include "relay_app/ras_service.h"

#include "relay_app/ras_interface_list.h"

#include <map>
#include <net/if.h>

namespace lumenpost {
namespace {

bool IsDialUpLink(const ifaddrs& entry) {
    return (entry.ifa_flags & IFF_POINTOPOINT) != 0 && (entry.ifa_flags & IFF_LOOPBACK) == 0;
}

// "ppp0" is a "ppp" device; a name without trailing digits is its own type.
std::string DeviceTypeOf(const std::string& name) {
    const auto end = name.find_last_not_of("0123456789");
    return end == std::string::npos ? name : name.substr(0, end + 1);
}

TRasConnection ConnectionOf(const ifaddrs& entry, unsigned index) {
    TRasConnection connection;
    connection.Handle = index;
    connection.EntryName = entry.ifa_name;
    connection.DeviceType = DeviceTypeOf(entry.ifa_name);
    connection.DeviceName = entry.ifa_name;
    connection.Status.State = RasStateOfInterfaceFlags(entry.ifa_flags);
    return connection;
}

// The first IPv4 address of an interface is its projection; later ones are aliases.
void AddProjection(TRasConnection& connection, const ifaddrs& entry) {
    if (connection.Projection || entry.ifa_addr == nullptr ||
        entry.ifa_addr->sa_family != AF_INET) {
        return;
    }
    connection.Projection =
        TRasIpProjection{DottedAddress(entry.ifa_addr), DottedAddress(entry.ifa_dstaddr)};
}

} // namespace

std::uint32_t RasStateOfInterfaceFlags(unsigned flags) {
    if ((flags & IFF_UP) == 0) {
        return kRasPortOpened;
    }
    return (flags & IFF_RUNNING) != 0 ? kRasConnected : kRasConnectingDevice;
}

bool TPointToPointRasService::Load() {
    // Decided once per process, as a run-time loaded library would be.
    static const bool loaded = TInterfaceList().Valid();
    return loaded;
}

std::optional<std::vector<TRasConnection>> TPointToPointRasService::EnumConnections() {
    const TInterfaceList interfaces;
    if (!interfaces.Valid()) {
        return std::nullopt;
    }
    std::map<unsigned, TRasConnection> byIndex;
    for (const ifaddrs* entry = interfaces.First(); entry != nullptr; entry = entry->ifa_next) {
        if (!IsDialUpLink(*entry)) {
            continue;
        }
        const unsigned index = ::if_nametoindex(entry->ifa_name);
        if (index == 0) {
            continue; // gone since the list was read
        }
        auto found = byIndex.find(index);
        if (found == byIndex.end()) {
            found = byIndex.emplace(index, ConnectionOf(*entry, index)).first;
        }
        AddProjection(found->second, *entry);
    }
    std::vector<TRasConnection> connections;
    connections.reserve(byIndex.size());
    for (auto& [index, connection] : byIndex) {
        connections.push_back(std::move(connection));
    }
    return connections;
}

std::unique_ptr<TRasService> SystemRasService() {
    return std::make_unique<TPointToPointRasService>();
}

} // namespace lumenpost
