#pragma once

#include "net_events/async_socket.h"
#include "net_events/socket_client.h"

#include <memory>
#include <vector>

namespace lumenpost {

class TCustomSocketServer;

using TSocketClientCreateEvent =
    std::function<void(TCustomSocketServer& Sender, TSocketClient& Client)>;
using TSocketClientConnectEvent =
    std::function<void(TCustomSocketServer& Sender, TSocketClient& Client, std::uint16_t Error)>;
// Makes the object for one accepted connection: TSocketClient or a class
// derived from it.
using TClientFactory = std::function<std::unique_ptr<TSocketClient>(TCustomSocketServer& Server)>;

// A listening socket that accepts every connection into a client object made
// by ClientFactory, greets it with Banner, refuses clients beyond MaxClients
// with BannerToBusy, owns the live clients and destroys each one from its own
// event loop after the client's connection has ended.
class TCustomSocketServer : public TAsyncSocket {
public:
    TCustomSocketServer();
    ~TCustomSocketServer() override;

    const std::string& Banner() const { return mBanner; }
    void SetBanner(const std::string& banner) { mBanner = banner; }
    const std::string& BannerToBusy() const { return mBannerToBusy; }
    void SetBannerToBusy(const std::string& banner) { mBannerToBusy = banner; }
    std::int32_t MaxClients() const { return mMaxClients; }
    void SetMaxClients(std::int32_t count) { mMaxClients = count; }
    void SetClientFactory(TClientFactory factory) { mClientFactory = std::move(factory); }
    std::int32_t AcceptCounter() const { return mAcceptCounter; }

    virtual int CountClients() const;
    // The client at `index` in creation order, or nullptr outside 0..CountClients-1.
    virtual TSocketClient* ClientAt(int index) const;

    TSocketClientCreateEvent OnClientCreate;
    TSocketClientConnectEvent OnClientConnect;
    TSocketClientConnectEvent OnClientDisconnect;

protected:
    void Dispatch(const TNotice& notice) override;
    void SignalSessionAvailable(std::uint16_t error) override;
    virtual void SignalClientCreate(TSocketClient& client);
    virtual void SignalClientConnect(TSocketClient& client, std::uint16_t error);
    virtual void SignalClientDisconnect(TSocketClient& client, std::uint16_t error);

private:
    friend class TSocketClient;

    void NotifyClientClosed(TSocketClient& client);
    TSocketClient& CreateClient();
    bool AdoptConnection(TSocketClient& client);
    int CountConnectedClients() const;
    void GreetOrRefuse(TSocketClient& client);
    void HandleClientClosed(const void* subject);
    using TClientList = std::vector<std::unique_ptr<TSocketClient>>;
    TClientList::iterator FindClient(const void* client);
    bool Owns(const void* client);
    void DestroyClient(const void* client);

    std::string mBanner = "Welcome to the server";
    std::string mBannerToBusy = "Sorry, too many clients";
    std::int32_t mMaxClients = 0;
    std::int32_t mAcceptCounter = 0;
    TClientFactory mClientFactory;
    TClientList mClients;
};

} // namespace lumenpost
