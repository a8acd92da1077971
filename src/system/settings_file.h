#pragma once

#include <QString>
#include <QVariant>
#include <initializer_list>
#include <optional>

namespace lumenpost {

// The settings file's name for an executable: its file name, lower-cased, with a
// three-letter extension replaced by "ini" or, without one, ".ini" appended
// (Relay.EXE -> relay.ini, lumenpost -> lumenpost.ini).
QString SettingsFileName(const QString& executablePath);

// $XDG_CONFIG_HOME when set to an absolute path, else ~/.config.
QString ConfigHome();

// One key of the settings file and the value to store under it.
struct SettingsEntry {
    const char* key; // "config/<name>"
    QVariant value;
};

// The program's INI file: how texts and flags are stored and read back. Which keys
// there are is the caller's business.
class SettingsFile {
public:
    explicit SettingsFile(QString path) : path_(std::move(path)) {}

    const QString& Path() const { return path_; }

    // The text under `key`, or `fallback` when the key (or the file) is missing. A
    // hand-edited value with unquoted commas reads back as one text.
    QString Text(const char* key, const QString& fallback) const;

    // A flag stored as an integer: any non-zero value counts as on.
    bool Flag(const char* key, bool fallback) const;

    // How a flag is stored.
    static int FlagValue(bool on) { return on ? 1 : 0; }

    // Writes the entries and flushes the file. Returns "Unable to write to <path>" when
    // that fails.
    std::optional<QString> Write(std::initializer_list<SettingsEntry> entries) const;

private:
    QString path_;
};

} // namespace lumenpost
