#include "app/relay_settings_file.h"

namespace lumenpost {
namespace {

constexpr auto kDns = "config/dns";
constexpr auto kPostmaster = "config/postmaster";
constexpr auto kAutorun = "config/autorun";
constexpr auto kAutomin = "config/automin";
constexpr auto kAutobeep = "config/autobeep";
constexpr auto kAutoback = "config/autoback";

} // namespace

RelaySettings RelaySettingsFile::Read() const {
    const RelaySettings defaults;
    RelaySettings settings;
    settings.dns = file_.Text(kDns, defaults.dns);
    settings.postmaster = file_.Text(kPostmaster, defaults.postmaster);
    settings.autorun = file_.Flag(kAutorun, defaults.autorun);
    settings.automin = file_.Flag(kAutomin, defaults.automin);
    settings.autobeep = file_.Flag(kAutobeep, defaults.autobeep);
    settings.autoback = file_.Flag(kAutoback, defaults.autoback);
    return settings;
}

std::optional<QString> RelaySettingsFile::Write(const RelaySettings& settings) const {
    return file_.Write({{kDns, settings.dns},
                        {kPostmaster, settings.postmaster},
                        {kAutorun, SettingsFile::FlagValue(settings.autorun)},
                        {kAutomin, SettingsFile::FlagValue(settings.automin)},
                        {kAutobeep, SettingsFile::FlagValue(settings.autobeep)},
                        {kAutoback, SettingsFile::FlagValue(settings.autoback)}});
}

} // namespace lumenpost
