#include "relay/relay_pass.h"

#include "platform/ascii_text.h"

#include <array>

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
        FindExchanger();
        if (services_.SendMailLines(job_.MailSender, job_.MailRecipient, MxHost, job_.MailLines)) {
            return Outcome(true);
        }
        NormalizedAddress = NormalizeAddress(job_.MailSender);
        if (settings_.autoback && SenderTakesNotice(job_.MailSender)) {
            SendNotice();
        }
        if (settings_.autobeep) {
            for (const int pattern : kFailureAlert) {
                services_.PlayAlert(pattern);
            }
        }
        return Outcome(false);
    }

private:
    // MxHost: the preferred exchanger of the domain of NormalizedAddress, or the
    // domain's own name when the lookup fails or finds none. A lookup that raises an
    // error ends the pass (the exception leaves Run).
    void FindExchanger() {
        MailDomain = MailDomainOf(NormalizedAddress);
        MxHosts.clear();
        const bool found = services_.LookupMailServers(settings_.dns, MailDomain, MxHosts);
        MxHost = found && !MxHosts.empty() ? MxHosts.front() : MailDomain;
    }

    void SendNotice() {
        FindExchanger();
        NoticeLines.clear();
        NoticeLines.emplace_back();
        NoticeLines.push_back("Your Email From: " + job_.MailSender + " /" +
                              "To: " + job_.MailRecipient + " Relay Fail...");
        services_.SendMailWithHeaders(settings_.postmaster, job_.MailSender, kNoticeSubject, MxHost,
                                      NoticeLines);
    }

    RelayOutcome Outcome(bool relayed) const {
        RelayOutcome outcome;
        outcome.relayed = relayed;
        outcome.status = relayed ? kStatusRelayed : kStatusFailed;
        outcome.logText = std::string(relayed ? kLogRelayed : kLogFailed) +
                          "From:" + job_.MailSender + "/" + "To:" + job_.MailRecipient + "/" +
                          "Time:" + services_.TimeOfDay();
        return outcome;
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
    return {settings.dns.toStdString(), settings.postmaster.toStdString(), settings.autobeep,
            settings.autoback};
}

std::optional<RelayOutcome> Button1Click(const RelayJob& job, const RelayPassSettings& settings,
                                         const RelayServices& services) {
    try {
        return RelayPass(job, settings, services).Run();
    } catch (...) {
        // A lookup (or anything else) that raises ends the pass without a report.
        return std::nullopt;
    }
}

std::string MailDomainOf(const std::string& address) {
    const std::string normalized = NormalizeAddress(address);
    const std::size_t at = normalized.find('@');
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
