#pragma once

#include <string>

namespace lumenpost {

// The port text to listen on for a port number or service name: the service database's
// number when it knows the name, else "25" for smtp and "110" for pop3 (lower-cased,
// trimmed), else the text itself, which the listener will then refuse.
std::string ResolveServicePort(const std::string& srvPort);

} // namespace lumenpost
