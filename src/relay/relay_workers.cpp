#include "relay/relay_workers.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumenpost {
namespace {

struct PendingPass {
    RelayJob job;
    RelayPassSettings settings;
    std::string domain;
};

} // namespace

struct RelayWorkers::Shared {
    RelayServices services;
    OutcomeHandler onOutcome;

    mutable std::mutex mutex;
    std::condition_variable work; // a pass was queued, a slot came free, or the end
    std::condition_variable idle; // a pass ended
    // All below guarded by mutex.
    std::deque<PendingPass> waiting;
    std::map<std::string, int> runningPerDomain;
    int running = 0;
    // Passes running or whose outcomes onOutcome has not handled yet: at most concurrency.
    int slotsTaken = 0;
    int threads = 0;
    int concurrency = kDefaultDeliveries;
    bool stopping = false;
    QObject* receiver = nullptr; // null once outcomes are no longer wanted

    // When a slot is free, the first waiting pass whose domain has one too, taken out of
    // the queue.
    std::optional<PendingPass> TakeRunnable() {
        if (slotsTaken >= concurrency) {
            return std::nullopt;
        }
        const auto found = std::find_if(waiting.begin(), waiting.end(), [this](const auto& p) {
            const auto running = runningPerDomain.find(p.domain);
            return running == runningPerDomain.end() || running->second < kPerDomain;
        });
        if (found == waiting.end()) {
            return std::nullopt;
        }
        PendingPass pass = std::move(*found);
        waiting.erase(found);
        return pass;
    }

    // Hands a pass's outcomes to the receiver's thread; its slot comes free once they
    // are handled there (or at once when nobody receives them). Called with the lock held.
    void Post(std::vector<RelayOutcome> outcomes, const std::shared_ptr<Shared>& self) {
        // The receiver cannot go while the lock is held, so posting to it is safe; once
        // posted, the call is dropped if the receiver goes before it runs.
        if (receiver == nullptr || outcomes.empty()) {
            FreeSlot();
            return;
        }
        QMetaObject::invokeMethod(
            receiver,
            [self, outcomes = std::move(outcomes)] {
                for (const RelayOutcome& outcome : outcomes) {
                    self->onOutcome(outcome);
                }
                const std::lock_guard lock(self->mutex);
                self->FreeSlot();
            },
            Qt::QueuedConnection);
    }

    void FreeSlot() {
        --slotsTaken;
        work.notify_all();
    }
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
    shared_->stopping = true;
    shared_->waiting.clear();
    shared_->work.notify_all();
    shared_->idle.wait_for(lock, exitWait_, [this] { return shared_->running == 0; });
}

void RelayWorkers::SetConcurrency(int deliveries) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->concurrency = std::clamp(deliveries, 1, kMaxDeliveries);
        shared_->work.notify_all(); // surplus workers end
    }
    while (AddWorkerIfNeeded()) {
    }
}

int RelayWorkers::Concurrency() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->concurrency;
}

bool RelayWorkers::Start(RelayJob job, RelayPassSettings settings) {
    {
        std::lock_guard lock(shared_->mutex);
        std::string domain = job.domain;
        shared_->waiting.push_back({std::move(job), std::move(settings), std::move(domain)});
        shared_->work.notify_one();
    }
    AddWorkerIfNeeded();
    std::lock_guard lock(shared_->mutex);
    return shared_->threads > 0;
}

// One more worker while there are fewer than the concurrency and more passes than idle
// workers could take. True when one was started.
bool RelayWorkers::AddWorkerIfNeeded() {
    std::lock_guard lock(shared_->mutex);
    const int idleWorkers = shared_->threads - shared_->running;
    if (shared_->threads >= shared_->concurrency ||
        static_cast<int>(shared_->waiting.size()) <= idleWorkers) {
        return false;
    }
    try {
        std::thread(WorkerLoop, shared_).detach();
    } catch (const std::system_error&) {
        return false; // the running workers take the pass later
    }
    ++shared_->threads;
    return true;
}

int RelayWorkers::Running() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

int RelayWorkers::Waiting() const {
    std::lock_guard lock(shared_->mutex);
    return static_cast<int>(shared_->waiting.size());
}

int RelayWorkers::Threads() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->threads;
}

void RelayWorkers::WorkerLoop(const std::shared_ptr<Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    while (true) {
        std::optional<PendingPass> pass;
        shared->work.wait(lock, [&] {
            return shared->stopping || shared->threads > shared->concurrency ||
                   (pass = shared->TakeRunnable()).has_value();
        });
        if (!pass) {
            break; // the end, or one worker too many
        }
        ++shared->running;
        ++shared->slotsTaken;
        ++shared->runningPerDomain[pass->domain];
        lock.unlock();
        std::vector<RelayOutcome> outcomes =
            Button1Click(pass->job, pass->settings, shared->services);
        lock.lock();
        shared->Post(std::move(outcomes), shared);
        --shared->running;
        if (--shared->runningPerDomain[pass->domain] == 0) {
            shared->runningPerDomain.erase(pass->domain);
        }
        shared->idle.notify_all();
        shared->work.notify_all(); // a domain slot came free
    }
    --shared->threads;
    shared->idle.notify_all();
}

} // namespace lumenpost
