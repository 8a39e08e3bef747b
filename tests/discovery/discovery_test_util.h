// Small helpers of the discovery tests: a port nobody listens on, and a
// bounded wait for a condition.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "support/wait_until.h"

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

using test_support::wait_until;

inline std::uint32_t Loopback()
{
    return platform::parse_ipv4("127.0.0.1");   // network order
}

// A damaged copy of a length-framed packet whose length prefix still
// matches its size, so a receiver reads it whole without waiting: a byte
// changed, the body cut, bytes appended, or a field length made huge.
inline std::vector<std::uint8_t> Mutate(std::vector<std::uint8_t> packet, std::mt19937& rng)
{
    auto pick = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    switch (pick(4)) {
    case 0:
        if (packet.size() > 4)
            packet[4 + pick(packet.size() - 4)] ^= static_cast<std::uint8_t>(1 + pick(255));
        break;
    case 1:
        packet.resize(5 + pick(packet.size() > 5 ? packet.size() - 5 : 1));
        break;
    case 2:
        for (std::size_t i = 0, n = 1 + pick(200); i < n; ++i)
            packet.push_back(static_cast<std::uint8_t>(pick(256)));
        break;
    default:
        if (packet.size() > 18) {
            const std::size_t at = 14 + pick(packet.size() - 18);
            packet[at] = packet[at + 1] = packet[at + 2] = packet[at + 3] = 0xFF;
        }
        break;
    }
    const std::uint32_t body = static_cast<std::uint32_t>(packet.size() - 4);
    for (int i = 0; i < 4; ++i)
        packet[i] = static_cast<std::uint8_t>(body >> (8 * i));
    return packet;
}

}   // namespace discovery_test
