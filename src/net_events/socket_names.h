#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// A host as the resolver reports it: its name and its IPv4 addresses in network
// byte order, in the resolver's order.
struct THostRecord {
    std::string Name;
    std::vector<std::uint32_t> Addresses;
};

// All of these block the calling thread while the resolver works. Input errors
// raise ESocketException with a text that names the function.
std::uint32_t SocketResolveHost(const std::string& host);
std::uint16_t SocketResolvePort(const std::string& port, const std::string& proto);
int SocketResolveProto(const std::string& proto);
std::optional<THostRecord> SocketHostByName(const std::string& name);
std::optional<THostRecord> SocketHostByAddr(const std::string& addr);
std::string AddrToHostName(const std::string& addr);
std::string LocalMachineName();

// This machine's addresses as its host name resolves, dotted (at most 256); empty when
// the name does not resolve.
std::vector<std::string> LocalAddressList();

bool IsDottedQuad(const std::string& text);

// Decimal digits after leading spaces; saturates at the largest 32-bit value.
std::uint32_t ParseLeadingNumber(const std::string& text);

// Dotted text of an IPv4 address given in network byte order.
std::string DottedAddress(std::uint32_t networkOrder);

} // namespace lumenpost
