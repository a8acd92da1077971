#pragma once

#include "relay/relay_settings.h"
#include "system/settings_file.h"

#include <QString>
#include <optional>

namespace lumenpost {

// The settings of the relay in the settings file, section "config".
class RelaySettingsFile {
public:
    explicit RelaySettingsFile(QString path) : file_(std::move(path)) {}

    const QString& Path() const { return file_.Path(); }

    // Missing keys (or a missing file) give the built-in defaults.
    RelaySettings Read() const;

    // Writes every key. Returns "Unable to write to <path>" when that fails.
    std::optional<QString> Write(const RelaySettings& settings) const;

private:
    SettingsFile file_;
};

} // namespace lumenpost
