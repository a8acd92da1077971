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
    // A blocking connect; the system's own connect time-out applies.
    void ConnectTo(const std::string& host, const std::string& port) override;
    int SendBytes(const char* buffer, int count) override;
    // A receive of 0 octets means the peer closed: ErrorCode 10054.
    int ReceiveChunk(char* buffer, int count) override;
};

} // namespace lumenpost
