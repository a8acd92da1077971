#pragma once

#include "delivery/socket_address.h"

#include <optional>
#include <string>
#include <string_view>

// Recipient domains as DNS is asked about them.
namespace lumenpost {

// True for text in square brackets, the form of an address literal (RFC 5321 4.1.3).
bool IsAddressLiteral(std::string_view domain);

// The address of "[192.0.2.7]" or "[IPv6:2001:db8::7]" with `port`; nothing for any
// other text, a general literal ("[tag:...]") included.
std::optional<SocketAddress> AddressOfLiteral(std::string_view literal, std::uint16_t port);

enum class DomainNameError { none, invalid, invalidInternational };

struct LookupForm {
    std::string name; // ASCII, lower case, without a final dot
    DomainNameError error = DomainNameError::none;
};

// The name DNS is asked for: ASCII names in lower case, names with non-ASCII labels in
// their IDNA 2008 form (NFC, non-transitional). Labels of 1 to 63 octets and at most 253
// octets in all, else an error.
LookupForm ToLookupForm(std::string_view domain);

} // namespace lumenpost
