#pragma once

#include <string>

namespace lumenpost {

// English description of a socket error code in the Windows Sockets numbering.
std::string SocketErrorText(int code);

} // namespace lumenpost
