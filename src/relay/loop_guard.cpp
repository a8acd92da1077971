#include "relay/loop_guard.h"

#include "platform/ascii_text.h"
#include "platform/network_interfaces.h"

#include <algorithm>
#include <sys/socket.h>

namespace lumenpost {
namespace {

constexpr std::uint32_t kLoopbackNetwork = 0x7F000000; // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000;

bool IsLoopback(std::uint32_t address) {
    return (address & kLoopbackMask) == kLoopbackNetwork;
}

} // namespace

std::optional<std::string> LoopGuard::Check(const std::string& domain,
                                            const std::vector<Exchanger>& exchangers) const {
    bool loops = IsOwnName(domain);
    for (const Exchanger& exchanger : exchangers) {
        loops = loops || std::any_of(exchanger.addresses.begin(), exchanger.addresses.end(),
                                     [this](const SocketAddress& a) { return ListensOn(a); });
    }
    if (!loops) {
        return std::nullopt;
    }
    return "mail for " + domain + " loops back to myself";
}

bool LoopGuard::IsOwnName(std::string_view domain) const {
    const std::string name = LowerAscii(domain);
    if (name == "localhost" || name.ends_with(".localhost")) {
        return true;
    }
    return std::any_of(self_.names.begin(), self_.names.end(),
                       [&name](const std::string& own) { return LowerAscii(own) == name; });
}

bool LoopGuard::IsOwnAddress(std::uint32_t address) const {
    if (IsLoopback(address)) {
        return true;
    }
    const std::vector<std::uint32_t> own =
        self_.addresses ? self_.addresses() : std::vector<std::uint32_t>{};
    return std::find(own.begin(), own.end(), address) != own.end();
}

// The relay listens on IPv4 only: an IPv6 exchanger is never this relay.
bool LoopGuard::ListensOn(const SocketAddress& address) const {
    if (address.Family() != AF_INET || address.Port() != self_.listenPort) {
        return false;
    }
    const std::uint32_t ipv4 = Ipv4Of(address.Raw()).value_or(0);
    return self_.listenAddress == 0 ? IsOwnAddress(ipv4) : ipv4 == self_.listenAddress;
}

} // namespace lumenpost
