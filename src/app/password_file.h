#pragma once

#include <QString>
#include <optional>
#include <string>

namespace lumenpost {

// The relay host's password as --password-file gives it, or why it cannot be used.
struct PasswordFileRead {
    std::optional<std::string> password;
    QString error;
};

// The first line of the regular file at `path`, without its line end (LF or CR LF). A
// file that group or others may read is refused: a password there is no secret.
PasswordFileRead ReadPasswordFile(const QString& path);

} // namespace lumenpost
