// CStorageManager: the piece stores of every channel behind one recursive
// lock. It sits between the transfer connections (blocks in, blocks out
// for upload) and the channel manager (files and piece checks), and
// reports to the download manager.
//
// Events are collected while the lock is held and raised once the
// outermost holder has released it, so no receiver runs under the storage
// lock.
//
// Disk work (writing pieces out of the write cache, reading them back for
// their check, bitmap saves) runs on the storage worker; once an I/O
// service is set, each job completes back on its thread, in order, where
// the store takes the result and the events are raised: a piece is
// reported checked after its bytes are in the file. Without an I/O
// service the work runs at once on the calling thread.
//
// Pieces read for upload (ReadBlockAsync) are read by the worker too, and
// the requests waiting for them answered back on the I/O thread.
#pragma once

#include "engine/channel_storage_manager.h"
#include "engine/i_channel_manager.h"
#include "engine/i_storage_manager.h"
#include "engine/piece_hash_worker.h"
#include "engine/storage_worker.h"
#include "platform/critical_section.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CStorageManager : public IChannelManagerEvent, public IStorageManager {
public:
    explicit CStorageManager(IChannelManager* channels);
    ~CStorageManager() override;

    // IChannelManagerEvent
    void OnChannelAdded(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                        const std::vector<std::vector<std::uint8_t>>& blocks,
                        const std::vector<std::uint32_t>& piece_lengths) override;
    void SetPiece(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result) override;
    // Has the hash workers advance a digest: a write-cache entry's, or a
    // piece the channel manager re-checks.
    void PostHash(const std::shared_ptr<PieceHash>& hash) override { m_hasher.Post(hash); }
    // A piece complete as it is posted, finished by its writer next.
    void QueueWholeHash(const std::shared_ptr<PieceHash>& hash) { m_hasher.Queue(hash); }

    // IStorageManager
    void SetEvent(IStorageManagerEvent* sink) override;
    bool GetBitmap(std::uint64_t channel_id, std::vector<std::uint8_t>& bitmap) override;
    bool ReadBlock(std::uint64_t channel_id, BlockRequest& req) override;
    BlockRead ReadBlockAsync(std::uint64_t channel_id, BlockRequest& req, PieceReadHandler ready,
                             BlockFile* file) override;
    bool GetChannelStoreData(std::uint64_t channel_id, std::vector<std::vector<std::uint8_t>>& blocks) override;
    bool WriteBlock(std::uint64_t channel_id, const BlockRequest& req) override;
    std::shared_ptr<zeq::i_block_loan> LendBlocks(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset,
                                                  std::uint32_t blocks) override;
    void RemoveChannel(std::uint64_t channel_id) override;
    void SetCmdEvent(ICmdEvent* event) override;
    void SetIoService(i_io_service* io) override;
    bool PostBitmapSave(std::uint64_t channel_id, ICmdEvent* sink) override;
    void Drain() override;
    void DrainChannel(std::uint64_t channel_id) override;
    void Settle(std::uint64_t channel_id) override;

    // Used by the stores while the lock is held.
    IChannelManager* Channels() const { return m_channels; }
    void QueueStorageCounter(std::uint64_t channel_id, std::uint32_t blocks);
    // Takes back the counter event just queued (the run was not written).
    void UnqueueStorageCounter(std::uint64_t channel_id, std::uint32_t blocks);
    void QueueStorageError(std::uint64_t channel_id, const std::string& text);
    // Has the storage worker write (and check) a piece taken out of the
    // store's write cache.
    void SubmitWrite(const std::shared_ptr<CChannelStorageManager>& store, const std::shared_ptr<WriteJob>& job);
    // Has the storage worker read a piece for upload.
    void SubmitRead(const std::shared_ptr<CChannelStorageManager>& store, const std::shared_ptr<ReadJob>& job);

    // A lent block is in (false: dropped, see LendBlocks) and the blocks of
    // a loan not committed are given up; used by the loans, on `store`
    // whether or not it is still in the map.
    bool CommitLent(CChannelStorageManager& store, std::uint32_t piece, std::uint32_t block, std::uint32_t resets);
    void EndLoan(CChannelStorageManager& store, std::uint32_t piece, std::uint32_t first_block, std::uint32_t blocks);

    // Runs `fn` on the channel's store under the lock (tests and
    // diagnostics); false for an unknown channel.
    template <class Fn>
    bool InspectStore(std::uint64_t channel_id, Fn&& fn);

private:
    using StorePtr = std::shared_ptr<CChannelStorageManager>;

    struct Event {
        enum Kind { kReady, kChecked, kCounter, kError } kind;
        std::uint64_t channel_id;
        std::uint32_t value;   // piece, or block count
        std::uint8_t result;
        StorePtr store;   // keeps the tables alive while kReady is raised
        std::string text;
    };

    // Holds the lock; the outermost guard raises the collected events after
    // unlocking.
    class Guard {
    public:
        explicit Guard(CStorageManager& m);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CStorageManager& m_m;
    };

    CChannelStorageManager* Find(std::uint64_t channel_id);
    void RecordCheck(CChannelStorageManager& store, std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result);
    void RunWrite(WriteJob& job);
    void ReloadUnits(WriteJob& job);
    void CompleteWrite(const std::weak_ptr<CChannelStorageManager>& store, WriteJob& job);
    void CompleteRead(const std::weak_ptr<CChannelStorageManager>& store, const std::shared_ptr<ReadJob>& job);
    static void Raise(IStorageManagerEvent* sink, std::vector<Event>& events);

    ICmdEvent* m_cmd_event = nullptr;   // stays null
    std::map<std::uint64_t, StorePtr> m_stores;
    IChannelManager* m_channels;
    IStorageManagerEvent* m_sink = nullptr;
    CcsLocker m_lock;                   // guards the map, every store and the event queue
    int m_depth = 0;                    // nesting of Guard on the holding thread
    std::vector<Event> m_events;        // collected under the lock
    std::atomic<bool> m_on_io{false};   // completions run on the I/O thread
    PieceHashWorker m_hasher;           // hashes pieces ahead of their completion
    // What loans reach the manager through: null once it is going (a loan
    // that outlives it gives nothing back; its store stays with it).
    std::shared_ptr<std::atomic<CStorageManager*>> m_anchor;
    StorageWorker m_worker;   // last member: drained before the rest goes
};

template <class Fn>
bool CStorageManager::InspectStore(std::uint64_t channel_id, Fn&& fn)
{
    Guard g(*this);
    CChannelStorageManager* store = Find(channel_id);
    if (!store)
        return false;
    fn(*store);
    return true;
}
