#pragma once

#include "delivery/udp_blocking_socket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

// A minimal DNS client: one question to one server in one UDP exchange.
class TDnsClient {
public:
    // Opens the UDP socket, which lives as long as the client.
    TDnsClient();

    // Asks ServerHost for `name`'s records of `queryType` (a dotted IPv4 address is
    // asked for under in-addr.arpa). True when an answer with RCODE 0 came and was
    // read, also without a matching record; `results` holds one text per match.
    bool Query(const std::string& name, std::uint16_t queryType, std::vector<std::string>& results);

    // How long to wait for the answer, in milliseconds, over all datagrams received.
    std::int32_t TimeoutMs = 15000;
    // Dotted IPv4 address or host name of the DNS server.
    std::string ServerHost = "localhost";
    // Service name or decimal port of the DNS server.
    std::string ServerPort = "domain";

    // RCODE of the last answer long enough to read.
    std::int32_t ResponseCode() const { return responseCode_; }
    // The query while sending, then the last datagram received.
    const std::string& Packet() const { return packet_; }
    TUdpBlockingSocket& Socket() { return socket_; }

private:
    bool AwaitAnswer(std::uint16_t id);

    TUdpBlockingSocket socket_;
    std::int32_t responseCode_ = 0;
    std::string packet_;
};

} // namespace lumenpost
