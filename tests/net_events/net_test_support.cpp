#include "net_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace lumenpost::test {

bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(10);
    while (!done() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

void Settle(int ms) {
    RunUntil([] { return false; }, ms);
}

int BoundPort(const TCustomAsyncSocket& socket) {
    sockaddr_in address{};
    socklen_t len = sizeof(address);
    getsockname(socket.Handle(), reinterpret_cast<sockaddr*>(&address), &len);
    return ntohs(address.sin_port);
}

BlockingPeer::BlockingPeer(int port) : mFd(socket(AF_INET, SOCK_STREAM, 0)) {
    timeval timeout{5, 0};
    setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(mFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        Close();
    }
}

BlockingPeer::~BlockingPeer() {
    Close();
}

void BlockingPeer::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t r = send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0) {
            return;
        }
        done += static_cast<std::size_t>(r);
    }
}

std::string BlockingPeer::Read(std::size_t count) {
    std::string result;
    char chunk[4096];
    while (result.size() < count) {
        const ssize_t r = recv(mFd, chunk, std::min(sizeof(chunk), count - result.size()), 0);
        if (r <= 0) {
            break;
        }
        result.append(chunk, static_cast<std::size_t>(r));
    }
    return result;
}

std::string BlockingPeer::ReadToClose() {
    return Read(static_cast<std::size_t>(1) << 30);
}

void BlockingPeer::Close() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
}

void ListenOnLoopback(TCustomAsyncSocket& socket) {
    socket.SetAddr("127.0.0.1");
    socket.SetPort("0");
    socket.Listen();
}

bool AcceptedConnection::Open(const std::function<void(TAsyncSocket&)>& prepare) {
    server = std::make_unique<TAsyncSocket>();
    if (prepare) {
        prepare(*server);
    }
    listener.OnSessionAvailable = [this](TCustomAsyncSocket& sender, std::uint16_t) {
        server->Dup(sender.Accept());
    };
    ListenOnLoopback(listener);
    peer = std::make_unique<BlockingPeer>(BoundPort(listener));
    return RunUntil([this] { return server->State() == TSocketState::wsConnected; });
}

} // namespace lumenpost::test
