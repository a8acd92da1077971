// Listening, accepting, adopting and connecting of TCustomAsyncSocket, and its
// name lookups.
#include "net_events/custom_async_socket.h"

#include "net_events/socket_exception.h"
#include "net_events/socket_names.h"
#include "platform/socket_error.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace lumenpost {

namespace {

// A short queue overflows in a burst of connections: the kernel then answers with SYN
// cookies and drops the completing ACK, and a client (which waits for our greeting)
// is left connected to nothing. The system's maximum keeps every attempt queued.
constexpr int kListenBacklog = SOMAXCONN;

int SocketTypeFor(int protocol) {
    if (protocol == IPPROTO_TCP) {
        return SOCK_STREAM;
    }
    return protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
}

} // namespace

bool TCustomAsyncSocket::OpenHandle(const char* failureName) {
    DiscardSendQueue();
    const int handle = socket(AF_INET, mSocketType | SOCK_NONBLOCK | SOCK_CLOEXEC, mProtoNumber);
    if (handle < 0) {
        CaptureSocketError();
        ReportSocketError(failureName);
        return false;
    }
    AdoptHandle(handle, 0);
    return true;
}

void TCustomAsyncSocket::Listen() {
    const struct {
        bool assigned;
        const char* text;
    } checks[] = {{mPortAssigned, "listen: port not assigned"},
                  {mProtoAssigned, "listen: protocol not assigned"},
                  {mAddrAssigned, "listen: address not assigned"}};
    for (const auto& check : checks) {
        if (!check.assigned) {
            SetLastSocketError(socket_error::kInvalidArgument);
            ReportSocketError(check.text);
            return;
        }
    }
    if (!ResolveEndpoint(false)) {
        return;
    }
    if (!OpenHandle("socket")) {
        return;
    }
    if (mSocketType == SOCK_DGRAM && mReuseAddr &&
        !SetOption(SOL_SOCKET, SO_REUSEADDR, 1, "setsockopt(SO_REUSEADDR)")) {
        return;
    }
    if (mSocketType == SOCK_STREAM) {
        // Lets a restarted listener bind while old connections linger, as the
        // other platform allows; two listeners on one port still fail.
        const int on = 1;
        setsockopt(mHandle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    if (bind(mHandle, reinterpret_cast<const sockaddr*>(&mSockAddr), sizeof(mSockAddr)) != 0) {
        FailAndClose("Bind");
        return;
    }
    SetState(TSocketState::wsBound);
    if (mSocketType == SOCK_DGRAM && mMultiCast) {
        ip_mreq group{};
        group.imr_interface.s_addr = htonl(INADDR_ANY);
        if (inet_pton(AF_INET, mMultiCastAddrStr.c_str(), &group.imr_multiaddr) != 1 ||
            setsockopt(mHandle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
            CaptureSocketError();
            ReportSocketError("setsockopt(IP MULTICAST)");
            return;
        }
    }
    if (mSocketType == SOCK_STREAM) {
        if (listen(mHandle, kListenBacklog) != 0) {
            FailAndClose("Listen");
            return;
        }
        SetState(TSocketState::wsListening);
    } else {
        SetState(TSocketState::wsListening);
        SetState(TSocketState::wsConnected);
        SignalSessionConnected(0);
    }
    mInterest = readiness::kRead | readiness::kWrite | readiness::kAccept | readiness::kClose;
    UpdateNotifiers();
}

// A listener that failed half-way releases its handle and its state before
// the failure is reported, so that it can be set up and started again.
void TCustomAsyncSocket::FailAndClose(const std::string& name) {
    const int code = CaptureSocketError();
    CloseSilently();
    if (mState != TSocketState::wsClosed) {
        SetState(TSocketState::wsClosed);
    }
    ResetDefaults();
    SetLastSocketError(code);
    ReportSocketError(name);
}

TSocketHandle TCustomAsyncSocket::Accept() {
    if (mState != TSocketState::wsListening) {
        SetLastSocketError(socket_error::kInvalidArgument);
        ReportSocketError("not a listening socket");
        return -1;
    }
    socklen_t len = sizeof(mSockAddr);
    const int handle = accept4(mHandle, reinterpret_cast<sockaddr*>(&mSockAddr), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (handle < 0) {
        CaptureSocketError();
        ReportSocketError("Accept", false);
        return -1;
    }
    return handle;
}

void TCustomAsyncSocket::Dup(TSocketHandle handle) {
    // Descriptor 0 is a valid socket on this platform; only negatives are not.
    if (handle < 0) {
        SetLastSocketError(socket_error::kInvalidArgument);
        ReportSocketError("Dup");
        return;
    }
    if (mState != TSocketState::wsClosed) {
        if (mHandle != kInvalidSocket && close(mHandle) != 0) {
            CaptureSocketError();
            DropHandle();
            ReportSocketError("Dup (closesocket)");
            return;
        }
        DropHandle();
        SetState(TSocketState::wsClosed);
    }
    fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK);
    AdoptHandle(handle, 0);
    ApplyLinger();
    mInterest = readiness::kRead | readiness::kWrite | readiness::kConnect | readiness::kClose;
    SetState(TSocketState::wsConnected);
}

void TCustomAsyncSocket::AdoptHandle(TSocketHandle handle, unsigned interest) {
    mHandle = handle;
    ++mConnection;
    mInterest = interest;
    mWantWrite = false;
    mEndpoint->Watch(handle);
    UpdateNotifiers();
}

bool TCustomAsyncSocket::SetOption(int level, int option, int value, const char* name) {
    if (setsockopt(mHandle, level, option, &value, sizeof(value)) != 0) {
        CaptureSocketError();
        ReportSocketError(name);
        return false;
    }
    return true;
}

void TCustomAsyncSocket::Connect() {
    if (mHandle != kInvalidSocket && mState != TSocketState::wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    const struct {
        bool assigned;
        const char* text;
    } checks[] = {{mPortAssigned, "Connect: No Port Specified"},
                  {mAddrAssigned, "Connect: No IP Address Specified"},
                  {mProtoAssigned, "Connect: No Protocol Specified"}};
    for (const auto& check : checks) {
        if (!check.assigned) {
            ReportError(check.text);
            return;
        }
    }
    if (!ResolveEndpoint(true)) {
        return;
    }
    if (!OpenHandle("Connect (socket)")) {
        return;
    }
    SetState(TSocketState::wsOpened);
    if (mState != TSocketState::wsOpened) {
        ReportError("Connect (Invalid operation in OnChangeState)");
        return;
    }
    const bool prepared =
        mSocketType == SOCK_STREAM ? PrepareStreamConnect() : PrepareDatagramConnect();
    if (!prepared) {
        return;
    }
    mInterest = readiness::kRead | readiness::kWrite | readiness::kAccept | readiness::kConnect |
                readiness::kClose;
    if (mSocketType != SOCK_STREAM) {
        SetState(TSocketState::wsConnected);
        SignalSessionConnected(0);
        return;
    }
    if (connect(mHandle, reinterpret_cast<const sockaddr*>(&mSockAddr), sizeof(mSockAddr)) != 0 &&
        errno != EINPROGRESS && errno != EAGAIN) {
        mLastError = CaptureSocketError();
        ReportSocketError("Connect");
        return;
    }
    SetState(TSocketState::wsConnecting);
}

// Resolves what is still unresolved of Proto, Port (and, for Connect, LocalPort) and
// Addr. Listen knows only stream and datagram sockets; Connect also opens raw ones.
bool TCustomAsyncSocket::ResolveEndpoint(bool forConnect) {
    std::string failure;
    try {
        if (!mProtoResolved) {
            mProtoNumber = SocketResolveProto(mProto);
            mSocketType = forConnect ? SocketTypeFor(mProtoNumber)
                                     : (mProtoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM);
            mProtoResolved = true;
        }
        if (!mPortResolved) {
            mSockAddr.sin_port = htons(SocketResolvePort(mPort, mProto));
            mPortResolved = true;
        }
        if (forConnect && !mLocalPortResolved) {
            mLocalPort = std::to_string(SocketResolvePort(mLocalPort, mProto));
            mLocalPortResolved = true;
        }
        if (!mAddrResolved) {
            mSockAddr.sin_addr.s_addr = SocketResolveHost(mAddr);
            mAddrResolved = true;
        }
        mSockAddr.sin_family = AF_INET;
        return true;
    } catch (const std::exception& e) {
        failure = std::string(forConnect ? "connect: " : "listen: ") + e.what();
    }
    ReportError(failure);
    return false;
}

bool TCustomAsyncSocket::PrepareStreamConnect() {
    if (!SetOption(SOL_SOCKET, SO_REUSEADDR, 1, "setsockopt(SO_REUSEADDR)")) {
        return false;
    }
    if (mComponentOptions.Contains(TSocketOption::wsoTcpNoDelay) &&
        !SetOption(IPPROTO_TCP, TCP_NODELAY, 1, "setsockopt(IPPROTO_TCP, TCP_NODELAY)")) {
        return false;
    }
    ApplyLinger();
    if (!SetOption(SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt(SO_KEEPALIVE)")) {
        return false;
    }
    if (mLocalPort != "0" || mLocalAddr != "0.0.0.0") {
        BindLocal();
    }
    return mHandle != kInvalidSocket;
}

bool TCustomAsyncSocket::PrepareDatagramConnect() {
    BindLocal();
    if (mMultiCast && mMultiCastIpTTL != 1 &&
        !SetOption(IPPROTO_IP, IP_MULTICAST_TTL, mMultiCastIpTTL, "setsockopt(IP_MULTICAST_TTL)")) {
        return false;
    }
    if (mSockAddr.sin_addr.s_addr == INADDR_BROADCAST &&
        !SetOption(SOL_SOCKET, SO_BROADCAST, 1, "setsockopt(SO_BROADCAST)")) {
        return false;
    }
    return mHandle != kInvalidSocket;
}

void TCustomAsyncSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    try {
        local.sin_addr.s_addr = SocketResolveHost(mLocalAddr);
        local.sin_port = htons(SocketResolvePort(mLocalPort, mProto));
    } catch (const ESocketException& e) {
        ReportError(e.what());
        return;
    }
    if (bind(mHandle, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", CaptureSocketError());
        return;
    }
    socklen_t len = sizeof(local);
    if (getsockname(mHandle, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", CaptureSocketError());
        return;
    }
    mLocalPort = std::to_string(ntohs(local.sin_port));
}

// ---- lookups: answered from the event loop so that callers see them complete
// after they return, as with a background resolver ----

void TCustomAsyncSocket::DnsLookup(const std::string& host) {
    CancelDnsLookup();
    mDnsResult.clear();
    mDnsResultList.clear();
    int code = 0;
    try {
        const std::optional<THostRecord> record = SocketHostByName(host);
        if (record) {
            for (std::uint32_t address : record->Addresses) {
                mDnsResultList.push_back(DottedAddress(address));
            }
        }
        code = mDnsResultList.empty() ? socket_error::kHostNotFound : 0;
    } catch (const ESocketException&) {
        code = socket_error::kHostNotFound;
    }
    if (!mDnsResultList.empty()) {
        mDnsResult = mDnsResultList.front();
    }
    PostNotice({TNoticeKind::LookupDone, mLookupId, 0, code, nullptr});
}

void TCustomAsyncSocket::ReverseDnsLookup(const std::string& address) {
    CancelDnsLookup();
    mDnsResultList.clear();
    try {
        mDnsResult = AddrToHostName(address);
    } catch (const ESocketException&) {
        mDnsResult.clear();
    }
    if (!mDnsResult.empty()) {
        mDnsResultList.push_back(mDnsResult);
    }
    const int code = mDnsResult.empty() ? socket_error::kHostNotFound : 0;
    PostNotice({TNoticeKind::ReverseLookupDone, mLookupId, 0, code, nullptr});
}

void TCustomAsyncSocket::CancelDnsLookup() {
    ++mLookupId;
}

} // namespace lumenpost
