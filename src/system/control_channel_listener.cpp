#include "system/control_channel_listener.h"

#include <QFile>
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost {
namespace {

constexpr int kBacklog = 16;

QString FailureText(const char* what, const QString& path) {
    const int err = errno;
    return QStringLiteral("cannot %1 the control socket %2 (%3)")
        .arg(QLatin1StringView(what), path, ErrnoText(err));
}

} // namespace

ControlListener::~ControlListener() {
    if (!createdFile_.isEmpty()) {
        unlink(createdFile_.constData());
    }
}

std::optional<QString> ControlListener::Open(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    const std::optional<sockaddr_un> address = UnixAddress(encoded);
    if (!address) {
        return UnfitPathText(path);
    }
    if (unlink(encoded.constData()) != 0 && errno != ENOENT) {
        return FailureText("remove the stale file at", path);
    }
    fd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_.Valid()) {
        return FailureText("create", path);
    }
    if (auto error = Bind(path, *address)) {
        return error;
    }
    if (listen(fd_.Get(), kBacklog) != 0) {
        return FailureText("listen on", path);
    }
    return std::nullopt;
}

// The file gets its mode before listen(), so no one connects while it is still open
// to others: until then a connection attempt is refused.
std::optional<QString> ControlListener::Bind(const QString& path, const sockaddr_un& address) {
    if (bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return FailureText("bind", path);
    }
    createdFile_ = QFile::encodeName(path);
    if (chmod(createdFile_.constData(), S_IRUSR | S_IWUSR) != 0) {
        return FailureText("restrict the rights of", path);
    }
    return std::nullopt;
}

UniqueFd ControlListener::Accept() const {
    return UniqueFd(accept4(fd_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

} // namespace lumenpost
