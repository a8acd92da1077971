#pragma once

#include "delivery/blocking_socket.h"

#include <cstdint>
#include <string>

namespace lumenpost {

// Carries the proxy settings of the socket tree. Nothing switches a proxy on, and with
// an empty ProxyHost every operation is the plain socket's.
class TSocksBlockingSocket : public TBlockingSocket {
public:
    std::string ProxyHost;
    std::string ProxyPort = "1080";
    std::string ProxyUser;
    std::string ProxyPassword;
    std::int32_t ProxyTimeoutMs = 300000;
    bool ProxyResolvesNames = true;
    bool UseProxy = false;
};

} // namespace lumenpost
