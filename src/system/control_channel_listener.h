#pragma once

#include "system/control_channel_socket.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace lumenpost {

// The listening socket of the control channel and the socket file it created, which
// goes with it.
class ControlListener {
public:
    ControlListener() = default;
    ~ControlListener();
    ControlListener(const ControlListener&) = delete;
    ControlListener& operator=(const ControlListener&) = delete;

    // Replaces whatever is at `path` by a listening socket of mode 0600; nullopt on
    // success, else one line that says what failed. Call once.
    std::optional<QString> Open(const QString& path);

    int Handle() const { return fd_.Get(); }

    // The next waiting connection, non-blocking; an invalid holder when none waits.
    UniqueFd Accept() const;

private:
    std::optional<QString> Bind(const QString& path, const sockaddr_un& address);

    UniqueFd fd_;
    QByteArray createdFile_; // set once bind made it
};

} // namespace lumenpost
