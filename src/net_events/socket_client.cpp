#include "net_events/socket_client.h"

#include "net_events/custom_socket_server.h"

namespace lumenpost {

void TSocketClient::GreetClient() {
    if (!mBanner.empty()) {
        SendText(mBanner + LineEnd());
    }
}

void TSocketClient::Dup(TSocketHandle handle) {
    TAsyncSocket::Dup(handle);
    mPeerAddr = TAsyncSocket::PeerAddr();
    mPeerPort = TAsyncSocket::PeerPort();
}

void TSocketClient::SignalSessionClosed(std::uint16_t error) {
    if (mClosed) {
        return;
    }
    mClosed = true;
    if (mOwnerServer != nullptr) {
        mOwnerServer->NotifyClientClosed(*this);
    }
    TAsyncSocket::SignalSessionClosed(error);
}

} // namespace lumenpost
