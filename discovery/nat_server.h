// The parent side of NAT traversal: the sons of each task, where their
// heartbeats come from, and where to pass a connect-back order for one.
// Thread-safe; the NAT manager's threads share it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "discovery/peer_info.h"

class CNatServer {
public:
    // Results of FindSon.
    enum : std::uint32_t { SON_FOUND = 0, SON_UNKNOWN = 1, TASK_UNKNOWN = 2 };

    // Keeps `peer` as a son of the task (a known client id is refreshed).
    // At most 200 sons per task and 1024 tasks.
    void AddSon(std::uint64_t task_id, const PeerInfo& peer, std::uint32_t now);

    // Fills `out` with the task's sons; their number.
    int GetSons(std::uint64_t task_id, std::vector<PeerInfo>& out) const;

    // A heartbeat of a son: its address is noted. False for a client id that
    // is not a son of the task (it gets no acknowledgement).
    bool OnHeartbeat(std::uint64_t task_id, std::uint64_t client_id, std::uint32_t ip, std::uint16_t port,
                     std::uint32_t now);

    // Where a connect-back order for the son goes (its heartbeat address, or
    // its record's address before any heartbeat). SON_FOUND, SON_UNKNOWN or
    // TASK_UNKNOWN.
    std::uint32_t FindSon(std::uint64_t task_id, std::uint64_t client_id, std::uint32_t& ip, std::uint16_t& port) const;

    // Forgets sons not heard for 180 s.
    void Expire(std::uint32_t now);

    void Clear();

private:
    struct Son {
        PeerInfo peer{};
        std::uint32_t udp_ip = 0;   // where its heartbeats come from
        std::uint16_t udp_port = 0;
        std::uint32_t last_heard = 0;
    };
    // Debug builds: tables within their caps. Call under m_lock.
    void check_invariant() const;

    mutable std::mutex m_lock;   // guards m_sons
    std::map<std::uint64_t, std::vector<Son>> m_sons;
};
