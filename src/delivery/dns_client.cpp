#include "delivery/dns_client.h"

#include "delivery/dns_message.h"
#include "delivery/text_helpers.h"
#include "platform/socket_error.h"

#include <memory>
#include <netdb.h>
#include <random>

namespace lumenpost {

namespace {

// An unpredictable identifier over all 16 bits: a guessable one lets anyone who can
// send us a datagram forge the answer.
std::uint16_t RandomQueryId() {
    std::random_device source;
    std::uniform_int_distribution<int> draw(0, 0xFFFF);
    return static_cast<std::uint16_t>(draw(source));
}

bool IsTruncated(const DnsExchange& exchange) {
    return exchange.status == DnsExchange::Status::answered &&
           ParseAnswer(exchange.message).truncated;
}

struct AddressInfoRelease {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

std::int32_t ErrorCodeOf(const DnsExchange& exchange) {
    switch (exchange.status) {
    case DnsExchange::Status::answered:
        return socket_error::kNone;
    case DnsExchange::Status::timedOut:
        return socket_error::kTimedOut;
    default:
        return SocketErrorFromErrno(exchange.error);
    }
}

} // namespace

std::optional<SocketAddress> DnsServerAddress(const std::string& host, const std::string& port,
                                              std::string& failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    const std::unique_ptr<addrinfo, AddressInfoRelease> info(found);
    if (result != 0 || !info) {
        failure = result != 0 ? gai_strerror(result) : "no address";
        return std::nullopt;
    }
    return SocketAddress::FromSystem(info->ai_addr, info->ai_addrlen);
}

DnsExchange AskDnsServer(const SocketAddress& server, std::string_view name,
                         std::uint16_t queryType, std::int32_t timeoutMs) {
    const std::uint16_t id = RandomQueryId();
    const std::string query = BuildQuery(id, name, queryType);
    const DnsAnswerCheck isAnswer = [&](std::string_view message) {
        return AnswersQuery(message, id, name, queryType);
    };
    DnsExchange exchange = ExchangeOverUdp(server, query, timeoutMs, isAnswer);
    if (IsTruncated(exchange)) {
        exchange = ExchangeOverTcp(server, query, timeoutMs, isAnswer);
    }
    return exchange;
}

bool TDnsClient::Query(const std::string& name, std::uint16_t queryType,
                       std::vector<std::string>& results) {
    results.clear();
    std::string failure;
    const std::optional<SocketAddress> server = DnsServerAddress(ServerHost, ServerPort, failure);
    if (!server) {
        errorCode_ = socket_error::kHostNotFound;
        return false;
    }
    const std::string queryName = LooksLikeIPv4(name) ? ReverseIPv4(name) + ".in-addr.arpa" : name;
    const DnsExchange exchange = AskDnsServer(*server, queryName, queryType, TimeoutMs);
    errorCode_ = ErrorCodeOf(exchange);
    return exchange.status == DnsExchange::Status::answered &&
           ReadAnswer(exchange.message, queryName, queryType, results, responseCode_);
}

} // namespace lumenpost
