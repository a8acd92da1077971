#include "queue/queue_folder.h"
#include "queue_test_files.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumenpost {
namespace {

using queue_test::ModeOf;
using queue_test::Names;
using queue_test::ReadFile;
using queue_test::WriteFile;

Envelope EnvelopeOf(const std::string& id, std::int64_t arrival) {
    Envelope envelope;
    envelope.id = id;
    envelope.arrival = arrival;
    envelope.sender = "\"john smith\"@example.org";
    envelope.recipients = {{"a@example.net", RecipientState::pending, 0, 0, "", ""},
                           {"b@example.net", RecipientState::deferred, 1, arrival + 60,
                            "451 4.7.1 greylisted\r\n", ""}};
    return envelope;
}

class QueueFolderTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.Path().empty());
        ASSERT_EQ(queue_.Prepare(), std::nullopt);
    }

    std::string Active() const { return queue_.FolderOf(QueuePlace::active); }
    std::string Failed() const { return queue_.FolderOf(QueuePlace::failed); }

    // Spools and commits a message with this data; its envelope comes back.
    Envelope Queue(const std::string& data, std::int64_t arrival = 1700000000) {
        std::string error;
        auto spool = queue_.CreateSpool(QueueFolder::NewId(), error);
        EXPECT_NE(spool, nullptr) << error;
        if (spool == nullptr) {
            return {};
        }
        EXPECT_TRUE(spool->Append(data));
        const Envelope envelope = EnvelopeOf(spool->Id(), arrival);
        EXPECT_EQ(spool->Commit(envelope), std::nullopt);
        return envelope;
    }

    queue_test::TempFolder temp_;
    QueueFolder queue_{temp_.Path() + "/data home/queue"};
};

TEST_F(QueueFolderTest, PrepareMakesPrivateFoldersAndNarrowsWiderRights) {
    EXPECT_EQ(ModeOf(Active()), 0700);
    EXPECT_EQ(ModeOf(Failed()), 0700);
    EXPECT_EQ(Failed(), Active() + "/failed");
    EXPECT_EQ(queue_.DataPath("abc", QueuePlace::failed), Active() + "/failed/abc.data");

    ASSERT_EQ(::chmod(Active().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(Failed().c_str(), 0777), 0);
    EXPECT_EQ(queue_.Prepare(), std::nullopt);
    EXPECT_EQ(ModeOf(Active()), 0700);
    EXPECT_EQ(ModeOf(Failed()), 0700);

    WriteFile(temp_.Path() + "/file", "x");
    const QueueFolder blocked(temp_.Path() + "/file/queue");
    EXPECT_EQ(blocked.Prepare(),
              "cannot create the queue folder " + temp_.Path() + "/file/queue: Not a directory");
}

TEST(QueueFolderPath, FollowsXdgDataHomeWhenAbsoluteElseHome) {
    const auto keep = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    };
    const auto dataHome = keep("XDG_DATA_HOME");
    const auto home = keep("HOME");
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(QueueFolder::DefaultPath(), "/srv/data/lumenpost/queue");
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(QueueFolder::DefaultPath(), "/home/someone/.local/share/lumenpost/queue");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(QueueFolder::DefaultPath(), "/home/someone/.local/share/lumenpost/queue");
    restore("XDG_DATA_HOME", dataHome);
    restore("HOME", home);
}

TEST(QueueId, UniqueOrderedShortAndTypable) {
    std::vector<std::string> ids;
    for (int i = 0; i < 100000; ++i) {
        ids.push_back(QueueFolder::NewId());
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(ids[i].size(), 16u) << ids[i];
        ASSERT_EQ(ids[i].find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"),
                  std::string::npos)
            << ids[i];
        if (i > 0) {
            ASSERT_LT(ids[i - 1], ids[i]); // strictly: unique and in creation order
        }
    }
}

TEST(QueueId, OtherProcessesMakeOtherIdsLaterOnes) {
    const std::string before = QueueFolder::NewId();
    constexpr int kChildren = 4;
    constexpr int kEach = 2000;
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    for (int child = 0; child < kChildren; ++child) {
        if (::fork() == 0) {
            ::close(ends[0]);
            std::string ids;
            for (int i = 0; i < kEach; ++i) {
                ids += QueueFolder::NewId();
            }
            const bool written =
                ::write(ends[1], ids.data(), ids.size()) == static_cast<ssize_t>(ids.size());
            ::_exit(written ? 0 : 1);
        }
    }
    ::close(ends[1]);
    const std::string all = queue_test::ReadToEnd(ends[0]);
    for (int child = 0; child < kChildren; ++child) {
        int status = 0;
        ::wait(&status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(all.size(), 16u * kChildren * kEach);
    std::vector<std::string> ids;
    for (std::size_t at = 0; at < all.size(); at += 16) {
        ids.push_back(all.substr(at, 16));
        EXPECT_GT(ids.back(), before);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

TEST_F(QueueFolderTest, CommittedSpoolIsLoadedWithItsExactBytes) {
    std::string error;
    const std::string id = QueueFolder::NewId();
    auto spool = queue_.CreateSpool(id, error);
    ASSERT_NE(spool, nullptr) << error;
    EXPECT_EQ(spool->Id(), id);

    // Small pieces across the buffer's size, one large block, every octet value.
    std::string data = "Received: from client\r\n";
    for (int i = 0; i < 5000; ++i) {
        data += "line " + std::to_string(i) + " \x00\xFF\r\n";
    }
    data += std::string(200 * 1024, 'L');
    data += ".\r\n";
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t piece = at < 100000 ? 1 + at % 997 : data.size() - at;
        ASSERT_TRUE(spool->Append(std::string_view(data).substr(at, piece)));
        at += piece;
    }
    EXPECT_EQ(spool->Size(), static_cast<std::int64_t>(data.size()));
    // Nothing but the temporary data file before the commit.
    EXPECT_EQ(Names(Active()), (std::set<std::string>{"failed", id + ".data.tmp"}));

    const Envelope envelope = EnvelopeOf(id, 1700000000);
    ASSERT_EQ(spool->Commit(envelope), std::nullopt);
    spool.reset(); // the committed message stays
    EXPECT_EQ(Names(Active()), (std::set<std::string>{"failed", id + ".data", id + ".env"}));
    EXPECT_EQ(ReadFile(queue_.DataPath(id, QueuePlace::active)), data);
    EXPECT_EQ(ModeOf(queue_.DataPath(id, QueuePlace::active)), 0600);
    EXPECT_EQ(ModeOf(Active() + "/" + id + ".env"), 0600);
    EXPECT_EQ(ReadFile(Active() + "/" + id + ".env"), FormatEnvelope(envelope));

    const QueueFolder::Contents contents = queue_.Load();
    EXPECT_EQ(contents.active, std::vector<Envelope>{envelope});
    EXPECT_TRUE(contents.failed.empty());
    EXPECT_TRUE(contents.problems.empty());
    EXPECT_EQ(queue_.Read(id, QueuePlace::active), envelope);
    EXPECT_EQ(queue_.Read(id, QueuePlace::failed), std::nullopt);
}

TEST_F(QueueFolderTest, UncommittedSpoolsLeaveNothing) {
    std::string error;
    {
        auto dropped = queue_.CreateSpool("dropped", error);
        ASSERT_NE(dropped, nullptr) << error;
        EXPECT_TRUE(dropped->Append(std::string(100000, 'x')));
    }
    auto abandoned = queue_.CreateSpool("abandoned", error);
    ASSERT_NE(abandoned, nullptr) << error;
    EXPECT_TRUE(abandoned->Append("text"));
    abandoned->Abandon();
    EXPECT_FALSE(abandoned->Append("more"));
    EXPECT_NE(abandoned->Commit(EnvelopeOf("abandoned", 1)), std::nullopt);

    // An envelope of another message: refused, and the message is gone.
    auto mismatched = queue_.CreateSpool("mismatched", error);
    ASSERT_NE(mismatched, nullptr) << error;
    EXPECT_TRUE(mismatched->Append("text"));
    EXPECT_NE(mismatched->Commit(EnvelopeOf("other", 1)), std::nullopt);
    EXPECT_FALSE(mismatched->Append("more"));
    EXPECT_EQ(Names(Active()), std::set<std::string>{"failed"});

    EXPECT_EQ(queue_.CreateSpool("../escape", error), nullptr);
    EXPECT_NE(error.find("not a queue id"), std::string::npos) << error;
}

// Someone removed the queue folder while the relay ran: the next message makes it again,
// private and with its place for failed messages; a message being received when it went
// is lost to the client's retry, not half-kept.
TEST_F(QueueFolderTest, ARemovedFolderIsMadeAgainForTheNextMessage) {
    std::string error;
    auto cutOff = queue_.CreateSpool(QueueFolder::NewId(), error);
    ASSERT_NE(cutOff, nullptr) << error;
    EXPECT_TRUE(cutOff->Append("text"));
    std::filesystem::remove_all(temp_.Path() + "/data home");
    const auto lost = cutOff->Commit(EnvelopeOf(cutOff->Id(), 1));
    ASSERT_TRUE(lost.has_value());
    EXPECT_NE(lost->find(": No such file or directory"), std::string::npos) << *lost;
    EXPECT_FALSE(std::filesystem::exists(Active()));

    const Envelope envelope = Queue("next");
    EXPECT_EQ(ModeOf(Active()), 0700);
    EXPECT_EQ(ModeOf(Failed()), 0700);
    EXPECT_EQ(queue_.Load().active, std::vector<Envelope>{envelope});
    EXPECT_EQ(ReadFile(queue_.DataPath(envelope.id, QueuePlace::active)), "next");
}

TEST_F(QueueFolderTest, SecondCommitAndTakenIdAreRefusedWithoutHarm) {
    const Envelope envelope = Queue("data");
    std::string error;
    EXPECT_EQ(queue_.CreateSpool(envelope.id, error), nullptr);
    EXPECT_NE(error.find("already in the queue"), std::string::npos) << error;

    auto spool = queue_.CreateSpool("twice", error);
    ASSERT_NE(spool, nullptr) << error;
    ASSERT_EQ(spool->Commit(EnvelopeOf("twice", 1)), std::nullopt);
    EXPECT_NE(spool->Commit(EnvelopeOf("twice", 1)), std::nullopt);
    spool->Abandon();
    spool.reset();
    EXPECT_EQ(queue_.Load().active.size(), 2u);
}

TEST_F(QueueFolderTest, LoadSortsByArrivalThenId) {
    const Envelope late = Queue("1", 30);
    const Envelope first = Queue("2", 10);
    const Envelope second = Queue("3", 10);
    const Envelope middle = Queue("4", 20);
    ASSERT_LT(first.id, second.id);
    const auto contents = queue_.Load();
    EXPECT_EQ(contents.active, (std::vector<Envelope>{first, second, middle, late}));
}

TEST_F(QueueFolderTest, LoadRemovesTemporaryFilesAndSetsHalvesAndDamagedMessagesAside) {
    const Envelope kept = Queue("kept");
    const Envelope failed = Queue("failed one");
    ASSERT_EQ(queue_.Move(failed, QueuePlace::active, QueuePlace::failed), std::nullopt);

    const auto at = [&](const std::string& name) { return Active() + "/" + name; };
    WriteFile(at("tmpdata.data.tmp"), "half");
    WriteFile(at("tmpenv.env.tmp"), "half");
    WriteFile(Failed() + "/tmpfailed.data.tmp", "half");
    WriteFile(at("dataonly.data"), "no envelope");
    WriteFile(Failed() + "/envonly.env", FormatEnvelope(EnvelopeOf("envonly", 5)));
    const std::string cut = FormatEnvelope(EnvelopeOf("damaged", 5));
    WriteFile(at("damaged.env"), cut.substr(0, cut.size() - 4));
    WriteFile(at("damaged.data"), "mail");
    WriteFile(at("garbage.env"), std::string("\x01\xff\0garbage\n", 11));
    WriteFile(at("garbage.data"), "mail");
    WriteFile(at("misnamed.env"), FormatEnvelope(EnvelopeOf("othername", 5)));
    WriteFile(at("misnamed.data"), "mail");
    WriteFile(at("notes.txt"), "not ours");
    WriteFile(at("notes.tmp"), "not ours");

    const QueueFolder::Contents contents = queue_.Load();
    EXPECT_EQ(contents.active, std::vector<Envelope>{kept});
    EXPECT_EQ(contents.failed, std::vector<Envelope>{failed});
    EXPECT_EQ(Names(Active()), (std::set<std::string>{"failed", "corrupt", kept.id + ".data",
                                                      kept.id + ".env", "notes.txt", "notes.tmp"}));
    EXPECT_EQ(Names(Failed()), (std::set<std::string>{failed.id + ".data", failed.id + ".env"}));
    EXPECT_EQ(
        Names(queue_.CorruptFolder()),
        (std::set<std::string>{"dataonly.data", "envonly.env", "damaged.env", "damaged.data",
                               "garbage.env", "garbage.data", "misnamed.env", "misnamed.data"}));
    EXPECT_EQ(ReadFile(queue_.CorruptFolder() + "/damaged.data"), "mail");

    // One problem per file removed or message set aside, naming it and where it went.
    ASSERT_EQ(contents.problems.size(), 8u);
    for (const std::string name :
         {"tmpdata.data.tmp", "tmpenv.env.tmp", "tmpfailed.data.tmp", "dataonly.data",
          "envonly.env", "damaged.env", "garbage.env", "misnamed.env"}) {
        EXPECT_EQ(std::count_if(contents.problems.begin(), contents.problems.end(),
                                [&](const std::string& problem) {
                                    return problem.find("/" + name) != std::string::npos;
                                }),
                  1)
            << name;
    }
    const auto said = [&](const std::string& line) {
        return std::find(contents.problems.begin(), contents.problems.end(), line) !=
               contents.problems.end();
    };
    EXPECT_TRUE(said("moved " + at("damaged.env") + " and " + at("damaged.data") +
                     " (a damaged envelope) to " + queue_.CorruptFolder()));
    EXPECT_TRUE(said("moved " + Failed() + "/envonly.env (an envelope without data file) to " +
                     queue_.CorruptFolder()));

    // A later load finds nothing more to say.
    EXPECT_TRUE(queue_.Load().problems.empty());
}

TEST_F(QueueFolderTest, SettingAsideKeepsAnEarlierFileOfTheSameName) {
    WriteFile(Active() + "/twice.data", "first");
    ASSERT_EQ(queue_.Load().problems.size(), 1u);
    WriteFile(Active() + "/twice.data", "second");
    ASSERT_EQ(queue_.Load().problems.size(), 1u);
    EXPECT_EQ(ReadFile(queue_.CorruptFolder() + "/twice.data"), "first");
    EXPECT_EQ(ReadFile(queue_.CorruptFolder() + "/twice.data.1"), "second");
}

TEST_F(QueueFolderTest, PurgeCorruptRemovesOnlyFilesSetAsideLongAgo) {
    WriteFile(Active() + "/old.data", "mail");
    ASSERT_EQ(queue_.Load().problems.size(), 1u);
    const std::int64_t now = std::time(nullptr);
    EXPECT_EQ(queue_.PurgeCorrupt(now, 3600), 0);
    EXPECT_EQ(queue_.PurgeCorrupt(now + 7200, 3600), 1);
    EXPECT_TRUE(Names(queue_.CorruptFolder()).empty());
}

TEST_F(QueueFolderTest, LoadReportsFoldersItCannotRead) {
    const QueueFolder missing(temp_.Path() + "/nowhere");
    const auto contents = missing.Load();
    EXPECT_TRUE(contents.active.empty());
    EXPECT_EQ(contents.problems,
              (std::vector<std::string>{"cannot read the queue folder " + temp_.Path() +
                                            "/nowhere: No such file or directory",
                                        "cannot read the queue folder " + temp_.Path() +
                                            "/nowhere/failed: No such file or directory"}));
}

TEST_F(QueueFolderTest, UpdateReplacesTheEnvelopeAtomically) {
    Envelope envelope = Queue("data");
    envelope.recipients[0].state = RecipientState::delivered;
    envelope.recipients[1].attempts = 2;
    envelope.recipients[1].lastReason = "421 4.3.2 shutting down %";
    ASSERT_EQ(queue_.Update(envelope, QueuePlace::active), std::nullopt);
    EXPECT_EQ(queue_.Read(envelope.id, QueuePlace::active), envelope);
    EXPECT_EQ(Names(Active()),
              (std::set<std::string>{"failed", envelope.id + ".data", envelope.id + ".env"}));
    EXPECT_EQ(ModeOf(Active() + "/" + envelope.id + ".env"), 0600);

    // No envelope where no message is: it would be a leftover.
    EXPECT_NE(queue_.Update(envelope, QueuePlace::failed), std::nullopt);
    EXPECT_EQ(Names(Failed()), std::set<std::string>{});
    Envelope stranger = envelope;
    stranger.id = "../stranger";
    EXPECT_NE(queue_.Update(stranger, QueuePlace::active), std::nullopt);
}

TEST_F(QueueFolderTest, MoveTakesDataAndNewEnvelopeToTheOtherPlace) {
    Envelope envelope = Queue("the message's data");
    envelope.recipients[1].state = RecipientState::failed;
    ASSERT_EQ(queue_.Move(envelope, QueuePlace::active, QueuePlace::failed), std::nullopt);
    EXPECT_EQ(Names(Active()), std::set<std::string>{"failed"});
    EXPECT_EQ(Names(Failed()),
              (std::set<std::string>{envelope.id + ".data", envelope.id + ".env"}));
    EXPECT_EQ(ReadFile(queue_.DataPath(envelope.id, QueuePlace::failed)), "the message's data");
    EXPECT_EQ(queue_.Read(envelope.id, QueuePlace::failed), envelope);

    envelope.recipients[1].state = RecipientState::pending;
    ASSERT_EQ(queue_.Move(envelope, QueuePlace::failed, QueuePlace::active), std::nullopt);
    EXPECT_EQ(Names(Failed()), std::set<std::string>{});
    const auto contents = queue_.Load();
    EXPECT_EQ(contents.active, std::vector<Envelope>{envelope});
    EXPECT_TRUE(contents.failed.empty());
    EXPECT_TRUE(contents.problems.empty());

    // Nothing to move, and nothing written for it.
    EXPECT_NE(queue_.Move(envelope, QueuePlace::failed, QueuePlace::active), std::nullopt);
    envelope.id = "absent";
    EXPECT_NE(queue_.Move(envelope, QueuePlace::active, QueuePlace::failed), std::nullopt);
    EXPECT_EQ(Names(Failed()), std::set<std::string>{});
}

TEST_F(QueueFolderTest, RemoveTakesBothFiles) {
    const Envelope gone = Queue("gone");
    const Envelope stays = Queue("stays");
    ASSERT_EQ(queue_.Remove(gone.id, QueuePlace::active), std::nullopt);
    EXPECT_EQ(queue_.Load().active, std::vector<Envelope>{stays});
    EXPECT_NE(queue_.Remove(gone.id, QueuePlace::active), std::nullopt);
    EXPECT_NE(queue_.Remove(stays.id, QueuePlace::failed), std::nullopt);
    EXPECT_NE(queue_.Remove("..", QueuePlace::active), std::nullopt);
    EXPECT_EQ(Names(Active()),
              (std::set<std::string>{"failed", stays.id + ".data", stays.id + ".env"}));
}

TEST_F(QueueFolderTest, PurgeFailedRemovesOnlyOldFailedMessages) {
    constexpr std::int64_t kWeek = 7 * 24 * 3600;
    const std::int64_t now = std::time(nullptr);
    const Envelope old = Queue("old");
    const Envelope recent = Queue("recent");
    const Envelope active = Queue("active");
    ASSERT_EQ(queue_.Move(old, QueuePlace::active, QueuePlace::failed), std::nullopt);
    ASSERT_EQ(queue_.Move(recent, QueuePlace::active, QueuePlace::failed), std::nullopt);
    const timespec eightDaysAgo[2] = {{now - kWeek - 24 * 3600, 0}, {now - kWeek - 24 * 3600, 0}};
    const std::string oldEnvelope = Failed() + "/" + old.id + ".env";
    ASSERT_EQ(::utimensat(AT_FDCWD, oldEnvelope.c_str(), eightDaysAgo, 0), 0);

    EXPECT_EQ(queue_.PurgeFailed(now, kWeek), 1);
    const auto contents = queue_.Load();
    EXPECT_EQ(contents.failed, std::vector<Envelope>{recent});
    EXPECT_EQ(contents.active, std::vector<Envelope>{active});
    EXPECT_EQ(queue_.PurgeFailed(now, kWeek), 0);
    EXPECT_EQ(queue_.PurgeFailed(now + 2 * kWeek, kWeek), 1);
    EXPECT_EQ(Names(Failed()), std::set<std::string>{});
}

} // namespace
} // namespace lumenpost
