#pragma once

#include "net_events/buffer.h"
#include "net_events/notification_endpoint.h"
#include "net_events/socket_types.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace lumenpost {

class TCustomAsyncSocket;

using TSessionAvailable = std::function<void(TCustomAsyncSocket& Sender, std::uint16_t Error)>;
using TSessionConnected = TSessionAvailable;
using TDataAvailable = TSessionAvailable;
using TDataSent = TSessionAvailable;
using TSessionClosed = TSessionAvailable;
using TDnsLookupDone = TSessionAvailable;
using TSendData = std::function<void(TCustomAsyncSocket& Sender, std::int32_t BytesSent)>;
using TChangeState =
    std::function<void(TCustomAsyncSocket& Sender, TSocketState OldState, TSocketState NewState)>;
using TNotifyEvent = std::function<void(TCustomAsyncSocket& Sender)>;
using TBgExceptionEvent =
    std::function<void(TCustomAsyncSocket& Sender, const std::exception& E, bool& CanClose)>;

// Number of socket objects alive in the process.
int LiveSocketCount();

// A non-blocking TCP (or UDP) endpoint driven by readiness notices on the event
// loop of the thread that created it. Outgoing bytes go through a queue of
// TBuffer blocks so that Send always accepts everything at once. Objects must
// not be destroyed from inside their own handlers: use DisconnectLater or let
// the owner free them.
class TCustomAsyncSocket : private TNoticeReceiver {
public:
    static constexpr std::int32_t kDefaultSendBlockSize = 1460;

    TCustomAsyncSocket();
    virtual ~TCustomAsyncSocket();
    TCustomAsyncSocket(const TCustomAsyncSocket&) = delete;
    TCustomAsyncSocket& operator=(const TCustomAsyncSocket&) = delete;

    // Component name, used to name the clients of a server.
    const std::string& Name() const { return mName; }
    void SetName(const std::string& name) { mName = name; }

    const std::string& Addr() const { return mAddr; }
    void SetAddr(const std::string& value);
    const std::string& Port() const { return mPort; }
    virtual void SetPort(const std::string& value);
    const std::string& Proto() const { return mProto; }
    virtual void SetProto(const std::string& value);
    const std::string& LocalAddr() const { return mLocalAddr; }
    void SetLocalAddr(const std::string& value);
    const std::string& LocalPort() const { return mLocalPort; }
    void SetLocalPort(const std::string& value);

    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    TSocketState State() const { return mState; }
    std::int32_t LastError() const { return mLastError; }
    std::int32_t ReadCount() const { return mReadCount; }
    virtual std::int32_t RcvdCount();
    TSocketHandle Handle() const { return mHandle; }

    TSocketOptions ComponentOptions() const { return mComponentOptions; }
    void SetComponentOptions(TSocketOptions options) { mComponentOptions = options; }
    bool MultiThreaded() const { return mMultiThreaded; }
    void SetMultiThreaded(bool value) { mMultiThreaded = value; }
    TSocketSendFlags SendFlags() const { return mSendFlags; }
    void SetSendFlags(TSocketSendFlags flags);
    std::int32_t SendBlockSize() const { return mSendBlockSize; }
    void SetSendBlockSize(std::int32_t size);
    TSocketLingerOnOff LingerOnOff() const { return mLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff value) { mLingerOnOff = value; }
    int LingerTimeout() const { return mLingerTimeout; }
    void SetLingerTimeout(int seconds) { mLingerTimeout = seconds; }
    bool ReuseAddr() const { return mReuseAddr; }
    void SetReuseAddr(bool value) { mReuseAddr = value; }
    bool MultiCast() const { return mMultiCast; }
    void SetMultiCast(bool value) { mMultiCast = value; }
    const std::string& MultiCastAddrStr() const { return mMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& value) { mMultiCastAddrStr = value; }
    int MultiCastIpTTL() const { return mMultiCastIpTTL; }
    void SetMultiCastIpTTL(int value) { mMultiCastIpTTL = value; }
    const std::string& DnsResult() const { return mDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return mDnsResultList; }
    bool AllSent() const { return mAllSent; }
    // True while one of this socket's notices (and so its handlers) is running.
    bool Dispatching() const { return mDispatchDepth > 0; }
    bool Terminated() const { return mTerminated; }

    virtual void Listen();
    virtual TSocketHandle Accept();
    virtual void Dup(TSocketHandle handle);
    virtual void Connect();
    virtual void Disconnect();
    virtual void DisconnectLater();
    // Closes once every queued byte is sent, without a reset: what the peer already sent
    // is read and dropped first, so the peer reads the last reply and then the end.
    void CloseAfterSending();
    virtual void AbortConnection();
    virtual void FreeLater();
    virtual void FlushSendQueue();
    virtual void WaitUntilClosed();
    virtual void ShutdownSocket(int how);
    virtual int PauseEvents();
    virtual int ResumeEvents();
    virtual void PumpEvents();

    virtual std::int32_t Send(const void* data, std::int32_t len);
    virtual std::int32_t SendText(const std::string& text);
    virtual std::int32_t SendTo(const sockaddr_in& dest, const void* data, std::int32_t len);
    virtual std::int32_t ReceiveBytes(void* buffer, std::int32_t size);
    // What has arrived; with a `limit` above 0 at most that many octets, the rest staying
    // for the next read notice.
    virtual std::string ReceiveText(std::int32_t limit = 0);
    virtual std::int32_t ReceiveFrom(void* buffer, std::int32_t size, sockaddr_in& from);

    virtual void DnsLookup(const std::string& host);
    virtual void ReverseDnsLookup(const std::string& address);
    virtual void CancelDnsLookup();

    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    // Handles one notice; derived layers add their own kinds and pass the rest on.
    virtual void Dispatch(const TNotice& notice);
    void PostNotice(const TNotice& notice);
    std::uint64_t Connection() const { return mConnection; }

    virtual void ResetDefaults();
    virtual void CloseInternal(bool shut, std::uint16_t error);
    virtual void BindLocal();
    virtual std::int32_t SendRaw(const char* data, std::int32_t len);
    virtual std::int32_t RecvRaw(void* buffer, std::int32_t size, int flags);
    virtual void ReportErrorFmt(const char* format, int code);
    virtual void ReportError(const std::string& text);
    void ReportSocketError(const std::string& name, bool mayCloseHandle = true);
    virtual void HandleBackgroundFailure(const std::exception& e);
    virtual bool SignalDataAvailable(std::uint16_t error);
    virtual void SignalSessionAvailable(std::uint16_t error);
    virtual void SignalSessionConnected(std::uint16_t error);
    virtual void SignalSessionClosed(std::uint16_t error);
    virtual void SignalDataSent(std::uint16_t error);
    virtual void SignalChangeState(TSocketState oldState, TSocketState newState);
    virtual void SignalDnsLookupDone(std::uint16_t error);
    virtual void SignalError();
    void SignalSendData(std::int32_t bytesSent);
    void SetState(TSocketState state);

    // Bytes the platform holds for reading, -1 (reported) on failure.
    std::int32_t PlatformPendingCount();
    bool Destroying() const { return mDestroying; }

private:
    // Reports "Cannot change <property> if not closed" unless the socket is closed.
    bool ChangeAllowed(const char* property);
    // Discards the send queue and adopts a new non-blocking platform socket.
    bool OpenHandle(const char* failureName);
    void ReceiveNotice(const TNotice& notice) override;
    void HandleReadable() override;
    void HandleWritable() override;
    bool HoldWhileDispatching();
    void HandleReadiness(const TNotice& notice);
    void HandleConnectReadiness(std::uint16_t error);
    void HandleCloseReadiness(std::uint16_t error);
    void DeliverReadable(std::uint16_t error, TSocketOptions options);
    bool DiscardUnhandled();
    void QueueSendData(const char* data, std::int32_t len);
    void TryToSend();
    void EndAfterSendFailure(int code);
    void DiscardSendQueue();
    void ApplyLinger();
    void AdoptHandle(TSocketHandle handle, unsigned interest);
    void DropHandle();
    void UpdateNotifiers();
    void CloseIfAllSent();
    void DrainReceived();
    void CloseSilently();
    bool ResolveEndpoint(bool forConnect);
    void FailAndClose(const std::string& name);
    // The connected peer's address record; failures are reported under `failureName`.
    bool ReadPeer(sockaddr_in& peer, const char* failureName);
    bool PrepareStreamConnect();
    bool PrepareDatagramConnect();
    bool SetOption(int level, int option, int value, const char* name);
    void WaitForEvents(int ms);

    std::string mName;
    TSocketHandle mHandle = kInvalidSocket;
    std::uint64_t mConnection = 0;
    TSocketState mState = TSocketState::wsClosed;
    std::int32_t mLastError = 0;
    std::int32_t mReadCount = 0;

    std::string mAddr;
    bool mAddrAssigned = false;
    bool mAddrResolved = false;
    std::string mPort;
    bool mPortAssigned = false;
    bool mPortResolved = false;
    std::string mProto = "tcp";
    bool mProtoAssigned = true;
    bool mProtoResolved = false;
    int mProtoNumber = 6;
    int mSocketType = 0;
    sockaddr_in mSockAddr{};
    std::string mLocalAddr = "0.0.0.0";
    std::string mLocalPort = "0";
    bool mLocalPortResolved = false;

    std::deque<std::unique_ptr<TBuffer>> mSendQueue;
    std::int32_t mSendBlockSize = kDefaultSendBlockSize;
    TSocketSendFlags mSendFlags = TSocketSendFlags::wsSendNormal;
    bool mAllSent = true;
    bool mWantWrite = false;
    bool mPaused = false;
    bool mCloseWhenSent = false;
    bool mCloseInvoked = false;
    bool mTerminated = false;
    bool mDestroying = false;
    int mDispatchDepth = 0;
    bool mNotifiersHeld = false;
    unsigned mInterest = 0;

    TSocketOptions mComponentOptions;
    bool mMultiThreaded = false;
    TSocketLingerOnOff mLingerOnOff = TSocketLingerOnOff::wsLingerOn;
    int mLingerTimeout = 0;
    bool mReuseAddr = false;
    bool mMultiCast = false;
    std::string mMultiCastAddrStr;
    int mMultiCastIpTTL = 1;

    std::uint64_t mLookupId = 0;
    std::string mDnsResult;
    std::vector<std::string> mDnsResultList;

    std::unique_ptr<TNotificationEndpoint> mEndpoint;
};

} // namespace lumenpost
