#include "engine/download_manager.h"

#include "engine/cmd_event.h"
#include "engine/download_task.h"
#include "engine/engine_flags.h"
#include "engine/i_channel_manager.h"
#include "engine/i_host_cache_manager.h"
#include "engine/task_state_mgr.h"
#include "net/io/live_connections.h"
#include "net/io/post_function.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "platform/invariant.h"

#include <cfloat>
#include <exception>
#include <sstream>
#include <utility>

// Keeps a task alive while it is used outside the task-map lock: a pinned
// task is not deleted by second_tick (it waits for a later tick).
class CDownload_Manager::PinnedTask {
public:
    PinnedTask(CDownload_Manager& manager, std::uint64_t task_id) : m_manager(manager), m_task_id(task_id)
    {
        CScopedLock guard(m_manager.m_lock);
        auto it = m_manager.m_tasks.find(task_id);
        if (it != m_manager.m_tasks.end()) {
            m_task = it->second;
            ++m_manager.m_pins[task_id];
        }
    }
    ~PinnedTask()
    {
        if (m_task)
            m_manager.Unpin(m_task_id);
    }
    PinnedTask(const PinnedTask&) = delete;
    PinnedTask& operator=(const PinnedTask&) = delete;

    CDownload_Task* get() const { return m_task; }

private:
    CDownload_Manager& m_manager;
    std::uint64_t m_task_id;
    CDownload_Task* m_task = nullptr;
};

IDownload_Manager* CreateDownloadManager(const PeerInfo& self, const std::vector<CisAddress>& addresses,
                                         IChannelManager* channels, IStorageManager* storage,
                                         IHostCacheManager* host_cache, INatManager* nat)
{
    try {
        return new CDownload_Manager(self, addresses, channels, storage, host_cache, nat);
    } catch (const std::exception&) {
        return nullptr;
    }
}

void DestroyDownloadManager(IDownload_Manager* manager)
{
    delete manager;
}

CDownload_Manager::CDownload_Manager(const PeerInfo& self, const std::vector<CisAddress>& addresses,
                                     IChannelManager* channels, IStorageManager* storage, IHostCacheManager* host_cache,
                                     INatManager* nat)
    : m_channels(channels),
      m_storage(storage),
      m_host_cache(host_cache),
      m_nat(nat),
      m_addresses(addresses),
      m_self(self),
      m_download_rate(FLT_MAX),
      m_upload_rate(FLT_MAX)
{
    m_listen_port.store(engine_flags::listen_port());
    if (m_storage)
        m_storage->SetEvent(this);
}

CDownload_Manager::~CDownload_Manager()
{
    task_map tasks;
    {
        CScopedLock guard(m_lock);
        tasks.swap(m_tasks);
        m_pins.clear();
        m_retire_pending.clear();
    }
    // No connection that goes from now on reaches this manager.
    for (auto& entry : tasks)
        live_connections::set_zero_hook(entry.first, nullptr, nullptr);
    for (auto& entry : tasks)
        delete entry.second;
    if (m_storage)
        m_storage->SetEvent(nullptr);
}

void CDownload_Manager::SetCmdEvent(ICmdEvent* event)
{
    ICmdEvent* expected = nullptr;
    if (!event || !m_event.compare_exchange_strong(expected, event))
        return;
    if (m_channels)
        m_channels->SetCmdEvent(event);
    if (m_storage)
        m_storage->SetCmdEvent(event);
    if (m_host_cache)
        m_host_cache->SetCmdEvent(event);
}

PeerInfo CDownload_Manager::GetSelfPeerInfo()
{
    std::lock_guard<std::mutex> guard(m_identity_lock);
    return m_self;
}

std::vector<CisAddress> CDownload_Manager::GetCisList()
{
    std::lock_guard<std::mutex> guard(m_identity_lock);
    return m_addresses;
}

void CDownload_Manager::SetIdentity(const PeerInfo& self, const std::vector<CisAddress>& addresses)
{
    {
        std::lock_guard<std::mutex> guard(m_identity_lock);
        m_self = self;
        m_addresses = addresses;
    }
    if (m_nat)
        m_nat->SetSelf(self);
}

bool CDownload_Manager::Start()
{
    if (!m_nat)
        return true;
    std::uint16_t port = m_listen_port.load();
    const bool started = m_nat->Start(&port, GetSelfPeerInfo(), this);
    // The NAT server writes back the port it bound.
    if (started)
        m_listen_port.store(port);
    return started;
}

int CDownload_Manager::ReportDuplicate(std::uint64_t task_id)
{
    const std::string folder = m_channels ? m_channels->GetChannelFolder(task_id) : std::string();
    if (ICmdEvent* sink = m_event.load())
        sink->OnTaskInfo(task_id, folder.c_str(), 1, 0, 0, 0);
    return 0;
}

template <typename StartFn>
int CDownload_Manager::AddTask(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                               const std::string& root_folder, const std::string& line, StartFn start)
{
    bool duplicate = false;
    {
        // The id is reserved while its task is built, so a second add of the
        // same id is a duplicate at once and never builds a task of its own.
        CScopedLock guard(m_lock);
        duplicate = m_tasks.count(task_id) != 0 || m_retiring.count(task_id) != 0 || !m_adding.insert(task_id).second;
    }
    if (duplicate)
        return ReportDuplicate(task_id);
    if (io)
        m_io.store(io);

    CDownload_Task* task = nullptr;
    try {
        task = new CDownload_Task(io, task_id, piece_size, root_folder, this);
    } catch (const std::exception& e) {
        {
            CScopedLock guard(m_lock);
            m_adding.erase(task_id);
        }
        // The session still asks for the task's files, which fails and
        // reports the task as not started.
        ErrorOutput("CDownload_Manager::AddTaskDownload: task " + std::to_string(task_id) +
                    " could not be created: " + e.what() + "\n");
        return 1;
    }
    platform::debug_output(line);
    TextOutput(line);
    const bool started = start(*task);

    CScopedLock guard(m_lock);
    m_adding.erase(task_id);
    m_tasks.emplace(task_id, task);
    // A task without a channel of its own must not run: it is in the map
    // so that the caller's stop tears it down as any other.
    return started ? 1 : 0;
}

namespace {

std::string AddLine(const char* what, std::uint64_t task_id, std::uint32_t piece_size, std::uint32_t file_count)
{
    std::ostringstream line;
    line << "CDownload_Manager::AddTaskDownload:" << what << ": task_id-" << task_id << ",piece_size-" << piece_size
         << ",file_count-" << file_count;
    return line.str();
}

}   // namespace

int CDownload_Manager::AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                                       const std::string& root_folder, std::uint32_t file_count,
                                       const std::string& file_list, const std::vector<std::uint8_t>& bitmap,
                                       const std::vector<std::vector<std::uint8_t>>& blocks,
                                       const std::string& save_path, std::uint8_t history_flag)
{
    const std::string line = AddLine("添加一个历史任务", task_id, piece_size, file_count) + "\n";
    return AddTask(io, task_id, piece_size, root_folder, line, [&](CDownload_Task& task) {
        return task.Start(file_count, file_list, bitmap, blocks, save_path, history_flag);
    });
}

int CDownload_Manager::AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                                       const std::string& root_folder, std::uint32_t file_count,
                                       const std::string& file_list, const std::string& save_path)
{
    const std::string line = AddLine("添加一个任务", task_id, piece_size, file_count) + ",savepath-" + save_path + "\n";
    return AddTask(io, task_id, piece_size, root_folder, line,
                   [&](CDownload_Task& task) { return task.Start(file_count, file_list, save_path); });
}

int CDownload_Manager::AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                                       const std::string& root_folder, std::uint32_t file_count,
                                       const std::string& file_list)
{
    const std::string line = AddLine("添加一个任务", task_id, piece_size, file_count) + "\n";
    return AddTask(io, task_id, piece_size, root_folder, line,
                   [&](CDownload_Task& task) { return task.Start(file_count, file_list); });
}

int CDownload_Manager::PrepareTaskFiles(std::uint64_t task_id)
{
    // Preparing can take long (files are created, sized or re-checked), so
    // it runs pinned rather than under the lock that NAT threads need.
    PinnedTask task(*this, task_id);
    if (!task.get())
        return 0;
    return task.get()->PrepareFiles() ? 1 : 0;
}

CDownload_Manager::task_map CDownload_Manager::CopyTasks() const
{
    CScopedLock guard(m_lock);
    return m_tasks;
}

void CDownload_Manager::Unpin(std::uint64_t task_id)
{
    bool retire = false;
    {
        CScopedLock guard(m_lock);
        auto it = m_pins.find(task_id);
        if (it != m_pins.end() && --it->second == 0) {
            m_pins.erase(it);
            retire = m_retire_pending.erase(task_id) != 0;
        }
    }
    if (retire)
        PostRetire(task_id);
}

void CDownload_Manager::PostRetire(std::uint64_t task_id)
{
    // Refused or cancelled only at the session's end, perhaps after this
    // manager has gone: its destructor deletes every task left.
    if (i_io_service* io = m_io.load())
        post_function(*io, [this, task_id] { TryRetire(task_id); });
}

void CDownload_Manager::OnConnectionsGone(void* context, std::uint64_t task_id)
{
    static_cast<CDownload_Manager*>(context)->PostRetire(task_id);
}

void CDownload_Manager::TryRetire(std::uint64_t task_id)
{
    CDownload_Task* task = nullptr;
    {
        CScopedLock guard(m_lock);
        const auto it = m_tasks.find(task_id);
        if (it == m_tasks.end() || !it->second->IsStopFinished())
            return;   // the last connection's going or the reap posts again
        if (m_pins.count(task_id) != 0) {
            m_retire_pending.insert(task_id);
            return;
        }
        task = it->second;
        m_tasks.erase(it);
        if (m_retired_sink.load())
            m_retiring.insert(task_id);
    }
    live_connections::set_zero_hook(task_id, nullptr, nullptr);
    platform::debug_output("del task,CDownload_Manager::TryRetire,del pDownloadTask,taskid:" + std::to_string(task_id) +
                           "\n");
    // Its threads have ended and no connection is left: nothing reaches it.
    delete task;
    if (retired_sink sink = m_retired_sink.load())
        sink(m_retired_context.load(), task_id);
}

void CDownload_Manager::ReleaseRetired(std::uint64_t task_id)
{
    CScopedLock guard(m_lock);
    m_retiring.erase(task_id);
}

void CDownload_Manager::SetRetiredSink(retired_sink sink, void* context)
{
    m_retired_context.store(context);
    m_retired_sink.store(sink);
}

void CDownload_Manager::second_tick()
{
    const task_map tasks = CopyTasks();
    const float upload_avg = transfer_limits::average_upload_speed();
    float download_sum = 0;
    float upload_sum = 0;
    ICmdEvent* sink = m_event.load();
    for (const auto& entry : tasks) {
        if (engine_flags::shutting_down())
            break;
        CDownload_Task* task = entry.second;
        if (task->IsReady() && !task->IsStopping()) {
            task->Run();
            // The task's own bytes: the process-wide ten-second average
            // lagged behind, read low for short bursts, and was counted
            // once per task.
            const float download = task->SampleDownloadSpeed(platform::tick_count());
            if (sink)
                sink->OnTaskSpeed(entry.first, download / 1024.0f, upload_avg / 1024.0f);
            download_sum += download;
            upload_sum += upload_avg;
        }
    }
    if (sink)
        ReportSpeeds(download_sum, upload_sum);
    UpdateAverageSpeed();
    // Starts this second's buckets even when nothing moved.
    AddImmediateBytes(0, 0);
}

void CDownload_Manager::ReportSpeeds(float download_sum, float upload_sum)
{
    ICmdEvent* sink = m_event.load();
    if (!sink)
        return;
    std::ostringstream text;
    text << download_sum / 1024.0f << " " << upload_sum / 1024.0f;
    const std::string s = text.str();
    sink->OnTaskMessage(s.c_str(), 9);
    if (download_sum > 0.001f || upload_sum > 0.001f)
        sink->OnTextOutput(s.c_str());
    sink->OnGlobalSpeed(download_sum / 1024.0f, upload_sum / 1024.0f);
}

void CDownload_Manager::AddImmediateBytes(std::uint32_t downloaded, std::uint32_t uploaded)
{
    transfer_limits::add_immediate_bytes(downloaded, uploaded);
}

void CDownload_Manager::UpdateAverageSpeed()
{
    transfer_limits::update_average_speed();
}

int CDownload_Manager::SetRateLimits(float download, float upload)
{
    m_download_rate.store(download);
    m_upload_rate.store(upload);
    return 1;
}

template <typename Fn>
void CDownload_Manager::ForEachTask(Fn fn)
{
    std::vector<std::pair<std::uint64_t, CDownload_Task*>> pinned;
    {
        CScopedLock guard(m_lock);
        pinned.reserve(m_tasks.size());
        for (const auto& entry : m_tasks) {
            ++m_pins[entry.first];
            pinned.emplace_back(entry.first, entry.second);
        }
    }
    for (const auto& entry : pinned) {
        fn(*entry.second);
        Unpin(entry.first);
    }
}

void CDownload_Manager::CloseAllConnections()
{
    ForEachTask([](CDownload_Task& task) { task.CloseAllConnections(); });
}

void CDownload_Manager::CloseAllConnections(std::uint8_t)
{
    ForEachTask([](CDownload_Task& task) { task.CloseAllConnectionsNoFlag(); });
}

void CDownload_Manager::StopTask(std::uint64_t task_id)
{
    PinnedTask task(*this, task_id);
    if (!task.get())
        return;
    CTaskStateMgr::Instance().SetState(task_id, TASKSTATE_REMOVED);
    task.get()->MarkStopping();
}

void CDownload_Manager::ReapTask(std::uint64_t task_id)
{
    {
        PinnedTask task(*this, task_id);
        // A task of the same id added after a stop's task went is not this
        // stop's to reap.
        if (!task.get() || !task.get()->IsStopping())
            return;
        task.get()->ReapThreads();
        // From now on the last connection to go has the task retired.
        live_connections::set_zero_hook(task_id, &CDownload_Manager::OnConnectionsGone, this);
    }
    // Posted after the pin went, and after the hook was set: a count that
    // reached 0 before is seen by this try.
    PostRetire(task_id);
}

void CDownload_Manager::StopAllTasks()
{
    // The whole stop of every task: timers and CDN threads (one still
    // dialling after the I/O service has stopped leaves connects that
    // nothing completes), and a CDN query under way, which would hold the
    // timer join for seconds against a server that does not answer. All
    // are told before any is waited for.
    ForEachTask([](CDownload_Task& task) { task.MarkStopping(); });
    ForEachTask([](CDownload_Task& task) { task.ReapThreads(); });
}

bool CDownload_Manager::HasTask(std::uint64_t task_id)
{
    CScopedLock guard(m_lock);
    return m_tasks.count(task_id) != 0;
}

std::size_t CDownload_Manager::GetTaskCount() const
{
    CScopedLock guard(m_lock);
    return m_tasks.size();
}

bool CDownload_Manager::VisitTask(std::uint64_t task_id, const std::function<void(CDownload_Task&)>& fn)
{
    PinnedTask task(*this, task_id);
    if (!task.get())
        return false;
    fn(*task.get());
    return true;
}

void CDownload_Manager::AddPeerSocket(PeerInfo peer, std::uint64_t task_id, int socket, std::uint8_t passive)
{
    PinnedTask task(*this, task_id);
    if (!task.get()) {
        const std::string text = "\n" + std::to_string(task_id) + " 频道不存在!\n";
        platform::debug_output(text);
        ErrorOutput(text);
        platform::socket_t s = socket;
        platform::close_socket(s);
        return;
    }
    const std::string line = "CDownload_Manager::AddPeerSocket: task_id-" + std::to_string(task_id) + " socket-" +
                             std::to_string(socket) + "\n";
    platform::debug_output(line);
    TextOutput(line);
    task.get()->AdoptSocket(socket, peer, passive);
}

void CDownload_Manager::OnNatNotify(const char* text, std::uint32_t code)
{
    ICmdEvent* sink = m_event.load();
    if (!sink || !text)
        return;
    sink->OnTaskMessage(text, code);
    sink->OnTextOutput(text);
}

bool CDownload_Manager::IsNatTaskKnown(std::uint64_t task_id)
{
    return HasTask(task_id);
}

void CDownload_Manager::OnChannelStorageReady(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                                              const std::vector<std::vector<std::uint8_t>>& blocks,
                                              const std::vector<std::uint32_t>& piece_lengths)
{
    PinnedTask task(*this, channel_id);
    if (task.get())
        task.get()->OnStorageReady(bitmap, blocks, piece_lengths);
}

void CDownload_Manager::OnPieceChecked(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result)
{
    PinnedTask task(*this, channel_id);
    if (task.get())
        task.get()->OnPieceChecked(piece, result);
}

void CDownload_Manager::IncTaskStorageCounter(std::uint64_t channel_id)
{
    bool works_again = false;
    {
        CScopedLock guard(m_lock);
        auto it = m_tasks.find(channel_id);
        if (it != m_tasks.end())
            works_again = it->second->CountStoredBlock();
    }
    // The launcher hears of it with the map lock let go: its callback may
    // call into the engine, or wait for a thread that does.
    if (!works_again)
        return;
    PinnedTask task(*this, channel_id);
    if (task.get())
        task.get()->ReportStorageWorks();
}

void CDownload_Manager::OnStorageError(std::uint64_t channel_id, const char* text)
{
    const std::string what = text ? text : "storage error";
    PinnedTask task(*this, channel_id);
    if (task.get())
        task.get()->OnStorageError(what);
    else
        ErrorOutput("task " + std::to_string(channel_id) + ": " + what + "\n");
}

void CDownload_Manager::TextOutput(const std::string& text)
{
    if (ICmdEvent* sink = m_event.load())
        sink->OnTextOutput(text.c_str());
}

void CDownload_Manager::ErrorOutput(const std::string& text)
{
    if (ICmdEvent* sink = m_event.load())
        sink->OnErrorOutput(text.c_str());
}

void CDownload_Manager::check_invariant() const
{
    CScopedLock guard(m_lock);
    for (const auto& entry : m_tasks) {
        VR_INVARIANT(entry.second != nullptr);
        VR_INVARIANT(entry.second->GetTaskId() == entry.first);
        (void)entry;
    }
    for (const auto& pin : m_pins) {
        VR_INVARIANT(pin.second > 0 && m_tasks.count(pin.first) != 0);
        (void)pin;
    }
    for (std::uint64_t id : m_adding) {
        VR_INVARIANT(m_tasks.count(id) == 0 && m_retiring.count(id) == 0);
        (void)id;
    }
}
