// CChannelManager: the downloaded files of every task. A channel is one
// task's files cut into pieces (each file starting a new piece, pieces
// numbered over the files in file-index order) with each piece's MD5
// digest from the seed.
//
// Locking: the channel map lock is held only to find, insert or erase a
// channel and for the verify tables; each channel has its own lock around
// its files. Events to the owner are raised with no lock of this manager
// held, so the storage lock (taken before ours on the write path) and ours
// are never taken in the opposite order.
#pragma once

#include "engine/i_channel_manager.h"
#include "engine/seed_file.h"
#include "platform/critical_section.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CDiskFile;

// One file of a channel.
struct CChannelFile {
    std::int32_t index = 0;
    std::string path;   // full path on disk
    std::string name;   // path inside the task, '/'-separated
    std::string md5;
    std::uint64_t size = 0;
    std::string block_md5;   // 32 characters per piece of the file
    std::uint32_t first_piece = 0;
    std::uint32_t piece_count = 0;
};

// Where a piece lies.
struct ChannelPiece {
    std::uint32_t file = 0;   // position in CChannel::files
    std::uint32_t index_in_file = 0;
    std::uint64_t offset = 0;   // byte offset in the file
    std::uint32_t length = 0;
};

// A channel's tables as its preparation finds them on disk.
struct ChannelTables {
    bool ok = false;   // false: the preparation fails
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> blocks;
};

class CChannel {
public:
    // Channels of up to this many files keep them open between operations.
    static constexpr std::size_t kMaxOpenFiles = 64;

    std::vector<CChannelFile> files;   // by file index 0, 1, 2, ...
    // Shared: a write outside the lock keeps its file (see WriteRun).
    std::map<std::int32_t, std::shared_ptr<CDiskFile>> open_files;
    std::uint64_t id = 0;
    std::int32_t piece_size = 0;
    std::string root_folder;
    std::uint8_t history_flag = 0;   // 1: take the loaded state unchanged
    bool prepared = false;           // the files were prepared once
    std::string prepare_error;       // why the last preparation failed
    std::string save_path;
    bool has_loaded = false;   // added by the history form
    std::vector<std::uint8_t> loaded_bitmap;
    std::vector<std::vector<std::uint8_t>> loaded_blocks;
    std::uint64_t total_size = 0;
    std::vector<ChannelPiece> pieces;
    std::string write_error;                // why the last failed write failed
    bool read_only = false;                 // SetFilesFlag: writes are refused, files made later too
    std::unique_ptr<ChannelTables> ahead;   // made by CheckChannelFiles, taken by the preparation
    CcsLocker lock;                         // guards the files and `ahead`

    ~CChannel();
    // Lengths of all pieces.
    std::vector<std::uint32_t> PieceLengths() const;
    // The file, opened read/write (or read-only) on first use.
    CDiskFile* File(std::uint32_t position, bool read_only = false) { return SharedFile(position, read_only).get(); }
    std::shared_ptr<CDiskFile> SharedFile(std::uint32_t position, bool read_only = false);
    // Ends one operation on a file: closes it when the channel has more
    // than kMaxOpenFiles files.
    void Done(CDiskFile* file);
};

class CChannelManager : public IChannelManager {
public:
    explicit CChannelManager(const std::string& data_folder);
    ~CChannelManager() override;

    void SetOwner(IChannelManagerEvent* owner) override;
    bool AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                    std::uint32_t file_count, const std::string& file_list,
                    const std::vector<std::uint8_t>& loaded_bitmap,
                    const std::vector<std::vector<std::uint8_t>>& loaded_blocks, const std::string& save_path,
                    std::uint8_t history_flag) override;
    bool AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                    std::uint32_t file_count, const std::string& file_list, const std::string& save_path) override;
    bool AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                    std::uint32_t file_count, const std::string& file_list) override;
    void RemoveChannel(std::uint64_t channel_id) override;
    bool PrepareChannelFiles(std::uint64_t channel_id) override;
    ChannelCheck CheckChannelFiles(std::uint64_t channel_id, const std::function<bool()>& cancelled) override;
    std::string PrepareError(std::uint64_t channel_id) override;
    bool VerifyBlock(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset, const std::uint8_t* data,
                     std::int32_t length, std::uint8_t check) override;
    bool VerifyPiece(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset, const std::uint8_t* data,
                     std::int32_t length, const unsigned char* digest) override;
    bool ReadPiece(std::uint64_t channel_id, PieceCacheEntry& entry) override;
    bool ReadPieceRange(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset, std::uint8_t* out,
                        std::uint32_t length) override;
    bool ReadCachedBlock(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset, std::uint8_t* data,
                         std::uint32_t length) override;
    bool CachedBlockFile(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset, std::uint32_t length,
                         BlockFile& out) override;
    std::string LastWriteError(std::uint64_t channel_id) override;
    std::string GetChannelFolder(std::uint64_t channel_id) override;
    void SetCmdEvent(ICmdEvent* event) override;
    std::string GetFileNameForRange(std::uint64_t channel_id, std::int32_t piece, std::int32_t* piece_in_file,
                                    std::uint64_t* file_size) override;
    std::string GetFileNameForBlock(std::uint64_t channel_id, std::int32_t piece, std::int32_t* piece_in_file) override;
    bool IsChannelVerified(std::uint64_t channel_id) override;
    bool GetVerifyProgress(std::uint64_t channel_id, std::uint32_t* verified, std::uint32_t* pieces) override;
    std::uint64_t GetChannelTotalSize(std::uint64_t channel_id) override;
    int CloseChannelFiles(std::uint64_t channel_id) override;
    int SetFilesFlag(std::uint64_t channel_id, std::uint8_t read_only) override;
    std::uint64_t GetTotalSizeOf(const std::uint64_t* channel_id) override;

    // The data folder, ending in a separator.
    const std::string& DataFolder() const { return m_data_folder; }

private:
    using ChannelPtr = std::shared_ptr<CChannel>;

    bool AddChannelFromFileList(std::unique_ptr<CChannel> channel, const std::string& file_list);
    ChannelPtr Find(std::uint64_t channel_id);
    template <class Use>
    bool WithOpenPieceFile(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset, std::uint32_t length,
                           Use&& use);
    std::unique_ptr<ChannelTables> BuildTables(CChannel& channel, const std::function<bool()>& cancelled);
    bool PrepareFresh(CChannel& channel, std::vector<std::uint8_t>& bitmap,
                      std::vector<std::vector<std::uint8_t>>& blocks, std::vector<std::uint32_t>& recheck);
    bool PrepareFile(CChannel& channel, std::uint32_t position, std::vector<std::vector<std::uint8_t>>& blocks,
                     std::vector<std::uint32_t>& recheck);
    bool RecheckPieces(CChannel& channel, const std::vector<std::uint32_t>& pieces, ChannelTables& tables,
                       const std::function<bool()>& cancelled);
    bool PrepareHistory(CChannel& channel);
    static std::string ExpectedDigest(const CChannel& channel, std::uint32_t piece);
    static bool PieceMatches(CDiskFile& file, const ChannelPiece& p, const std::string& want, std::string* computed,
                             const std::uint8_t* written, const unsigned char* known);
    bool WriteRun(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset, const std::uint8_t* data,
                  std::int32_t length, std::uint8_t check, const unsigned char* digest);
    bool ReadPieceFromFiles(CChannel& channel, std::uint32_t piece, std::uint8_t* buffer);
    // Bytes of a piece read without the channel's lock held during the read.
    bool ReadRange(CChannel& channel, std::uint32_t piece, std::uint32_t offset, std::uint8_t* out,
                   std::uint32_t length);
    void OnChannelFilesReady(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                             const std::vector<std::vector<std::uint8_t>>& blocks,
                             const std::vector<std::uint32_t>& lengths, bool first);
    void OnPieceVerified(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result);
    std::string FileNameFor(std::uint64_t channel_id, std::int32_t piece, std::int32_t* piece_in_file,
                            std::uint64_t* file_size);

    std::uint64_t m_last_total = 0;     // total size of the channel added last
    ICmdEvent* m_cmd_event = nullptr;   // stays null
    std::map<std::uint64_t, ChannelPtr> m_channels;
    IChannelManagerEvent* m_owner = nullptr;
    std::string m_data_folder;
    CcsLocker m_lock;                                              // guards m_channels, m_verify and m_last_total
    std::map<std::uint64_t, std::vector<std::uint8_t>> m_verify;   // per channel, 1 = piece verified
};

// Runs at the start of every ReadPiece (tests stand in a slow disk with
// it); null: none.
void SetPieceReadHook(void (*hook)(std::uint64_t channel_id, std::int32_t piece));
