// A rate-limited relay in front of a peer, for the peer-to-peer tests and
// benches.
#pragma once

#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace test_support {

// A TCP relay on 127.0.0.1 in front of a peer that passes what the peer
// sends at a bounded rate (all connections together, from the relay's
// start) and the rest as it comes: a seed on a slow uplink. After
// `stall_after` bytes from the peer it passes nothing more from it and
// keeps the connections open: a peer that stalls.
class ThrottledRelay {
public:
    ThrottledRelay(std::uint16_t target, std::uint32_t rate, std::uint64_t stall_after = ~0ull)
        : m_target(target), m_rate(rate), m_stall_after(stall_after)
    {
        m_listener = platform::tcp_socket();
        platform::bind_ipv4(m_listener, platform::parse_ipv4("127.0.0.1"), 0);
        platform::listen_socket(m_listener, 8);
        std::uint32_t ip = 0;
        platform::local_endpoint(m_listener, ip, m_port);
        m_accept.start([this] { Accept(); });
    }
    ~ThrottledRelay()
    {
        m_stop = true;
        m_accept.join_for(10000);
        for (auto& pump : m_pumps)
            pump->join_for(10000);
        platform::close_socket(m_listener);
    }
    ThrottledRelay(const ThrottledRelay&) = delete;
    ThrottledRelay& operator=(const ThrottledRelay&) = delete;
    std::uint16_t port() const { return m_port; }
    std::uint64_t passed() const { return m_passed.load(); }

private:
    void Accept()
    {
        while (!m_stop) {
            if (platform::wait_readable(m_listener, 50) != 1)
                continue;
            std::uint32_t error = 0;
            platform::socket_t client = platform::accept_socket(m_listener, nullptr, nullptr, error);
            platform::socket_t peer = platform::tcp_socket();
            if (client == platform::invalid_socket ||
                platform::connect_ipv4(peer, platform::parse_ipv4("127.0.0.1"), m_target) != 0) {
                platform::close_socket(client);
                platform::close_socket(peer);
                continue;
            }
            m_pumps.push_back(std::make_unique<platform::Thread>());
            m_pumps.back()->start([this, client, peer] { Pump(client, peer); });
        }
    }
    // Both directions of one connection until either side closes.
    void Pump(platform::socket_t client, platform::socket_t peer)
    {
        std::vector<std::uint8_t> buffer(16384);
        const platform::socket_t sides[2] = {client, peer};
        bool open = true;
        while (!m_stop && open) {
            // Stalled: the peer's side is no longer read.
            const int watched = m_passed.load() >= m_stall_after ? 1 : 2;
            bool ready[2] = {false, false};
            if (platform::wait_any_readable(sides, watched, 50, ready) <= 0)
                continue;
            for (int from = 0; from < watched && open; ++from) {
                if (!ready[from])
                    continue;
                std::uint32_t error = 0;
                const long n = platform::receive_some(sides[from], buffer.data(), from == 1 ? 4096 : 16384, error);
                if (n <= 0) {
                    open = false;
                    break;
                }
                if (from == 1)
                    Spend(std::uint32_t(n));
                for (long done = 0; done < n && open;) {
                    const long sent = platform::send_some(sides[1 - from], buffer.data() + done, std::size_t(n - done),
                                                          error);
                    open = sent > 0;
                    done += sent > 0 ? sent : 0;
                }
            }
        }
        platform::socket_t a = client, b = peer;
        platform::close_socket(a);
        platform::close_socket(b);
    }
    // Waits until `n` more bytes keep the relay within its rate.
    void Spend(std::uint32_t n)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_passed += n;
        const double due = double(m_passed.load()) / double(m_rate) * 1000.0;
        const std::uint32_t elapsed = platform::tick_count() - m_start;
        if (due > elapsed)
            platform::sleep_ms(std::uint32_t(due - elapsed));
    }

    const std::uint16_t m_target;
    const std::uint32_t m_rate;
    const std::uint64_t m_stall_after;
    std::uint16_t m_port = 0;
    platform::socket_t m_listener = platform::invalid_socket;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;   // one pump at a time spends the rate
    std::atomic<std::uint64_t> m_passed{0};
    const std::uint32_t m_start = platform::tick_count();
    platform::Thread m_accept;
    std::vector<std::unique_ptr<platform::Thread>> m_pumps;   // the accept thread's
};

}   // namespace test_support
