#include "delivery/relay_host.h"

#include <algorithm>
#include <charconv>

namespace lumenpost {

namespace {

std::optional<std::uint16_t> PortOf(std::string_view text) {
    std::uint16_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port == 0) {
        return std::nullopt;
    }
    return port;
}

bool UsableHost(std::string_view host) {
    return !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == '[' || c == ']' || c == '/';
    });
}

} // namespace

std::optional<RelayHost> ParseRelayHost(std::string_view text) {
    // An IPv6 address has colons of its own: only in brackets can a port follow it.
    const bool bracketed = text.starts_with('[');
    const std::size_t hostEnd = bracketed ? text.find(']') : text.find(':');
    if (bracketed && hostEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view host = bracketed ? text.substr(1, hostEnd - 1) : text.substr(0, hostEnd);
    const std::string_view rest = hostEnd == std::string_view::npos
                                      ? std::string_view()
                                      : text.substr(hostEnd + (bracketed ? 1 : 0));
    if (!UsableHost(host) || (!rest.empty() && !rest.starts_with(':'))) {
        return std::nullopt;
    }
    RelayHost relay{std::string(host)};
    if (!rest.empty()) {
        const std::optional<std::uint16_t> port = PortOf(rest.substr(1));
        if (!port) {
            return std::nullopt;
        }
        relay.port = *port;
    }
    return relay;
}

} // namespace lumenpost
