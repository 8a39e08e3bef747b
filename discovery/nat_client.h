// The son and dialler side of NAT traversal: the parents of each task and
// their heartbeats, the peers being natted, and the connect-backs this
// peer waits for. Thread-safe; the NAT manager's threads share it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "discovery/peer_info.h"

class CNatClient {
public:
    using PeerKey = std::pair<std::uint64_t, std::uint64_t>;   // (task id, client id)

    // Keeps `peer` as a parent of the task (at most 16 per task, 1024 tasks);
    // its first heartbeat is due at once.
    void AddParent(std::uint64_t task_id, const PeerInfo& peer, std::uint32_t now);
    int GetParents(std::uint64_t task_id, std::vector<PeerInfo>& out) const;
    // True when `ip` (network order) is the address of a parent of the task.
    bool IsParentAddress(std::uint64_t task_id, std::uint32_t ip) const;
    // A parent acknowledged our heartbeat.
    void OnHeartbeatAck(std::uint64_t task_id, std::uint64_t parent_id, std::uint32_t now);

    // Once per timer pass: the heartbeats due now (every 20 s per parent),
    // the parents silent for 65 s (removed), and the awaited connect-backs
    // past their deadline (removed, their natting marks ended).
    void Tick(std::uint32_t now, std::vector<std::pair<std::uint64_t, PeerInfo>>& heartbeats,
              std::vector<PeerInfo>& dropped, std::vector<PeerKey>& expired);

    // The "being natted" marks: false when the peer is already handled (or
    // too many are).
    bool BeginNatting(std::uint64_t task_id, std::uint64_t client_id);
    void EndNatting(std::uint64_t task_id, std::uint64_t client_id);

    // A connect-back this peer asked for: awaited until `deadline`.
    void AwaitConnectBack(std::uint32_t request_id, std::uint64_t task_id, const PeerInfo& target,
                          std::uint32_t deadline);
    // The connect-back that arrived, when it matches an awaited one (same
    // request, task and client id): removed, natting ended, its target out.
    bool TakeConnectBack(std::uint32_t request_id, std::uint64_t task_id, std::uint64_t client_id, PeerInfo& target);
    // Gives up an awaited connect-back; true when it was still awaited.
    bool CancelConnectBack(std::uint32_t request_id);

    // Forgets the marks and awaited connect-backs (stop).
    void ClearRequests();

private:
    struct Parent {
        PeerInfo peer{};
        std::uint32_t last_ack = 0;
        std::uint32_t last_sent = 0;
        bool sent = false;
    };
    struct Awaited {
        std::uint64_t task_id = 0;
        PeerInfo target{};
        std::uint32_t deadline = 0;
    };
    // Debug builds: caps hold and each awaited connect-back keeps its mark.
    // Call under m_lock.
    void check_invariant() const;

    mutable std::mutex m_lock;   // guards the three tables
    std::map<std::uint64_t, std::vector<Parent>> m_parents;
    std::map<std::uint32_t, Awaited> m_awaited;   // by request id
    std::set<PeerKey> m_natting;
};
