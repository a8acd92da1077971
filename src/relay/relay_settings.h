#pragma once

#include <QString>

namespace lumenpost {

// Built-in values for a first start without a settings file.
inline constexpr const char* kDefaultDns = "223.5.5.5";
inline constexpr const char* kDefaultPostmaster = "postmaster@localhost";

// The six settings of the relay, as the settings file keeps them (section "config").
struct RelaySettings {
    QString dns = QString::fromLatin1(kDefaultDns);               // key "dns"
    QString postmaster = QString::fromLatin1(kDefaultPostmaster); // key "postmaster"
    bool autorun = false;                                         // key "autorun"
    bool automin = false;                                         // key "automin"
    bool autobeep = true;                                         // key "autobeep"
    bool autoback = true;                                         // key "autoback"

    bool operator==(const RelaySettings&) const = default;
};

} // namespace lumenpost
