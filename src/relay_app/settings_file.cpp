#include "relay_app/settings_file.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace lumenpost {
namespace {

constexpr auto kDns = "config/dns";
constexpr auto kPostmaster = "config/postmaster";
constexpr auto kAutorun = "config/autorun";
constexpr auto kAutomin = "config/automin";
constexpr auto kAutobeep = "config/autobeep";
constexpr auto kAutoback = "config/autoback";

// Flags are stored as integers; any non-zero value counts as on.
bool ReadFlag(const QSettings& ini, const char* key, bool fallback) {
    const QVariant value = ini.value(QLatin1String(key));
    return value.isValid() ? value.toInt() != 0 : fallback;
}

// A hand-edited value with unquoted commas reads back as a list; keep it as one text.
QString ReadText(const QSettings& ini, const char* key, const QString& fallback) {
    const QVariant value = ini.value(QLatin1String(key), fallback);
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

} // namespace

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

RelaySettings SettingsFile::Read() const {
    const QSettings ini(path_, QSettings::IniFormat);
    const RelaySettings defaults;
    RelaySettings settings;
    settings.dns = ReadText(ini, kDns, defaults.dns);
    settings.postmaster = ReadText(ini, kPostmaster, defaults.postmaster);
    settings.autorun = ReadFlag(ini, kAutorun, defaults.autorun);
    settings.automin = ReadFlag(ini, kAutomin, defaults.automin);
    settings.autobeep = ReadFlag(ini, kAutobeep, defaults.autobeep);
    settings.autoback = ReadFlag(ini, kAutoback, defaults.autoback);
    return settings;
}

std::optional<QString> SettingsFile::Write(const RelaySettings& settings) const {
    QSettings ini(path_, QSettings::IniFormat);
    ini.setValue(QLatin1String(kDns), settings.dns);
    ini.setValue(QLatin1String(kPostmaster), settings.postmaster);
    ini.setValue(QLatin1String(kAutorun), settings.autorun ? 1 : 0);
    ini.setValue(QLatin1String(kAutomin), settings.automin ? 1 : 0);
    ini.setValue(QLatin1String(kAutobeep), settings.autobeep ? 1 : 0);
    ini.setValue(QLatin1String(kAutoback), settings.autoback ? 1 : 0);
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        return QStringLiteral("Unable to write to %1").arg(path_);
    }
    return std::nullopt;
}

} // namespace lumenpost
