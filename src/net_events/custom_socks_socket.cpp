#include "net_events/custom_socks_socket.h"

namespace lumenpost {

void TCustomSocksSocket::SetSocksServer(const std::string& value) {
    if (State() != TSocketState::wsClosed) {
        ReportError("Cannot change SocksServer if not closed");
        return;
    }
    mSocksServer = value;
}

void TCustomSocksSocket::SetSocksPort(const std::string& value) {
    if (State() != TSocketState::wsClosed) {
        ReportError("Cannot change SocksPort if not closed");
        return;
    }
    mSocksPort = value;
}

void TCustomSocksSocket::Listen() {
    if (!mSocksServer.empty()) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomAsyncSocket::Listen();
}

void TCustomSocksSocket::Connect() {
    if (!mSocksServer.empty()) {
        ReportError("Connect: connecting through a SOCKS server is not available; clear "
                    "SocksServer to connect directly");
        return;
    }
    TCustomAsyncSocket::Connect();
}

} // namespace lumenpost
