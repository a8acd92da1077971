#pragma once

#include "net_events/async_socket.h"

namespace lumenpost {

class TCustomSocketServer;

// One accepted connection of a TCustomSocketServer, owned by that server and
// destroyed by it from its event loop after the connection has ended.
// Derive from it to add per-connection state; the server's ClientFactory
// creates the objects.
class TSocketClient : public TAsyncSocket {
public:
    const std::string& Banner() const { return mBanner; }
    void SetBanner(const std::string& banner) { mBanner = banner; }
    TCustomSocketServer* OwnerServer() const { return mOwnerServer; }
    void SetOwnerServer(TCustomSocketServer* server) { mOwnerServer = server; }

    // Sends Banner followed by LineEnd, unless Banner is empty.
    virtual void GreetClient();

    // The peer's address and port as taken when the connection was adopted;
    // they stay readable after the connection has ended.
    std::string PeerAddr() override { return mPeerAddr; }
    std::string PeerPort() override { return mPeerPort; }
    void Dup(TSocketHandle handle) override;

protected:
    void SignalSessionClosed(std::uint16_t error) override;

private:
    std::string mBanner;
    TCustomSocketServer* mOwnerServer = nullptr;
    std::string mPeerAddr;
    std::string mPeerPort;
    bool mClosed = false;
};

} // namespace lumenpost
