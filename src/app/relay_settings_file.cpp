#include "app/relay_settings_file.h"

#include <limits>

namespace lumenpost {
namespace {

constexpr auto kDns = "config/dns";
constexpr auto kPostmaster = "config/postmaster";
constexpr auto kAutorun = "config/autorun";
constexpr auto kAutomin = "config/automin";
constexpr auto kAutobeep = "config/autobeep";
constexpr auto kAutoback = "config/autoback";
constexpr auto kMaxSize = "config/maxsize";
constexpr auto kDeliveries = "config/deliveries";
constexpr auto kRetry = "config/retry";
constexpr auto kQueueLife = "config/queuelife";
constexpr auto kTls = "config/tls";
constexpr auto kRelayHost = "config/relayhost";
constexpr auto kRelayUser = "config/relayuser";

// A whole number from `lowest` to `highest`; nothing for anything else.
std::optional<std::int64_t> NumberIn(const QString& text, std::int64_t lowest,
                                     std::int64_t highest) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    if (!ok || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

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
    // The keys beyond the six are optional: missing or invalid gives the default.
    constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
    settings.maxsize = NumberIn(file_.Text(kMaxSize, {}), 1, kLargest).value_or(defaults.maxsize);
    settings.deliveries = static_cast<int>(
        NumberIn(file_.Text(kDeliveries, {}), 1, kMaxDeliveries).value_or(defaults.deliveries));
    settings.retry =
        RetrySchedule::Parse(file_.Text(kRetry, {}).toStdString()).value_or(defaults.retry);
    settings.queuelife =
        NumberIn(file_.Text(kQueueLife, {}), 0, kLargest).value_or(defaults.queuelife);
    settings.tls = ParseTlsPolicy(file_.Text(kTls, {}).trimmed().toLower().toStdString())
                       .value_or(defaults.tls);
    settings.relayhost = file_.Text(kRelayHost, defaults.relayhost).trimmed();
    settings.relayuser = file_.Text(kRelayUser, defaults.relayuser);
    return settings;
}

std::optional<QString> RelaySettingsFile::Write(const RelaySettings& settings) const {
    return file_.Write({{kDns, settings.dns},
                        {kPostmaster, settings.postmaster},
                        {kAutorun, SettingsFile::FlagValue(settings.autorun)},
                        {kAutomin, SettingsFile::FlagValue(settings.automin)},
                        {kAutobeep, SettingsFile::FlagValue(settings.autobeep)},
                        {kAutoback, SettingsFile::FlagValue(settings.autoback)},
                        {kMaxSize, static_cast<qlonglong>(settings.maxsize)},
                        {kDeliveries, settings.deliveries},
                        {kRetry, QString::fromStdString(settings.retry.ToString())},
                        {kQueueLife, static_cast<qlonglong>(settings.queuelife)},
                        {kTls, QString::fromLatin1(TlsPolicyName(settings.tls))},
                        {kRelayHost, settings.relayhost},
                        {kRelayUser, settings.relayuser}});
}

} // namespace lumenpost
