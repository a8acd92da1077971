#include "app/password_file.h"
#include "platform/unique_fd.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost {
namespace {

// A password is one short line; more than this is not a password file.
constexpr std::size_t kLineLimit = 4096;

QString SystemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Up to kLineLimit octets; false on a read error (errno says which).
bool ReadHead(int fd, std::string& text) {
    std::array<char, kLineLimit> buffer{};
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t count = read(fd, buffer.data() + filled, buffer.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    text.assign(buffer.data(), filled);
    return true;
}

// Checked on the opened file, so that it cannot be swapped between check and read.
std::optional<QString> Unfit(int fd, const QString& path) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return QStringLiteral("--password-file %1 cannot be read: %2")
            .arg(path, SystemError(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return QStringLiteral("--password-file %1 is not a regular file").arg(path);
    }
    if ((status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        return QStringLiteral("--password-file %1 may be read by group or others "
                              "(mode %2); make it private with: chmod 600 %1")
            .arg(path, QString::number(status.st_mode & 07777, 8).rightJustified(4, u'0'));
    }
    return std::nullopt;
}

} // namespace

PasswordFileRead ReadPasswordFile(const QString& path) {
    const UniqueFd file(open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        return {std::nullopt, QStringLiteral("--password-file %1 cannot be opened: %2")
                                  .arg(path, SystemError(errno))};
    }
    if (auto error = Unfit(file.Get(), path)) {
        return {std::nullopt, *error};
    }
    std::string text;
    if (!ReadHead(file.Get(), text)) {
        return {
            std::nullopt,
            QStringLiteral("--password-file %1 cannot be read: %2").arg(path, SystemError(errno))};
    }
    std::string line = text.substr(0, text.find('\n'));
    if (line.ends_with('\r')) {
        line.pop_back();
    }
    if (line.empty()) {
        return {std::nullopt,
                QStringLiteral("--password-file %1 has no password on its first line").arg(path)};
    }
    return {std::move(line), {}};
}

} // namespace lumenpost
