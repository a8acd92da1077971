#pragma once

#include "net_events/custom_async_socket.h"

namespace lumenpost {

// The SOCKS client layer. Without a SOCKS server every call passes through
// unchanged; with one set, listening is refused and connecting through it is
// not available.
class TCustomSocksSocket : public TCustomAsyncSocket {
public:
    const std::string& SocksServer() const { return mSocksServer; }
    virtual void SetSocksServer(const std::string& value);
    const std::string& SocksPort() const { return mSocksPort; }
    virtual void SetSocksPort(const std::string& value);

    void Listen() override;
    void Connect() override;

private:
    std::string mSocksServer;
    std::string mSocksPort = "1080";
};

} // namespace lumenpost
