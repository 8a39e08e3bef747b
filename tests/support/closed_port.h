// A port on 127.0.0.1 that refuses connections for as long as this object
// lives: the socket is bound but never listens, so a connect is refused and
// no other test process (ctest runs them in parallel) can take the port and
// receive traffic meant to fail.
#pragma once

#include <cstdint>

#include "platform/socket.h"

class ClosedPort {
public:
    ClosedPort()
    {
        m_socket = platform::tcp_socket();
        if (m_socket != platform::invalid_socket &&
            platform::bind_ipv4(m_socket, platform::parse_ipv4("127.0.0.1"), 0) == 0) {
            std::uint32_t ip = 0;
            platform::local_endpoint(m_socket, ip, m_port);
        }
    }
    ~ClosedPort() { platform::close_socket(m_socket); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    // 0 when no port could be bound.
    std::uint16_t port() const { return m_port; }

private:
    platform::socket_t m_socket = platform::invalid_socket;
    std::uint16_t m_port = 0;
};
