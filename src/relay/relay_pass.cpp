#include "relay/relay_pass.h"

#include "delivery/relay_host.h"
#include "platform/ascii_text.h"
#include "relay/relay_phrases.h"

#include <array>
#include <ctime>
#include <exception>
#include <limits>

namespace lumenpost {
namespace {

// The failure alert: patterns 0, 1, 0, nine tones in all.
constexpr std::array<int, 3> kFailureAlert = {0, 1, 0};

std::string NormalizeAddress(const std::string& address) {
    return Trim(LowerAscii(address));
}

// The working fields of one pass. Each pass has its own, so overlapping passes never
// see each other's exchangers.
class RelayPass {
public:
    RelayPass(const RelayJob& job, const RelayPassSettings& settings, const RelayServices& services)
        : job_(job), settings_(settings), services_(services) {}

    std::vector<RelayOutcome> Run() {
        const MessageDeliveryResult delivery = Deliver();
        std::vector<RelayOutcome> outcomes;
        for (std::size_t i = 0; i < job_.recipients.size(); ++i) {
            const DeliveryResult result =
                i < delivery.recipients.size()
                    ? delivery.recipients[i]
                    : DeliveryResult{DeliveryStatus::temporary, "no result for this recipient"};
            RelayOutcome outcome = OutcomeOf(job_.recipients[i], result);
            outcome.exchanger = delivery.exchanger;
            outcome.tls = result.status == DeliveryStatus::delivered ? delivery.tls : "";
            outcomes.push_back(std::move(outcome));
        }
        return outcomes;
    }

private:
    // The same result for every recipient: nothing was said about any of them alone.
    MessageDeliveryResult ForEveryRecipient(DeliveryStatus status, std::string reason) const {
        MessageDeliveryResult result;
        result.recipients.assign(job_.recipients.size(), DeliveryResult{status, std::move(reason)});
        return result;
    }

    // A lookup or delivery that raises is a temporary failure: the message stays queued.
    MessageDeliveryResult Deliver() {
        try {
            // This machine's own names loop whatever the DNS server says about them.
            if (auto loop = LoopReason({})) {
                return ForEveryRecipient(DeliveryStatus::permanent, std::move(*loop));
            }
            DeliveryOptions options;
            options.tls = settings_.tls;
            const Route route = settings_.relayhost.empty()
                                    ? services_.ResolveRoute(settings_.dns, job_.domain)
                                    : RelayHostRoute(options);
            if (route.status != RouteStatus::found) {
                return ForEveryRecipient(route.status == RouteStatus::permanent
                                             ? DeliveryStatus::permanent
                                             : DeliveryStatus::temporary,
                                         route.reason);
            }
            if (auto loop = LoopReason(route.exchangers)) {
                return ForEveryRecipient(DeliveryStatus::permanent, std::move(*loop));
            }
            std::vector<std::string> recipients;
            for (const RelayJob::Recipient& recipient : job_.recipients) {
                recipients.push_back(recipient.MailRecipient);
            }
            return services_.DeliverMessage(job_, recipients, route.exchangers, options);
        } catch (const std::exception& failure) {
            return ForEveryRecipient(DeliveryStatus::temporary,
                                     std::string("delivery failed: ") + failure.what());
        }
    }

    // The relay host's addresses, with what a delivery there needs put into `options`.
    // A setting that cannot be used defers the mail: the user can still correct it.
    Route RelayHostRoute(DeliveryOptions& options) const {
        const std::optional<RelayHost> relay = ParseRelayHost(settings_.relayhost);
        if (!relay) {
            return {RouteStatus::temporary,
                    "relayhost " + settings_.relayhost +
                        " in the settings is not host or host:port (for example "
                        "smtp.example.net:587); correct it",
                    {}};
        }
        if (!settings_.relayuser.empty()) {
            std::optional<std::string> password =
                services_.RelayPassword
                    ? services_.RelayPassword(settings_.relayuser, settings_.relayhost)
                    : std::nullopt;
            if (!password) {
                return {RouteStatus::temporary,
                        "no password for " + settings_.relayuser + " at " + settings_.relayhost +
                            " in the secret store (set it in the settings)",
                        {}};
            }
            options.user = settings_.relayuser;
            options.password = std::move(*password);
        }
        options.submission = SubmissionTls{relay->ImplicitTls(), {}};
        return services_.ResolveRelayHost(settings_.dns, relay->host, relay->port);
    }

    std::optional<std::string> LoopReason(const std::vector<Exchanger>& exchangers) const {
        return services_.CheckLoop ? services_.CheckLoop(job_.domain, exchangers) : std::nullopt;
    }

    RelayOutcome OutcomeOf(const RelayJob::Recipient& recipient, const DeliveryResult& result) {
        switch (result.status) {
        case DeliveryStatus::delivered:
            return Relayed(recipient);
        case DeliveryStatus::permanent:
            return FailForGood(recipient, result.reason);
        case DeliveryStatus::temporary:
            break;
        }
        if (SecondsSince(job_.arrival) >= settings_.queuelife) {
            return FailForGood(recipient, "gave up after " +
                                              std::to_string(AttemptsNow(recipient)) +
                                              " attempts: " + result.reason);
        }
        return Deferred(recipient, result.reason);
    }

    // The counts come from envelope files, which may be damaged: the sums saturate.
    static int AttemptsNow(const RelayJob::Recipient& recipient) {
        return recipient.attempts < std::numeric_limits<int>::max() ? recipient.attempts + 1
                                                                    : recipient.attempts;
    }
    std::int64_t SecondsSince(std::int64_t moment) const {
        std::int64_t age = 0;
        return __builtin_sub_overflow(services_.Now(), moment, &age)
                   ? std::numeric_limits<std::int64_t>::max()
                   : age;
    }

    RelayOutcome FailForGood(const RelayJob::Recipient& recipient, const std::string& reason) {
        if (settings_.autobeep) {
            for (const int pattern : kFailureAlert) {
                services_.PlayAlert(pattern);
            }
        }
        RelayOutcome outcome = Outcome(recipient, RelayResult::failed, reason);
        outcome.status = kStatusFailed;
        outcome.logText = LogText(kLogFailed, recipient);
        return outcome;
    }

    RelayOutcome Relayed(const RelayJob::Recipient& recipient) const {
        RelayOutcome outcome = Outcome(recipient, RelayResult::relayed, {});
        outcome.status = kStatusRelayed;
        outcome.logText = LogText(kLogRelayed, recipient);
        return outcome;
    }

    RelayOutcome Deferred(const RelayJob::Recipient& recipient, const std::string& reason) const {
        RelayOutcome outcome = Outcome(recipient, RelayResult::deferred, reason);
        outcome.nextAttempt = services_.Now() + settings_.retry.DelayAfter(outcome.attempts);
        outcome.logText = "From:" + job_.MailSender + "/To:" + recipient.MailRecipient +
                          "/Retry:" + LocalTimeOfDay(outcome.nextAttempt) + "/Reason:" + reason;
        return outcome;
    }

    RelayOutcome Outcome(const RelayJob::Recipient& recipient, RelayResult result,
                         const std::string& reason) const {
        RelayOutcome outcome;
        outcome.id = job_.id;
        outcome.recipientIndex = recipient.index;
        outcome.MailRecipient = recipient.MailRecipient;
        outcome.result = result;
        outcome.attempts = AttemptsNow(recipient);
        outcome.reason = reason;
        return outcome;
    }

    std::string LogText(const char* prefix, const RelayJob::Recipient& recipient) const {
        return std::string(prefix) + "From:" + job_.MailSender + "/" +
               "To:" + recipient.MailRecipient + "/" + "Time:" + LocalTimeOfDay(services_.Now());
    }

    const RelayJob& job_;
    const RelayPassSettings& settings_;
    const RelayServices& services_;
};

} // namespace

RelayPassSettings RelayPassSettings::From(const RelaySettings& settings) {
    return {settings.dns.toStdString(),
            settings.postmaster.toStdString(),
            settings.autobeep,
            settings.autoback,
            settings.queuelife,
            settings.retry,
            settings.tls,
            settings.relayhost.trimmed().toStdString(),
            settings.relayuser.trimmed().toStdString()};
}

std::vector<RelayOutcome> Button1Click(const RelayJob& job, const RelayPassSettings& settings,
                                       const RelayServices& services) {
    return RelayPass(job, settings, services).Run();
}

std::string LocalTimeText(std::int64_t unixSeconds, const char* format) {
    const auto time = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&time, &local);
    std::array<char, 64> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), format, &local);
    return std::string(text.data(), length);
}

std::string LocalTimeOfDay(std::int64_t unixSeconds) {
    return LocalTimeText(unixSeconds, "%H:%M:%S");
}

// After the last "@": a quoted local part may hold one of its own.
std::string MailDomainOf(const std::string& address) {
    const std::string normalized = NormalizeAddress(address);
    const std::size_t at = normalized.rfind('@');
    return at == std::string::npos ? normalized : normalized.substr(at + 1);
}

bool SenderTakesNotice(const std::string& sender) {
    const std::string normalized = NormalizeAddress(sender);
    const std::size_t at = normalized.find('@');
    const std::size_t dot = normalized.find('.');
    // Zero-based: "@" not first, and no "." among the first three characters.
    return at != std::string::npos && at >= 1 && dot != std::string::npos && dot >= 3;
}

} // namespace lumenpost
