// CChannelStorageManager: the piece store of one channel. Per piece its
// verified byte and length, per block its received, write and stored state,
// a write cache of pieces being assembled (7 at first, growing each time a
// piece still being filled has to be written out in part, so that it holds
// as many pieces as the task's connections fill at once, within a memory
// bound)
// and a read cache of at most 3 pieces read back for upload (of a piece
// longer than kReadSpan, the span of it that holds the blocks asked for).
// Not locked itself: the storage manager's lock guards every store.
//
// A piece being assembled is held in units of at most 256 KiB
// (PieceBuffer), so that memory goes with the bytes received, not with the
// piece size: a unit of a piece longer than kStreamFrom goes to the file as
// soon as every block of it is in, and is let go once it is there and
// hashed, or at once when the hash has not reached it and the cache holds
// more than kAheadBytes (the piece's last job then reads it back from the
// file, most likely still in memory there, to finish the digest). A unit
// holding a block not on its way to the file is never let go, and one
// whose write the file refused counts as not written. The units the write
// cache holds stay within kMaxWriteCacheBytes.
//
// A piece missing from the read cache is read for upload by the storage
// worker (a ReadJob, at most kMaxReads of a channel at once); the requests
// that wait for it are answered when it comes back through CompleteRead.
// A piece longer than kReadSpan is read a span at a time, so that a peer
// asking for one block of the largest pieces costs a span, not the whole
// piece, and the read cache and the reads hold kMaxReadBytes at most
// whatever the piece size. A requester going through the pieces (or the
// spans of a piece) in order has the next one read ahead while a read is
// free. Read jobs take their buffers from the few the store keeps for
// reuse.
//
// A piece leaves the write cache whole when its last block is in, or in
// part when evicted: its buffer and runs become a WriteJob that the storage
// worker writes (and checks), completing back through CompleteWrite.
#pragma once

#include "picker/block_request.h"
#include "engine/i_channel_manager.h"
#include "engine/piece_buffer.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CStorageManager;
class PieceHash;

// Consecutive blocks of a piece written with one call.
struct StorageRun {
    std::uint32_t first_block = 0;
    std::uint32_t blocks = 0;
    std::uint32_t offset = 0;   // in the piece
    std::uint32_t length = 0;
    std::shared_ptr<PieceBuffer::Unit> unit;   // holds the bytes until the run is done
    const std::uint8_t* data = nullptr;        // the run's first byte in `unit`
    bool written = false;                      // set by the worker
};

// One write-cache entry, or one finished unit of it, on its way to the
// file. The runs hold their units until the job completes; the worker
// finishes or parks the piece's digest (none for a unit: the entry keeps
// it), writes the runs and checks the piece after the last one when asked.
struct WriteJob {
    std::uint64_t channel_id = 0;
    std::uint32_t piece = 0;
    std::vector<StorageRun> runs;
    std::shared_ptr<PieceHash> hash;   // null for a unit written ahead
    bool check = false;                // the piece is checked after the last run
    bool whole_hashed = false;         // the digest covers the whole buffer
    // The units the hash has not passed that are not in memory are read
    // back from the file (written before by this piece's earlier jobs) to
    // finish the digest; `units` is the piece's buffer, the job's alone now.
    bool reload = false;
    std::shared_ptr<PieceBuffer> units;
    bool park = false;   // keep the digest of the leading blocks
    // Set by the worker when a run of the piece is refused; shared by the
    // piece's jobs posted until the refusal is taken back. A check after
    // it would count blocks that never reached the file: none is made.
    std::shared_ptr<std::atomic<bool>> refused;
    int result = -1;     // the check's result, -1 when none was made
    std::string error;   // why a run was refused, when one was
};

// A piece, or a span of one, read from its file for upload. The job owns
// its buffer until it completes; the handlers of the requests that wait
// for it run then, in the order they asked.
struct ReadJob {
    std::uint64_t channel_id = 0;
    std::uint32_t offset = 0;                // of the entry's first byte in the piece
    bool whole = true;                       // the entry is the whole piece
    PieceCacheEntry entry;                   // entry.length bytes from `offset` on
    bool read = false;                       // set by the worker
    std::vector<PieceReadHandler> waiting;   // under the storage lock

    // Any thread: reads the entry's bytes from the channel's files; sets
    // and returns `read`.
    bool Run(IChannelManager& channels);
};

// Consecutive blocks of one piece lent out for a receive straight into
// the write cache (CChannelStorageManager::Lend).
struct BlockLease {
    std::uint32_t piece = 0;
    std::uint32_t first_block = 0;
    std::uint32_t blocks = 0;
    std::uint32_t bytes = 0;
    std::uint32_t resets = 0;       // the entry's reset count when lent
    std::uint8_t* data = nullptr;   // the first block's bytes in the entry's buffer
};

class CChannelStorageManager : public std::enable_shared_from_this<CChannelStorageManager> {
public:
    // Write state of a block (kWriting: handed to the worker, not yet in
    // the file; kLent: its bytes are being received straight into the
    // entry's buffer, not received yet).
    enum : std::uint8_t { kNothing = 0, kCached = 1, kWritten = 2, kWriting = 3, kLent = 4 };

    static constexpr std::size_t kWriteCacheEntries = 7;
    // The cache grows to at most this many entries and about this many
    // bytes (never below kWriteCacheEntries).
    static constexpr std::size_t kMaxWriteCacheEntries = 64;
    static constexpr std::size_t kMaxWriteCacheBytes = std::size_t(32) << 20;
    // Past this many bytes in the cache, units written ahead of their hash
    // are let go (read back at the piece's end).
    static constexpr std::size_t kAheadBytes = std::size_t(4) << 20;
    // Pieces longer than this go to the file a unit at a time; shorter ones
    // whole (the cache then holds fewer of them, within
    // kMaxWriteCacheBytes).
    static constexpr std::uint32_t kStreamFrom = 4u << 20;
    static constexpr std::size_t kReadCacheEntries = 3;
    // Pieces (or spans) of the channel read for upload at once; further
    // reads wait their turn without a buffer.
    static constexpr std::size_t kMaxReads = 4;
    // Pieces longer than this are read for upload a span of this many
    // bytes at a time (from the piece's start on); shorter ones whole.
    static constexpr std::uint32_t kReadSpan = 4 * PieceBuffer::kUnit;
    // Bytes the read cache and the reads under way may hold (a request
    // that crosses a span's end, which no peer makes, reads both spans).
    static constexpr std::size_t kMaxReadBytes = std::size_t(16) << 20;
    static_assert((kReadCacheEntries + kMaxReads) * kReadSpan <= kMaxReadBytes, "reads for upload within their bound");
    // Evicted pieces whose leading digest is kept for when they go on.
    static constexpr std::size_t kParkedHashes = 64;

    CChannelStorageManager(std::uint64_t channel_id, CStorageManager* owner);
    ~CChannelStorageManager();
    CChannelStorageManager(const CChannelStorageManager&) = delete;
    CChannelStorageManager& operator=(const CChannelStorageManager&) = delete;

    // Takes over the tables of a prepared channel; false when their shapes
    // disagree. Every block already received counts as written.
    bool SaveBitmap(const std::vector<std::uint8_t>& bitmap, const std::vector<std::vector<std::uint8_t>>& received,
                    const std::vector<std::uint32_t>& piece_lengths);

    // Stores one received block; false when it is dropped. A copy of a
    // lent block is kept aside (true) and stored if the loan gives the
    // block up, so that whoever sent it need not send it again.
    bool WriteBlock(const BlockRequest& req);
    // Lends up to `count` blocks of `piece` from `offset` on: those from
    // the first on that are missing and in no other state; their entry
    // stays (not evicted, written or freed) while any is lent. False when
    // none is lent.
    bool Lend(std::int32_t piece, std::int32_t offset, std::uint32_t count, BlockLease& lease);
    // A lent block is in: stored as WriteBlock stores a copy, unless the
    // piece was reset since it was lent (false: missing again).
    bool CommitLent(std::uint32_t piece, std::uint32_t block, std::uint32_t resets);
    // The blocks of [first_block, first_block + blocks) still lent are
    // missing again.
    void EndLoan(std::uint32_t piece, std::uint32_t first_block, std::uint32_t blocks);
    // Copies a block of a verified piece, reading the piece on this
    // thread when it is not in the read cache; false when it cannot.
    bool ReadBlock(BlockRequest& req);
    // Serves a block of a verified piece: as its file's range when `file`
    // is given and the bytes are in memory there, else copied from the read
    // cache or from the file when its bytes are in memory; otherwise starts
    // the piece's read on the storage worker (or joins the one under way)
    // and keeps `ready` for when it is back (kPending).
    BlockRead ReadBlock(BlockRequest& req, PieceReadHandler& ready, BlockFile* file);
    // Takes a read back: a piece read whole and still verified joins the
    // read cache. `more`: start the next waiting read.
    void CompleteRead(ReadJob& job, bool more);
    // Hands over the reads not started yet (the channel goes, or storage
    // stops completing work on the I/O thread).
    std::vector<std::shared_ptr<ReadJob>> TakeWaitingReads();
    // Records a piece check: 1 verified, 0 every block of the piece starts
    // over.
    void SetPiece(std::uint32_t piece, std::uint8_t result);
    // Takes back what the worker did with a job of this store: written
    // runs become stored, refused ones are fetched again.
    void CompleteWrite(WriteJob& job);

    std::uint64_t ChannelId() const { return m_channel_id; }
    const std::vector<std::uint8_t>& Bitmap() const { return m_bitmap; }
    const std::vector<std::vector<std::uint8_t>>& Received() const { return m_received; }
    const std::vector<std::uint32_t>& PieceLengths() const { return m_lengths; }
    const std::vector<std::vector<std::uint8_t>>& Stored() const { return m_stored; }
    std::uint8_t WriteState(std::uint32_t piece, std::uint32_t block) const { return m_write_state[piece][block]; }
    // Pieces in the write cache and the read cache, in index order (the
    // read cache's once per span it holds of a piece).
    std::vector<std::int32_t> WriteCachePieces() const;
    std::vector<std::int32_t> ReadCachePieces() const;
    // Piece buffers the store holds: cached, being read, kept for reuse.
    std::size_t BuffersHeld() const;
    // Bytes the store's buffers hold (write cache units, read cache,
    // buffers kept for reuse; not the reads and writes under way).
    std::size_t BytesHeld() const;
    // Entries the write cache may hold now.
    std::size_t WriteCacheLimit() const { return m_cache_limit; }

    // Checks every piece's tables (expensive: tests and debugging).
    void check_invariant() const;

private:
    // A piece being assembled and the digest of its leading blocks, hashed
    // while the rest arrives.
    struct WriteEntry {
        std::int32_t piece = 0;
        std::shared_ptr<PieceBuffer> buffer;
        std::shared_ptr<PieceHash> hash;
        std::uint32_t resets = 0;          // times the piece was reset while the entry was in
        std::size_t released = 0;          // units from the first on let go
        std::vector<std::uint8_t> ahead;   // per unit: 1 = written whole by this entry (its bytes valid)
    };
    using WriteCache = std::map<std::int32_t, WriteEntry>;

    bool ValidBlock(std::int32_t piece, std::int32_t offset, std::uint32_t& block) const;
    WriteEntry& FindOrAddWriteEntry(std::uint32_t piece);
    void TakeBlock(WriteEntry& entry, std::uint32_t block);
    std::uint8_t* BlockBytes(WriteEntry& entry, std::uint32_t offset);
    bool UnitComplete(const WriteEntry& entry, std::size_t unit) const;
    void WriteUnit(WriteEntry& entry, std::size_t unit);
    void ReleaseUnits(WriteEntry& entry);
    bool FreeUnit(WriteEntry& entry, std::size_t unit);
    bool HoldsGathered(const WriteEntry& entry, std::size_t unit) const;
    std::size_t WriteCacheBytes() const;
    std::shared_ptr<WriteJob> NewJob(std::uint32_t piece, const WriteEntry& entry, std::size_t first_block,
                                     std::size_t end_block);
    bool HasLent(std::int32_t piece) const;
    void ExtendHash(WriteEntry& entry);
    bool Ahead(const WriteEntry& entry, std::size_t unit) const;
    bool UnitOnItsWay(const WriteEntry& entry, std::size_t unit) const;
    void ShedAhead(WriteEntry& entry);
    bool ReloadPlan(const WriteEntry& entry) const;
    void DropEntry(WriteCache::iterator it);
    void EvictOne(std::int32_t keep, bool grow);
    void HandOff(WriteCache::iterator it, bool verify);
    void ReleaseBuffer(std::vector<std::uint8_t>&& buffer);
    std::vector<std::uint8_t> TakeSpare();
    // A read cache entry's piece and the offset of its first byte in it.
    using SpanKey = std::pair<std::int32_t, std::uint32_t>;
    using ReadCache = std::map<SpanKey, PieceCacheEntry>;

    bool Servable(const BlockRequest& req) const;
    SpanKey SpanFor(const BlockRequest& req, std::uint32_t& length) const;
    bool NextSpan(SpanKey& key, std::uint32_t& length) const;
    ReadCache::const_iterator CachedSpan(SpanKey key, const BlockRequest& req) const;
    void PrepareRead(ReadJob& job, SpanKey key, std::uint32_t length) const;
    void TakeReadBuffer(ReadJob& job);
    void CacheSpan(SpanKey key, PieceCacheEntry&& entry);
    static void CopyBlock(const PieceCacheEntry& entry, std::uint32_t offset, BlockRequest& req);
    void StartRead(const std::shared_ptr<ReadJob>& job);
    void ReadAhead(SpanKey key);
    void CheckPiece(std::size_t piece) const;

    std::uint64_t m_channel_id;
    std::vector<std::uint8_t> m_bitmap;   // 1 = verified; read live by the piece picker
    WriteCache m_write_cache;
    std::map<std::int32_t, std::shared_ptr<PieceHash>> m_parked;   // digests of evicted pieces' leading blocks
    // Per piece with jobs under way: what they tell each other of a refusal.
    std::map<std::uint32_t, std::shared_ptr<std::atomic<bool>>> m_refusals;
    // Copies of lent blocks that came from elsewhere meanwhile, by piece and
    // block: stored when their loan gives the block up.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::uint8_t>> m_lent_copies;
    ReadCache m_read_cache;
    std::map<SpanKey, std::shared_ptr<ReadJob>> m_reads;   // reads for upload, started or waiting
    std::deque<std::shared_ptr<ReadJob>> m_read_queue;     // reads waiting for a started one to end
    std::size_t m_reads_started = 0;                       // on the worker now
    SpanKey m_last_asked{-2, 0};                           // span of the last upload request
    std::vector<std::vector<std::uint8_t>> m_received;     // 1 = received; read live by the piece picker
    std::vector<std::uint32_t> m_lengths;
    std::vector<std::vector<std::uint8_t>> m_write_state;
    std::vector<std::vector<std::uint8_t>> m_stored;   // 1 = in the file; saved in the ".bbm" file
    std::vector<std::vector<std::uint8_t>> m_spare;    // freed cache buffers kept for reuse
    std::size_t m_verified = 0;                        // pieces whose bitmap byte is 1
    std::size_t m_cache_limit = kWriteCacheEntries;    // entries the write cache may hold
    std::size_t m_cache_bound = kWriteCacheEntries;    // most it may grow to
    CStorageManager* m_owner;
};
