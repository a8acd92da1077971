#pragma once

#include "relay/relay_pass.h"

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace lumenpost {

// Runs relay passes, each on a worker thread of its own, and carries their outcomes to
// the thread that created this object (the UI thread), where `onOutcome` runs.
//
// Workers are detached and hold only the shared state below, never this object, so it
// can go while passes still run. Its end stops the outcomes first (later ones are
// dropped), then waits at most `exitWait` for running passes: a pass that is almost done
// may finish its delivery, but an exchanger that stalls (replies may take two minutes)
// cannot hold the program's exit. A pass still running then is cut off with the process.
class RelayWorkers {
public:
    using OutcomeHandler = std::function<void(const RelayOutcome&)>;
    static constexpr std::chrono::milliseconds kExitWait{2000};

    RelayWorkers(RelayServices services, OutcomeHandler onOutcome,
                 std::chrono::milliseconds exitWait = kExitWait);
    ~RelayWorkers();
    RelayWorkers(const RelayWorkers&) = delete;
    RelayWorkers& operator=(const RelayWorkers&) = delete;

    // Starts one pass. False when no thread could be started: then no pass runs.
    bool Start(RelayJob job, RelayPassSettings settings);

    // Passes started and not yet ended.
    int Running() const;

private:
    struct Shared;
    static void RunPass(const std::shared_ptr<Shared>& shared, const RelayJob& job,
                        const RelayPassSettings& settings);

    std::shared_ptr<Shared> shared_;
    // Outcomes are queued calls on this object; the calls still queued die with it.
    std::unique_ptr<QObject> receiver_;
    std::chrono::milliseconds exitWait_;
};

} // namespace lumenpost
