#pragma once

#include "relay/ipv4_network.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumenpost {

// Whether a client may use the relay: one from loopback (127.0.0.0/8), from one of this
// machine's own addresses, or from one of the --allow-from networks. Anyone else would
// make it an open relay for the whole network.
bool ClientAllowed(std::uint32_t peer, std::span<const std::uint32_t> ownAddresses,
                   std::span<const Ipv4Network> allowFrom);

// As above for the peer address as the socket reports it; an address that is not
// dotted-decimal IPv4 is refused.
bool ClientAllowed(const std::string& peerAddr, std::span<const std::uint32_t> ownAddresses,
                   std::span<const Ipv4Network> allowFrom);

// The IPv4 addresses of this machine's interfaces as they are now (host order).
std::vector<std::uint32_t> OwnIpv4Addresses();

} // namespace lumenpost
