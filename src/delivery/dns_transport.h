#pragma once

#include "delivery/socket_address.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Carrying one DNS query to one server and its answer back, over UDP or TCP.
namespace lumenpost {

struct DnsExchange {
    // closed: the server ended the TCP connection before a whole answer came.
    enum class Status { answered, timedOut, failed, closed };
    Status status = Status::timedOut;
    std::string message; // answered: the answer as received
    int error = 0;       // failed: the errno value; closed: ECONNRESET
    bool overTcp = false;
};

// Whether a received message is the answer to the query sent.
using DnsAnswerCheck = std::function<bool(std::string_view message)>;

// Sends `query` in one datagram to `server`, then waits up to `timeoutMs` in all for a
// datagram from that address and port that `isAnswer` accepts. Anything else is dropped
// and the wait goes on, so a stray or forged datagram can neither answer nor end it.
DnsExchange ExchangeOverUdp(const SocketAddress& server, std::string_view query,
                            std::int32_t timeoutMs, const DnsAnswerCheck& isAnswer);

// The same over one TCP connection (messages with a two-octet length prefix); connect,
// send and every read share the `timeoutMs`; no message can exceed 65535 octets.
DnsExchange ExchangeOverTcp(const SocketAddress& server, std::string_view query,
                            std::int32_t timeoutMs, const DnsAnswerCheck& isAnswer);

} // namespace lumenpost
