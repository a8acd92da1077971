#include "delivery/tcp_blocking_socket.h"

#include "platform/socket_error.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace lumenpost {

TTcpBlockingSocket::~TTcpBlockingSocket() {
    TTcpBlockingSocket::ReleaseHandle();
}

void TTcpBlockingSocket::OpenHandle() {
    OpenSystemSocket(SOCK_STREAM, IPPROTO_TCP);
}

void TTcpBlockingSocket::ReleaseHandle() {
    if (SocketHandle() >= 0) {
        shutdown(SocketHandle(), SHUT_WR);
    }
    TBlockingSocket::ReleaseHandle();
}

void TTcpBlockingSocket::ConnectTo(const std::string& host, const std::string& port) {
    sockaddr_in address{};
    FillAddress(address, host, port);
    RecordResult(
        connect(SocketHandle(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
    RecordAddresses();
    ClearPendingInput();
    RaiseIfError();
    ReportStatus(5, host + ":" + port);
}

int TTcpBlockingSocket::SendBytes(const char* buffer, int count) {
    const auto sent = send(SocketHandle(), buffer, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    RecordResult(sent);
    RaiseIfError();
    ReportStatus(11, std::to_string(sent));
    return static_cast<int>(sent);
}

int TTcpBlockingSocket::ReceiveChunk(char* buffer, int count) {
    const auto received = recv(SocketHandle(), buffer, static_cast<std::size_t>(count), 0);
    if (received == 0) {
        SetErrorCode(socket_error::kConnectionReset);
    } else {
        RecordResult(received);
    }
    RaiseIfError();
    ReportStatus(10, std::to_string(received));
    return static_cast<int>(received);
}

} // namespace lumenpost
