#include "relay/relay_workers.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumenpost {

struct RelayWorkers::Shared {
    RelayServices services;
    OutcomeHandler onOutcome;

    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;             // guarded by mutex
    QObject* receiver = nullptr; // guarded by mutex; null once outcomes are no longer wanted
};

RelayWorkers::RelayWorkers(RelayServices services, OutcomeHandler onOutcome,
                           std::chrono::milliseconds exitWait)
    : shared_(std::make_shared<Shared>()), receiver_(std::make_unique<QObject>()),
      exitWait_(exitWait) {
    shared_->services = std::move(services);
    shared_->onOutcome = std::move(onOutcome);
    shared_->receiver = receiver_.get();
}

RelayWorkers::~RelayWorkers() {
    std::unique_lock lock(shared_->mutex);
    shared_->receiver = nullptr;
    shared_->idle.wait_for(lock, exitWait_, [this] { return shared_->running == 0; });
}

bool RelayWorkers::Start(RelayJob job, RelayPassSettings settings) {
    {
        std::lock_guard lock(shared_->mutex);
        ++shared_->running;
    }
    try {
        std::thread(RunPass, shared_, std::move(job), std::move(settings)).detach();
        return true;
    } catch (const std::system_error&) {
        std::lock_guard lock(shared_->mutex);
        --shared_->running;
        return false;
    }
}

int RelayWorkers::Running() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

void RelayWorkers::RunPass(const std::shared_ptr<Shared>& shared, const RelayJob& job,
                           const RelayPassSettings& settings) {
    const std::optional<RelayOutcome> outcome = Button1Click(job, settings, shared->services);
    std::lock_guard lock(shared->mutex);
    // The receiver cannot go while the lock is held, so posting to it is safe; once
    // posted, the call is dropped if the receiver goes before it runs.
    if (outcome && shared->receiver != nullptr) {
        QMetaObject::invokeMethod(
            shared->receiver, [shared, result = *outcome] { shared->onOutcome(result); },
            Qt::QueuedConnection);
    }
    --shared->running;
    shared->idle.notify_all();
}

} // namespace lumenpost
