#include "discovery/nat_server.h"
#include "platform/invariant.h"

namespace {

constexpr std::uint32_t kSonExpireMs = 180000;
constexpr std::size_t kMaxSonsPerTask = 200;
constexpr std::size_t kMaxTasks = 1024;

}   // namespace

void CNatServer::AddSon(std::uint64_t task_id, const PeerInfo& peer, std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_sons.find(task_id) == m_sons.end() && m_sons.size() >= kMaxTasks)
        return;
    std::vector<Son>& sons = m_sons[task_id];
    for (Son& known : sons) {
        if (known.peer.clientid == peer.clientid) {
            known.peer = peer;
            known.last_heard = now;
            return;
        }
    }
    if (sons.size() < kMaxSonsPerTask) {
        Son son;
        son.peer = peer;
        son.last_heard = now;
        sons.push_back(son);
    }
    check_invariant();
}

int CNatServer::GetSons(std::uint64_t task_id, std::vector<PeerInfo>& out) const
{
    out.clear();
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_sons.find(task_id);
    if (it != m_sons.end()) {
        for (const Son& son : it->second)
            out.push_back(son.peer);
    }
    return static_cast<int>(out.size());
}

bool CNatServer::OnHeartbeat(std::uint64_t task_id, std::uint64_t client_id, std::uint32_t ip, std::uint16_t port,
                             std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_sons.find(task_id);
    if (it == m_sons.end())
        return false;
    for (Son& son : it->second) {
        if (son.peer.clientid == client_id) {
            son.udp_ip = ip;
            son.udp_port = port;
            son.last_heard = now;
            return true;
        }
    }
    return false;
}

std::uint32_t CNatServer::FindSon(std::uint64_t task_id, std::uint64_t client_id, std::uint32_t& ip,
                                  std::uint16_t& port) const
{
    ip = 0;
    port = 0;
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_sons.find(task_id);
    if (it == m_sons.end())
        return TASK_UNKNOWN;
    for (const Son& son : it->second) {
        if (son.peer.clientid != client_id)
            continue;
        ip = son.udp_ip != 0 ? son.udp_ip : son.peer.publicip;
        port = son.udp_port != 0 ? son.udp_port : son.peer.publicport;
        return (ip != 0 && port != 0) ? SON_FOUND : SON_UNKNOWN;
    }
    return SON_UNKNOWN;
}

void CNatServer::Expire(std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto task = m_sons.begin(); task != m_sons.end();) {
        auto& sons = task->second;
        for (auto s = sons.begin(); s != sons.end();)
            s = (now - s->last_heard > kSonExpireMs) ? sons.erase(s) : std::next(s);
        task = sons.empty() ? m_sons.erase(task) : std::next(task);
    }
    check_invariant();
}

void CNatServer::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_sons.clear();
}

void CNatServer::check_invariant() const
{
#if defined(VR_INVARIANTS)
    VR_INVARIANT(m_sons.size() <= kMaxTasks);
    for (const auto& task : m_sons)
        VR_INVARIANT(task.second.size() <= kMaxSonsPerTask);
#endif
}
