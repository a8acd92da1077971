#pragma once

#include <string_view>

// RFC 5321 mailboxes as MAIL FROM and RCPT TO carry them. An address is checked, never
// rewritten: what passes goes on exactly as the client wrote it.
namespace lumenpost {

inline constexpr std::size_t kMaxLocalPart = 64;
inline constexpr std::size_t kMaxDomain = 255;
inline constexpr std::size_t kMaxPath = 256; // with its angle brackets

// Local part (a dot-string or a quoted string, at most 64 octets) "@" domain (host names
// of letters, digits and hyphens, or an address literal "[192.0.2.1]" or "[IPv6:...]", at
// most 255 octets). With `utf8` (SMTPUTF8 given on MAIL) well-formed UTF-8 beyond ASCII
// may stand in atoms, quoted strings and host names.
bool IsMailbox(std::string_view address, bool utf8);

// The domain of a mailbox: what follows its last "@" (a quoted local part may hold one).
std::string_view MailboxDomain(std::string_view mailbox);

} // namespace lumenpost
