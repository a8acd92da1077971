#include "delivery/dns_transport.h"

#include "delivery/delivery_limits.h"
#include "delivery/dns_tcp_reader.h"
#include "delivery/text_helpers.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost {

namespace {

using Clock = std::chrono::steady_clock;

class Deadline {
public:
    explicit Deadline(std::int32_t timeoutMs)
        : end_(Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0)) {}

    int RemainingMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

private:
    Clock::time_point end_;
};

DnsExchange Failed(int error) {
    return {DnsExchange::Status::failed, {}, error};
}

DnsExchange TimedOut() {
    return {DnsExchange::Status::timedOut, {}, 0};
}

DnsExchange Closed() {
    return {DnsExchange::Status::closed, {}, ECONNRESET};
}

DnsExchange Answered(std::string message) {
    return {DnsExchange::Status::answered, std::move(message), 0};
}

// Waits for `events` on `fd` until the deadline: 1 ready, 0 timed out, -1 failed
// (errno set).
int WaitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        const int remaining = deadline.RemainingMs();
        if (remaining == 0) {
            return 0;
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, remaining);
        if (ready >= 0 || errno != EINTR) {
            return ready > 0 ? 1 : ready;
        }
    }
}

bool Transient(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// Why a step of the TCP exchange ended it; nothing when it went through.
using StepFailure = std::optional<DnsExchange>;

StepFailure ConnectWithin(int fd, const SocketAddress& server, const Deadline& deadline) {
    if (connect(fd, server.Raw(), server.Length()) == 0) {
        return std::nullopt;
    }
    if (errno != EINPROGRESS) {
        return Failed(errno);
    }
    const int ready = WaitFor(fd, POLLOUT, deadline);
    if (ready <= 0) {
        return ready == 0 ? TimedOut() : Failed(errno);
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0 ? StepFailure() : Failed(error);
}

StepFailure SendAll(int fd, std::string_view octets, const Deadline& deadline) {
    while (!octets.empty()) {
        const int ready = WaitFor(fd, POLLOUT, deadline);
        if (ready <= 0) {
            return ready == 0 ? TimedOut() : Failed(errno);
        }
        const auto sent = send(fd, octets.data(), octets.size(), MSG_NOSIGNAL);
        if (sent < 0 && !Transient(errno)) {
            return Failed(errno);
        }
        octets.remove_prefix(sent > 0 ? static_cast<std::size_t>(sent) : 0);
    }
    return std::nullopt;
}

DnsExchange ReceiveOverTcp(int fd, const Deadline& deadline, const DnsAnswerCheck& isAnswer) {
    DnsTcpReader reader;
    char buffer[4096];
    for (;;) {
        const int ready = WaitFor(fd, POLLIN, deadline);
        if (ready <= 0) {
            return ready == 0 ? TimedOut() : Failed(errno);
        }
        const std::size_t wanted = std::min(reader.Wanted(), sizeof buffer);
        const auto received = recv(fd, buffer, wanted, 0);
        if (received == 0) {
            return Closed();
        }
        if (received < 0) {
            if (Transient(errno)) {
                continue;
            }
            return Failed(errno);
        }
        reader.Feed(std::string_view(buffer, static_cast<std::size_t>(received)));
        if (std::optional<std::string> message = reader.TakeMessage()) {
            if (isAnswer(*message)) {
                return Answered(std::move(*message));
            }
        }
    }
}

DnsExchange TcpExchange(const SocketAddress& server, std::string_view query, std::int32_t timeoutMs,
                        const DnsAnswerCheck& isAnswer) {
    if (query.size() > 0xFFFF) {
        return Failed(EMSGSIZE);
    }
    const Deadline deadline(timeoutMs);
    const UniqueFd socketHandle(
        socket(server.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int fd = socketHandle.Get();
    if (fd < 0) {
        return Failed(errno);
    }
    if (StepFailure failure = ConnectWithin(fd, server, deadline)) {
        return std::move(*failure);
    }
    const std::string framed =
        Word16ToText(static_cast<std::uint16_t>(query.size())) + std::string(query);
    if (StepFailure failure = SendAll(fd, framed, deadline)) {
        return std::move(*failure);
    }
    return ReceiveOverTcp(fd, deadline, isAnswer);
}

} // namespace

DnsExchange ExchangeOverUdp(const SocketAddress& server, std::string_view query,
                            std::int32_t timeoutMs, const DnsAnswerCheck& isAnswer) {
    const Deadline deadline(timeoutMs);
    const UniqueFd socketHandle(socket(server.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int fd = socketHandle.Get();
    if (fd < 0) {
        return Failed(errno);
    }
    if (sendto(fd, query.data(), query.size(), MSG_NOSIGNAL, server.Raw(), server.Length()) < 0) {
        return Failed(errno);
    }
    std::string datagram(delivery_limits::kDatagramSize, '\0');
    for (;;) {
        const int ready = WaitFor(fd, POLLIN, deadline);
        if (ready <= 0) {
            return ready == 0 ? TimedOut() : Failed(errno);
        }
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const auto received = recvfrom(fd, datagram.data(), datagram.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (received < 0) {
            if (Transient(errno)) {
                continue;
            }
            return Failed(errno);
        }
        const std::string_view message(datagram.data(), static_cast<std::size_t>(received));
        if (SocketAddress::FromSystem(reinterpret_cast<const sockaddr*>(&from), length) == server &&
            isAnswer(message)) {
            return Answered(std::string(message));
        }
    }
}

DnsExchange ExchangeOverTcp(const SocketAddress& server, std::string_view query,
                            std::int32_t timeoutMs, const DnsAnswerCheck& isAnswer) {
    DnsExchange exchange = TcpExchange(server, query, timeoutMs, isAnswer);
    exchange.overTcp = true;
    return exchange;
}

} // namespace lumenpost
