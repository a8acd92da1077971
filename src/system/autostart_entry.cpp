#include "system/autostart_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

namespace lumenpost {
namespace {

constexpr auto kValueName = "lumenpost";

// Characters that make an Exec argument need quotes.
bool NeedsQuotes(const QString& path) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return std::any_of(path.begin(), path.end(), [](QChar c) { return reserved.contains(c); });
}

} // namespace

AutostartEntry::AutostartEntry(const QString& configHome, QString executablePath)
    : path_(configHome + QStringLiteral("/autostart/%1.desktop").arg(QLatin1String(kValueName))),
      executablePath_(std::move(executablePath)) {}

QString AutostartEntry::ExecValue(const QString& executablePath) {
    QString arg = executablePath;
    arg.replace(u'%', QStringLiteral("%%")); // field codes start with %
    if (NeedsQuotes(arg)) {
        QString quoted;
        for (QChar c : arg) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
                quoted += u'\\';
            }
            quoted += c;
        }
        arg = u'"' + quoted + u'"';
    }
    // The entry's string values escape backslashes once more.
    return arg.replace(u'\\', QStringLiteral("\\\\"));
}

std::optional<QString> AutostartEntry::Apply(bool autorun) const {
    if (!autorun) {
        QFile::remove(path_);
        return std::nullopt;
    }
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Lumenpost\n"
                                        "Comment=Desktop mail relay\n"
                                        "Exec=%1\n"
                                        "Terminal=false\n")
                             .arg(ExecValue(executablePath_));
    QSaveFile file(path_);
    const bool written = QDir().mkpath(QFileInfo(path_).path()) &&
                         file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 &&
                         file.commit();
    if (!written) {
        return QStringLiteral("Failed to set data for '%1'").arg(QLatin1String(kValueName));
    }
    return std::nullopt;
}

} // namespace lumenpost
