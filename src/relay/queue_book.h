#pragma once

#include "queue/envelope.h"
#include "queue/queue_folder.h"
#include "relay/relay_pass.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lumenpost {

// A recipient that failed for good in a delivery round, for the notice to the sender.
struct FailedRecipient {
    std::string address;
    std::string reason;
    std::string exchanger; // empty when none answered
};

// A message's delivery round whose every recipient has its outcome.
struct FinishedRound {
    std::vector<FailedRecipient> failed; // in the order their outcomes came
    std::optional<Envelope> envelope;    // nothing when the message left the queue meanwhile
    std::string dataPath;                // where its text is now
};

// A message as the queue holds it, and where its files are.
struct QueuedMessage {
    Envelope envelope;
    QueuePlace place = QueuePlace::active;
};

// The answer to a queue command: whether it did what was asked, and the text to show.
struct QueueCommandReply {
    bool ok = false;
    std::string text;
};

// The relay's view of the queue: every message on disk with its recipients' states, which
// recipients are being tried right now, and the queue commands. Every change is written
// to the envelope before it counts. Used on one thread; also by a second invocation of
// the program that acts on the folder while no relay runs.
class QueueBook {
public:
    explicit QueueBook(QueueFolder folder) : folder_(std::move(folder)) {}

    const QueueFolder& Folder() const { return folder_; }

    // Reads the folder (after removing what a crash left half-written). Returns what was
    // cleaned up or could not be read, one line each.
    std::vector<std::string> Load();

    // A message just made durable by the intake: its recipients are due at once.
    void Add(Envelope envelope);

    // Pending recipients and deferred ones whose time has come, in arrival order, one job
    // per message and recipient domain; they count as being tried until their outcome is
    // applied. The recipients of a message taken at once are its delivery round.
    std::vector<RelayJob> TakeDue(std::int64_t now);
    // The earliest next attempt of a deferred recipient not being tried; nothing if none.
    std::optional<std::int64_t> NextDue() const;

    // Records an attempt's outcome. A message with every recipient delivered is removed;
    // one whose recipients are all done with any failed moves to the failed place.
    // Returns what went wrong on disk, if anything.
    std::optional<std::string> Apply(const RelayOutcome& outcome);
    // After the outcome that ended a message's round: the round, once (nothing while
    // outcomes of the round are still to come).
    std::optional<FinishedRound> TakeFinishedRound(const std::string& id);

    // "--queue": one line per queued or failed recipient.
    QueueCommandReply List() const;
    // "--retry [ID]": deferred recipients (of one message, or all) are due now.
    QueueCommandReply Retry(const std::string& id);
    // "--resend ID": a failed message's failed recipients are queued again.
    QueueCommandReply Resend(const std::string& id);
    // "--delete ID": the message leaves the queue.
    QueueCommandReply Delete(const std::string& id);
    // Failed messages older than `maxAge` seconds go. Returns how many.
    int PurgeFailed(std::int64_t now, std::int64_t maxAge);

    // Recipients not yet delivered or failed, and recipients being tried.
    std::size_t OpenRecipients() const;
    std::size_t InFlight() const { return inFlight_.size(); }

    // Every message held, in id (arrival) order.
    std::vector<QueuedMessage> Messages() const;
    // One message; nothing when the queue does not hold it.
    std::optional<QueuedMessage> Message(const std::string& id) const;
    // The ids of the messages added, changed or removed since the last call, each once.
    std::vector<std::string> TakeChanges();

private:
    using Entry = QueuedMessage;
    using Key = std::pair<std::string, std::size_t>; // id, recipient index

    Entry* Find(const std::string& id);
    QueueCommandReply Unknown(const std::string& id) const;
    // Writes a changed envelope; a finished message is removed or moved to failed/.
    std::optional<std::string> Store(Entry& entry);
    void AddToJob(std::map<std::string, RelayJob>& byDomain, const Entry& entry,
                  std::size_t index) const;
    void CountInRound(const RelayOutcome& outcome);
    void MarkAllChanged();

    struct Round {
        std::size_t open = 0; // recipients taken whose outcome has not come
        std::vector<FailedRecipient> failed;
    };

    QueueFolder folder_;
    // By id; ids grow with time, so this is arrival order for messages of one relay.
    std::map<std::string, Entry> entries_;
    std::set<Key> inFlight_;
    std::map<std::string, Round> rounds_; // by id, while a round is open
    std::set<std::string> changes_;       // ids touched since TakeChanges
};

// The queue commands as a running relay takes them over its channel: "QUEUE",
// "RETRY [ID]", "RESEND ID", "DELETE ID".
inline constexpr const char* kQueueList = "QUEUE";
inline constexpr const char* kQueueRetry = "RETRY";
inline constexpr const char* kQueueResend = "RESEND";
inline constexpr const char* kQueueDelete = "DELETE";
QueueCommandReply RunQueueCommand(QueueBook& book, const std::string& request);

} // namespace lumenpost
