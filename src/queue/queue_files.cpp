#include "queue/queue_files.h"

#include "platform/ascii_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost::queue_files {

bool IsQueueId(std::string_view id) {
    if (id.empty() || id.size() > 64) {
        return false;
    }
    return std::all_of(id.begin(), id.end(), IsAsciiLetterOrDigit);
}

std::string ErrorText(std::string_view what, const std::string& path, int err) {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (maybe not in `buffer`).
    const char* reason = strerror_r(err, buffer, sizeof buffer);
    std::string text(what);
    text += ' ';
    text += path;
    text += ": ";
    text += reason;
    return text;
}

std::optional<int> WriteFully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return ENOSPC;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
}

std::optional<int> SyncAndClose(int fd) {
    std::optional<int> failure;
    if (::fsync(fd) != 0) {
        failure = errno;
    }
    // A failing close (NFS, EIO) loses written data as much as a failing write does.
    if (::close(fd) != 0 && !failure && errno != EINTR) {
        failure = errno;
    }
    return failure;
}

std::optional<std::string> ReplaceFile(const std::string& tmpPath, const std::string& finalPath,
                                       std::string_view content) {
    const int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return ErrorText("cannot create", tmpPath, errno);
    }
    std::optional<int> failure = WriteFully(fd, content);
    const std::optional<int> syncFailure = SyncAndClose(fd);
    if (!failure) {
        failure = syncFailure;
    }
    if (failure) {
        ::unlink(tmpPath.c_str());
        return ErrorText("cannot write", tmpPath, *failure);
    }
    if (::rename(tmpPath.c_str(), finalPath.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmpPath.c_str());
        return ErrorText("cannot rename " + tmpPath + " to", finalPath, err);
    }
    return std::nullopt;
}

std::optional<std::string> SyncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return ErrorText("cannot open the folder", path, errno);
    }
    if (const auto failure = SyncAndClose(fd)) {
        return ErrorText("cannot sync the folder", path, *failure);
    }
    return std::nullopt;
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit,
                                         std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = ErrorText("cannot open", path, errno);
        return std::nullopt;
    }
    std::string content;
    char chunk[8192];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = ErrorText("cannot read", path, errno);
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(got));
        if (content.size() > limit) {
            error = "the file " + path + " is larger than " + std::to_string(limit) + " bytes";
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return content;
}

std::optional<std::string> MakePrivateFolder(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            return ErrorText("cannot create the queue folder", path, errno);
        }
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return ErrorText("cannot create the queue folder", path, errno);
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return ErrorText("cannot create the queue folder", path, errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return ErrorText("cannot create the queue folder", path, ENOTDIR);
    }
    if ((status.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
        return ErrorText("cannot restrict the rights of the queue folder", path, errno);
    }
    return std::nullopt;
}

std::optional<std::string> MoveIntoFolder(const std::string& folder, const std::string& name,
                                          const std::string& targetFolder) {
    const std::string from = folder + "/" + name;
    std::string to = targetFolder + "/" + name;
    // A file set aside earlier under the same name is kept: the new one gets a number.
    for (int copy = 1;
         ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0; ++copy) {
        if (errno != EEXIST || copy > 99) {
            return ErrorText("cannot move " + from + " to", to, errno);
        }
        to = targetFolder + "/" + name + "." + std::to_string(copy);
    }
    return std::nullopt;
}

bool RemoveFile(const std::string& path, std::string& error) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    error = ErrorText("cannot remove", path, errno);
    return false;
}

} // namespace lumenpost::queue_files
