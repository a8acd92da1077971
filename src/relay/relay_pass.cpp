#include "relay/relay_pass.h"

#include "platform/ascii_text.h"

#include <array>
#include <ctime>
#include <exception>

namespace lumenpost {
namespace {

constexpr const char* kStatusRelayed = "电子邮件转发成功！";
constexpr const char* kStatusFailed = "电子邮件转发失败！";
constexpr const char* kLogRelayed = "邮件转发成功！";
constexpr const char* kLogFailed = "邮件转发失败！";
// The failure alert: patterns 0, 1, 0, nine tones in all.
constexpr std::array<int, 3> kFailureAlert = {0, 1, 0};

std::string NormalizeAddress(const std::string& address) {
    return Trim(LowerAscii(address));
}

// The working fields of one pass. Each pass has its own, so overlapping passes never
// see each other's exchangers or notice lines.
class RelayPass {
public:
    RelayPass(const RelayJob& job, const RelayPassSettings& settings, const RelayServices& services)
        : job_(job), settings_(settings), services_(services) {}

    RelayOutcome Run() {
        NormalizedAddress = NormalizeAddress(job_.MailRecipient);
        const DeliveryResult result = Deliver();
        switch (result.status) {
        case DeliveryStatus::delivered:
            return Relayed();
        case DeliveryStatus::permanent:
            return FailForGood(result.reason);
        case DeliveryStatus::temporary:
            break;
        }
        if (services_.Now() - job_.arrival >= settings_.queuelife) {
            return FailForGood("gave up after " + std::to_string(job_.attempts + 1) +
                               " attempts: " + result.reason);
        }
        return Deferred(result.reason);
    }

private:
    // A lookup that raises is a temporary failure: the message stays queued.
    DeliveryResult Deliver() {
        try {
            FindExchanger();
        } catch (const std::exception& failure) {
            return {DeliveryStatus::temporary, std::string("MX lookup failed: ") + failure.what()};
        }
        if (services_.CheckLoop) {
            if (auto loop = services_.CheckLoop(MailDomain, MxHost)) {
                return {DeliveryStatus::permanent, std::move(*loop)};
            }
        }
        return services_.DeliverMessage(job_.MailSender, job_.MailRecipient, MxHost, job_.dataPath);
    }

    // MxHost: the preferred exchanger of the domain of NormalizedAddress, or the
    // domain's own name when the lookup fails or finds none.
    void FindExchanger() {
        MailDomain = MailDomainOf(NormalizedAddress);
        MxHosts.clear();
        const bool found = services_.LookupMailServers(settings_.dns, MailDomain, MxHosts);
        MxHost = found && !MxHosts.empty() ? MxHosts.front() : MailDomain;
    }

    RelayOutcome FailForGood(const std::string& reason) {
        NormalizedAddress = NormalizeAddress(job_.MailSender);
        if (settings_.autoback && SenderTakesNotice(job_.MailSender)) {
            SendNotice();
        }
        if (settings_.autobeep) {
            for (const int pattern : kFailureAlert) {
                services_.PlayAlert(pattern);
            }
        }
        RelayOutcome outcome = Outcome(RelayResult::failed, reason);
        outcome.status = kStatusFailed;
        outcome.logText = LogText(kLogFailed);
        return outcome;
    }

    // A notice that cannot be sent (its lookup raising included) costs only the notice.
    void SendNotice() {
        try {
            FindExchanger();
        } catch (const std::exception&) {
            return;
        }
        NoticeLines.clear();
        NoticeLines.emplace_back();
        NoticeLines.push_back("Your Email From: " + job_.MailSender + " /" +
                              "To: " + job_.MailRecipient + " Relay Fail...");
        services_.SendMailWithHeaders(settings_.postmaster, job_.MailSender, kNoticeSubject, MxHost,
                                      NoticeLines);
    }

    RelayOutcome Relayed() const {
        RelayOutcome outcome = Outcome(RelayResult::relayed, {});
        outcome.status = kStatusRelayed;
        outcome.logText = LogText(kLogRelayed);
        return outcome;
    }

    RelayOutcome Deferred(const std::string& reason) const {
        RelayOutcome outcome = Outcome(RelayResult::deferred, reason);
        outcome.nextAttempt = services_.Now() + settings_.retry.DelayAfter(outcome.attempts);
        outcome.logText = "From:" + job_.MailSender + "/To:" + job_.MailRecipient +
                          "/Retry:" + LocalTimeOfDay(outcome.nextAttempt) + "/Reason:" + reason;
        return outcome;
    }

    RelayOutcome Outcome(RelayResult result, const std::string& reason) const {
        RelayOutcome outcome;
        outcome.id = job_.id;
        outcome.recipientIndex = job_.recipientIndex;
        outcome.result = result;
        outcome.attempts = job_.attempts + 1;
        outcome.reason = reason;
        return outcome;
    }

    std::string LogText(const char* prefix) const {
        return std::string(prefix) + "From:" + job_.MailSender + "/" + "To:" + job_.MailRecipient +
               "/" + "Time:" + LocalTimeOfDay(services_.Now());
    }

    const RelayJob& job_;
    const RelayPassSettings& settings_;
    const RelayServices& services_;

    std::string NormalizedAddress;
    std::string MailDomain;
    std::vector<std::string> MxHosts;
    std::string MxHost;
    std::vector<std::string> NoticeLines;
};

} // namespace

RelayPassSettings RelayPassSettings::From(const RelaySettings& settings) {
    return {settings.dns.toStdString(), settings.postmaster.toStdString(),
            settings.autobeep,          settings.autoback,
            settings.queuelife,         settings.retry};
}

RelayOutcome Button1Click(const RelayJob& job, const RelayPassSettings& settings,
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
