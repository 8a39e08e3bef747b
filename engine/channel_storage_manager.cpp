#include "engine/channel_storage_manager.h"

#include "engine/piece_hash_worker.h"
#include "engine/storage_manager.h"
#include "report/debug_log.h"
#include "platform/invariant.h"

#include <algorithm>
#include <cstring>

namespace {

// The piece picker reads the bitmap and the received table without the
// storage lock; single-byte atomic stores keep that well defined.
inline void store_byte(std::uint8_t& b, std::uint8_t v)
{
    __atomic_store_n(&b, v, __ATOMIC_RELAXED);
}

// Freed cache buffers kept per store for the next entries: several pieces
// complete at about the same time when several connections feed them, and
// finished pieces wait for the worker's writes in bursts, so the number of
// buffers in use swings by more than a few. A buffer made afresh costs the
// I/O thread its allocation, page faults and zero-fill (a seeding store's
// reads take the buffers its read cache lets go).
constexpr std::size_t kSpareBuffers = 16;

}   // namespace

#if !defined(VR_INVARIANTS)
#define STORE_INVARIANT(piece) ((void)0)
#else
#define STORE_INVARIANT(piece) CheckPiece(piece)
#endif

CChannelStorageManager::CChannelStorageManager(std::uint64_t channel_id, CStorageManager* owner)
    : m_channel_id(channel_id), m_owner(owner)
{
}

CChannelStorageManager::~CChannelStorageManager()
{
    // The worker may still hold a hash: it must stop reading the buffers.
    for (auto& e : m_write_cache)
        e.second.hash->Detach();
}

bool CChannelStorageManager::SaveBitmap(const std::vector<std::uint8_t>& bitmap,
                                        const std::vector<std::vector<std::uint8_t>>& received,
                                        const std::vector<std::uint32_t>& piece_lengths)
{
    if (bitmap.size() != received.size() || bitmap.size() != piece_lengths.size())
        return false;
    for (std::size_t p = 0; p < received.size(); ++p) {
        if (piece_lengths[p] == 0 || received[p].size() != BlocksInPiece(piece_lengths[p]))
            return false;
    }
    m_bitmap = bitmap;
    for (std::size_t p = 0; p < received.size(); ++p) {
        // A piece cannot be verified with blocks missing: such a record is
        // damaged, and the piece is fetched again.
        if (m_bitmap[p] != 0 &&
            std::any_of(received[p].begin(), received[p].end(), [](std::uint8_t b) { return b != 1; }))
            m_bitmap[p] = 0;
        else if (m_bitmap[p] != 0)
            m_bitmap[p] = 1;
    }
    m_received = received;
    m_lengths = piece_lengths;
    const std::uint32_t longest = m_lengths.empty() ? 1 : *std::max_element(m_lengths.begin(), m_lengths.end());
    // An entry of a big piece holds the units being filled, not its whole
    // piece: their bytes are bounded, not their number.
    m_cache_bound = longest > kStreamFrom
                        ? kMaxWriteCacheEntries
                        : std::max(kWriteCacheEntries, std::min(kMaxWriteCacheEntries, kMaxWriteCacheBytes / longest));
    m_verified = std::size_t(std::count(m_bitmap.begin(), m_bitmap.end(), 1));
    m_write_state.assign(received.size(), {});
    m_stored.assign(received.size(), {});
    std::uint32_t on_disk = 0;
    for (std::size_t p = 0; p < received.size(); ++p) {
        m_write_state[p].assign(received[p].size(), kNothing);
        m_stored[p].assign(received[p].size(), 0);
        for (std::size_t b = 0; b < received[p].size(); ++b) {
            if (received[p][b] == 1) {
                m_write_state[p][b] = kWritten;
                m_stored[p][b] = 1;
                ++on_disk;
            } else {
                m_received[p][b] = 0;
            }
        }
    }
    if (on_disk > 0)
        m_owner->QueueStorageCounter(m_channel_id, on_disk);
#if defined(VR_INVARIANTS)
    check_invariant();
#endif
    return true;
}

bool CChannelStorageManager::ValidBlock(std::int32_t piece, std::int32_t offset, std::uint32_t& block) const
{
    if (piece < 0 || std::size_t(piece) >= m_lengths.size() || offset < 0 || offset % std::int32_t(kBlockSize) != 0)
        return false;
    block = std::uint32_t(offset) / kBlockSize;
    return block < m_received[std::size_t(piece)].size();
}

bool CChannelStorageManager::WriteBlock(const BlockRequest& req)
{
    std::uint32_t block = 0;
    if (!req.data || !ValidBlock(req.piece, req.offset, block))
        return false;
    const std::uint32_t piece = std::uint32_t(req.piece);
    if (std::uint32_t(req.length) != BlockLength(m_lengths[piece], block) || req.length <= 0)
        return false;
    std::vector<std::uint8_t>& received = m_received[piece];
    if (received[block] != 0)
        return false;   // arrived twice
    if (m_write_state[piece][block] == kLent) {
        // Its bytes are being received into the cache: this copy waits
        // aside in case that receive gives up. It counts as received now,
        // or the picker would ask for the block again and again while a
        // slow loan lasts.
        std::vector<std::uint8_t>& copy = m_lent_copies[{piece, block}];
        if (!copy.empty())
            return false;
        copy.assign(req.data, req.data + req.length);
        store_byte(received[block], 1);
        STORE_INVARIANT(piece);
        return true;
    }
    store_byte(received[block], 1);
    WriteEntry& entry = FindOrAddWriteEntry(piece);
    std::memcpy(BlockBytes(entry, std::uint32_t(req.offset)), req.data, std::size_t(req.length));
    TakeBlock(entry, block);
    return true;
}

// The bytes of the block at `offset` in the entry, its unit made (from a
// kept buffer) if need be. A unit made past the write cache's byte bound
// has the fullest other entry written out.
std::uint8_t* CChannelStorageManager::BlockBytes(WriteEntry& entry, std::uint32_t offset)
{
    if (entry.buffer->Has(PieceBuffer::UnitOf(offset)))
        return entry.buffer->Make(offset);
    std::uint8_t* bytes = entry.buffer->Make(offset);
    const std::int32_t piece = entry.piece;
    if (WriteCacheBytes() > kMaxWriteCacheBytes && m_write_cache.size() > 1)
        EvictOne(piece, false);
    return bytes;
}

std::size_t CChannelStorageManager::WriteCacheBytes() const
{
    std::size_t bytes = 0;
    for (const auto& e : m_write_cache)
        bytes += e.second.buffer->HeldBytes();
    return bytes;
}

// The block's bytes are in the entry's buffer and it counts as received.
void CChannelStorageManager::TakeBlock(WriteEntry& entry, std::uint32_t block)
{
    const std::uint32_t piece = std::uint32_t(entry.piece);
    m_write_state[piece][block] = kCached;
    ExtendHash(entry);
    // Every block in: the piece goes to the file whole and is checked
    // there; nothing of it is left to gather, so its entry goes now.
    // A block whose copy waits aside for its loan to end counts as
    // received but is not in the entry yet.
    const std::vector<std::uint8_t>& received = m_received[piece];
    if (std::find(received.begin(), received.end(), 0) == received.end() && !HasLent(std::int32_t(piece))) {
        HandOff(m_write_cache.find(std::int32_t(piece)), true);
    } else if (entry.buffer->Length() > kStreamFrom) {
        // A whole unit of a big piece goes to the file at once, wherever
        // the hash is; its memory goes once hashed, or sooner (ShedAhead).
        const std::size_t unit = PieceBuffer::UnitOf(block * kBlockSize);
        if (UnitComplete(entry, unit)) {
            WriteUnit(entry, unit);
            ShedAhead(entry);
        }
        ReleaseUnits(entry);
    }
    STORE_INVARIANT(piece);
}

bool CChannelStorageManager::Ahead(const WriteEntry& entry, std::size_t unit) const
{
    return unit < entry.ahead.size() && entry.ahead[unit] != 0;
}

// Every block of the unit is cached or on its way to the file, at least
// one cached.
bool CChannelStorageManager::UnitComplete(const WriteEntry& entry, std::size_t unit) const
{
    const std::vector<std::uint8_t>& states = m_write_state[std::size_t(entry.piece)];
    const std::size_t first = entry.buffer->UnitStart(unit) / kBlockSize;
    const std::size_t end = std::min(states.size(),
                                     std::size_t(entry.buffer->UnitEnd(unit) + kBlockSize - 1) / kBlockSize);
    bool cached = false;
    for (std::size_t b = first; b < end; ++b) {
        if (states[b] == kCached)
            cached = true;
        else if (states[b] != kWriting && states[b] != kWritten)
            return false;
    }
    return cached;
}

// Every block of the unit is on its way to the file or in it.
bool CChannelStorageManager::UnitOnItsWay(const WriteEntry& entry, std::size_t unit) const
{
    const std::vector<std::uint8_t>& states = m_write_state[std::size_t(entry.piece)];
    const std::size_t first = entry.buffer->UnitStart(unit) / kBlockSize;
    const std::size_t end = std::min(states.size(),
                                     std::size_t(entry.buffer->UnitEnd(unit) + kBlockSize - 1) / kBlockSize);
    for (std::size_t b = first; b < end; ++b) {
        if (states[b] != kWriting && states[b] != kWritten)
            return false;
    }
    return true;
}

// Writes the cached blocks of one unit whose every block is in; the entry
// stays, and the unit's bytes stay valid for the hash while it holds them.
void CChannelStorageManager::WriteUnit(WriteEntry& entry, std::size_t unit)
{
    const std::uint32_t piece = std::uint32_t(entry.piece);
    const std::size_t first = entry.buffer->UnitStart(unit) / kBlockSize;
    const std::size_t end = std::min(m_write_state[piece].size(),
                                     std::size_t(entry.buffer->UnitEnd(unit) + kBlockSize - 1) / kBlockSize);
    // Only a unit whose every block is in this buffer is marked: blocks an
    // earlier entry wrote out are not, and must not be hashed from it.
    const auto& states = m_write_state[piece];
    const bool whole = std::all_of(states.begin() + std::ptrdiff_t(first), states.begin() + std::ptrdiff_t(end),
                                   [](std::uint8_t s) { return s == kCached; });
    auto job = NewJob(piece, entry, first, end);
    entry.ahead.resize(entry.buffer->Units(), 0);
    entry.ahead[unit] = whole ? 1 : 0;
    m_owner->SubmitWrite(shared_from_this(), job);
}

// Lets go of the leading units that are on their way to the file and
// hashed (the hash passes units in order).
void CChannelStorageManager::ReleaseUnits(WriteEntry& entry)
{
    while (entry.released < entry.buffer->Units() && UnitOnItsWay(entry, entry.released) &&
           entry.hash->Hashed() >= entry.buffer->UnitEnd(entry.released)) {
        FreeUnit(entry, entry.released);
        ++entry.released;
    }
}

// Lets go of a unit's bytes, unless a block of it is cached or being
// received into it: those bytes exist nowhere else (a unit made again
// would hold another unit's old bytes, and its write job none at all).
bool CChannelStorageManager::FreeUnit(WriteEntry& entry, std::size_t unit)
{
    if (HoldsGathered(entry, unit))
        return false;
    entry.buffer->Release(unit);
    return true;
}

bool CChannelStorageManager::HoldsGathered(const WriteEntry& entry, std::size_t unit) const
{
    const std::vector<std::uint8_t>& states = m_write_state[std::size_t(entry.piece)];
    const std::size_t first = entry.buffer->UnitStart(unit) / kBlockSize;
    const std::size_t end = std::min(states.size(),
                                     std::size_t(entry.buffer->UnitEnd(unit) + kBlockSize - 1) / kBlockSize);
    for (std::size_t b = first; b < end; ++b) {
        if (states[b] == kCached || states[b] == kLent)
            return true;
    }
    return false;
}

// While the cache holds more than kAheadBytes, lets go of the units
// written ahead that the hash has not been given yet (its ready mark is
// not past their start, so nothing reads them): the piece's last job reads
// them back.
void CChannelStorageManager::ShedAhead(WriteEntry& entry)
{
    const std::uint32_t ready = entry.hash->Ready();
    for (std::size_t u = entry.buffer->Units(); u-- > 0 && WriteCacheBytes() > kAheadBytes;) {
        if (!Ahead(entry, u) || !entry.buffer->Has(u) || entry.buffer->UnitStart(u) < ready)
            continue;
        FreeUnit(entry, u);
    }
}

// Whether the digest can be finished from the ready mark on: each unit
// from there is written whole by this entry (in memory or read back) or
// has every block from the mark on cached.
bool CChannelStorageManager::ReloadPlan(const WriteEntry& entry) const
{
    const std::vector<std::uint8_t>& states = m_write_state[std::size_t(entry.piece)];
    const std::uint32_t ready = entry.hash->Ready();
    for (std::size_t u = PieceBuffer::UnitOf(ready); u < entry.buffer->Units(); ++u) {
        if (Ahead(entry, u))
            continue;
        const std::size_t end = std::min(states.size(),
                                         std::size_t(entry.buffer->UnitEnd(u) + kBlockSize - 1) / kBlockSize);
        for (std::size_t b = std::max<std::size_t>(ready / kBlockSize, entry.buffer->UnitStart(u) / kBlockSize);
             b < end; ++b) {
            if (states[b] != kCached)
                return false;
        }
    }
    return true;
}

// A job for the cached blocks in [first_block, end_block) of the entry, in
// runs that each stay within one unit; the blocks are being written now.
std::shared_ptr<WriteJob> CChannelStorageManager::NewJob(std::uint32_t piece, const WriteEntry& entry,
                                                         std::size_t first_block, std::size_t end_block)
{
    auto job = std::make_shared<WriteJob>();
    job->channel_id = m_channel_id;
    job->piece = piece;
    std::shared_ptr<std::atomic<bool>>& refused = m_refusals[piece];
    if (!refused)
        refused = std::make_shared<std::atomic<bool>>(false);
    job->refused = refused;
    std::vector<std::uint8_t>& states = m_write_state[piece];
    const std::uint32_t length = m_lengths[piece];
    for (std::size_t b = first_block; b < end_block;) {
        if (states[b] != kCached) {
            ++b;
            continue;
        }
        StorageRun run;
        run.first_block = std::uint32_t(b);
        run.offset = std::uint32_t(b) * kBlockSize;
        const std::size_t unit = PieceBuffer::UnitOf(run.offset);
        run.unit = entry.buffer->Share(unit);
        run.data = run.unit->data() + (run.offset - entry.buffer->UnitStart(unit));
        for (; b < end_block && states[b] == kCached && PieceBuffer::UnitOf(std::uint32_t(b) * kBlockSize) == unit;
             ++b) {
            states[b] = kWriting;
            ++run.blocks;
            run.length += BlockLength(length, std::uint32_t(b));
        }
        job->runs.push_back(std::move(run));
    }
    return job;
}

bool CChannelStorageManager::HasLent(std::int32_t piece) const
{
    const std::vector<std::uint8_t>& states = m_write_state[std::size_t(piece)];
    return std::find(states.begin(), states.end(), kLent) != states.end();
}

bool CChannelStorageManager::Lend(std::int32_t piece, std::int32_t offset, std::uint32_t count, BlockLease& lease)
{
    std::uint32_t first = 0;
    if (count == 0 || !ValidBlock(piece, offset, first))
        return false;
    const std::uint32_t p = std::uint32_t(piece);
    const std::vector<std::uint8_t>& received = m_received[p];
    std::vector<std::uint8_t>& states = m_write_state[p];
    std::uint32_t n = 0;
    // A loan stays within one unit of the entry's buffer.
    const std::size_t unit_end = (PieceBuffer::UnitOf(first * kBlockSize) + 1) * (PieceBuffer::kUnit / kBlockSize);
    while (n < count && first + n < received.size() && first + n < unit_end && received[first + n] == 0 &&
           states[first + n] == kNothing)
        ++n;
    if (n == 0)
        return false;
    if (!m_write_cache.count(piece) && m_write_cache.size() >= m_cache_limit &&
        std::all_of(m_write_cache.begin(), m_write_cache.end(),
                    [this](const WriteCache::value_type& e) { return HasLent(e.first); }))
        return false;   // no room: the copy path makes it
    WriteEntry& entry = FindOrAddWriteEntry(p);
    lease.piece = p;
    lease.first_block = first;
    lease.blocks = n;
    lease.bytes = 0;
    for (std::uint32_t b = first; b < first + n; ++b) {
        states[b] = kLent;
        lease.bytes += BlockLength(m_lengths[p], b);
    }
    lease.resets = entry.resets;
    lease.data = BlockBytes(entry, std::uint32_t(offset));
    STORE_INVARIANT(p);
    return true;
}

bool CChannelStorageManager::CommitLent(std::uint32_t piece, std::uint32_t block, std::uint32_t resets)
{
    if (piece >= m_write_state.size() || block >= m_write_state[piece].size() || m_write_state[piece][block] != kLent)
        return false;
    m_lent_copies.erase({piece, block});
    auto it = m_write_cache.find(std::int32_t(piece));
    if (it == m_write_cache.end() || it->second.resets != resets) {
        // Reset since it was lent: fetched again like every block of it.
        m_write_state[piece][block] = kNothing;
        STORE_INVARIANT(piece);
        return false;
    }
    store_byte(m_received[piece][block], 1);
    TakeBlock(it->second, block);
    return true;
}

void CChannelStorageManager::EndLoan(std::uint32_t piece, std::uint32_t first_block, std::uint32_t blocks)
{
    if (piece >= m_write_state.size())
        return;
    std::vector<std::uint8_t>& states = m_write_state[piece];
    for (std::uint32_t b = first_block; b < first_block + blocks && b < states.size(); ++b) {
        if (states[b] != kLent)
            continue;
        states[b] = kNothing;
        // A copy that came meanwhile is the block now (nothing receives
        // into its place any more).
        auto copy = m_lent_copies.find({piece, b});
        if (copy == m_lent_copies.end())
            continue;
        std::vector<std::uint8_t> bytes = std::move(copy->second);
        m_lent_copies.erase(copy);
        auto entry = m_write_cache.find(std::int32_t(piece));
        if (entry == m_write_cache.end())
            continue;
        std::memcpy(BlockBytes(entry->second, b * kBlockSize), bytes.data(), bytes.size());
        store_byte(m_received[piece][b], 1);
        TakeBlock(entry->second, b);
    }
    STORE_INVARIANT(piece);
}

CChannelStorageManager::WriteEntry& CChannelStorageManager::FindOrAddWriteEntry(std::uint32_t piece)
{
    auto it = m_write_cache.find(std::int32_t(piece));
    if (it != m_write_cache.end())
        return it->second;
    if (m_write_cache.size() >= m_cache_limit)
        EvictOne(-1, true);
    WriteEntry& added = m_write_cache[std::int32_t(piece)];
    added.piece = std::int32_t(piece);
    added.buffer = std::make_shared<PieceBuffer>(m_lengths[piece]);
    auto parked = m_parked.find(std::int32_t(piece));
    if (parked != m_parked.end()) {
        added.hash = std::move(parked->second);
        added.hash->Attach(added.buffer);
        m_parked.erase(parked);
    } else {
        added.hash = std::make_shared<PieceHash>(added.buffer);
    }
    return added;
}

// Moves the entry's ready mark over the blocks whose bytes are in its
// buffer and that now follow it without a gap (cached, or in a unit written
// whole and still held), and lets the hash workers hash them. Blocks
// written out before the entry was made are not in its buffer: such a
// piece is read back when it completes.
void CChannelStorageManager::ExtendHash(WriteEntry& entry)
{
    const std::uint32_t piece = std::uint32_t(entry.piece);
    const std::uint32_t start = entry.hash->Ready();
    std::uint32_t ready = start;
    const std::vector<std::uint8_t>& states = m_write_state[piece];
    // A big piece's hash is given at most kAheadBytes more than it has
    // hashed: what lies beyond can still be let go while the hash is slow.
    const std::uint64_t limit = entry.buffer->Length() > kStreamFrom ? std::uint64_t(entry.hash->Hashed()) + kAheadBytes
                                                                     : std::uint64_t(UINT32_MAX);
    for (std::size_t b = ready / kBlockSize; b < states.size() && ready == b * kBlockSize && ready < limit; ++b) {
        const std::size_t unit = PieceBuffer::UnitOf(std::uint32_t(b) * kBlockSize);
        const bool held = states[b] == kCached || ((states[b] == kWriting || states[b] == kWritten) &&
                                                   Ahead(entry, unit) && entry.buffer->Has(unit));
        if (!held)
            break;
        ready += BlockLength(m_lengths[piece], std::uint32_t(b));
    }
    if (ready == start)
        return;
    entry.hash->SetReady(ready);
    // Complete: its writer comes next, and takes it along with the other
    // whole pieces waiting.
    if (ready == m_lengths[piece])
        m_owner->QueueWholeHash(entry.hash);
    else
        m_owner->PostHash(entry.hash);
}

// Frees an entry that has nothing left to write.
void CChannelStorageManager::DropEntry(WriteCache::iterator it)
{
    if (it == m_write_cache.end())
        return;
    it->second.hash->Detach();
    PieceBuffer& buffer = *it->second.buffer;
    for (std::size_t u = 0; u < buffer.Units(); ++u) {
        VR_INVARIANT(!HoldsGathered(it->second, u));
        buffer.Release(u);
    }
    m_write_cache.erase(it);
}

// Makes room for one more piece (or unit), never taking `keep`'s entry. An
// entry with nothing left to write (its blocks were refused by the file)
// goes first; otherwise the entry with the most cached blocks is written
// out, and checked when all its blocks are in. `grow`: the cache may then
// hold one more entry.
void CChannelStorageManager::EvictOne(std::int32_t keep, bool grow)
{
    auto victim = m_write_cache.end();
    std::size_t most = 0;
    for (auto it = m_write_cache.begin(); it != m_write_cache.end(); ++it) {
        // Blocks are being received into it: it stays.
        if (it->first == keep || HasLent(it->first))
            continue;
        const auto& states = m_write_state[std::size_t(it->first)];
        const std::size_t cached = std::size_t(std::count(states.begin(), states.end(), kCached));
        if (cached == 0) {
            victim = it;
            most = 0;
            break;
        }
        if (victim == m_write_cache.end() || cached > most) {
            victim = it;
            most = cached;
        }
    }
    if (victim == m_write_cache.end())
        return;
    if (most == 0) {
        DropEntry(victim);
        return;
    }
    const bool complete = most == m_write_state[std::size_t(victim->first)].size();
    HandOff(victim, complete);
    // A piece written out in part costs a write per fragment and a read
    // back for its check: more pieces are being filled at once than the
    // cache holds, so it takes one more.
    if (grow && !complete && m_cache_limit < m_cache_bound)
        ++m_cache_limit;
}

// Takes the entry out of the cache and gives its runs of consecutive
// cached blocks to the storage worker. The piece is checked after the last
// run when a check was asked for and every other block of the piece is
// then written or on its way (the worker writes in order).
void CChannelStorageManager::HandOff(WriteCache::iterator it, bool verify)
{
    const std::uint32_t piece = std::uint32_t(it->first);
    std::vector<std::uint8_t>& states = m_write_state[piece];
    const std::uint32_t length = m_lengths[piece];
    const bool reload = verify && length > kStreamFrom && it->second.hash->Ready() < length && ReloadPlan(it->second);
    auto job = NewJob(piece, it->second, 0, states.size());
    // The hash keeps the piece's buffer (and the units it has not passed)
    // until the worker finishes, parks or detaches it.
    job->hash = std::move(it->second.hash);
    std::shared_ptr<PieceBuffer> units = std::move(it->second.buffer);
    m_write_cache.erase(it);

    job->check = verify && !job->runs.empty() && std::all_of(states.begin(), states.end(), [](std::uint8_t s) {
                     return s == kWriting || s == kWritten;
                 });
    const std::uint32_t ready = job->hash->Ready();
    job->whole_hashed = job->check && ready == length;
    if (job->check && reload) {
        job->whole_hashed = true;
        job->reload = true;
        job->units = std::move(units);
    }
    // What was hashed of a piece going on later saves reading it back,
    // unless it fails its check: then the file's bytes are not these.
    job->park = !job->check && ready > 0 && ready < length;
    m_owner->SubmitWrite(shared_from_this(), job);
}

void CChannelStorageManager::CompleteWrite(WriteJob& job)
{
    const std::uint32_t piece = job.piece;
    if (piece >= m_write_state.size())
        return;
    std::vector<std::uint8_t>& states = m_write_state[piece];
    bool intact = true;   // no reset of the piece came in between
    auto entry = m_write_cache.find(std::int32_t(piece));
    for (const StorageRun& run : job.runs) {
        std::uint32_t moved = 0;
        for (std::uint32_t b = run.first_block; b < run.first_block + run.blocks && b < states.size(); ++b) {
            if (states[b] != kWriting) {
                intact = false;
                continue;
            }
            ++moved;
            if (run.written) {
                states[b] = kWritten;
                m_stored[piece][b] = 1;
            } else {
                // The file did not take the run (a full disk, say): the
                // blocks are not ours after all and will be fetched again;
                // the peers that sent them did nothing wrong.
                states[b] = kNothing;
                store_byte(m_received[piece][b], 0);
            }
        }
        if (run.written) {
            if (moved > 0)
                m_owner->QueueStorageCounter(m_channel_id, moved);
            continue;
        }
        intact = false;
        // Jobs posted from now on follow the blocks fetched again.
        m_refusals.erase(piece);
        // The unit is not in the file after all: its blocks come again
        // into the buffer, and its bytes there must stay until written.
        if (entry != m_write_cache.end() && PieceBuffer::UnitOf(run.offset) < entry->second.ahead.size())
            entry->second.ahead[PieceBuffer::UnitOf(run.offset)] = 0;
        m_owner->QueueStorageError(m_channel_id, "writing " + std::to_string(run.length) + " bytes of piece " +
                                                     std::to_string(piece) + " to its file failed" +
                                                     (job.error.empty() ? std::string() : " (" + job.error + ")"));
    }
    // A digest over blocks refused meanwhile is not what the file will hold.
    const bool refused = job.refused && job.refused->load();
    if (job.park && intact && !refused && job.result < 0 && entry == m_write_cache.end() &&
        m_parked.size() < kParkedHashes)
        m_parked[std::int32_t(piece)] = job.hash;
    for (StorageRun& run : job.runs)
        run.unit.reset();
    if (std::find(states.begin(), states.end(), kWriting) == states.end())
        m_refusals.erase(piece);
    if (entry != m_write_cache.end()) {
        ReleaseUnits(entry->second);
        ShedAhead(entry->second);
    }
    STORE_INVARIANT(piece);
}

// A kept buffer is handed out with its old bytes: every user overwrites
// what it then reads (a write entry only writes out the blocks it cached,
// a read job serves its piece or span only once all of it was read).
// Only buffers of at most a unit are kept: a span's or a big piece's read
// buffer is not worth its memory.
void CChannelStorageManager::ReleaseBuffer(std::vector<std::uint8_t>&& buffer)
{
    if (m_spare.size() < kSpareBuffers && buffer.capacity() <= PieceBuffer::kUnit)
        m_spare.push_back(std::move(buffer));
}

std::vector<std::uint8_t> CChannelStorageManager::TakeSpare()
{
    std::vector<std::uint8_t> out;
    if (!m_spare.empty()) {
        out = std::move(m_spare.back());
        m_spare.pop_back();
    }
    return out;
}

void CChannelStorageManager::SetPiece(std::uint32_t piece, std::uint8_t result)
{
    if (piece >= m_bitmap.size())
        return;
    if (result == 1) {
        if (m_bitmap[piece] == 0)
            ++m_verified;
        store_byte(m_bitmap[piece], 1);
        // A complete channel only uploads: the buffers kept for gathering
        // pieces are no longer needed (its reads keep their own once it
        // serves).
        if (m_verified == m_bitmap.size()) {
            std::vector<std::vector<std::uint8_t>>().swap(m_spare);
            PieceUnit::ReleaseKept();
        }
    } else {
        if (m_bitmap[piece] != 0)
            --m_verified;
        store_byte(m_bitmap[piece], 0);
        for (std::size_t b = 0; b < m_received[piece].size(); ++b) {
            store_byte(m_received[piece][b], 0);
            // A lent block stays lent until its loan ends; its commit then
            // finds the piece reset and drops it.
            if (m_write_state[piece][b] != kLent)
                m_write_state[piece][b] = kNothing;
            m_stored[piece][b] = 0;
        }
        // Blocks gathered again overwrite the entry's buffer: its digest
        // starts over.
        m_parked.erase(std::int32_t(piece));
        m_lent_copies.erase(m_lent_copies.lower_bound({piece, 0}), m_lent_copies.lower_bound({piece + 1, 0}));
        auto entry = m_write_cache.find(std::int32_t(piece));
        if (entry != m_write_cache.end()) {
            ++entry->second.resets;
            entry->second.hash->Detach();
            entry->second.hash = std::make_shared<PieceHash>(entry->second.buffer);
            entry->second.released = 0;
            entry->second.ahead.clear();
        }
        // What was read for upload is no longer what the piece will hold.
        const auto first = m_read_cache.lower_bound({std::int32_t(piece), 0});
        const auto last = m_read_cache.lower_bound({std::int32_t(piece) + 1, 0});
        for (auto it = first; it != last; ++it)
            ReleaseBuffer(std::move(it->second.buffer));
        m_read_cache.erase(first, last);
    }
    STORE_INVARIANT(piece);
}

bool CChannelStorageManager::Servable(const BlockRequest& req) const
{
    if (!req.data || req.piece < 0 || std::size_t(req.piece) >= m_lengths.size() || req.offset < 0 || req.length <= 0)
        return false;
    const std::uint32_t piece = std::uint32_t(req.piece);
    if (std::uint64_t(req.offset) + std::uint64_t(req.length) > m_lengths[piece])
        return false;
    // Only verified pieces are served: anything else may still be in the
    // write cache or may fail its check.
    return m_bitmap[piece] == 1;
}

bool ReadJob::Run(IChannelManager& channels)
{
    // Either opens a file the task closed again, for the blocks the I/O
    // thread copies from memory later.
    read = whole ? channels.ReadPiece(channel_id, entry)
                 : channels.ReadPieceRange(channel_id, entry.piece, offset, entry.buffer.data(), entry.length);
    return read;
}

// What is read to serve `req`: the spans of kReadSpan bytes from the
// piece's start that hold it (one for any block a peer asks for), which is
// the whole piece when the piece is no longer than a span.
CChannelStorageManager::SpanKey CChannelStorageManager::SpanFor(const BlockRequest& req, std::uint32_t& length) const
{
    const std::uint32_t piece_length = m_lengths[std::size_t(req.piece)];
    const std::uint32_t first = std::uint32_t(req.offset) / kReadSpan * kReadSpan;
    const std::uint64_t end = std::uint64_t(req.offset) + std::uint64_t(req.length);
    const std::uint64_t span_end = (end + kReadSpan - 1) / kReadSpan * kReadSpan;
    length = std::uint32_t(std::min<std::uint64_t>(span_end, piece_length) - first);
    return {req.piece, first};
}

// The span a requester going through the channel in order asks for after
// `key`: the next one of its piece, else the next piece's first. False
// past the last piece.
bool CChannelStorageManager::NextSpan(SpanKey& key, std::uint32_t& length) const
{
    if (key.first < 0 || std::size_t(key.first) >= m_lengths.size())
        return false;
    if (std::uint64_t(key.second) + kReadSpan < m_lengths[std::size_t(key.first)])
        key.second += kReadSpan;
    else
        key = {key.first + 1, 0};
    if (std::size_t(key.first) >= m_lengths.size())
        return false;
    length = std::min(kReadSpan, m_lengths[std::size_t(key.first)] - key.second);
    return true;
}

// The read cache entry at `key` when it holds all of `req`.
CChannelStorageManager::ReadCache::const_iterator CChannelStorageManager::CachedSpan(SpanKey key,
                                                                                     const BlockRequest& req) const
{
    auto it = m_read_cache.find(key);
    if (it != m_read_cache.end() &&
        std::uint64_t(key.second) + it->second.length < std::uint64_t(req.offset) + std::uint64_t(req.length))
        return m_read_cache.end();
    return it;
}

void CChannelStorageManager::PrepareRead(ReadJob& job, SpanKey key, std::uint32_t length) const
{
    job.channel_id = m_channel_id;
    job.offset = key.second;
    job.whole = key.second == 0 && length == m_lengths[std::size_t(key.first)];
    job.entry.piece = key.first;
    job.entry.length = length;
}

// A reused buffer keeps its bytes (resize clears only what it adds).
void CChannelStorageManager::TakeReadBuffer(ReadJob& job)
{
    job.entry.buffer = TakeSpare();
    job.entry.buffer.resize(job.entry.length);
}

// The lowest span leaves a full read cache first; one read again longer
// (a request crossing its end) takes the place of the shorter.
void CChannelStorageManager::CacheSpan(SpanKey key, PieceCacheEntry&& entry)
{
    auto same = m_read_cache.find(key);
    if (same != m_read_cache.end()) {
        ReleaseBuffer(std::move(same->second.buffer));
        m_read_cache.erase(same);
    } else if (m_read_cache.size() >= kReadCacheEntries) {
        ReleaseBuffer(std::move(m_read_cache.begin()->second.buffer));
        m_read_cache.erase(m_read_cache.begin());
    }
    m_read_cache.emplace(key, std::move(entry));
}

void CChannelStorageManager::CopyBlock(const PieceCacheEntry& entry, std::uint32_t offset, BlockRequest& req)
{
    std::memcpy(req.data, entry.buffer.data() + (std::uint32_t(req.offset) - offset), std::size_t(req.length));
    DebugLog::WriteData(3, req.data, std::uint32_t(req.length), "send piece %d offset %d", req.piece, req.offset);
}

bool CChannelStorageManager::ReadBlock(BlockRequest& req)
{
    if (!Servable(req))
        return false;
    std::uint32_t length = 0;
    const SpanKey key = SpanFor(req, length);
    auto it = CachedSpan(key, req);
    if (it == m_read_cache.end()) {
        ReadJob job;
        PrepareRead(job, key, length);
        TakeReadBuffer(job);
        if (!job.Run(*m_owner->Channels())) {
            ReleaseBuffer(std::move(job.entry.buffer));
            return false;
        }
        CacheSpan(key, std::move(job.entry));
        it = m_read_cache.find(key);
    }
    CopyBlock(it->second, key.second, req);
    return true;
}

BlockRead CChannelStorageManager::ReadBlock(BlockRequest& req, PieceReadHandler& ready, BlockFile* file)
{
    if (!Servable(req))
        return BlockRead::kRefused;
    std::uint32_t length = 0;
    const SpanKey key = SpanFor(req, length);
    // Sent from the file, the bytes are not copied on this thread at all.
    if (file && m_owner->Channels()->CachedBlockFile(m_channel_id, req.piece, std::uint32_t(req.offset),
                                                     std::uint32_t(req.length), *file)) {
        ReadAhead(key);
        return BlockRead::kServed;
    }
    auto cached = CachedSpan(key, req);
    if (cached != m_read_cache.end()) {
        CopyBlock(cached->second, key.second, req);
        ReadAhead(key);
        return BlockRead::kServed;
    }
    // A block the system still holds in memory is copied at once: the
    // worker's two hand-offs and the whole piece's read would keep the
    // requester waiting many times longer than this copy takes.
    if (m_owner->Channels()->ReadCachedBlock(m_channel_id, req.piece, std::uint32_t(req.offset), req.data,
                                             std::uint32_t(req.length))) {
        DebugLog::WriteData(3, req.data, std::uint32_t(req.length), "send piece %d offset %d", req.piece, req.offset);
        ReadAhead(key);
        return BlockRead::kServed;
    }
    // A request joins the read under way of its span (asking again once it
    // is back, should that read be too short for it).
    std::shared_ptr<ReadJob>& job = m_reads[key];
    if (!job) {
        job = std::make_shared<ReadJob>();
        PrepareRead(*job, key, length);
        if (m_reads_started < kMaxReads)
            StartRead(job);
        else
            m_read_queue.push_back(job);
    }
    job->waiting.push_back(std::move(ready));
    ReadAhead(key);
    return BlockRead::kPending;
}

// A requester that moves on from a piece (or span) to the one after it is
// taken to read in order: the one after it is read while this one is
// served, so its first request finds it at hand instead of waiting for
// the disk. Only a verified piece is read ahead, only with a read free
// (a request never waits behind one) and never when the span served is
// the one a full read cache would let go for it.
void CChannelStorageManager::ReadAhead(SpanKey key)
{
    if (key == m_last_asked)
        return;
    SpanKey next = m_last_asked;
    std::uint32_t length = 0;
    const bool in_order = NextSpan(next, length) && next == key;
    m_last_asked = key;
    next = key;
    if (!in_order || !NextSpan(next, length) || m_bitmap[std::size_t(next.first)] != 1 ||
        m_reads_started >= kMaxReads || m_read_cache.count(next) || m_reads.count(next))
        return;
    if (m_read_cache.size() >= kReadCacheEntries && m_read_cache.begin()->first == key)
        return;
    auto job = std::make_shared<ReadJob>();
    PrepareRead(*job, next, length);
    m_reads[next] = job;
    StartRead(job);
}

// The buffer is taken only now: reads waiting their turn hold none.
void CChannelStorageManager::StartRead(const std::shared_ptr<ReadJob>& job)
{
    TakeReadBuffer(*job);
    ++m_reads_started;
    m_owner->SubmitRead(shared_from_this(), job);
}

void CChannelStorageManager::CompleteRead(ReadJob& job, bool more)
{
    const SpanKey key{job.entry.piece, job.offset};
    auto it = m_reads.find(key);
    if (it != m_reads.end() && it->second.get() == &job)
        m_reads.erase(it);
    if (m_reads_started > 0)
        --m_reads_started;
    // A piece reset while it was read no longer holds these bytes.
    auto cached = m_read_cache.find(key);
    const std::size_t piece = std::size_t(key.first);
    if (job.read && piece < m_bitmap.size() && m_bitmap[piece] == 1 &&
        (cached == m_read_cache.end() || cached->second.length < job.entry.length))
        CacheSpan(key, std::move(job.entry));
    else
        ReleaseBuffer(std::move(job.entry.buffer));
    while (more && m_reads_started < kMaxReads && !m_read_queue.empty()) {
        std::shared_ptr<ReadJob> next = std::move(m_read_queue.front());
        m_read_queue.pop_front();
        StartRead(next);
    }
}

std::vector<std::shared_ptr<ReadJob>> CChannelStorageManager::TakeWaitingReads()
{
    std::vector<std::shared_ptr<ReadJob>> out(m_read_queue.begin(), m_read_queue.end());
    m_read_queue.clear();
    for (const auto& job : out)
        m_reads.erase({job->entry.piece, job->offset});
    return out;
}

std::vector<std::int32_t> CChannelStorageManager::WriteCachePieces() const
{
    std::vector<std::int32_t> out;
    for (const auto& e : m_write_cache)
        out.push_back(e.first);
    return out;
}

std::vector<std::int32_t> CChannelStorageManager::ReadCachePieces() const
{
    std::vector<std::int32_t> out;
    for (const auto& e : m_read_cache)
        out.push_back(e.first.first);
    return out;
}

std::size_t CChannelStorageManager::BuffersHeld() const
{
    return m_write_cache.size() + m_read_cache.size() + m_reads_started + m_spare.size();
}

std::size_t CChannelStorageManager::BytesHeld() const
{
    std::size_t bytes = WriteCacheBytes();
    for (const auto& e : m_read_cache)
        bytes += e.second.buffer.capacity();
    for (const auto& b : m_spare)
        bytes += b.capacity();
    return bytes;
}

void CChannelStorageManager::CheckPiece(std::size_t p) const
{
    VR_INVARIANT(m_write_cache.size() <= kMaxWriteCacheEntries && m_read_cache.size() <= kReadCacheEntries);
    VR_INVARIANT(m_reads_started <= kMaxReads && m_reads.size() == m_reads_started + m_read_queue.size());
    const auto cached = m_write_cache.find(std::int32_t(p));
    const WriteEntry* entry = cached == m_write_cache.end() ? nullptr : &cached->second;
    (void)entry;
    for (std::size_t b = 0; b < m_received[p].size(); ++b) {
        // A block is cached, being written or written only once received,
        // and stored exactly when written.
        VR_INVARIANT(m_write_state[p][b] == kNothing || m_write_state[p][b] == kLent || m_received[p][b] == 1);
        VR_INVARIANT(m_write_state[p][b] != kLent ||
                     ((m_received[p][b] == 1) == (m_lent_copies.count({std::uint32_t(p), std::uint32_t(b)}) == 1) &&
                      m_write_cache.count(std::int32_t(p))));
        VR_INVARIANT((m_write_state[p][b] == kWritten) == (m_stored[p][b] == 1));
        // A cached or lent block's bytes are in a unit its entry holds.
        VR_INVARIANT((m_write_state[p][b] != kCached && m_write_state[p][b] != kLent) || !entry ||
                     entry->buffer->Has(PieceBuffer::UnitOf(std::uint32_t(b) * kBlockSize)));
        (void)b;
    }
    VR_INVARIANT(m_bitmap[p] == 0 || m_received[p].end() == std::find(m_received[p].begin(), m_received[p].end(), 0));
    (void)p;
}

void CChannelStorageManager::check_invariant() const
{
    VR_INVARIANT(m_bitmap.size() == m_lengths.size() && m_received.size() == m_lengths.size() &&
                 m_write_state.size() == m_lengths.size() && m_stored.size() == m_lengths.size());
    for (std::size_t p = 0; p < m_lengths.size(); ++p)
        CheckPiece(p);
}
