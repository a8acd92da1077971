#include "delivery/domain_name.h"

#include "platform/ascii_text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <idn2.h>
#include <memory>
#include <netinet/in.h>

namespace lumenpost {

namespace {

constexpr std::string_view kIPv6Tag = "ipv6:";
constexpr std::size_t kLongestLabel = 63;
constexpr std::size_t kLongestName = 253;

struct Idn2Release {
    void operator()(char* text) const { idn2_free(text); }
};

// Blanks and control characters (a NUL above all, which would cut the name short for
// libidn2) have no place in a domain.
bool HasControls(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto octet = static_cast<unsigned char>(c);
        return octet <= 0x20 || octet == 0x7F;
    });
}

bool HasValidLabels(std::string_view name) {
    if (name.empty() || name.size() > kLongestName) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        const std::size_t length = dot - start;
        if (length == 0 || length > kLongestLabel) {
            return false;
        }
        if (dot == name.size()) {
            return true;
        }
        start = dot + 1;
    }
}

std::optional<std::string> InternationalToAscii(const std::string& name) {
    char* converted = nullptr;
    const int result =
        idn2_to_ascii_8z(name.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    const std::unique_ptr<char, Idn2Release> owned(converted);
    if (result != IDN2_OK || !owned) {
        return std::nullopt;
    }
    return std::string(owned.get());
}

} // namespace

bool IsAddressLiteral(std::string_view domain) {
    return domain.size() >= 2 && domain.front() == '[' && domain.back() == ']';
}

std::optional<SocketAddress> AddressOfLiteral(std::string_view literal, std::uint16_t port) {
    if (!IsAddressLiteral(literal)) {
        return std::nullopt;
    }
    const std::string_view inside = literal.substr(1, literal.size() - 2);
    const bool tagged = LowerAscii(inside.substr(0, kIPv6Tag.size())) == kIPv6Tag;
    const int family = tagged ? AF_INET6 : AF_INET;
    std::optional<SocketAddress> address =
        SocketAddress::FromText(tagged ? inside.substr(kIPv6Tag.size()) : inside, port);
    if (!address || address->Family() != family) {
        return std::nullopt;
    }
    return address;
}

LookupForm ToLookupForm(std::string_view domain) {
    if (!domain.empty() && domain.back() == '.') {
        domain.remove_suffix(1);
    }
    if (HasControls(domain)) {
        return {{}, DomainNameError::invalid};
    }
    if (IsAscii(domain)) {
        const bool valid = HasValidLabels(domain);
        return {valid ? LowerAscii(domain) : std::string(),
                valid ? DomainNameError::none : DomainNameError::invalid};
    }
    const std::optional<std::string> ascii = InternationalToAscii(std::string(domain));
    if (!ascii || !HasValidLabels(*ascii)) {
        return {{}, DomainNameError::invalidInternational};
    }
    return {LowerAscii(*ascii), DomainNameError::none};
}

} // namespace lumenpost
