#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace lumenpost {

// An IPv4 or IPv6 address with a port, as the system's socket calls take it.
class SocketAddress {
public:
    SocketAddress() = default;

    // Dotted IPv4 or textual IPv6 (no brackets) and a port; nothing for other text.
    static std::optional<SocketAddress> FromText(std::string_view host, std::uint16_t port);
    // A copy of what the system filled in (accept, getpeername, recvfrom).
    static SocketAddress FromSystem(const sockaddr* address, socklen_t length);

    // AF_INET, AF_INET6, or AF_UNSPEC when empty.
    int Family() const;
    bool Empty() const { return length_ == 0; }
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t Length() const { return length_; }
    std::uint16_t Port() const;
    SocketAddress WithPort(std::uint16_t port) const;

    // "192.0.2.7" or "2001:db8::7".
    std::string HostText() const;
    // "192.0.2.7:25" or "[2001:db8::7]:25", as reasons name an address tried.
    std::string Text() const;
    // The address literal of RFC 5321: "[192.0.2.7]" or "[IPv6:2001:db8::7]".
    std::string Literal() const;

    bool operator==(const SocketAddress& other) const;

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;
};

} // namespace lumenpost
