// Construction, destruction, the one-second tick, the timers and the
// counters of a download task. Peer scheduling is in task_scheduling.cpp,
// the CIS reply in task_cis_reply.cpp.
#include "engine/download_task.h"

#include "discovery/lan_peer_discovery.h"
#include "picker/block_request_map.h"
#include "engine/cdn_thread.h"
#include "engine/cmd_event.h"
#include "engine/p2sp_engine.h"
#include "engine/engine_flags.h"
#include "engine/i_channel_manager.h"
#include "engine/i_host_cache_manager.h"
#include "engine/i_storage_manager.h"
#include "engine/task_state_mgr.h"
#include "net/io/iocp_io_service.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/tick.h"
#include "report/down_data_log.h"
#include "report/log_event.h"
#include "platform/invariant.h"

#include <algorithm>
#include <string>
#include <utility>

namespace {

std::atomic<CDownload_Task::seconds_source> g_seconds_source{nullptr};

// A tick stamp that is never 0, which stands for "not yet".
std::uint32_t StampTick()
{
    const std::uint32_t now = platform::tick_count();
    return now == 0 ? 1 : now;
}

std::uint32_t Low(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v);
}
std::uint32_t High(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v >> 32);
}

}   // namespace

CDownload_Task::CDownload_Task(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                               const std::string& root_folder, IDownloadTaskOwner* owner)
    : m_owner(owner),
      m_cis(std::make_unique<CCisConnectionEx>()),
      m_task_id(task_id),
      m_piece_size(piece_size),
      m_root_folder(root_folder),
      m_io(io),
      m_last_bitmap_tick(platform::tick_count()),
      m_last_vpeer_check(Now()),
      m_last_peer_list_check(Now()),
      m_self(std::make_shared<CDownload_Task*>(this))
{
    live_connections::set(m_task_id, 1, 0);
    LogEvent(9, "LOG::LOG_TASK_START", Low(m_task_id), High(m_task_id), "%I64d", m_task_id);

    m_connections = std::make_unique<CTaskConnections>(this);
    m_cis->SetEventSink(this);
    ResetPeerTypeCounters();

    if (CLanPeerDiscovery* lan = CLanPeerDiscovery::GetInstance())
        lan->AddTask(m_task_id);
    CTaskStateMgr::Instance().SetState(m_task_id, TASKSTATE_CREATED);

    // Neither thread runs yet: a task loaded finished only seeds, which
    // needs neither. The timers start with the download (StartTimers), the
    // CDN thread once there are HTTP peers to fetch from (StartHttpWork).
    m_cdn_thread = std::make_unique<CCdnThread>(this);
    m_cdn_wake = m_cdn_thread->WakeEvent();
    m_timer.SetEventSink(this);
}

CDownload_Task::~CDownload_Task()
{
    *m_self = nullptr;
    m_stopping.store(true);
    // Its destructor lets go of the connections it still holds.
    m_cdn_thread.reset();
    if (CLanPeerDiscovery* lan = CLanPeerDiscovery::GetInstance())
        lan->RemoveTask(m_task_id);
    CloseAllConnections();
    m_timer.Stop();

    if (!m_complete.load()) {
        if (ICmdEvent* sink = GetCmdEvent())
            sink->OnTaskInfo(m_task_id, "", 10, m_peer_bytes.load(), m_peer2_bytes.load(), m_http_bytes.load());
        if (engine_flags::progress_every_second()) {
            SaveBitmap();
            ReportProgress();
        }
    }

    // Already reaped when the task stopped; at session end, the manager
    // reaped it as well, so these joins find the threads ended.
    m_cis->StopLogon();
    m_cis.reset();
    m_connections.reset();
    delete m_picker.exchange(nullptr);
    m_vpeers.clear();
    LogEvent(10, "LOG::LOG_TASK_STOP", Low(m_task_id), High(m_task_id), "%I64d", m_task_id);
}

// ---- Set-up ----

void CDownload_Task::ResetPeerTypeCounters()
{
    for (std::size_t i = 0; i < m_type_counters.size(); ++i) {
        m_type_counters[i].peer_type = static_cast<std::uint8_t>(i);
        m_type_counters[i].downloaded.store(0);
        m_type_counters[i].uploaded.store(0);
        m_type_counters[i].added = 0;
    }
}

void CDownload_Task::FinishStart(bool loaded_complete)
{
    if (!loaded_complete)
        StartTimers();
    if (IHostCacheManager* hosts = m_owner ? m_owner->GetHostCacheManager() : nullptr)
        hosts->AddHostCache(m_task_id);
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnTaskRun(m_task_id, 0);
}

bool CDownload_Task::Start(std::uint32_t file_count, const std::string& file_list, const std::string& save_path)
{
    ResetPeerTypeCounters();
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    const bool added = channels && channels->AddChannel(m_task_id, static_cast<std::int32_t>(m_piece_size),
                                                        m_root_folder, file_count, file_list, save_path);
    // Without a channel the task has no storage: it is not run.
    if (added)
        FinishStart(false);
    return added;
}

bool CDownload_Task::Start(std::uint32_t file_count, const std::string& file_list)
{
    ResetPeerTypeCounters();
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    const bool added = channels && channels->AddChannel(m_task_id, static_cast<std::int32_t>(m_piece_size),
                                                        m_root_folder, file_count, file_list);
    // Without a channel the task has no storage: it is not run.
    if (added)
        FinishStart(false);
    return added;
}

bool CDownload_Task::Start(std::uint32_t file_count, const std::string& file_list,
                           const std::vector<std::uint8_t>& bitmap,
                           const std::vector<std::vector<std::uint8_t>>& blocks, const std::string& save_path,
                           std::uint8_t history_flag)
{
    ResetPeerTypeCounters();
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    const bool added = channels &&
                       channels->AddChannel(m_task_id, static_cast<std::int32_t>(m_piece_size), m_root_folder,
                                            file_count, file_list, bitmap, blocks, save_path, history_flag);
    // Without a channel the task has no storage: it is not run. A task
    // whose tables hold every piece only seeds; should the check of its
    // files find a piece missing, storage readiness starts its timers.
    const bool every_piece = !bitmap.empty() &&
                             std::all_of(bitmap.begin(), bitmap.end(), [](std::uint8_t b) { return b != 0; });
    if (added)
        FinishStart(every_piece);
    return added;
}

bool CDownload_Task::PrepareFiles()
{
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    return channels && channels->PrepareChannelFiles(m_task_id);
}

void CDownload_Task::OnStorageReady(const std::vector<std::uint8_t>& bitmap,
                                    const std::vector<std::vector<std::uint8_t>>& blocks,
                                    const std::vector<std::uint32_t>& piece_lengths)
{
    if (m_picker.load())
        return;
    std::uint32_t total = 0;
    for (const auto& piece : blocks)
        total += static_cast<std::uint32_t>(piece.size());
    auto* picker = new CBlockRequestMap(blocks, bitmap, piece_lengths);
    CBlockRequestMap* expected = nullptr;
    if (!m_picker.compare_exchange_strong(expected, picker)) {
        // Storage raced itself with a second report: the first one stands.
        delete picker;
        return;
    }
    m_total_blocks.fetch_add(total);
    // The first peer-list request goes out as soon as there is somewhere to
    // store what peers send, not at the next tick. It is stamped before the
    // task reads as ready: from then on only the I/O thread's tick, which
    // runs ready tasks alone, touches the stamp.
    // Until the index servers tell there are no peers, peers may come: the
    // origin's first runs are kept few, so that co-downloaders starting
    // together do not each ask it for much of the file at once.
    picker->SetSelfId(GetSelfPeerInfo().clientid);
    picker->SetPeersExpected(engine_flags::index_servers_usable());
    if (m_last_request_tick == 0 && !m_stopping.load()) {
        RequestPeerList();
        m_last_request_tick = StampTick();
    }
    if (!picker->IsDownloadComplete())
        StartTimers();
    m_ready.store(true);
}

void CDownload_Task::OnPieceChecked(std::uint32_t piece, std::uint8_t result)
{
    std::vector<std::uint64_t> blamed;
    if (result == 1)
        m_conduct.PiecePassed(std::int32_t(piece));
    else
        blamed = m_conduct.PieceFailed(std::int32_t(piece), platform::tick_count());
    if (m_connections)
        m_connections->OnPieceChecked(piece, result, blamed);
    if (result != 1 || m_stopping.load())
        return;
    // The last piece to pass its check completes the task now, as the
    // next tick would.
    CheckChannelVerified();
    CBlockRequestMap* picker = GetPiecePicker();
    if (!m_complete.load() && picker && picker->IsDownloadComplete())
        OnDownloadComplete();
}

void CDownload_Task::IncStorageCounter()
{
    if (CountStoredBlock())
        ReportStorageWorks();
}

bool CDownload_Task::CountStoredBlock()
{
    m_stored_blocks.fetch_add(1);
    if (!m_write_failing.load() || !m_write_failing.exchange(false))
        return false;
    m_write_backoff_ms.store(0);
    return true;
}

void CDownload_Task::ReportStorageWorks()
{
    TextOutput("task " + std::to_string(m_task_id) + ": writing to its files works again\n");
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnTaskInfo(m_task_id, "", task_info_storage_works, 0, 0, 0);
}

void CDownload_Task::OnStorageError(const std::string& text)
{
    const std::uint32_t now = platform::tick_count();
    CBlockRequestMap* picker = GetPiecePicker();
    // Blocks asked for now would be thrown away as they arrive. Only the
    // failure that pauses the picker sets the retry: blocks still arriving
    // from before fail as well and must not push it further.
    if (picker && !picker->IsPaused()) {
        picker->SetPaused(true);
        const std::uint32_t last = m_write_backoff_ms.load();
        const std::uint32_t backoff = last == 0 ? kWriteRetryFirstMs : std::min(last * 2, kWriteRetryMaxMs);
        m_write_backoff_ms.store(backoff);
        m_write_retry_tick.store(now + backoff);
    }
    if (m_write_failing.exchange(true))
        return;
    // The front end shows it while the task cannot store, however seldom
    // the line below is written.
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnTaskInfo(m_task_id, text.c_str(), task_info_storage_failing, 0, 0, 0);
    // Writes that fail and succeed by turns (a disk at the edge of full)
    // are reported now and then, not at each turn.
    const std::uint32_t reported = m_write_report_tick.load();
    if (reported != 0 && now - reported < kWriteReportGapMs)
        return;
    m_write_report_tick.store(StampTick());
    const std::string line = "task " + std::to_string(m_task_id) + ": " + text +
                             "; no more data is asked for until writing works again (next try in " +
                             std::to_string(m_write_backoff_ms.load() / 1000) + " s)\n";
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnErrorOutput(line.c_str());
}

// The pause after a failed write is over: blocks are asked for again, and
// the first write shows whether there is room now.
void CDownload_Task::RetryStorage()
{
    CBlockRequestMap* picker = GetPiecePicker();
    if (!picker || !picker->IsPaused() || !platform::tick_reached(platform::tick_count(), m_write_retry_tick.load()))
        return;
    platform::debug_output("CDownload_Task: task " + std::to_string(m_task_id) + " tries writing again\n");
    picker->SetPaused(false);
}

// ---- Threads ----

void CDownload_Task::StartTimers()
{
    if (m_stopping.load() || m_finished.load() || m_timers_started.exchange(true))
        return;
    // Both timers are due at once.
    m_timer.AddTimer(kTimerHttp, kTimerHttpMs, reinterpret_cast<std::uintptr_t>(this));
    m_timer.AddTimer(kTimerLan, kTimerLanMs, reinterpret_cast<std::uintptr_t>(this));
    // A stop or the finish that came meanwhile may have missed the timers.
    if (m_stopping.load() || m_finished.load())
        m_timer.RequestStop();
}

void CDownload_Task::StartHttpWork()
{
    // Starts and stops of the CDN thread all run on the I/O thread. A
    // thread already told to stop (the task's stop or finish) stays down.
    if (!m_cdn_started && !m_stopping.load() && !m_complete.load() && !m_cdn_thread->IsStopping() &&
        m_http_peers.GetCount() > 0) {
        m_cdn_started = true;
        m_cdn_thread->Start();
    }
    WakeCdnThread();
}

// ---- Stopping ----

void CDownload_Task::StopTimers()
{
    m_timers_started.store(true);   // none are added from now on
    // The I/O thread never waits for the timer thread (timer 1 may be in
    // the CDN query): it only asks. The call under way finishes on its own
    // (the query ends once the task stops) and ReapThreads waits for it.
    if (m_io && m_io->impl().on_io_thread())
        m_timer.RequestStop();
    else
        m_timer.Stop();
}

void CDownload_Task::NoteBlockSupplier(std::int32_t piece, const PeerInfo& peer)
{
    m_conduct.NoteSupplier(piece, peer);
}

void CDownload_Task::NotePeerLate(const PeerInfo& peer)
{
    m_conduct.NoteLate(peer, platform::tick_count());
}

bool CDownload_Task::IsPeerBarred(const PeerInfo& peer) const
{
    return m_conduct.IsBarred(peer, platform::tick_count());
}

void CDownload_Task::CloseAllConnections()
{
    if (m_connections)
        m_connections->CloseAll();
}

void CDownload_Task::CloseAllConnectionsNoFlag()
{
    if (m_connections)
        m_connections->CloseAllNoFlag(0);
}

void CDownload_Task::MarkStopping()
{
    if (m_stopping.exchange(true))
        return;
    // Each part is only told here; ReapThreads waits for them elsewhere.
    if (m_cdn_thread)
        m_cdn_thread->Stop();
    m_timer.RequestStop();
    // A stopping task takes no new connections.
    CloseAllConnections();
}

void CDownload_Task::ReapThreads()
{
    // Only a stopping task's threads end by themselves.
    if (!m_stopping.load() || m_reaped.load())
        return;
    if (m_cdn_thread)
        m_cdn_thread->Join();
    m_timer.Stop();
    // Joins the logon thread, which may be inside the reply handling
    // resolving names: the reason this never runs on the I/O thread.
    m_cis->StopLogon();
    m_reaped.store(true);
}

bool CDownload_Task::IsStopFinished()
{
    // Connections reach the task through plain pointers until they are
    // destroyed, so the task lives until the last one has gone: closed,
    // each goes once its cancelled operations have completed.
    return m_stopping.load() && m_reaped.load() && live_connections::count(m_task_id) == 0;
}

// ---- Timers ----

bool CDownload_Task::OnTimer(std::uint32_t timer_id, std::uintptr_t param)
{
    (void)param;
    bool keep = true;
    if (m_stopping.load() || m_finished.load()) {
        // A stopping or finished task has no use for either timer.
        keep = false;
    } else if (timer_id == kTimerHttp) {
        auto& limit = transfer_limits::http_connection_limit();
        std::int32_t current = limit.load();
        while (current < 1 && !limit.compare_exchange_weak(current, 1)) {
        }
        if (!m_complete.load() && !m_stopping.load() && live_connections::running(m_task_id) != 0)
            OnTimerHttp();
    } else if (timer_id == kTimerLan) {
        if (CLanPeerDiscovery* lan = CLanPeerDiscovery::GetInstance())
            lan->SendQuery(m_task_id);
    }
    return keep;
}

bool CDownload_Task::CdnQueryDue(std::uint32_t now) const
{
    return m_cdn_query_pause_ms == 0 || platform::tick_reached(now, m_next_cdn_query_tick);
}

void CDownload_Task::NoteCdnQuery(std::uint32_t now, bool gave_peers)
{
    if (gave_peers) {
        m_cdn_query_pause_ms = 0;
        return;
    }
    // A query server that is down or names nothing is asked less and less
    // often, at most every kCdnQueryMaxPauseMs.
    const std::uint32_t last = m_cdn_query_pause_ms;
    const std::uint32_t pause = last == 0 ? 2000 : std::min(last * 2, kCdnQueryMaxPauseMs);
    m_cdn_query_pause_ms = pause;
    m_next_cdn_query_tick = now + pause;
}

void CDownload_Task::OnTimerHttp()
{
    const std::uint32_t now = platform::tick_count();
    if (m_http_peers.GetCount() == 0 && CdnQueryDue(now))
        NoteCdnQuery(now, try_cdn_download());
    // While storage cannot write, connections would only be opened to be
    // closed again with nothing to ask for.
    CBlockRequestMap* picker = GetPiecePicker();
    if (!m_stopping.load() && !(picker && picker->IsPaused()))
        ConnectHttpPeers();
}

std::uint32_t CDownload_Task::CdnQueryPauseMs() const
{
    return m_cdn_query_pause_ms;
}

// ---- The one-second tick ----

void CDownload_Task::Run()
{
    // A stopping task schedules nothing more; it is about to go.
    if (m_stopping.load())
        return;
    check_invariant();
    CheckChannelVerified();
    RetryStorage();

    if (std::exchange(m_report_once, false) && !engine_flags::progress_every_second())
        ReportProgress();

    const PeerInfo self = GetSelfPeerInfo();
    const std::uint32_t ref_ip = self.publicip;

    if (!m_finished.load())
        OnTimerCheckToGetPeerList();

    if (m_complete.load()) {
        SeedingPass(ref_ip);
        return;
    }

    if (m_last_request_tick == 0) {
        RequestPeerList();
        m_last_request_tick = StampTick();
    }
    CBlockRequestMap* picker = GetPiecePicker();
    if (picker && picker->IsDownloadComplete()) {
        OnDownloadComplete();
    } else {
        ConnectLanPeers();
        OnTimerCheckToConnectVpeerList();
        m_downloaded = true;
        ConnectHostsWhileDownloading(ref_ip);
        const std::uint32_t now = platform::tick_count();
        // The first save comes at the first tick with storage ready: from
        // then on a kill always leaves a bitmap to resume from, and what was
        // written after it is found on disk again.
        if ((picker && !m_bitmap_saved) || now - m_last_bitmap_tick >= kBitmapSaveMs) {
            m_bitmap_saved = picker != nullptr;
            SaveBitmap();
            m_last_bitmap_tick = now;
            if (!engine_flags::progress_every_second())
                ReportProgress();
        }
    }
    if (engine_flags::progress_every_second())
        ReportProgress();
}

void CDownload_Task::CheckChannelVerified()
{
    if (m_finished.load() || !m_owner)
        return;
    IChannelManager* channels = m_owner->GetChannelManager();
    if (!channels || !channels->IsChannelVerified(m_task_id))
        return;
    // The tick and a piece check may both get here, the first one reports.
    if (m_finished.exchange(true))
        return;
    // A finished task only seeds: its timer and CDN threads end now, not
    // when the task is stopped.
    StopTimers();
    m_cdn_thread->Stop();
    channels->CloseChannelFiles(m_task_id);
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnTaskCompleted(m_task_id);
    if (CDownDataLog* log = CDownDataLog::GetInstance())
        log->FinishTask(m_task_id);
    CTaskStateMgr::Instance().SetState(m_task_id, TASKSTATE_RUNNING);
}

void CDownload_Task::OnDownloadComplete()
{
    if (m_complete.exchange(true))
        return;
    CTaskStateMgr::Instance().SetState(m_task_id, TASKSTATE_RUNNING);
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    const std::string folder = channels ? channels->GetChannelFolder(m_task_id) : std::string();
    SaveBitmap();
    if (ICmdEvent* sink = GetCmdEvent()) {
        if (!m_downloaded)
            sink->OnTaskInfo(m_task_id, folder.c_str(), 9, 0, 0, 0);
        else
            sink->OnTaskInfo(m_task_id, folder.c_str(), 0, m_peer_bytes.load(), m_peer2_bytes.load(),
                             m_http_bytes.load());
    }
    ReportProgress();
}

void CDownload_Task::ReportProgress()
{
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    if (!channels)
        return;
    const std::uint64_t total = channels->GetChannelTotalSize(m_task_id);
    std::uint32_t verified = 0;
    std::uint32_t pieces = 0;
    double fraction = 0.0;
    if (channels->GetVerifyProgress(m_task_id, &verified, &pieces) && pieces != 0)
        fraction = static_cast<double>(verified) / static_cast<double>(pieces);
    const std::uint64_t downloaded =
        verified == pieces && pieces != 0 ? total : static_cast<std::uint64_t>(fraction * static_cast<double>(total));
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnDownloadProgress(m_task_id, downloaded, total);
    const std::uint32_t low = static_cast<std::uint32_t>(downloaded);
    if (static_cast<std::int64_t>(low) > m_highest_progress) {
        m_highest_progress = low;
        LogEvent(13, "LOG::LOG_DOWN_RATE", Low(m_task_id), High(m_task_id), "%u", low);
    }
}

void CDownload_Task::SaveBitmap()
{
    IStorageManager* storage = m_owner ? m_owner->GetStorageManager() : nullptr;
    if (!storage || !m_picker.load())
        return;
    // Written (and flushed to disk) on storage's thread, never here.
    if (ICmdEvent* sink = GetCmdEvent())
        storage->PostBitmapSave(m_task_id, sink);
}

void CDownload_Task::OnTimerCheckToGetPeerList()
{
    if (!m_connections || m_connections->GetCount() > 3)
        return;
    const std::int64_t now = Now();
    const std::int64_t last = m_last_peer_list_check;
    if (now < last || now - last <= 30)
        return;
    m_last_peer_list_check = now;
    platform::debug_output("CDownload_Task::OnTimerCheckToGetPeerList call");
    RequestPeerList();
}

// ---- Counters ----

CDownload_Task::PeerTypeCounter* CDownload_Task::CounterOf(std::uint8_t peer_type)
{
    return peer_type < m_type_counters.size() ? &m_type_counters[peer_type] : nullptr;
}

bool CDownload_Task::GetPeerTypeCounts(std::uint8_t peer_type, PeerTypeCounts& out) const
{
    if (peer_type >= m_type_counters.size())
        return false;
    const PeerTypeCounter& c = m_type_counters[peer_type];
    out.peer_type = c.peer_type;
    out.blocks_downloaded = c.downloaded.load();
    out.blocks_uploaded = c.uploaded.load();
    out.connections_added = c.added;
    return true;
}

void CDownload_Task::AddDownloadedBlockByPeerType(std::uint8_t peer_type)
{
    std::uint32_t zero = 0;
    m_first_data_tick.compare_exchange_strong(zero, StampTick());
    if (PeerTypeCounter* c = CounterOf(peer_type))
        c->downloaded.fetch_add(1);
}

void CDownload_Task::AddUploadedBlockByPeerType(std::uint8_t peer_type)
{
    if (PeerTypeCounter* c = CounterOf(peer_type))
        c->uploaded.fetch_add(1);
}

void CDownload_Task::AddPeerDownloadBytes(std::uint32_t bytes)
{
    m_received_bytes.fetch_add(bytes);
    m_peer_bytes.fetch_add(bytes);
    if (CDownDataLog* log = CDownDataLog::GetInstance())
        log->AddPeerBytes(m_task_id, bytes);
}

void CDownload_Task::AddPeerType2DownloadBytes(std::uint32_t bytes)
{
    m_received_bytes.fetch_add(bytes);
    m_peer2_bytes.fetch_add(bytes);
    if (CDownDataLog* log = CDownDataLog::GetInstance())
        log->AddType2PeerBytes(m_task_id, bytes);
}

void CDownload_Task::AddHttpDownloadBytes(std::uint32_t bytes)
{
    m_received_bytes.fetch_add(bytes);
    m_http_bytes.fetch_add(bytes);
    if (CDownDataLog* log = CDownDataLog::GetInstance())
        log->AddHttpBytes(m_task_id, bytes);
}

float CDownload_Task::SampleDownloadSpeed(std::uint32_t now)
{
    // What came between the oldest sample kept and now, over the time that
    // really passed: a late tick neither inflates nor hides a second, and
    // a stall reads 0 as soon as it covers the window.
    const std::size_t slots = m_speed_bytes.size();
    const std::size_t at = m_speed_samples % slots;
    m_speed_bytes[at] = m_received_bytes.load();
    m_speed_ticks[at] = now;
    ++m_speed_samples;
    if (m_speed_samples < 2)
        return 0.0f;
    const std::size_t oldest = m_speed_samples < slots ? 0 : m_speed_samples % slots;
    const std::uint32_t elapsed = now - m_speed_ticks[oldest];
    if (elapsed == 0)
        return 0.0f;
    return float(double(m_speed_bytes[at] - m_speed_bytes[oldest]) * 1000.0 / double(elapsed));
}

void CDownload_Task::AddHttpDownloadTotal(std::uint32_t bytes)
{
    m_http_total.fetch_add(bytes);
}

void CDownload_Task::GetDownloadBytes(std::uint32_t& peer, std::uint32_t& peer2, std::uint32_t& http) const
{
    peer = m_peer_bytes.load();
    peer2 = m_peer2_bytes.load();
    http = m_http_bytes.load();
}

void CDownload_Task::TakeReleaseRequest()
{
    std::uint32_t current = m_release_requests.load();
    while (current > 0 && !m_release_requests.compare_exchange_weak(current, current - 1)) {
    }
}

// ---- Owner access ----

ICmdEvent* CDownload_Task::GetCmdEvent()
{
    return m_owner ? m_owner->GetCmdEvent() : nullptr;
}

PeerInfo CDownload_Task::GetSelfPeerInfo()
{
    return m_owner ? m_owner->GetSelfPeerInfo() : PeerInfo{};
}

bool CDownload_Task::GetFileNameForBlock(std::int32_t piece, std::string& name, std::int32_t& piece_in_file)
{
    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    piece_in_file = 0;
    name.clear();
    if (!channels)
        return false;
    name = channels->GetFileNameForBlock(m_task_id, piece, &piece_in_file);
    return !name.empty();
}

void CDownload_Task::RemoveConnection(int socket)
{
    if (m_connections)
        m_connections->RemoveConnection(socket);
}

void CDownload_Task::TextOutput(const std::string& text)
{
    if (ICmdEvent* sink = GetCmdEvent())
        sink->OnTextOutput(text.c_str());
}

// ---- Clock ----

std::int64_t CDownload_Task::Now()
{
    if (seconds_source source = g_seconds_source.load())
        return source();
    return platform::unix_time();
}

void CDownload_Task::SetSecondsSource(seconds_source source)
{
    g_seconds_source.store(source);
}

void CDownload_Task::check_invariant() const
{
#if defined(VR_INVARIANTS)
    VR_INVARIANT(!m_ready.load() || m_picker.load() != nullptr);
    VR_INVARIANT(m_connected_peers.size() <= kMaxConnectedPeers);
#endif
}
