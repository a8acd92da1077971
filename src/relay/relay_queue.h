#pragma once

#include "relay/queue_book.h"
#include "relay/relay_workers.h"

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

namespace lumenpost {

// Drives delivery from the queue on the UI thread: every due recipient goes to the
// workers with the settings of the moment, a timer wakes up for the next deferred one,
// and each outcome is written to the queue before anything else happens with it. Every
// change of the book is announced, so that a view follows it without reading the folder.
class RelayQueue : public QObject {
    Q_OBJECT

public:
    using SettingsProvider = std::function<RelayPassSettings()>;
    using Clock = std::function<std::int64_t()>; // Unix seconds

    // Failed messages stay this long in the failed place, so that they can be sent again;
    // files set aside as damaged stay as long for a person to look at.
    static constexpr std::int64_t kFailedKeepSeconds = 7 * 24 * 3600;

    RelayQueue(QueueFolder folder, RelayWorkers& workers, SettingsProvider settings, Clock now,
               std::string machineName);

    // Prepares and reads the folder, drops old failed messages and starts what is due.
    // Returns what went wrong or was cleaned up, one line each.
    std::vector<std::string> Start();

    // A message the intake made durable.
    void Add(Envelope envelope);
    // An outcome of a pass, on the UI thread. When it ends a message's delivery round with
    // failed recipients, one notice listing them is queued for the sender (as the settings
    // ask). Returns what went wrong on disk.
    std::optional<std::string> Apply(const RelayOutcome& outcome);
    // A queue command from the channel.
    QueueCommandReply Command(const std::string& request);

    const QueueBook& Book() const { return book_; }

signals:
    // The message with this id was added, changed or left the queue (Book() tells which).
    // Emitted after the change is on disk, once per message and call.
    void changed(const QString& id);

private:
    void AnnounceChanges();
    void StartDue();
    std::optional<std::string> NoticeIfDue(const std::string& id);
    std::optional<std::string> QueueNotice(const FinishedRound& round,
                                           const RelayPassSettings& settings);

    QueueBook book_;
    RelayWorkers& workers_;
    SettingsProvider settings_;
    Clock now_;
    std::string machineName_;
    QTimer timer_;
};

} // namespace lumenpost
