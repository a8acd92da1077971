#include "relay/local_submission.h"

#include "memory_file.h"
#include "relay/hop_counter.h"
#include "temp_queue.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace lumenpost {
namespace {

TEST(SubmitRequest, CarriesEveryAddressIntactOnOneLine) {
    const SubmissionEnvelope envelope{
        "", {"\"a b\"@x.test", "plus+tag=1@y.test", "\"<odd>\"@z.test", "\xc3\xbc@c.test"}};
    const std::string request = FormatSubmitRequest(envelope);
    EXPECT_EQ(request, "SUBMIT <> <\"a+20b\"@x.test> <plus+2Btag+3D1@y.test> "
                       "<\"+3Codd+3E\"@z.test> <+C3+BC@c.test>");
    EXPECT_EQ(ParseSubmitRequest(request), envelope);
}

TEST(SubmitRequest, RefusesWhatItWouldNotWrite) {
    for (const char* request :
         {"SUBMIT", "SUBMIT <a@b>", "SUBMIT <a@b>  <c@d>", "SUBMIT <a@b> c@d", "SUBMIT <a@b> <c d>",
          "SUBMIT <a@b> <c+2@d>", "SUBMIT <a@b> <c+zz@d>", "SUBMIT <a@b> <c@d> ",
          "SUBMITX <a@b> <c@d>", "QUEUE"}) {
        EXPECT_EQ(ParseSubmitRequest(request), std::nullopt) << request;
    }
}

class SpoolSubmissionTest : public testing::Test {
protected:
    static SubmissionSource Source(std::int64_t maxSize) {
        return {"alice", 1000, "relay.host", maxSize, 4242};
    }

    SpooledSubmission Spool(std::string_view text, std::int64_t maxSize = 1000,
                            bool sealed = true) {
        const UniqueFd file = MemoryFile(text, sealed);
        return SpoolSubmission(queue_.Folder(), {"s@a.test", {"r@b.test", "\xc3\xbc@c.test"}},
                               file.Get(), Source(maxSize));
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(queue_.Root())) {
            if (entry.is_regular_file()) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    std::string Data(const std::string& id) const {
        std::ifstream file(queue_.Folder().DataPath(id, QueuePlace::active), std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    TempQueue queue_;
};

TEST_F(SpoolSubmissionTest, TheTextFollowsOurReceivedLineAndCommitsWithItsEnvelope) {
    SpooledSubmission spooled = Spool("Subject: t\nTo: x\n\nbody \xc3\xa9\n.\r\n");
    ASSERT_TRUE(spooled.spool) << spooled.error;
    const Envelope& envelope = spooled.envelope;
    // Until the commit only a temporary file is there, which a load would clean up.
    EXPECT_EQ(Files(), std::vector<std::string>{envelope.id + ".data.tmp"});
    ASSERT_EQ(spooled.spool->Commit(envelope), std::nullopt);

    EXPECT_EQ(envelope.arrival, 4242);
    EXPECT_EQ(envelope.sender, "s@a.test");
    ASSERT_EQ(envelope.recipients.size(), 2u);
    EXPECT_EQ(envelope.recipients[1], QueuedRecipient::Pending("\xc3\xbc@c.test"));
    EXPECT_TRUE(envelope.eightBit);
    EXPECT_TRUE(envelope.smtputf8);
    EXPECT_EQ(queue_.Folder().Read(envelope.id, QueuePlace::active), envelope);

    const std::string data = Data(envelope.id);
    const std::string received = "Received: from local user alice (uid 1000)\r\n\tby relay.host "
                                 "with local id " +
                                 envelope.id + ";\r\n\t";
    EXPECT_TRUE(data.starts_with(received)) << data;
    EXPECT_TRUE(data.ends_with("\r\nSubject: t\r\nTo: x\r\n\r\nbody \xc3\xa9\r\n.\r\n")) << data;
}

TEST_F(SpoolSubmissionTest, ARefusedMessageLeavesNothingBehind) {
    std::string looping;
    for (int hop = 0; hop <= kMaxHops; ++hop) {
        looping += "Received: from x\r\n";
    }
    struct Case {
        std::string text;
        bool sealed;
        SubmissionFault fault;
    };
    const std::vector<Case> cases{
        {"a file that may still change\r\n", false, SubmissionFault::local},
        {std::string(1001, 'x'), true, SubmissionFault::tooLarge},
        {std::string(600, '\n'), true, SubmissionFault::tooLarge}, // over only as CR LF
        {std::string("a\0b\n", 4), true, SubmissionFault::notText},
        {looping + "\r\nbody\r\n", true, SubmissionFault::looping},
    };
    for (const Case& refused : cases) {
        const SpooledSubmission spooled = Spool(refused.text, 1000, refused.sealed);
        EXPECT_FALSE(spooled.spool);
        EXPECT_EQ(spooled.fault, refused.fault) << refused.text.substr(0, 20);
        EXPECT_FALSE(spooled.error.empty());
        EXPECT_EQ(Files(), std::vector<std::string>{});
    }
    // At the limit, and with as many hops as may be, the message is taken.
    EXPECT_TRUE(Spool(std::string(998, 'x')).spool); // with its CR LF
    EXPECT_TRUE(Spool(looping.substr(18) + "\r\nbody\r\n", 10000).spool);
}

} // namespace
} // namespace lumenpost
