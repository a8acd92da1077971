#pragma once

#include <QString>
#include <optional>

namespace lumenpost {

// The desktop's autostart entry "lumenpost.desktop" in <config home>/autostart, which
// starts the executable at login. It exists while the "autorun" setting is on.
class AutostartEntry {
public:
    AutostartEntry(const QString& configHome, QString executablePath);

    const QString& Path() const { return path_; }

    // Writes the entry (autorun on) or removes it (autorun off). Writing that fails
    // returns "Failed to set data for 'lumenpost'"; removing never reports an error.
    std::optional<QString> Apply(bool autorun) const;

    // The entry's Exec value for a program path, quoted and escaped where the path
    // holds blanks or other characters that the desktop entry format reserves.
    static QString ExecValue(const QString& executablePath);

private:
    QString path_;
    QString executablePath_;
};

} // namespace lumenpost
