#pragma once

#include "delivery/socks_blocking_socket.h"

namespace lumenpost {

// A blocking datagram socket over UDP. ConnectTo only records the peer; datagrams go
// to RemoteAddress, and a receive stores the sender there.
class TUdpBlockingSocket : public TSocksBlockingSocket {
public:
    void OpenHandle() override;
    void ConnectTo(const std::string& host, const std::string& port) override;
    int SendBytes(const char* buffer, int count) override;
    int ReceiveChunk(char* buffer, int count) override;

    // Waits up to `timeoutMs` for one datagram and takes it whole, an empty one too;
    // ErrorCode 10060 when none came. The sender is left in RemoteAddress.
    std::string ReceiveDatagram(int timeoutMs);
};

} // namespace lumenpost
