#pragma once

#include "net_events/async_socket.h"

#include <functional>
#include <memory>
#include <string>

namespace lumenpost::test {

// Runs the event loop until `done` holds or `timeoutMs` passes; returns `done()`.
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Runs the event loop for a short while so that posted notices get handled.
void Settle(int ms = 50);

// The port a listening socket is bound to.
int BoundPort(const TCustomAsyncSocket& socket);

// A blocking client socket connected to 127.0.0.1:port, closed on destruction.
class BlockingPeer {
public:
    explicit BlockingPeer(int port);
    ~BlockingPeer();
    BlockingPeer(const BlockingPeer&) = delete;
    BlockingPeer& operator=(const BlockingPeer&) = delete;

    void Write(const std::string& bytes);
    // Reads until `count` bytes arrived, the peer closed, or a read timed out.
    std::string Read(std::size_t count);
    std::string ReadToClose();
    void Close();
    int Fd() const { return mFd; }

private:
    int mFd = -1;
};

// A listener on an ephemeral loopback port and the server side of one accepted
// connection from a BlockingPeer.
struct AcceptedConnection {
    TAsyncSocket listener;
    std::unique_ptr<TAsyncSocket> server;
    std::unique_ptr<BlockingPeer> peer;

    // Listens, connects the peer and adopts the accepted handle into `server`.
    // `prepare` runs on `server` before it adopts the connection.
    bool Open(const std::function<void(TAsyncSocket&)>& prepare = {});
};

// Listens on an ephemeral port of 127.0.0.1.
void ListenOnLoopback(TCustomAsyncSocket& socket);

} // namespace lumenpost::test
