#include "delivery/blocking_socket.h"

#include "delivery/block_socket_error.h"
#include "delivery/host_address.h"
#include "delivery/text_helpers.h"
#include "platform/socket_error.h"
#include "platform/tick.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace lumenpost {

namespace {

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

// Port (host order) of a service name under a protocol name; 0 when unknown.
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
    return ntohs(static_cast<std::uint16_t>(found->s_port));
}

} // namespace

int PollWithin(pollfd& entry, int timeoutMs) {
    const std::uint32_t start = TickCount();
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const std::uint32_t elapsed = TicksBetween(start, TickCount());
            wait = elapsed >= static_cast<std::uint32_t>(timeoutMs)
                       ? 0
                       : timeoutMs - static_cast<int>(elapsed);
        }
        const int ready = poll(&entry, 1, wait);
        if (ready != -1 || errno != EINTR) {
            return ready;
        }
    }
}

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
    family_ = localAddress_.Family();
}

void TBlockingSocket::OpenSystemSocket(int family, int type, int protocol) {
    pendingInput_.clear();
    handle_ = socket(family, type | SOCK_CLOEXEC, protocol);
    family_ = handle_ < 0 ? AF_UNSPEC : family;
    protocol_ = protocol;
    sendTimeoutMs_ = 0;
    errorCode_ = handle_ < 0 ? CaptureSocketError() : 0;
    RaiseIfError();
    ReportStatus(2, {});
}

void TBlockingSocket::UseFamily(int family, int type, int protocol) {
    if (handle_ >= 0 && family_ == family) {
        return;
    }
    ReleaseHandle();
    OpenSystemSocket(family, type, protocol);
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
    sockaddr_storage address{};
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    if (getsockname(handle_, raw, &length) == 0) {
        localAddress_ = SocketAddress::FromSystem(raw, length);
    }
    length = sizeof address;
    if (getpeername(handle_, raw, &length) == 0) {
        remoteAddress_ = SocketAddress::FromSystem(raw, length);
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
    std::string packet;
    if (!pendingInput_.empty()) {
        packet.swap(pendingInput_);
    } else {
        ReceiveAvailable(timeoutMs, packet);
    }
    return packet;
}

void TBlockingSocket::ReceiveAvailable(int timeoutMs, std::string& packet) {
    int received = -1;
    if (WaitReadable(timeoutMs)) {
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
}

void TBlockingSocket::SetSendTimeout(int timeoutMs) {
    const int limitMs = timeoutMs > 0 ? timeoutMs : 0;
    sendTimeoutMs_ = limitMs;
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

SocketAddress TBlockingSocket::ResolveAddress(const std::string& host, const std::string& port) {
    const std::string target = host + ":" + port;
    ReportStatus(0, target);
    const std::uint16_t number = PortNumber(port);
    std::optional<SocketAddress> address = SocketAddress::FromText(host, number);
    if (!address) {
        address = LookupIPv4(host, number);
    }
    errorCode_ = address ? 0 : socket_error::kHostNotFound;
    ReportStatus(1, target);
    return address.value_or(SocketAddress());
}

std::uint16_t TBlockingSocket::PortNumber(const std::string& port) const {
    if (const std::uint16_t service = ServicePort(port, ProtocolName(protocol_))) {
        return service;
    }
    if (const std::uint16_t known = WellKnownPort(port)) {
        return known;
    }
    const auto number = DecimalToInt32(port);
    if (!number || *number < 0 || *number > 65535) {
        return 0;
    }
    return static_cast<std::uint16_t>(*number);
}

} // namespace lumenpost
