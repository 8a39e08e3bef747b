#include "engine/task_connections.h"

#include "picker/block_request_map.h"
#include "engine/cmd_event.h"
#include "net/conn/x_connection.h"
#include "platform/debug_output.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "platform/invariant.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

CTaskConnections::CTaskConnections(ITaskConnectionsOwner* owner) : m_owner(owner), m_last_turn(platform::tick_count())
{
}

CTaskConnections::~CTaskConnections()
{
    // The task closes everything before it deletes the set; whatever is
    // left would otherwise keep its socket open for good.
    CloseAndRelease(TakeAll());
}

void CTaskConnections::Refuse(int socket, x_connection* connection)
{
    if (connection)
        connection->release();
    platform::socket_t s = socket;
    platform::close_socket(s);
}

bool CTaskConnections::HasClientLocked(std::uint64_t client_id) const
{
    for (const auto& entry : m_connections) {
        if (entry.second->GetPeerInfo()->clientid == client_id)
            return true;
    }
    return false;
}

x_connection* CTaskConnections::TakeLeastExchangedLocked(std::uint32_t now)
{
    auto least = m_connections.end();
    std::uint64_t least_bytes = 0;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        const auto held = m_held.find(it->first);
        if (it->second->is_closing() || held == m_held.end() || now - held->second.added < kEvictGraceMs)
            continue;
        const std::uint64_t bytes = it->second->total_received() + it->second->total_sent();
        if (least == m_connections.end() || bytes < least_bytes) {
            least = it;
            least_bytes = bytes;
        }
    }
    if (least == m_connections.end())
        return nullptr;
    x_connection* taken = least->second;
    m_held.erase(least->first);
    m_connections.erase(least);
    return taken;
}

bool CTaskConnections::AddConnection(int socket, x_connection* connection)
{
    if (!connection || socket < 0) {
        Refuse(socket, connection);
        return false;
    }
    const PeerInfo peer = *connection->GetPeerInfo();
    x_connection* stale = nullptr;
    x_connection* evicted = nullptr;
    const std::uint32_t now = platform::tick_count();
    {
        std::unique_lock<CcsLocker> guard(m_lock);
        if (m_closing.load() || HasClientLocked(peer.clientid)) {
            guard.unlock();
            Refuse(socket, connection);
            return false;
        }
        // Checked before anyone makes room: a newcomer refused here must
        // not have cost another connection its place.
        auto it = m_connections.find(socket);
        if (it != m_connections.end()) {
            // The descriptor of a connection that closed but has not yet
            // left the set can be handed out again by the system; only a
            // live holder keeps the key.
            if (!it->second->is_closing()) {
                // The descriptor belongs to the live holder: closing it
                // would cut that connection, so only the newcomer goes.
                guard.unlock();
                Refuse(platform::invalid_socket, connection);
                return false;
            }
            stale = it->second;
            m_held.erase(it->first);
            m_connections.erase(it);
        }
        if (m_connections.size() >= kMaxConnections) {
            evicted = TakeLeastExchangedLocked(now);
            if (!evicted) {
                guard.unlock();
                if (stale)
                    stale->release();
                Refuse(socket, connection);
                return false;
            }
        }
        if (!connection->start(socket)) {
            guard.unlock();
            if (stale)
                stale->release();
            if (evicted)
                CloseAndRelease({{-1, evicted}});
            Refuse(socket, connection);
            return false;
        }
        m_connections.emplace(socket, connection);
        Held& held = m_held[socket];
        held = Held{};
        held.added = now;
    }
    if (stale)
        stale->release();
    if (evicted) {
        platform::debug_output("\n" + std::to_string(m_owner ? m_owner->GetTaskId() : 0) +
                               " connection limit: the peer that exchanged least gives its place up\n");
        CloseAndRelease({{-1, evicted}});
    }
    if (m_owner)
        m_owner->RecordConnectedPeer(peer);
    return true;
}

std::size_t CTaskConnections::SlotsHeldLocked() const
{
    std::size_t n = 0;
    for (const auto& entry : m_held)
        n += entry.second.slot ? 1 : 0;
    return n;
}

void CTaskConnections::TurnSlotsLocked(std::uint32_t now)
{
    if (now - m_last_turn < kSlotTurnMs)
        return;
    m_last_turn = now;
    // Askers of this turn, least served of late first; on a tie the one
    // without a slot goes first, so equals take turns.
    std::vector<std::pair<int, Held*>> askers;
    for (auto& entry : m_held) {
        Held& h = entry.second;
        h.score = h.score / 2 + h.served;
        h.served = 0;
        auto c = m_connections.find(entry.first);
        if (h.asked && now - h.last_ask <= kSlotTurnMs && c != m_connections.end() && !c->second->is_closing())
            askers.emplace_back(entry.first, &h);
    }
    std::stable_sort(askers.begin(), askers.end(), [](const auto& a, const auto& b) {
        if (a.second->score != b.second->score)
            return a.second->score < b.second->score;
        return !a.second->slot && b.second->slot;
    });
    if (askers.size() > kUploadSlots)
        askers.resize(kUploadSlots);
    for (auto& entry : m_held) {
        Held& h = entry.second;
        const bool chosen = std::any_of(askers.begin(), askers.end(),
                                        [&](const auto& a) { return a.first == entry.first; });
        if (h.slot && !chosen) {
            // Its successor starts with its own next timer at the latest:
            // until then it goes on, so the link is not left idle.
            h.yielding = true;
            h.yield_by = now + kHandoverMs;
        }
        if (chosen)
            h.yielding = false;
        h.slot = chosen;
    }
}

bool CTaskConnections::TakeUploadTurn(int socket, std::uint32_t bytes)
{
    const std::uint32_t now = platform::tick_count();
    CScopedLock guard(m_lock);
    TurnSlotsLocked(now);
    auto it = m_held.find(socket);
    if (it == m_held.end())
        return true;
    Held& h = it->second;
    h.asked = true;
    h.last_ask = now;
    if (!h.slot && SlotsHeldLocked() < kUploadSlots)
        h.slot = true;   // a free slot is nobody's turn to wait for
    if (h.yielding && platform::tick_reached(now, h.yield_by))
        h.yielding = false;
    bool allowed = h.slot || h.yielding;
    if (!allowed && (!h.kept_alive || now - h.keep_alive >= kKeepAliveMs)) {
        h.kept_alive = true;
        h.keep_alive = now;
        allowed = true;
    }
    if (allowed)
        h.served += bytes;
    return allowed;
}

void CTaskConnections::RemoveConnection(int socket)
{
    x_connection* removed = nullptr;
    {
        CScopedLock guard(m_lock);
        auto it = m_connections.find(socket);
        if (it == m_connections.end())
            return;
        removed = it->second;
        m_held.erase(socket);
        m_connections.erase(it);
    }
    removed->release();
}

CTaskConnections::connection_map CTaskConnections::TakeAll()
{
    connection_map taken;
    CScopedLock guard(m_lock);
    taken.swap(m_connections);
    m_held.clear();
    return taken;
}

void CTaskConnections::CloseAndRelease(const connection_map& connections)
{
    for (const auto& entry : connections) {
        entry.second->close();
        entry.second->release();
    }
}

void CTaskConnections::CloseAll()
{
    m_closing.store(true);
    CloseAndRelease(TakeAll());
}

void CTaskConnections::CloseAllNoFlag(std::uint8_t)
{
    CloseAndRelease(TakeAll());
}

void CTaskConnections::OnPieceChecked(std::uint32_t piece, std::uint8_t result,
                                      const std::vector<std::uint64_t>& blamed)
{
    if (result == 1) {
        std::vector<x_connection*> held;
        {
            CScopedLock guard(m_lock);
            held.reserve(m_connections.size());
            for (const auto& entry : m_connections) {
                entry.second->add_ref();
                held.push_back(entry.second);
            }
        }
        for (x_connection* c : held) {
            c->send_have(piece);
            c->release();
        }
        return;
    }

    // Only the peers that supplied blocks of the piece go; the others (an
    // honest HTTP source among them) keep their transfers.
    connection_map dropped;
    {
        CScopedLock guard(m_lock);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            const std::uint64_t id = it->second->GetPeerInfo()->clientid;
            if (std::find(blamed.begin(), blamed.end(), id) != blamed.end()) {
                dropped.insert(*it);
                m_held.erase(it->first);
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    const std::uint64_t task_id = m_owner ? m_owner->GetTaskId() : 0;
    ICmdEvent* sink = m_owner ? m_owner->GetCmdEvent() : nullptr;
    const std::string line = "\n" + std::to_string(task_id) + " 哈希校验不过!pieceindex: " + std::to_string(piece) +
                             "\n";
    for (std::size_t i = 0; i < dropped.size(); ++i) {
        platform::debug_output(line);
        if (sink)
            sink->OnErrorOutput(line.c_str());
    }
    CloseAndRelease(dropped);
    if (m_owner) {
        if (CBlockRequestMap* picker = m_owner->GetPiecePicker())
            picker->ResetPiece(static_cast<std::int32_t>(piece));
    }
}

bool CTaskConnections::HasClient(std::uint64_t client_id) const
{
    CScopedLock guard(m_lock);
    return HasClientLocked(client_id);
}

std::size_t CTaskConnections::GetCount() const
{
    CScopedLock guard(m_lock);
    return m_connections.size();
}

void CTaskConnections::check_invariant() const
{
    CScopedLock guard(m_lock);
    VR_INVARIANT(m_connections.size() <= kMaxConnections && m_held.size() == m_connections.size());
    VR_INVARIANT(SlotsHeldLocked() <= kUploadSlots);
    for (const auto& entry : m_connections) {
        VR_INVARIANT(entry.second != nullptr && entry.first >= 0);
        (void)entry;
    }
}
