#include "relay_app/client_access.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>

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
    ifaddrs* first = nullptr;
    if (getifaddrs(&first) != 0) {
        return {}; // loopback and --allow-from still apply
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(first, freeifaddrs);
    std::vector<std::uint32_t> addresses;
    for (const ifaddrs* entry = first; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            sockaddr_in address{};
            std::copy_n(reinterpret_cast<const char*>(entry->ifa_addr), sizeof address,
                        reinterpret_cast<char*>(&address));
            addresses.push_back(ntohl(address.sin_addr.s_addr));
        }
    }
    return addresses;
}

} // namespace lumenpost
