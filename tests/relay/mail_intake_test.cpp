#include "relay/mail_intake.h"
#include "relay/relay_core.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

// Distinct session keys; the intake never looks behind them.
const int kSessionA = 0;
const int kSessionB = 1;
const void* const A = &kSessionA;
const void* const B = &kSessionB;

// Data as the server hands it on: dots already undone, the end line still there.
const std::string kData = "Subject: t\r\n\r\n.\r\n.dot\r\nlf\ncr\rcrlf\r\n.\r\n";
const MailLineList kLines = {"Subject: t", "", ".", ".dot", "lf", "cr", "crlf"};

std::vector<RelayJob> Complete(MailIntake& intake, const void* session,
                               const std::string& data = kData) {
    return intake.SendData(session, true, data);
}

TEST(MailIntakeTest, EveryCutOfTheDataGivesTheSameLinesForEveryRecipient) {
    for (std::size_t cut = 0; cut <= kData.size(); ++cut) {
        MailIntake intake;
        intake.MailFrom(A, "from@a.test");
        intake.MailTo(A, "one@b.test");
        intake.MailTo(A, "two@c.test");
        EXPECT_TRUE(intake.SendData(A, false, kData.substr(0, cut)).empty());
        const std::vector<RelayJob> jobs = Complete(intake, A, kData.substr(cut));
        ASSERT_EQ(jobs.size(), 2u) << cut;
        EXPECT_EQ(jobs[0].MailLines, kLines) << "cut at " << cut;
        EXPECT_EQ(jobs[1].MailLines, kLines) << "cut at " << cut;
        EXPECT_EQ(jobs[0].MailRecipient, "one@b.test");
        EXPECT_EQ(jobs[1].MailRecipient, "two@c.test");
        EXPECT_EQ(jobs[1].MailSender, "from@a.test");
    }
}

TEST(MailIntakeTest, InterleavedSessionsKeepTheirMessagesApart) {
    MailIntake intake;
    intake.MailFrom(A, "a@a.test");
    intake.MailFrom(B, "b@b.test");
    intake.MailTo(A, "ra@x.test");
    intake.MailTo(B, "rb@y.test");
    intake.SendData(A, false, "from a, par");
    intake.SendData(B, false, "from b\r\n");
    intake.SendData(A, false, "t one\r");
    const std::vector<RelayJob> b = Complete(intake, B, ".\r\n");
    const std::vector<RelayJob> a = Complete(intake, A, "\n.\r\n");
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].MailSender, "a@a.test");
    EXPECT_EQ(a[0].MailRecipient, "ra@x.test");
    EXPECT_EQ(a[0].MailLines, MailLineList{"from a, part one"});
    EXPECT_EQ(b[0].MailSender, "b@b.test");
    EXPECT_EQ(b[0].MailRecipient, "rb@y.test");
    EXPECT_EQ(b[0].MailLines, MailLineList{"from b"});
    intake.SessionEnded(A);
    intake.SessionEnded(B);
    EXPECT_EQ(intake.SessionCount(), 0u);
}

TEST(MailIntakeTest, RecipientsGatherPerTransaction) {
    MailIntake intake;
    intake.MailFrom(A, "s@a.test");
    intake.MailTo(A, "old@x.test");
    ASSERT_EQ(Complete(intake, A).size(), 1u);
    // Another DATA without RCPT goes to the same recipients, as the server keeps them.
    EXPECT_EQ(Complete(intake, A).size(), 1u);
    // The first RCPT after a completed message starts a new list.
    intake.MailTo(A, "new1@x.test");
    intake.MailTo(A, "new2@x.test");
    std::vector<RelayJob> jobs = Complete(intake, A);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].MailRecipient, "new1@x.test");
    // MAIL FROM starts a new transaction, RSET withdraws the recipients named so far.
    intake.MailFrom(A, "s2@a.test");
    intake.MailTo(A, "withdrawn@x.test");
    intake.Reset(A);
    intake.MailTo(A, "kept@x.test");
    jobs = Complete(intake, A);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].MailRecipient, "kept@x.test");
    EXPECT_EQ(jobs[0].MailSender, "s2@a.test");
}

TEST(MailIntakeTest, ASessionThatEndsInTheDataLeavesNothingForTheNextOnTheSameKey) {
    MailIntake intake;
    intake.MailFrom(A, "s@a.test");
    intake.MailTo(A, "r@x.test");
    intake.SendData(A, false, "half a li");
    intake.SessionEnded(A);
    intake.MailFrom(A, "t@a.test");
    intake.MailTo(A, "q@x.test");
    const std::vector<RelayJob> jobs = Complete(intake, A, "whole\r\n.\r\n");
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].MailRecipient, "q@x.test");
    EXPECT_EQ(jobs[0].MailLines, MailLineList{"whole"});
}

void FillLogs(RelayCore& core, int relayed, int failed) {
    for (int i = 0; i < relayed; ++i) {
        core.AddRelayed("r");
    }
    for (int i = 0; i < failed; ++i) {
        core.AddFailed("f");
    }
}

TEST(MailIntakeTest, ALogOfMoreThan2000LinesIsEmptiedOnItsOwn) {
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
