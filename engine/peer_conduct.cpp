#include "engine/peer_conduct.h"

#include <algorithm>
#include <iterator>

std::uint64_t CPeerConduct::AddressOf(const PeerInfo& peer)
{
    const std::uint32_t ip = peer.publicip;
    const std::uint16_t port = peer.publicport;
    return ip == 0 || port == 0 ? 0 : (std::uint64_t(ip) << 16) | port;
}

bool CPeerConduct::BarredAt(const Record& r, std::uint32_t now)
{
    if (r.bad_pieces >= kMaxBadPieces)
        return true;
    return r.bar_ms != 0 && now - r.barred_from < r.bar_ms;
}

CPeerConduct::Record* CPeerConduct::Find(std::map<std::uint64_t, Record>& table, std::uint64_t key)
{
    auto it = table.find(key);
    if (it != table.end())
        return &it->second;
    if (table.size() >= kMaxPeers)
        return nullptr;
    return &table[key];
}

template <typename Change>
void CPeerConduct::Judge(std::uint64_t client_id, std::uint64_t address, Change change)
{
    if (Record* r = Find(m_by_id, client_id))
        change(*r);
    if (address != 0) {
        if (Record* r = Find(m_by_address, address))
            change(*r);
    }
}

void CPeerConduct::NoteSupplier(std::int32_t piece, const PeerInfo& peer)
{
    const Supplier s{peer.clientid, AddressOf(peer)};
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Supplier>& list = m_suppliers[piece];
    for (const Supplier& known : list) {
        if (known.client_id == s.client_id && known.address == s.address)
            return;
    }
    if (list.size() < kMaxSuppliers)
        list.push_back(s);
}

void CPeerConduct::PiecePassed(std::int32_t piece)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_suppliers.erase(piece);
}

std::vector<std::uint64_t> CPeerConduct::PieceFailed(std::int32_t piece, std::uint32_t now)
{
    std::vector<std::uint64_t> blamed;
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_suppliers.find(piece);
    if (it == m_suppliers.end())
        return blamed;
    // Only a piece one peer filled alone tells who lied; a piece of several
    // suppliers would charge the honest ones with the liar's bytes, so it
    // only drops their connections (the refetch is likely one peer's).
    const bool alone = it->second.size() == 1;
    for (const Supplier& s : it->second) {
        if (alone) {
            Judge(s.client_id, s.address, [now](Record& r) {
                ++r.bad_pieces;
                r.barred_from = now;
            });
        }
        if (std::find(blamed.begin(), blamed.end(), s.client_id) == blamed.end())
            blamed.push_back(s.client_id);
    }
    m_suppliers.erase(it);
    return blamed;
}

void CPeerConduct::NoteLate(const PeerInfo& peer, std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::uint64_t id = peer.clientid;
    Judge(id, AddressOf(peer), [now](Record& r) {
        ++r.late;
        std::uint32_t bar = kLateBarMs;
        for (std::uint32_t i = 1; i < r.late && bar < kMaxLateBarMs; ++i)
            bar *= 2;
        r.bar_ms = std::min(bar, kMaxLateBarMs);
        r.barred_from = now;
    });
}

bool CPeerConduct::IsBarred(const PeerInfo& peer, std::uint32_t now) const
{
    const std::uint64_t id = peer.clientid;   // a packed field: copied, not bound
    std::lock_guard<std::mutex> guard(m_lock);
    auto by_id = m_by_id.find(id);
    if (by_id != m_by_id.end() && BarredAt(by_id->second, now))
        return true;
    const std::uint64_t address = AddressOf(peer);
    auto by_address = address != 0 ? m_by_address.find(address) : m_by_address.end();
    return by_address != m_by_address.end() && BarredAt(by_address->second, now);
}

bool CPeerConduct::TakeDial(const PeerInfo& peer, std::uint32_t now)
{
    // A peer behind NAT is reached through its parent's NAT server, not at
    // its own address: it is known by its id.
    const std::uint64_t address = peer.peertype == PEERTYPE_NAT ? 0 : AddressOf(peer);
    const std::pair<bool, std::uint64_t> key(address != 0, address != 0 ? address : std::uint64_t(peer.clientid));
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_dialled.find(key);
    if (it != m_dialled.end() && now - it->second < kRedialMs)
        return false;
    if (it == m_dialled.end() && m_dialled.size() >= kMaxPeers) {
        // Only dials of the last minute matter: older ones make room.
        for (auto old = m_dialled.begin(); old != m_dialled.end();)
            old = now - old->second >= kRedialMs ? m_dialled.erase(old) : std::next(old);
        if (m_dialled.size() >= kMaxPeers)
            return false;
    }
    m_dialled[key] = now;
    return true;
}

std::uint32_t CPeerConduct::BadPieces(std::uint64_t client_id) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_by_id.find(client_id);
    return it == m_by_id.end() ? 0 : it->second.bad_pieces;
}
