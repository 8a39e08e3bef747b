#include "report/report_socket.h"

#include <chrono>

#include <sys/socket.h>

#include "platform/error_codes.h"

namespace {

using clock_type = std::chrono::steady_clock;

bool stopped(const std::atomic<bool>* stop)
{
    return stop && stop->load();
}

// Milliseconds left until `deadline`, capped at one slice; 0 when it passed.
std::uint32_t slice_left(clock_type::time_point deadline)
{
    const auto now = clock_type::now();
    if (now >= deadline)
        return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    return left > kReportSocketSliceMs ? kReportSocketSliceMs : static_cast<std::uint32_t>(left);
}

} // namespace

std::uint32_t CReportSocket::Connect(std::uint32_t ipv4, std::uint16_t port, std::uint32_t total_ms,
                                     const std::atomic<bool>* stop)
{
    Close();
    m_socket = platform::tcp_socket();
    if (m_socket == platform::invalid_socket)
        return platform::last_error();
    platform::set_non_blocking(m_socket, true);
    std::uint32_t error = platform::connect_ipv4(m_socket, ipv4, port);
    if (error == 0)
        return 0;
    if (error != platform::err::would_block && error != platform::err::in_progress) {
        Close();
        return error;
    }
    const auto deadline = clock_type::now() + std::chrono::milliseconds(total_ms);
    for (;;) {
        if (stopped(stop)) {
            Close();
            return platform::err::operation_aborted;
        }
        const std::uint32_t slice = slice_left(deadline);
        if (slice == 0) {
            Close();
            return platform::err::timed_out;
        }
        const int ready = platform::wait_writable(m_socket, slice);
        if (ready < 0) {
            error = platform::last_error();
            Close();
            return error ? error : platform::err::wsa_invalid;
        }
        if (ready > 0) {
            error = platform::socket_error(m_socket);
            if (error != 0)
                Close();
            return error;
        }
    }
}

std::uint32_t CReportSocket::SendAll(const void* data, std::size_t size, std::uint32_t total_ms,
                                     const std::atomic<bool>* stop)
{
    if (m_socket == platform::invalid_socket)
        return platform::err::not_connected;
    const char* p = static_cast<const char*>(data);
    const auto deadline = clock_type::now() + std::chrono::milliseconds(total_ms);
    while (size > 0) {
        if (stopped(stop))
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
        const std::uint32_t slice = slice_left(deadline);
        if (slice == 0)
            return platform::err::timed_out;
        if (platform::wait_writable(m_socket, slice) < 0)
            return platform::last_error();
    }
    return 0;
}

std::uint32_t CReportSocket::ReceiveUntilClose(std::string& out, std::size_t cap, std::uint32_t total_ms,
                                               const std::atomic<bool>* stop)
{
    if (m_socket == platform::invalid_socket)
        return platform::err::not_connected;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(total_ms);
    char buf[4096];
    for (;;) {
        if (stopped(stop))
            return platform::err::operation_aborted;
        // A server that streams without end must not hold the thread.
        if (slice_left(deadline) == 0)
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
        const std::uint32_t slice = slice_left(deadline);
        if (slice == 0)
            return platform::err::timed_out;
        if (platform::wait_readable(m_socket, slice) < 0)
            return platform::last_error();
    }
}

void CReportSocket::ShutdownSend()
{
    if (m_socket != platform::invalid_socket)
        ::shutdown(m_socket, SHUT_WR);
}
