#pragma once

#include "delivery/message_delivery.h"
#include "queue/retry_schedule.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <string_view>

namespace lumenpost {

// Built-in values for a first start without a settings file.
inline constexpr const char* kDefaultDns = "223.5.5.5";
inline constexpr const char* kDefaultPostmaster = "postmaster@localhost";
inline constexpr std::int64_t kDefaultMaxSize = 52428800;
inline constexpr int kDefaultDeliveries = 4;
inline constexpr int kMaxDeliveries = 64;
inline constexpr std::int64_t kDefaultQueueLife = 345600;

// The settings of the relay, as the settings file keeps them (section "config").
struct RelaySettings {
    QString dns = QString::fromLatin1(kDefaultDns);               // key "dns"
    QString postmaster = QString::fromLatin1(kDefaultPostmaster); // key "postmaster"
    bool autorun = false;                                         // key "autorun"
    bool automin = false;                                         // key "automin"
    bool autobeep = true;                                         // key "autobeep"
    bool autoback = true;                                         // key "autoback"
    std::int64_t maxsize = kDefaultMaxSize;     // key "maxsize": largest message, octets
    int deliveries = kDefaultDeliveries;        // key "deliveries": attempts at once, 1..64
    RetrySchedule retry;                        // key "retry"
    std::int64_t queuelife = kDefaultQueueLife; // key "queuelife": seconds
    TlsPolicy tls = TlsPolicy::may;             // key "tls": none, may, encrypt
    QString relayhost; // key "relayhost": empty, "host" or "host:port": every message goes there
    QString relayuser; // key "relayuser": user name for AUTH at the relay host

    bool operator==(const RelaySettings&) const = default;
};

// "none", "may", "encrypt": the values of the "tls" key.
inline std::string_view TlsPolicyName(TlsPolicy policy) {
    switch (policy) {
    case TlsPolicy::none:
        return "none";
    case TlsPolicy::encrypt:
        return "encrypt";
    case TlsPolicy::may:
        break;
    }
    return "may";
}

inline std::optional<TlsPolicy> ParseTlsPolicy(std::string_view name) {
    for (const TlsPolicy policy : {TlsPolicy::none, TlsPolicy::may, TlsPolicy::encrypt}) {
        if (TlsPolicyName(policy) == name) {
            return policy;
        }
    }
    return std::nullopt;
}

} // namespace lumenpost
