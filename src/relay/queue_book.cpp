#include "relay/queue_book.h"

#include <algorithm>

namespace lumenpost {
namespace {

bool IsOpen(const QueuedRecipient& recipient) {
    return recipient.state == RecipientState::pending ||
           recipient.state == RecipientState::deferred;
}

bool AnyOpen(const Envelope& envelope) {
    return std::any_of(envelope.recipients.begin(), envelope.recipients.end(), IsOpen);
}

bool AnyFailed(const Envelope& envelope) {
    return std::any_of(envelope.recipients.begin(), envelope.recipients.end(),
                       [](const QueuedRecipient& r) { return r.state == RecipientState::failed; });
}

std::string LocalDateTime(std::int64_t unixSeconds) {
    return LocalTimeText(unixSeconds, "%Y-%m-%d %H:%M:%S");
}

std::string ListLine(const Envelope& envelope, const QueuedRecipient& recipient) {
    std::string line = envelope.id + "  " + std::string(StateName(recipient.state)) + "  " +
                       LocalDateTime(envelope.arrival) + "  attempts " +
                       std::to_string(recipient.attempts);
    if (recipient.state == RecipientState::deferred) {
        line += "  next " + LocalDateTime(recipient.nextAttempt);
    }
    line += "  <" + envelope.sender + "> -> <" + recipient.address + ">";
    if (!recipient.lastReason.empty()) {
        line += "  " + recipient.lastReason;
    }
    if (!recipient.lastTls.empty()) {
        line += "  (" + recipient.lastTls + ")";
    }
    return line;
}

RecipientState StateOf(RelayResult result) {
    switch (result) {
    case RelayResult::relayed:
        return RecipientState::delivered;
    case RelayResult::failed:
        return RecipientState::failed;
    case RelayResult::deferred:
        break;
    }
    return RecipientState::deferred;
}

} // namespace

std::vector<std::string> QueueBook::Load() {
    QueueFolder::Contents contents = folder_.Load();
    MarkAllChanged(); // what was held before may be gone now
    entries_.clear();
    inFlight_.clear();
    rounds_.clear();
    for (Envelope& envelope : contents.active) {
        std::string id = envelope.id;
        entries_[id] = Entry{std::move(envelope), QueuePlace::active};
    }
    for (Envelope& envelope : contents.failed) {
        std::string id = envelope.id;
        entries_[id] = Entry{std::move(envelope), QueuePlace::failed};
    }
    MarkAllChanged();
    return std::move(contents.problems);
}

void QueueBook::Add(Envelope envelope) {
    std::string id = envelope.id;
    changes_.insert(id);
    entries_[id] = Entry{std::move(envelope), QueuePlace::active};
}

// Due recipients of one message that share a domain go together: one connection, one
// transaction. The recipients taken from a message now are its delivery round.
std::vector<RelayJob> QueueBook::TakeDue(std::int64_t now) {
    std::vector<RelayJob> due;
    for (const auto& [id, entry] : entries_) {
        if (entry.place != QueuePlace::active) {
            continue;
        }
        std::map<std::string, RelayJob> byDomain;
        const auto& recipients = entry.envelope.recipients;
        for (std::size_t i = 0; i < recipients.size(); ++i) {
            const bool ready = recipients[i].state == RecipientState::pending ||
                               (recipients[i].state == RecipientState::deferred &&
                                recipients[i].nextAttempt <= now);
            if (ready && inFlight_.insert({id, i}).second) {
                AddToJob(byDomain, entry, i);
            }
        }
        for (auto& [domain, job] : byDomain) {
            rounds_[id].open += job.recipients.size();
            due.push_back(std::move(job));
        }
    }
    return due;
}

void QueueBook::AddToJob(std::map<std::string, RelayJob>& byDomain, const Entry& entry,
                         std::size_t index) const {
    const Envelope& envelope = entry.envelope;
    const QueuedRecipient& recipient = envelope.recipients[index];
    std::string domain = MailDomainOf(recipient.address);
    RelayJob& job = byDomain[domain];
    if (job.recipients.empty()) {
        job.id = envelope.id;
        job.MailSender = envelope.sender;
        job.domain = std::move(domain);
        job.dataPath = folder_.DataPath(envelope.id, QueuePlace::active);
        job.arrival = envelope.arrival;
        job.traits = {envelope.smtputf8, envelope.eightBit};
    }
    job.recipients.push_back({index, recipient.address, recipient.attempts});
}

std::optional<std::int64_t> QueueBook::NextDue() const {
    std::optional<std::int64_t> next;
    for (const auto& [id, entry] : entries_) {
        if (entry.place != QueuePlace::active) {
            continue;
        }
        const auto& recipients = entry.envelope.recipients;
        for (std::size_t i = 0; i < recipients.size(); ++i) {
            if (recipients[i].state == RecipientState::deferred && !inFlight_.contains({id, i})) {
                next =
                    std::min(next.value_or(recipients[i].nextAttempt), recipients[i].nextAttempt);
            }
        }
    }
    return next;
}

std::optional<std::string> QueueBook::Apply(const RelayOutcome& outcome) {
    inFlight_.erase({outcome.id, outcome.recipientIndex});
    CountInRound(outcome);
    Entry* entry = Find(outcome.id);
    if (entry == nullptr || entry->place != QueuePlace::active ||
        outcome.recipientIndex >= entry->envelope.recipients.size()) {
        return std::nullopt; // deleted while it was tried
    }
    QueuedRecipient& recipient = entry->envelope.recipients[outcome.recipientIndex];
    recipient.state = StateOf(outcome.result);
    recipient.attempts = outcome.attempts;
    recipient.nextAttempt = outcome.result == RelayResult::deferred ? outcome.nextAttempt : 0;
    recipient.lastReason = outcome.reason;
    recipient.lastTls = outcome.tls;
    return Store(*entry);
}

void QueueBook::CountInRound(const RelayOutcome& outcome) {
    const auto round = rounds_.find(outcome.id);
    if (round == rounds_.end()) {
        return;
    }
    if (outcome.result == RelayResult::failed) {
        round->second.failed.push_back({outcome.MailRecipient, outcome.reason, outcome.exchanger});
    }
    if (round->second.open > 0) {
        --round->second.open;
    }
}

std::optional<FinishedRound> QueueBook::TakeFinishedRound(const std::string& id) {
    const auto round = rounds_.find(id);
    if (round == rounds_.end() || round->second.open > 0) {
        return std::nullopt;
    }
    FinishedRound finished{std::move(round->second.failed), std::nullopt, {}};
    rounds_.erase(round);
    if (const Entry* entry = Find(id)) {
        finished.envelope = entry->envelope;
        finished.dataPath = folder_.DataPath(id, entry->place);
    }
    return finished;
}

std::optional<std::string> QueueBook::Store(Entry& entry) {
    const std::string id = entry.envelope.id;
    changes_.insert(id);
    if (AnyOpen(entry.envelope)) {
        return folder_.Update(entry.envelope, entry.place);
    }
    std::optional<std::string> error;
    if (AnyFailed(entry.envelope)) {
        error = folder_.Move(entry.envelope, entry.place, QueuePlace::failed);
        entry.place = QueuePlace::failed;
    } else {
        error = folder_.Remove(id, entry.place);
        entries_.erase(id);
    }
    return error;
}

QueueBook::Entry* QueueBook::Find(const std::string& id) {
    const auto found = entries_.find(id);
    return found == entries_.end() ? nullptr : &found->second;
}

QueueCommandReply QueueBook::Unknown(const std::string& id) const {
    return {false, "no message with id " + id + " in the queue (lumenpost --queue lists them)"};
}

QueueCommandReply QueueBook::List() const {
    std::string text;
    for (const auto& [id, entry] : entries_) {
        for (const QueuedRecipient& recipient : entry.envelope.recipients) {
            if (recipient.state != RecipientState::delivered) {
                text += ListLine(entry.envelope, recipient) + "\n";
            }
        }
    }
    return {true, text.empty() ? "the queue is empty\n" : text};
}

QueueCommandReply QueueBook::Retry(const std::string& id) {
    if (!id.empty() && Find(id) == nullptr) {
        return Unknown(id);
    }
    int count = 0;
    for (auto& [entryId, entry] : entries_) {
        if ((!id.empty() && entryId != id) || entry.place != QueuePlace::active) {
            continue;
        }
        bool changed = false;
        auto& recipients = entry.envelope.recipients;
        for (std::size_t i = 0; i < recipients.size(); ++i) {
            QueuedRecipient& recipient = recipients[i];
            if (recipient.state == RecipientState::deferred && !inFlight_.contains({entryId, i})) {
                recipient.nextAttempt = 0;
                changed = true;
                ++count;
            }
        }
        if (changed) {
            if (auto error = Store(entry)) {
                return {false, *error};
            }
        }
    }
    return {true, std::to_string(count) + " deferred recipient(s) to be tried now\n"};
}

QueueCommandReply QueueBook::Resend(const std::string& id) {
    Entry* entry = Find(id);
    if (entry == nullptr) {
        return Unknown(id);
    }
    if (entry->place != QueuePlace::failed) {
        return {false, "message " + id + " has not failed; --retry tries its deferred recipients"};
    }
    int count = 0;
    for (QueuedRecipient& recipient : entry->envelope.recipients) {
        if (recipient.state == RecipientState::failed) {
            recipient = QueuedRecipient::Pending(recipient.address);
            ++count;
        }
    }
    changes_.insert(id);
    if (auto error = folder_.Move(entry->envelope, QueuePlace::failed, QueuePlace::active)) {
        return {false, *error};
    }
    entry->place = QueuePlace::active;
    return {true, std::to_string(count) + " recipient(s) of " + id + " queued again\n"};
}

QueueCommandReply QueueBook::Delete(const std::string& id) {
    Entry* entry = Find(id);
    if (entry == nullptr) {
        return Unknown(id);
    }
    if (auto error = folder_.Remove(id, entry->place)) {
        return {false, *error};
    }
    changes_.insert(id);
    entries_.erase(id);
    return {true, "message " + id + " deleted\n"};
}

int QueueBook::PurgeFailed(std::int64_t now, std::int64_t maxAge) {
    const int purged = folder_.PurgeFailed(now, maxAge);
    std::erase_if(entries_, [this](const auto& item) {
        const bool gone = item.second.place == QueuePlace::failed &&
                          !folder_.Read(item.first, QueuePlace::failed).has_value();
        if (gone) {
            changes_.insert(item.first);
        }
        return gone;
    });
    return purged;
}

QueueCommandReply RunQueueCommand(QueueBook& book, const std::string& request) {
    const std::size_t blank = request.find(' ');
    const std::string verb = request.substr(0, blank);
    const std::string id = blank == std::string::npos ? std::string() : request.substr(blank + 1);
    if (verb == kQueueList) {
        return book.List();
    }
    if (verb == kQueueRetry) {
        return book.Retry(id);
    }
    if (id.empty()) {
        return {false, "the command " + verb + " needs a queue id"};
    }
    if (verb == kQueueResend) {
        return book.Resend(id);
    }
    if (verb == kQueueDelete) {
        return book.Delete(id);
    }
    return {false, "unknown queue command: " + verb};
}

std::size_t QueueBook::OpenRecipients() const {
    std::size_t open = 0;
    for (const auto& [id, entry] : entries_) {
        open += static_cast<std::size_t>(std::count_if(entry.envelope.recipients.begin(),
                                                       entry.envelope.recipients.end(), IsOpen));
    }
    return open;
}

std::vector<QueuedMessage> QueueBook::Messages() const {
    std::vector<QueuedMessage> messages;
    messages.reserve(entries_.size());
    for (const auto& [id, entry] : entries_) {
        messages.push_back(entry);
    }
    return messages;
}

std::optional<QueuedMessage> QueueBook::Message(const std::string& id) const {
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<std::string> QueueBook::TakeChanges() {
    std::vector<std::string> ids(changes_.begin(), changes_.end());
    changes_.clear();
    return ids;
}

void QueueBook::MarkAllChanged() {
    for (const auto& [id, entry] : entries_) {
        changes_.insert(id);
    }
}

} // namespace lumenpost
