#include "net_events/socket_names.h"

#include "net_events/socket_exception.h"
#include "platform/ascii_text.h"
#include "platform/machine_name.h"
#include "platform/socket_error.h"

#include <QString>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

namespace lumenpost {

namespace {

constexpr std::size_t kMaxHostText = 256;
constexpr std::size_t kMaxServiceText = 32;
constexpr int kMaxLocalAddresses = 256;
constexpr std::size_t kMachineNameBuffer = 64;

bool StartsWithDigit(const std::string& text) {
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) != 0;
}

std::string Formatted(const char* format, const std::string& text, int code) {
    return QString::asprintf(format, text.c_str(), code).toStdString();
}

// Names some databases lack but every mail relay needs.
std::optional<int> WellKnownPort(const std::string& name) {
    if (name == "smtp") {
        return 25;
    }
    if (name == "domain") {
        return 53;
    }
    return std::nullopt;
}

std::optional<int> WellKnownProto(const std::string& name) {
    if (name == "tcp") {
        return 6;
    }
    if (name == "udp") {
        return 17;
    }
    return std::nullopt;
}

std::optional<int> LookupServicePort(const std::string& name, const std::string& proto) {
    servent entry{};
    servent* found = nullptr;
    std::array<char, 1024> scratch{};
    if (getservbyname_r(name.c_str(), proto.c_str(), &entry, scratch.data(), scratch.size(),
                        &found) == 0 &&
        found != nullptr) {
        return ntohs(static_cast<std::uint16_t>(found->s_port));
    }
    return WellKnownPort(name);
}

std::optional<int> LookupProtocol(const std::string& name) {
    protoent entry{};
    protoent* found = nullptr;
    std::array<char, 1024> scratch{};
    if (getprotobyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found) == 0 &&
        found != nullptr) {
        return found->p_proto;
    }
    return WellKnownProto(name);
}

// Forward lookup of IPv4 addresses; the resolver's result code is returned in `code`.
std::optional<THostRecord> ResolveName(const std::string& name, int& code) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    code = SocketErrorFromResolver(rc);
    if (rc != 0) {
        return std::nullopt;
    }
    THostRecord record;
    record.Name = (list->ai_canonname != nullptr) ? list->ai_canonname : name;
    for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
        sockaddr_in address{};
        std::memcpy(&address, item->ai_addr, sizeof(address));
        record.Addresses.push_back(address.sin_addr.s_addr);
    }
    freeaddrinfo(list);
    return record;
}

} // namespace

std::string DottedAddress(std::uint32_t networkOrder) {
    in_addr address{};
    address.s_addr = networkOrder;
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &address, text.data(), text.size());
    return text.data();
}

bool IsDottedQuad(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    if (i < text.size() && text[i] == '.') {
        return false;
    }
    int dots = 0;
    unsigned part = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isdigit(c) != 0) {
            part = std::min(part * 10 + (c - '0'), 1000U);
        } else if (c == '.') {
            ++dots;
            if (dots == 4 || part > 255 || i + 1 == text.size() ||
                std::isdigit(static_cast<unsigned char>(text[i + 1])) == 0) {
                return false;
            }
            part = 0;
        } else {
            // Only trailing spaces may end the address.
            if (text.find_first_not_of(' ', i) != std::string::npos) {
                return false;
            }
            break;
        }
    }
    return dots == 3 && part <= 255;
}

std::uint32_t ParseLeadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    std::uint64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        value =
            std::min<std::uint64_t>(value * 10 + static_cast<unsigned>(text[i] - '0'), UINT32_MAX);
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t SocketResolveHost(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostText) {
        throw ESocketException("SocketResolveHost: '" + host + "' Invalid Hostname.");
    }
    const std::string name = Trim(host);
    if (IsDottedQuad(host)) {
        in_addr address{};
        if (inet_pton(AF_INET, name.c_str(), &address) != 1) {
            throw ESocketException("SocketResolveHost: '" + host + "' Invalid IP address.");
        }
        return address.s_addr;
    }
    int code = 0;
    const std::optional<THostRecord> record = ResolveName(name, code);
    if (!record || record->Addresses.empty()) {
        SetLastSocketError(code);
        throw ESocketException(Formatted(
            "SocketResolveHost: Cannot convert host address '%s', Error #%d", host, code));
    }
    return record->Addresses.front();
}

std::uint16_t SocketResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty() || port.size() >= kMaxServiceText) {
        throw ESocketException("SocketResolvePort: Invalid Port.");
    }
    if (proto.empty() || proto.size() >= kMaxServiceText) {
        throw ESocketException("SocketResolvePort: Invalid Proto.");
    }
    if (StartsWithDigit(port)) {
        const std::uint32_t value = ParseLeadingNumber(port);
        if (value > 65535) {
            throw ESocketException("SocketResolvePort: Port '" + port +
                                   "' is out of range; use a number from 0 to 65535.");
        }
        return static_cast<std::uint16_t>(value);
    }
    const std::optional<int> value = LookupServicePort(Trim(port), Trim(proto));
    if (!value) {
        SetLastSocketError(socket_error::kNoData);
        throw ESocketException(Formatted("SocketResolvePort: Cannot convert port '%s', Error #%d",
                                         port, socket_error::kNoData));
    }
    return static_cast<std::uint16_t>(*value);
}

int SocketResolveProto(const std::string& proto) {
    if (proto.empty() || proto.size() >= kMaxServiceText) {
        throw ESocketException("SocketResolveProto: Invalid Protocol.");
    }
    const std::string name = Trim(proto);
    if (StartsWithDigit(name)) {
        return static_cast<int>(ParseLeadingNumber(name));
    }
    const std::optional<int> value = LookupProtocol(name);
    if (!value) {
        SetLastSocketError(socket_error::kNoData);
        throw ESocketException(
            Formatted("SocketResolveProto: Cannot convert protocol '%s', Error #%d", proto,
                      socket_error::kNoData));
    }
    return *value;
}

std::optional<THostRecord> SocketHostByName(const std::string& name) {
    if (name.empty() || name.size() > kMaxHostText) {
        throw ESocketException("SocketHostByName: Invalid Hostname.");
    }
    int code = 0;
    std::optional<THostRecord> record = ResolveName(name, code);
    SetLastSocketError(code);
    return record;
}

std::optional<THostRecord> SocketHostByAddr(const std::string& addr) {
    if (addr.empty() || addr.size() > kMaxHostText) {
        throw ESocketException("SocketHostByAddr: Invalid address.");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, Trim(addr).c_str(), &address.sin_addr) != 1) {
        SetLastSocketError(socket_error::kHostNotFound);
        return std::nullopt;
    }
    std::array<char, NI_MAXHOST> host{};
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof(address),
                               host.data(), host.size(), nullptr, 0, NI_NAMEREQD);
    SetLastSocketError(SocketErrorFromResolver(rc));
    if (rc != 0) {
        return std::nullopt;
    }
    return THostRecord{host.data(), {address.sin_addr.s_addr}};
}

std::string AddrToHostName(const std::string& addr) {
    const std::optional<THostRecord> record = SocketHostByAddr(addr);
    return record ? record->Name : std::string();
}

std::string LocalMachineName() {
    std::optional<std::string> name = MachineName(kMachineNameBuffer);
    if (!name) {
        CaptureSocketError();
        throw ESocketException("Winsock.GetHostName failed");
    }
    return std::move(*name);
}

std::vector<std::string> LocalAddressList() {
    std::vector<std::string> addresses;
    const std::optional<THostRecord> record = SocketHostByName(LocalMachineName());
    if (record) {
        for (std::uint32_t address : record->Addresses) {
            if (static_cast<int>(addresses.size()) == kMaxLocalAddresses) {
                break;
            }
            addresses.push_back(DottedAddress(address));
        }
    }
    return addresses;
}

} // namespace lumenpost
