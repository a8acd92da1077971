#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumenpost {

// Connection states the dial-up monitor tells apart by number.
inline constexpr std::uint32_t kRasPortOpened = 1;
inline constexpr std::uint32_t kRasConnectingDevice = 2;
inline constexpr std::uint32_t kRasConnected = 8192;

// State of a connection; a non-zero error code means the connection attempt failed.
struct TRasConnStatus {
    std::uint32_t State = 0;
    std::uint32_t ErrorCode = 0;
};

// The IPv4 addresses a link was given: this machine's end and the other end.
struct TRasIpProjection {
    std::string LocalAddress;
    std::string ServerAddress;
};

// One active connection with everything the monitor asks about it.
struct TRasConnection {
    std::uint32_t Handle = 0;
    std::string EntryName;
    std::string DeviceType;
    std::string DeviceName;
    TRasConnStatus Status;
    // Empty when the link has no IPv4 address yet (the projection query fails).
    std::optional<TRasIpProjection> Projection;
};

// The remote-access service as the monitor sees it. Replaceable so tests can script it.
class TRasService {
public:
    virtual ~TRasService() = default;
    // Whether connections can be enumerated at all on this machine.
    virtual bool Load() = 0;
    // The active connections, always in the same order; nothing when enumeration fails.
    virtual std::optional<std::vector<TRasConnection>> EnumConnections() = 0;
};

// Dial-up connections on Linux: every point-to-point network interface that is not
// loopback (PPP, tun and the like), ordered by interface index, so the link that
// came up first stays first.
class TPointToPointRasService final : public TRasService {
public:
    bool Load() override;
    std::optional<std::vector<TRasConnection>> EnumConnections() override;
};

// The connection state of a point-to-point interface, from its interface flags:
//   up and running       -> 8192 "Connected"
//   up, not running      -> 2 "Connecting device": configured, but nothing is attached at
//                           the other side yet (no carrier)
//   down                 -> 1 "Port opened": the interface exists but the link is not
//                           configured yet (pppd keeps it down while it negotiates and
//                           authenticates)
// The error code is always 0: a failed link simply disappears.
std::uint32_t RasStateOfInterfaceFlags(unsigned flags);

std::unique_ptr<TRasService> SystemRasService();

} // namespace lumenpost
