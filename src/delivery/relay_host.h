#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumenpost {

// Message submission (RFC 6409): STARTTLS after the greeting.
inline constexpr std::uint16_t kSubmissionPort = 587;
// Submission over TLS from the first octet (RFC 8314).
inline constexpr std::uint16_t kImplicitTlsPort = 465;

// The server every message goes to instead of the recipient domain's exchangers.
struct RelayHost {
    std::string host; // a host name, or an IPv4 or IPv6 address (without brackets)
    std::uint16_t port = kSubmissionPort;

    bool ImplicitTls() const { return port == kImplicitTlsPort; }
};

// "host", "host:port", "[IPv6]" or "[IPv6]:port" with a port of 1 to 65535; nothing for
// anything else (blanks, an empty host, a bare IPv6 address).
std::optional<RelayHost> ParseRelayHost(std::string_view text);

} // namespace lumenpost
