#include "engine/http_peer_list.h"

#include "platform/debug_output.h"
#include "platform/socket.h"
#include "platform/invariant.h"

namespace {

bool ResolveWithGetaddrinfo(const std::string& name, std::vector<std::uint32_t>& out)
{
    return platform::resolve_ipv4(name, out);
}

}   // namespace

CHttpPeerList::CHttpPeerList() : m_resolve(&ResolveWithGetaddrinfo) {}

CHttpPeerList::~CHttpPeerList()
{
    CScopedLock guard(m_lock);
    m_peers.clear();
}

bool CHttpPeerList::AddHttpPeer(PeerInfo* r)
{
    return Resolve(r) && Insert(*r);
}

bool CHttpPeerList::Resolve(PeerInfo* r) const
{
    if (!r)
        return false;
    resolver resolve;
    {
        CScopedLock guard(m_lock);
        resolve = m_resolve;
    }
    // The look-up blocks; it runs before the lock so readers of the list
    // (the CDN thread) never wait for a name server. getaddrinfo takes a
    // dotted address as well as a name.
    const std::string host = FixedText(r->hostname);
    std::vector<std::uint32_t> addresses;
    if (host.empty() || !resolve(host, addresses) || addresses.empty())
        return false;

    r->publicip = addresses.front();
    // The port of the URL the record came from stays; a record that names
    // none gets the HTTP port.
    if (r->publicport == 0)
        r->publicport = kDefaultHttpPort;
    TerminateFixedText(r->path);
    TerminateFixedText(r->hostname);
    return true;
}

bool CHttpPeerList::Insert(const PeerInfo& r)
{
    platform::debug_output("AddHttpPeer\n");
    CScopedLock guard(m_lock);
    const std::uint64_t id = r.clientid;   // a copy: the record is packed
    if (m_peers.size() >= kMaxPeers && m_peers.count(id) == 0)
        return false;
    m_peers[id] = r;
    check_invariant();
    return true;
}

void CHttpPeerList::GetAll(std::vector<PeerInfo>& out) const
{
    out.clear();
    CScopedLock guard(m_lock);
    out.reserve(m_peers.size());
    for (const auto& entry : m_peers)
        out.push_back(entry.second);
}

std::int32_t CHttpPeerList::GetCount() const
{
    CScopedLock guard(m_lock);
    return static_cast<std::int32_t>(m_peers.size());
}

void CHttpPeerList::SetResolver(resolver fn)
{
    CScopedLock guard(m_lock);
    m_resolve = fn ? fn : &ResolveWithGetaddrinfo;
}

void CHttpPeerList::check_invariant() const
{
#if defined(VR_INVARIANTS)
    CScopedLock guard(m_lock);
    for (const auto& entry : m_peers) {
        VR_INVARIANT(entry.first == entry.second.clientid);
        VR_INVARIANT(entry.second.publicport != 0);
    }
#endif
}
