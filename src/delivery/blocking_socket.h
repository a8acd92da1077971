#pragma once

#include "delivery/socket_address.h"

#include <cstdint>
#include <functional>
#include <poll.h>
#include <string>
#include <string_view>

namespace lumenpost {

// poll() of one entry for at most `timeoutMs` in all (negative: no limit), resumed after
// signals; poll's result.
int PollWithin(pollfd& entry, int timeoutMs);

// A blocking IPv4 or IPv6 socket whose every receive waits with a time-out. Failures are kept
// as a Windows Sockets error number in ErrorCode (raised only with RaiseOnError), and
// received octets not yet handed out stay in PendingInput, so line reads and packet
// reads can be mixed.
class TBlockingSocket {
public:
    // Progress notices: 0/1 name resolution begins/ends, 2 opened, 3 closed,
    // 5 connected, 6 readable, 10 octets received, 11 octets sent.
    using TStatusHook =
        std::function<void(TBlockingSocket& sender, int reason, const std::string& text)>;

    // The layer's own code for a line that outgrew LineLengthLimit ("No Buffer space").
    static constexpr std::int32_t kLineTooLong = 10055;

    TBlockingSocket() = default;
    virtual ~TBlockingSocket();
    TBlockingSocket(const TBlockingSocket&) = delete;
    TBlockingSocket& operator=(const TBlockingSocket&) = delete;

    // Creates the system socket (emptying PendingInput).
    virtual void OpenHandle() = 0;
    // Closes the system socket; a second call does nothing.
    virtual void ReleaseHandle();
    virtual void ConnectTo(const std::string& host, const std::string& port) = 0;
    // One send; returns the count the system accepted, -1 on failure.
    virtual int SendBytes(const char* buffer, int count) = 0;
    // One receive; returns the count received, -1 on failure.
    virtual int ReceiveChunk(char* buffer, int count) = 0;

    // Takes over an open, connected system socket (closing any held one).
    void AttachHandle(int handle, int protocol);

    // Sends all octets of `text`; returns the count sent.
    int WriteText(std::string_view text);
    // One CR LF terminated line without its CR LF; empty on any error.
    std::string ReadLine(int timeoutMs);
    // Text up to `terminator`, which is consumed; each wait for more data is limited
    // to `timeoutMs`. After an error the part collected so far.
    std::string ReadUntil(int timeoutMs, const std::string& terminator);
    // PendingInput when there is any, else whatever the socket holds after a wait.
    std::string ReadPacket(int timeoutMs);
    // Limits each blocking send to `timeoutMs` (0 or less: no limit); one that runs out fails
    // with ErrorCode 10035 after sending what the peer took.
    void SetSendTimeout(int timeoutMs);
    // True when the socket became readable within `timeoutMs` (-1: no limit).
    bool WaitReadable(int timeoutMs);
    // Octets the system holds unread.
    int PendingCount();

    // `host` (IPv4 or IPv6 text, or a name the system resolves to IPv4) and `port`
    // (service name for this socket's protocol, or decimal); empty, with ErrorCode 11001,
    // when the name has no address.
    SocketAddress ResolveAddress(const std::string& host, const std::string& port);

    static std::string GetErrorDesc(int code);

    int SocketHandle() const { return handle_; }
    int Protocol() const { return protocol_; }
    std::int32_t ErrorCode() const { return errorCode_; }
    const std::string& PendingInput() const { return pendingInput_; }
    // AF_INET or AF_INET6 while a socket is held.
    int Family() const { return family_; }
    const SocketAddress& LocalAddress() const { return localAddress_; }
    const SocketAddress& RemoteAddress() const { return remoteAddress_; }

    bool RaiseOnError = false;
    // Longest line ReadUntil collects; 0 means no limit.
    std::int32_t LineLengthLimit = 0;
    TStatusHook StatusHook;

protected:
    void OpenSystemSocket(int family, int type, int protocol);
    // Replaces a held socket of another family (or none) by a new one.
    void UseFamily(int family, int type, int protocol);
    // Waits up to `timeoutMs` and puts what arrived into `packet`; ErrorCode 10060 when
    // nothing came, 10054 when the peer closed.
    virtual void ReceiveAvailable(int timeoutMs, std::string& packet);
    void RecordResult(long callResult);
    void RaiseIfError();
    void RecordAddresses();
    void ReportStatus(int reason, const std::string& text);
    void SetErrorCode(std::int32_t code) { errorCode_ = code; }
    void ClearPendingInput() { pendingInput_.clear(); }
    SocketAddress& MutableRemoteAddress() { return remoteAddress_; }
    // The limit of SetSendTimeout; 0: none.
    int SendTimeoutMs() const { return sendTimeoutMs_; }

private:
    std::uint16_t PortNumber(const std::string& port) const;

    int handle_ = -1;
    int family_ = AF_UNSPEC;
    int protocol_ = 0;
    int sendTimeoutMs_ = 0;
    std::int32_t errorCode_ = 0;
    std::string pendingInput_;
    SocketAddress localAddress_;
    SocketAddress remoteAddress_;
};

} // namespace lumenpost
