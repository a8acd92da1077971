#pragma once

#include <netinet/in.h>
#include <optional>
#include <string>

namespace lumenpost {

// The first IPv4 address (network order) of `host`, dotted text or a name the system
// resolver knows; nothing when there is none, and then the resolver's text in `failure`.
std::optional<in_addr_t> LookupIPv4(const std::string& host, std::string* failure = nullptr);

// "a.b.c.d:port" of an IPv4 socket address.
std::string AddressText(const sockaddr_in& address);

} // namespace lumenpost
