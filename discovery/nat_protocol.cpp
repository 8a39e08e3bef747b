#include "discovery/nat_protocol.h"

#include "discovery/wire_records.h"
#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"

namespace discovery {
namespace {

bool GetPeer(const CCmdPacketReader& reader, std::uint16_t id, PeerInfo& out)
{
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    if (!reader.get_bytes(id, data, length) || length != sizeof(PeerInfo))
        return false;
    out = LoadPeerInfo(data);
    return true;
}

void AddPeer(CCmdPacket& packet, std::uint16_t id, const PeerInfo& peer)
{
    std::uint8_t bytes[sizeof(PeerInfo)];
    StorePeerInfo(peer, bytes);
    packet.add_bytes(id, bytes, sizeof(bytes));
}

}   // namespace

std::vector<std::uint8_t> EncodeNatMessage(const NatMessage& m)
{
    CCmdPacket packet(m.command);
    switch (m.command) {
    case NAT_HANDSHAKE:
        packet.add_u64(0, m.task_id);
        AddPeer(packet, 1, m.peer);
        packet.add_u8(2, m.kind);
        packet.add_u32(3, m.request_id);
        break;
    case NAT_HANDSHAKE_ACK:
        packet.add_u64(0, m.task_id);
        AddPeer(packet, 1, m.peer);
        packet.add_u32(2, m.result);
        break;
    case NAT_HEARTBEAT:
        packet.add_u64(0, m.task_id);
        AddPeer(packet, 1, m.peer);
        break;
    case NAT_REQUEST:
        packet.add_u64(0, m.task_id);
        AddPeer(packet, 1, m.peer);
        packet.add_u64(2, m.client_id);
        packet.add_u32(3, m.request_id);
        break;
    case NAT_REQUEST_REPLY:
        packet.add_u32(0, m.result);
        packet.add_u32(1, m.request_id);
        break;
    case NAT_CONNECT_BACK:
        packet.add_u64(0, m.task_id);
        AddPeer(packet, 1, m.peer);
        packet.add_u32(2, m.request_id);
        packet.add_u32(3, m.seen_ip);
        break;
    case NAT_HEARTBEAT_ACK:
        packet.add_u64(0, m.task_id);
        packet.add_u64(1, m.client_id);
        break;
    default:
        break;
    }
    return packet.build();
}

bool DecodeNatMessage(const std::uint8_t* packet, std::size_t length, NatMessage& out)
{
    out = NatMessage{};
    if (packet == nullptr || length > kNatMaxBody + 4)
        return false;
    CCmdPacketReader reader(packet, length);
    if (!reader.ok())
        return false;
    out.command = reader.command();
    switch (out.command) {
    case NAT_HANDSHAKE:
        return reader.get_u64(0, out.task_id) && GetPeer(reader, 1, out.peer) && reader.get_u8(2, out.kind) &&
               out.kind <= kNatConnectBack && reader.get_u32(3, out.request_id);
    case NAT_HANDSHAKE_ACK:
        return reader.get_u64(0, out.task_id) && GetPeer(reader, 1, out.peer) && reader.get_u32(2, out.result);
    case NAT_HEARTBEAT:
        return reader.get_u64(0, out.task_id) && GetPeer(reader, 1, out.peer);
    case NAT_REQUEST:
        return reader.get_u64(0, out.task_id) && GetPeer(reader, 1, out.peer) && reader.get_u64(2, out.client_id) &&
               reader.get_u32(3, out.request_id);
    case NAT_REQUEST_REPLY:
        return reader.get_u32(0, out.result) && reader.get_u32(1, out.request_id);
    case NAT_CONNECT_BACK:
        return reader.get_u64(0, out.task_id) && GetPeer(reader, 1, out.peer) && reader.get_u32(2, out.request_id) &&
               reader.get_u32(3, out.seen_ip);
    case NAT_HEARTBEAT_ACK:
        return reader.get_u64(0, out.task_id) && reader.get_u64(1, out.client_id);
    default:
        return false;
    }
}

}   // namespace discovery
