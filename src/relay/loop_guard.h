#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

// Finds mail that would come back to this relay: a recipient domain that names this
// machine (localhost, its own names), or an exchanger (or an address given as the domain)
// that is an address and port where the relay itself listens. Such mail fails for good at once
// instead of circling until its hop count runs out.
class LoopGuard {
public:
    // IPv4 addresses in host order; `listenAddress` 0 stands for every address.
    struct Self {
        std::vector<std::string> names;                        // this machine's names
        std::function<std::vector<std::uint32_t>()> addresses; // read at each check
        std::uint32_t listenAddress = 0;
        std::uint16_t listenPort = 25;
    };
    // The IPv4 addresses of an exchanger name (a lookup; dotted names need none).
    using Resolver = std::function<std::vector<std::uint32_t>(const std::string& host)>;

    LoopGuard(Self self, Resolver resolve) : self_(std::move(self)), resolve_(std::move(resolve)) {}

    // The failure reason "mail for <domain> loops back to myself", or nothing.
    std::optional<std::string> Check(const std::string& domain, const std::string& exchanger) const;

private:
    bool IsOwnName(std::string_view domain) const;
    bool IsOwnAddress(std::uint32_t address) const;
    bool ListensOn(std::uint32_t address) const; // port 25 of `address` is this relay

    Self self_;
    Resolver resolve_;
};

// Resolver of LoopGuard through the system's resolver (IPv4 only).
std::vector<std::uint32_t> SystemIpv4Addresses(const std::string& host);

} // namespace lumenpost
