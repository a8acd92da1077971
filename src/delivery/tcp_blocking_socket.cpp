#include "delivery/tcp_blocking_socket.h"

#include "platform/socket_error.h"
#include "platform/tick.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace lumenpost {

namespace {

// poll() of one entry for at most `timeoutMs` in all, resumed after signals.
int PollWithin(pollfd& entry, int timeoutMs) {
    const std::uint32_t start = TickCount();
    for (;;) {
        const std::uint32_t elapsed = TicksBetween(start, TickCount());
        const int remaining = elapsed >= static_cast<std::uint32_t>(timeoutMs)
                                  ? 0
                                  : timeoutMs - static_cast<int>(elapsed);
        const int ready = poll(&entry, 1, remaining);
        if (ready != -1 || errno != EINTR) {
            return ready;
        }
    }
}

// The errno outcome of a connect in progress on `handle`, awaited for at most
// `timeoutMs`: 0 when connected, ETIMEDOUT when the time ran out.
int AwaitConnect(int handle, int timeoutMs) {
    pollfd entry{handle, POLLOUT, 0};
    const int ready = PollWithin(entry, timeoutMs);
    if (ready <= 0) {
        return ready == 0 ? ETIMEDOUT : errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

} // namespace

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
    MutableRemoteAddress() = address;
    if (ConnectTimeoutMs < 0) {
        RecordResult(
            connect(SocketHandle(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
    } else {
        ConnectWithin(address);
    }
    RecordAddresses();
    ClearPendingInput();
    RaiseIfError();
    ReportStatus(5, host + ":" + port);
}

void TTcpBlockingSocket::ConnectWithin(const sockaddr_in& address) {
    const int handle = SocketHandle();
    const int flags = fcntl(handle, F_GETFL);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno == EINPROGRESS ? AwaitConnect(handle, ConnectTimeoutMs) : errno;
    }
    fcntl(handle, F_SETFL, flags);
    SetErrorCode(SocketErrorFromErrno(error));
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
