#include "discovery/packet_channel.h"

#include <algorithm>

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "platform/error_codes.h"
#include "platform/tick.h"

namespace discovery {

std::uint32_t PacketChannel::ReceivePacket(std::vector<std::uint8_t>& packet, std::uint32_t max_body,
                                           std::uint32_t timeout_ms, const StopCheck& stop)
{
    packet.clear();
    if (!IsOpen())
        return platform::err::not_connected;
    const std::uint32_t deadline = platform::tick_count() + timeout_ms;
    std::uint8_t prefix[4];
    std::uint32_t error = ReceiveExactBy(prefix, sizeof(prefix), deadline, stop);
    if (error != 0)
        return error;
    const std::uint32_t body = cmd_packet::load_u32(prefix);
    if (body == 0 || body > max_body)
        return platform::err::msg_size;
    packet.resize(4 + static_cast<std::size_t>(body));
    std::copy(prefix, prefix + 4, packet.begin());
    error = ReceiveExactBy(packet.data() + 4, body, deadline, stop);
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

}   // namespace discovery
