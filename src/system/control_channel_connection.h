#pragma once

#include "system/control_channel.h"
#include "system/control_channel_socket.h"

#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <string>

namespace lumenpost {

// One accepted connection of the control channel: reads one request line, runs the
// handler, writes the reply without blocking and closes. It closes early when the peer
// goes away, when the line grows too long (after an error reply) or when the peer
// takes longer than the idle limit to send its request or to take the reply.
class ControlConnection {
public:
    ControlConnection(UniqueFd fd, const ControlServer::Handler& handler,
                      std::chrono::milliseconds idleLimit);
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;

    bool Finished() const { return !fd_.Valid(); }

private:
    void Receive();
    void Answer(const ControlReply& reply);
    void Flush();
    void Finish();

    UniqueFd fd_;
    const ControlServer::Handler& handler_;
    QSocketNotifier reader_;
    QSocketNotifier writer_;
    QTimer idle_;
    std::string received_;
    std::string reply_;
    std::size_t sent_ = 0;
};

} // namespace lumenpost
