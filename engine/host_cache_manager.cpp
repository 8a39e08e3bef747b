#include "engine/host_cache_manager.h"

#include "platform/debug_output.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <random>

void CHostCache::AddHosts(const std::vector<HostRecord>& hosts)
{
    CScopedLock lock(m_lock);
    for (const HostRecord& h : hosts) {
        if (m_hosts.size() >= kMaxHosts)
            break;
        const std::uint64_t id = h.peer.clientid;   // a packed field: copied, not referenced
        m_hosts.emplace(id, h);                     // a known client id keeps its record
    }
}

void CHostCache::GetManyHost(std::vector<HostRecord>& hosts, std::uint32_t ref_ip)
{
    hosts.clear();
    CScopedLock lock(m_lock);
    if (m_hosts.size() <= kBatch) {
        for (const auto& h : m_hosts)
            hosts.push_back(h.second);
        m_hosts.clear();
        return;
    }
    // The distance is the 32-bit difference read as signed, as the client
    // core orders its CIS list (addresses wrap around: 0 and 0xffffffff are
    // neighbours); its magnitude is taken in 64 bits, so the smallest
    // 32-bit difference is the farthest and never an undefined abs.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> order;   // (distance, client id)
    order.reserve(m_hosts.size());
    for (const auto& h : m_hosts) {
        const std::uint32_t ip = h.second.peer.publicip;
        const std::int64_t d = std::int32_t(ref_ip - ip);
        order.emplace_back(std::uint64_t(d < 0 ? -d : d), h.first);
    }
    // Ascending distance, ascending client id within one distance.
    std::sort(order.begin(), order.end());
    const bool tracing = platform::debug_output_enabled();
    std::string trace;
    if (tracing)
        trace = "GetManyHost:uRefIP:" + std::to_string(ref_ip) + "\n";
    for (std::size_t i = 0; i < kBatch; ++i) {
        auto it = m_hosts.find(order[i].second);
        if (tracing) {
            const std::uint32_t ip = it->second.peer.publicip;
            trace += std::to_string(m_task_id) + "," + std::to_string(it->first) + ",IP:" + std::to_string(ip) + "\n";
        }
        hosts.push_back(it->second);
        m_hosts.erase(it);
    }
    if (tracing)
        platform::debug_output(trace);
}

std::uint32_t CHostCache::RandomRange(std::uint32_t lo, std::uint32_t hi)
{
    if (lo >= hi)
        return lo;
    static std::mutex lock;
    static std::minstd_rand engine(std::uint32_t(std::time(nullptr)));
    std::lock_guard<std::mutex> g(lock);
    return lo + std::uint32_t(engine() % (hi - lo));
}

void CHostCache::GetRandomHosts(std::vector<HostRecord>& hosts)
{
    hosts.clear();
    CScopedLock lock(m_lock);
    std::size_t skip = 0;
    if (m_hosts.size() > kBatch)
        skip = RandomRange(1, std::uint32_t(m_hosts.size() - kBatch));
    auto it = m_hosts.begin();
    std::advance(it, std::ptrdiff_t(skip));
    while (it != m_hosts.end()) {
        hosts.push_back(it->second);
        it = m_hosts.erase(it);
    }
}

void CHostCache::Clear()
{
    CScopedLock lock(m_lock);
    m_hosts.clear();
}

std::uint32_t CHostCache::Count()
{
    CScopedLock lock(m_lock);
    return std::uint32_t(m_hosts.size());
}

void CHostCacheManager::AddHostCache(std::uint64_t task_id)
{
    CScopedLock lock(m_lock);
    if (!m_caches.count(task_id))
        m_caches.emplace(task_id, std::make_unique<CHostCache>(task_id));
}

void CHostCacheManager::RemoveHostCache(std::uint64_t task_id)
{
    CScopedLock lock(m_lock);
    m_caches.erase(task_id);
}

void CHostCacheManager::GetManyHost(std::uint64_t task_id, std::vector<HostRecord>& hosts, std::uint32_t ref_ip)
{
    CScopedLock lock(m_lock);
    auto it = m_caches.find(task_id);
    if (it != m_caches.end())
        it->second->GetManyHost(hosts, ref_ip);
}

void CHostCacheManager::GetRandomHosts(std::uint64_t task_id, std::vector<HostRecord>& hosts)
{
    CScopedLock lock(m_lock);
    auto it = m_caches.find(task_id);
    if (it != m_caches.end())
        it->second->GetRandomHosts(hosts);
}

void CHostCacheManager::AddHosts(std::uint64_t task_id, const std::vector<HostRecord>& hosts)
{
    CScopedLock lock(m_lock);
    auto it = m_caches.find(task_id);
    if (it != m_caches.end())
        it->second->AddHosts(hosts);
}

void CHostCacheManager::ClearHosts(std::uint64_t task_id)
{
    CScopedLock lock(m_lock);
    auto it = m_caches.find(task_id);
    if (it != m_caches.end())
        it->second->Clear();
}

void CHostCacheManager::SetCmdEvent(ICmdEvent* event)
{
    // The host cache has nothing to report.
    if (event == nullptr)
        m_cmd_event = event;
}

std::uint32_t CHostCacheManager::GetHostCount(const std::uint64_t* task_id)
{
    if (!task_id)
        return 0;
    CScopedLock lock(m_lock);
    auto it = m_caches.find(*task_id);
    return it == m_caches.end() ? 0 : it->second->Count();
}

IHostCacheManager* CreateHostCacheManager()
{
    return new CHostCacheManager();
}

void DestroyHostCacheManager(IHostCacheManager* manager)
{
    delete manager;
}
