#pragma once

#include "queue/envelope.h"
#include "queue/folder_sync_group.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lumenpost {

class SpoolFile;

// Makes received messages durable on a few threads of its own, so that neither a
// session nor the window waits for the disk: the files of messages that end together are
// synced side by side and share their folder's fsync. Commits are at most one per
// session or control connection, so the backlog is bounded by their numbers.
class SpoolCommitter {
public:
    // Runs on a committer thread with nothing, or with what went wrong (the message is
    // then gone from the disk).
    using Done = std::function<void(std::optional<std::string> error)>;

    // `folder`: where the spools of QueueFolder::CreateSpool live.
    SpoolCommitter(std::string folder, int threads);
    // Finishes the commits already handed over, then stops the threads.
    ~SpoolCommitter();
    SpoolCommitter(const SpoolCommitter&) = delete;
    SpoolCommitter& operator=(const SpoolCommitter&) = delete;

    void Commit(std::unique_ptr<SpoolFile> spool, Envelope envelope, Done done);

private:
    struct Job {
        std::unique_ptr<SpoolFile> spool;
        Envelope envelope;
        Done done;
    };
    void Work();

    FolderSyncGroup folderSync_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace lumenpost
