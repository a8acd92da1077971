// Notice dispatch, readiness handling and receiving of TCustomAsyncSocket.
#include "net_events/custom_async_socket.h"

#include "net_events/socket_exception.h"
#include "platform/socket_error.h"

#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace lumenpost {

// ---- notices ----

void TCustomAsyncSocket::PostNotice(const TNotice& notice) {
    mEndpoint->Post(notice);
}

void TCustomAsyncSocket::ReceiveNotice(const TNotice& notice) {
    ++mDispatchDepth;
    try {
        Dispatch(notice);
    } catch (const std::exception& e) {
        HandleBackgroundFailure(e);
    } catch (...) {
        HandleBackgroundFailure(ESocketException("Unknown failure in a socket event handler"));
    }
    --mDispatchDepth;
    if (mDispatchDepth == 0 && mNotifiersHeld) {
        mNotifiersHeld = false;
        UpdateNotifiers();
    }
}

// A handler that runs the event loop must not see its own socket's readiness
// nested inside it: the notifiers rest until the outer handling has returned.
bool TCustomAsyncSocket::HoldWhileDispatching() {
    if (mDispatchDepth == 0) {
        return false;
    }
    mNotifiersHeld = true;
    mEndpoint->SetReadEnabled(false);
    mEndpoint->SetWriteEnabled(false);
    return true;
}

void TCustomAsyncSocket::Dispatch(const TNotice& notice) {
    switch (notice.Kind) {
    case TNoticeKind::Readiness:
        HandleReadiness(notice);
        break;
    case TNoticeKind::LookupDone:
    case TNoticeKind::ReverseLookupDone:
        if (notice.Connection == mLookupId) {
            SignalDnsLookupDone(static_cast<std::uint16_t>(notice.Error));
        }
        break;
    case TNoticeKind::CloseLater:
        Disconnect();
        break;
    case TNoticeKind::CloseAfterSending:
        mCloseWhenSent = true;
        CloseIfAllSent();
        break;
    case TNoticeKind::FreeLater:
        // The owner holds this object; ending the connection hands it back.
        Disconnect();
        break;
    case TNoticeKind::TestFailure:
        throw ESocketException("Test exception in async socket");
    default:
        break;
    }
}

// Read readiness of the handle: a listener's waiting connection, data, or the
// peer's close (nothing pending and a peek that finds the end or a reset).
void TCustomAsyncSocket::HandleReadable() {
    if (mHandle == kInvalidSocket || mPaused || HoldWhileDispatching()) {
        return;
    }
    TNotice notice{TNoticeKind::Readiness, mConnection, readiness::kRead, 0, nullptr};
    if (mState == TSocketState::wsListening && mSocketType == SOCK_STREAM) {
        notice.Events = readiness::kAccept;
    } else if (mSocketType == SOCK_STREAM && PlatformPendingCount() <= 0) {
        char probe = 0;
        const ssize_t r = recv(mHandle, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (r <= 0) {
            notice.Events = readiness::kClose;
            notice.Error = r < 0 ? SocketErrorFromErrno(errno) : 0;
        }
    }
    ReceiveNotice(notice);
}

void TCustomAsyncSocket::HandleWritable() {
    if (mHandle == kInvalidSocket || mPaused || HoldWhileDispatching()) {
        return;
    }
    TNotice notice{TNoticeKind::Readiness, mConnection, readiness::kWrite, 0, nullptr};
    if (mState == TSocketState::wsConnecting) {
        int error = 0;
        socklen_t len = sizeof(error);
        getsockopt(mHandle, SOL_SOCKET, SO_ERROR, &error, &len);
        notice.Events = readiness::kConnect;
        notice.Error = SocketErrorFromErrno(error);
    }
    ReceiveNotice(notice);
}

void TCustomAsyncSocket::HandleReadiness(const TNotice& notice) {
    if (notice.Connection != mConnection || mHandle == kInvalidSocket || mPaused) {
        return;
    }
    const auto error = static_cast<std::uint16_t>(notice.Error);
    if ((notice.Events & readiness::kConnect) != 0 && mState != TSocketState::wsConnected) {
        HandleConnectReadiness(error);
    }
    if ((notice.Events & readiness::kRead) != 0) {
        if (mState != TSocketState::wsConnected) {
            SetState(TSocketState::wsConnected);
            SignalSessionConnected(error);
        }
        DeliverReadable(error, mComponentOptions);
    }
    if ((notice.Events & readiness::kWrite) != 0) {
        TryToSend();
        if (mAllSent) {
            SignalDataSent(error);
            CloseIfAllSent();
        }
    }
    if ((notice.Events & readiness::kAccept) != 0) {
        SignalSessionAvailable(error);
    }
    if ((notice.Events & readiness::kClose) != 0) {
        HandleCloseReadiness(error);
    }
}

void TCustomAsyncSocket::HandleConnectReadiness(std::uint16_t error) {
    SetState(TSocketState::wsConnected);
    SignalSessionConnected(error);
    if (error != 0 && mState != TSocketState::wsClosed) {
        Disconnect();
    }
}

void TCustomAsyncSocket::HandleCloseReadiness(std::uint16_t error) {
    if (mState == TSocketState::wsConnecting) {
        return;
    }
    DeliverReadable(0, mComponentOptions.Without(TSocketOption::wsoNoReceiveLoop));
    if (!mCloseInvoked) {
        mCloseInvoked = true;
        SignalSessionClosed(error);
    }
    if (mState != TSocketState::wsClosed) {
        Disconnect();
    }
}

// ---- receiving ----

void TCustomAsyncSocket::DeliverReadable(std::uint16_t error, TSocketOptions options) {
    try {
        for (;;) {
            mLastError = 0;
            if (!SignalDataAvailable(error) && !DiscardUnhandled()) {
                return;
            }
            if (options.Contains(TSocketOption::wsoNoReceiveLoop) || mLastError != 0 ||
                mHandle == kInvalidSocket) {
                return;
            }
            const std::int32_t pending = PlatformPendingCount();
            if (pending < 0) {
                mLastError = LastSocketError();
            }
            if (pending <= 0) {
                return;
            }
        }
    } catch (...) { // NOLINT(bugprone-empty-catch): a failing data handler ends this delivery
    }
}

// Drains bytes nobody reads; false once nothing more is waiting.
bool TCustomAsyncSocket::DiscardUnhandled() {
    char scratch[1024];
    if (RecvRaw(scratch, sizeof(scratch), 0) < 0 &&
        LastSocketError() == socket_error::kWouldBlock) {
        mLastError = 0;
        return false;
    }
    return true;
}

std::int32_t TCustomAsyncSocket::RecvRaw(void* buffer, std::int32_t size, int flags) {
    const ssize_t r = recv(mHandle, buffer, static_cast<std::size_t>(std::max(size, 0)), flags);
    if (r < 0) {
        CaptureSocketError();
        return -1;
    }
    return static_cast<std::int32_t>(r);
}

std::int32_t TCustomAsyncSocket::ReceiveBytes(void* buffer, std::int32_t size) {
    const std::int32_t r = RecvRaw(buffer, size, 0);
    if (r < 0) {
        mLastError = LastSocketError();
    } else {
        mReadCount += r;
    }
    return r;
}

std::string TCustomAsyncSocket::ReceiveText(std::int32_t limit) {
    std::int32_t n = RcvdCount();
    if (n < 0) {
        return {};
    }
    if (n == 0) {
        n = 255;
    }
    if (limit > 0) {
        n = std::min(n, limit);
    }
    std::string text(static_cast<std::size_t>(n), '\0');
    const std::int32_t r = ReceiveBytes(text.data(), n);
    if (r <= 0) {
        return {};
    }
    text.resize(static_cast<std::size_t>(r));
    return text;
}

std::int32_t TCustomAsyncSocket::ReceiveFrom(void* buffer, std::int32_t size, sockaddr_in& from) {
    socklen_t len = sizeof(from);
    const ssize_t r = recvfrom(mHandle, buffer, static_cast<std::size_t>(std::max(size, 0)), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
    if (r < 0) {
        mLastError = CaptureSocketError();
        return -1;
    }
    mReadCount += static_cast<std::int32_t>(r);
    return static_cast<std::int32_t>(r);
}

} // namespace lumenpost
