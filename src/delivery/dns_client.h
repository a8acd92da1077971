#pragma once

#include "delivery/dns_transport.h"
#include "delivery/socket_address.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

// The address of a DNS server written as an address or a host name (asked of the
// system's resolver) with a service name or decimal port; nothing otherwise, and then
// the resolver's reason in `failure`.
std::optional<SocketAddress> DnsServerAddress(const std::string& host, const std::string& port,
                                              std::string& failure);

// Asks `server` for `name`'s records of `queryType` under a random identifier, over UDP
// and, when that answer is truncated, again over TCP. Only a message carrying the
// identifier and the same question answers; each transport waits up to `timeoutMs`.
DnsExchange AskDnsServer(const SocketAddress& server, std::string_view name,
                         std::uint16_t queryType, std::int32_t timeoutMs);

// A minimal DNS client: one question to one server.
class TDnsClient {
public:
    // Asks ServerHost for `name`'s records of `queryType` (a dotted IPv4 address is
    // asked for under in-addr.arpa). True when an answer with RCODE 0 came and was
    // read, also without a matching record; `results` holds one text per record whose
    // owner and type equal the question octet for octet (see ReadAnswer).
    bool Query(const std::string& name, std::uint16_t queryType, std::vector<std::string>& results);

    // How long to wait for the answer, in milliseconds, over all datagrams received.
    std::int32_t TimeoutMs = 15000;
    // Address or host name of the DNS server.
    std::string ServerHost = "localhost";
    // Service name or decimal port of the DNS server.
    std::string ServerPort = "domain";

    // RCODE of the last answer long enough to read.
    std::int32_t ResponseCode() const { return responseCode_; }
    // Why the last query got no answer, in the Windows Sockets numbering (10060: time-out,
    // 11001: no such server); 0 after an answer.
    std::int32_t ErrorCode() const { return errorCode_; }

private:
    std::int32_t responseCode_ = 0;
    std::int32_t errorCode_ = 0;
};

} // namespace lumenpost
