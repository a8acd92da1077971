// Reading and changing the queued messages.
#include "queue/queue_folder.h"

#include "queue/queue_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost {

using queue_files::ErrorText;
using queue_files::IsQueueId;

namespace {

// An envelope is a few lines per recipient; anything this large is not one of ours.
constexpr std::size_t kEnvelopeLimit = 16 * 1024 * 1024;

std::string NotAnId(const std::string& id) {
    return "\"" + id + "\" is not a queue id (letters and digits)";
}

bool Exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// The regular files of a folder (no links, no folders), by name; nothing when the
// folder cannot be read, with `error` set.
std::optional<std::vector<std::string>> RegularFiles(const std::string& folder,
                                                     std::string& error) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        error = ErrorText("cannot read the queue folder", folder, errno);
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            break;
        }
        struct stat status {};
        if (::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode)) {
            names.emplace_back(entry->d_name);
        }
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
        error = ErrorText("cannot read the queue folder", folder, err);
        return std::nullopt;
    }
    return names;
}

int OpenNewFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

// The id of "<id><suffix>", or nothing when the name is not of that form.
std::optional<std::string> IdOf(const std::string& name, std::string_view suffix) {
    if (!name.ends_with(suffix)) {
        return std::nullopt;
    }
    std::string id = name.substr(0, name.size() - suffix.size());
    if (!IsQueueId(id)) {
        return std::nullopt;
    }
    return id;
}

} // namespace

std::unique_ptr<SpoolFile> QueueFolder::CreateSpool(const std::string& id,
                                                    std::string& error) const {
    if (!IsQueueId(id)) {
        error = NotAnId(id);
        return nullptr;
    }
    if (Exists(DataPath(id, QueuePlace::active)) || Exists(EnvelopePath(id, QueuePlace::active))) {
        error = "a message " + id + " is already in the queue " + path_;
        return nullptr;
    }
    const std::string folder = FolderOf(QueuePlace::active);
    const std::string tmp = DataPath(id, QueuePlace::active) + ".tmp";
    int fd = OpenNewFile(tmp);
    if (fd < 0 && errno == ENOENT) {
        // The folder was removed while the relay ran: the next message makes it again.
        if (auto failure = Prepare()) {
            error = *failure;
            return nullptr;
        }
        fd = OpenNewFile(tmp);
    }
    if (fd < 0) {
        error = ErrorText("cannot create", tmp, errno);
        return nullptr;
    }
    return std::unique_ptr<SpoolFile>(new SpoolFile(folder, id, fd));
}

QueueFolder::Contents QueueFolder::Load() const {
    Contents contents;
    LoadPlace(QueuePlace::active, contents.active, contents.problems);
    LoadPlace(QueuePlace::failed, contents.failed, contents.problems);
    return contents;
}

void QueueFolder::LoadPlace(QueuePlace place, std::vector<Envelope>& envelopes,
                            std::vector<std::string>& problems) const {
    const std::string folder = FolderOf(place);
    std::string error;
    const auto names = RegularFiles(folder, error);
    if (!names) {
        problems.push_back(error);
        return;
    }
    struct Files {
        bool data = false;
        bool envelope = false;
    };
    std::map<std::string, Files> messages;
    for (const std::string& name : *names) {
        if (IdOf(name, ".data.tmp") || IdOf(name, ".env.tmp")) {
            // Written when a crash or a failed commit stopped it: never accepted.
            const std::string path = folder + "/" + name;
            problems.push_back(queue_files::RemoveFile(path, error)
                                   ? "removed the unfinished file " + path
                                   : error);
        } else if (const auto id = IdOf(name, ".data")) {
            messages[*id].data = true;
        } else if (const auto id = IdOf(name, ".env")) {
            messages[*id].envelope = true;
        }
    }
    for (const auto& [id, files] : messages) {
        if (files.data != files.envelope) {
            // One half of a message whose commit or removal was cut off.
            problems.push_back(SetAside(id, place,
                                        files.data ? "a data file without envelope"
                                                   : "an envelope without data file"));
            continue;
        }
        const std::string path = EnvelopePath(id, place);
        const auto text = queue_files::ReadSmallFile(path, kEnvelopeLimit, error);
        if (!text) {
            problems.push_back(error); // unreadable now is not damaged: left for the next start
            continue;
        }
        auto envelope = ParseEnvelope(*text);
        if (!envelope || envelope->id != id) {
            problems.push_back(SetAside(id, place, "a damaged envelope"));
            continue;
        }
        envelopes.push_back(std::move(*envelope));
    }
    std::sort(envelopes.begin(), envelopes.end(), [](const Envelope& a, const Envelope& b) {
        return a.arrival != b.arrival ? a.arrival < b.arrival : a.id < b.id;
    });
}

std::string QueueFolder::SetAside(const std::string& id, QueuePlace place,
                                  std::string_view why) const {
    const std::string folder = FolderOf(place);
    const std::string target = CorruptFolder();
    if (auto failure = queue_files::MakePrivateFolder(target)) {
        return *failure;
    }
    std::string moved;
    for (const std::string& name : {id + ".env", id + ".data"}) {
        if (!Exists(folder + "/" + name)) {
            continue;
        }
        if (auto failure = queue_files::MoveIntoFolder(folder, name, target)) {
            return *failure;
        }
        moved += (moved.empty() ? "" : " and ") + folder + "/" + name;
    }
    if (auto failure = queue_files::SyncFolder(target)) {
        return *failure;
    }
    if (auto failure = queue_files::SyncFolder(folder)) {
        return *failure;
    }
    return "moved " + moved + " (" + std::string(why) + ") to " + target;
}

std::optional<Envelope> QueueFolder::Read(const std::string& id, QueuePlace place) const {
    if (!IsQueueId(id)) {
        return std::nullopt;
    }
    std::string error;
    const auto text = queue_files::ReadSmallFile(EnvelopePath(id, place), kEnvelopeLimit, error);
    auto envelope = text ? ParseEnvelope(*text) : std::nullopt;
    if (!envelope || envelope->id != id) {
        return std::nullopt;
    }
    return envelope;
}

std::optional<std::string> QueueFolder::Update(const Envelope& envelope, QueuePlace place) const {
    if (!IsQueueId(envelope.id)) {
        return NotAnId(envelope.id);
    }
    // An envelope without its data would be taken for a leftover and removed.
    if (!Exists(DataPath(envelope.id, place))) {
        return "there is no message " + envelope.id + " in " + FolderOf(place);
    }
    const std::string path = EnvelopePath(envelope.id, place);
    return queue_files::ReplaceFile(path + ".tmp", path, FormatEnvelope(envelope));
}

std::optional<std::string> QueueFolder::Remove(const std::string& id, QueuePlace place) const {
    if (!IsQueueId(id)) {
        return NotAnId(id);
    }
    const std::string envelope = EnvelopePath(id, place);
    const std::string data = DataPath(id, place);
    if (!Exists(envelope) && !Exists(data)) {
        return "there is no message " + id + " in " + FolderOf(place);
    }
    // Envelope first: a data file alone is never taken for a message (the next load sets it aside).
    std::string error;
    if (!queue_files::RemoveFile(envelope, error) || !queue_files::RemoveFile(data, error)) {
        return error;
    }
    return queue_files::SyncFolder(FolderOf(place));
}

// The new envelope is made durable at the destination before the data file moves, so
// that a crash at any point leaves one complete message: before the data's rename the
// destination holds an envelope alone (set aside at the next load) and the source is
// whole; after it, the destination is whole and the source holds an envelope alone.
std::optional<std::string> QueueFolder::Move(const Envelope& envelope, QueuePlace from,
                                             QueuePlace to) const {
    if (from == to) {
        return Update(envelope, to);
    }
    const std::string& id = envelope.id;
    if (!IsQueueId(id)) {
        return NotAnId(id);
    }
    const std::string fromData = DataPath(id, from);
    const std::string toData = DataPath(id, to);
    const std::string toEnvelope = EnvelopePath(id, to);
    if (!Exists(fromData)) {
        return "there is no message " + id + " in " + FolderOf(from);
    }
    if (Exists(toData) || Exists(toEnvelope)) {
        return "a message " + id + " is already in " + FolderOf(to);
    }
    if (auto failure =
            queue_files::ReplaceFile(toEnvelope + ".tmp", toEnvelope, FormatEnvelope(envelope))) {
        return failure;
    }
    if (auto failure = queue_files::SyncFolder(FolderOf(to))) {
        ::unlink(toEnvelope.c_str());
        return failure;
    }
    if (std::rename(fromData.c_str(), toData.c_str()) != 0) {
        const int err = errno;
        ::unlink(toEnvelope.c_str());
        return ErrorText("cannot move " + fromData + " to", toData, err);
    }
    std::string error;
    if (!queue_files::RemoveFile(EnvelopePath(id, from), error)) {
        return error; // the message is at its destination; the next load sets this one aside
    }
    if (auto failure = queue_files::SyncFolder(FolderOf(to))) {
        return failure;
    }
    return queue_files::SyncFolder(FolderOf(from));
}

int QueueFolder::PurgeCorrupt(std::int64_t now, std::int64_t maxAgeSeconds) const {
    const std::string folder = CorruptFolder();
    std::string error;
    const auto names = RegularFiles(folder, error);
    if (!names) {
        return 0;
    }
    int removed = 0;
    for (const std::string& name : *names) {
        // The rename that set the file aside changed its status time, not its write time.
        struct stat status {};
        const std::string path = folder + "/" + name;
        if (::stat(path.c_str(), &status) == 0 && status.st_ctime < now &&
            now - status.st_ctime > maxAgeSeconds && queue_files::RemoveFile(path, error)) {
            ++removed;
        }
    }
    return removed;
}

int QueueFolder::PurgeFailed(std::int64_t now, std::int64_t maxAgeSeconds) const {
    std::string error;
    const auto names = RegularFiles(FolderOf(QueuePlace::failed), error);
    if (!names) {
        return 0;
    }
    int removed = 0;
    for (const std::string& name : *names) {
        const auto id = IdOf(name, ".env");
        struct stat status {};
        if (!id || ::stat(EnvelopePath(*id, QueuePlace::failed).c_str(), &status) != 0) {
            continue;
        }
        const std::int64_t written = status.st_mtime;
        if (written < now && now - written > maxAgeSeconds && !Remove(*id, QueuePlace::failed)) {
            ++removed;
        }
    }
    return removed;
}

} // namespace lumenpost
