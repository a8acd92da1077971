#pragma once

#include "delivery/exchanger_route.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lumenpost {

// Finds the exchangers of a recipient domain through one DNS server, the one the user
// chose: MX records, then each exchanger's AAAA and A records, all asked with the same
// client. Answers are cached for their TTL in a bounded cache, so a burst of mail to one
// domain asks once. Safe to use from several delivery threads at once.
//
// - "[192.0.2.7]" and "[IPv6:2001:db8::7]" (address literals) are that address.
// - Non-ASCII labels are looked up in their IDNA (2008) form.
// - MX records in preference order, equal preferences in random order; an exchange
//   name written as a dotted IPv4 address is that address without a lookup.
// - No MX record but the domain exists: the domain itself is its exchanger.
// - NXDOMAIN: permanent, "domain <d> does not exist"; null MX ("MX 0 ."): permanent,
//   "domain <d> does not accept mail".
// - Time-out, SERVFAIL, REFUSED, a garbled answer: temporary, with a reason that names
//   the DNS server ("DNS server 223.5.5.5 did not answer").
// - Exchangers without any address are left out; none left: temporary.
class ExchangerResolver {
public:
    struct Options {
        std::string dnsPort = "domain";  // service name or decimal port of the DNS server
        std::int32_t timeoutMs = 15000;  // per query (UDP, and TCP after a truncated answer)
        std::uint16_t smtpPort = 25;     // port of every exchanger address
        std::size_t cacheEntries = 4096; // answers kept at most
        // Seconds now, for the cache (a steady clock by default).
        std::function<std::int64_t()> clock;
    };

    ExchangerResolver();
    explicit ExchangerResolver(Options options);
    ~ExchangerResolver();
    ExchangerResolver(const ExchangerResolver&) = delete;
    ExchangerResolver& operator=(const ExchangerResolver&) = delete;

    // `dnsServer`: dotted IPv4 (or IPv6) address of the server; `domain`: as written in
    // the recipient's address after the "@" (any case, maybe UTF-8 or a literal).
    Route Resolve(const std::string& dnsServer, const std::string& domain);

    // The AAAA and A addresses of one host (a relay host), with `port`, asked at
    // `dnsServer` through the same cache: one exchanger named by the host's ASCII form.
    // An IPv4 or IPv6 address is taken as it is. Every failure is temporary, a host that
    // the DNS server does not know as well: the setting may be wrong, not the mail.
    Route ResolveHost(const std::string& dnsServer, const std::string& host, std::uint16_t port);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace lumenpost
