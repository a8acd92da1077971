#include "relay/queue_book.h"
#include "temp_queue.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

class QueueBookTest : public testing::Test {
protected:
    // A message made durable as the intake does it, with two recipients.
    Envelope Queue(const std::string& sender = "s@a.test",
                   std::vector<std::string> recipients = {"one@b.test", "two@c.test"}) {
        const std::string id = QueueFolder::NewId();
        std::string error;
        auto spool = folder_.CreateSpool(id, error);
        EXPECT_TRUE(spool) << error;
        spool->Append("Subject: t\r\n\r\nbody\r\n");
        Envelope envelope{id, 100, sender, false, false, {}};
        for (std::string& recipient : recipients) {
            envelope.recipients.push_back(QueuedRecipient::Pending(std::move(recipient)));
        }
        EXPECT_EQ(spool->Commit(envelope), std::nullopt);
        return envelope;
    }

    // The outcome for the job's recipient `which`.
    static RelayOutcome Outcome(const RelayJob& job, RelayResult result, std::int64_t next = 0,
                                std::size_t which = 0) {
        const RelayJob::Recipient& recipient = job.recipients.at(which);
        RelayOutcome outcome;
        outcome.id = job.id;
        outcome.recipientIndex = recipient.index;
        outcome.MailRecipient = recipient.MailRecipient;
        outcome.result = result;
        outcome.attempts = recipient.attempts + 1;
        outcome.nextAttempt = next;
        outcome.reason = result == RelayResult::relayed ? "" : "451 later";
        return outcome;
    }

    TempQueue queue_;
    const QueueFolder& folder_ = queue_.Folder();
};

TEST_F(QueueBookTest, RecipientsAreTakenOnceAndFollowTheirOutcomesOnDisk) {
    QueueBook book(folder_);
    const Envelope envelope = Queue();
    book.Add(envelope);
    std::vector<RelayJob> due = book.TakeDue(200);
    ASSERT_EQ(due.size(), 2u);
    EXPECT_EQ(due[0].dataPath, folder_.DataPath(envelope.id, QueuePlace::active));
    EXPECT_EQ(due[1].recipients.at(0).MailRecipient, "two@c.test");
    EXPECT_EQ(due[1].domain, "c.test");
    EXPECT_TRUE(book.TakeDue(200).empty()); // being tried
    EXPECT_EQ(book.Apply(Outcome(due[0], RelayResult::relayed)), std::nullopt);
    EXPECT_EQ(book.Apply(Outcome(due[1], RelayResult::deferred, 500)), std::nullopt);
    EXPECT_EQ(book.NextDue(), 500);
    EXPECT_TRUE(book.TakeDue(499).empty());
    const auto stored = folder_.Read(envelope.id, QueuePlace::active);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->recipients[0].state, RecipientState::delivered);
    EXPECT_EQ(stored->recipients[1].state, RecipientState::deferred);
    EXPECT_EQ(stored->recipients[1].lastReason, "451 later");
    // A restart resumes the deferred recipient, with its attempts counted.
    QueueBook restarted(folder_);
    EXPECT_TRUE(restarted.Load().empty());
    due = restarted.TakeDue(500);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].recipients.at(0).attempts, 1);
    // Delivered at last: the message leaves the queue.
    EXPECT_EQ(restarted.Apply(Outcome(due[0], RelayResult::relayed)), std::nullopt);
    EXPECT_FALSE(folder_.Read(envelope.id, QueuePlace::active));
    EXPECT_EQ(restarted.OpenRecipients(), 0u);
}

TEST_F(QueueBookTest, AFailedMessageWaitsInFailedUntilItIsSentAgainOrDeleted) {
    QueueBook book(folder_);
    const Envelope envelope = Queue();
    book.Add(envelope);
    const std::vector<RelayJob> due = book.TakeDue(200);
    book.Apply(Outcome(due[0], RelayResult::failed));
    book.Apply(Outcome(due[1], RelayResult::relayed));
    EXPECT_TRUE(folder_.Read(envelope.id, QueuePlace::failed));
    const QueueCommandReply listed = RunQueueCommand(book, "QUEUE");
    EXPECT_NE(listed.text.find(envelope.id + "  failed"), std::string::npos) << listed.text;
    EXPECT_EQ(listed.text.find("two@c.test"), std::string::npos) << "delivered: not listed";
    EXPECT_FALSE(RunQueueCommand(book, "RETRY nosuchid").ok);
    EXPECT_FALSE(RunQueueCommand(book, "RESEND").ok);
    EXPECT_TRUE(RunQueueCommand(book, "RESEND " + envelope.id).ok);
    // Only the failed recipient comes back, as if new.
    const std::vector<RelayJob> again = book.TakeDue(300);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].recipients.at(0).MailRecipient, "one@b.test");
    EXPECT_EQ(again[0].recipients.at(0).attempts, 0);
    EXPECT_TRUE(RunQueueCommand(book, "DELETE " + envelope.id).ok);
    EXPECT_FALSE(folder_.Read(envelope.id, QueuePlace::active));
    // The outcome of the attempt that was running meanwhile is dropped.
    EXPECT_EQ(book.Apply(Outcome(again[0], RelayResult::relayed)), std::nullopt);
    EXPECT_EQ(RunQueueCommand(book, "QUEUE").text, "the queue is empty\n");
}

TEST_F(QueueBookTest, RetryMakesDeferredRecipientsDueNowAlsoWithoutARunningRelay) {
    QueueBook book(folder_);
    const Envelope first = Queue();
    const Envelope second = Queue();
    book.Add(first);
    book.Add(second);
    for (const RelayJob& job : book.TakeDue(200)) {
        book.Apply(Outcome(job, RelayResult::deferred, 10000));
    }
    // A second invocation works on the files alone.
    QueueBook offline(folder_);
    offline.Load();
    EXPECT_EQ(RunQueueCommand(offline, "RETRY " + first.id).text,
              "2 deferred recipient(s) to be tried now\n");
    QueueBook restarted(folder_);
    restarted.Load();
    const std::vector<RelayJob> due = restarted.TakeDue(300);
    ASSERT_EQ(due.size(), 2u);
    EXPECT_EQ(due[0].id, first.id);
    EXPECT_EQ(RunQueueCommand(restarted, "RETRY").text,
              "2 deferred recipient(s) to be tried now\n");
    EXPECT_FALSE(RunQueueCommand(restarted, "FLUSH").ok);
}

TEST_F(QueueBookTest, RecipientsOfOneDomainTravelTogetherAndARoundEndsOnce) {
    QueueBook book(folder_);
    const Envelope envelope = Queue("s@a.test", {"x@B.test", "y@c.test", "z@b.test"});
    book.Add(envelope);
    const std::vector<RelayJob> due = book.TakeDue(200);
    ASSERT_EQ(due.size(), 2u);
    EXPECT_EQ(due[0].domain, "b.test");
    ASSERT_EQ(due[0].recipients.size(), 2u);
    EXPECT_EQ(due[0].recipients[1].index, 2u);
    // The round is open until every recipient taken has its outcome.
    RelayOutcome refused = Outcome(due[0], RelayResult::failed, 0, 0);
    refused.reason = "550 no such user";
    book.Apply(refused);
    EXPECT_FALSE(book.TakeFinishedRound(envelope.id));
    book.Apply(Outcome(due[1], RelayResult::relayed));
    book.Apply(Outcome(due[0], RelayResult::failed, 0, 1));
    const auto round = book.TakeFinishedRound(envelope.id);
    ASSERT_TRUE(round);
    ASSERT_EQ(round->failed.size(), 2u);
    EXPECT_EQ(round->failed[0].address, "x@B.test");
    EXPECT_EQ(round->failed[0].reason, "550 no such user");
    ASSERT_TRUE(round->envelope);
    EXPECT_EQ(round->dataPath, folder_.DataPath(envelope.id, QueuePlace::failed));
    EXPECT_FALSE(book.TakeFinishedRound(envelope.id)) << "one notice per round";
}

} // namespace
} // namespace lumenpost
