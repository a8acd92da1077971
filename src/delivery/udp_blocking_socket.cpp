#include "delivery/udp_blocking_socket.h"

#include "delivery/delivery_limits.h"
#include "platform/socket_error.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace lumenpost {

void TUdpBlockingSocket::OpenHandle() {
    OpenSystemSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

void TUdpBlockingSocket::ConnectTo(const std::string& host, const std::string& port) {
    MutableRemoteAddress() = ResolveAddress(host, port);
    if (!RemoteAddress().Empty()) {
        UseFamily(RemoteAddress().Family(), SOCK_DGRAM, IPPROTO_UDP);
    }
    ClearPendingInput();
    ReportStatus(5, host + ":" + port);
}

int TUdpBlockingSocket::SendBytes(const char* buffer, int count) {
    const SocketAddress& peer = RemoteAddress();
    const auto sent = sendto(SocketHandle(), buffer, static_cast<std::size_t>(count), MSG_NOSIGNAL,
                             peer.Raw(), peer.Length());
    RecordResult(sent);
    RecordAddresses();
    RaiseIfError();
    ReportStatus(11, std::to_string(sent));
    return static_cast<int>(sent);
}

int TUdpBlockingSocket::ReceiveChunk(char* buffer, int count) {
    sockaddr_storage sender{};
    socklen_t length = sizeof sender;
    const auto received = recvfrom(SocketHandle(), buffer, static_cast<std::size_t>(count), 0,
                                   reinterpret_cast<sockaddr*>(&sender), &length);
    RecordResult(received);
    if (received >= 0) {
        MutableRemoteAddress() =
            SocketAddress::FromSystem(reinterpret_cast<const sockaddr*>(&sender), length);
    }
    RaiseIfError();
    ReportStatus(10, std::to_string(received));
    return static_cast<int>(received);
}

std::string TUdpBlockingSocket::ReceiveDatagram(int timeoutMs) {
    if (!WaitReadable(timeoutMs)) {
        if (ErrorCode() == 0) {
            SetErrorCode(socket_error::kTimedOut);
        }
        RaiseIfError();
        return {};
    }
    std::string datagram(delivery_limits::kDatagramSize, '\0');
    const int received = ReceiveChunk(datagram.data(), static_cast<int>(datagram.size()));
    datagram.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return datagram;
}

} // namespace lumenpost
