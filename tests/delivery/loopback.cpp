#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost::test {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

int Descriptor::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Descriptor::Reset() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

namespace {

constexpr int kBacklog = 4;

Descriptor BindOnly(int type, int family = AF_INET) {
    Descriptor fd(socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *address;
    }
    if (fd.Get() < 0 || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        return Descriptor();
    }
    return fd;
}

Descriptor Listening(Descriptor fd, int backlog) {
    if (listen(fd.Get(), backlog) != 0) {
        return Descriptor();
    }
    return fd;
}

// A non-blocking connect to `listener`'s port, awaited for at most `waitMs` until the
// handshake is done.
Descriptor ConnectingTo(int listener, int waitMs) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    pollfd entry{fd.Get(), POLLOUT, 0};
    poll(&entry, 1, waitMs);
    return fd;
}

} // namespace

Descriptor BindLoopback(int type, int family) {
    Descriptor fd = BindOnly(type, family);
    return type == SOCK_STREAM ? Listening(std::move(fd), kBacklog) : std::move(fd);
}

Descriptor BindLoopbackUnlistened() {
    return BindOnly(SOCK_STREAM);
}

FullListener ListenWithFullQueue() {
    // A backlog of 0 takes one connection; the system drops the handshake of any more.
    // The second connect, not awaited, keeps the queue full even when the first one's
    // last handshake step were still under way.
    FullListener full{Listening(BindOnly(SOCK_STREAM), 0), {}};
    full.queued.push_back(ConnectingTo(full.listener.Get(), kPeerWaitMs));
    full.queued.push_back(ConnectingTo(full.listener.Get(), 0));
    return full;
}

std::string PortText(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    const in_port_t port = storage.ss_family == AF_INET6
                               ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                               : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port;
    return std::to_string(ntohs(port));
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

Descriptor AcceptOne(int listener) {
    if (!WaitReadable(listener, kPeerWaitMs)) {
        return Descriptor();
    }
    return Descriptor(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const auto result = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (result <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

bool ReceiveLine(int fd, std::string& pending, std::string& line) {
    for (;;) {
        const std::size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 2);
            return true;
        }
        char buffer[4096];
        if (!WaitReadable(fd, kPeerWaitMs)) {
            return false;
        }
        const auto received = recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(received));
    }
}

} // namespace lumenpost::test
