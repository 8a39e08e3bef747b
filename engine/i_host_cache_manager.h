// The host cache: per task a pool of candidate peers learned from the index
// servers and not yet used. A host taken out leaves the pool.
#pragma once

#include "discovery/peer_info.h"

#include <cstdint>
#include <vector>

class ICmdEvent;

class IHostCacheManager {
public:
    virtual ~IHostCacheManager() = default;

    // Creates the task's cache (nothing when it exists).
    virtual void AddHostCache(std::uint64_t task_id) = 0;
    // Deletes the task's cache.
    virtual void RemoveHostCache(std::uint64_t task_id) = 0;
    // Takes up to 5 hosts nearest to `ref_ip` (the public IPv4 address as
    // PeerInfo holds it) out of the cache into `hosts` (cleared first).
    virtual void GetManyHost(std::uint64_t task_id, std::vector<HostRecord>& hosts, std::uint32_t ref_ip) = 0;
    // Takes hosts from a random position on (all of them when 5 or fewer).
    virtual void GetRandomHosts(std::uint64_t task_id, std::vector<HostRecord>& hosts) = 0;
    // Adds hosts by peer client id (a known id keeps its record) until the
    // cache holds 150.
    virtual void AddHosts(std::uint64_t task_id, const std::vector<HostRecord>& hosts) = 0;
    // Empties the task's cache.
    virtual void ClearHosts(std::uint64_t task_id) = 0;
    // Keeps only a null argument: the host cache never reports.
    virtual void SetCmdEvent(ICmdEvent* event) = 0;
    // Hosts in the task's cache; 0 for an unknown task or a null pointer.
    virtual std::uint32_t GetHostCount(const std::uint64_t* task_id) = 0;
};

// Creates a host cache manager. Never null.
IHostCacheManager* CreateHostCacheManager();
// Deletes a manager made by CreateHostCacheManager; null is ignored.
void DestroyHostCacheManager(IHostCacheManager* manager);
