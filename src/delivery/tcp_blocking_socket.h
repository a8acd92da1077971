#pragma once

#include "delivery/socks_blocking_socket.h"
#include "delivery/tls_session.h"

#include <memory>
#include <string>

namespace lumenpost {

// A blocking stream socket over TCP, IPv4 or IPv6, in clear or, after StartTls, through
// TLS: line, packet and text reads and writes work alike in both.
class TTcpBlockingSocket : public TSocksBlockingSocket {
public:
    TTcpBlockingSocket();
    ~TTcpBlockingSocket() override;

    // An IPv4 socket; ConnectTo replaces it by one of the family it needs.
    void OpenHandle() override;
    // Ends TLS (close_notify, best effort), stops sending first so the peer sees an
    // orderly end, then closes.
    void ReleaseHandle() override;
    // `host` is IPv4 or IPv6 text or a name the system resolves (to IPv4); otherwise as
    // ConnectTo(address).
    void ConnectTo(const std::string& host, const std::string& port) override;
    // Connects within ConnectTimeoutMs (ErrorCode 10060 when it runs out) from a socket of
    // the address's family (a held one of another family is replaced). RemoteAddress
    // holds the address tried, also when the connect fails.
    void ConnectTo(const SocketAddress& address);
    int SendBytes(const char* buffer, int count) override;
    // A receive of 0 octets means the peer closed: ErrorCode 10054.
    int ReceiveChunk(char* buffer, int count) override;

    // The TLS client handshake on the connected socket within `timeoutMs`, naming
    // `serverName` (SNI; nothing for an address or address literal); the certificate is
    // checked as `trust` says (by default not at all). Unread input received in clear is
    // dropped. On failure ErrorCode is 10060 (time-out) or 10054 and TlsFailure says why;
    // the connection is then unusable.
    bool StartTls(const std::string& serverName, int timeoutMs, const TlsTrust& trust = {});
    bool Encrypted() const { return tls_ != nullptr; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty in clear.
    std::string TlsDescription() const;
    const std::string& TlsFailure() const { return tlsFailure_; }

    // Negative: a plain blocking connect, with the system's own connect time-out.
    std::int32_t ConnectTimeoutMs = -1;

protected:
    void ReceiveAvailable(int timeoutMs, std::string& packet) override;

private:
    // A non-blocking connect awaited for at most ConnectTimeoutMs; the socket is
    // blocking again afterwards.
    void ConnectWithin(const SocketAddress& address);
    void EndTls();

    std::unique_ptr<TlsSession> tls_;
    std::string tlsFailure_;
};

} // namespace lumenpost
