// A bounded blocking TCP connection that moves whole command packets. The
// index server clients and NAT traversal use it on their own threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/bounded_socket.h"
#include "platform/socket.h"

namespace discovery {

using ::StopCheck;

class PacketChannel : public CBoundedSocket {
public:
    PacketChannel() = default;
    explicit PacketChannel(platform::socket_t adopted) : CBoundedSocket(adopted) {}

    // Receives exactly one length-framed packet (4 + L bytes, 1 <= L <=
    // max_body) and nothing beyond it, within timeout_ms. 0 or the error
    // number: 10060 time-out, 38 closed by the peer, 10040 bad length, 995
    // stopped.
    std::uint32_t ReceivePacket(std::vector<std::uint8_t>& packet, std::uint32_t max_body, std::uint32_t timeout_ms,
                                const StopCheck& stop);

    // SendAll of `request`, then ReceivePacket into `reply`: 0 or the first
    // error number.
    std::uint32_t Exchange(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                           std::uint32_t max_body, std::uint32_t send_ms, std::uint32_t reply_ms,
                           const StopCheck& stop);
};

// Resolves "host" (name or dotted) to its first IPv4 in network order with
// getaddrinfo; 0 when it does not resolve.
std::uint32_t ResolveHost(const std::string& host);

// Reads a reply that carries only a u32 result in field 0 (version 258):
// false when it is malformed or of another command.
bool ReadResultReply(const std::vector<std::uint8_t>& reply, std::uint16_t command, std::uint32_t& result);

// Dotted text of a host-order address.
std::string HostOrderText(std::uint32_t host_order_ipv4);

}   // namespace discovery
