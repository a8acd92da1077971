#include "relay/relay_queue.h"

#include "delivery/mail_date.h"
#include "relay/failure_notice.h"

#include <algorithm>

namespace lumenpost {
namespace {

// The timer never sleeps longer than this, so a changed clock is noticed.
constexpr std::int64_t kLongestWaitSeconds = 3600;

} // namespace

RelayQueue::RelayQueue(QueueFolder folder, RelayWorkers& workers, SettingsProvider settings,
                       Clock now, std::string machineName)
    : book_(std::move(folder)), workers_(workers), settings_(std::move(settings)),
      now_(std::move(now)), machineName_(std::move(machineName)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &RelayQueue::StartDue);
}

std::vector<std::string> RelayQueue::Start() {
    if (auto error = book_.Folder().Prepare()) {
        return {*error};
    }
    std::vector<std::string> problems = book_.Load();
    book_.PurgeFailed(now_(), kFailedKeepSeconds);
    book_.Folder().PurgeCorrupt(now_(), kFailedKeepSeconds);
    StartDue();
    AnnounceChanges();
    return problems;
}

void RelayQueue::Add(Envelope envelope) {
    book_.Add(std::move(envelope));
    StartDue();
    AnnounceChanges();
}

std::optional<std::string> RelayQueue::Apply(const RelayOutcome& outcome) {
    auto error = book_.Apply(outcome);
    if (auto noticeError = NoticeIfDue(outcome.id)) {
        error = error ? *error + "; " + *noticeError : *noticeError;
    }
    StartDue();
    AnnounceChanges();
    return error;
}

// A notice goes out once per round, never for the null sender (a notice that fails causes
// no other), and only to a sender that looks like it can take one.
std::optional<std::string> RelayQueue::NoticeIfDue(const std::string& id) {
    const std::optional<FinishedRound> round = book_.TakeFinishedRound(id);
    if (!round || round->failed.empty() || !round->envelope) {
        return std::nullopt;
    }
    const RelayPassSettings settings = settings_();
    const std::string& sender = round->envelope->sender;
    if (!settings.autoback || sender.empty() || !SenderTakesNotice(sender)) {
        return std::nullopt;
    }
    return QueueNotice(*round, settings);
}

// The notice is queued like any accepted message, so it is retried like one.
std::optional<std::string> RelayQueue::QueueNotice(const FinishedRound& round,
                                                   const RelayPassSettings& settings) {
    NoticeContent content{*round.envelope,     round.failed, ReadHeaderLines(round.dataPath),
                          settings.postmaster, machineName_, QueueFolder::NewId(),
                          MailDateTimeNow()};
    const std::string text = FailureNoticeText(content);
    std::string error;
    std::unique_ptr<SpoolFile> spool = book_.Folder().CreateSpool(content.noticeId, error);
    if (!spool) {
        return "the failure notice for message " + round.envelope->id + " was not queued: " + error;
    }
    Envelope notice = NoticeEnvelope(content.noticeId, now_(), *round.envelope, text);
    spool->Append(text);
    if (auto commitError = spool->Commit(notice)) {
        return "the failure notice for message " + round.envelope->id +
               " was not queued: " + *commitError;
    }
    book_.Add(std::move(notice));
    return std::nullopt;
}

QueueCommandReply RelayQueue::Command(const std::string& request) {
    QueueCommandReply reply = RunQueueCommand(book_, request);
    StartDue();
    AnnounceChanges();
    return reply;
}

void RelayQueue::AnnounceChanges() {
    for (const std::string& id : book_.TakeChanges()) {
        emit changed(QString::fromStdString(id));
    }
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
