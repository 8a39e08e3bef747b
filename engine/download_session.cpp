#include "engine/download_session.h"

#include "discovery/nat_manager.h"
#include "engine/cmd_event.h"
#include "engine/engine_flags.h"
#include "engine/p2sp_engine.h"
#include "engine/i_channel_manager.h"
#include "engine/i_download_manager.h"
#include "engine/i_host_cache_manager.h"
#include "engine/i_storage_manager.h"
#include "engine/task_state_mgr.h"
#include "net/io/live_connections.h"
#include "net/io/post_function.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "platform/memory.h"
#include "platform/tick.h"
#include "report/down_data_log.h"
#include "report/log_event.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kSecondMs = 1000;
constexpr std::uint32_t kMinuteMs = 60000;
constexpr std::uint32_t kThreadJoinMs = 3000;
// The worker looks at the stop byte at least this often.
constexpr std::uint32_t kWorkerWaitMs = 200;

// Without a destroyer of their own the managers go through their
// destructors, in the stop order.
void DeleteManagers(SessionManagers& m)
{
    delete m.nat;
    delete m.download;
    // Storage's disk work writes through the channel manager.
    if (m.storage)
        m.storage->Drain();
    delete m.host_cache;
    delete m.channel;
    delete m.storage;
    m = SessionManagers();
}

void Step(int n)
{
    platform::debug_output("CDownload_Session::~CDownload_Session" + std::to_string(n) + "\n");
}

}   // namespace

CDownload_Session::CDownload_Session(const SessionManagers& managers) : m_managers(managers), m_io(new i_io_service())
{
    if (!m_managers.destroy)
        m_managers.destroy = DeleteManagers;
    m_second_timer.reset(new i_deadline_timer(*m_io));
    m_minute_timer.reset(new i_deadline_timer(*m_io));
    // Storage completes its disk work on the I/O thread.
    if (m_managers.storage)
        m_managers.storage->SetIoService(m_io.get());
    if (m_managers.download)
        m_managers.download->SetRetiredSink(&CDownload_Session::OnTaskRetired, this);
}

CDownload_Session::~CDownload_Session()
{
    LogEvent(36, "LOG::LOG_SYS_BEING_EXIT_30", 0, 0, "");
    m_stop.store(true);
    m_work.Post();
    Step(1);
    // The worker may be waiting for a stopped task's threads: joined first,
    // so that only this thread reaps from here on.
    if (m_worker_thread.joinable() && !m_worker_thread.join_for(kThreadJoinMs)) {
        platform::debug_output("CDownload_Session: worker still busy, waiting\n");
        m_worker_thread.join();
    }
    // Every task at once: each is told to stop before any is waited for.
    if (m_managers.download)
        m_managers.download->StopAllTasks();
    Step(2);
    LogEvent(37, "LOG::LOG_SYS_BEING_EXIT_31", 0, 0, "");
    m_io->set_stopped();
    m_io->stop();
    Step(3);
    if (m_io_thread.joinable() && !m_io_thread.join_for(kThreadJoinMs)) {
        platform::debug_output("CDownload_Session: I/O thread still in a handler, waiting\n");
        m_io_thread.join();
    }
    Step(4);
    // The I/O thread has ended: storage completes its work where it runs.
    if (m_managers.storage)
        m_managers.storage->SetIoService(nullptr);
    // Tasks deleted before their delete step could run: their disk work
    // has all run now, and their bitmaps are saved after it.
    std::vector<std::uint64_t> retired;
    {
        CScopedLock guard(m_retired_lock);
        retired.swap(m_retired);
    }
    for (std::uint64_t task_id : retired)
        SaveLastBitmap(task_id);
    // The I/O thread has ended, so no handler runs while connections close.
    if (m_managers.download)
        m_managers.download->CloseAllConnections(std::uint8_t{1});
    m_second_timer.reset();
    m_minute_timer.reset();
    // Operations still pending hold references to their connections; with
    // no I/O thread left they would never complete, so complete them as
    // cancelled here, while the tasks they report to still exist.
    m_io->run_abandoned();
    Step(5);
    LogEvent(38, "LOG::LOG_SYS_BEING_EXIT_32", 0, 0, "");
    m_managers.destroy(m_managers);
    // A CDN thread may have dialled between its task's stop and the I/O
    // service's: that connect's completion, queued by the thread's final
    // close, releases the connection now (it no longer reaches its task).
    m_io->run_abandoned();
    LogEvent(43, "LOG::LOG_SYS_BEING_EXIT_37", 0, 0, "");
    Step(6);
    LogEvent(44, "LOG::LOG_SYS_BEING_EXIT_38", 0, 0, "");
}

void CDownload_Session::SetCmdEvent(ICmdEvent* event)
{
    m_event.store(event);
    if (m_managers.download)
        m_managers.download->SetCmdEvent(event);
}

bool CDownload_Session::Start()
{
    if (m_started.exchange(true))
        return false;
    const bool io = m_io_thread.start([this] { m_io->run(); }, "session_io");
    const bool worker = m_worker_thread.start([this] { Worker(); }, "session_worker");
    m_second_timer->expires_from_now(kSecondMs);
    m_second_timer->async_wait(&CDownload_Session::OnSecondTimer, this);
    m_minute_timer->expires_from_now(kSecondMs);
    m_minute_timer->async_wait(&CDownload_Session::OnMinuteTimer, this);
    if (m_managers.download)
        m_managers.download->Start();
    return io && worker;
}

int CDownload_Session::Added(std::uint64_t task_id, int result)
{
    if (result == 0)
        return 0;
    PostWork(task_id);
    return result;
}

void CDownload_Session::SetIdentity(const PeerInfo& self, const std::vector<CisAddress>& cis_list)
{
    if (m_managers.download)
        m_managers.download->SetIdentity(self, cis_list);
}

int CDownload_Session::AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size,
                                       const std::string& source_folder, std::uint32_t file_count,
                                       const std::string& file_list, const std::vector<std::uint8_t>& bitmap,
                                       const std::vector<std::vector<std::uint8_t>>& piece_tables,
                                       const std::string& folder, std::uint8_t history_flag)
{
    if (!m_managers.download)
        return 0;
    return Added(task_id,
                 m_managers.download->AddTaskDownload(m_io.get(), task_id, block_size, source_folder, file_count,
                                                      file_list, bitmap, piece_tables, folder, history_flag));
}

int CDownload_Session::AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size,
                                       const std::string& source_folder, std::uint32_t file_count,
                                       const std::string& file_list, const std::string& folder)
{
    if (!m_managers.download)
        return 0;
    return Added(task_id, m_managers.download->AddTaskDownload(m_io.get(), task_id, block_size, source_folder,
                                                               file_count, file_list, folder));
}

int CDownload_Session::AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size,
                                       const std::string& source_folder, std::uint32_t file_count,
                                       const std::string& file_list)
{
    if (!m_managers.download)
        return 0;
    return Added(task_id, m_managers.download->AddTaskDownload(m_io.get(), task_id, block_size, source_folder,
                                                               file_count, file_list));
}

void CDownload_Session::PostWork(std::uint64_t task_id)
{
    {
        CScopedLock guard(m_added_lock);
        m_added.push_back(task_id);
    }
    m_work.Post();
}

void CDownload_Session::StopTask(std::uint64_t task_id)
{
    live_connections::set_running(task_id, 0);
    // Refused once the service is shut down, and dropped when cancelled at
    // the session's end: that end stops every task itself.
    post_function(*m_io, [this, task_id] { AbortTask(task_id); });
}

void CDownload_Session::AbortTask(std::uint64_t task_id)
{
    if (!m_managers.download)
        return;
    platform::debug_output("CDownload_Session::abort_task,taskid:" + std::to_string(task_id) + "\n");
    if (CDownDataLog* log = CDownDataLog::GetInstance())
        log->FinishTask(task_id);
    if (m_managers.host_cache)
        m_managers.host_cache->RemoveHostCache(task_id);
    m_managers.download->StopTask(task_id);
    {
        CScopedLock guard(m_reap_lock);
        m_reap.push_back(task_id);
    }
    m_work.Post();
}

void CDownload_Session::OnTaskRetired(void* context, std::uint64_t task_id)
{
    auto* self = static_cast<CDownload_Session*>(context);
    {
        CScopedLock guard(self->m_retired_lock);
        self->m_retired.push_back(task_id);
    }
    // The delete step raises code 11, on which the front end deletes
    // files: it runs on the worker, off the I/O thread.
    CTaskStateMgr::Instance().PushDeleted(task_id);
    self->m_work.Post();
}

int CDownload_Session::SetRateLimits(float download, float upload)
{
    if (!m_managers.download)
        return 0;
    return m_managers.download->SetRateLimits(download, upload);
}

void CDownload_Session::SetGlobalFlag(std::uint8_t on)
{
    transfer_limits::set_speed_limit_on(on != 0);
}

std::uint8_t CDownload_Session::GetRateLimits(float* download, float* upload, std::uint8_t* on)
{
    const std::uint8_t flag = transfer_limits::speed_limit_on() ? 1 : 0;
    if (download)
        *download = static_cast<float>(transfer_limits::download_limit());
    if (upload)
        *upload = static_cast<float>(transfer_limits::upload_limit());
    if (on)
        *on = flag;
    return flag;
}

void CDownload_Session::OnSecondTimer(void* context, const i_error_code& error)
{
    if (error == platform::err::operation_aborted)
        return;
    auto* self = static_cast<CDownload_Session*>(context);
    if (self->m_stop.load())
        return;
    self->SecondTick();
    self->m_second_timer->expires_from_now(kSecondMs);
    self->m_second_timer->async_wait(&CDownload_Session::OnSecondTimer, self);
}

void CDownload_Session::OnMinuteTimer(void* context, const i_error_code& error)
{
    if (error == platform::err::operation_aborted)
        return;
    auto* self = static_cast<CDownload_Session*>(context);
    if (self->m_stop.load())
        return;
    platform::trim_working_set();
    self->m_minute_timer->expires_from_now(kMinuteMs);
    self->m_minute_timer->async_wait(&CDownload_Session::OnMinuteTimer, self);
}

void CDownload_Session::SecondTick()
{
    CTaskStateMgr::Instance().Sweep();
    if (m_managers.download)
        m_managers.download->second_tick();
}

void CDownload_Session::DeleteRetiredTasks()
{
    std::uint64_t task_id = 0;
    while (!m_stop.load() && CTaskStateMgr::Instance().PopDeleted(&task_id)) {
        CTaskStateMgr::Instance().SetState(task_id, TASKSTATE_DELETED);
        platform::debug_output("CDownload_Session::ontimer_delete_task,taskid:" + std::to_string(task_id) + "\n");
        {
            CScopedLock guard(m_retired_lock);
            m_retired.erase(std::remove(m_retired.begin(), m_retired.end(), task_id), m_retired.end());
        }
        SaveLastBitmap(task_id);
        if (m_managers.channel)
            m_managers.channel->RemoveChannel(task_id);
        if (m_managers.storage) {
            m_managers.storage->RemoveChannel(task_id);
            // The task's disk work has run (the bitmap save above waited
            // for it); the save itself has run before the id can be started
            // again (it would write through the new task's channel
            // otherwise). Other tasks' disk work is not waited for.
            m_managers.storage->DrainChannel(task_id);
        }
        // Nothing of the task is left: a start on its stop event finds the
        // id free, and nothing of this task wipes the new one's state.
        CTaskStateMgr::Instance().Remove(task_id);
        if (m_managers.download)
            m_managers.download->ReleaseRetired(task_id);
        if (ICmdEvent* event = m_event.load())
            event->OnTaskStop(task_id);
    }
}

void CDownload_Session::SaveLastBitmap(std::uint64_t task_id)
{
    // The save the task posted as it went copied its tables then; writes
    // of its channel queued before still reach the disk and are checked
    // after that copy. This one follows them, so a resume finds in the
    // bitmap every piece verified on disk.
    ICmdEvent* event = m_event.load();
    if (!m_managers.storage || !event)
        return;
    m_managers.storage->Settle(task_id);
    m_managers.storage->PostBitmapSave(task_id, event);
}

void CDownload_Session::Worker()
{
    while (!m_stop.load()) {
        if (!m_work.Wait(kWorkerWaitMs))
            continue;
        if (m_stop.load())
            break;
        std::uint64_t task_id = 0;
        {
            CScopedLock guard(m_added_lock);
            if (!m_added.empty()) {
                task_id = m_added.front();
                m_added.pop_front();
            }
        }
        if (task_id != 0 && m_managers.download)
            PrepareFiles(task_id);
        ReapStoppedTasks();
        DeleteRetiredTasks();
    }
}

void CDownload_Session::ReapStoppedTasks()
{
    // A task whose add is still queued is reaped only after its files were
    // prepared (or its preparation gave up on the stop): reaped first, it
    // would be deleted and its stop event raised, and the preparation would
    // then find no task and report a failure, and stop a task started
    // again under the id.
    std::deque<std::uint64_t> later;
    for (;;) {
        std::uint64_t stopped = 0;
        {
            CScopedLock reap(m_reap_lock);
            if (m_reap.empty())
                break;
            stopped = m_reap.front();
            m_reap.pop_front();
        }
        bool queued = false;
        {
            CScopedLock added(m_added_lock);
            queued = std::find(m_added.begin(), m_added.end(), stopped) != m_added.end();
        }
        if (queued)
            later.push_back(stopped);
        else
            m_managers.download->ReapTask(stopped);
    }
    if (later.empty())
        return;
    // The queued add's own wake brings the worker back to them.
    CScopedLock reap(m_reap_lock);
    m_reap.insert(m_reap.begin(), later.begin(), later.end());
}

void CDownload_Session::PrepareFiles(std::uint64_t task_id)
{
    // The long part (files made and sized, the pieces a resumed task's
    // tables hold read back and hashed: seconds for a big task) runs with
    // the I/O thread going, so no other task's transfers wait for it. A
    // stop of the task or of the session ends it between two pieces.
    if (m_managers.channel) {
        const auto stopped = [this, task_id] {
            return m_stop.load() || engine_flags::shutting_down() || live_connections::running(task_id) == 0;
        };
        if (m_managers.channel->CheckChannelFiles(task_id, stopped) == ChannelCheck::kCancelled) {
            platform::debug_output("CDownload_Session: task " + std::to_string(task_id) +
                                   " stopped while its files were checked\n");
            return;
        }
    }
    // What is left hands the tables to storage and the task, which the I/O
    // thread's handlers use: it runs with that thread parked.
    const bool paused = m_io->pause();
    const int prepared = m_managers.download->PrepareTaskFiles(task_id);
    if (paused)
        m_io->restart();
    if (prepared != 0) {
        // A failure reported before is over.
        if (ICmdEvent* event = m_event.load())
            event->OnTaskInfo(task_id, "", task_info_storage_works, 0, 0, 0);
        return;
    }
    // Taken before the stop removes the channel.
    const std::string reason = m_managers.channel ? m_managers.channel->PrepareError(task_id) : std::string();
    StopTask(task_id);
    if (ICmdEvent* event = m_event.load()) {
        // Why, for the front end's log: a folder it cannot write, say.
        if (!reason.empty())
            event->OnErrorOutput(("task " + std::to_string(task_id) + ": " + reason + "\n").c_str());
        event->OnTaskInfo(task_id, reason.c_str(), task_info_prepare_failed, 0, 0, 0);
    }
}
