// One-shot millisecond timers on an i_io_service. Expiry is a 32-bit tick
// count (platform::tick_count) and is judged by signed distance, so a wait
// near the 49.7-day wrap fires on time, neither early nor 49.7 days late.
#pragma once

#include "net/io/io_service.h"
#include "net/io/select_reactor.h"

#include <cstdint>

// Forwards the timer operations to the reactor's timer queue.
class i_basic_deadline_timer_service : public i_service {
public:
    explicit i_basic_deadline_timer_service(i_io_service& owner);
    void shutdown_service() override {}
    i_select_reactor& reactor() { return m_reactor; }

private:
    i_select_reactor& m_reactor;
};

class i_deadline_timer {
public:
    // Expiry = now; no wait pending.
    explicit i_deadline_timer(i_io_service& io);
    // Cancels pending waits (their handlers receive 995).
    ~i_deadline_timer();
    i_deadline_timer(const i_deadline_timer&) = delete;
    i_deadline_timer& operator=(const i_deadline_timer&) = delete;

    // Cancels pending waits (995), then sets expiry = now + ms (wrapping).
    void expires_from_now(std::uint32_t ms);

    // Waits for the current expiry; several waits may be pending. The
    // handler receives 0 at or after the expiry, 995 when cancelled.
    void async_wait(i_handler function, void* context);

    // Completes every pending wait with 995; nothing when none is pending.
    void cancel();

    std::uint32_t expiry() const { return m_impl.expiry.load(); }

    i_io_service& get_io_service() { return m_io; }

private:
    i_io_service& m_io;
    i_basic_deadline_timer_service& m_service;
    i_timer_impl m_impl;
};
