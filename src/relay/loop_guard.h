#pragma once

#include "delivery/exchanger_route.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

// Finds mail that would come back to this relay: a recipient domain that names this
// machine (localhost, its own names), or an exchanger address (the domain's own address
// literal among them) that is an address and port where the relay itself listens. Such
// mail fails for good at once instead of circling until its hop count runs out.
class LoopGuard {
public:
    // IPv4 addresses in host order; `listenAddress` 0 stands for every address.
    struct Self {
        std::vector<std::string> names;                        // this machine's names
        std::function<std::vector<std::uint32_t>()> addresses; // read at each check
        std::uint32_t listenAddress = 0;
        std::uint16_t listenPort = 25;
    };
    explicit LoopGuard(Self self) : self_(std::move(self)) {}

    // The failure reason "mail for <domain> loops back to myself", or nothing.
    std::optional<std::string> Check(const std::string& domain,
                                     const std::vector<Exchanger>& exchangers) const;

private:
    bool IsOwnName(std::string_view domain) const;
    bool IsOwnAddress(std::uint32_t address) const;
    bool ListensOn(const SocketAddress& address) const;

    Self self_;
};

} // namespace lumenpost
