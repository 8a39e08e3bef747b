// What a CPeerConnection tells the piece picker about its peer's part in
// the swarm, and how it lets go of requests another source has answered.
#include "net/conn/peer_connection.h"

#include "picker/block_request_map.h"

#include <algorithm>

// A seed fetches nothing from the origin, and a peer holding nothing we
// lack (one of a crowd dialling in, say) may never fetch anything: neither
// may take a share of the origin's work, or the origin would idle waiting
// for them.
void CPeerConnection::join_swarm_locked(CBlockRequestMap& picker, const std::vector<std::uint8_t>& map)
{
    if (m_swarm_role != swarm_role::none || map.empty())
        return;
    if (std::find(map.begin(), map.end(), 0) == map.end()) {
        picker.AddSeed();
        m_swarm_role = swarm_role::seed;
    } else if (picker.HoldsMissing(map)) {
        picker.AddPeer(GetPeerInfo()->clientid);
        m_swarm_role = swarm_role::co_downloader;
    }
}

void CPeerConnection::leave_swarm_locked(CBlockRequestMap& picker)
{
    if (m_swarm_role == swarm_role::seed)
        picker.RemoveSeed();
    else if (m_swarm_role == swarm_role::co_downloader)
        picker.RemovePeer(GetPeerInfo()->clientid);
    m_swarm_role = swarm_role::none;
}

bool CPeerConnection::drop_received_locked(CBlockRequestMap& picker, std::uint32_t now)
{
    const auto received = [&](const BlockRequest& b) {
        return picker.BlockState(b.piece, b.offset / std::int32_t(kBlockSize)) == CBlockRequestMap::kReceived;
    };
    // The blocks laid out over storage stay first: the receive lands their
    // bytes in order, and it would take a dropped one for the next.
    const std::size_t kept = std::min<std::size_t>(m_in_flight.size(), m_lander.size());
    const bool outrun = std::any_of(m_in_flight.begin(), m_in_flight.end(), received);
    m_in_flight.erase(std::remove_if(m_in_flight.begin() + std::ptrdiff_t(kept), m_in_flight.end(), received),
                      m_in_flight.end());
    if (m_in_flight.empty())
        m_block_due = 0;
    // A receive laid out over storage keeps the places of the blocks it
    // expects, and their pieces wait for it: a peer that has sent no block
    // for a while would hold them to its deadline.
    return outrun && now - m_last_block_tick >= CBlockRequestMap::kStalledMs;
}
