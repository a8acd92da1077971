#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace lumenpost {

// An IPv4 network in CIDR form, such as 192.168.1.0/24. Addresses are in host order.
struct Ipv4Network {
    std::uint32_t address = 0; // host bits cleared
    int prefix = 32;

    // Parses "A.B.C.D/N" (N from 0 to 32) or a bare "A.B.C.D" (taken as /32).
    // Host bits beyond the prefix are cleared. Returns nothing for anything else.
    static std::optional<Ipv4Network> Parse(const QString& text);

    bool Contains(std::uint32_t host) const;
    QString ToString() const;

    bool operator==(const Ipv4Network&) const = default;
};

// Parses a dotted-decimal IPv4 address ("127.0.0.1") into host order.
std::optional<std::uint32_t> ParseIpv4(const QString& text);

} // namespace lumenpost
