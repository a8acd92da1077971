#pragma once

#include <cstdint>
#include <initializer_list>

namespace lumenpost {

enum class TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum class TSocketSendFlags { wsSendNormal, wsSendUrgent };

enum class TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

enum class TSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay };

// A set of TSocketOption values.
class TSocketOptions {
public:
    TSocketOptions() = default;
    TSocketOptions(std::initializer_list<TSocketOption> options) {
        for (TSocketOption option : options) {
            mBits |= Bit(option);
        }
    }
    bool Contains(TSocketOption option) const { return (mBits & Bit(option)) != 0; }
    TSocketOptions Without(TSocketOption option) const {
        TSocketOptions result = *this;
        result.mBits &= ~Bit(option);
        return result;
    }
    bool operator==(const TSocketOptions&) const = default;

private:
    static unsigned Bit(TSocketOption option) { return 1U << static_cast<unsigned>(option); }
    unsigned mBits = 0;
};

using TSocketHandle = int;
inline constexpr TSocketHandle kInvalidSocket = -1;

// Readiness events carried by a readiness notice.
namespace readiness {
inline constexpr unsigned kRead = 1;
inline constexpr unsigned kWrite = 2;
inline constexpr unsigned kAccept = 4;
inline constexpr unsigned kConnect = 8;
inline constexpr unsigned kClose = 16;
} // namespace readiness

// Kinds of notice a socket's notification endpoint delivers to it.
enum class TNoticeKind {
    Readiness,
    LookupDone,
    ReverseLookupDone,
    CloseLater,
    CloseAfterSending,
    FreeLater,
    TestFailure,
    LineRedelivery,
    ClientClosed
};

struct TNotice {
    TNoticeKind Kind = TNoticeKind::Readiness;
    // The connection the notice belongs to: stale ones are dropped.
    std::uint64_t Connection = 0;
    unsigned Events = 0;
    int Error = 0;
    // Identifies the object a server notice is about; never dereferenced unchecked.
    const void* Subject = nullptr;
};

} // namespace lumenpost
