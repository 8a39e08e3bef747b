// The completion service behind i_io_service: a completion port (epoll on
// this platform) from which the I/O thread takes one completion at a time
// and runs its handler, with the stop, pause and shutdown handshakes.
#pragma once

#include "net/io/io_service.h"
#include "platform/completion_port.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class i_select_reactor;

class i_iocp_io_service : public i_service {
public:
    // Completion kinds carried by the port.
    enum : std::uint32_t {
        kind_post = 0,       // handler(context, error)
        kind_send = 1,       // transfer handler; 64 becomes 995
        kind_receive = 2,    // transfer handler; 64 becomes 995, 0 bytes with 0 becomes 38
        kind_transfer = 3,   // transfer handler, values as posted
        kind_stop = 4,       // empty completion posted by stop
        kind_pause = 5,      // empty completion posted by pause
    };

    explicit i_iocp_io_service(i_io_service& owner);
    ~i_iocp_io_service() override;

    // Sets the shutdown flag and drops every queued completion unrun.
    void shutdown_service() override;

    // Takes one completion (waiting when `block`) and runs it. 0 when an
    // empty completion arrived while not paused (stop); else 1.
    std::uint32_t run_one(bool block);

    std::uint32_t run();

    // After run has returned for good: completes every operation still
    // queued or waiting as cancelled (995, no bytes), on the calling thread,
    // until none is left or `limit` handlers ran. Returns how many ran.
    std::uint32_t run_abandoned(std::uint32_t limit);

    // See i_io_service::poll. Stop and pause markers are dropped.
    std::uint32_t poll();

    void stop();
    void set_stopped();
    bool pause();
    void restart();

    // Queues handler(context, error). 0 queued; the shutdown flag (1) when
    // refused; the port's error when the port failed.
    std::uint32_t post(i_handler function, void* context, std::uint32_t error);

    // Queues a send or receive completion for a transfer handler.
    std::uint32_t post_transfer(std::uint32_t kind, i_transfer_handler function, void* context, std::uint32_t error,
                                std::uint32_t bytes);

    bool is_shut_down() const { return m_shutdown.load() != 0; }
    bool is_paused() const { return m_paused.load() != 0; }
    bool stop_requested() const { return m_stop_requested.load() != 0; }
    bool is_stopped() const { return m_stopped.load(); }

    // True on the thread currently inside run().
    bool on_io_thread() const;

    platform::CompletionPort& port() { return m_port; }

    // The reactor registers itself so the I/O thread expires its timers.
    void set_reactor(i_select_reactor* reactor) { m_reactor.store(reactor); }

    // Wakes the I/O thread so it looks at the timers again.
    void wake() { m_port.wake(); }

private:
    std::uint32_t post_packet(std::uint32_t kind, void (*function)(), void* context, std::uint32_t error,
                              std::uint32_t bytes);
    void dispatch(const platform::completion_packet& packet);
    void park();
    void end_pause_locked();   // with m_park_lock held

    platform::CompletionPort m_port;
    std::atomic<std::uint32_t> m_stop_requested{0};   // never reset
    std::atomic<std::uint32_t> m_shutdown{0};         // once 1, posts are refused
    std::atomic<std::uint32_t> m_paused{0};
    std::atomic<bool> m_stopped{false};   // set_stopped
    std::atomic<i_select_reactor*> m_reactor{nullptr};
    std::atomic<std::thread::id> m_run_thread{};
    std::atomic<bool> m_in_run{false};

    std::mutex m_park_lock;   // guards m_parked and m_pause_count
    std::condition_variable m_park_cond;
    bool m_parked = false;
    std::uint32_t m_pause_count = 0;   // pauses not yet restarted
};
