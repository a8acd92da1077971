#include "queue/queue_folder.h"
#include "queue/spool_committer.h"
#include "queue_test_files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace lumenpost {
namespace {

using queue_test::ReadFile;

Envelope OneRecipient(const std::string& id) {
    return Envelope{id,    1700000000, "s@a.test",
                    false, false,      {QueuedRecipient::Pending("r@b.test")}};
}

class SpoolCommitterTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.Path().empty());
        ASSERT_EQ(queue_.Prepare(), std::nullopt);
    }

    std::unique_ptr<SpoolFile> Spool(const std::string& text) {
        std::string error;
        auto spool = queue_.CreateSpool(QueueFolder::NewId(), error);
        EXPECT_NE(spool, nullptr) << error;
        if (spool != nullptr) {
            EXPECT_TRUE(spool->Append(text));
        }
        return spool;
    }

    queue_test::TempFolder temp_;
    QueueFolder queue_{temp_.Path() + "/queue"};
};

// Two threads, shared folder syncs: every message handed over ends complete on disk,
// and each is reported once, on a committer thread.
TEST_F(SpoolCommitterTest, EveryMessageHandedOverEndsDurableAndIsReportedOnce) {
    constexpr int kMessages = 40;
    std::mutex mutex;
    std::vector<std::string> reported;
    std::atomic<int> failures = 0;
    const auto caller = std::this_thread::get_id();
    std::vector<std::string> ids;
    {
        SpoolCommitter committer(queue_.Path(), 2);
        for (int i = 0; i < kMessages; ++i) {
            auto spool = Spool("message " + std::to_string(i) + "\r\n");
            ASSERT_NE(spool, nullptr);
            const std::string id = spool->Id();
            ids.push_back(id);
            committer.Commit(std::move(spool), OneRecipient(id),
                             [&, id](std::optional<std::string> error) {
                                 if (error || std::this_thread::get_id() == caller) {
                                     ++failures;
                                 }
                                 const std::lock_guard lock(mutex);
                                 reported.push_back(id);
                             });
        }
    } // the destructor finishes what was handed over
    EXPECT_EQ(failures, 0);
    std::sort(reported.begin(), reported.end());
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(reported, ids);
    const QueueFolder::Contents contents = queue_.Load();
    EXPECT_TRUE(contents.problems.empty());
    ASSERT_EQ(contents.active.size(), static_cast<std::size_t>(kMessages));
    for (int i = 0; i < kMessages; ++i) {
        const Envelope& envelope = contents.active[static_cast<std::size_t>(i)];
        EXPECT_EQ(ReadFile(queue_.DataPath(envelope.id, QueuePlace::active)),
                  "message " + std::to_string(i) + "\r\n");
    }
}

TEST_F(SpoolCommitterTest, AFailedCommitIsReportedAndLeavesNothing) {
    auto spool = Spool("lost\r\n");
    ASSERT_NE(spool, nullptr);
    const std::string id = spool->Id();
    std::optional<std::string> reported;
    {
        SpoolCommitter committer(queue_.Path(), 1);
        // The envelope names another message: the commit must refuse it.
        committer.Commit(std::move(spool), OneRecipient("other"),
                         [&](std::optional<std::string> error) { reported = std::move(error); });
    }
    ASSERT_TRUE(reported.has_value());
    EXPECT_NE(reported->find(id), std::string::npos) << *reported;
    EXPECT_TRUE(queue_test::Names(queue_.Path()).count("failed") == 1);
    EXPECT_EQ(queue_test::Names(queue_.Path()).size(), 1u);
}

} // namespace
} // namespace lumenpost
