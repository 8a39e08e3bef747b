// Auto- and manual-reset events with timed waits, as the threads of the
// service use them to sleep, to be woken and to be told to stop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

constexpr std::uint32_t infinite = 0xFFFFFFFFu;

class Event {
public:
    enum class Reset { automatic, manual };

    explicit Event(Reset mode = Reset::automatic, bool initially_set = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Signals the event: a manual-reset event stays set until reset(); an
    // automatic one releases a single waiter and clears itself.
    void set();
    void reset();
    bool is_set() const;

    // Waits up to `ms` milliseconds (infinite: no limit). True when the
    // event was signalled, false on time-out.
    bool wait(std::uint32_t ms = infinite);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    const bool m_manual;
    bool m_set;
};

}   // namespace platform
