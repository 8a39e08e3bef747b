// Small helpers of the discovery tests: a port nobody listens on, and a
// bounded wait for a condition.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/socket.h"

namespace discovery_test {

// A 127.0.0.1 TCP port that was free a moment ago (bound, then closed).
inline std::uint16_t ClosedPort()
{
    platform::socket_t s = platform::tcp_socket();
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    platform::bind_ipv4(s, platform::parse_ipv4("127.0.0.1"), 0);
    platform::local_endpoint(s, ip, port);
    platform::close_socket(s);
    return port;
}

// Polls `done` every 10 ms for at most `ms`; true when it became true.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

inline std::uint32_t Loopback()
{
    return platform::parse_ipv4("127.0.0.1");   // network order
}

} // namespace discovery_test
