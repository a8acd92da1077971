#pragma once

#include "delivery/socks_blocking_socket.h"

namespace lumenpost {

// A blocking stream socket over TCP (direct, unencrypted).
class TTcpBlockingSocket : public TSocksBlockingSocket {
public:
    ~TTcpBlockingSocket() override;

    void OpenHandle() override;
    // Stops sending first so the peer sees an orderly end, then closes.
    void ReleaseHandle() override;
    // Connects within ConnectTimeoutMs (ErrorCode 10060 when it runs out). RemoteAddress
    // holds the address tried, also when the connect fails.
    void ConnectTo(const std::string& host, const std::string& port) override;
    int SendBytes(const char* buffer, int count) override;
    // A receive of 0 octets means the peer closed: ErrorCode 10054.
    int ReceiveChunk(char* buffer, int count) override;

    // Negative: a plain blocking connect, with the system's own connect time-out.
    std::int32_t ConnectTimeoutMs = -1;

private:
    // A non-blocking connect awaited for at most ConnectTimeoutMs; the socket is
    // blocking again afterwards.
    void ConnectWithin(const sockaddr_in& address);
};

} // namespace lumenpost
