#pragma once

#include <cstddef>
#include <cstdint>

// Bounds on what a remote peer can make the delivery client hold.
namespace lumenpost::delivery_limits {

// Longest SMTP reply line accepted; longer ones fail the reply.
inline constexpr std::int32_t kReplyLineLength = 64 * 1024;

// Most lines one SMTP reply may carry; more fail the reply.
inline constexpr std::size_t kReplyLineCount = 1000;

// Largest datagram a UDP receive takes in (the largest UDP payload).
inline constexpr std::size_t kDatagramSize = 65536;

// Longest delivery reason kept: a reply of many long lines must not flood the logs and
// the queue's envelope files.
inline constexpr std::size_t kReasonLength = 512;

} // namespace lumenpost::delivery_limits
