#pragma once

#include "system/control_channel.h"
#include "system/control_channel_socket.h"

#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct msghdr;

namespace lumenpost {

// One accepted connection of the control channel: reads one request line (and the file
// descriptor that may come with it), runs the handler, writes the reply without blocking
// and closes. A request with a file is answered whenever its handler says, so the
// connection is shared with that answer, which holds it weakly. It closes early when the
// peer goes away, when the line grows too long (after an error reply) or when the peer
// takes longer than the idle limit to send its request or to take the reply.
class ControlConnection : public std::enable_shared_from_this<ControlConnection> {
public:
    ControlConnection(UniqueFd fd, const ControlServer::Handler& handler,
                      const ControlServer::FileHandler& fileHandler,
                      std::chrono::milliseconds idleLimit);
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;

    bool Finished() const { return !fd_.Valid(); }

private:
    void Receive();
    ssize_t ReceiveSome(std::size_t held);
    void KeepFile(msghdr& message);
    void Handle(std::string line);
    void Answer(const ControlReply& reply);
    void Flush();
    void Finish();

    UniqueFd fd_;
    const ControlServer::Handler& handler_;
    const ControlServer::FileHandler& fileHandler_;
    QSocketNotifier reader_;
    QSocketNotifier writer_;
    QTimer idle_;
    std::string received_;
    UniqueFd file_; // the first descriptor that came; any more are closed at once
    bool answered_ = false;
    std::string reply_;
    std::size_t sent_ = 0;
};

} // namespace lumenpost
