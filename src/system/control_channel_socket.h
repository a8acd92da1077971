#pragma once

#include "platform/unique_fd.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/un.h>

namespace lumenpost {

// The address of the local socket at `path` (file-name encoding); nullopt when the
// path is empty (that would name an abstract socket) or does not fit into sun_path
// with its terminating NUL.
std::optional<sockaddr_un> UnixAddress(const QByteArray& path);

// The one-line text that says why UnixAddress refused `path` and what to do.
QString UnfitPathText(const QString& path);

// The system's text for an errno value.
QString ErrnoText(int err);

} // namespace lumenpost
