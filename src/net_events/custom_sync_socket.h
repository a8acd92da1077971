#pragma once

#include "net_events/custom_line_socket.h"

namespace lumenpost {

// Adds a blocking wait for code that wants to run a step and wait for its
// completion while the socket's events keep being processed.
class TCustomSyncSocket : public TCustomLineSocket {
public:
    static constexpr int kWaitTimedOut = 12001;

    // Runs `step`, then processes events until `done` is set. Returns 0, or
    // kWaitTimedOut after `timeoutMs` milliseconds or when the application is
    // shutting down.
    int Synchronize(const std::function<void()>& step, const bool& done, int timeoutMs);
};

} // namespace lumenpost
