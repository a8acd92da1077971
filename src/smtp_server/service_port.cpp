#include "smtp_server/service_port.h"

#include "net_events/socket_names.h"
#include "smtp_server/smtp_text.h"

#include <stdexcept>

namespace lumenpost {

using namespace smtp_text;

std::string ResolveServicePort(const std::string& srvPort) {
    const std::string name = LowerAscii(Trim(srvPort));
    try {
        return std::to_string(SocketResolvePort(name, "tcp"));
    } catch (const std::exception&) {
        // Systems without a services entry still know the two mail ports.
    }
    if (name == "smtp") {
        return "25";
    }
    if (name == "pop3") {
        return "110";
    }
    return name;
}

} // namespace lumenpost
