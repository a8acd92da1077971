#include "delivery/host_address.h"

#include "platform/network_interfaces.h"

#include <arpa/inet.h>
#include <netdb.h>

namespace lumenpost {

std::optional<in_addr_t> LookupIPv4(const std::string& host, std::string* failure) {
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
        return parsed.s_addr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* answer = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &answer);
    if (result != 0 || !answer) {
        if (failure) {
            *failure = result != 0 ? gai_strerror(result) : "no address";
        }
        return std::nullopt;
    }
    const in_addr_t first = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(answer);
    return first;
}

std::string AddressText(const sockaddr_in& address) {
    return DottedIpv4(ntohl(address.sin_addr.s_addr)) + ":" +
           std::to_string(ntohs(address.sin_port));
}

} // namespace lumenpost
