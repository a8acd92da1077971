#include "platform/network_interfaces.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>

namespace lumenpost {
namespace {

InterfaceAddress EntryOf(const ifaddrs& entry) {
    InterfaceAddress address;
    address.name = entry.ifa_name != nullptr ? entry.ifa_name : "";
    address.flags = entry.ifa_flags;
    address.ipv4 = Ipv4Of(entry.ifa_addr);
    // The destination field holds the broadcast address on other interfaces.
    if ((entry.ifa_flags & IFF_POINTOPOINT) != 0) {
        address.peerIpv4 = Ipv4Of(entry.ifa_dstaddr);
    }
    return address;
}

} // namespace

std::optional<std::uint32_t> Ipv4Of(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return std::nullopt;
    }
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, address, sizeof ipv4);
    return ntohl(ipv4.sin_addr.s_addr);
}

std::optional<std::vector<InterfaceAddress>> ReadInterfaceAddresses() {
    ifaddrs* first = nullptr;
    if (::getifaddrs(&first) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(first, ::freeifaddrs);
    std::vector<InterfaceAddress> addresses;
    for (const ifaddrs* entry = first; entry != nullptr; entry = entry->ifa_next) {
        addresses.push_back(EntryOf(*entry));
    }
    return addresses;
}

std::string DottedIpv4(std::uint32_t hostOrder) {
    in_addr address{};
    address.s_addr = htonl(hostOrder);
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, text, sizeof text) != nullptr ? text : "";
}

} // namespace lumenpost
