#include "relay/relay_queue.h"

#include <algorithm>

namespace lumenpost {
namespace {

// The timer never sleeps longer than this, so a changed clock is noticed.
constexpr std::int64_t kLongestWaitSeconds = 3600;

} // namespace

RelayQueue::RelayQueue(QueueFolder folder, RelayWorkers& workers, SettingsProvider settings,
                       Clock now)
    : book_(std::move(folder)), workers_(workers), settings_(std::move(settings)),
      now_(std::move(now)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &RelayQueue::StartDue);
}

std::vector<std::string> RelayQueue::Start() {
    if (auto error = book_.Folder().Prepare()) {
        return {*error};
    }
    std::vector<std::string> problems = book_.Load();
    book_.PurgeFailed(now_(), kFailedKeepSeconds);
    StartDue();
    return problems;
}

void RelayQueue::Add(Envelope envelope) {
    book_.Add(std::move(envelope));
    StartDue();
}

std::optional<std::string> RelayQueue::Apply(const RelayOutcome& outcome) {
    auto error = book_.Apply(outcome);
    StartDue();
    return error;
}

QueueCommandReply RelayQueue::Command(const std::string& request) {
    QueueCommandReply reply = RunQueueCommand(book_, request);
    StartDue();
    return reply;
}

void RelayQueue::StartDue() {
    const std::int64_t now = now_();
    const std::vector<RelayJob> due = book_.TakeDue(now);
    if (!due.empty()) {
        const RelayPassSettings settings = settings_();
        for (const RelayJob& job : due) {
            workers_.Start(job, settings);
        }
    }
    timer_.stop();
    if (const auto next = book_.NextDue()) {
        const std::int64_t wait = std::clamp<std::int64_t>(*next - now, 0, kLongestWaitSeconds);
        timer_.start(static_cast<int>(wait * 1000));
    }
}

} // namespace lumenpost
