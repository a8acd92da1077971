#include "delivery/tcp_blocking_socket.h"

#include "delivery/tls_session.h"
#include "platform/socket_error.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace lumenpost {

namespace {

// The largest TLS record's payload: one read takes at most one record.
constexpr int kTlsReadSize = 16 * 1024;
// close_notify is a courtesy; a peer that takes nothing more must not hold the close.
constexpr int kTlsCloseWaitMs = 1000;

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

TTcpBlockingSocket::TTcpBlockingSocket() = default;

TTcpBlockingSocket::~TTcpBlockingSocket() {
    TTcpBlockingSocket::ReleaseHandle();
}

void TTcpBlockingSocket::OpenHandle() {
    EndTls();
    OpenSystemSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

void TTcpBlockingSocket::ReleaseHandle() {
    EndTls();
    if (SocketHandle() >= 0) {
        shutdown(SocketHandle(), SHUT_WR);
    }
    TBlockingSocket::ReleaseHandle();
}

void TTcpBlockingSocket::EndTls() {
    if (tls_) {
        tls_->Close(kTlsCloseWaitMs);
        tls_.reset();
    }
}

void TTcpBlockingSocket::ConnectTo(const std::string& host, const std::string& port) {
    const SocketAddress address = ResolveAddress(host, port);
    if (address.Empty()) {
        RaiseIfError();
        return;
    }
    ConnectTo(address);
}

void TTcpBlockingSocket::ConnectTo(const SocketAddress& address) {
    EndTls();
    UseFamily(address.Family(), SOCK_STREAM, IPPROTO_TCP);
    MutableRemoteAddress() = address;
    if (SocketHandle() < 0) {
        return;
    }
    if (ConnectTimeoutMs < 0) {
        RecordResult(connect(SocketHandle(), address.Raw(), address.Length()));
    } else {
        ConnectWithin(address);
    }
    RecordAddresses();
    ClearPendingInput();
    RaiseIfError();
    ReportStatus(5, address.Text());
}

void TTcpBlockingSocket::ConnectWithin(const SocketAddress& address) {
    const int handle = SocketHandle();
    const int flags = fcntl(handle, F_GETFL);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (connect(handle, address.Raw(), address.Length()) != 0) {
        error = errno == EINPROGRESS ? AwaitConnect(handle, ConnectTimeoutMs) : errno;
    }
    fcntl(handle, F_SETFL, flags);
    SetErrorCode(SocketErrorFromErrno(error));
}

bool TTcpBlockingSocket::StartTls(const std::string& serverName, int timeoutMs,
                                  const TlsTrust& trust) {
    // Octets that came in clear after the reply to STARTTLS were not protected by TLS;
    // taking them as replies would let anyone on the path speak for the exchanger.
    ClearPendingInput();
    auto session = std::make_unique<TlsSession>(SocketHandle(), trust);
    if (!session->Handshake(serverName, timeoutMs)) {
        tlsFailure_ = session->Failure();
        SetErrorCode(session->TimedOut() ? socket_error::kTimedOut
                                         : socket_error::kConnectionReset);
        return false;
    }
    tlsFailure_.clear();
    tls_ = std::move(session);
    SetErrorCode(0);
    return true;
}

std::string TTcpBlockingSocket::TlsDescription() const {
    return tls_ ? tls_->Description() : std::string();
}

int TTcpBlockingSocket::SendBytes(const char* buffer, int count) {
    long sent = 0;
    if (tls_) {
        const int limit = SendTimeoutMs() > 0 ? SendTimeoutMs() : -1;
        const TlsTransfer transfer = tls_->Write(buffer, count, limit);
        SetErrorCode(transfer.error);
        sent = transfer.count;
    } else {
        sent = send(SocketHandle(), buffer, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        RecordResult(sent);
    }
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

void TTcpBlockingSocket::ReceiveAvailable(int timeoutMs, std::string& packet) {
    if (!tls_) {
        TBlockingSocket::ReceiveAvailable(timeoutMs, packet);
        return;
    }
    packet.resize(kTlsReadSize);
    const TlsTransfer transfer = tls_->Read(packet.data(), kTlsReadSize, timeoutMs);
    packet.resize(transfer.count > 0 ? static_cast<std::size_t>(transfer.count) : 0);
    SetErrorCode(transfer.error);
    RaiseIfError();
    ReportStatus(10, std::to_string(transfer.count));
}

} // namespace lumenpost
