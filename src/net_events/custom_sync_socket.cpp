#include "net_events/custom_sync_socket.h"

#include "platform/tick.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace lumenpost {

int TCustomSyncSocket::Synchronize(const std::function<void()>& step, const bool& done,
                                   int timeoutMs) {
    if (step) {
        step();
    }
    const std::uint32_t start = TickCount();
    QTimer wake;
    wake.start(std::clamp(timeoutMs, 1, 50));
    while (!done) {
        if (Terminated() || QCoreApplication::closingDown() ||
            TicksBetween(start, TickCount()) >=
                static_cast<std::uint32_t>(std::max(timeoutMs, 0))) {
            return kWaitTimedOut;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return 0;
}

} // namespace lumenpost
