#include "system/control_channel.h"

#include "system/control_channel_socket.h"
#include "system/control_channel_wire.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>

namespace lumenpost {

QString ControlSocketPath(const QString& directory, const QString& executablePath) {
    return directory + u'/' + QFileInfo(executablePath).fileName() + QStringLiteral(".sock");
}

namespace {

using Clock = std::chrono::steady_clock;

// Replies beyond this are refused rather than held in memory.
constexpr std::size_t kReplyLimit = 16 * 1024 * 1024;

// One request to the running relay, with the texts that say what went wrong.
class RelayQuestion {
public:
    // A time-out below 1 ms would turn off the connect time-out altogether.
    RelayQuestion(const QString& path, int timeoutMs, int file)
        : path_(path), timeoutMs_(std::max(timeoutMs, 1)),
          deadline_(Clock::now() + std::chrono::milliseconds(timeoutMs_)), file_(file) {}

    AskResult Ask(const std::string& request);

private:
    std::optional<AskResult> Connect();
    std::optional<AskResult> Send(const std::string& line);
    ssize_t SendSome(std::string_view part);
    std::optional<AskResult> ReceiveAll(std::string& received);
    bool WaitFor(short events) const;
    AskResult Failed(const QString& what) const;
    AskResult TimedOut(const char* step) const;
    AskResult SystemFailure(const char* step, int err) const;

    QString path_;
    int timeoutMs_;
    Clock::time_point deadline_;
    int file_; // to pass with the first octets sent; -1: none
    UniqueFd fd_;
};

AskResult RelayQuestion::Ask(const std::string& request) {
    if (request.find('\n') != std::string::npos) {
        return Failed(QStringLiteral("the request to the running relay holds a line break; "
                                     "pass each argument without one"));
    }
    if (auto early = Connect()) {
        return *early;
    }
    if (auto early = Send(request + '\n')) {
        return *early;
    }
    std::string received;
    if (auto early = ReceiveAll(received)) {
        return *early;
    }
    if (received.empty()) {
        return Failed(QStringLiteral("the running relay closed the connection through %1 without "
                                     "an answer (it may be serving other requests); try again")
                          .arg(path_));
    }
    std::optional<ControlReply> reply = ParseReply(received);
    if (!reply) {
        return Failed(QStringLiteral("the program listening at %1 sent a reply that starts with "
                                     "neither OK nor ERROR; make sure the running relay is the "
                                     "same version as this command (restart it after an upgrade)")
                          .arg(path_));
    }
    return {AskStatus::answered, std::move(*reply), {}};
}

// connect() on a local socket waits only while the listener's backlog is full; the
// send time-out bounds that wait.
std::optional<AskResult> RelayQuestion::Connect() {
    const std::optional<sockaddr_un> address = UnixAddress(QFile::encodeName(path_));
    if (!address) {
        return Failed(UnfitPathText(path_));
    }
    fd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_.Valid()) {
        return SystemFailure("create a socket for", errno);
    }
    timeval limit{};
    limit.tv_sec = timeoutMs_ / 1000;
    limit.tv_usec = (timeoutMs_ % 1000) * 1000;
    setsockopt(fd_.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
        return std::nullopt;
    }
    const int err = errno;
    if (err == ENOENT || err == ECONNREFUSED) {
        return AskResult{AskStatus::notRunning, {}, {}};
    }
    return err == EAGAIN ? TimedOut("accept the connection") : SystemFailure("connect to", err);
}

// A relay that refuses the request may close before reading all of it; its reply
// is still waiting to be read then, so a broken pipe ends the sending only.
std::optional<AskResult> RelayQuestion::Send(const std::string& line) {
    std::size_t sent = 0;
    while (sent < line.size()) {
        if (!WaitFor(POLLOUT)) {
            return TimedOut("take the request");
        }
        const ssize_t put = SendSome(std::string_view(line).substr(sent));
        if (put >= 0) {
            sent += static_cast<std::size_t>(put);
        } else if (errno == EPIPE || errno == ECONNRESET) {
            return std::nullopt;
        } else if (errno != EAGAIN && errno != EINTR) {
            return SystemFailure("send the request to", errno);
        }
    }
    return std::nullopt;
}

// The file goes with the first octets that leave; once they have, it has gone.
ssize_t RelayQuestion::SendSome(std::string_view part) {
    constexpr int kFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
    if (file_ < 0) {
        return send(fd_.Get(), part.data(), part.size(), kFlags);
    }
    OneFileMessage message(const_cast<char*>(part.data()), part.size());
    cmsghdr* header = CMSG_FIRSTHDR(&message.header);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &file_, sizeof file_);
    const ssize_t put = sendmsg(fd_.Get(), &message.header, kFlags);
    if (put > 0) {
        file_ = -1;
    }
    return put;
}

// A reset counts as the end: the relay closes once its whole reply is written, and a
// local socket closed with unread input resets its peer after the data it sent.
std::optional<AskResult> RelayQuestion::ReceiveAll(std::string& received) {
    std::array<char, 4096> buffer{};
    for (;;) {
        if (!WaitFor(POLLIN)) {
            return TimedOut("answer");
        }
        const ssize_t got = recv(fd_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) {
            return std::nullopt;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            return SystemFailure("read the reply from", errno);
        }
        received.append(buffer.data(), static_cast<std::size_t>(got > 0 ? got : 0));
        if (received.size() > kReplyLimit) {
            return Failed(QStringLiteral("the reply of the running relay through %1 exceeds %2 "
                                         "octets; ask for less at a time")
                              .arg(path_)
                              .arg(kReplyLimit));
        }
    }
}

// False once the deadline has passed without the socket becoming ready.
bool RelayQuestion::WaitFor(short events) const {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd watched{fd_.Get(), events, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left));
        if (ready > 0) {
            return true; // errors and hang-ups show in the following call
        }
        if (ready < 0 && errno != EINTR) {
            return true; // the socket call that follows reports the failure
        }
    }
}

AskResult RelayQuestion::Failed(const QString& what) const {
    return {AskStatus::failed, {}, what.toStdString()};
}

AskResult RelayQuestion::TimedOut(const char* step) const {
    return Failed(QStringLiteral("the running relay did not %1 through %2 within %3 ms; try "
                                 "again, and restart the relay if this keeps happening")
                      .arg(QLatin1StringView(step), path_)
                      .arg(timeoutMs_));
}

AskResult RelayQuestion::SystemFailure(const char* step, int err) const {
    return Failed(QStringLiteral("cannot %1 the running relay through %2 (%3); check that this "
                                 "user may use %2, or try again")
                      .arg(QLatin1StringView(step), path_, ErrnoText(err)));
}

} // namespace

AskResult AskRunningRelay(const QString& path, const std::string& request, int timeoutMs,
                          int file) {
    return RelayQuestion(path, timeoutMs, file).Ask(request);
}

} // namespace lumenpost
