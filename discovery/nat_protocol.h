// Encoding and checking of the NAT traversal messages (commands 69 to 75;
// the field layout is described in nat_manager.h).
#pragma once

#include <cstdint>
#include <vector>

#include "discovery/peer_info.h"

namespace discovery {

enum NatCommand : std::uint16_t {
    NAT_HANDSHAKE = 69,       // np_handshake
    NAT_HANDSHAKE_ACK = 70,   // np_handshake_ack
    NAT_HEARTBEAT = 71,       // np_heartbeat
    NAT_REQUEST = 72,         // np_sp_natrequest
    NAT_REQUEST_REPLY = 73,   // np_sp_natreply
    NAT_CONNECT_BACK = 74,    // np_ps_connectback
    NAT_HEARTBEAT_ACK = 75,   // np_heartbeat_ack
};

// Largest NAT message body accepted.
constexpr std::uint32_t kNatMaxBody = 4096;

// Handshake kinds.
constexpr std::uint8_t kNatDirect = 0;
constexpr std::uint8_t kNatConnectBack = 1;

// One decoded NAT message: the fields of every command in one record; a
// field not carried by the command stays zero.
struct NatMessage {
    std::uint16_t command = 0;
    std::uint64_t task_id = 0;
    PeerInfo peer{};                // sender / requester / acceptor record
    std::uint8_t kind = 0;          // 69
    std::uint32_t request_id = 0;   // 69, 72, 73, 74
    std::uint32_t result = 0;       // 70, 73
    std::uint64_t client_id = 0;    // 72: son wanted; 75: the parent
    std::uint32_t seen_ip = 0;      // 74: requester as the parent saw it
};

// Builds the packet of a message (length prefix included).
std::vector<std::uint8_t> EncodeNatMessage(const NatMessage& message);

// Checks and decodes a received packet: false when it is malformed, is not
// a NAT command, lacks a field its command needs, or carries a field of
// another width (a PeerInfo must be exactly 149 bytes).
bool DecodeNatMessage(const std::uint8_t* packet, std::size_t length, NatMessage& out);

}   // namespace discovery
