#include "picker/block_request_map.h"
#include "platform/invariant.h"
#include "platform/tick.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>

namespace {

// Storage writes these bytes under its own lock while connections and the
// CDN thread read them here; single-byte atomic accesses keep both sides
// well defined without sharing a lock.
inline std::uint8_t load_byte(const std::uint8_t& b)
{
    return __atomic_load_n(&b, __ATOMIC_RELAXED);
}

constexpr std::uint32_t kBudgetUnit = 262144;
constexpr std::uint32_t kBudgetMax = 3145728;
// With peers about, origin runs of pieces no peer holds under way at once.
constexpr std::uint64_t kPeerRunsInFlight = 2;
// An origin run of pieces connected peers hold takes this share of the budget.
constexpr std::uint64_t kHeldRunShare = 4;
// Bytes of pieces in one share of the origin's work among co-downloaders:
// small, so that a piece fetched is soon announced and traded.
constexpr std::uint64_t kShareBytes = 1048576;
// How long a client with nothing else to fetch leaves another's last
// shares to their owner.
constexpr std::uint32_t kOwnerWaitMs = 5000;

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The hash of share `share` for the member `client_id`: every member
// computes the same one.
std::uint64_t share_hash(std::uint64_t client_id, std::size_t share)
{
    return mix(client_id ^ mix(std::uint64_t(share)));
}

}   // namespace

#if !defined(VR_INVARIANTS)
#define PICKER_INVARIANT() ((void)0)
#else
#define PICKER_INVARIANT() check_invariant()
#endif

CBlockRequestMap::CBlockRequestMap(const std::vector<std::vector<std::uint8_t>>& received,
                                   const std::vector<std::uint8_t>& bitmap,
                                   const std::vector<std::uint32_t>& piece_lengths, std::uint32_t tie_seed)
    : m_received(received), m_bitmap(bitmap), m_lengths(piece_lengths)
{
    const std::size_t pieces = std::min({received.size(), bitmap.size(), piece_lengths.size()});
    m_states.resize(pieces);
    m_holders.resize(pieces);
    m_asked_at.resize(pieces);
    m_asked_tick.resize(pieces);
    m_origin.resize(pieces);
    m_free.resize(pieces, 0);
    m_availability.resize(pieces, 0);
    m_tie_rank.resize(pieces);
    m_listed.resize(pieces, 0);
    m_parked.resize(pieces, 0);
    m_http_listed.resize(pieces, 0);
    // Shares are whole pieces: a short piece (a small file's) does not
    // make them long.
    const std::uint32_t longest = pieces > 0 ? *std::max_element(m_lengths.begin(), m_lengths.begin() + pieces) : 0;
    m_share_pieces = std::size_t(std::max<std::uint64_t>(1, kShareBytes / std::max(longest, 1u)));
    m_share_bytes = std::uint64_t(m_share_pieces) * longest;
    std::iota(m_tie_rank.begin(), m_tie_rank.end(), 0u);
    if (tie_seed != 0)
        std::shuffle(m_tie_rank.begin(), m_tie_rank.end(), std::mt19937(tie_seed));
    m_by_tie_rank.resize(pieces);
    for (std::size_t p = 0; p < pieces; ++p)
        m_by_tie_rank[m_tie_rank[p]] = std::uint32_t(p);
    for (std::size_t p = 0; p < pieces; ++p) {
        const std::size_t blocks = received[p].size();
        m_states[p].resize(blocks, kFree);
        m_holders[p].resize(blocks, 0);
        m_asked_at[p].resize(blocks, 0);
        m_asked_tick[p].resize(blocks, 0);
        m_origin[p].resize(blocks, 0);
        for (std::size_t b = 0; b < blocks; ++b) {
            if (load_byte(received[p][b]) != 0)
                m_states[p][b] = kReceived;
            else
                ++m_free[p];
        }
        if (m_free[p] < blocks) {
            m_listed[p] = 1;
            m_started.push_back(std::uint32_t(p));
        }
    }
    PICKER_INVARIANT();
}

std::uint32_t CBlockRequestMap::RandomSeed()
{
    return std::random_device{}();
}

std::uint32_t CBlockRequestMap::ContinuousBudget(std::size_t pieces)
{
    const std::uint64_t units = std::uint64_t(pieces) * kBudgetUnit / 5 / kBudgetUnit;
    const std::uint64_t budget = units * kBudgetUnit;
    return std::uint32_t(std::min<std::uint64_t>(std::max<std::uint64_t>(budget, kBudgetUnit), kBudgetMax));
}

bool CBlockRequestMap::ValidBlock(std::int32_t piece, std::int32_t offset, std::uint32_t& block) const
{
    if (piece < 0 || std::size_t(piece) >= m_states.size() || offset < 0 || offset % std::int32_t(kBlockSize) != 0)
        return false;
    block = std::uint32_t(offset) / kBlockSize;
    return block < m_states[std::size_t(piece)].size();
}

bool CBlockRequestMap::PieceVerified(std::size_t piece) const
{
    return load_byte(m_bitmap[piece]) != 0;
}

void CBlockRequestMap::SetBlockState(std::size_t piece, std::size_t block, std::uint8_t state)
{
    std::uint8_t& s = m_states[piece][block];
    if (s == kFree)
        --m_free[piece];
    if (state == kFree)
        ++m_free[piece];
    s = state;
    if (state != kRequested) {
        m_holders[piece][block] = 0;
        m_origin[piece][block] = 0;
    }
    if (state != kFree && !m_listed[piece]) {
        m_listed[piece] = 1;
        m_started.push_back(std::uint32_t(piece));
    }
}

// A block this picker saw arrive whose received byte storage has cleared
// since (its piece failed its check, or the write to disk failed) is free
// again, so it is fetched anew even before anyone resets the piece.
void CBlockRequestMap::SyncPiece(std::size_t piece)
{
    std::vector<std::uint8_t>& states = m_states[piece];
    if (m_free[piece] == states.size())
        return;
    const std::vector<std::uint8_t>& received = m_received[piece];
    for (std::size_t b = 0; b < states.size(); ++b) {
        if (states[b] == kReceived && load_byte(received[b]) == 0)
            SetBlockState(piece, b, kFree);
    }
}

bool CBlockRequestMap::PieceUntouched(std::size_t piece) const
{
    return m_free[piece] == m_states[piece].size();
}

void CBlockRequestMap::PushBlock(std::size_t piece, std::uint32_t block, BlockRequestQueue& queue, bool origin)
{
    BlockRequest req;
    req.piece = std::int32_t(piece);
    req.offset = std::int32_t(block * kBlockSize);
    req.length = std::int32_t(BlockLength(m_lengths[piece], block));
    queue.push_back(req);
    SetBlockState(piece, block, kRequested);
    m_holders[piece][block] = 1;
    m_origin[piece][block] = origin ? 1 : 0;
    m_asked_at[piece][block] = ++m_asked_seq;
    m_asked_tick[piece][block] = platform::tick_count();
}

bool CBlockRequestMap::NothingFree() const
{
    for (std::size_t p = 0; p < m_states.size(); ++p) {
        if (!PieceVerified(p) && m_free[p] > 0)
            return false;
    }
    return true;
}

void CBlockRequestMap::PushEndGame(const std::vector<std::uint8_t>& peer_pieces, BlockRequestQueue& queue,
                                   const BlockRequestQueue* in_flight)
{
    const std::size_t held = queue.size() + (in_flight ? in_flight->size() : 0);
    if (held >= kEndGameBlocks || !NothingFree())
        return;   // enough work, or a free block is left for someone
    const auto holds = [&](const BlockRequest& r) {
        const auto same = [&](const BlockRequest& o) { return o.SameBlock(r); };
        return std::any_of(queue.begin(), queue.end(), same) ||
               (in_flight && std::any_of(in_flight->begin(), in_flight->end(), same));
    };
    struct Candidate {
        std::uint32_t asked_at, piece, block;
    };
    std::vector<Candidate> candidates;
    for (const std::uint32_t p : m_order) {
        if (p >= peer_pieces.size() || peer_pieces[p] == 0)
            continue;
        for (std::uint32_t b = 0; b < m_states[p].size(); ++b) {
            if (m_states[p][b] != kRequested || m_holders[p][b] == 0xff)
                continue;
            BlockRequest r;
            r.piece = std::int32_t(p);
            r.offset = std::int32_t(b * kBlockSize);
            r.length = std::int32_t(BlockLength(m_lengths[p], b));
            if (!holds(r))
                candidates.push_back({m_asked_at[p][b], p, b});
        }
    }
    const std::size_t take = std::min(kEndGameBlocks - held, candidates.size());
    std::partial_sort(candidates.begin(), candidates.begin() + std::ptrdiff_t(take), candidates.end(),
                      [](const Candidate& a, const Candidate& b) { return a.asked_at < b.asked_at; });
    for (std::size_t i = 0; i < take; ++i) {
        const Candidate& c = candidates[i];
        BlockRequest req;
        req.piece = std::int32_t(c.piece);
        req.offset = std::int32_t(c.block * kBlockSize);
        req.length = std::int32_t(BlockLength(m_lengths[c.piece], c.block));
        queue.push_back(req);
        ++m_holders[c.piece][c.block];
    }
}

bool CBlockRequestMap::PushFreeBlocks(std::size_t piece, BlockRequestQueue& queue, std::size_t target)
{
    std::vector<std::uint8_t>& states = m_states[piece];
    for (std::uint32_t b = 0; b < states.size() && m_free[piece] > 0; ++b) {
        if (queue.size() >= target)
            return true;
        if (states[b] == kFree)
            PushBlock(piece, b, queue);
    }
    return queue.size() >= target;
}

// Fewer peers hold `a`, or as many and it comes first in this task's own
// random order among equals.
bool CBlockRequestMap::Rarer(std::uint32_t a, std::uint32_t b) const
{
    return m_availability[a] != m_availability[b] ? m_availability[a] < m_availability[b]
                                                  : m_tie_rank[a] < m_tie_rank[b];
}

std::uint64_t CBlockRequestMap::RankKey(std::size_t piece) const
{
    return std::uint64_t(m_availability[piece]) << 32 | m_tie_rank[piece];
}

void CBlockRequestMap::ChangeAvailability(std::size_t piece, bool up)
{
    std::uint32_t& count = m_availability[piece];
    if (!up && count == 0)
        return;
    if (count > 0 && !m_parked[piece])
        m_rank.erase(RankKey(piece));
    count = up ? count + 1 : count - 1;
    if (count > 0 && !m_parked[piece])
        m_rank.insert(RankKey(piece));
}

// Storage may fail a verified piece again (a bad write, say) without
// telling the picker; the parked pieces are few next to the ranked ones
// and are only looked at, not ranked.
void CBlockRequestMap::UnparkFailed()
{
    std::size_t kept = 0;
    for (const std::uint32_t p : m_parked_list) {
        if (PieceVerified(p)) {
            m_parked_list[kept++] = p;
            continue;
        }
        m_parked[p] = 0;
        if (m_availability[p] > 0)
            m_rank.insert(RankKey(p));
    }
    m_parked_list.resize(kept);
}

// Started pieces go first, so that pieces complete one by one.
bool CBlockRequestMap::PushFromStarted(const std::vector<std::uint8_t>& peer_pieces, BlockRequestQueue& queue,
                                       std::size_t target, std::uint32_t ceiling)
{
    m_order.clear();
    std::size_t kept = 0;
    for (const std::uint32_t p : m_started) {
        if (PieceVerified(p) || PieceUntouched(p)) {
            m_listed[p] = 0;   // listed again once a block of it is taken
            continue;
        }
        m_started[kept++] = p;
        if (m_availability[p] > 0 && m_availability[p] <= ceiling && p < peer_pieces.size() && peer_pieces[p] != 0)
            m_order.push_back(p);
    }
    m_started.resize(kept);
    std::sort(m_order.begin(), m_order.end(), [this](std::uint32_t a, std::uint32_t b) { return Rarer(a, b); });
    for (const std::uint32_t p : m_order) {
        SyncPiece(p);
        if (!PieceUntouched(p) && PushFreeBlocks(p, queue, target))
            return true;
    }
    return false;
}

bool CBlockRequestMap::GetRequestBlocksForPeer(const std::vector<std::uint8_t>& peer_pieces, BlockRequestQueue& queue,
                                               std::size_t target, const BlockRequestQueue* in_flight)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (queue.size() >= target || m_paused.load())
        return false;
    // A peer holding every piece (a seed) is asked first for what is rarest,
    // above all for what only seeds hold: blocks of pieces another peer
    // also holds would spend its upload on what the swarm has already.
    const bool seed = !peer_pieces.empty() && peer_pieces.size() >= m_states.size() &&
                      std::find(peer_pieces.begin(), peer_pieces.end(), std::uint8_t(0)) == peer_pieces.end();
    const std::uint32_t ceiling = seed ? RarestWanted() : std::numeric_limits<std::uint32_t>::max();
    // Mostly the pieces already started fill the queue: they are few.
    if (PushFromStarted(peer_pieces, queue, target, ceiling)) {
        PICKER_INVARIANT();
        return false;
    }
    // The started pieces have given all they had: the rest come from
    // untouched ones, in the kept rank order of the pieces some connected
    // peer holds. Verified pieces met on the way leave it.
    UnparkFailed();
    for (auto it = m_rank.begin(); it != m_rank.end() && queue.size() < target;) {
        const std::uint32_t p = m_by_tie_rank[std::uint32_t(*it)];
        if (ParkVerified(it))
            continue;
        ++it;
        if (p < peer_pieces.size() && peer_pieces[p] != 0 && PushFreeBlocks(p, queue, target))
            break;
    }
    const bool starved = queue.size() < target;
    if (starved) {
        // Only started pieces have blocks other connections requested.
        m_order.clear();
        for (const std::uint32_t p : m_started) {
            if (!PieceVerified(p) && m_availability[p] > 0)
                m_order.push_back(p);
        }
        PushEndGame(peer_pieces, queue, in_flight);
    }
    PICKER_INVARIANT();
    return starved;
}

bool CBlockRequestMap::ParkVerified(std::set<std::uint64_t>::iterator& it)
{
    const std::uint32_t p = m_by_tie_rank[std::uint32_t(*it)];
    if (!PieceVerified(p))
        return false;
    m_parked[p] = 1;
    m_parked_list.push_back(p);
    it = m_rank.erase(it);
    return true;
}

// The smallest count of connected holders among missing pieces that
// still have a free block (the head of the rank; verified pieces leave it
// on the way).
std::uint32_t CBlockRequestMap::RarestWanted()
{
    UnparkFailed();
    for (auto it = m_rank.begin(); it != m_rank.end();) {
        const std::uint32_t p = m_by_tie_rank[std::uint32_t(*it)];
        if (ParkVerified(it))
            continue;
        if (m_free[p] > 0)
            return m_availability[p];
        ++it;
    }
    return std::numeric_limits<std::uint32_t>::max();
}

// Co-downloaders asking one origin at once must not all ask it for the
// same bytes, and what a connected peer holds is better fetched from that
// peer: a run starts at the first piece, in this task's own random order,
// of the untouched pieces no connected peer holds, and runs on over its
// untouched neighbours (forward, then back). Only when every untouched
// piece is held by a peer does the origin take some of those, the least
// held first and in short runs, so that it keeps pace without doing the
// peers' share.
void CBlockRequestMap::GetContinuousBlocks(BlockRequestQueue& queue)
{
    std::lock_guard<std::mutex> lock(m_lock);
    queue.clear();
    if (m_paused.load())
        return;
    if (Swarm()) {
        PushSwarmRun(queue);
        PICKER_INVARIANT();
        return;
    }
    const std::size_t pieces = m_states.size();
    std::size_t start = pieces;
    bool held = false;
    for (const std::uint32_t p : m_by_tie_rank) {
        if (!UntouchedNow(p))
            continue;
        if (m_availability[p] == 0) {
            start = p;
            held = false;
            break;
        }
        if (start == pieces || m_availability[p] < m_availability[start]) {
            start = p;
            held = true;
        }
    }
    if (start == pieces) {
        PushFromStartedForHttp(queue, false);
        if (queue.empty())
            PushEndGameForHttp(queue, false);
        PICKER_INVARIANT();
        return;
    }
    // Neighbours join the run only as unheld as its first piece.
    const auto joins = [&](std::size_t p) {
        return UntouchedNow(p) && (held ? m_availability[p] <= m_availability[start] : m_availability[p] == 0);
    };
    std::uint64_t budget = ContinuousBudget(pieces);
    if (held)
        budget = std::max<std::uint64_t>(budget / kHeldRunShare, kBudgetUnit);
    std::size_t first = start, last = start;   // the run is [first, last]
    std::uint64_t total = m_lengths[start];
    while (total < budget && last + 1 < pieces && joins(last + 1))
        total += m_lengths[++last];
    while (total < budget && first > 0 && joins(first - 1))
        total += m_lengths[--first];
    total = 0;
    for (std::size_t p = first; p <= last && total < budget; ++p) {
        ListHttpPiece(p);
        for (std::uint32_t b = 0; b < m_states[p].size() && total < budget; ++b) {
            PushBlock(p, b, queue, true);
            total += std::uint32_t(queue.back().length);
        }
    }
    PICKER_INVARIANT();
}

// Bytes of the pieces origin runs took that still have a block asked for:
// a piece a cut run left half done counts only while someone fetches the
// rest, so the bound never stops the download.
std::uint64_t CBlockRequestMap::HttpBytesInFlight()
{
    std::uint64_t bytes = 0;
    std::size_t kept = 0;
    for (const std::uint32_t p : m_http_pieces) {
        if (PieceVerified(p) || PieceUntouched(p)) {
            m_http_listed[p] = 0;
            continue;
        }
        m_http_pieces[kept++] = p;
        const std::vector<std::uint8_t>& states = m_states[p];
        if (std::find(states.begin(), states.end(), std::uint8_t(kRequested)) != states.end())
            bytes += m_lengths[p];
    }
    m_http_pieces.resize(kept);
    return bytes;
}

// Co-downloaders that each put much of the file in flight from the
// origin at once, or ask it for the same pieces, leave their peers nothing
// to give and the origin sending copies: with peers about, each asks the
// origin for a little at a time, of the shares that are its own first, and
// never for what a connected co-downloader holds (a seed, maybe on a slow
// uplink, sends only what the origin does not get to first).
void CBlockRequestMap::PushSwarmRun(BlockRequestQueue& queue)
{
    const std::size_t pieces = m_states.size();
    const std::uint64_t in_flight = HttpBytesInFlight();
    if (pieces == 0 || in_flight >= kPeerRunsInFlight * m_share_bytes)
        return;
    if (!m_scored)
        ScoreShares();
    const auto wanted = [this](std::size_t p) { return PeerHeld(p) == 0 && UntouchedNow(p); };
    // Per share with a wanted piece, the first of them.
    const std::size_t shares = m_share_score.size();
    std::vector<std::uint32_t> first(shares, std::uint32_t(pieces));
    for (std::size_t p = 0; p < pieces; ++p) {
        if (first[p / m_share_pieces] == pieces && wanted(p))
            first[p / m_share_pieces] = std::uint32_t(p);
    }
    // An own share with the highest hash.
    std::size_t pick = shares;
    for (std::size_t s = 0; s < shares; ++s) {
        if (first[s] != pieces && m_share_owner[s] == m_self_id &&
            (pick == shares || m_share_score[s] > m_share_score[pick]))
            pick = s;
    }
    if (pick == shares) {
        // Another's share its owner would come to only after the runs it
        // may have under way, of those where this client's hash is the
        // highest among the members that have no share of their own left
        // (so that helpers do not all take the same), the one it ranks
        // highest.
        struct Other {
            std::uint64_t owner, score, mine;
            std::size_t share;
        };
        std::vector<Other> others;
        for (std::size_t s = 0; s < shares; ++s) {
            if (first[s] != pieces && m_share_owner[s] != m_self_id)
                others.push_back({m_share_owner[s], m_share_score[s], share_hash(m_self_id, s), s});
        }
        std::sort(others.begin(), others.end(), [](const Other& a, const Other& b) {
            return a.owner != b.owner ? a.owner < b.owner : a.score > b.score;
        });
        std::vector<std::uint64_t> owners;   // sorted, as `others` is
        for (const Other& o : others) {
            if (owners.empty() || owners.back() != o.owner)
                owners.push_back(o.owner);
        }
        const auto helps = [&](const Other& o) {
            for (const std::uint64_t id : m_members) {
                if (id != m_self_id && !std::binary_search(owners.begin(), owners.end(), id) &&
                    share_hash(id, o.share) > o.mine)
                    return false;
            }
            return true;
        };
        std::size_t lowest = shares;
        const Other* steal = nullptr;
        for (std::size_t i = 0, rank = 0; i < others.size(); ++i) {
            rank = i > 0 && others[i].owner == others[i - 1].owner ? rank + 1 : 0;
            if (rank >= kPeerRunsInFlight && (!steal || others[i].mine > steal->mine) && helps(others[i]))
                steal = &others[i];
            if (lowest == shares || others[i].score < m_share_score[lowest])
                lowest = others[i].share;
        }
        pick = steal ? steal->share : shares;
        // An owner that does not fetch from the origin (it has no HTTP
        // source, say) would leave its shares to nobody: once this client
        // has waited a while with nothing under way, it takes the lowest.
        const std::uint32_t now = platform::tick_count();
        if (!steal && lowest != shares && in_flight == 0) {
            if (m_idle_since == 0)
                m_idle_since = now == 0 ? 1 : now;
            else if (now - m_idle_since >= kOwnerWaitMs)
                pick = lowest;
        }
    }
    if (pick == shares) {
        if (in_flight == 0)
            PushFromStartedForHttp(queue, true);
        if (queue.empty())
            PushEndGameForHttp(queue, true);
        return;
    }
    m_idle_since = 0;
    for (std::size_t p = first[pick]; p < pieces && p / m_share_pieces == pick && wanted(p); ++p) {
        ListHttpPiece(p);
        for (std::uint32_t b = 0; b < m_states[p].size(); ++b)
            PushBlock(p, b, queue, true);
    }
}

void CBlockRequestMap::ScoreShares()
{
    const std::size_t shares = (m_states.size() + m_share_pieces - 1) / m_share_pieces;
    m_share_score.assign(shares, 0);
    m_share_owner.assign(shares, m_self_id);
    for (std::size_t s = 0; s < shares; ++s) {
        if (m_self_id == 0) {
            // Without an id to agree on, the task's own random order.
            m_share_score[s] = ~std::uint64_t(m_tie_rank[s * m_share_pieces]);
            continue;
        }
        m_share_score[s] = share_hash(m_self_id, s);
        for (const std::uint64_t id : m_members) {
            const std::uint64_t h = share_hash(id, s);
            if (id != m_self_id && h > m_share_score[s]) {
                m_share_score[s] = h;
                m_share_owner[s] = id;
            }
        }
    }
    m_scored = true;
}

void CBlockRequestMap::ListHttpPiece(std::size_t piece)
{
    if (!m_http_listed[piece]) {
        m_http_listed[piece] = 1;
        m_http_pieces.push_back(std::uint32_t(piece));
    }
}

bool CBlockRequestMap::UntouchedNow(std::size_t piece)
{
    if (PieceVerified(piece) || m_states[piece].empty())
        return false;
    SyncPiece(piece);
    return PieceUntouched(piece);
}

// Every piece is started: the first run of free blocks of the least held
// started piece, in this task's random order among equals, so that
// co-downloaders finishing at once do not all ask for one piece.
void CBlockRequestMap::PushFromStartedForHttp(BlockRequestQueue& queue, bool unheld_only)
{
    std::size_t best = m_states.size();
    for (const std::uint32_t p : m_by_tie_rank) {
        if (PieceVerified(p) || m_free[p] == 0 || PieceUntouched(p) || (unheld_only && PeerHeld(p) > 0))
            continue;
        if (best == m_states.size() || m_availability[p] < m_availability[best])
            best = p;
        if (m_availability[best] == 0)
            break;
    }
    if (best == m_states.size())
        return;
    ListHttpPiece(best);
    std::uint32_t b = 0;
    while (m_states[best][b] != kFree)
        ++b;
    for (; b < m_states[best].size() && m_states[best][b] == kFree; ++b)
        PushBlock(best, b, queue, true);
}

std::uint32_t CBlockRequestMap::PeerHeld(std::size_t piece) const
{
    return m_availability[piece] > m_seeds ? m_availability[piece] - m_seeds : 0;
}

// Everything left is asked for: a copy of what only peers were asked for
// goes to the origin too, so the last blocks come at the origin's pace
// whatever a peer does with them. In a swarm a co-downloader's piece is
// copied only once it has stalled: its copy would cost the origin bytes a
// working peer is sending anyway.
void CBlockRequestMap::PushEndGameForHttp(BlockRequestQueue& queue, bool swarm)
{
    if (!NothingFree())
        return;
    const std::uint32_t now = platform::tick_count();
    const auto copyable = [&](std::size_t p, std::size_t b) {
        return m_states[p][b] == kRequested && m_origin[p][b] == 0 && m_holders[p][b] != 0xff &&
               (!swarm || PeerHeld(p) == 0 || now - m_asked_tick[p][b] >= kStalledMs);
    };
    std::size_t best = m_states.size(), first = 0;
    for (const std::uint32_t p : m_started) {
        if (PieceVerified(p))
            continue;
        for (std::size_t b = 0; b < m_states[p].size(); ++b) {
            if (copyable(p, b) && (best == m_states.size() || m_asked_at[p][b] < m_asked_at[best][first])) {
                best = p;
                first = b;
            }
        }
    }
    if (best == m_states.size())
        return;
    // The whole stretch of copyable blocks around the oldest: one range.
    while (first > 0 && copyable(best, first - 1))
        --first;
    ListHttpPiece(best);
    for (std::size_t b = first; b < m_states[best].size() && copyable(best, b); ++b) {
        BlockRequest req;
        req.piece = std::int32_t(best);
        req.offset = std::int32_t(b * kBlockSize);
        req.length = std::int32_t(BlockLength(m_lengths[best], std::uint32_t(b)));
        queue.push_back(req);
        ++m_holders[best][b];
        m_origin[best][b] = 1;
    }
}

void CBlockRequestMap::CancelRequest(std::int32_t piece, std::int32_t offset)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::uint32_t b = 0;
    const std::size_t p = std::size_t(piece);
    if (ValidBlock(piece, offset, b) && m_states[p][b] == kRequested && --m_holders[p][b] == 0)
        SetBlockState(p, b, kFree);
}

void CBlockRequestMap::MarkReceived(std::int32_t piece, std::int32_t offset)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::uint32_t b = 0;
    if (ValidBlock(piece, offset, b) && m_states[std::size_t(piece)][b] == kRequested)
        SetBlockState(std::size_t(piece), b, kReceived);
}

void CBlockRequestMap::ResetPiece(std::int32_t piece)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (piece < 0 || std::size_t(piece) >= m_states.size())
        return;
    const std::size_t p = std::size_t(piece);
    std::fill(m_states[p].begin(), m_states[p].end(), std::uint8_t(kFree));
    std::fill(m_holders[p].begin(), m_holders[p].end(), std::uint8_t(0));
    std::fill(m_origin[p].begin(), m_origin[p].end(), std::uint8_t(0));
    m_free[p] = std::uint32_t(m_states[p].size());
    PICKER_INVARIANT();
}

void CBlockRequestMap::IncPieceAvailability(std::int32_t piece)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (piece >= 0 && std::size_t(piece) < m_availability.size())
        ChangeAvailability(std::size_t(piece), true);
}

void CBlockRequestMap::DecPieceAvailability(std::int32_t piece)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (piece >= 0 && std::size_t(piece) < m_availability.size())
        ChangeAvailability(std::size_t(piece), false);
}

void CBlockRequestMap::AddPeer(std::uint64_t client_id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_members.push_back(client_id);
    m_scored = false;
}

void CBlockRequestMap::RemovePeer(std::uint64_t client_id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = std::find(m_members.begin(), m_members.end(), client_id);
    if (it == m_members.end())
        return;
    m_members.erase(it);
    m_scored = false;
}

void CBlockRequestMap::AddSeed()
{
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_seeds;
}

void CBlockRequestMap::RemoveSeed()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_seeds > 0)
        --m_seeds;
}

bool CBlockRequestMap::HoldsMissing(const std::vector<std::uint8_t>& peer_pieces) const
{
    const std::size_t n = std::min(peer_pieces.size(), m_bitmap.size());
    for (std::size_t p = 0; p < n; ++p) {
        if (peer_pieces[p] != 0 && !PieceVerified(p))
            return true;
    }
    return false;
}

void CBlockRequestMap::SetSelfId(std::uint64_t client_id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (client_id != m_self_id)
        m_scored = false;
    m_self_id = client_id;
}

void CBlockRequestMap::SetPeersExpected(bool expected)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // The wait starts when peers are first expected: each later reply
    // naming peers that never connect must not extend it.
    if (expected && !m_peers_expected)
        m_expected_until = platform::tick_count() + kExpectPeersMs;
    m_peers_expected = expected;
}

// Peers named that never connect leave a lone client its HTTP runs after
// a while.
bool CBlockRequestMap::Swarm() const
{
    return !m_members.empty() ||
           (m_peers_expected && !platform::tick_reached(platform::tick_count(), m_expected_until));
}

bool CBlockRequestMap::OthersCanServe(std::int32_t piece) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (piece < 0 || std::size_t(piece) >= m_availability.size())
        return false;
    return !Swarm() || PeerHeld(std::size_t(piece)) > 0;
}

bool CBlockRequestMap::IsDownloadComplete() const
{
    for (const std::uint8_t& b : m_bitmap) {
        if (load_byte(b) == 0)
            return false;
    }
    return true;
}

std::uint8_t CBlockRequestMap::BlockState(std::int32_t piece, std::int32_t block) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (piece < 0 || std::size_t(piece) >= m_states.size() || block < 0 ||
        std::size_t(block) >= m_states[std::size_t(piece)].size())
        return kFree;
    return m_states[std::size_t(piece)][std::size_t(block)];
}

std::uint32_t CBlockRequestMap::Availability(std::int32_t piece) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (piece < 0 || std::size_t(piece) >= m_availability.size())
        return 0;
    return m_availability[std::size_t(piece)];
}

std::size_t CBlockRequestMap::CoDownloaders() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_members.size();
}

std::uint32_t CBlockRequestMap::Seeds() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_seeds;
}

void CBlockRequestMap::check_invariant() const
{
    VR_INVARIANT(m_free.size() == m_states.size() && m_availability.size() == m_states.size());
    VR_INVARIANT(m_holders.size() == m_states.size() && m_asked_at.size() == m_states.size());
    VR_INVARIANT(m_asked_tick.size() == m_states.size() && m_origin.size() == m_states.size());
    VR_INVARIANT(m_http_listed.size() == m_states.size());
    VR_INVARIANT(m_rank.size() + m_parked_list.size() <= m_states.size());
#ifdef VR_EXPENSIVE_CHECKS
    std::size_t ranked = 0;
    for (std::size_t p = 0; p < m_states.size(); ++p) {
        const bool in_rank = m_rank.count(RankKey(p)) != 0;
        VR_INVARIANT(in_rank == (m_availability[p] > 0 && !m_parked[p]));
        ranked += in_rank ? 1 : 0;
    }
    VR_INVARIANT(ranked == m_rank.size());
    // Every block of the channel: only when asked for.
    for (std::size_t p = 0; p < m_states.size(); ++p) {
        VR_INVARIANT(m_free[p] == std::size_t(std::count(m_states[p].begin(), m_states[p].end(), std::uint8_t(kFree))));
        for (std::size_t b = 0; b < m_states[p].size(); ++b)
            VR_INVARIANT((m_states[p][b] == kRequested) == (m_holders[p][b] > 0));
        VR_INVARIANT(m_free[p] == m_states[p].size() ||
                     std::find(m_started.begin(), m_started.end(), std::uint32_t(p)) != m_started.end());
    }
#endif
}
