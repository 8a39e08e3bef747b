#include "discovery/packet_channel.h"

#include <algorithm>

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "platform/error_codes.h"
#include "platform/tick.h"

namespace discovery {
namespace {

constexpr std::uint32_t kPollSliceMs = 100;

bool StopRequested(const StopCheck& stop)
{
    return stop && stop();
}

// Waits for readiness in slices so a stop request ends the wait promptly.
// 0 when ready, else the error number (10060 time-out, 995 stopped).
std::uint32_t WaitSliced(platform::socket_t s, bool for_write, std::uint32_t deadline, const StopCheck& stop)
{
    for (;;) {
        if (StopRequested(stop))
            return platform::err::operation_aborted;
        const std::uint32_t left = platform::tick_remaining(platform::tick_count(), deadline);
        if (left == 0)
            return platform::err::timed_out;
        const std::uint32_t slice = left < kPollSliceMs ? left : kPollSliceMs;
        const int r = for_write ? platform::wait_writable(s, slice) : platform::wait_readable(s, slice);
        if (r > 0)
            return 0;
        if (r < 0)
            return platform::last_error();
    }
}

} // namespace

std::uint32_t PacketChannel::Connect(std::uint32_t ipv4, std::uint16_t port, std::uint32_t timeout_ms,
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
        const std::uint32_t deadline = platform::tick_count() + timeout_ms;
        error = WaitSliced(m_socket, true, deadline, stop);
        if (error == 0)
            error = platform::socket_error(m_socket);
    }
    if (error != 0)
        Close();
    return error;
}

std::uint32_t PacketChannel::SendAll(const void* data, std::size_t size, std::uint32_t timeout_ms,
                                     const StopCheck& stop)
{
    if (!IsOpen())
        return platform::err::not_socket;
    const std::uint32_t deadline = platform::tick_count() + timeout_ms;
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        std::uint32_t error = 0;
        const long n = platform::send_some(m_socket, p, size, error);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && error != platform::err::would_block)
            return error;
        if (const std::uint32_t wait_error = WaitSliced(m_socket, true, deadline, stop))
            return wait_error;
    }
    return 0;
}

std::uint32_t PacketChannel::ReceiveExact(std::uint8_t* data, std::size_t size, std::uint32_t deadline,
                                          const StopCheck& stop)
{
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
        if (const std::uint32_t wait_error = WaitSliced(m_socket, false, deadline, stop))
            return wait_error;
    }
    return 0;
}

std::uint32_t PacketChannel::ReceivePacket(std::vector<std::uint8_t>& packet, std::uint32_t max_body,
                                           std::uint32_t timeout_ms, const StopCheck& stop)
{
    packet.clear();
    if (!IsOpen())
        return platform::err::not_socket;
    const std::uint32_t deadline = platform::tick_count() + timeout_ms;
    std::uint8_t prefix[4];
    std::uint32_t error = ReceiveExact(prefix, sizeof(prefix), deadline, stop);
    if (error != 0)
        return error;
    const std::uint32_t body = cmd_packet::load_u32(prefix);
    if (body == 0 || body > max_body)
        return platform::err::msg_size;
    packet.resize(4 + static_cast<std::size_t>(body));
    std::copy(prefix, prefix + 4, packet.begin());
    error = ReceiveExact(packet.data() + 4, body, deadline, stop);
    if (error != 0)
        packet.clear();
    return error;
}

std::uint32_t PacketChannel::Exchange(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                                      std::uint32_t max_body, std::uint32_t send_ms, std::uint32_t reply_ms,
                                      const StopCheck& stop)
{
    const std::uint32_t error = SendAll(request.data(), request.size(), send_ms, stop);
    if (error != 0)
        return error;
    return ReceivePacket(reply, max_body, reply_ms, stop);
}

platform::socket_t PacketChannel::Detach()
{
    const platform::socket_t s = m_socket;
    m_socket = platform::invalid_socket;
    if (s != platform::invalid_socket)
        platform::set_non_blocking(s, false);
    return s;
}

void PacketChannel::Close()
{
    platform::close_socket(m_socket);
}

std::uint32_t ResolveHost(const std::string& host)
{
    if (host.empty())
        return 0;
    return platform::resolve_first_ipv4(host);
}

bool ReadResultReply(const std::vector<std::uint8_t>& reply, std::uint16_t command, std::uint32_t& result)
{
    CCmdPacketReader reader(reply.data(), reply.size());
    return reader.ok() && reader.command() == command && reader.get_u32(0, result);
}

std::string HostOrderText(std::uint32_t host_order_ipv4)
{
    return platform::ipv4_to_text(platform::ipv4_from_host_order(host_order_ipv4));
}

} // namespace discovery
