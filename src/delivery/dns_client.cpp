#include "delivery/dns_client.h"

#include "delivery/dns_message.h"
#include "delivery/text_helpers.h"
#include "platform/tick.h"

#include <random>

namespace lumenpost {

namespace {

// An unpredictable identifier: a guessable one lets anyone who can send us a datagram
// forge the answer.
std::uint16_t RandomQueryId() {
    std::random_device source;
    std::uniform_int_distribution<int> draw(0, 32766);
    return static_cast<std::uint16_t>(draw(source));
}

bool SameEndpoint(const SocketAddress& a, const SocketAddress& b) {
    return a == b;
}

} // namespace

TDnsClient::TDnsClient() {
    socket_.OpenHandle();
}

bool TDnsClient::Query(const std::string& name, std::uint16_t queryType,
                       std::vector<std::string>& results) {
    results.clear();
    const std::string queryName = LooksLikeIPv4(name) ? ReverseIPv4(name) + ".in-addr.arpa" : name;
    const std::uint16_t id = RandomQueryId();
    packet_ = BuildQuery(id, queryName, queryType);
    socket_.ConnectTo(ServerHost, ServerPort);
    // A failed send is noticed as a missing answer.
    socket_.WriteText(packet_);
    if (!AwaitAnswer(id)) {
        return false;
    }
    return ReadAnswer(packet_, queryName, queryType, results, responseCode_);
}

// Only a datagram from the queried server's address and port carrying the query's
// identifier is the answer; anything else is dropped and the wait goes on until the
// time-out, so a stray or forged datagram can neither answer nor end the query.
bool TDnsClient::AwaitAnswer(std::uint16_t id) {
    const SocketAddress server = socket_.RemoteAddress();
    const std::uint32_t timeout = TimeoutMs > 0 ? static_cast<std::uint32_t>(TimeoutMs) : 0;
    const std::uint32_t start = TickCount();
    std::uint32_t remaining = timeout;
    for (;;) {
        packet_ = socket_.ReceiveDatagram(static_cast<int>(remaining));
        if (socket_.ErrorCode() != 0) {
            return false;
        }
        if (SameEndpoint(socket_.RemoteAddress(), server) && packet_.size() >= 2 &&
            TextToWord16(packet_, 1) == id) {
            return true;
        }
        const std::uint32_t elapsed = TicksBetween(start, TickCount());
        if (elapsed >= timeout) {
            packet_.clear();
            return false;
        }
        remaining = timeout - elapsed;
    }
}

} // namespace lumenpost
