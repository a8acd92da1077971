#include "system/settings_file.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace lumenpost {

QString SettingsFileName(const QString& executablePath) {
    const QString name = QFileInfo(executablePath).fileName().toLower();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot >= 0 && dot == name.size() - 4) {
        return name.left(dot + 1) + QStringLiteral("ini");
    }
    return name + QStringLiteral(".ini");
}

QString ConfigHome() {
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured)) {
        return configured;
    }
    return QDir::homePath() + QStringLiteral("/.config");
}

QString SettingsFile::Text(const char* key, const QString& fallback) const {
    const QSettings ini(path_, QSettings::IniFormat);
    const QVariant value = ini.value(QLatin1String(key), fallback);
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

bool SettingsFile::Flag(const char* key, bool fallback) const {
    const QSettings ini(path_, QSettings::IniFormat);
    const QVariant value = ini.value(QLatin1String(key));
    return value.isValid() ? value.toInt() != 0 : fallback;
}

std::optional<QString> SettingsFile::Write(std::initializer_list<SettingsEntry> entries) const {
    QSettings ini(path_, QSettings::IniFormat);
    for (const SettingsEntry& entry : entries) {
        ini.setValue(QLatin1String(entry.key), entry.value);
    }
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        return QStringLiteral("Unable to write to %1").arg(path_);
    }
    return std::nullopt;
}

} // namespace lumenpost
