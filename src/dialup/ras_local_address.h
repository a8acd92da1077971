#pragma once

#include <string>
#include <vector>

namespace lumenpost {

// The machine's host name (at most 255 characters), or the empty text when it cannot be read.
std::string LocalHostName();

// The machine's address in dotted decimal: the first address the host name resolves to.
std::string LocalIPAddress(const std::string& hostName);

// Picks the address from the host name's addresses (`resolved`) and the IPv4 addresses of
// the machine's interfaces that are up (`machine`), all dotted decimal, in order.
// Many systems resolve their own name to 127.0.1.1 only, which a mail client elsewhere
// cannot use: when the name resolves to nothing or only to loopback, the first
// non-loopback address of the machine is taken instead. Without any, what the name
// resolved to, and as a last resort 127.0.0.1, which always reaches this machine.
std::string ChooseLocalIP(const std::vector<std::string>& resolved,
                          const std::vector<std::string>& machine);

} // namespace lumenpost
