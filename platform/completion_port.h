// A completion port for Linux: a FIFO of completion packets that one
// thread dequeues, and an epoll set of descriptors whose readiness is
// handed to their owners on that same thread while it waits. Descriptors
// that move bulk data can be served instead by the port's transfer thread,
// which does their transfers as a completion port's kernel does overlapped
// I/O, so the thread running the handlers does not copy their bytes.
// Posting is thread-safe and wakes a waiting thread through an eventfd only
// when one is actually asleep, so a thread that posts to itself pays no
// syscall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

struct epoll_event;

namespace platform {

// One completion: a handler (function, context) with the values it is to
// receive. `kind` is the owner's own tag. A packet without a function is
// an "empty" completion (used to wake and stop the dequeuing thread).
struct completion_packet {
    void (*function)() = nullptr;
    void* context = nullptr;
    std::uint32_t kind = 0;
    std::uint32_t error = 0;
    std::uint32_t bytes = 0;
};

// Readiness bits passed to ready_target::on_ready.
constexpr std::uint32_t ready_read = 1;
constexpr std::uint32_t ready_write = 2;
constexpr std::uint32_t ready_error = 4;   // error or hang-up

// The owner of a watched descriptor. on_ready runs on the thread inside
// CompletionPort::get (or on the transfer thread, see attach), outside
// every lock of the port; it typically does the non-blocking I/O and posts
// packets.
class ready_target {
public:
    virtual ~ready_target() = default;
    virtual void on_ready(std::uint32_t events) = 0;
    // The port's owner gives up on every operation still waiting for
    // readiness (its I/O thread has ended): complete them as cancelled.
    virtual void on_abandon() {}
};

class CompletionPort {
public:
    CompletionPort();
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // False when epoll or the eventfd could not be created.
    bool valid() const { return m_epoll >= 0 && m_wake >= 0; }

    // Queues a packet (any thread). False when the port is not valid.
    bool post(const completion_packet& packet);

    enum class wait_result { packet, timeout, failed };

    // Dequeues the oldest packet, waiting up to `timeout_ms` (0: poll) for
    // one while serving descriptor readiness. One thread at a time.
    wait_result get(completion_packet& out, std::uint32_t timeout_ms);

    // Watches `fd` (edge-triggered, read and write) for `target`; returns
    // the key for detach, 0 on failure (error in last_error()). With
    // `on_transfer_thread` its readiness is served by the transfer thread
    // (started by the first such attach), not inside get.
    std::uint64_t attach(int fd, std::shared_ptr<ready_target> target, bool on_transfer_thread = false);

    // Has the transfer thread call target->on_ready(events) soon, as if the
    // descriptor had become ready: an operation just started is tried there
    // at once, since an edge seen before it started is not repeated.
    void kick(std::shared_ptr<ready_target> target, std::uint32_t events);

    // Ends the transfer thread (idempotent): it serves nothing more. What
    // still waits is completed by abandon_all or by its descriptor's close.
    void stop_transfers();

    // Stops delivering readiness for the key. Events already taken from
    // epoll for it are dropped. Call before closing the descriptor.
    void detach(std::uint64_t key, int fd);

    // Calls on_abandon of every watched descriptor's target, outside the
    // port's locks.
    void abandon_all();

    // Wakes a thread blocked in get() (it then returns timeout).
    void wake();

    // Packets queued and not yet dequeued.
    std::size_t pending() const;

private:
    bool pop(completion_packet& out);
    void dispatch_ready(int timeout_ms);
    void serve_transfers();
    // Hands `n` epoll events to their targets; `wake_fd` is drained.
    void deliver(const ::epoll_event* events, int n, int wake_fd);

    int m_epoll = -1;
    int m_wake = -1;
    int m_transfer_epoll = -1;
    int m_transfer_wake = -1;
    // A ring of packets that only grows, so a steady flow allocates nothing.
    struct packet_ring {
        std::vector<completion_packet> slots = std::vector<completion_packet>(64);
        std::size_t head = 0;
        std::size_t count = 0;
        void push(const completion_packet& p);
        bool pop(completion_packet& p);
        bool empty() const { return count == 0; }
        std::size_t size() const { return count; }
    };

    mutable std::mutex m_queue_lock;   // guards m_queue and m_sleeping
    packet_ring m_queue;
    bool m_sleeping = false;     // a thread waits in epoll with an empty queue
    unsigned m_since_poll = 0;   // packets handed out since the last epoll look

    struct kicked {
        std::shared_ptr<ready_target> target;
        std::uint32_t events;
    };
    std::mutex m_kick_lock;   // guards the four below
    std::vector<kicked> m_kicks;
    bool m_transfer_sleeping = false;   // the transfer thread waits in epoll with no kick queued
    bool m_transfer_stop = false;
    std::thread m_transfer;

    struct watched {
        std::shared_ptr<ready_target> target;
        int epoll;   // the set the descriptor is in
    };
    std::mutex m_targets_lock;   // guards m_targets and m_next_key
    std::unordered_map<std::uint64_t, watched> m_targets;
    std::uint64_t m_next_key = 1;
};

}   // namespace platform
