#pragma once

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <string_view>

namespace lumenpost {

// A blocking IPv4 socket whose every receive waits with a time-out. Failures are kept
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

    // Resolves `host` and `port` (service name for this socket's protocol, or decimal).
    void FillAddress(sockaddr_in& address, const std::string& host, const std::string& port);

    static std::string LocalHostName();
    static std::string GetErrorDesc(int code);

    int SocketHandle() const { return handle_; }
    int Protocol() const { return protocol_; }
    std::int32_t ErrorCode() const { return errorCode_; }
    const std::string& PendingInput() const { return pendingInput_; }
    const sockaddr_in& LocalAddress() const { return localAddress_; }
    const sockaddr_in& RemoteAddress() const { return remoteAddress_; }

    bool RaiseOnError = false;
    // Longest line ReadUntil collects; 0 means no limit.
    std::int32_t LineLengthLimit = 0;
    TStatusHook StatusHook;

protected:
    void OpenSystemSocket(int type, int protocol);
    void RecordResult(long callResult);
    void RaiseIfError();
    void RecordAddresses();
    void ReportStatus(int reason, const std::string& text);
    void SetErrorCode(std::int32_t code) { errorCode_ = code; }
    void ClearPendingInput() { pendingInput_.clear(); }
    sockaddr_in& MutableRemoteAddress() { return remoteAddress_; }

private:
    std::uint16_t PortInNetworkOrder(const std::string& port) const;

    int handle_ = -1;
    int protocol_ = 0;
    std::int32_t errorCode_ = 0;
    std::string pendingInput_;
    sockaddr_in localAddress_{};
    sockaddr_in remoteAddress_{};
};

} // namespace lumenpost
