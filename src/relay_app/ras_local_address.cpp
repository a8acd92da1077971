#include "relay_app/ras_local_address.h"

#include "relay_app/ras_interface_list.h"

#include <algorithm>
#include <array>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

namespace lumenpost {
namespace {

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
        addresses.push_back(DottedAddress(result->ai_addr));
    }
    ::freeaddrinfo(results);
    return addresses;
}

std::vector<std::string> MachineAddresses() {
    std::vector<std::string> addresses;
    const TInterfaceList interfaces;
    if (!interfaces.Valid()) {
        return addresses;
    }
    for (const ifaddrs* entry = interfaces.First(); entry != nullptr; entry = entry->ifa_next) {
        if ((entry->ifa_flags & IFF_UP) != 0) {
            if (std::string address = DottedAddress(entry->ifa_addr); !address.empty()) {
                addresses.push_back(std::move(address));
            }
        }
    }
    return addresses;
}

} // namespace

std::string LocalHostName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) {
        return {};
    }
    return name.data();
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
