#pragma once

#include "queue/envelope.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

class FolderSyncGroup;
class SpoolFile;

// Active messages live in the folder itself, failed ones in its "failed" subfolder.
enum class QueuePlace { active, failed };

// The mail queue on disk: one data file "<id>.data" and one envelope file "<id>.env" per
// message. The running relay is the only writer. Every call is blocking file I/O.
class QueueFolder {
public:
    explicit QueueFolder(std::string path) : path_(std::move(path)) {}

    // $XDG_DATA_HOME/lumenpost/queue when XDG_DATA_HOME is absolute, else
    // ~/.local/share/lumenpost/queue.
    static std::string DefaultPath();

    const std::string& Path() const { return path_; }
    std::string FolderOf(QueuePlace place) const;
    std::string DataPath(const std::string& id, QueuePlace place) const;
    // Where damaged messages are set aside: out of the way, but kept for a person to look at.
    std::string CorruptFolder() const { return path_ + "/corrupt"; }

    // Creates the folder and its "failed" subfolder with mode 0700 (parents as needed).
    // Returns what went wrong, naming the path.
    std::optional<std::string> Prepare() const;

    // A new queue id: unique, ordered by creation time, letters and digits only.
    static std::string NewId();

    // Starts a message's data file under a temporary name. Nothing (and `error` set)
    // when it cannot be created.
    std::unique_ptr<SpoolFile> CreateSpool(const std::string& id, std::string& error) const;

    struct Contents {
        std::vector<Envelope> active;      // arrival order, ties by id
        std::vector<Envelope> failed;      // arrival order, ties by id
        std::vector<std::string> problems; // what was cleaned up or could not be read
    };
    // Reads both places. Temporary files that a crash left behind are removed (they were
    // never accepted); a data file without envelope, an envelope without data file and a
    // damaged envelope (with its data file) are moved to CorruptFolder(), one problem each.
    Contents Load() const;
    // Reads one message's envelope; nothing when it is not there or damaged.
    std::optional<Envelope> Read(const std::string& id, QueuePlace place) const;

    // Replaces the envelope atomically (new file, fsync, rename).
    std::optional<std::string> Update(const Envelope& envelope, QueuePlace place) const;
    // Removes a message (envelope first, then data).
    std::optional<std::string> Remove(const std::string& id, QueuePlace place) const;
    // Moves a message to the other place, writing `envelope` as its envelope there.
    std::optional<std::string> Move(const Envelope& envelope, QueuePlace from, QueuePlace to) const;
    // Removes failed messages whose envelope was last written more than `maxAgeSeconds`
    // before `now` (Unix seconds). Returns how many went.
    int PurgeFailed(std::int64_t now, std::int64_t maxAgeSeconds) const;
    // Removes files set aside as damaged more than `maxAgeSeconds` before `now`.
    int PurgeCorrupt(std::int64_t now, std::int64_t maxAgeSeconds) const;

private:
    std::string EnvelopePath(const std::string& id, QueuePlace place) const;
    void LoadPlace(QueuePlace place, std::vector<Envelope>& envelopes,
                   std::vector<std::string>& problems) const;
    // Moves the files of message `id` to CorruptFolder(); one line saying what and why.
    std::string SetAside(const std::string& id, QueuePlace place, std::string_view why) const;

    std::string path_;
};

// One message's data file while it is received. Writes are buffered; nothing of it is
// visible to Load until Commit succeeded, and whatever is not committed is removed when
// the object goes.
class SpoolFile {
public:
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;
    ~SpoolFile();

    // Appends the bytes. False once any write failed (the failure is kept).
    bool Append(std::string_view bytes);
    // Bytes appended so far.
    std::int64_t Size() const { return size_; }
    const std::string& Id() const { return id_; }

    // Makes the message durable: data flushed, fsync'd and renamed to its name, then the
    // envelope written the same way, then the folder fsync'd. Nothing on success;
    // otherwise what went wrong, and then nothing of the message is left on disk.
    std::optional<std::string> Commit(const Envelope& envelope);
    // The same, with the folder fsync shared among the commits of several threads.
    std::optional<std::string> Commit(const Envelope& envelope, FolderSyncGroup& group);

    // Removes what was written.
    void Abandon();

private:
    friend class QueueFolder;
    SpoolFile(std::string folder, std::string id, int fd);
    bool Flush();
    std::string PathOf(std::string_view suffix) const; // folder_/id_ + suffix
    std::optional<std::string> Commit(const Envelope& envelope, FolderSyncGroup* group);
    std::optional<std::string> Finish(const Envelope& envelope, FolderSyncGroup* group);
    void Discard(); // after a failed Commit: every file of the message goes

    std::string folder_;
    std::string id_;
    int fd_ = -1;
    std::string buffer_;
    std::int64_t size_ = 0;
    std::string error_; // the first write failure
    bool committed_ = false;
};

} // namespace lumenpost
