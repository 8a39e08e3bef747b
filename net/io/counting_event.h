// A wake-up signal that loses no posts: one waiter, any number of posters.
#pragma once

#include "platform/event.h"

#include <atomic>
#include <cstdint>

class CCountingEvent {
public:
    CCountingEvent() : m_event(platform::Event::Reset::automatic) {}
    ~CCountingEvent() { m_event.set(); }

    // Counts one post; wakes the waiter when the count was 0.
    void Post();

    // Waits for a post (up to `ms`, platform::infinite for no limit) and
    // consumes it. True when a post was consumed, false on time-out.
    bool Wait(std::uint32_t ms = platform::infinite);

    std::uint32_t Count() const { return m_count.load(); }

private:
    platform::Event m_event;
    std::atomic<std::uint32_t> m_count{0};
};
