#include "app/system_services.h"

#include "delivery/message_delivery.h"
#include "delivery/mx_lookup.h"
#include "delivery/send_mail.h"
#include "system/alert_tones.h"

#include <ctime>

namespace lumenpost {

RelayServices SystemRelayServices() {
    RelayServices services;
    services.LookupMailServers = [](const std::string& dnsServer, const std::string& domain,
                                    std::vector<std::string>& hosts) {
        return lumenpost::LookupMailServers(dnsServer, domain, hosts);
    };
    services.DeliverMessage = [](const std::string& sender, const std::string& recipient,
                                 const std::string& server, const std::string& dataPath) {
        FileMessageSource message(dataPath);
        return lumenpost::DeliverMessage(sender, recipient, server, message);
    };
    services.SendMailWithHeaders = [](const std::string& sender, const std::string& recipient,
                                      const std::string& subject, const std::string& server,
                                      const std::vector<std::string>& lines) {
        return lumenpost::SendMailWithHeaders(sender, recipient, subject, server, lines, "", "");
    };
    services.PlayAlert = [](int pattern) { lumenpost::PlayAlert(pattern); };
    services.Now = UnixNow;
    return services;
}

std::int64_t UnixNow() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace lumenpost
