#include "system/control_channel_connection.h"

#include "system/control_channel_socket.h"
#include "system/control_channel_wire.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace lumenpost {
namespace {

// The user id of the process at the other end of a local socket.
std::uint32_t PeerUid(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return static_cast<std::uint32_t>(-1); // nobody's
    }
    return credentials.uid;
}

} // namespace

ControlConnection::ControlConnection(UniqueFd fd, const ControlServer::Handler& handler,
                                     const ControlServer::FileHandler& fileHandler,
                                     std::chrono::milliseconds idleLimit)
    : fd_(std::move(fd)), handler_(handler), fileHandler_(fileHandler),
      reader_(fd_.Get(), QSocketNotifier::Read), writer_(fd_.Get(), QSocketNotifier::Write) {
    writer_.setEnabled(false);
    idle_.setSingleShot(true);
    idle_.setInterval(idleLimit);
    QObject::connect(&reader_, &QSocketNotifier::activated, &reader_, [this] { Receive(); });
    QObject::connect(&writer_, &QSocketNotifier::activated, &writer_, [this] { Flush(); });
    QObject::connect(&idle_, &QTimer::timeout, &idle_, [this] { Finish(); });
    idle_.start();
}

// Reads no further than one octet past the longest request, so a peer that never
// sends a line end cannot make the buffer grow.
void ControlConnection::Receive() {
    const std::size_t held = received_.size();
    received_.resize(kControlRequestLimit + 1);
    const ssize_t got = ReceiveSome(held);
    const int err = errno;
    received_.resize(held + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got < 0 && (err == EAGAIN || err == EINTR)) {
        return;
    }
    if (got <= 0) {
        Finish(); // gone before a whole request
        return;
    }
    const std::size_t end = received_.find('\n', held);
    if (end == std::string::npos && received_.size() <= kControlRequestLimit) {
        return;
    }
    reader_.setEnabled(false);
    idle_.stop(); // the handler's own time is not the peer's fault
    if (end == std::string::npos) {
        Answer({false, "request too long"});
        return;
    }
    received_.resize(end);
    Handle(std::move(received_));
}

ssize_t ControlConnection::ReceiveSome(std::size_t held) {
    OneFileMessage message(received_.data() + held, received_.size() - held);
    const ssize_t got = recvmsg(fd_.Get(), &message.header, MSG_CMSG_CLOEXEC);
    if (got >= 0) {
        KeepFile(message.header);
    }
    return got;
}

// Descriptors that did not fit into the control buffer were closed by the system.
void ControlConnection::KeepFile(msghdr& message) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received = -1;
            std::memcpy(&received, CMSG_DATA(header) + i * sizeof(int), sizeof received);
            UniqueFd taken(received);
            if (!file_.Valid()) {
                file_ = std::move(taken);
            }
        }
    }
}

void ControlConnection::Handle(std::string line) {
    if (!file_.Valid()) {
        Answer(handler_(line));
        return;
    }
    if (!fileHandler_) {
        Answer({false, "this relay takes no files over its channel; restart it after an "
                       "upgrade"});
        return;
    }
    ControlFileRequest request{std::move(line), std::move(file_), PeerUid(fd_.Get())};
    fileHandler_(std::move(request), [connection = weak_from_this()](const ControlReply& reply) {
        if (const auto alive = connection.lock()) {
            alive->Answer(reply);
        }
    });
}

void ControlConnection::Answer(const ControlReply& reply) {
    if (answered_ || Finished()) {
        return;
    }
    answered_ = true;
    reply_ = FormatReply(reply);
    idle_.start();
    Flush();
}

void ControlConnection::Flush() {
    while (sent_ < reply_.size()) {
        const ssize_t put =
            send(fd_.Get(), reply_.data() + sent_, reply_.size() - sent_, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno == EAGAIN) {
            writer_.setEnabled(true);
            return;
        }
        if (put < 0) {
            break; // the peer went away; nothing more to do for it
        }
        sent_ += static_cast<std::size_t>(put);
    }
    Finish();
}

// Runs inside the slots of this connection's own notifiers and timer, so they are only
// switched off here; the server deletes the connection later.
void ControlConnection::Finish() {
    reader_.setEnabled(false);
    writer_.setEnabled(false);
    idle_.stop();
    fd_.Reset();
}

} // namespace lumenpost
