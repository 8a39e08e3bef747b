#include "discovery/nat_client.h"

#include "platform/tick.h"
#include "platform/invariant.h"

namespace {

constexpr std::uint32_t kHeartbeatMs = 20000;
constexpr std::uint32_t kParentExpireMs = 65000;
constexpr std::size_t kMaxParentsPerTask = 16;
constexpr std::size_t kMaxTasks = 1024;
constexpr std::size_t kMaxNatting = 256;

}   // namespace

void CNatClient::AddParent(std::uint64_t task_id, const PeerInfo& peer, std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_parents.find(task_id) == m_parents.end() && m_parents.size() >= kMaxTasks)
        return;
    std::vector<Parent>& parents = m_parents[task_id];
    for (Parent& known : parents) {
        if (known.peer.clientid == peer.clientid) {
            known.peer = peer;
            return;
        }
    }
    if (parents.size() < kMaxParentsPerTask) {
        Parent parent;
        parent.peer = peer;
        parent.last_ack = now;
        parents.push_back(parent);
    }
    check_invariant();
}

int CNatClient::GetParents(std::uint64_t task_id, std::vector<PeerInfo>& out) const
{
    out.clear();
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_parents.find(task_id);
    if (it != m_parents.end()) {
        for (const Parent& parent : it->second)
            out.push_back(parent.peer);
    }
    return static_cast<int>(out.size());
}

bool CNatClient::IsParentAddress(std::uint64_t task_id, std::uint32_t ip) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_parents.find(task_id);
    if (it == m_parents.end())
        return false;
    for (const Parent& parent : it->second) {
        if (parent.peer.publicip == ip)
            return true;
    }
    return false;
}

void CNatClient::OnHeartbeatAck(std::uint64_t task_id, std::uint64_t parent_id, std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_parents.find(task_id);
    if (it == m_parents.end())
        return;
    for (Parent& parent : it->second) {
        if (parent.peer.clientid == parent_id)
            parent.last_ack = now;
    }
}

void CNatClient::Tick(std::uint32_t now, std::vector<std::pair<std::uint64_t, PeerInfo>>& heartbeats,
                      std::vector<PeerInfo>& dropped, std::vector<PeerKey>& expired)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto task = m_parents.begin(); task != m_parents.end();) {
        auto& parents = task->second;
        for (auto p = parents.begin(); p != parents.end();) {
            if (now - p->last_ack > kParentExpireMs) {
                dropped.push_back(p->peer);
                p = parents.erase(p);
                continue;
            }
            if (!p->sent || now - p->last_sent >= kHeartbeatMs) {
                p->sent = true;
                p->last_sent = now;
                heartbeats.push_back({task->first, p->peer});
            }
            ++p;
        }
        task = parents.empty() ? m_parents.erase(task) : std::next(task);
    }
    for (auto a = m_awaited.begin(); a != m_awaited.end();) {
        if (platform::tick_reached(now, a->second.deadline)) {
            const PeerKey key{a->second.task_id, a->second.target.clientid};
            expired.push_back(key);
            m_natting.erase(key);
            a = m_awaited.erase(a);
        } else {
            ++a;
        }
    }
    check_invariant();
}

bool CNatClient::BeginNatting(std::uint64_t task_id, std::uint64_t client_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_natting.size() >= kMaxNatting)
        return false;
    return m_natting.insert({task_id, client_id}).second;
}

void CNatClient::EndNatting(std::uint64_t task_id, std::uint64_t client_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_natting.erase({task_id, client_id});
}

void CNatClient::AwaitConnectBack(std::uint32_t request_id, std::uint64_t task_id, const PeerInfo& target,
                                  std::uint32_t deadline)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_awaited[request_id] = Awaited{task_id, target, deadline};
}

bool CNatClient::TakeConnectBack(std::uint32_t request_id, std::uint64_t task_id, std::uint64_t client_id,
                                 PeerInfo& target)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_awaited.find(request_id);
    if (it == m_awaited.end() || it->second.task_id != task_id || it->second.target.clientid != client_id)
        return false;
    target = it->second.target;
    m_natting.erase({task_id, client_id});
    m_awaited.erase(it);
    return true;
}

bool CNatClient::CancelConnectBack(std::uint32_t request_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_awaited.find(request_id);
    if (it == m_awaited.end())
        return false;
    m_natting.erase({it->second.task_id, it->second.target.clientid});
    m_awaited.erase(it);
    return true;
}

void CNatClient::ClearRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_natting.clear();
    m_awaited.clear();
}

void CNatClient::check_invariant() const
{
#if defined(VR_INVARIANTS)
    VR_INVARIANT(m_parents.size() <= kMaxTasks);
    for (const auto& task : m_parents)
        VR_INVARIANT(task.second.size() <= kMaxParentsPerTask);
    VR_INVARIANT(m_natting.size() <= kMaxNatting);
    for (const auto& a : m_awaited)
        VR_INVARIANT(m_natting.count({a.second.task_id, a.second.target.clientid}) != 0);
#endif
}
