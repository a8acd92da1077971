#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace lumenpost {

// Lets messages committed on several threads share the fsync of their folder: one sync
// covers every rename made before it started, so two commits that end together cost one
// folder sync instead of two.
class FolderSyncGroup {
public:
    explicit FolderSyncGroup(std::string folder) : folder_(std::move(folder)) {}
    FolderSyncGroup(const FolderSyncGroup&) = delete;
    FolderSyncGroup& operator=(const FolderSyncGroup&) = delete;

    // Call after the renames to make durable. Returns once a folder fsync that started
    // after them has succeeded (this caller's or another's), or with what went wrong in
    // this caller's own attempt.
    std::optional<std::string> SyncAfterRenames();

private:
    const std::string folder_;
    std::mutex mutex_;
    std::condition_variable synced_;
    std::uint64_t requested_ = 0; // tickets handed out, one per caller
    std::uint64_t covered_ = 0;   // every ticket up to this one is durable
    bool syncing_ = false;
};

} // namespace lumenpost
