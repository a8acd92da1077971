#pragma once

#include "relay/relay_settings.h"

#include <QString>
#include <map>
#include <optional>

namespace lumenpost {

// The settings beyond the window's six as a person types them: sizes in MiB, the queue
// life in hours, the rest as in the settings file.
struct AdvancedSettingsText {
    QString maxsizeMiB;
    QString deliveries;
    QString retry;
    QString queuelifeHours;
    QString tls; // "none", "may", "encrypt"
    QString relayhost;
    QString relayuser;

    static AdvancedSettingsText From(const RelaySettings& settings);
};

// The fields a message can stand next to.
enum class AdvancedField { maxsize, deliveries, retry, queuelife, tls, relayhost, relayuser };

struct AdvancedSettingsCheck {
    // What is wrong with each field that is wrong, in words the person can act on.
    std::map<AdvancedField, QString> errors;
    // `base` with the typed values, when no field is wrong.
    std::optional<RelaySettings> settings;
};

inline constexpr std::int64_t kMiB = 1024 * 1024;
inline constexpr int kLargestMessageMiB = 102400; // 100 GiB
inline constexpr int kLongestQueueLifeHours = 24 * 366;

// Checks every field and, when all are right, applies them to `base`.
AdvancedSettingsCheck CheckAdvancedSettings(const AdvancedSettingsText& text,
                                            const RelaySettings& base);

} // namespace lumenpost
