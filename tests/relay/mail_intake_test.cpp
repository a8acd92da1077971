#include "event_loop_wait.h"
#include "relay/mail_intake.h"
#include "relay/relay_core.h"
#include "temp_queue.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace lumenpost {
namespace {

// Distinct session keys; the intake never looks behind them.
const int kSessionA = 0;
const int kSessionB = 1;
const void* const A = &kSessionA;
const void* const B = &kSessionB;

// Data as the server hands it on: dots already undone, the end line still there.
const std::string kData = "Subject: t\r\n\r\n.\r\n.dot\r\nlf\ncr\rcrlf\r\n.\r\n";
const std::string kText = "Subject: t\r\n\r\n.\r\n.dot\r\nlf\r\ncr\r\ncrlf\r\n";

// The end of data and its answer, which never comes from inside EndData.
IntakeResult EndAndWait(MailIntake& intake, const void* session, bool oversized) {
    std::optional<IntakeResult> answer;
    intake.EndData(session, oversized, [&answer](IntakeResult result) { answer = result; });
    EXPECT_FALSE(answer.has_value());
    EXPECT_TRUE(ProcessEventsUntil([&] { return answer.has_value(); }));
    return answer.value_or(IntakeResult{});
}

class MailIntakeTest : public testing::Test {
protected:
    MailIntakeTest()
        : root_(queue_.Root()), folder_(queue_.Folder()),
          intake_(folder_, "relay.host", [] { return 1000; }) {}

    void Begin(const void* session, const std::string& sender,
               std::initializer_list<std::string> recipients) {
        intake_.Hello(session, "client.test");
        intake_.MailFrom(session, sender);
        for (const std::string& recipient : recipients) {
            intake_.MailTo(session, recipient);
        }
    }

    // The rest of the data, the end of data, and the queued envelope.
    Envelope Complete(const void* session, const std::string& data = kData) {
        intake_.SendData(session, true, data);
        IntakeResult result = EndAndWait(intake_, session, false);
        EXPECT_TRUE(result.queued.has_value()) << result.error;
        return result.queued.value_or(Envelope{});
    }

    // The queued text after our Received line.
    std::string Body(const Envelope& envelope) const {
        std::ifstream file(folder_.DataPath(envelope.id, QueuePlace::active), std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        const std::string all = text.str();
        // The Received line is folded: its continuation lines begin with a tab.
        std::size_t start = 0;
        do {
            const std::size_t end = all.find("\r\n", start);
            if (end == std::string::npos) {
                return {};
            }
            start = end + 2;
        } while (start < all.size() && all[start] == '\t');
        return all.substr(start);
    }

    std::vector<std::string> Recipients(const Envelope& envelope) const {
        std::vector<std::string> addresses;
        for (const QueuedRecipient& recipient : envelope.recipients) {
            addresses.push_back(recipient.address);
        }
        return addresses;
    }

    std::size_t FilesInQueue() const {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(root_)) {
            count += entry.is_regular_file() ? 1 : 0;
        }
        return count;
    }

    TempQueue queue_;
    const std::filesystem::path& root_;
    const QueueFolder& folder_;
    MailIntake intake_;
};

using Addresses = std::vector<std::string>;

TEST_F(MailIntakeTest, EveryCutOfTheDataQueuesTheSameTextAfterOurReceivedLine) {
    for (std::size_t cut = 0; cut <= kData.size(); ++cut) {
        Begin(A, "from@a.test", {"one@b.test", "two@c.test"});
        intake_.StartData(A, "127.0.0.9");
        intake_.SendData(A, false, kData.substr(0, cut));
        const Envelope envelope = Complete(A, kData.substr(cut));
        EXPECT_EQ(Body(envelope), kText) << "cut at " << cut;
        EXPECT_EQ(envelope.sender, "from@a.test");
        EXPECT_EQ(envelope.arrival, 1000);
        EXPECT_EQ(Recipients(envelope), (Addresses{"one@b.test", "two@c.test"}));
        EXPECT_EQ(folder_.Read(envelope.id, QueuePlace::active), envelope);
    }
}

TEST_F(MailIntakeTest, TheReceivedLineNamesClientAndMachineAndCannotBeBroken) {
    EXPECT_EQ(MailIntake::ReceivedLine("client.test", "127.0.0.9", "relay.host", "abc",
                                       "Tue, 8 Dec 2026 12:00:00 +0000"),
              "Received: from client.test ([127.0.0.9])\r\n\tby relay.host with SMTP id abc;"
              "\r\n\tTue, 8 Dec 2026 12:00:00 +0000\r\n");
    intake_.Hello(A, "evil\r\nBcc: x@y.test");
    intake_.MailFrom(A, "s@a.test");
    intake_.MailTo(A, "r@b.test");
    intake_.StartData(A, "127.0.0.9");
    const Envelope envelope = Complete(A, "x\r\n.\r\n");
    std::ifstream file(folder_.DataPath(envelope.id, QueuePlace::active), std::ios::binary);
    std::string first;
    std::getline(file, first);
    EXPECT_EQ(first, "Received: from evilBcc: x@y.test ([127.0.0.9])\r");
}

TEST_F(MailIntakeTest, InterleavedSessionsKeepTheirMessagesApart) {
    Begin(A, "a@a.test", {"ra@x.test"});
    Begin(B, "b@b.test", {"rb@y.test"});
    intake_.StartData(A, "127.0.0.1");
    intake_.StartData(B, "127.0.0.2");
    intake_.SendData(A, false, "from a, par");
    intake_.SendData(B, false, "from b\r\n");
    intake_.SendData(A, false, "t one\r");
    const Envelope b = Complete(B, ".\r\n");
    const Envelope a = Complete(A, "\n.\r\n");
    EXPECT_NE(a.id, b.id);
    EXPECT_EQ(a.sender, "a@a.test");
    EXPECT_EQ(Recipients(a), Addresses{"ra@x.test"});
    EXPECT_EQ(Body(a), "from a, part one\r\n");
    EXPECT_EQ(b.sender, "b@b.test");
    EXPECT_EQ(Body(b), "from b\r\n");
    intake_.SessionEnded(A);
    intake_.SessionEnded(B);
    EXPECT_EQ(intake_.SessionCount(), 0u);
}

TEST_F(MailIntakeTest, RecipientsGatherPerTransaction) {
    Begin(A, "s@a.test", {"old@x.test"});
    intake_.StartData(A, "127.0.0.1");
    EXPECT_EQ(Recipients(Complete(A)), Addresses{"old@x.test"});
    // Another DATA without RCPT goes to the same recipients, as the server keeps them.
    intake_.StartData(A, "127.0.0.1");
    EXPECT_EQ(Recipients(Complete(A)), Addresses{"old@x.test"});
    // The first RCPT after a completed message starts a new list.
    intake_.MailTo(A, "new1@x.test");
    intake_.MailTo(A, "new2@x.test");
    intake_.StartData(A, "127.0.0.1");
    EXPECT_EQ(Recipients(Complete(A)), (Addresses{"new1@x.test", "new2@x.test"}));
    // MAIL FROM starts a new transaction, RSET withdraws the recipients named so far.
    intake_.MailFrom(A, "s2@a.test");
    intake_.MailTo(A, "withdrawn@x.test");
    intake_.Reset(A);
    intake_.MailTo(A, "kept@x.test");
    intake_.StartData(A, "127.0.0.1");
    const Envelope envelope = Complete(A);
    EXPECT_EQ(Recipients(envelope), Addresses{"kept@x.test"});
    EXPECT_EQ(envelope.sender, "s2@a.test");
}

TEST_F(MailIntakeTest, WhatIsNotCompleteLeavesNothingOnDisk) {
    // A session that ends in the data.
    Begin(A, "s@a.test", {"r@x.test"});
    intake_.StartData(A, "127.0.0.1");
    intake_.SendData(A, false, "half a li");
    intake_.SessionEnded(A);
    EXPECT_EQ(FilesInQueue(), 0u);
    // An oversized message: nothing queued, no error to report.
    Begin(A, "s@a.test", {"r@x.test"});
    intake_.StartData(A, "127.0.0.1");
    intake_.SendData(A, false, "too much");
    const IntakeResult oversized = EndAndWait(intake_, A, true);
    EXPECT_FALSE(oversized.queued.has_value());
    EXPECT_EQ(oversized.error, "");
    EXPECT_EQ(FilesInQueue(), 0u);
    // The next message on the same key starts clean.
    Begin(A, "t@a.test", {"q@x.test"});
    intake_.StartData(A, "127.0.0.1");
    const Envelope envelope = Complete(A, "whole\r\n.\r\n");
    EXPECT_EQ(Body(envelope), "whole\r\n");
    EXPECT_EQ(FilesInQueue(), 2u); // data and envelope
}

TEST_F(MailIntakeTest, AMessageWithMoreThanThirtyHopsIsRefusedAndLeavesNothing) {
    std::string thirty;
    for (int i = 0; i < 30; ++i) {
        thirty += "Received: from hop" + std::to_string(i) + "\r\n";
    }
    Begin(A, "s@a.test", {"r@x.test"});
    intake_.StartData(A, "127.0.0.1");
    intake_.SendData(A, true, "Received: one more\r\n" + thirty + "\r\nbody\r\n.\r\n");
    const IntakeResult looping = EndAndWait(intake_, A, false);
    EXPECT_TRUE(looping.looping);
    EXPECT_FALSE(looping.queued.has_value());
    EXPECT_EQ(FilesInQueue(), 0u);
    // Thirty, and our own line on top, still go through.
    Begin(A, "s@a.test", {"r@x.test"});
    intake_.StartData(A, "127.0.0.1");
    const Envelope envelope = Complete(A, thirty + "\r\nbody\r\n.\r\n");
    EXPECT_EQ(Body(envelope), thirty + "\r\nbody\r\n");
}

TEST_F(MailIntakeTest, AQueueThatCannotBeWrittenIsAnErrorNotAMessage) {
    MailIntake broken(QueueFolder("/proc/no-queue-here"), "relay.host", [] { return 1; });
    broken.MailFrom(A, "s@a.test");
    broken.MailTo(A, "r@x.test");
    broken.StartData(A, "127.0.0.1");
    broken.SendData(A, true, "x\r\n.\r\n");
    const IntakeResult result = EndAndWait(broken, A, false);
    EXPECT_FALSE(result.queued.has_value());
    EXPECT_NE(result.error, "");
}

void FillLogs(RelayCore& core, int relayed, int failed) {
    for (int i = 0; i < relayed; ++i) {
        core.AddRelayed("r");
    }
    for (int i = 0; i < failed; ++i) {
        core.AddFailed("f");
    }
}

TEST(MailIntakeLogs, ALogOfMoreThan2000LinesIsEmptiedOnItsOwn) {
    RelayCore core;
    FillLogs(core, 2000, 2001);
    ShowReceiving(core);
    EXPECT_EQ(core.Status(), "正在接收并转发邮件...");
    EXPECT_EQ(core.okrelay().size(), 2000);
    EXPECT_TRUE(core.badrelay().isEmpty());
    FillLogs(core, 1, 0);
    ShowReceiving(core);
    EXPECT_TRUE(core.okrelay().isEmpty());
    // The counters keep running after the logs were emptied.
    EXPECT_EQ(core.AddRelayed("next"), "2002:next");
    EXPECT_EQ(core.AddFailed("next"), "2002:next");
}

} // namespace
} // namespace lumenpost
