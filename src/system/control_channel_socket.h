#pragma once

#include "platform/unique_fd.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>

namespace lumenpost {

// A message header over one buffer, with room for one descriptor passed beside it
// (SCM_RIGHTS). It points into itself, so it stays where it was made.
struct OneFileMessage {
    OneFileMessage(void* data, std::size_t size);
    OneFileMessage(const OneFileMessage&) = delete;
    OneFileMessage& operator=(const OneFileMessage&) = delete;

    iovec part;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
    msghdr header{};
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
