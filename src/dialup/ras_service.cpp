#include "dialup/ras_service.h"

#include "platform/network_interfaces.h"

#include <map>
#include <net/if.h>

namespace lumenpost {
namespace {

bool IsDialUpLink(const InterfaceAddress& entry) {
    return (entry.flags & IFF_POINTOPOINT) != 0 && (entry.flags & IFF_LOOPBACK) == 0;
}

// "ppp0" is a "ppp" device; a name without trailing digits is its own type.
std::string DeviceTypeOf(const std::string& name) {
    const auto end = name.find_last_not_of("0123456789");
    return end == std::string::npos ? name : name.substr(0, end + 1);
}

TRasConnection ConnectionOf(const InterfaceAddress& entry, unsigned index) {
    TRasConnection connection;
    connection.Handle = index;
    connection.EntryName = entry.name;
    connection.DeviceType = DeviceTypeOf(entry.name);
    connection.DeviceName = entry.name;
    connection.Status.State = RasStateOfInterfaceFlags(entry.flags);
    return connection;
}

// The first IPv4 address of an interface is its projection; later ones are aliases.
void AddProjection(TRasConnection& connection, const InterfaceAddress& entry) {
    if (connection.Projection || !entry.ipv4) {
        return;
    }
    connection.Projection = TRasIpProjection{
        DottedIpv4(*entry.ipv4), entry.peerIpv4 ? DottedIpv4(*entry.peerIpv4) : std::string()};
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
    static const bool loaded = ReadInterfaceAddresses().has_value();
    return loaded;
}

std::optional<std::vector<TRasConnection>> TPointToPointRasService::EnumConnections() {
    const auto interfaces = ReadInterfaceAddresses();
    if (!interfaces) {
        return std::nullopt;
    }
    std::map<unsigned, TRasConnection> byIndex;
    for (const InterfaceAddress& entry : *interfaces) {
        if (!IsDialUpLink(entry)) {
            continue;
        }
        const unsigned index = ::if_nametoindex(entry.name.c_str());
        if (index == 0) {
            continue; // gone since the list was read
        }
        auto found = byIndex.find(index);
        if (found == byIndex.end()) {
            found = byIndex.emplace(index, ConnectionOf(entry, index)).first;
        }
        AddProjection(found->second, entry);
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
