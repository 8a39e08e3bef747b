// Two connected sockets on 127.0.0.1 for the benchmarks: `a` dialled, `b`
// accepted. False (b invalid) when no connection came within 5 s.
#pragma once

#include "platform/socket.h"

#include <cstdint>

inline bool loopback_pair(platform::socket_t& a, platform::socket_t& b)
{
    platform::socket_t l = platform::tcp_socket();
    platform::bind_ipv4(l, platform::parse_ipv4("127.0.0.1"), 0);
    platform::listen_socket(l, 4);
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    platform::local_endpoint(l, ip, port);
    a = platform::tcp_socket();
    platform::connect_ipv4(a, platform::parse_ipv4("127.0.0.1"), port);
    std::uint32_t error = 0;
    b = platform::wait_readable(l, 5000) == 1 ? platform::accept_socket(l, nullptr, nullptr, error)
                                              : platform::invalid_socket;
    platform::close_socket(l);
    return b != platform::invalid_socket;
}
