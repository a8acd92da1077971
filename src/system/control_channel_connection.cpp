#include "system/control_channel_connection.h"

#include "system/control_channel_wire.h"

#include <cerrno>
#include <sys/socket.h>

namespace lumenpost {

ControlConnection::ControlConnection(UniqueFd fd, const ControlServer::Handler& handler,
                                     std::chrono::milliseconds idleLimit)
    : fd_(std::move(fd)), handler_(handler), reader_(fd_.Get(), QSocketNotifier::Read),
      writer_(fd_.Get(), QSocketNotifier::Write) {
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
    const ssize_t got = recv(fd_.Get(), received_.data() + held, received_.size() - held, 0);
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
    Answer(end != std::string::npos ? handler_(received_.substr(0, end))
                                    : ControlReply{false, "request too long"});
}

void ControlConnection::Answer(const ControlReply& reply) {
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
