#include "delivery/message_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost {

namespace {

std::string ErrnoText(int err) {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (maybe not in `buffer`).
    return strerror_r(err, buffer, sizeof buffer);
}

} // namespace

FileMessageSource::FileMessageSource(const std::string& path)
    : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat status {};
    if (fd_ < 0 || fstat(fd_, &status) != 0) {
        const int err = errno;
        Fail(path + ": ", err);
        return;
    }
    size_ = static_cast<std::int64_t>(status.st_size);
}

FileMessageSource::~FileMessageSource() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void FileMessageSource::Fail(const std::string& prefix, int err) {
    failed_ = true;
    errorText_ = prefix + ErrnoText(err);
}

bool FileMessageSource::Next(std::string& chunk) {
    if (failed_) {
        return false;
    }
    chunk.resize(kMessagePieceSize);
    ssize_t count = 0;
    do {
        count = read(fd_, chunk.data(), chunk.size());
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        Fail("", errno);
    }
    chunk.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return count > 0;
}

bool FileMessageSource::Rewind() {
    if (failed_) {
        return false;
    }
    if (lseek(fd_, 0, SEEK_SET) != 0) {
        Fail("", errno);
        return false;
    }
    return true;
}

bool StringMessageSource::Rewind() {
    handedOut_ = 0;
    return true;
}

bool StringMessageSource::Next(std::string& chunk) {
    const std::size_t count = std::min(kMessagePieceSize, text_.size() - handedOut_);
    chunk.assign(text_, handedOut_, count);
    handedOut_ += count;
    return count > 0;
}

} // namespace lumenpost
