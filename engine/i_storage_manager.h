// Piece storage: per channel the state of every piece and block, a write
// cache that gathers received blocks into whole pieces before they go to
// the files, and a read cache that serves blocks to other peers.
#pragma once

#include "net/conn/block_loan.h"
#include "picker/block_request.h"

#include <cstdint>
#include <memory>
#include <vector>

class ICmdEvent;
class IChannelManager;
class i_io_service;

// Receives storage events (implemented by the download manager). Every
// event is raised after the storage lock has been released, so the
// receiver may take its own locks freely.
class IStorageManagerEvent {
public:
    virtual ~IStorageManagerEvent() = default;

    // A channel's store exists. The three tables are the store's own and
    // stay valid until the channel is removed from storage; the piece
    // picker works on them.
    virtual void OnChannelStorageReady(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                                       const std::vector<std::vector<std::uint8_t>>& blocks,
                                       const std::vector<std::uint32_t>& piece_lengths) = 0;

    // A piece was checked: 1 verified, 0 mismatch (its blocks are received
    // again from nothing).
    virtual void OnPieceChecked(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result) = 0;

    // One block of the channel reached its file (or was found there when
    // the channel was resumed).
    virtual void IncTaskStorageCounter(std::uint64_t channel_id) = 0;

    // Writing into the channel's files failed (for instance a full disk);
    // the blocks concerned are free to be received again and nobody is
    // blamed for them. The default ignores it.
    virtual void OnStorageError(std::uint64_t channel_id, const char* text)
    {
        (void)channel_id;
        (void)text;
    }
};

class IStorageManager {
public:
    virtual ~IStorageManager() = default;

    // Stores the event sink.
    virtual void SetEvent(IStorageManagerEvent* sink) = 0;

    // Copies the channel's piece bitmap (1 = verified); false (out empty)
    // for an unknown channel.
    virtual bool GetBitmap(std::uint64_t channel_id, std::vector<std::uint8_t>& bitmap) = 0;

    // Copies req.length bytes of a verified piece at req.offset into
    // req.data for upload. False for an unknown channel, a block outside
    // the piece, a piece not verified or a failed read.
    virtual bool ReadBlock(std::uint64_t channel_id, BlockRequest& req) = 0;

    // The same for the I/O thread, which must not wait for the disk. A
    // piece in the read cache, or a block whose bytes the system holds in
    // memory, is served at once (kServed); a piece that
    // must come from its file first is read on storage's thread (kPending)
    // and `ready` runs later on the I/O thread: 0 once the piece is at hand
    // (ask again), -1 when it could not be read, 995 when storage stopped
    // first. Requests waiting for one piece hear in the order they asked.
    // Without an I/O service the piece is read at once, as ReadBlock does.
    // With `file`, a block whose bytes lie in memory in one open file is
    // served as that file's range instead (*file filled, req.data left).
    virtual BlockRead ReadBlockAsync(std::uint64_t channel_id, BlockRequest& req, PieceReadHandler ready,
                                     BlockFile* file) = 0;

    // Copies the block-stored table (per piece, 1 = block written to the
    // file), the table saved in the ".bbm" file; false for an unknown
    // channel.
    virtual bool GetChannelStoreData(std::uint64_t channel_id, std::vector<std::vector<std::uint8_t>>& blocks) = 0;

    // Stores a received block (req.data holds req.length bytes). A block
    // outside the tables, of the wrong length or already received is
    // dropped (false).
    virtual bool WriteBlock(std::uint64_t channel_id, const BlockRequest& req) = 0;

    // Lends the write-cache bytes of up to `blocks` consecutive blocks of
    // `piece` from `offset` on, for a receive straight into them: those
    // from the first on that are missing and neither cached, being written
    // nor lent already. Null when the first is not, or when the piece has
    // no write-cache entry and none can be made (every entry has blocks
    // out on loan). While lent, a block is dropped by WriteBlock and its
    // entry is neither evicted, written nor freed; a commit stores it as
    // WriteBlock would after its copy, unless the piece was reset since
    // the loan (then it is missing again).
    virtual std::shared_ptr<zeq::i_block_loan> LendBlocks(std::uint64_t channel_id, std::int32_t piece,
                                                          std::int32_t offset, std::uint32_t blocks) = 0;

    // Deletes the channel's store.
    virtual void RemoveChannel(std::uint64_t channel_id) = 0;

    // Keeps only a null argument: storage never reports through ICmdEvent.
    virtual void SetCmdEvent(ICmdEvent* event) = 0;

    // The I/O thread storage completes its disk work on. Set: writes,
    // checks and bitmap saves run on storage's own thread and their events
    // are raised on the I/O thread. Null (the start): they run on the
    // calling thread; setting null again runs the completions still
    // waiting for an I/O thread that is gone, tells the requests waiting
    // for a piece (995) and waits for the disk work under way.
    virtual void SetIoService(i_io_service* io) = 0;

    // Copies the channel's piece bitmap and block-stored table and has
    // `sink`'s OnBitmapSaved write them from storage's thread; false for an
    // unknown channel.
    virtual bool PostBitmapSave(std::uint64_t channel_id, ICmdEvent* sink) = 0;

    // Returns once the disk work posted so far has been done (before the
    // channel manager it writes through goes away).
    virtual void Drain() = 0;
    // Returns once the disk work of the channel posted so far has been done
    // (other channels' work may still go on).
    virtual void DrainChannel(std::uint64_t channel_id) = 0;

    // Returns once the channel's disk work posted so far has been done and
    // its results are in the channel's tables (its completions have run,
    // on the I/O thread when there is one): a bitmap copied after it holds
    // every piece written and checked. Never called on the I/O thread.
    virtual void Settle(std::uint64_t channel_id) = 0;
};

// Creates a storage manager over `channels` and registers itself as the
// channel manager's owner. Never null.
IStorageManager* CreateStorageManager(IChannelManager* channels);
// Deletes a manager made by CreateStorageManager; null is ignored.
void DestroyStorageManager(IStorageManager* manager);
