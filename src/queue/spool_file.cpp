#include "queue/folder_sync_group.h"
#include "queue/queue_files.h"
#include "queue/queue_folder.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace lumenpost {

namespace {
// What Append keeps before it writes: the most memory a message being received takes.
constexpr std::size_t kBufferSize = 64 * 1024;
} // namespace

SpoolFile::SpoolFile(std::string folder, std::string id, int fd)
    : folder_(std::move(folder)), id_(std::move(id)), fd_(fd) {
    buffer_.reserve(kBufferSize);
}

SpoolFile::~SpoolFile() {
    if (!committed_) {
        Abandon();
    }
}

std::string SpoolFile::PathOf(std::string_view suffix) const {
    std::string path = folder_;
    path += '/';
    path += id_;
    path += suffix;
    return path;
}

bool SpoolFile::Append(std::string_view bytes) {
    if (!error_.empty()) {
        return false;
    }
    if (fd_ < 0) {
        error_ = "the message " + id_ + (committed_ ? " is already committed" : " was abandoned");
        return false;
    }
    if (buffer_.size() + bytes.size() > kBufferSize && !Flush()) {
        return false;
    }
    if (bytes.size() >= kBufferSize) {
        // Large blocks go straight to the file: no copy, and the buffer stays its size.
        if (const auto err = queue_files::WriteFully(fd_, bytes)) {
            error_ = queue_files::ErrorText("cannot write", PathOf(".data.tmp"), *err);
            return false;
        }
    } else {
        buffer_.append(bytes);
    }
    size_ += static_cast<std::int64_t>(bytes.size());
    return true;
}

bool SpoolFile::Flush() {
    if (!error_.empty()) {
        return false;
    }
    const auto err = queue_files::WriteFully(fd_, buffer_);
    buffer_.clear();
    if (err) {
        error_ = queue_files::ErrorText("cannot write", PathOf(".data.tmp"), *err);
        return false;
    }
    return true;
}

std::optional<std::string> SpoolFile::Commit(const Envelope& envelope) {
    return Commit(envelope, nullptr);
}

std::optional<std::string> SpoolFile::Commit(const Envelope& envelope, FolderSyncGroup& group) {
    return Commit(envelope, &group);
}

std::optional<std::string> SpoolFile::Commit(const Envelope& envelope, FolderSyncGroup* group) {
    if (committed_) {
        return "the message " + id_ + " is already committed";
    }
    if (fd_ < 0) {
        return "the message " + id_ + " was abandoned";
    }
    if (auto failure = Finish(envelope, group)) {
        Discard();
        return failure;
    }
    committed_ = true;
    return std::nullopt;
}

std::optional<std::string> SpoolFile::Finish(const Envelope& envelope, FolderSyncGroup* group) {
    if (envelope.id != id_) {
        return "the envelope's id " + envelope.id + " is not the message's id " + id_;
    }
    if (!Flush()) {
        return error_;
    }
    const std::string dataTmp = PathOf(".data.tmp");
    const int fd = fd_;
    fd_ = -1;
    if (const auto err = queue_files::SyncAndClose(fd)) {
        return queue_files::ErrorText("cannot write", dataTmp, *err);
    }
    const std::string data = PathOf(".data");
    if (std::rename(dataTmp.c_str(), data.c_str()) != 0) {
        return queue_files::ErrorText("cannot rename " + dataTmp + " to", data, errno);
    }
    if (auto failure = queue_files::ReplaceFile(PathOf(".env.tmp"), PathOf(".env"),
                                                FormatEnvelope(envelope))) {
        return failure;
    }
    return group != nullptr ? group->SyncAfterRenames() : queue_files::SyncFolder(folder_);
}

void SpoolFile::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    // The envelope first: a data file without envelope is set aside at the next load
    // should this stop half-way, an envelope alone too.
    for (const std::string_view suffix : {".env", ".env.tmp", ".data", ".data.tmp"}) {
        ::unlink(PathOf(suffix).c_str());
    }
}

void SpoolFile::Abandon() {
    if (committed_) {
        return;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(PathOf(".data.tmp").c_str());
    }
    buffer_ = std::string();
}

} // namespace lumenpost
