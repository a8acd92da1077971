#include "app/system_services.h"

#include "delivery/exchanger_resolver.h"
#include "delivery/message_delivery.h"
#include "net_events/socket_names.h"
#include "system/alert_tones.h"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

namespace lumenpost {
namespace {

// LUMENPOST_NET_TIMEOUT_MS shortens every network wait of a delivery (DNS, connect, reply),
// so that the end-to-end tests do not wait minutes for a silent peer.
std::optional<std::int32_t> NetTimeoutOverride() {
    const char* text = std::getenv("LUMENPOST_NET_TIMEOUT_MS");
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::string_view digits(text);
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value <= 0) {
        return std::nullopt;
    }
    return value;
}

// LUMENPOST_CA_FILE names PEM certificates trusted beside the system's CA store for a
// relay host's certificate, such as a company's own CA (or a test CA).
std::string ExtraCaFile() {
    const char* path = std::getenv("LUMENPOST_CA_FILE");
    return path == nullptr ? std::string() : std::string(path);
}

} // namespace

RelayServices SystemRelayServices() {
    RelayServices services;
    const std::optional<std::int32_t> timeout = NetTimeoutOverride();
    ExchangerResolver::Options resolving;
    resolving.timeoutMs = timeout.value_or(resolving.timeoutMs);
    // One resolver for every pass, so that its cache serves them all.
    auto resolver = std::make_shared<ExchangerResolver>(std::move(resolving));
    services.ResolveRoute = [resolver](const std::string& dnsServer, const std::string& domain) {
        return resolver->Resolve(dnsServer, domain);
    };
    services.ResolveRelayHost = [resolver](const std::string& dnsServer, const std::string& host,
                                           std::uint16_t port) {
        return resolver->ResolveHost(dnsServer, host, port);
    };
    services.DeliverMessage = [timeout, caFile = ExtraCaFile()](
                                  const RelayJob& job, const std::vector<std::string>& recipients,
                                  const std::vector<Exchanger>& exchangers,
                                  DeliveryOptions options) {
        if (timeout) {
            options.replyTimeoutMs = options.connectTimeoutMs = *timeout;
        }
        if (options.submission) {
            options.submission->caFile = caFile;
        }
        FileMessageSource message(job.dataPath);
        return lumenpost::DeliverMessage(job.MailSender, recipients, exchangers, message,
                                         job.traits, options);
    };
    services.PlayAlert = [](int pattern) { lumenpost::PlayAlert(pattern); };
    services.Now = UnixNow;
    return services;
}

std::int64_t UnixNow() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string ThisMachineName() {
    try {
        return LocalMachineName();
    } catch (const std::exception&) {
        return "localhost";
    }
}

} // namespace lumenpost
