#pragma once

#include "delivery/dns_message.h"
#include "delivery/socket_address.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

// What a DNS server said about one name and record type, and for how long that holds.
struct DnsLookup {
    enum class Outcome {
        found,     // records of the type
        noData,    // the name exists without records of the type
        nameError, // the name does not exist (NXDOMAIN)
        failed,    // no usable answer now: time-out, server failure, garbled answer
    };
    Outcome outcome = Outcome::failed;
    // found: the records of the type asked, owned by the name at the end of any CNAME
    // chain, in the server's order.
    std::vector<DnsRecord> records;
    // Seconds the outcome may be kept: found, the smallest TTL of the records used (at
    // most a day); noData and nameError, the SOA's negative TTL (at most an hour) or 5
    // minutes without one. Failures are never kept.
    std::uint32_t ttl = 0;
    // failed: what went wrong, for the user.
    std::string reason;
};

inline constexpr int kDnsAliasLimit = 8;

// Asks `server` for `name`'s records of `type`, following CNAME records inside each
// answer and asking again for the target of an answer that holds only aliases, through
// at most kDnsAliasLimit aliases.
DnsLookup LookupRecords(const SocketAddress& server, const std::string& name, std::uint16_t type,
                        std::int32_t timeoutMs);

} // namespace lumenpost
