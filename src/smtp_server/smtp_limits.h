#pragma once

#include <cstddef>
#include <cstdint>

// Every limit and fixed interval of the receiving server, in one place.
namespace lumenpost::smtp_limits {

// The largest piece of message data taken from the socket at once.
inline constexpr std::int32_t kDataReadLimit = 256 * 1024;

// Recipients one transaction may collect before RCPT is refused.
inline constexpr std::size_t kMaxRecipients = 100;

// Interval of the idle sweep; sessions idle longer than CommandTimeout are closed there.
inline constexpr int kIdleSweepIntervalMs = 120000;

inline constexpr std::uint32_t kMsPerMinute = 60 * 1000;

// A client that trickles keeps its session alive for ever by the idle rule alone. These
// bound how long one may hold a slot in all: a data phase of 20 minutes still takes a
// 50 MiB message at 350 kbit/s; a session of an hour, thousands of messages.
inline constexpr std::uint32_t kDataPhaseLimitMs = 20 * kMsPerMinute;
inline constexpr std::uint32_t kSessionLifeLimitMs = 60 * kMsPerMinute;

// A cached reverse lookup is reused for this long, because the lookup blocks the loop.
inline constexpr std::uint32_t kHostNameFreshMs = 3600000;

// Looked-up host names shorter than this are replaced by the client's HELO name.
inline constexpr std::size_t kMinHostNameLength = 4;

} // namespace lumenpost::smtp_limits
