#pragma once

#include "delivery/socket_address.h"

#include <string>
#include <vector>

namespace lumenpost {

// One mail exchanger of a domain with the addresses to try, in the order to try them
// (IPv6 first, as the name server gave them).
struct Exchanger {
    std::string name; // as the MX record names it (ASCII form); an address literal's text
    std::vector<SocketAddress> addresses;
};

// Where mail for a domain goes, or why nothing can be said now (temporary) or ever
// (permanent).
enum class RouteStatus { found, temporary, permanent };

struct Route {
    RouteStatus status = RouteStatus::temporary;
    std::string reason;                // why, when not found
    std::vector<Exchanger> exchangers; // when found: preference order, never empty
};

} // namespace lumenpost
