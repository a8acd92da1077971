#include "relay/loop_guard.h"

#include "platform/ascii_text.h"
#include "platform/network_interfaces.h"
#include "relay/ipv4_network.h"

#include <algorithm>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>

namespace lumenpost {
namespace {

constexpr std::uint16_t kSmtpPort = 25;
constexpr std::uint32_t kLoopbackNetwork = 0x7F000000; // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000;

bool IsLoopback(std::uint32_t address) {
    return (address & kLoopbackMask) == kLoopbackNetwork;
}

std::optional<std::uint32_t> DottedAddress(std::string_view text) {
    return ParseIpv4(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

// "[192.0.2.1]" or a bare dotted address.
std::optional<std::uint32_t> LiteralAddress(std::string_view domain) {
    if (domain.size() > 2 && domain.front() == '[' && domain.back() == ']') {
        domain = domain.substr(1, domain.size() - 2);
    }
    return DottedAddress(domain);
}

} // namespace

std::optional<std::string> LoopGuard::Check(const std::string& domain,
                                            const std::string& exchanger) const {
    bool loops = IsOwnName(domain);
    if (!loops && self_.listenPort == kSmtpPort) {
        // An address as the domain ("[127.0.0.1]") is where the mail goes, whatever the MX.
        const auto literal = LiteralAddress(domain);
        const auto dotted = literal ? literal : DottedAddress(exchanger);
        const std::vector<std::uint32_t> addresses =
            dotted ? std::vector<std::uint32_t>{*dotted} : resolve_(exchanger);
        loops = std::any_of(addresses.begin(), addresses.end(),
                            [this](std::uint32_t address) { return ListensOn(address); });
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

bool LoopGuard::ListensOn(std::uint32_t address) const {
    return self_.listenAddress == 0 ? IsOwnAddress(address) : address == self_.listenAddress;
}

std::vector<std::uint32_t> SystemIpv4Addresses(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::uint32_t> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return addresses; // no address: whatever the delivery finds, it is not this relay
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (const auto ipv4 = Ipv4Of(entry->ai_addr)) {
            addresses.push_back(*ipv4);
        }
    }
    return addresses;
}

} // namespace lumenpost
