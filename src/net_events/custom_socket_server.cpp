#include "net_events/custom_socket_server.h"

#include "net_events/socket_exception.h"

#include <algorithm>
#include <exception>

namespace lumenpost {

TCustomSocketServer::TCustomSocketServer()
    : mClientFactory([](TCustomSocketServer&) { return std::make_unique<TSocketClient>(); }) {}

TCustomSocketServer::~TCustomSocketServer() {
    // Last to first; destroying a client fires no event.
    while (!mClients.empty()) {
        mClients.back().reset();
        mClients.pop_back();
    }
}

int TCustomSocketServer::CountClients() const {
    return static_cast<int>(mClients.size());
}

TSocketClient* TCustomSocketServer::ClientAt(int index) const {
    if (index < 0 || index >= CountClients()) {
        return nullptr;
    }
    return mClients[static_cast<std::size_t>(index)].get();
}

void TCustomSocketServer::SignalSessionAvailable(std::uint16_t error) {
    TAsyncSocket::SignalSessionAvailable(error);
    if (error != 0) {
        return;
    }
    ++mAcceptCounter;
    TSocketClient& client = CreateClient();
    SignalClientCreate(client);
    client.SetName(Name() + "Client" + std::to_string(mAcceptCounter));
    client.SetBanner(mBanner);
    client.SetOwnerServer(this);
    if (!AdoptConnection(client)) {
        return;
    }
    SignalClientConnect(client, 0);
    // A handler may have closed the client.
    if (Owns(&client) && client.State() == TSocketState::wsConnected) {
        GreetOrRefuse(client);
    }
}

TSocketClient& TCustomSocketServer::CreateClient() {
    std::unique_ptr<TSocketClient> client = mClientFactory(*this);
    if (!client) {
        throw ESocketException("The client factory made no client object; it must return one "
                               "for every accepted connection");
    }
    mClients.push_back(std::move(client));
    return *mClients.back();
}

// Accepts the waiting connection into `client`. A client that never got its
// connection is destroyed at once so that it does not count against MaxClients.
bool TCustomSocketServer::AdoptConnection(TSocketClient& client) {
    try {
        const TSocketHandle handle = Accept();
        if (handle >= 0) {
            client.Dup(handle);
        }
    } catch (...) {
        if (client.State() != TSocketState::wsConnected) {
            DestroyClient(&client);
        }
        throw;
    }
    if (client.State() != TSocketState::wsConnected) {
        DestroyClient(&client);
        return false;
    }
    return true;
}

// A client whose connection has ended holds no slot, although it stays listed until its
// notice is handled: a peer that reconnects at once is served rather than refused.
int TCustomSocketServer::CountConnectedClients() const {
    return static_cast<int>(std::count_if(mClients.begin(), mClients.end(), [](const auto& c) {
        return c->State() == TSocketState::wsConnected;
    }));
}

void TCustomSocketServer::GreetOrRefuse(TSocketClient& client) {
    if (mMaxClients > 0 && CountConnectedClients() > mMaxClients) {
        client.SetBanner(mBannerToBusy);
        client.GreetClient();
        client.CloseAfterSending();
        return;
    }
    client.GreetClient();
}

void TCustomSocketServer::NotifyClientClosed(TSocketClient& client) {
    PostNotice({TNoticeKind::ClientClosed, 0, 0, 0, &client});
}

void TCustomSocketServer::Dispatch(const TNotice& notice) {
    if (notice.Kind == TNoticeKind::ClientClosed) {
        HandleClientClosed(notice.Subject);
        return;
    }
    TAsyncSocket::Dispatch(notice);
}

TCustomSocketServer::TClientList::iterator TCustomSocketServer::FindClient(const void* client) {
    return std::find_if(mClients.begin(), mClients.end(),
                        [client](const auto& c) { return c.get() == client; });
}

void TCustomSocketServer::HandleClientClosed(const void* subject) {
    const auto found = FindClient(subject);
    if (found == mClients.end()) {
        return;
    }
    if ((*found)->Dispatching()) {
        // A handler of the client pumps events: free it once that handler is done.
        PostNotice({TNoticeKind::ClientClosed, 0, 0, 0, subject});
        return;
    }
    std::exception_ptr failure;
    try {
        SignalClientDisconnect(**found, 0);
    } catch (...) {
        failure = std::current_exception();
    }
    DestroyClient(subject);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

bool TCustomSocketServer::Owns(const void* client) {
    return FindClient(client) != mClients.end();
}

void TCustomSocketServer::DestroyClient(const void* client) {
    const auto found = FindClient(client);
    if (found == mClients.end()) {
        return;
    }
    std::unique_ptr<TSocketClient> doomed = std::move(*found);
    mClients.erase(found);
    doomed.reset();
}

void TCustomSocketServer::SignalClientCreate(TSocketClient& client) {
    if (OnClientCreate) {
        OnClientCreate(*this, client);
    }
}

void TCustomSocketServer::SignalClientConnect(TSocketClient& client, std::uint16_t error) {
    if (OnClientConnect) {
        OnClientConnect(*this, client, error);
    }
}

void TCustomSocketServer::SignalClientDisconnect(TSocketClient& client, std::uint16_t error) {
    if (OnClientDisconnect) {
        OnClientDisconnect(*this, client, error);
    }
}

} // namespace lumenpost
