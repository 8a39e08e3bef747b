#include "engine/storage_manager.h"

#include "engine/cmd_event.h"
#include "engine/storage_block_loan.h"
#include "platform/debug_output.h"
#include "platform/event.h"

namespace {

// The write job the calling thread is running: the channel manager reports
// its piece check through SetPiece, and the result belongs to the job,
// applied when it completes.
thread_local WriteJob* t_write_job = nullptr;

}   // namespace

CStorageManager::Guard::Guard(CStorageManager& m) : m_m(m)
{
    m_m.m_lock.Lock();
    ++m_m.m_depth;
}

CStorageManager::Guard::~Guard()
{
    std::vector<Event> events;
    IStorageManagerEvent* sink = nullptr;
    if (--m_m.m_depth == 0 && !m_m.m_events.empty()) {
        events.swap(m_m.m_events);
        sink = m_m.m_sink;
    }
    m_m.m_lock.Unlock();
    if (!events.empty() && sink)
        Raise(sink, events);
}

void CStorageManager::Raise(IStorageManagerEvent* sink, std::vector<Event>& events)
{
    for (Event& e : events) {
        switch (e.kind) {
        case Event::kReady:
            sink->OnChannelStorageReady(e.channel_id, e.store->Bitmap(), e.store->Received(), e.store->PieceLengths());
            break;
        case Event::kChecked:
            sink->OnPieceChecked(e.channel_id, e.value, e.result);
            break;
        case Event::kCounter:
            for (std::uint32_t i = 0; i < e.value; ++i)
                sink->IncTaskStorageCounter(e.channel_id);
            break;
        case Event::kError:
            sink->OnStorageError(e.channel_id, e.text.c_str());
            break;
        }
    }
}

CStorageManager::CStorageManager(IChannelManager* channels)
    : m_channels(channels), m_anchor(std::make_shared<std::atomic<CStorageManager*>>(this))
{
    if (m_channels)
        m_channels->SetOwner(this);
}

CStorageManager::~CStorageManager()
{
    m_anchor->store(nullptr);
    // Whatever is still queued for the disk is written before the stores go.
    m_worker.SetIoService(nullptr);
    m_worker.Drain();
    CScopedLock lock(m_lock);
    m_stores.clear();
    m_events.clear();
}

CChannelStorageManager* CStorageManager::Find(std::uint64_t channel_id)
{
    auto it = m_stores.find(channel_id);
    return it == m_stores.end() ? nullptr : it->second.get();
}

void CStorageManager::QueueStorageCounter(std::uint64_t channel_id, std::uint32_t blocks)
{
    Event e{Event::kCounter, channel_id, blocks, 0, nullptr, std::string()};
    m_events.push_back(std::move(e));
}

void CStorageManager::UnqueueStorageCounter(std::uint64_t channel_id, std::uint32_t blocks)
{
    if (!m_events.empty() && m_events.back().kind == Event::kCounter && m_events.back().channel_id == channel_id &&
        m_events.back().value == blocks)
        m_events.pop_back();
}

void CStorageManager::QueueStorageError(std::uint64_t channel_id, const std::string& text)
{
    platform::debug_output("CStorageManager: " + text + "\n");
    Event e{Event::kError, channel_id, 0, 0, nullptr, text};
    m_events.push_back(std::move(e));
}

void CStorageManager::OnChannelAdded(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                                     const std::vector<std::vector<std::uint8_t>>& blocks,
                                     const std::vector<std::uint32_t>& piece_lengths)
{
    Guard g(*this);
    if (m_stores.count(channel_id))
        return;
    auto store = std::make_shared<CChannelStorageManager>(channel_id, this);
    const std::size_t queued = m_events.size();
    if (!store->SaveBitmap(bitmap, blocks, piece_lengths)) {
        // Counter events queued for the refused tables go with it.
        m_events.erase(m_events.begin() + std::ptrdiff_t(queued), m_events.end());
        QueueStorageError(channel_id, "the piece tables of task " + std::to_string(channel_id) +
                                          " do not agree with each other; no storage was made for it");
        return;
    }
    m_stores.emplace(channel_id, store);
    Event e{Event::kReady, channel_id, 0, 0, store, std::string()};
    m_events.push_back(std::move(e));
}

void CStorageManager::SetPiece(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result)
{
    WriteJob* job = t_write_job;
    if (job && job->channel_id == channel_id && job->piece == piece) {
        job->result = result;
        return;
    }
    Guard g(*this);
    if (CChannelStorageManager* store = Find(channel_id))
        RecordCheck(*store, channel_id, piece, result);
}

void CStorageManager::RecordCheck(CChannelStorageManager& store, std::uint64_t channel_id, std::uint32_t piece,
                                  std::uint8_t result)
{
    if (piece >= store.PieceLengths().size())
        return;
    store.SetPiece(piece, result);
    Event e{Event::kChecked, channel_id, piece, result, nullptr, std::string()};
    m_events.push_back(std::move(e));
}

void CStorageManager::SubmitWrite(const std::shared_ptr<CChannelStorageManager>& store,
                                  const std::shared_ptr<WriteJob>& job)
{
    std::size_t bytes = 0;
    for (const StorageRun& run : job->runs)
        bytes += run.length;
    std::weak_ptr<CChannelStorageManager> weak = store;
    // Jobs of one piece are written in order (the check after the last);
    // other pieces, and other channels, go on meanwhile.
    m_worker.Post(
        StorageWorker::Key{job->channel_id, job->piece}, [this, job] { RunWrite(*job); },
        [this, weak, job] { CompleteWrite(weak, *job); }, bytes);
}

// On the storage worker, without the storage lock: the piece's digest,
// the file writes and the check.
void CStorageManager::RunWrite(WriteJob& job)
{
    if (job.reload)
        ReloadUnits(job);
    unsigned char digest[kMd5DigestSize];
    // A unit written ahead has no hash: its entry keeps it.
    if (job.hash && job.whole_hashed)
        m_hasher.Finish(*job.hash, digest);
    else if (job.hash && job.park)
        job.hash->Park();
    else if (job.hash)
        job.hash->Detach();
    t_write_job = &job;
    bool all_written = true;
    for (std::size_t i = 0; i < job.runs.size(); ++i) {
        StorageRun& run = job.runs[i];
        // A piece with a run refused, here or by an earlier job of it, is
        // fetched again, not checked.
        const bool check = job.check && all_written && !(job.refused && job.refused->load()) &&
                           i + 1 == job.runs.size();
        const std::int32_t piece = std::int32_t(job.piece);
        const std::uint8_t* data = run.data;
        run.written = check && job.whole_hashed
                          ? m_channels->VerifyPiece(job.channel_id, piece, std::int32_t(run.offset), data,
                                                    std::int32_t(run.length), digest)
                          : m_channels->VerifyBlock(job.channel_id, piece, std::int32_t(run.offset), data,
                                                    std::int32_t(run.length), check ? 1 : 0);
        if (!run.written && job.refused)
            job.refused->store(true);
        if (!run.written && job.error.empty())
            job.error = m_channels->LastWriteError(job.channel_id);
        all_written = all_written && run.written;
    }
    t_write_job = nullptr;
    // The bytes are in the file: their memory goes now, not when the
    // completion runs (it may wait behind slower work of the channel).
    for (StorageRun& run : job.runs) {
        run.unit.reset();
        run.data = nullptr;
    }
    job.units.reset();
}

// On the storage worker: the units of a big piece the hash has not passed
// are hashed in order, those no longer in memory read back from the file
// first (the piece's earlier jobs wrote them), each let go once hashed. A
// unit that cannot be read leaves the check to the read-back of the whole
// piece.
void CStorageManager::ReloadUnits(WriteJob& job)
{
    PieceBuffer& units = *job.units;
    for (std::size_t u = PieceBuffer::UnitOf(job.hash->Hashed()); u < units.Units(); ++u) {
        const std::uint32_t start = units.UnitStart(u);
        const std::uint32_t length = units.UnitEnd(u) - start;
        if (!units.Has(u) &&
            !m_channels->ReadPieceRange(job.channel_id, std::int32_t(job.piece), start, units.Make(start), length)) {
            units.Release(u);
            job.whole_hashed = false;
            return;
        }
        job.hash->SetReady(std::max(job.hash->Ready(), units.UnitEnd(u)));
        job.hash->Advance();
        units.Release(u);
    }
}

// Back on the I/O thread (or the thread that ran the job): the store
// takes the result unless it was removed in the meantime.
void CStorageManager::CompleteWrite(const std::weak_ptr<CChannelStorageManager>& weak, WriteJob& job)
{
    Guard g(*this);
    std::shared_ptr<CChannelStorageManager> store = weak.lock();
    if (!store || Find(job.channel_id) != store.get())
        return;
    store->CompleteWrite(job);
    if (job.result >= 0)
        RecordCheck(*store, job.channel_id, job.piece, std::uint8_t(job.result));
}

void CStorageManager::SubmitRead(const std::shared_ptr<CChannelStorageManager>& store,
                                 const std::shared_ptr<ReadJob>& job)
{
    std::weak_ptr<CChannelStorageManager> weak = store;
    // Counted as no bytes: the reads are bounded by their number per
    // channel, and the I/O thread must never wait behind the writes'
    // backlog to start one.
    m_worker.Post(
        StorageWorker::Key{job->channel_id, std::uint32_t(job->entry.piece)}, [this, job] { job->Run(*m_channels); },
        [this, weak, job] { CompleteRead(weak, job); }, 0);
}

// On the I/O thread: the piece joins the read cache, then the requests that
// waited for it ask again, in their order, outside the lock. Once storage
// no longer completes on the I/O thread they are told so (995) instead.
void CStorageManager::CompleteRead(const std::weak_ptr<CChannelStorageManager>& weak,
                                   const std::shared_ptr<ReadJob>& job)
{
    const bool on_io = m_on_io.load();
    std::vector<PieceReadHandler> waiting;
    bool kept = false;   // the channel is still there to take the piece
    {
        Guard g(*this);
        std::shared_ptr<CChannelStorageManager> store = weak.lock();
        kept = store && Find(job->channel_id) == store.get();
        if (kept)
            store->CompleteRead(*job, on_io);
        waiting.swap(job->waiting);
    }
    const int status = !on_io ? 995 : job->read && kept ? 0 : -1;
    for (PieceReadHandler& ready : waiting)
        ready(status);
}

void CStorageManager::SetIoService(i_io_service* io)
{
    if (io) {
        m_worker.SetIoService(io);
        m_on_io.store(m_worker.Start());
        return;
    }
    m_on_io.store(false);
    m_worker.SetIoService(nullptr);
    // Every request still waiting for a piece is told now, before the
    // connections and tasks it refers to go.
    std::vector<std::shared_ptr<ReadJob>> waiting;
    {
        Guard g(*this);
        for (auto& entry : m_stores) {
            std::vector<std::shared_ptr<ReadJob>> jobs = entry.second->TakeWaitingReads();
            waiting.insert(waiting.end(), jobs.begin(), jobs.end());
        }
    }
    for (const auto& job : waiting)
        CompleteRead(std::weak_ptr<CChannelStorageManager>(), job);
    m_worker.Drain();
}

bool CStorageManager::PostBitmapSave(std::uint64_t channel_id, ICmdEvent* sink)
{
    auto bitmap = std::make_shared<std::vector<std::uint8_t>>();
    auto stored = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
    {
        Guard g(*this);
        CChannelStorageManager* store = Find(channel_id);
        if (!store)
            return false;
        *bitmap = store->Bitmap();
        *stored = store->Stored();
    }
    if (!sink)
        return true;
    std::size_t bytes = bitmap->size();
    for (const auto& t : *stored)
        bytes += t.size();
    // The save, its fsync included, happens on the worker after every
    // write of the channel posted before it.
    m_worker.Post(
        StorageWorker::Key{channel_id, StorageWorker::kWholeChannel},
        [channel_id, sink, bitmap, stored] { sink->OnBitmapSaved(channel_id, *bitmap, *stored); }, nullptr, bytes);
    return true;
}

void CStorageManager::Drain()
{
    m_worker.Drain();
}

void CStorageManager::DrainChannel(std::uint64_t channel_id)
{
    m_worker.Drain(channel_id);
}

void CStorageManager::Settle(std::uint64_t channel_id)
{
    // A mark after the channel's work: completions run in posting order,
    // so once its own has run, every earlier one of the channel has too.
    auto settled = std::make_shared<platform::Event>(platform::Event::Reset::manual);
    m_worker.Post(
        StorageWorker::Key{channel_id, StorageWorker::kWholeChannel}, nullptr, [settled] { settled->set(); }, 0);
    settled->wait();
}

void CStorageManager::SetEvent(IStorageManagerEvent* sink)
{
    CScopedLock lock(m_lock);
    m_sink = sink;
}

bool CStorageManager::GetBitmap(std::uint64_t channel_id, std::vector<std::uint8_t>& bitmap)
{
    Guard g(*this);
    bitmap.clear();
    CChannelStorageManager* store = Find(channel_id);
    if (!store)
        return false;
    bitmap = store->Bitmap();
    return true;
}

bool CStorageManager::ReadBlock(std::uint64_t channel_id, BlockRequest& req)
{
    Guard g(*this);
    CChannelStorageManager* store = Find(channel_id);
    return store && store->ReadBlock(req);
}

BlockRead CStorageManager::ReadBlockAsync(std::uint64_t channel_id, BlockRequest& req, PieceReadHandler ready,
                                          BlockFile* file)
{
    Guard g(*this);
    CChannelStorageManager* store = Find(channel_id);
    if (!store)
        return BlockRead::kRefused;
    // Without a worker completing on an I/O thread the piece is read here.
    if (!m_on_io.load())
        return store->ReadBlock(req) ? BlockRead::kServed : BlockRead::kRefused;
    return store->ReadBlock(req, ready, file);
}

bool CStorageManager::GetChannelStoreData(std::uint64_t channel_id, std::vector<std::vector<std::uint8_t>>& blocks)
{
    Guard g(*this);
    blocks.clear();
    CChannelStorageManager* store = Find(channel_id);
    if (!store)
        return false;
    blocks = store->Stored();
    return true;
}

bool CStorageManager::WriteBlock(std::uint64_t channel_id, const BlockRequest& req)
{
    // What a block hands to the disk is bounded per channel, waited for
    // here, before the lock: no other channel's block waits with it.
    m_worker.WaitRoom(channel_id);
    Guard g(*this);
    CChannelStorageManager* store = Find(channel_id);
    return store && store->WriteBlock(req);
}

std::shared_ptr<zeq::i_block_loan> CStorageManager::LendBlocks(std::uint64_t channel_id, std::int32_t piece,
                                                               std::int32_t offset, std::uint32_t blocks)
{
    m_worker.WaitRoom(channel_id);
    Guard g(*this);
    auto it = m_stores.find(channel_id);
    if (it == m_stores.end())
        return nullptr;
    BlockLease lease;
    if (!it->second->Lend(piece, offset, blocks, lease))
        return nullptr;
    return std::make_shared<StorageBlockLoan>(m_anchor, it->second, lease);
}

bool CStorageManager::CommitLent(CChannelStorageManager& store, std::uint32_t piece, std::uint32_t block,
                                 std::uint32_t resets)
{
    m_worker.WaitRoom(store.ChannelId());
    Guard g(*this);
    // A channel removed meanwhile takes nothing more.
    if (Find(store.ChannelId()) != &store) {
        store.EndLoan(piece, block, 1);
        return false;
    }
    return store.CommitLent(piece, block, resets);
}

void CStorageManager::EndLoan(CChannelStorageManager& store, std::uint32_t piece, std::uint32_t first_block,
                              std::uint32_t blocks)
{
    m_worker.WaitRoom(store.ChannelId());
    Guard g(*this);
    store.EndLoan(piece, first_block, blocks);
}

void CStorageManager::RemoveChannel(std::uint64_t channel_id)
{
    std::vector<std::shared_ptr<ReadJob>> waiting;
    {
        Guard g(*this);
        auto it = m_stores.find(channel_id);
        if (it == m_stores.end())
            return;
        waiting = it->second->TakeWaitingReads();
        m_stores.erase(it);
    }
    // Reads not started are answered as failed where completions run.
    for (const auto& job : waiting)
        m_worker.Post(
            StorageWorker::Key{channel_id, StorageWorker::kWholeChannel}, nullptr,
            [this, job] { CompleteRead(std::weak_ptr<CChannelStorageManager>(), job); }, 0);
}

void CStorageManager::SetCmdEvent(ICmdEvent* event)
{
    // Storage reports to the download manager only.
    if (event == nullptr)
        m_cmd_event = event;
}

IStorageManager* CreateStorageManager(IChannelManager* channels)
{
    return new CStorageManager(channels);
}

void DestroyStorageManager(IStorageManager* manager)
{
    delete manager;
}
