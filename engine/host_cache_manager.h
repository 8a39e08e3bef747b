// CHostCacheManager: per task a pool of at most 150 candidate peers, keyed
// by the peer's client id. Two lock levels: the manager's around the map,
// then each cache's own, always in that order.
#pragma once

#include "engine/i_host_cache_manager.h"
#include "platform/critical_section.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class CHostCache {
public:
    static constexpr std::size_t kMaxHosts = 150;
    static constexpr std::size_t kBatch = 5;

    explicit CHostCache(std::uint64_t task_id) : m_task_id(task_id) {}

    // Adds records under their peer client id until kMaxHosts are held.
    void AddHosts(const std::vector<HostRecord>& hosts);
    // Takes up to kBatch hosts nearest to `ref_ip` out of the cache.
    void GetManyHost(std::vector<HostRecord>& hosts, std::uint32_t ref_ip);
    // Takes every host after a random skip (all of them when kBatch or fewer).
    void GetRandomHosts(std::vector<HostRecord>& hosts);
    void Clear();
    std::uint32_t Count();

    // A number in [lo, hi); lo when lo >= hi.
    static std::uint32_t RandomRange(std::uint32_t lo, std::uint32_t hi);

private:
    std::uint64_t m_task_id;
    std::map<std::uint64_t, HostRecord> m_hosts;
    CcsLocker m_lock;   // guards m_hosts
};

class CHostCacheManager : public IHostCacheManager {
public:
    CHostCacheManager() = default;
    ~CHostCacheManager() override = default;

    void AddHostCache(std::uint64_t task_id) override;
    void RemoveHostCache(std::uint64_t task_id) override;
    void GetManyHost(std::uint64_t task_id, std::vector<HostRecord>& hosts, std::uint32_t ref_ip) override;
    void GetRandomHosts(std::uint64_t task_id, std::vector<HostRecord>& hosts) override;
    void AddHosts(std::uint64_t task_id, const std::vector<HostRecord>& hosts) override;
    void ClearHosts(std::uint64_t task_id) override;
    void SetCmdEvent(ICmdEvent* event) override;
    std::uint32_t GetHostCount(const std::uint64_t* task_id) override;

private:
    ICmdEvent* m_cmd_event = nullptr;   // stays null
    std::map<std::uint64_t, std::unique_ptr<CHostCache>> m_caches;
    CcsLocker m_lock;   // guards m_caches
};
