#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sockaddr;

namespace lumenpost {

// One address entry of a network interface (an interface with several addresses has
// several entries; one without any has one entry without an address).
struct InterfaceAddress {
    std::string name;                      // "eth0", "ppp0"
    unsigned flags = 0;                    // IFF_UP, IFF_RUNNING, IFF_POINTOPOINT, ...
    std::optional<std::uint32_t> ipv4;     // the entry's IPv4 address, host order
    std::optional<std::uint32_t> peerIpv4; // a point-to-point link's far end, host order
};

// The machine's interface address entries as they are now, in the system's order;
// nothing when the list cannot be read.
std::optional<std::vector<InterfaceAddress>> ReadInterfaceAddresses();

// The IPv4 address (host order) of a socket address; nothing for another family.
std::optional<std::uint32_t> Ipv4Of(const sockaddr* address);

// An IPv4 address (host order) in dotted decimal.
std::string DottedIpv4(std::uint32_t hostOrder);

} // namespace lumenpost
