// Helpers for the I/O layer tests: an i_io_service run on its own thread,
// connected socket pairs on 127.0.0.1, and bounded waits.
#pragma once

#include "net/io/deadline_timer.h"
#include "net/io/io_service.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "support/closed_port.h"
#include "support/shifted_tick.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace net_test {

// Descriptors the process holds open now (entries of /proc/self/fd).
inline std::size_t open_descriptors()
{
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

using test_support::wait_until;

// An i_io_service with one thread inside run, stopped and joined at the end.
class io_thread {
public:
    io_thread() { start(); }
    ~io_thread() { stop(); }

    void start()
    {
        m_done = false;
        m_thread.start([this] {
            m_io_thread_id = std::this_thread::get_id();
            m_count = io.run();
            m_done = true;
        });
    }

    // set_stopped + stop, then a bounded join. True when run returned.
    bool stop()
    {
        if (!m_thread.joinable())
            return true;
        io.set_stopped();
        io.stop();
        return m_thread.join_for(5000);
    }

    bool done() const { return m_done.load(); }
    std::uint32_t run_count() const { return m_count.load(); }
    std::thread::id thread_id() const { return m_io_thread_id.load(); }

    i_io_service io;

private:
    platform::Thread m_thread;
    std::atomic<bool> m_done{false};
    std::atomic<std::uint32_t> m_count{0};
    std::atomic<std::thread::id> m_io_thread_id{};
};

// A listening socket on 127.0.0.1 with a free port.
struct listener {
    platform::socket_t fd = platform::invalid_socket;
    std::uint16_t port = 0;

    listener()
    {
        fd = platform::tcp_socket();
        platform::bind_ipv4(fd, platform::parse_ipv4("127.0.0.1"), 0);
        platform::listen_socket(fd, 64);
        std::uint32_t ip = 0;
        platform::local_endpoint(fd, ip, port);
    }
    ~listener() { platform::close_socket(fd); }

    platform::socket_t accept_one(std::uint32_t ms = 5000)
    {
        if (platform::wait_readable(fd, ms) != 1)
            return platform::invalid_socket;
        std::uint32_t error = 0;
        return platform::accept_socket(fd, nullptr, nullptr, error);
    }
};

// Two connected blocking sockets on 127.0.0.1.
struct socket_pair {
    platform::socket_t a = platform::invalid_socket;
    platform::socket_t b = platform::invalid_socket;

    socket_pair()
    {
        listener l;
        a = platform::tcp_socket();
        platform::connect_ipv4(a, platform::parse_ipv4("127.0.0.1"), l.port);
        b = l.accept_one();
    }
    ~socket_pair()
    {
        platform::close_socket(a);
        platform::close_socket(b);
    }
    // Hands `a` over (the caller's object will own and close it).
    platform::socket_t release_a()
    {
        platform::socket_t s = a;
        a = platform::invalid_socket;
        return s;
    }
};

// A listener on 127.0.0.1 whose accept queue is full: the kernel drops
// further SYNs, so a connect to it stays pending (tests skip when a
// kernel answers anyway).
struct full_listener {
    listener l;
    std::vector<platform::socket_t> fillers;

    full_listener()
    {
        for (int i = 0; i < 100; ++i) {
            platform::socket_t f = platform::tcp_socket();
            platform::set_non_blocking(f, true);
            platform::connect_ipv4(f, platform::parse_ipv4("127.0.0.1"), l.port);
            fillers.push_back(f);
        }
        platform::sleep_ms(50);
    }
    ~full_listener()
    {
        for (auto& f : fillers)
            platform::close_socket(f);
    }
};

using test_support::shifted_tick;
using test_support::tick_offset;

// After the tick was moved on: true once every timer of `io` due by now has
// fired, and the handlers those posted in turn have run. A timer whose
// handler has not run by then was not due. The I/O thread takes due timers
// in one pass and runs handlers in order, so a timer due now followed by a
// few posts, each queued behind what the one before let run, comes last.
inline bool run_due_timers(i_io_service& io, std::uint32_t ms = 5000)
{
    struct barrier {
        explicit barrier(i_io_service& service) : io(service), timer(service) {}
        static void hop(void* context, const i_error_code&)
        {
            auto* self = static_cast<barrier*>(context);
            if (--self->hops == 0)
                self->done.store(true);
            else
                self->io.post(&barrier::hop, self);
        }
        i_io_service& io;
        i_deadline_timer timer;
        int hops = 3;
        std::atomic<bool> done{false};
    };
    // Reachable by the handlers until they ran; left to the end of the
    // process when the I/O thread never gets to them.
    auto* b = new barrier(io);
    b->timer.expires_from_now(0);
    b->timer.async_wait(&barrier::hop, b);
    if (!wait_until([&] { return b->done.load(); }, ms))
        return false;
    delete b;
    return true;
}

// A port on 127.0.0.1 that nobody listens on, held for the life of the
// process so no test running in parallel can take it.
inline std::uint16_t unused_port()
{
    static const ClosedPort held;
    return held.port();
}

inline std::uint32_t loopback_host_order()
{
    return 0x7F000001u;
}

// A handler on the I/O thread every `period_ms` that records the longest
// gap between two of its runs: a gap far above the period means some
// other handler held the thread that long.
class io_watchdog {
public:
    io_watchdog(i_io_service& io, std::uint32_t period_ms = 10) : m_timer(io), m_period(period_ms)
    {
        m_last.store(platform::tick_count64());
        arm();
    }
    // Stops the chain and waits (bounded) for its last run.
    ~io_watchdog()
    {
        m_stop.store(true);
        m_timer.cancel();
        test_support::wait_until([&] { return m_ended.load(); });
    }

    std::uint64_t longest_gap_ms() const { return m_longest.load(); }
    std::uint32_t runs() const { return m_runs.load(); }

private:
    void arm()
    {
        m_timer.expires_from_now(m_period);
        m_timer.async_wait(&io_watchdog::fired, this);
    }
    static void fired(void* self, const i_error_code&)
    {
        auto* w = static_cast<io_watchdog*>(self);
        const std::uint64_t now = platform::tick_count64();
        const std::uint64_t gap = now - w->m_last.exchange(now);
        if (gap > w->m_longest.load())
            w->m_longest.store(gap);
        ++w->m_runs;
        if (w->m_stop.load())
            w->m_ended.store(true);
        else
            w->arm();
    }

    i_deadline_timer m_timer;
    const std::uint32_t m_period;
    std::atomic<std::uint64_t> m_last{0};
    std::atomic<std::uint64_t> m_longest{0};
    std::atomic<std::uint32_t> m_runs{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ended{false};
};

}   // namespace net_test
