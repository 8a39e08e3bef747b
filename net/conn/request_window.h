// request_window: how many block requests a peer connection keeps in
// flight. A fixed few cap one connection at a few blocks per round trip
// (six 32 KiB blocks at 75 ms are about 20 Mbit/s whatever the link), so
// the window follows the connection: enough requests to cover its delivery
// rate times its round trip, and half a round trip more, between a floor
// (the six every peer has always been asked for) and the most the serving
// side says it answers.
//
// The round trip is the shortest time seen from a request to its block
// (answers come in request order, so later blocks wait behind earlier ones
// and only the shortest time is the path's own). The rate is measured over
// spans of at least a round trip. A window that limits the rate grows by
// half each round trip; a full link holds it at rate x 1.5 round trips.
//
// Not thread-safe: the connection guards it with its own lock.
#pragma once

#include "picker/block_request.h"

#include <cstddef>
#include <cstdint>
#include <deque>

class request_window {
public:
    // The fewest requests kept in flight, and the most any connection asks
    // for, whatever the serving side says it answers.
    static constexpr std::size_t kFloor = 6;
    static constexpr std::size_t kCeiling = 64;
    // The shortest span the rate is measured over (ms).
    static constexpr std::uint32_t kSpanMs = 100;

    // The requests the serving side answers in order (its bitfield's word,
    // kLegacyServeQueue when it said none): the window never goes past it.
    void set_bound(std::size_t served);
    std::size_t bound() const { return m_bound; }
    // The requests to keep in flight now.
    std::size_t size() const { return m_size; }
    // The shortest request-to-block time seen (ms; 0: none yet).
    std::uint32_t round_trip() const { return m_round_trip; }

    // A request went out at `now`; `first`: nothing else was in flight.
    void asked(const BlockRequest& block, std::uint32_t now, bool first);
    // A requested block arrived at `now`.
    void arrived(const BlockRequest& block, std::uint32_t now);
    // Everything in flight was given up (the connection closed).
    void clear() { m_asked.clear(); }

private:
    struct asked_at {
        BlockRequest block;
        std::uint32_t tick;
    };
    std::size_t m_bound = kFloor;
    std::size_t m_size = kFloor;
    std::uint32_t m_round_trip = 0;
    std::uint32_t m_span_start = 0;
    std::uint32_t m_span_blocks = 0;
    // When each request still awaited went out, in request order; at most
    // kCeiling (a block skipped by the peer is dropped by a later one).
    std::deque<asked_at> m_asked;
};
