#pragma once

#include <cstdint>

namespace lumenpost {

// Milliseconds of a monotonic clock, truncated to 32 bits. It wraps after about
// 49.7 days; callers compare ticks with unsigned subtraction so the wrap is harmless.
std::uint32_t TickCount();

// Milliseconds elapsed from `since` to `now`, correct across one wrap of the tick.
inline std::uint32_t TicksBetween(std::uint32_t since, std::uint32_t now) {
    return now - since;
}

// Blocks the calling thread for `ms` milliseconds.
void SleepMs(std::uint32_t ms);

} // namespace lumenpost
