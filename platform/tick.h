// Millisecond tick counter in the style of the original code: 32 bits,
// monotonic, wrapping about every 49.7 days.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; wraps at 2^32.
std::uint32_t tick_count();

// 64-bit milliseconds on the same monotonic clock; never wraps.
std::uint64_t tick_count64();

// Replaces the clock behind tick_count() (tests use it to jump time or to
// sit just before the wrap); nullptr restores the monotonic clock.
using tick_source = std::uint32_t (*)();
void set_tick_source(tick_source source);

// True when `now` is at or past `deadline`, judged by signed distance so a
// deadline that wrapped past zero is neither early nor 49.7 days late.
inline bool tick_reached(std::uint32_t now, std::uint32_t deadline)
{
    return static_cast<std::int32_t>(now - deadline) >= 0;
}

// Milliseconds from `now` until `deadline`, 0 when it is already reached.
inline std::uint32_t tick_remaining(std::uint32_t now, std::uint32_t deadline)
{
    return tick_reached(now, deadline) ? 0 : deadline - now;
}

// Seconds since 1970 (the C runtime clock the original used for "time").
std::int64_t unix_time();

// Sleeps the calling thread.
void sleep_ms(std::uint32_t ms);

}   // namespace platform
