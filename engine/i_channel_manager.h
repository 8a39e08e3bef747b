// The channel manager's interfaces. A channel is one task's set of files,
// keyed by the 64-bit task id: the manager owns the files, writes runs of
// blocks into them, checks each finished piece against its MD5 digest and
// reads pieces back for upload. It reports to its owner, the storage
// manager, through IChannelManagerEvent.
#pragma once

#include "picker/block_request.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ICmdEvent;
class PieceHash;

// A whole piece held in memory, the destination of
// IChannelManager::ReadPiece; in storage's read cache also a span of a
// piece (`length` bytes of it).
struct PieceCacheEntry {
    std::int32_t piece = 0;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> buffer;   // `length` bytes
};

// Receives the channel manager's events (implemented by the storage
// manager). Both are raised without any channel-manager lock held.
class IChannelManagerEvent {
public:
    virtual ~IChannelManagerEvent() = default;

    // A channel's files are prepared: its piece bitmap (1 = verified), its
    // block-received table (per piece, one byte per block, 1 = received)
    // and its piece lengths in bytes.
    virtual void OnChannelAdded(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                                const std::vector<std::vector<std::uint8_t>>& blocks,
                                const std::vector<std::uint32_t>& piece_lengths) = 0;

    // Result of one piece check: 1 the digest matches, 0 it does not.
    virtual void SetPiece(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result) = 0;

    // Asks for `hash` (every byte ready) to be advanced on the owner's hash
    // workers; whatever they have not reached the caller finishes itself.
    virtual void PostHash(const std::shared_ptr<PieceHash>& hash) { (void)hash; }
};

// What IChannelManager::CheckChannelFiles came to.
enum class ChannelCheck {
    kReady,       // the tables are kept for the preparation
    kFailed,      // the preparation fails (PrepareError says why)
    kCancelled,   // ended early; nothing kept
};

class IChannelManager {
public:
    virtual ~IChannelManager() = default;

    // Stores the owner once; later calls are ignored.
    virtual void SetOwner(IChannelManagerEvent* owner) = 0;

    // History form: a resumed channel with the tables of its ".bbm" file.
    // Its files go under `save_path` (under the data folder and the root
    // folder when empty); no folder is created. history_flag 1 takes the
    // loaded state as it is, 0 re-checks it against the files. False when
    // the id is present already or the file list is refused.
    virtual bool AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                            std::uint32_t file_count, const std::string& file_list,
                            const std::vector<std::uint8_t>& loaded_bitmap,
                            const std::vector<std::vector<std::uint8_t>>& loaded_blocks, const std::string& save_path,
                            std::uint8_t history_flag) = 0;
    // Save-path form: the files go directly under `save_path` (created).
    virtual bool AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                            std::uint32_t file_count, const std::string& file_list, const std::string& save_path) = 0;
    // No save path: the files go under the data folder and `root_folder`
    // (created).
    virtual bool AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                            std::uint32_t file_count, const std::string& file_list) = 0;

    // Deletes the channel (closing its files) and its verify table.
    virtual void RemoveChannel(std::uint64_t channel_id) = 0;

    // Creates, sizes or re-checks the channel's files and then raises
    // IChannelManagerEvent::OnChannelAdded (after the channel lock is
    // released). False for an unknown channel or a file that cannot be
    // opened or sized.
    virtual bool PrepareChannelFiles(std::uint64_t channel_id) = 0;

    // The long part of PrepareChannelFiles, done ahead of it by a thread
    // that holds nothing else up: creates and sizes the files and re-checks
    // the pieces the loaded tables hold (read here, hashed on the owner's
    // hash workers, several cores). The tables are kept for
    // PrepareChannelFiles, which then only hands them on. `cancelled` is
    // asked between pieces; once it says true the check ends and nothing is
    // kept. Without this step PrepareChannelFiles does it all.
    virtual ChannelCheck CheckChannelFiles(std::uint64_t channel_id, const std::function<bool()>& cancelled)
    {
        (void)channel_id;
        (void)cancelled;
        return ChannelCheck::kReady;
    }

    // Why the channel's last preparation failed ("cannot open" and the
    // path); empty when it did not fail or the channel is unknown.
    virtual std::string PrepareError(std::uint64_t channel_id)
    {
        (void)channel_id;
        return std::string();
    }

    // Writes `length` bytes at `offset` inside `piece` into its file; when
    // `check` is 1, reads the whole piece back, checks its digest and
    // raises IChannelManagerEvent::SetPiece. False when the channel or
    // piece is unknown or the write failed (then nothing is checked).
    virtual bool VerifyBlock(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset,
                             const std::uint8_t* data, std::int32_t length, std::uint8_t check) = 0;

    // VerifyBlock with check 1 for the last run of a piece whose MD5
    // digest (`digest`, 16 bytes) the caller computed from the bytes it
    // wrote: a digest that matches the seed's needs no read-back; one that
    // does not is confirmed against the piece itself.
    virtual bool VerifyPiece(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset,
                             const std::uint8_t* data, std::int32_t length, const unsigned char* digest) = 0;

    // Why the channel's last failed write failed (its file and the system's
    // reason, "No space left on device" say); empty when none failed.
    virtual std::string LastWriteError(std::uint64_t channel_id)
    {
        (void)channel_id;
        return std::string();
    }

    // Reads entry.length bytes of piece entry.piece into entry.buffer; true
    // only when exactly that many were read.
    virtual bool ReadPiece(std::uint64_t channel_id, PieceCacheEntry& entry) = 0;
    // Reads `length` bytes of a piece from `offset` on into `out` (the
    // storage worker, for bytes it wrote before); false when they cannot
    // all be read.
    virtual bool ReadPieceRange(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset, std::uint8_t* out,
                                std::uint32_t length) = 0;

    // Copies `length` bytes of the piece at `offset` into `data` only when
    // that needs no wait (the file open and free, the bytes in memory);
    // false otherwise, and the piece is read with ReadPiece instead.
    virtual bool ReadCachedBlock(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset, std::uint8_t* data,
                                 std::uint32_t length)
    {
        (void)channel_id;
        (void)piece;
        (void)offset;
        (void)data;
        (void)length;
        return false;
    }

    // The open file and its offset holding `length` bytes of the piece at
    // `offset`, when they can be sent from it at once (as ReadCachedBlock
    // would copy them); false otherwise.
    virtual bool CachedBlockFile(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset,
                                 std::uint32_t length, BlockFile& out)
    {
        (void)channel_id;
        (void)piece;
        (void)offset;
        (void)length;
        (void)out;
        return false;
    }

    // The data folder followed by the channel's root folder; empty for an
    // unknown channel.
    virtual std::string GetChannelFolder(std::uint64_t channel_id) = 0;

    // Keeps only a null argument: the channel manager never reports
    // through ICmdEvent.
    virtual void SetCmdEvent(ICmdEvent* event) = 0;

    // As GetFileNameForBlock, also giving the file's size (0 when unknown).
    virtual std::string GetFileNameForRange(std::uint64_t channel_id, std::int32_t piece, std::int32_t* piece_in_file,
                                            std::uint64_t* file_size) = 0;

    // Path inside the task of the file holding `piece` ('/'-separated, as
    // the seed names it below the task's folder) and the piece's index
    // inside that file; empty when unknown.
    virtual std::string GetFileNameForBlock(std::uint64_t channel_id, std::int32_t piece,
                                            std::int32_t* piece_in_file) = 0;

    // True when the channel's verify table exists and every piece is
    // verified.
    virtual bool IsChannelVerified(std::uint64_t channel_id) = 0;

    // Verified pieces and pieces of the channel; false (both 0) when it
    // has no verify table.
    virtual bool GetVerifyProgress(std::uint64_t channel_id, std::uint32_t* verified, std::uint32_t* pieces) = 0;

    // Sum of the channel's file sizes; 0 for an unknown channel.
    virtual std::uint64_t GetChannelTotalSize(std::uint64_t channel_id) = 0;

    // Closes every open file of the channel; 1.
    virtual int CloseChannelFiles(std::uint64_t channel_id) = 0;

    // Reopens every open file of the channel read-only (1) or read/write
    // (0); 1.
    virtual int SetFilesFlag(std::uint64_t channel_id, std::uint8_t read_only) = 0;

    // GetChannelTotalSize through a pointer to the id (0 for null).
    virtual std::uint64_t GetTotalSizeOf(const std::uint64_t* channel_id) = 0;
};

// Creates a channel manager whose channels without a save path live under
// `data_folder` (created, one level). Never null.
IChannelManager* CreateChannelManager(const std::string& data_folder);
// Deletes a manager made by CreateChannelManager; null is ignored.
void DestroyChannelManager(IChannelManager* manager);
