#include "delivery/socket_address.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace lumenpost {

std::optional<SocketAddress> SocketAddress::FromText(std::string_view host, std::uint16_t port) {
    const std::string text(host);
    sockaddr_in ipv4{};
    if (inet_pton(AF_INET, text.c_str(), &ipv4.sin_addr) == 1) {
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(port);
        return FromSystem(reinterpret_cast<const sockaddr*>(&ipv4), sizeof ipv4);
    }
    sockaddr_in6 ipv6{};
    if (inet_pton(AF_INET6, text.c_str(), &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(port);
        return FromSystem(reinterpret_cast<const sockaddr*>(&ipv6), sizeof ipv6);
    }
    return std::nullopt;
}

SocketAddress SocketAddress::FromSystem(const sockaddr* address, socklen_t length) {
    SocketAddress result;
    if (address != nullptr && length > 0 &&
        length <= static_cast<socklen_t>(sizeof result.storage_)) {
        std::memcpy(&result.storage_, address, length);
        result.length_ = length;
    }
    return result;
}

int SocketAddress::Family() const {
    return length_ == 0 ? AF_UNSPEC : storage_.ss_family;
}

std::uint16_t SocketAddress::Port() const {
    switch (Family()) {
    case AF_INET:
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
    case AF_INET6:
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    default:
        return 0;
    }
}

SocketAddress SocketAddress::WithPort(std::uint16_t port) const {
    SocketAddress result = *this;
    if (Family() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&result.storage_)->sin_port = htons(port);
    } else if (Family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&result.storage_)->sin6_port = htons(port);
    }
    return result;
}

std::string SocketAddress::HostText() const {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = nullptr;
    if (Family() == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr;
    } else if (Family() == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr;
    }
    if (raw == nullptr || inet_ntop(Family(), raw, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

std::string SocketAddress::Text() const {
    const std::string port = std::to_string(Port());
    return Family() == AF_INET6 ? "[" + HostText() + "]:" + port : HostText() + ":" + port;
}

std::string SocketAddress::Literal() const {
    return Family() == AF_INET6 ? "[IPv6:" + HostText() + "]" : "[" + HostText() + "]";
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return Family() == other.Family() && Port() == other.Port() && HostText() == other.HostText();
}

} // namespace lumenpost
