#pragma once

#include <string>
#include <sys/socket.h>
#include <vector>

// Plain loopback sockets for the delivery tests' fake peers. Every wait is bounded.
namespace lumenpost::test {

// How long a fake peer waits for the client before giving up.
inline constexpr int kPeerWaitMs = 5000;

// A closing file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd_; }
    int Release();
    void Reset();

private:
    int fd_;
};

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to the loopback address of
// `family` (127.0.0.1 or ::1) on an ephemeral port; stream sockets also listen. Invalid
// when the family's loopback is unavailable.
Descriptor BindLoopback(int type, int family = AF_INET);

// A TCP socket bound to 127.0.0.1 on an ephemeral port that does not listen: while it
// lives, connections to that port are refused.
Descriptor BindLoopbackUnlistened();

// A listener on 127.0.0.1 whose accept queue is full: a further connect gets no answer.
struct FullListener {
    Descriptor listener;
    std::vector<Descriptor> queued;
};
FullListener ListenWithFullQueue();

// The bound port of `fd` as decimal text.
std::string PortText(int fd);

// True when `fd` became readable within `timeoutMs`.
bool WaitReadable(int fd, int timeoutMs);

// Accepts one connection within kPeerWaitMs; an invalid descriptor otherwise.
Descriptor AcceptOne(int listener);

// Sends all of `text`; false when the connection failed.
bool SendAll(int fd, const std::string& text);

// Reads up to CR LF (removed) within kPeerWaitMs per wait; false on end or time-out.
bool ReceiveLine(int fd, std::string& pending, std::string& line);

} // namespace lumenpost::test
