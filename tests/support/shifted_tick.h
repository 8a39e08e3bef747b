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

inline std::uint32_t shifted_tick()
{
    return std::uint32_t(platform::tick_count64()) + tick_offset().load();
}

// The shifted tick, from no offset, for the life of the scope.
class shifted_tick_scope {
public:
    shifted_tick_scope()
    {
        tick_offset().store(0);
        platform::set_tick_source(&shifted_tick);
    }
    ~shifted_tick_scope() { platform::set_tick_source(nullptr); }
    shifted_tick_scope(const shifted_tick_scope&) = delete;
    shifted_tick_scope& operator=(const shifted_tick_scope&) = delete;
};

} // namespace test_support
