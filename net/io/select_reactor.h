// The reactor service: the timer queues of the deadline timers. The I/O
// thread asks it, before each wait on the completion port, to post the
// waits that are due and how long it may sleep; a wait whose expiry is
// reached is posted with 0, a cancelled one with 995. Pending connects are
// watched by the completion port's epoll set (see stream_socket.h).
#pragma once

#include "net/io/io_service.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

class i_iocp_io_service;

// The state of one deadline timer.
struct i_timer_impl {
    std::atomic<std::uint32_t> expiry{0};    // tick count in ms
    std::atomic<std::uint32_t> pending{0};   // 1 while a wait may be queued
};

class i_select_reactor : public i_service {
public:
    explicit i_select_reactor(i_io_service& owner);
    ~i_select_reactor() override;

    // Drops every pending wait without running it.
    void shutdown_service() override;

    // Adds a wait for `timer`'s current expiry.
    void add_wait(i_timer_impl& timer, i_handler function, void* context);

    // Posts every pending wait of `timer` with 995; returns how many.
    std::size_t cancel_waits(i_timer_impl& timer);

    // Posts the waits that are due at `now` with 0 and returns the
    // milliseconds until the next expiry (`cap` when none is nearer).
    std::uint32_t expire_due(std::uint32_t now, std::uint32_t cap);

    // Posts every pending wait of every timer with 995; returns how many.
    std::size_t cancel_all();

    // Number of pending waits over all timers.
    std::size_t pending_waits();

private:
    struct wait_op {
        std::uint32_t expiry;
        i_handler function;
        void* context;
    };

    i_iocp_io_service& m_iocp;
    std::mutex m_lock;                                       // guards the queue
    std::map<i_timer_impl*, std::vector<wait_op>> m_queue;   // timer -> its waits
    std::uint32_t m_earliest = 0;                            // earliest expiry in the queue, when not empty
    bool m_stopped = false;
};
