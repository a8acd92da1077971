#include "queue/folder_sync_group.h"

#include "queue/queue_files.h"

#include <algorithm>

namespace lumenpost {

std::optional<std::string> FolderSyncGroup::SyncAfterRenames() {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++requested_;
    while (covered_ < ticket) {
        if (syncing_) {
            // The running sync may have started before our renames: wait, then look again.
            synced_.wait(lock);
            continue;
        }
        syncing_ = true;
        const std::uint64_t upTo = requested_;
        lock.unlock();
        auto failure = queue_files::SyncFolder(folder_);
        lock.lock();
        syncing_ = false;
        if (!failure) {
            covered_ = std::max(covered_, upTo);
        }
        synced_.notify_all();
        if (failure) {
            // Only this caller hears of it; the others try their own sync.
            return failure;
        }
    }
    return std::nullopt;
}

} // namespace lumenpost
