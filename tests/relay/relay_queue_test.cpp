#include "queue_harness.h"

#include <gtest/gtest.h>
#include <utility>

namespace lumenpost {
namespace {

class RelayQueueChangesTest : public testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&harness_.Queue(), &RelayQueue::changed,
                         [this](const QString& id) { announced_.push_back(id.toStdString()); });
    }

    std::vector<std::string> Announced() { return std::exchange(announced_, {}); }

    QueueHarness harness_;
    std::vector<std::string> announced_;
};

TEST_F(RelayQueueChangesTest, StartAnnouncesWhatTheFolderHoldsAndAddTheNewMessage) {
    const Envelope waiting = harness_.Commit("s@a.test", {"r@b.test"});
    EXPECT_TRUE(harness_.Queue().Start().empty());
    EXPECT_EQ(Announced(), std::vector<std::string>{waiting.id});
    const Envelope added = harness_.Add("s@a.test", {"r@b.test"});
    EXPECT_EQ(Announced(), std::vector<std::string>{added.id});
    ASSERT_TRUE(harness_.Book().Message(added.id));
    EXPECT_EQ(harness_.Book().Messages().size(), 2u);
}

TEST_F(RelayQueueChangesTest, AnOutcomeAnnouncesItsMessageAndTheNoticeItQueues) {
    const Envelope envelope = harness_.Add("s@a.test", {"r@b.test"});
    Announced();
    harness_.Queue().Apply(
        QueueHarness::Outcome(envelope, 0, RelayResult::failed, "550 no such user"));
    const std::vector<std::string> ids = Announced();
    ASSERT_EQ(ids.size(), 2u);
    const std::string notice = ids[0] == envelope.id ? ids[1] : ids[0];
    EXPECT_NE(notice, envelope.id);
    const auto failed = harness_.Book().Message(envelope.id);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->place, QueuePlace::failed);
    const auto queuedNotice = harness_.Book().Message(notice);
    ASSERT_TRUE(queuedNotice);
    EXPECT_EQ(queuedNotice->envelope.sender, "");
}

TEST_F(RelayQueueChangesTest, CommandsAnnounceOnlyTheMessagesTheyChange) {
    const Envelope first = harness_.Add("s@a.test", {"r@b.test"});
    const Envelope second = harness_.Add("s@a.test", {"r@c.test"});
    for (const Envelope* envelope : {&first, &second}) {
        harness_.Queue().Apply(
            QueueHarness::Outcome(*envelope, 0, RelayResult::deferred, "451 later", 5000));
    }
    Announced();
    EXPECT_TRUE(harness_.Queue().Command("QUEUE").ok);
    EXPECT_TRUE(Announced().empty());
    EXPECT_TRUE(harness_.Queue().Command("RETRY " + second.id).ok);
    EXPECT_EQ(Announced(), std::vector<std::string>{second.id});
    EXPECT_FALSE(harness_.Queue().Command("DELETE nosuchid").ok);
    EXPECT_TRUE(Announced().empty());
    EXPECT_TRUE(harness_.Queue().Command("DELETE " + first.id).ok);
    EXPECT_EQ(Announced(), std::vector<std::string>{first.id});
    EXPECT_FALSE(harness_.Book().Message(first.id));
}

TEST_F(RelayQueueChangesTest, AReloadAnnouncesMessagesThatLeftTheFolderMeanwhile) {
    const Envelope kept = harness_.Commit("s@a.test", {"r@b.test"});
    const Envelope removed = harness_.Commit("s@a.test", {"r@b.test"});
    harness_.Queue().Start();
    ASSERT_EQ(harness_.Folder().Remove(removed.id, QueuePlace::active), std::nullopt);
    Announced();
    harness_.Queue().Start();
    EXPECT_EQ(Announced(), (std::vector<std::string>{kept.id, removed.id}));
    EXPECT_FALSE(harness_.Book().Message(removed.id));
}

} // namespace
} // namespace lumenpost
