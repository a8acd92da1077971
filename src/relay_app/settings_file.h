#pragma once

#include "relay_app/relay_settings.h"

#include <QString>
#include <optional>

namespace lumenpost {

// The settings file's name for an executable: its file name, lower-cased, with a
// three-letter extension replaced by "ini" or, without one, ".ini" appended
// (Relay.EXE -> relay.ini, lumenpost -> lumenpost.ini).
QString SettingsFileName(const QString& executablePath);

// $XDG_CONFIG_HOME when set to an absolute path, else ~/.config.
QString ConfigHome();

// The INI file that keeps the six settings in section "config".
class SettingsFile {
public:
    explicit SettingsFile(QString path) : path_(std::move(path)) {}

    const QString& Path() const { return path_; }

    // Missing keys (or a missing file) give the built-in defaults.
    RelaySettings Read() const;

    // Writes all six keys. Returns "Unable to write to <path>" when that fails.
    std::optional<QString> Write(const RelaySettings& settings) const;

private:
    QString path_;
};

} // namespace lumenpost
