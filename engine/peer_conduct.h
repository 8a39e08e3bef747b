// CPeerConduct: what one task has seen of its peers' conduct, so that a
// peer which holds blocks without delivering them, or sends bytes that fail
// their piece check, stops costing the task. It records which peers
// supplied blocks of each piece still unchecked, blames those peers when
// the piece fails, and bars peers from being dialled and asked:
// - a peer whose requests passed their deadline: for a minute, doubling
//   with each time it happens again (at most kMaxLateBarMs);
// - a peer that alone supplied kMaxBadPieces pieces that failed their
//   check: for the rest of the task (a failed piece of several suppliers
//   drops their connections but charges none of them).
// A peer is known by its client id and by its address and port, so a
// record naming it under a new id is still barred. It also paces the dials
// of hosts other peers named: an address at most once a minute per task.
//
// Threads: any (the I/O thread, the task's timer, storage events); one
// lock guards everything.
#pragma once

#include "discovery/peer_info.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

class CPeerConduct {
public:
    static constexpr std::uint32_t kLateBarMs = 60000;
    static constexpr std::uint32_t kMaxLateBarMs = 960000;
    static constexpr std::uint32_t kMaxBadPieces = 2;
    // Suppliers remembered per piece, and peers judged at most: bounds for
    // a task with many pieces in progress or a swarm of short-lived ids.
    static constexpr std::size_t kMaxSuppliers = 16;
    static constexpr std::size_t kMaxPeers = 4096;

    // `peer` sent a block of `piece` (noted before storage takes it: the
    // check may run inside the write).
    void NoteSupplier(std::int32_t piece, const PeerInfo& peer);
    // The piece passed its check: its suppliers are forgotten.
    void PiecePassed(std::int32_t piece);
    // The piece failed its check: the client ids (each once) of the peers
    // that supplied its blocks; when one peer supplied them all, it counts
    // one bad piece.
    std::vector<std::uint64_t> PieceFailed(std::int32_t piece, std::uint32_t now);
    // The peer's requests passed their deadline.
    void NoteLate(const PeerInfo& peer, std::uint32_t now);
    // True while the peer is neither dialled nor asked for blocks.
    bool IsBarred(const PeerInfo& peer, std::uint32_t now) const;
    // A dial of `peer` may go out now: false when its address (its client
    // id when it has none or sits behind NAT) was dialled for the task less
    // than kRedialMs ago; otherwise the dial is recorded.
    bool TakeDial(const PeerInfo& peer, std::uint32_t now);
    static constexpr std::uint32_t kRedialMs = 60000;
    // Bad pieces counted for a client id (tests, logs).
    std::uint32_t BadPieces(std::uint64_t client_id) const;

private:
    struct Supplier {
        std::uint64_t client_id;
        std::uint64_t address;   // IPv4 above port (0: none known)
    };
    struct Record {
        std::uint32_t late = 0;
        std::uint32_t bad_pieces = 0;
        std::uint32_t barred_from = 0;
        std::uint32_t bar_ms = 0;   // 0: not barred for lateness
    };
    static std::uint64_t AddressOf(const PeerInfo& peer);
    static bool BarredAt(const Record& r, std::uint32_t now);
    // The record of a key, made when there is room (null otherwise).
    Record* Find(std::map<std::uint64_t, Record>& table, std::uint64_t key);
    template <typename Change>
    void Judge(std::uint64_t client_id, std::uint64_t address, Change change);

    mutable std::mutex m_lock;
    std::map<std::int32_t, std::vector<Supplier>> m_suppliers;   // unchecked pieces
    std::map<std::uint64_t, Record> m_by_id;
    std::map<std::uint64_t, Record> m_by_address;
    // (by address, address or client id) -> tick of its last dial
    std::map<std::pair<bool, std::uint64_t>, std::uint32_t> m_dialled;
};
