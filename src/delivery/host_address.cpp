#include "delivery/host_address.h"

#include <memory>
#include <netdb.h>

namespace lumenpost {

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

} // namespace

std::optional<SocketAddress> LookupIPv4(const std::string& host, std::uint16_t port,
                                        std::string* failure) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &answer);
    const std::unique_ptr<addrinfo, AddrInfoFree> owned(answer);
    if (result != 0 || !answer) {
        if (failure) {
            *failure = result != 0 ? gai_strerror(result) : "no address";
        }
        return std::nullopt;
    }
    return SocketAddress::FromSystem(answer->ai_addr, answer->ai_addrlen).WithPort(port);
}

} // namespace lumenpost
