#pragma once

#include "delivery/socket_address.h"

#include <cstdint>
#include <optional>
#include <string>

namespace lumenpost {

// The first IPv4 address of `host`, dotted text or a name the system resolver knows, with
// `port`; nothing when there is none, and then the resolver's text in `failure`.
std::optional<SocketAddress> LookupIPv4(const std::string& host, std::uint16_t port,
                                        std::string* failure = nullptr);

} // namespace lumenpost
