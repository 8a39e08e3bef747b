// The NAT server's two sockets on the listen port: a TCP listener for
// handshakes and NAT requests, and a UDP socket for heartbeats and
// connect-back orders. Both non-blocking.
#pragma once

#include <cstdint>

#include "platform/socket.h"

class CNatListen {
public:
    CNatListen() = default;
    ~CNatListen() { Close(); }
    CNatListen(const CNatListen&) = delete;
    CNatListen& operator=(const CNatListen&) = delete;

    // Binds TCP and UDP on one port on every interface: `wanted`, or the
    // next of 10 ports while it is busy; 0 picks a free one. False when
    // nothing binds.
    bool Bind(std::uint16_t wanted);
    void Close();

    std::uint16_t Port() const { return m_port; }
    platform::socket_t Tcp() const { return m_tcp; }
    platform::socket_t Udp() const { return m_udp; }

private:
    platform::socket_t m_tcp = platform::invalid_socket;
    platform::socket_t m_udp = platform::invalid_socket;
    std::uint16_t m_port = 0;
};
