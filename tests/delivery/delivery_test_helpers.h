#pragma once

#include "delivery/message_delivery.h"
#include "fake_smtp_server.h"

#include <algorithm>
#include <string>
#include <vector>

// What the delivery tests share: options with short waits, exchangers on loopback, and
// looks at what a fake exchanger received.
namespace lumenpost::test {

inline const std::string kGreeting = "220 fake.example ESMTP\r\n";
inline constexpr std::int32_t kShortTimeoutMs = 200;

inline DeliveryOptions Options(std::int32_t replyTimeoutMs = kPeerWaitMs) {
    DeliveryOptions options;
    options.replyTimeoutMs = replyTimeoutMs;
    options.connectTimeoutMs = kShortTimeoutMs;
    return options;
}

inline Exchanger At(const std::string& name, const std::vector<SocketAddress>& addresses) {
    return {name, addresses};
}

inline SocketAddress Loopback(const Descriptor& fd) {
    return *SocketAddress::FromText("127.0.0.1",
                                    static_cast<std::uint16_t>(std::stoi(PortText(fd.Get()))));
}

// The text the exchanger keeps: its data lines with dot transparency undone.
inline std::string Unstuffed(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += std::string_view(line).substr(line.starts_with('.') ? 1 : 0);
        text += "\r\n";
    }
    return text;
}

inline bool Sent(const FakeSmtpServer& server, const std::string& command) {
    const auto& commands = server.Commands();
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

inline std::size_t CountStarting(const FakeSmtpServer& server, const std::string& prefix) {
    const auto& commands = server.Commands();
    return static_cast<std::size_t>(
        std::count_if(commands.begin(), commands.end(),
                      [&](const std::string& command) { return command.starts_with(prefix); }));
}

// True when a client connected to `listener` (which never accepts).
inline bool Contacted(const Descriptor& listener) {
    return WaitReadable(listener.Get(), 0);
}

} // namespace lumenpost::test
