#pragma once

#include <QCoreApplication>
#include <QThread>
#include <chrono>

namespace lumenpost {

// Runs this thread's event loop until `done` holds or `bound` has passed; returns `done()`.
template <typename Done>
bool ProcessEventsUntil(Done done, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

} // namespace lumenpost
