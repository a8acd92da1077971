#pragma once

#include "delivery/socket_address.h"

#include <string>
#include <string_view>

namespace lumenpost {

// True for a name fit to introduce this machine: it has a dot (is fully qualified), is no
// IPv4 text and no name of the loopback ("localhost", "localhost.localdomain").
bool IsQualifiedHostName(std::string_view name);

// This machine's fully qualified name: the host name when qualified, else the canonical
// name the system resolver gives for it. Found once per process (the resolver costs a
// round trip); empty when the machine has none.
const std::string& MachineQualifiedName();

// What to say in EHLO on a connection from `local`: `qualifiedName` when there is one,
// otherwise the address literal of `local` ("[192.0.2.2]", "[IPv6:2001:db8::2]").
std::string EhloNameFor(const std::string& qualifiedName, const SocketAddress& local);

} // namespace lumenpost
