#include "foundation/tcp_client_socket.h"

#include "platform/error_codes.h"
#include "platform/tick.h"

using platform::err::connection_refused;
using platform::err::handle_eof;
using platform::err::timed_out;
using platform::err::would_block;

CTcpClientSocketHelper::~CTcpClientSocketHelper()
{
    Close();
}

void CTcpClientSocketHelper::Close()
{
    if (!m_detached)
        platform::close_socket(m_socket);
    m_socket = platform::invalid_socket;
}

platform::socket_t CTcpClientSocketHelper::Detach()
{
    m_detached = true;
    return m_socket;
}

int CTcpClientSocketHelper::Connect(std::uint32_t ipv4, std::uint16_t port, std::uint16_t local_port,
                                    std::uint32_t blocking, std::uint32_t wait_ms)
{
    Close();
    m_detached = false;
    m_socket = platform::tcp_socket();
    if (m_socket == platform::invalid_socket)
        return connect_failed;
    if (local_port != 0) {
        platform::set_reuse_address(m_socket, true);
        if (platform::bind_ipv4(m_socket, 0, local_port) != 0)
            return connect_failed;
    }
    // Always connect without blocking so the wait has a bound.
    if (!platform::set_non_blocking(m_socket, true))
        return connect_failed;
    if (blocking != 0 && wait_ms == 0)
        wait_ms = blocking_connect_ms;

    int result = connected;
    const std::uint32_t r = platform::connect_ipv4(m_socket, ipv4, port);
    if (r == connection_refused) {
        result = refused;
    } else if (r != 0 && r != would_block) {
        result = connect_failed;
    } else if (r == would_block) {
        const int w = platform::wait_writable(m_socket, wait_ms);
        if (w < 0)
            result = select_failed;
        else if (w == 0)
            result = wait_ended;
        else if (platform::socket_error(m_socket) != 0)
            result = refused;
    }
    if (result == connected && blocking != 0)
        platform::set_non_blocking(m_socket, false);
    return result;
}

std::uint32_t CTcpClientSocketHelper::SendAll(const void* data, std::uint32_t size, std::uint32_t wait_ms)
{
    if (m_socket == platform::invalid_socket)
        return platform::err::not_socket;
    const char* p = static_cast<const char*>(data);
    std::uint32_t left = size;
    while (left > 0) {
        const int w = platform::wait_writable(m_socket, wait_ms);
        if (w == 0)
            return timed_out;
        if (w < 0)
            return platform::last_error();
        std::uint32_t error = 0;
        const long n = platform::send_some(m_socket, p, left, error);
        if (n < 0) {
            if (error == would_block)
                continue;
            return error;
        }
        p += n;
        left -= static_cast<std::uint32_t>(n);
    }
    return 0;
}

long CTcpClientSocketHelper::Receive(void* data, std::uint32_t size, std::uint32_t wait_ms, std::uint32_t& error)
{
    error = 0;
    if (m_socket == platform::invalid_socket) {
        error = platform::err::not_socket;
        return -1;
    }
    const int w = platform::wait_readable(m_socket, wait_ms);
    if (w == 0) {
        error = timed_out;
        return -1;
    }
    if (w < 0) {
        error = platform::last_error();
        return -1;
    }
    const long n = platform::receive_some(m_socket, data, size, error);
    if (n == 0)
        error = handle_eof;
    return n;
}

std::uint32_t CTcpClientSocketHelper::ReceiveAll(void* data, std::uint32_t size, std::uint32_t wait_ms)
{
    char* p = static_cast<char*>(data);
    std::uint32_t left = size;
    while (left > 0) {
        std::uint32_t error = 0;
        const long n = Receive(p, left, wait_ms, error);
        if (n < 0 && error == would_block)
            continue;   // woken without data: wait again
        if (n <= 0)
            return error;
        p += n;
        left -= static_cast<std::uint32_t>(n);
    }
    return 0;
}
