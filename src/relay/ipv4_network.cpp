#include "relay/ipv4_network.h"

#include <algorithm>
#include <arpa/inet.h>

namespace lumenpost {
namespace {

std::uint32_t PrefixMask(int prefix) {
    return prefix == 0 ? 0u : ~std::uint32_t{0} << (32 - prefix);
}

} // namespace

std::optional<std::uint32_t> ParseIpv4(const QString& text) {
    in_addr parsed{};
    // inet_pton accepts only the strict four-part dotted form, no octal or short forms.
    if (inet_pton(AF_INET, text.toLatin1().constData(), &parsed) != 1) {
        return std::nullopt;
    }
    return ntohl(parsed.s_addr);
}

std::optional<Ipv4Network> Ipv4Network::Parse(const QString& text) {
    const qsizetype slash = text.indexOf(u'/');
    const auto address = ParseIpv4(slash < 0 ? text : text.left(slash));
    if (!address) {
        return std::nullopt;
    }
    int prefix = 32;
    if (slash >= 0) {
        const QString digits = text.mid(slash + 1);
        bool ok = false;
        prefix = digits.toInt(&ok);
        const bool plainDigits =
            !digits.isEmpty() && digits.size() <= 2 &&
            std::all_of(digits.begin(), digits.end(), [](QChar c) { return c.isDigit(); });
        if (!ok || !plainDigits || prefix < 0 || prefix > 32) {
            return std::nullopt;
        }
    }
    return Ipv4Network{*address & PrefixMask(prefix), prefix};
}

bool Ipv4Network::Contains(std::uint32_t host) const {
    return (host & PrefixMask(prefix)) == address;
}

QString Ipv4Network::ToString() const {
    return QStringLiteral("%1.%2.%3.%4/%5")
        .arg(address >> 24)
        .arg((address >> 16) & 0xff)
        .arg((address >> 8) & 0xff)
        .arg(address & 0xff)
        .arg(prefix);
}

} // namespace lumenpost
