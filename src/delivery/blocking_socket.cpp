#include "delivery/blocking_socket.h"

#include "delivery/block_socket_error.h"
#include "delivery/host_address.h"
#include "delivery/text_helpers.h"
#include "platform/machine_name.h"
#include "platform/socket_error.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace lumenpost {

namespace {

// The host name may take 256 octets.
constexpr std::size_t kMachineNameBuffer = 256;

// Service names this system relies on, for machines whose service database lacks them.
std::uint16_t WellKnownPort(const std::string& name) {
    if (name == "smtp") {
        return 25;
    }
    if (name == "domain") {
        return 53;
    }
    return 0;
}

std::string ProtocolName(int protocol) {
    protoent entry{};
    protoent* found = nullptr;
    char buffer[1024];
    if (getprotobynumber_r(protocol, &entry, buffer, sizeof buffer, &found) != 0 || !found) {
        return {};
    }
    return found->p_name;
}

// Port (network order) of a service name under a protocol name; 0 when unknown.
std::uint16_t ServicePort(const std::string& service, const std::string& protocolName) {
    if (protocolName.empty()) {
        return 0;
    }
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r(service.c_str(), protocolName.c_str(), &entry, buffer, sizeof buffer,
                        &found) != 0 ||
        !found) {
        return 0;
    }
    return static_cast<std::uint16_t>(found->s_port);
}

// Failing lookups give the all-ones address, on which the send or connect that follows
// fails.
in_addr_t ResolveIPv4(const std::string& host) {
    return LookupIPv4(host).value_or(htonl(INADDR_NONE));
}

} // namespace

TBlockingSocket::~TBlockingSocket() {
    TBlockingSocket::ReleaseHandle();
}

void TBlockingSocket::ReleaseHandle() {
    if (handle_ < 0) {
        return;
    }
    shutdown(handle_, SHUT_RDWR);
    close(handle_);
    handle_ = -1;
    ReportStatus(3, {});
}

void TBlockingSocket::AttachHandle(int handle, int protocol) {
    ReleaseHandle();
    pendingInput_.clear();
    handle_ = handle;
    protocol_ = protocol;
    errorCode_ = 0;
    RecordAddresses();
}

void TBlockingSocket::OpenSystemSocket(int type, int protocol) {
    pendingInput_.clear();
    handle_ = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    protocol_ = protocol;
    errorCode_ = handle_ < 0 ? CaptureSocketError() : 0;
    RaiseIfError();
    ReportStatus(2, {});
}

void TBlockingSocket::RecordResult(long callResult) {
    errorCode_ = callResult == -1 ? CaptureSocketError() : 0;
}

void TBlockingSocket::RaiseIfError() {
    if (!RaiseOnError || errorCode_ == 0 || errorCode_ == socket_error::kWouldBlock ||
        errorCode_ == socket_error::kInProgress) {
        return;
    }
    const std::string description = GetErrorDesc(errorCode_);
    throw EBlockSocketError("TCP/IP Socket error " + std::to_string(errorCode_) + ": " +
                                description,
                            errorCode_, description);
}

void TBlockingSocket::RecordAddresses() {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        localAddress_ = address;
    }
    length = sizeof address;
    if (getpeername(handle_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        remoteAddress_ = address;
    }
}

void TBlockingSocket::ReportStatus(int reason, const std::string& text) {
    if (StatusHook) {
        StatusHook(*this, reason, text);
    }
}

int TBlockingSocket::WriteText(std::string_view text) {
    // A blocking send may still stop short (a signal); the rest is sent after it so a
    // message line is never cut.
    int sent = 0;
    while (sent < static_cast<int>(text.size())) {
        const int result = SendBytes(text.data() + sent, static_cast<int>(text.size()) - sent);
        if (result <= 0) {
            break;
        }
        sent += result;
    }
    return sent;
}

std::string TBlockingSocket::ReadLine(int timeoutMs) {
    std::string line = ReadUntil(timeoutMs, "\r\n");
    return errorCode_ == 0 ? line : std::string();
}

std::string TBlockingSocket::ReadUntil(int timeoutMs, const std::string& terminator) {
    if (terminator.empty()) {
        return {};
    }
    errorCode_ = 0;
    std::string collected;
    for (;;) {
        if (pendingInput_.empty()) {
            pendingInput_ = ReadPacket(timeoutMs);
            if (errorCode_ != 0) {
                break;
            }
        }
        // Only the new octets (and a terminator straddling the joint) need searching.
        const std::size_t overlap = terminator.size() - 1;
        const std::size_t searchFrom = collected.size() > overlap ? collected.size() - overlap : 0;
        collected += pendingInput_;
        pendingInput_.clear();
        const std::size_t at = collected.find(terminator, searchFrom);
        if (at != std::string::npos) {
            pendingInput_ = collected.substr(at + terminator.size());
            collected.resize(at);
        }
        if (LineLengthLimit != 0 && collected.size() > static_cast<std::size_t>(LineLengthLimit)) {
            errorCode_ = kLineTooLong;
            break;
        }
        if (at != std::string::npos) {
            break;
        }
    }
    RaiseIfError();
    return collected;
}

std::string TBlockingSocket::ReadPacket(int timeoutMs) {
    errorCode_ = 0;
    int received = -1;
    std::string packet;
    if (!pendingInput_.empty()) {
        packet.swap(pendingInput_);
    } else if (WaitReadable(timeoutMs)) {
        received = PendingCount();
        if (received > 0) {
            packet.resize(static_cast<std::size_t>(received));
            received = ReceiveChunk(packet.data(), received);
            packet.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
        }
    } else if (errorCode_ == 0) {
        errorCode_ = socket_error::kTimedOut;
    }
    RaiseIfError();
    if (received == 0) {
        errorCode_ = socket_error::kConnectionReset;
    }
    return packet;
}

void TBlockingSocket::SetSendTimeout(int timeoutMs) {
    const int limitMs = timeoutMs > 0 ? timeoutMs : 0;
    const timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    RecordResult(setsockopt(handle_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit));
    RaiseIfError();
}

bool TBlockingSocket::WaitReadable(int timeoutMs) {
    pollfd entry{handle_, POLLIN, 0};
    int result = 0;
    do {
        result = poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (result == -1 && errno == EINTR);
    RecordResult(result);
    const bool readable = result > 0 && errorCode_ == 0;
    RaiseIfError();
    if (readable) {
        ReportStatus(6, {});
    }
    return readable;
}

int TBlockingSocket::PendingCount() {
    int count = 0;
    if (ioctl(handle_, FIONREAD, &count) != 0) {
        return 0;
    }
    return count;
}

void TBlockingSocket::FillAddress(sockaddr_in& address, const std::string& host,
                                  const std::string& port) {
    const std::string target = host + ":" + port;
    ReportStatus(0, target);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = PortInNetworkOrder(port);
    address.sin_addr.s_addr = ResolveIPv4(host);
    ReportStatus(1, target);
}

std::uint16_t TBlockingSocket::PortInNetworkOrder(const std::string& port) const {
    if (const std::uint16_t service = ServicePort(port, ProtocolName(protocol_))) {
        return service;
    }
    if (const std::uint16_t known = WellKnownPort(port)) {
        return htons(known);
    }
    const auto number = DecimalToInt32(port);
    if (!number || *number < 0 || *number > 65535) {
        return 0;
    }
    return htons(static_cast<std::uint16_t>(*number));
}

std::string TBlockingSocket::LocalHostName() {
    const std::optional<std::string> name = MachineName(kMachineNameBuffer);
    if (!name || name->empty()) {
        return "127.0.0.1";
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* answer = nullptr;
    if (getaddrinfo(name->c_str(), nullptr, &hints, &answer) != 0 || !answer) {
        return "127.0.0.1";
    }
    std::string official = answer->ai_canonname ? answer->ai_canonname : "";
    freeaddrinfo(answer);
    return official.empty() ? "127.0.0.1" : official;
}

} // namespace lumenpost
