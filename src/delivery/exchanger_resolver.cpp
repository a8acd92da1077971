#include "delivery/exchanger_resolver.h"

#include "delivery/dns_cache.h"
#include "delivery/dns_client.h"
#include "delivery/dns_lookup.h"
#include "delivery/domain_name.h"
#include "delivery/text_helpers.h"
#include "platform/ascii_text.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>

namespace lumenpost {

namespace {

const std::string kSetServerHint =
    "; set the address of a DNS server (for example 223.5.5.5) in the settings";

const std::string kCheckRelayHost = "; check relayhost in the settings";

std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Route Temporary(std::string reason) {
    return {RouteStatus::temporary, std::move(reason), {}};
}

Route Permanent(std::string reason) {
    return {RouteStatus::permanent, std::move(reason), {}};
}

Route Found(std::vector<Exchanger> exchangers) {
    return {RouteStatus::found, {}, std::move(exchangers)};
}

// Asks the cache, and through it the DNS server, about one name and type.
class Asker {
public:
    Asker(DnsCache& cache, SocketAddress server, std::int32_t timeoutMs)
        : cache_(cache), server_(server), timeoutMs_(timeoutMs) {}

    DnsLookup Ask(const std::string& name, std::uint16_t type) const {
        const DnsCacheKey key{server_.Text(), LowerAscii(name), type};
        return cache_.Get(key, [&] { return LookupRecords(server_, key.name, type, timeoutMs_); });
    }

private:
    DnsCache& cache_;
    SocketAddress server_;
    std::int32_t timeoutMs_;
};

// The addresses of one name and, when it has none, why.
struct AddressLookup {
    std::vector<SocketAddress> addresses;
    bool exists = true;
    std::optional<std::string> failure; // the last lookup that got no usable answer
};

AddressLookup AddressesOf(const Asker& asker, const std::string& name, std::uint16_t port) {
    AddressLookup result;
    for (const std::uint16_t type : {kDnsTypeAaaa, kDnsTypeA}) {
        const DnsLookup lookup = asker.Ask(name, type);
        for (const DnsRecord& record : lookup.records) {
            if (const auto address = SocketAddress::FromText(record.data, port)) {
                result.addresses.push_back(*address);
            }
        }
        if (lookup.outcome == DnsLookup::Outcome::failed) {
            result.failure = lookup.reason;
        }
        if (lookup.outcome == DnsLookup::Outcome::nameError) {
            // A name that does not exist has no records of any type.
            result.exists = false;
            break;
        }
    }
    return result;
}

// An exchange written as a dotted IPv4 address is that address; others are looked up.
AddressLookup ExchangeAddresses(const Asker& asker, const std::string& exchange,
                                std::uint16_t port) {
    if (LooksLikeIPv4(exchange)) {
        if (const auto address = SocketAddress::FromText(exchange, port)) {
            return {{*address}, true, std::nullopt};
        }
    }
    return AddressesOf(asker, exchange, port);
}

std::string WhyNoAddress(const std::string& exchange, const AddressLookup& lookup) {
    if (lookup.failure) {
        return *lookup.failure;
    }
    return lookup.exists ? "mail exchanger " + exchange + " has no address (no AAAA or A record)"
                         : "mail exchanger " + exchange + " does not exist";
}

std::mt19937& RandomEngine() {
    thread_local std::mt19937 engine{std::random_device{}()};
    return engine;
}

// The exchanges by preference, those of equal preference in random order so that the
// load spreads as the domain intends; "." (no exchange) left out.
std::vector<DnsRecord> InPreferenceOrder(std::vector<DnsRecord> records) {
    std::erase_if(records, [](const DnsRecord& r) { return r.data.empty(); });
    std::stable_sort(records.begin(), records.end(), [](const DnsRecord& a, const DnsRecord& b) {
        return a.preference < b.preference;
    });
    for (auto run = records.begin(); run != records.end();) {
        const auto end = std::find_if(run, records.end(), [&](const DnsRecord& r) {
            return r.preference != run->preference;
        });
        std::shuffle(run, end, RandomEngine());
        run = end;
    }
    return records;
}

Route RouteToExchangers(const Asker& asker, const std::string& domain,
                        const std::vector<DnsRecord>& exchanges, std::uint16_t port) {
    std::vector<Exchanger> exchangers;
    std::string lastReason;
    for (const DnsRecord& exchange : exchanges) {
        AddressLookup lookup = ExchangeAddresses(asker, exchange.data, port);
        if (lookup.addresses.empty()) {
            lastReason = WhyNoAddress(exchange.data, lookup);
            continue;
        }
        exchangers.push_back({exchange.data, std::move(lookup.addresses)});
    }
    if (exchangers.empty()) {
        return Temporary("no mail exchanger of " + domain + " has an address (last: " + lastReason +
                         ")");
    }
    return Found(std::move(exchangers));
}

// Without MX records the domain itself takes the mail (RFC 5321 5.1).
Route RouteToDomainItself(const Asker& asker, const std::string& domain, const std::string& name,
                          std::uint16_t port) {
    AddressLookup lookup = AddressesOf(asker, name, port);
    if (!lookup.addresses.empty()) {
        return Found({{name, std::move(lookup.addresses)}});
    }
    if (lookup.failure) {
        return Temporary(*lookup.failure);
    }
    return Permanent("domain " + domain + " has no mail exchanger and no address");
}

Route RouteToLiteral(const std::string& literal, std::uint16_t port) {
    const std::optional<SocketAddress> address = AddressOfLiteral(literal, port);
    if (!address) {
        return Permanent("domain " + literal +
                         " is not a valid address literal; write it as [192.0.2.7] or "
                         "[IPv6:2001:db8::7]");
    }
    return Found({{literal, {*address}}});
}

Route InvalidName(const std::string& domain, DomainNameError error) {
    return Permanent(error == DomainNameError::invalidInternational
                         ? "domain " + domain + " is not a valid international domain name"
                         : "domain " + domain + " is not a valid domain name");
}

} // namespace

struct ExchangerResolver::State {
    explicit State(Options chosen)
        : options(std::move(chosen)),
          cache(options.cacheEntries, options.clock ? options.clock : SteadySeconds) {}

    std::optional<SocketAddress> ServerAddress(const std::string& text, std::string& reason);
    // What asks `dnsServer`; nothing (and why in `reason`) when it is not usable.
    std::optional<Asker> AskerFor(const std::string& dnsServer, std::string& reason);

    const Options options;
    DnsCache cache;
    std::mutex serversMutex;
    // Each server text is turned into an address once; a host name asks the system.
    std::map<std::string, SocketAddress> servers;
};

std::optional<SocketAddress> ExchangerResolver::State::ServerAddress(const std::string& text,
                                                                     std::string& reason) {
    if (text.empty()) {
        reason = "no DNS server is set" + kSetServerHint;
        return std::nullopt;
    }
    {
        const std::lock_guard lock(serversMutex);
        if (const auto known = servers.find(text); known != servers.end()) {
            return known->second;
        }
    }
    std::string failure;
    const std::optional<SocketAddress> address = DnsServerAddress(text, options.dnsPort, failure);
    if (!address) {
        reason = "DNS server " + text + " is not usable (" + failure + ")" + kSetServerHint;
        return std::nullopt;
    }
    const std::lock_guard lock(serversMutex);
    servers.emplace(text, *address);
    return address;
}

std::optional<Asker> ExchangerResolver::State::AskerFor(const std::string& dnsServer,
                                                        std::string& reason) {
    const std::optional<SocketAddress> server = ServerAddress(dnsServer, reason);
    if (!server) {
        return std::nullopt;
    }
    return Asker(cache, *server, options.timeoutMs);
}

ExchangerResolver::ExchangerResolver() : ExchangerResolver(Options{}) {}

ExchangerResolver::ExchangerResolver(Options options)
    : state_(std::make_unique<State>(std::move(options))) {}

ExchangerResolver::~ExchangerResolver() = default;

Route ExchangerResolver::Resolve(const std::string& dnsServer, const std::string& domain) {
    const std::uint16_t port = state_->options.smtpPort;
    if (IsAddressLiteral(domain)) {
        return RouteToLiteral(domain, port);
    }
    const LookupForm form = ToLookupForm(domain);
    if (form.error != DomainNameError::none) {
        return InvalidName(domain, form.error);
    }
    std::string reason;
    const std::optional<Asker> asker = state_->AskerFor(dnsServer, reason);
    if (!asker) {
        return Temporary(reason);
    }
    const DnsLookup mx = asker->Ask(form.name, kDnsTypeMx);
    switch (mx.outcome) {
    case DnsLookup::Outcome::failed:
        return Temporary(mx.reason);
    case DnsLookup::Outcome::nameError:
        return Permanent("domain " + domain + " does not exist");
    case DnsLookup::Outcome::noData:
        return RouteToDomainItself(*asker, domain, form.name, port);
    case DnsLookup::Outcome::found:
        break;
    }
    const std::vector<DnsRecord> exchanges = InPreferenceOrder(mx.records);
    if (exchanges.empty()) {
        return Permanent("domain " + domain + " does not accept mail (null MX record)");
    }
    return RouteToExchangers(*asker, domain, exchanges, port);
}

Route ExchangerResolver::ResolveHost(const std::string& dnsServer, const std::string& host,
                                     std::uint16_t port) {
    if (const std::optional<SocketAddress> address = SocketAddress::FromText(host, port)) {
        return Found({{host, {*address}}});
    }
    const LookupForm form = ToLookupForm(host);
    if (form.error != DomainNameError::none) {
        return Temporary("relay host " + host + " is not a valid host name" + kCheckRelayHost);
    }
    std::string reason;
    const std::optional<Asker> asker = state_->AskerFor(dnsServer, reason);
    if (!asker) {
        return Temporary(reason);
    }
    AddressLookup lookup = AddressesOf(*asker, form.name, port);
    if (!lookup.addresses.empty()) {
        return Found({{form.name, std::move(lookup.addresses)}});
    }
    if (lookup.failure) {
        return Temporary(*lookup.failure);
    }
    return Temporary("relay host " + host +
                     (lookup.exists ? " has no address (no AAAA or A record)" : " does not exist") +
                     " at DNS server " + dnsServer + kCheckRelayHost);
}

} // namespace lumenpost
