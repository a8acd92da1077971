#include "loopback_client.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost::testing_support {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(10);
constexpr int kPollSliceMs = 2;

} // namespace

bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollSliceMs);
        poll(nullptr, 0, 1);
    }
    return true;
}

std::uint16_t BoundPort(int handle) {
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("getsockname failed on the listening handle");
    }
    return ntohs(address.sin_port);
}

LoopbackClient::LoopbackClient(std::uint16_t port) {
    mFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fcntl(mFd, F_SETFL, O_NONBLOCK);
    // Loopback connects complete at once or report EINPROGRESS; the server accepts later.
    if (connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
        errno != EINPROGRESS) {
        throw std::runtime_error("connect to the test server failed");
    }
}

LoopbackClient::~LoopbackClient() {
    Close();
}

void LoopbackClient::Close() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
}

void LoopbackClient::Send(const std::string& bytes) {
    std::size_t sent = 0;
    PumpUntil([&] {
        const ssize_t n = send(mFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        }
        return sent == bytes.size() || (n < 0 && errno != EAGAIN);
    });
}

bool LoopbackClient::ReadAvailable(std::string& into) {
    char buffer[4096];
    const ssize_t n = recv(mFd, buffer, sizeof(buffer), 0);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        mClosed = true; // an orderly close or a reset
    }
    return false;
}

std::string LoopbackClient::Read(std::size_t count) {
    std::string received;
    PumpUntil([&] {
        while (ReadAvailable(received)) {
        }
        return received.size() >= count || mClosed;
    });
    return received;
}

std::string LoopbackClient::ReadToClose() {
    std::string received;
    PumpUntil([&] {
        while (ReadAvailable(received)) {
        }
        return mClosed;
    });
    return received;
}

std::string LoopbackClient::Ask(const std::string& line, std::size_t replyLength) {
    Send(line);
    return Read(replyLength);
}

} // namespace lumenpost::testing_support
