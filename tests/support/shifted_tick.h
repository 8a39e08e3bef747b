// A tick source that runs with the real clock plus an offset a test moves
// on at once: platform::set_tick_source(&shifted_tick), then add to
// tick_offset() to jump time-outs and back-offs.
#pragma once

#include "platform/tick.h"

#include <atomic>
#include <cstdint>

namespace test_support {

inline std::atomic<std::uint32_t>& tick_offset()
{
    static std::atomic<std::uint32_t> offset{0};
    return offset;
}

// Non-zero: the tick stands at this value (see shifted_tick_scope::hold).
inline std::atomic<std::uint32_t>& held_tick()
{
    static std::atomic<std::uint32_t> held{0};
    return held;
}

inline std::uint32_t shifted_tick()
{
    const std::uint32_t held = held_tick().load();
    return held != 0 ? held : std::uint32_t(platform::tick_count64()) + tick_offset().load();
}

// The shifted tick, from no offset, for the life of the scope.
class shifted_tick_scope {
public:
    shifted_tick_scope()
    {
        tick_offset().store(0);
        held_tick().store(0);
        platform::set_tick_source(&shifted_tick);
    }
    ~shifted_tick_scope()
    {
        platform::set_tick_source(nullptr);
        held_tick().store(0);
    }
    // Stops the clock where it is: no period or time-out falls due until
    // release(), so only what is woken runs.
    void hold() { held_tick().store(shifted_tick() | 1); }
    void release() { held_tick().store(0); }
    shifted_tick_scope(const shifted_tick_scope&) = delete;
    shifted_tick_scope& operator=(const shifted_tick_scope&) = delete;
};

}   // namespace test_support
