#include "app/system_services.h"

#include "delivery/mx_lookup.h"
#include "delivery/send_mail.h"
#include "system/alert_tones.h"

#include <array>
#include <ctime>

namespace lumenpost {
namespace {

std::string LocalTimeOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 16> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%H:%M:%S", &local);
    return std::string(text.data(), length);
}

} // namespace

RelayServices SystemRelayServices() {
    RelayServices services;
    services.LookupMailServers = [](const std::string& dnsServer, const std::string& domain,
                                    std::vector<std::string>& hosts) {
        return lumenpost::LookupMailServers(dnsServer, domain, hosts);
    };
    services.SendMailLines = [](const std::string& sender, const std::string& recipient,
                                const std::string& server, const std::vector<std::string>& lines) {
        return lumenpost::SendMailLines(sender, recipient, server, lines, "", "");
    };
    services.SendMailWithHeaders = [](const std::string& sender, const std::string& recipient,
                                      const std::string& subject, const std::string& server,
                                      const std::vector<std::string>& lines) {
        return lumenpost::SendMailWithHeaders(sender, recipient, subject, server, lines, "", "");
    };
    services.PlayAlert = [](int pattern) { lumenpost::PlayAlert(pattern); };
    services.TimeOfDay = LocalTimeOfDay;
    return services;
}

} // namespace lumenpost
