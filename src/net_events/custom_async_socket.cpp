#include "net_events/custom_async_socket.h"

#include "net_events/socket_error_text.h"
#include "net_events/socket_exception.h"
#include "platform/ascii_text.h"
#include "platform/socket_error.h"

#include <QString>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost {
namespace {

constexpr std::string_view kAnyAddress = "0.0.0.0";
constexpr std::string_view kAnyPort = "0";

} // namespace

namespace {

std::atomic<int> gLiveSockets{0};

// Addr, Port and Proto share one rule: trimmed, empty means unassigned, and every
// assignment (even of the same text) must be resolved again.
void AssignEndpointText(std::string& text, bool& assigned, bool& resolved,
                        const std::string& value) {
    text = Trim(value);
    assigned = !text.empty();
    resolved = false;
}

} // namespace

int LiveSocketCount() {
    return gLiveSockets.load();
}

TCustomAsyncSocket::TCustomAsyncSocket()
    : mEndpoint(std::make_unique<TNotificationEndpoint>(static_cast<TNoticeReceiver&>(*this))) {
    ++gLiveSockets;
    ResetDefaults();
}

TCustomAsyncSocket::~TCustomAsyncSocket() {
    // Handlers may reference parts of the object that are already gone, so the
    // connection ends here without any event.
    mDestroying = true;
    ++mLookupId;
    CloseSilently();
    mSendQueue.clear();
    mEndpoint.reset();
    --gLiveSockets;
}

void TCustomAsyncSocket::ResetDefaults() {
    CloseSilently();
    mAddrAssigned = false;
    mAddrResolved = false;
    mPortAssigned = false;
    mPortResolved = false;
    mProto = "tcp";
    mProtoAssigned = true;
    mProtoResolved = false;
    mProtoNumber = IPPROTO_TCP;
    mSocketType = SOCK_STREAM;
    // Whole strings, not assign(const char*): GCC 12 at -O2 warns falsely (-Wrestrict) there.
    mLocalAddr = std::string(kAnyAddress);
    mLocalPort = std::string(kAnyPort);
    mLocalPortResolved = false;
    mSockAddr = sockaddr_in{};
    mSockAddr.sin_family = AF_INET;
    mLingerOnOff = TSocketLingerOnOff::wsLingerOn;
    mLingerTimeout = 0;
    mInterest = 0;
    mState = TSocketState::wsClosed;
    mAllSent = true;
    mWantWrite = false;
    mPaused = false;
    mCloseInvoked = false;
    mReadCount = 0;
}

bool TCustomAsyncSocket::ChangeAllowed(const char* property) {
    if (mState == TSocketState::wsClosed) {
        return true;
    }
    ReportError(std::string("Cannot change ") + property + " if not closed");
    return false;
}

void TCustomAsyncSocket::SetAddr(const std::string& value) {
    if (ChangeAllowed("Addr")) {
        AssignEndpointText(mAddr, mAddrAssigned, mAddrResolved, value);
    }
}

void TCustomAsyncSocket::SetPort(const std::string& value) {
    if (ChangeAllowed("Port")) {
        AssignEndpointText(mPort, mPortAssigned, mPortResolved, value);
    }
}

void TCustomAsyncSocket::SetProto(const std::string& value) {
    if (ChangeAllowed("Proto")) {
        AssignEndpointText(mProto, mProtoAssigned, mProtoResolved, value);
    }
}

void TCustomAsyncSocket::SetLocalAddr(const std::string& value) {
    if (ChangeAllowed("LocalAddr")) {
        mLocalAddr = value.empty() ? "0.0.0.0" : value;
    }
}

void TCustomAsyncSocket::SetLocalPort(const std::string& value) {
    if (ChangeAllowed("LocalPort")) {
        mLocalPort = value;
        mLocalPortResolved = false;
    }
}

void TCustomAsyncSocket::SetSendFlags(TSocketSendFlags flags) {
    if (flags != TSocketSendFlags::wsSendNormal && flags != TSocketSendFlags::wsSendUrgent) {
        ReportError("Invalid SendFlags");
        return;
    }
    mSendFlags = flags;
}

void TCustomAsyncSocket::SetSendBlockSize(std::int32_t size) {
    mSendBlockSize = size <= 0 ? kDefaultSendBlockSize : size;
}

bool TCustomAsyncSocket::ReadPeer(sockaddr_in& peer, const char* failureName) {
    if (mState != TSocketState::wsConnected) {
        return false;
    }
    socklen_t len = sizeof(peer);
    if (getpeername(mHandle, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        CaptureSocketError();
        ReportSocketError(failureName);
        return false;
    }
    return true;
}

std::string TCustomAsyncSocket::PeerAddr() {
    sockaddr_in peer{};
    if (!ReadPeer(peer, "GetPeerName")) {
        return "error";
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    return text;
}

std::string TCustomAsyncSocket::PeerPort() {
    sockaddr_in peer{};
    if (!ReadPeer(peer, "GetPeerPort")) {
        return "error";
    }
    return std::to_string(ntohs(peer.sin_port));
}

std::int32_t TCustomAsyncSocket::RcvdCount() {
    const std::int32_t count = PlatformPendingCount();
    if (count < 0) {
        ReportSocketError("ioctlSocket");
    }
    return count;
}

std::int32_t TCustomAsyncSocket::PlatformPendingCount() {
    int count = 0;
    if (ioctl(mHandle, FIONREAD, &count) != 0) {
        CaptureSocketError();
        return -1;
    }
    return count;
}

void TCustomAsyncSocket::SetState(TSocketState state) {
    const TSocketState old = mState;
    mState = state;
    UpdateNotifiers();
    if (!mDestroying) {
        SignalChangeState(old, state);
    }
}

// ---- error reporting ----

void TCustomAsyncSocket::ReportError(const std::string& text) {
    if (OnError) {
        SignalError();
        return;
    }
    throw ESocketException(text);
}

void TCustomAsyncSocket::ReportErrorFmt(const char* format, int code) {
    ReportError(QString::asprintf(format, code).toStdString());
}

void TCustomAsyncSocket::ReportSocketError(const std::string& name, bool mayCloseHandle) {
    const int code = LastSocketError();
    const std::string text =
        "Error " + std::to_string(code) + " in function " + name + "\r\n" + SocketErrorText(code);
    const bool connectionGone =
        code == socket_error::kConnectionReset || code == socket_error::kNotConnected;
    if (connectionGone && mayCloseHandle) {
        CloseSilently();
        if (mState != TSocketState::wsClosed && !mDestroying) {
            SignalSessionClosed(static_cast<std::uint16_t>(code));
        }
        SetState(TSocketState::wsClosed);
    }
    mLastError = code;
    ReportError(text);
}

void TCustomAsyncSocket::HandleBackgroundFailure(const std::exception& e) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(*this, e, canClose);
        } catch (...) { // NOLINT(bugprone-empty-catch): a failing handler changes nothing
        }
    }
    if (canClose) {
        try {
            AbortConnection();
        } catch (...) { // NOLINT(bugprone-empty-catch): the connection is gone either way
        }
    }
}

// ---- signals ----

bool TCustomAsyncSocket::SignalDataAvailable(std::uint16_t error) {
    if (!OnDataAvailable) {
        return false;
    }
    OnDataAvailable(*this, error);
    return true;
}

void TCustomAsyncSocket::SignalSessionAvailable(std::uint16_t error) {
    if (OnSessionAvailable) {
        OnSessionAvailable(*this, error);
    }
}

void TCustomAsyncSocket::SignalSessionConnected(std::uint16_t error) {
    if (OnSessionConnected) {
        OnSessionConnected(*this, error);
    }
}

void TCustomAsyncSocket::SignalSessionClosed(std::uint16_t error) {
    if (OnSessionClosed) {
        OnSessionClosed(*this, error);
    }
}

void TCustomAsyncSocket::SignalDataSent(std::uint16_t error) {
    if (OnDataSent) {
        OnDataSent(*this, error);
    }
}

void TCustomAsyncSocket::SignalChangeState(TSocketState oldState, TSocketState newState) {
    if (OnChangeState) {
        OnChangeState(*this, oldState, newState);
    }
}

void TCustomAsyncSocket::SignalDnsLookupDone(std::uint16_t error) {
    if (OnDnsLookupDone) {
        OnDnsLookupDone(*this, error);
    }
}

void TCustomAsyncSocket::SignalError() {
    if (OnError) {
        OnError(*this);
    }
}

void TCustomAsyncSocket::SignalSendData(std::int32_t bytesSent) {
    if (OnSendData) {
        OnSendData(*this, bytesSent);
    }
}

} // namespace lumenpost
