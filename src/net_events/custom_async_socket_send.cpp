// Sending and closing of TCustomAsyncSocket.
#include "net_events/custom_async_socket.h"

#include "net_events/socket_exception.h"
#include "platform/socket_error.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <array>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost {

namespace {

bool MeansConnectionGone(int code) {
    return code == socket_error::kConnectionReset || code == socket_error::kNotSocket ||
           code == socket_error::kNotConnected || code == socket_error::kInvalidArgument ||
           code == socket_error::kConnectionAborted;
}

} // namespace

std::int32_t TCustomAsyncSocket::Send(const void* data, std::int32_t len) {
    if (mState != TSocketState::wsConnected) {
        SetLastSocketError(socket_error::kNotConnected);
        ReportSocketError("Send");
        return -1;
    }
    mAllSent = false;
    if (len > 0) {
        QueueSendData(static_cast<const char*>(data), len);
    }
    TryToSend();
    if (mAllSent && mHandle != kInvalidSocket) {
        // OnDataSent never fires inside Send: it follows from the event loop.
        PostNotice({TNoticeKind::Readiness, mConnection, readiness::kWrite, 0, nullptr});
    }
    return std::max(len, 0);
}

std::int32_t TCustomAsyncSocket::SendText(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    return Send(text.data(), static_cast<std::int32_t>(text.size()));
}

std::int32_t TCustomAsyncSocket::SendTo(const sockaddr_in& dest, const void* data,
                                        std::int32_t len) {
    const ssize_t r = sendto(mHandle, data, static_cast<std::size_t>(std::max(len, 0)),
                             MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&dest), sizeof(dest));
    if (r < 0) {
        mLastError = CaptureSocketError();
        return -1;
    }
    return static_cast<std::int32_t>(r);
}

void TCustomAsyncSocket::QueueSendData(const char* data, std::int32_t len) {
    if (len < 1) {
        return;
    }
    if (mSendQueue.empty()) {
        mSendQueue.push_back(std::make_unique<TBuffer>(mSendBlockSize));
    }
    std::int32_t done = mSendQueue.back()->Append(data, len);
    while (done < len) {
        mSendQueue.push_back(std::make_unique<TBuffer>(mSendBlockSize));
        done += mSendQueue.back()->Append(data + done, len - done);
    }
}

std::int32_t TCustomAsyncSocket::SendRaw(const char* data, std::int32_t len) {
    ssize_t r = 0;
    if (mSocketType == SOCK_STREAM) {
        const int oob = mSendFlags == TSocketSendFlags::wsSendUrgent ? MSG_OOB : 0;
        r = send(mHandle, data, static_cast<std::size_t>(len), MSG_NOSIGNAL | oob);
    } else {
        r = sendto(mHandle, data, static_cast<std::size_t>(len), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&mSockAddr), sizeof(mSockAddr));
    }
    if (r < 0) {
        CaptureSocketError();
        return -1;
    }
    return static_cast<std::int32_t>(r);
}

// Sends from the head of the queue until it is drained or the platform takes no
// more; a write readiness resumes a send that stopped short.
void TCustomAsyncSocket::TryToSend() {
    if (mHandle == kInvalidSocket) {
        return;
    }
    for (;;) {
        if (mSendQueue.empty()) {
            mAllSent = true;
            mWantWrite = false;
            break;
        }
        const std::span<const char> unread = mSendQueue.front()->PeekData();
        const auto n = static_cast<std::int32_t>(unread.size());
        if (n == 0) {
            if (mSendQueue.size() > 1) {
                mSendQueue.pop_front();
                continue;
            }
            mAllSent = true;
            mWantWrite = false;
            break;
        }
        const std::int32_t r = SendRaw(unread.data(), n);
        if (r == 0) {
            break;
        }
        if (r < 0) {
            const int code = LastSocketError();
            if (MeansConnectionGone(code)) {
                EndAfterSendFailure(code);
                return;
            }
            if (code == socket_error::kWouldBlock) {
                mWantWrite = true;
                break;
            }
            ReportSocketError("TryToSend failed");
            return;
        }
        // Consumed before the event so that a handler sending more cannot send
        // these bytes twice.
        mSendQueue.front()->Consume(r);
        SignalSendData(r);
        if (mHandle == kInvalidSocket) {
            return;
        }
        if (r < n) {
            mWantWrite = true;
            break;
        }
    }
    UpdateNotifiers();
}

void TCustomAsyncSocket::EndAfterSendFailure(int code) {
    mCloseInvoked = true;
    Disconnect();
    SignalSessionClosed(static_cast<std::uint16_t>(code));
}

void TCustomAsyncSocket::DiscardSendQueue() {
    mSendQueue.clear();
}

void TCustomAsyncSocket::FlushSendQueue() {
    while (mHandle != kInvalidSocket && !mAllSent && !mTerminated) {
        TryToSend();
        if (!mAllSent) {
            WaitForEvents(100);
        }
    }
}

// ---- closing ----

void TCustomAsyncSocket::CloseInternal(bool shut, std::uint16_t error) {
    if (mHandle == kInvalidSocket) {
        if (mState != TSocketState::wsClosed) {
            SetState(TSocketState::wsClosed);
            ResetDefaults();
        }
        return;
    }
    if (mState == TSocketState::wsClosed) {
        CloseSilently();
        return;
    }
    if (shut) {
        ShutdownSocket(SHUT_WR);
    }
    // Linux releases the descriptor even when close reports EINTR.
    if (close(mHandle) != 0 && errno != EINTR) {
        CaptureSocketError();
        DropHandle();
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    DropHandle();
    SetState(TSocketState::wsClosed);
    if (!mDestroying && !mCloseInvoked) {
        mCloseInvoked = true;
        SignalSessionClosed(error);
    }
    try {
        ResetDefaults();
    } catch (...) { // NOLINT(bugprone-empty-catch): the connection is closed regardless
    }
}

void TCustomAsyncSocket::DropHandle() {
    mEndpoint->Unwatch();
    mHandle = kInvalidSocket;
    mWantWrite = false;
}

void TCustomAsyncSocket::CloseSilently() {
    if (mHandle != kInvalidSocket) {
        const TSocketHandle handle = mHandle;
        DropHandle();
        shutdown(handle, SHUT_WR);
        close(handle);
    }
}

void TCustomAsyncSocket::Disconnect() {
    CloseInternal(true, 0);
}

void TCustomAsyncSocket::CloseAfterSending() {
    PostNotice({TNoticeKind::CloseAfterSending, mConnection, 0, 0, nullptr});
}

void TCustomAsyncSocket::CloseIfAllSent() {
    if (!mCloseWhenSent || !mAllSent || mHandle == kInvalidSocket) {
        return;
    }
    mCloseWhenSent = false;
    DrainReceived();
    // A zero linger time (the default) would make even this close a reset.
    mLingerOnOff = TSocketLingerOnOff::wsLingerOff;
    ApplyLinger();
    CloseInternal(true, 0);
}

// Bytes the peer sent that nobody will read would make the close a reset, which can
// destroy the last reply before the peer reads it.
void TCustomAsyncSocket::DrainReceived() {
    constexpr std::size_t kDrainLimit = 1024 * 1024;
    std::array<char, 16 * 1024> sink{};
    for (std::size_t drained = 0; drained < kDrainLimit;) {
        const ssize_t n = recv(mHandle, sink.data(), sink.size(), MSG_DONTWAIT);
        if (n <= 0) {
            return;
        }
        drained += static_cast<std::size_t>(n);
    }
}

void TCustomAsyncSocket::DisconnectLater() {
    PostNotice({TNoticeKind::CloseLater, mConnection, 0, 0, nullptr});
}

void TCustomAsyncSocket::FreeLater() {
    PostNotice({TNoticeKind::FreeLater, mConnection, 0, 0, nullptr});
}

void TCustomAsyncSocket::AbortConnection() {
    CancelDnsLookup();
    DiscardSendQueue();
    if (mState == TSocketState::wsConnected && mProtoNumber == IPPROTO_TCP) {
        mLingerOnOff = TSocketLingerOnOff::wsLingerOff;
        ApplyLinger();
    }
    CloseInternal(false, 0);
}

void TCustomAsyncSocket::ShutdownSocket(int how) {
    if (mHandle != kInvalidSocket) {
        shutdown(mHandle, how);
    }
}

void TCustomAsyncSocket::ApplyLinger() {
    if (mLingerOnOff == TSocketLingerOnOff::wsLingerNoSet) {
        return;
    }
    if (mHandle == kInvalidSocket) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    linger value{};
    value.l_onoff = mLingerOnOff == TSocketLingerOnOff::wsLingerOn ? 1 : 0;
    value.l_linger = mLingerTimeout;
    if (setsockopt(mHandle, SOL_SOCKET, SO_LINGER, &value, sizeof(value)) != 0) {
        CaptureSocketError();
        ReportSocketError("setsockopt(SO_LINGER)");
    }
}

// ---- event pumping ----

void TCustomAsyncSocket::PumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (QCoreApplication::closingDown()) {
        mTerminated = true;
    }
}

// Processes events, waiting at most `ms` for the first one to arrive.
void TCustomAsyncSocket::WaitForEvents(int ms) {
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(ms);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (QCoreApplication::closingDown()) {
        mTerminated = true;
    }
}

void TCustomAsyncSocket::WaitUntilClosed() {
    while (mHandle != kInvalidSocket && !mTerminated) {
        WaitForEvents(100);
    }
}

int TCustomAsyncSocket::PauseEvents() {
    mPaused = true;
    UpdateNotifiers();
    return 0;
}

int TCustomAsyncSocket::ResumeEvents() {
    mPaused = false;
    UpdateNotifiers();
    return 0;
}

void TCustomAsyncSocket::UpdateNotifiers() {
    if (mHandle == kInvalidSocket) {
        return;
    }
    const unsigned readInterest = readiness::kRead | readiness::kAccept | readiness::kClose;
    if (mNotifiersHeld) {
        return;
    }
    const bool connecting = mState == TSocketState::wsConnecting;
    mEndpoint->SetReadEnabled(!mPaused && !connecting && (mInterest & readInterest) != 0);
    mEndpoint->SetWriteEnabled(!mPaused && (mInterest & readiness::kWrite) != 0 &&
                               (connecting || mWantWrite));
}

} // namespace lumenpost
