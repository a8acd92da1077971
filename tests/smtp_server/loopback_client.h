#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace lumenpost::testing_support {

// Runs the Qt event loop until `done` holds or a few seconds have passed; returns `done()`.
bool PumpUntil(const std::function<bool()>& done);

// The local port a listening handle is bound to.
std::uint16_t BoundPort(int handle);

// A plain TCP client on loopback for driving a server that runs in this thread's event
// loop: every wait pumps the loop and is bounded in time.
class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    void Send(const std::string& bytes);
    // Reads until `count` bytes have arrived (or the peer closed, or time ran out).
    std::string Read(std::size_t count);
    // Reads until the peer has closed; returns the bytes that came before the close.
    std::string ReadToClose();
    bool PeerClosed() const { return mClosed; }
    // Sends `line` and returns a reply of the expected length.
    std::string Ask(const std::string& line, std::size_t replyLength);
    void Close();

private:
    bool ReadAvailable(std::string& into);

    int mFd = -1;
    bool mClosed = false;
};

} // namespace lumenpost::testing_support
