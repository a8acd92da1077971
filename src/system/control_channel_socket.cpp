#include "system/control_channel_socket.h"

#include <QFile>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace lumenpost {
namespace {

// sun_path keeps one octet for the terminating NUL.
constexpr std::size_t kLongestPath = sizeof(sockaddr_un::sun_path) - 1;

} // namespace

OneFileMessage::OneFileMessage(void* data, std::size_t size) : part{data, size} {
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
}

std::optional<sockaddr_un> UnixAddress(const QByteArray& path) {
    if (path.isEmpty() || static_cast<std::size_t>(path.size()) > kLongestPath) {
        return std::nullopt;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    return address;
}

QString UnfitPathText(const QString& path) {
    if (path.isEmpty()) {
        return QStringLiteral("the control socket path is empty");
    }
    return QStringLiteral("the control socket path %1 is too long for a local socket (%2 "
                          "octets, at most %3); set XDG_RUNTIME_DIR to a shorter folder")
        .arg(path)
        .arg(QFile::encodeName(path).size())
        .arg(kLongestPath);
}

QString ErrnoText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace lumenpost
