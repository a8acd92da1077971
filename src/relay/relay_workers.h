#pragma once

#include "relay/relay_pass.h"

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace lumenpost {

// Runs relay passes on a fixed set of worker threads and carries their outcomes to the
// thread that created this object (the UI thread), where `onOutcome` runs. At most
// Concurrency() passes run at once, and at most kPerDomain to one recipient domain (each pass
// delivers the recipients of one message at one domain, and its outcomes arrive one per recipient),
// so a silent exchanger cannot hold up the others; a pass waiting for a slot waits here, it is
// never dropped. A pass keeps its slot until `onOutcome` has run for its outcomes, so that
// no more than Concurrency() deliveries are ever done but not yet written to the queue (a
// crash repeats at most that many). Never more threads than Concurrency().
//
// Workers are detached and hold only the shared state, never this object, so it can go
// while passes still run. Its end stops the outcomes first (later ones are dropped), then
// waits at most `exitWait` for running passes: an exchanger that stalls cannot hold the
// program's exit. Their recipients are still pending in the queue on disk.
class RelayWorkers {
public:
    using OutcomeHandler = std::function<void(const RelayOutcome&)>;
    static constexpr std::chrono::milliseconds kExitWait{2000};
    static constexpr int kPerDomain = 2;

    RelayWorkers(RelayServices services, OutcomeHandler onOutcome,
                 std::chrono::milliseconds exitWait = kExitWait);
    ~RelayWorkers();
    RelayWorkers(const RelayWorkers&) = delete;
    RelayWorkers& operator=(const RelayWorkers&) = delete;

    // How many passes may run at once (clamped to 1..kMaxDeliveries).
    void SetConcurrency(int deliveries);
    int Concurrency() const;

    // Queues one pass. False when no worker thread could be started at all: then the
    // pass waits until one can.
    bool Start(RelayJob job, RelayPassSettings settings);

    // Passes running now, passes waiting for a slot, worker threads alive.
    int Running() const;
    int Waiting() const;
    int Threads() const;

private:
    struct Shared;
    static void WorkerLoop(const std::shared_ptr<Shared>& shared);
    bool AddWorkerIfNeeded();

    std::shared_ptr<Shared> shared_;
    // Outcomes are queued calls on this object; the calls still queued die with it.
    std::unique_ptr<QObject> receiver_;
    std::chrono::milliseconds exitWait_;
};

} // namespace lumenpost
