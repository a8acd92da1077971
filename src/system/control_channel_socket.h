#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/un.h>
#include <utility>

namespace lumenpost {

// Owns one file descriptor and closes it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes the held descriptor and holds `fd` instead.
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// The address of the local socket at `path` (file-name encoding); nullopt when the
// path is empty (that would name an abstract socket) or does not fit into sun_path
// with its terminating NUL.
std::optional<sockaddr_un> UnixAddress(const QByteArray& path);

// The one-line text that says why UnixAddress refused `path` and what to do.
QString UnfitPathText(const QString& path);

// The system's text for an errno value.
QString ErrnoText(int err);

} // namespace lumenpost
