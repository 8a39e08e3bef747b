// CChannelStorageManager: the piece store of one channel. Per piece its
// verified byte and length, per block its received, write and stored state,
// a write cache of at most 7 pieces being assembled and a read cache of at
// most 3 whole pieces read back for upload. Not locked itself: the storage
// manager's lock guards every store.
#pragma once

#include "engine/block_request.h"
#include "engine/i_channel_manager.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class CStorageManager;
class PieceHash;

class CChannelStorageManager {
public:
    // Write state of a block.
    enum : std::uint8_t { kNothing = 0, kCached = 1, kWritten = 2 };

    static constexpr std::size_t kWriteCacheEntries = 7;
    static constexpr std::size_t kReadCacheEntries = 3;
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

    // Stores one received block; false when it is dropped.
    bool WriteBlock(const BlockRequest& req);
    // Copies a block of a verified piece; false when it cannot.
    bool ReadBlock(BlockRequest& req);
    // Records a piece check: 1 verified, 0 every block of the piece starts
    // over.
    void SetPiece(std::uint32_t piece, std::uint8_t result);

    std::uint64_t ChannelId() const { return m_channel_id; }
    const std::vector<std::uint8_t>& Bitmap() const { return m_bitmap; }
    const std::vector<std::vector<std::uint8_t>>& Received() const { return m_received; }
    const std::vector<std::uint32_t>& PieceLengths() const { return m_lengths; }
    const std::vector<std::vector<std::uint8_t>>& Stored() const { return m_stored; }
    std::uint8_t WriteState(std::uint32_t piece, std::uint32_t block) const { return m_write_state[piece][block]; }
    // Pieces in the write cache and the read cache, in index order.
    std::vector<std::int32_t> WriteCachePieces() const;
    std::vector<std::int32_t> ReadCachePieces() const;

    // Checks every piece's tables (expensive: tests and debugging).
    void check_invariant() const;

private:
    // A piece being assembled and the digest of its leading blocks, hashed
    // while the rest arrives.
    struct WriteEntry {
        PieceCacheEntry cache;
        std::shared_ptr<PieceHash> hash;
    };
    using WriteCache = std::map<std::int32_t, WriteEntry>;

    bool valid_block(std::int32_t piece, std::int32_t offset, std::uint32_t& block) const;
    WriteEntry& write_entry(std::uint32_t piece);
    void extend_hash(WriteEntry& entry, std::uint32_t block);
    void drop_entry(WriteCache::iterator it, bool park);
    void evict_one();
    bool flush(PieceCacheEntry& entry, bool verify, const unsigned char* digest);
    void release_buffer(std::vector<std::uint8_t>&& buffer);
    void check_piece(std::size_t piece) const;

    std::uint64_t m_channel_id;
    std::vector<std::uint8_t> m_bitmap;                 // 1 = verified; read live by the piece picker
    WriteCache m_write_cache;
    std::map<std::int32_t, std::shared_ptr<PieceHash>> m_parked;   // digests of evicted pieces' leading blocks
    std::map<std::int32_t, PieceCacheEntry> m_read_cache;
    std::vector<std::vector<std::uint8_t>> m_received;  // 1 = received; read live by the piece picker
    std::vector<std::uint32_t> m_lengths;
    std::vector<std::vector<std::uint8_t>> m_write_state;
    std::vector<std::vector<std::uint8_t>> m_stored;    // 1 = in the file; saved in the ".bbm" file
    std::vector<std::vector<std::uint8_t>> m_spare;     // freed cache buffers kept for reuse
    std::size_t m_verified = 0;                         // pieces whose bitmap byte is 1
    CStorageManager* m_owner;
};
