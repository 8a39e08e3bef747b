#include "foundation/bounded_socket.h"

#include <sys/socket.h>

#include "platform/error_codes.h"
#include "platform/tick.h"

namespace {

// Waits for readiness in slices so a stop request ends the wait promptly.
// 0 when ready, else the error (10060 time-out, 995 stopped).
std::uint32_t wait_sliced(platform::socket_t s, bool for_write, std::uint32_t deadline, const StopCheck& stop)
{
    for (;;) {
        if (stop.requested())
            return platform::err::operation_aborted;
        const std::uint32_t left = platform::tick_remaining(platform::tick_count(), deadline);
        if (left == 0)
            return platform::err::timed_out;
        const std::uint32_t slice = left < CBoundedSocket::kSliceMs ? left : CBoundedSocket::kSliceMs;
        const int r = for_write ? platform::wait_writable(s, slice) : platform::wait_readable(s, slice);
        if (r > 0)
            return 0;
        if (r < 0) {
            const std::uint32_t error = platform::last_error();
            return error ? error : platform::err::wsa_invalid;
        }
    }
}

}   // namespace

std::uint32_t CBoundedSocket::Connect(std::uint32_t ipv4, std::uint16_t port, std::uint32_t timeout_ms,
                                      const StopCheck& stop)
{
    Close();
    if (ipv4 == 0 || port == 0)
        return platform::err::address_not_available;
    m_socket = platform::tcp_socket();
    if (m_socket == platform::invalid_socket)
        return platform::last_error();
    platform::set_non_blocking(m_socket, true);
    std::uint32_t error = platform::connect_ipv4(m_socket, ipv4, port);
    if (error == platform::err::would_block || error == platform::err::in_progress) {
        error = wait_sliced(m_socket, true, platform::tick_count() + timeout_ms, stop);
        if (error == 0)
            error = platform::socket_error(m_socket);
    }
    if (error != 0)
        Close();
    return error;
}

std::uint32_t CBoundedSocket::SendAll(const void* data, std::size_t size, std::uint32_t timeout_ms,
                                      const StopCheck& stop)
{
    if (!IsOpen())
        return platform::err::not_connected;
    const std::uint32_t deadline = platform::tick_count() + timeout_ms;
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (stop.requested())
            return platform::err::operation_aborted;
        std::uint32_t error = 0;
        const long n = platform::send_some(m_socket, p, size, error);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && error != platform::err::would_block)
            return error;
        if (const std::uint32_t wait_error = wait_sliced(m_socket, true, deadline, stop))
            return wait_error;
    }
    return 0;
}

std::uint32_t CBoundedSocket::ReceiveExactBy(std::uint8_t* data, std::size_t size, std::uint32_t deadline,
                                             const StopCheck& stop)
{
    if (!IsOpen())
        return platform::err::not_connected;
    while (size > 0) {
        std::uint32_t error = 0;
        const long n = platform::receive_some(m_socket, data, size, error);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            return platform::err::handle_eof;
        if (error != platform::err::would_block)
            return error;
        if (const std::uint32_t wait_error = wait_sliced(m_socket, false, deadline, stop))
            return wait_error;
    }
    return 0;
}

std::uint32_t CBoundedSocket::ReceiveUntilClose(std::string& out, std::size_t cap, std::uint32_t timeout_ms,
                                                const StopCheck& stop)
{
    if (!IsOpen())
        return platform::err::not_connected;
    const std::uint32_t deadline = platform::tick_count() + timeout_ms;
    char buf[4096];
    for (;;) {
        // A server that streams without end must not hold the thread.
        if (platform::tick_reached(platform::tick_count(), deadline))
            return platform::err::timed_out;
        std::uint32_t error = 0;
        const long n = platform::receive_some(m_socket, buf, sizeof buf, error);
        if (n == 0)
            return 0;
        if (n > 0) {
            const std::size_t room = out.size() < cap ? cap - out.size() : 0;
            out.append(buf, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
            continue;
        }
        if (error != platform::err::would_block)
            return error;
        if (const std::uint32_t wait_error = wait_sliced(m_socket, false, deadline, stop))
            return wait_error;
    }
}

void CBoundedSocket::ShutdownSend()
{
    if (IsOpen())
        ::shutdown(m_socket, SHUT_WR);
}

platform::socket_t CBoundedSocket::Detach()
{
    const platform::socket_t s = m_socket;
    m_socket = platform::invalid_socket;
    if (s != platform::invalid_socket)
        platform::set_non_blocking(s, false);
    return s;
}
