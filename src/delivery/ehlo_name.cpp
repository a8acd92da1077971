#include "delivery/ehlo_name.h"

#include "platform/ascii_text.h"
#include "platform/machine_name.h"

#include <memory>
#include <netdb.h>
#include <optional>

namespace lumenpost {

namespace {

// The host name may take 256 octets.
constexpr std::size_t kMachineNameBuffer = 256;

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::string WithoutFinalDot(std::string name) {
    if (name.ends_with('.')) {
        name.pop_back();
    }
    return name;
}

std::string CanonicalName(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* answer = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &answer);
    const std::unique_ptr<addrinfo, AddrInfoFree> owned(answer);
    if (result != 0 || !answer || !answer->ai_canonname) {
        return {};
    }
    return WithoutFinalDot(answer->ai_canonname);
}

std::string FindQualifiedName() {
    const std::optional<std::string> host = MachineName(kMachineNameBuffer);
    if (!host || host->empty()) {
        return {};
    }
    const std::string name = WithoutFinalDot(*host);
    if (IsQualifiedHostName(name)) {
        return name;
    }
    const std::string canonical = CanonicalName(name);
    return IsQualifiedHostName(canonical) ? canonical : std::string();
}

} // namespace

bool IsQualifiedHostName(std::string_view name) {
    if (name.find('.') == std::string_view::npos || SocketAddress::FromText(name, 0).has_value()) {
        return false;
    }
    const std::string lower = LowerAscii(name);
    return lower != "localhost" && !lower.starts_with("localhost.");
}

const std::string& MachineQualifiedName() {
    static const std::string name = FindQualifiedName();
    return name;
}

std::string EhloNameFor(const std::string& qualifiedName, const SocketAddress& local) {
    return qualifiedName.empty() ? local.Literal() : qualifiedName;
}

} // namespace lumenpost
