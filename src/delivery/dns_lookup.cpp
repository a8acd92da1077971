#include "delivery/dns_lookup.h"

#include "delivery/dns_client.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace lumenpost {

namespace {

constexpr std::uint32_t kLongestPositiveTtl = 24 * 60 * 60;
constexpr std::uint32_t kLongestNegativeTtl = 60 * 60;
constexpr std::uint32_t kNegativeTtlWithoutSoa = 5 * 60;
constexpr std::int32_t kMillisecondsPerSecond = 1000;
constexpr const char* kCheckServerHint =
    "; check the DNS server address in the settings and the network connection";

std::string TimeoutText(std::int32_t timeoutMs) {
    return timeoutMs % kMillisecondsPerSecond == 0
               ? std::to_string(timeoutMs / kMillisecondsPerSecond) + " s"
               : std::to_string(timeoutMs) + " ms";
}

DnsLookup Failure(std::string reason) {
    return {DnsLookup::Outcome::failed, {}, 0, std::move(reason)};
}

DnsLookup Negative(DnsLookup::Outcome outcome, const DnsAnswer& answer) {
    const std::uint32_t ttl = answer.negativeTtl
                                  ? std::min(*answer.negativeTtl, kLongestNegativeTtl)
                                  : kNegativeTtlWithoutSoa;
    return {outcome, {}, ttl, {}};
}

std::string ServerText(const SocketAddress& server) {
    return "DNS server " + server.HostText();
}

DnsLookup ExchangeFailure(const SocketAddress& server, const DnsExchange& exchange,
                          std::int32_t timeoutMs) {
    const std::string over = exchange.overTcp ? " over TCP" : "";
    if (exchange.status == DnsExchange::Status::timedOut) {
        return Failure(ServerText(server) + " did not answer" + over + " within " +
                       TimeoutText(timeoutMs) + kCheckServerHint);
    }
    if (exchange.status == DnsExchange::Status::closed) {
        // It took the query: the address is right, the server itself is in trouble.
        return Failure(ServerText(server) + " ended the TCP connection before its answer "
                                            "was complete");
    }
    return Failure(ServerText(server) + " could not be asked" + over + ": " +
                   std::system_category().message(exchange.error) + kCheckServerHint);
}

DnsLookup ResponseCodeFailure(const SocketAddress& server, std::int32_t responseCode,
                              const std::string& name) {
    std::string code;
    switch (responseCode) {
    case kDnsRcodeServerFailure:
        code = "SERVFAIL";
        break;
    case kDnsRcodeRefused:
        code = "REFUSED";
        break;
    default:
        code = "response code " + std::to_string(responseCode);
        break;
    }
    return Failure(ServerText(server) + " failed to answer for " + name + " (" + code + ")");
}

// Follows the aliases of `name` inside one answer; returns the name at the chain's end.
// `aliases` counts the aliases followed so far and `ttl` takes their TTLs in.
std::string FollowAliases(const std::vector<DnsRecord>& records, std::string name, int& aliases,
                          std::uint32_t& ttl) {
    for (;;) {
        const auto alias = std::find_if(records.begin(), records.end(), [&](const DnsRecord& r) {
            return r.type == kDnsTypeCname && SameDnsName(r.owner, name);
        });
        if (alias == records.end() || ++aliases > kDnsAliasLimit) {
            return name;
        }
        name = alias->data;
        ttl = std::min(ttl, alias->ttl);
    }
}

std::vector<DnsRecord> RecordsOf(const std::vector<DnsRecord>& records, const std::string& owner,
                                 std::uint16_t type) {
    std::vector<DnsRecord> matching;
    std::copy_if(records.begin(), records.end(), std::back_inserter(matching),
                 [&](const DnsRecord& r) { return r.type == type && SameDnsName(r.owner, owner); });
    return matching;
}

std::uint32_t SmallestTtl(const std::vector<DnsRecord>& records, std::uint32_t ttl) {
    for (const DnsRecord& record : records) {
        ttl = std::min(ttl, record.ttl);
    }
    return ttl;
}

} // namespace

DnsLookup LookupRecords(const SocketAddress& server, const std::string& name, std::uint16_t type,
                        std::int32_t timeoutMs) {
    std::string current = name;
    int aliases = 0;
    std::uint32_t ttl = kLongestPositiveTtl;
    for (;;) {
        const DnsExchange exchange = AskDnsServer(server, current, type, timeoutMs);
        if (exchange.status != DnsExchange::Status::answered) {
            return ExchangeFailure(server, exchange, timeoutMs);
        }
        const DnsAnswer answer = ParseAnswer(exchange.message);
        if (!answer.readable || answer.truncated) {
            return Failure(ServerText(server) + " sent an unreadable answer" +
                           (exchange.overTcp ? " over TCP" : "") + " for " + current);
        }
        if (answer.responseCode == kDnsRcodeNameError) {
            return Negative(DnsLookup::Outcome::nameError, answer);
        }
        if (answer.responseCode != 0) {
            return ResponseCodeFailure(server, answer.responseCode, current);
        }
        const std::string target = FollowAliases(answer.records, current, aliases, ttl);
        if (aliases > kDnsAliasLimit) {
            return Failure("the name " + name + " leads through more than " +
                           std::to_string(kDnsAliasLimit) + " aliases (CNAME records)");
        }
        std::vector<DnsRecord> records = RecordsOf(answer.records, target, type);
        if (!records.empty()) {
            ttl = SmallestTtl(records, ttl);
            return {DnsLookup::Outcome::found, std::move(records), ttl, {}};
        }
        if (target == current) {
            return Negative(DnsLookup::Outcome::noData, answer);
        }
        current = target;
    }
}

} // namespace lumenpost
