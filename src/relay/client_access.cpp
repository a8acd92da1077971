#include "relay/client_access.h"

#include "platform/network_interfaces.h"

#include <algorithm>

namespace lumenpost {
namespace {

constexpr Ipv4Network kLoopback{0x7F000000u, 8};

} // namespace

bool ClientAllowed(std::uint32_t peer, std::span<const std::uint32_t> ownAddresses,
                   std::span<const Ipv4Network> allowFrom) {
    return kLoopback.Contains(peer) ||
           std::find(ownAddresses.begin(), ownAddresses.end(), peer) != ownAddresses.end() ||
           std::any_of(allowFrom.begin(), allowFrom.end(),
                       [peer](const Ipv4Network& network) { return network.Contains(peer); });
}

bool ClientAllowed(const std::string& peerAddr, std::span<const std::uint32_t> ownAddresses,
                   std::span<const Ipv4Network> allowFrom) {
    const auto peer = ParseIpv4(QString::fromStdString(peerAddr));
    return peer && ClientAllowed(*peer, ownAddresses, allowFrom);
}

std::vector<std::uint32_t> OwnIpv4Addresses() {
    std::vector<std::uint32_t> addresses;
    // Without the list, loopback and --allow-from still apply.
    for (const InterfaceAddress& entry :
         ReadInterfaceAddresses().value_or(std::vector<InterfaceAddress>{})) {
        if (entry.ipv4) {
            addresses.push_back(*entry.ipv4);
        }
    }
    return addresses;
}

} // namespace lumenpost
