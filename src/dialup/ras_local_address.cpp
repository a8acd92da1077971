#include "dialup/ras_local_address.h"

#include "platform/machine_name.h"
#include "platform/network_interfaces.h"

#include <algorithm>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

namespace lumenpost {
namespace {

// Room for 255 octets of host name.
constexpr std::size_t kHostNameBuffer = 255;

bool IsLoopback(const std::string& address) {
    return address.starts_with("127.");
}

std::vector<std::string> ResolvedAddresses(const std::string& hostName) {
    std::vector<std::string> addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (hostName.empty() || ::getaddrinfo(hostName.c_str(), nullptr, &hints, &results) != 0) {
        return addresses;
    }
    for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
        if (const auto ipv4 = Ipv4Of(result->ai_addr)) {
            addresses.push_back(DottedIpv4(*ipv4));
        }
    }
    ::freeaddrinfo(results);
    return addresses;
}

std::vector<std::string> MachineAddresses() {
    std::vector<std::string> addresses;
    for (const InterfaceAddress& entry :
         ReadInterfaceAddresses().value_or(std::vector<InterfaceAddress>{})) {
        if ((entry.flags & IFF_UP) != 0 && entry.ipv4) {
            addresses.push_back(DottedIpv4(*entry.ipv4));
        }
    }
    return addresses;
}

} // namespace

std::string LocalHostName() {
    return MachineName(kHostNameBuffer).value_or(std::string());
}

std::string LocalIPAddress(const std::string& hostName) {
    return ChooseLocalIP(ResolvedAddresses(hostName), MachineAddresses());
}

std::string ChooseLocalIP(const std::vector<std::string>& resolved,
                          const std::vector<std::string>& machine) {
    const bool onlyLoopback = std::all_of(resolved.begin(), resolved.end(), IsLoopback);
    if (!onlyLoopback) {
        return resolved.front();
    }
    const auto outward = std::find_if_not(machine.begin(), machine.end(), IsLoopback);
    if (outward != machine.end()) {
        return *outward;
    }
    return resolved.empty() ? "127.0.0.1" : resolved.front();
}

} // namespace lumenpost
