// Blocking-or-not TCP client socket with a bounded connect, and the send
// and receive helpers its users need. The object owns the socket until it
// is detached.
#pragma once

#include "platform/socket.h"

#include <cstdint>

class CTcpClientSocketHelper {
public:
    // Connect results.
    enum : int {
        connected = 0,
        wait_ended = 1,       // still connecting when the wait ran out
        connect_failed = 2,   // no socket, or the connect failed at once
        select_failed = 3,    // the wait itself failed
        refused = 4,          // refused, or failed while it was waited for
    };

    // Connect wait used in blocking mode when the caller gives 0 (the
    // usual system connect limit), so no connect waits without bound.
    static constexpr std::uint32_t blocking_connect_ms = 21000;

    CTcpClientSocketHelper() = default;
    // Closes the socket unless it was detached.
    ~CTcpClientSocketHelper();
    CTcpClientSocketHelper(const CTcpClientSocketHelper&) = delete;
    CTcpClientSocketHelper& operator=(const CTcpClientSocketHelper&) = delete;

    // Creates the socket and connects to `ipv4` (network byte order) and
    // `port`, binding `local_port` first when it is not 0. `blocking` 0
    // makes the socket non-blocking (it stays so); otherwise it is blocking
    // once connected. A connect in progress is waited for up to `wait_ms`
    // (blocking mode: blocking_connect_ms when 0). Any socket held before
    // is closed first; on failure the socket stays held until Close or the
    // destructor (result 1 leaves it connecting).
    int Connect(std::uint32_t ipv4, std::uint16_t port, std::uint16_t local_port, std::uint32_t blocking,
                std::uint32_t wait_ms);

    // Leaves the socket to the caller: the destructor will not close it.
    platform::socket_t Detach();

    // The socket (invalid_socket when none).
    platform::socket_t GetSocket() const { return m_socket; }

    // Closes the socket now (unless detached).
    void Close();

    // Sends all bytes, waiting up to `wait_ms` for each chance to send.
    // 0 when all went, else the Win32 error (10060 on time-out).
    std::uint32_t SendAll(const void* data, std::uint32_t size, std::uint32_t wait_ms);

    // Waits up to `wait_ms` for data and receives what is there (at most
    // `size`). Bytes received; 0 with error 38 when the peer closed; -1 with
    // `error` set otherwise (10060 on time-out).
    long Receive(void* data, std::uint32_t size, std::uint32_t wait_ms, std::uint32_t& error);

    // Receives exactly `size` bytes within `wait_ms` per wait; 0 when all
    // came, else the error (38 when the peer closed early).
    std::uint32_t ReceiveAll(void* data, std::uint32_t size, std::uint32_t wait_ms);

private:
    platform::socket_t m_socket = platform::invalid_socket;
    bool m_detached = false;
};
