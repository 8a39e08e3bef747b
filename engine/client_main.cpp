#include "engine/client_main.h"

#include "discovery/cis_connection.h"
#include "discovery/lan_peer_discovery.h"
#include "discovery/trace_host.h"
#include "discovery/upnp_igd_client.h"
#include "engine/callback_payload.h"
#include "engine/engine_flags.h"
#include "engine/folder_text.h"
#include "engine/i_download_session.h"
#include "engine/task_state_mgr.h"
#include "foundation/utility.h"
#include "platform/debug_output.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/client_log.h"
#include "report/down_data_log.h"
#include "report/log_connection.h"
#include "report/log_event.h"
#include "report/log_of_boot.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

namespace {

std::atomic<CClientMain*> g_client_main{nullptr};

// Bounds of the shutdown steps.
constexpr std::uint32_t kWorkerJoinMs = 3000;
// How often the task worker of an offline session looks at its logon back-off.
constexpr std::uint32_t kRelogonPollMs = 1000;
constexpr std::uint32_t kUpnpJoinMs = 5000;
constexpr std::uint32_t kDestroyJoinMs = 60000;
// Longest wait for the task reports queued at shutdown.
constexpr std::uint32_t kReportDrainMs = 3000;

std::string Dotted(std::uint32_t host_order_ip)
{
    return std::to_string(host_order_ip >> 24) + "." + std::to_string((host_order_ip >> 16) & 0xff) + "." +
           std::to_string((host_order_ip >> 8) & 0xff) + "." + std::to_string(host_order_ip & 0xff);
}

// The folder ".bbm" files go to first: the common application-data folder
// followed by "ZVK"; empty when it cannot be made.
std::string MakeBitmapFolder()
{
    std::string folder = platform::common_appdata_dir();
    const std::size_t last = folder.find_last_not_of(" \r\n\t\\/");
    folder = last == std::string::npos ? std::string() : folder.substr(0, last + 1);
    if (folder.empty() || !platform::folder_exists(folder))
        return std::string();
    folder = platform::join_path(folder, "ZVK");
    if (!platform::folder_exists(folder))
        platform::create_folder(folder);
    if (!platform::folder_exists(folder))
        return std::string();
    return folder + platform::path_separator;
}

// The client id of a session without index servers. LAN discovery and
// the one-connection-per-peer rule tell peers apart by id, so two offline
// services must not share one: the low half is drawn at random, the high
// half stays all ones to mark an id no index server gave.
std::uint64_t OfflineClientId()
{
    std::random_device random;
    std::uint32_t low = random();
    while (low == 0xFFFFFFFFu)
        low = random();
    return 0xFFFFFFFF00000000ull | low;
}

}   // namespace

CClientMain::CClientMain()
{
    m_data_folder = platform::qorn_dir();
    m_fallback_bitmap_folder = platform::velmar_dir();
    g_client_main.store(this);
}

CClientMain::~CClientMain()
{
    Stop();
    CClientMain* self = this;
    g_client_main.compare_exchange_strong(self, nullptr);
}

CClientMain* CClientMain::GetInstance()
{
    return g_client_main.load();
}

void CClientMain::SetSessionFactory(const SessionFactory& factory)
{
    m_session_factory = factory;
}

void CClientMain::SetRisTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms)
{
    m_ris.SetTimeouts(connect_ms, reply_ms);
}

bool CClientMain::Start(const std::string& data_folder, std::uint32_t fixed_peer_type_switch, std::uint8_t peer_type,
                        EngineCallback callback, void* user, const std::string& fallback_bitmap_folder)
{
    m_started.store(1);
    m_stopping.store(false);
    m_callback.store(callback);
    m_user.store(user);
    if (fixed_peer_type_switch != 0) {
        m_fixed_peer_type.store(fixed_peer_type_switch);
        m_peer_type.store(peer_type);
    }
    m_listen_port.store(engine_flags::listen_port());
    const std::string fallback = platform::from_windows_path(fallback_bitmap_folder);
    {
        std::lock_guard<std::mutex> guard(m_folder_lock);
        m_data_folder = platform::from_windows_path(data_folder);
        m_fallback_bitmap_folder = fallback;
    }
    engine_flags::set_bitmap_folder(MakeBitmapFolder());
    // A kill during a ".bbm" save leaves its temporary file behind.
    platform::remove_abandoned_saves(engine_flags::bitmap_folder(), ".bbm");
    platform::remove_abandoned_saves(fallback, ".bbm");
    // Index-server requests cancelled by an earlier engine's shutdown may run again.
    CCisConnectionEx::ResetCancelAll();
    CTraceHost::Reset();

    m_stop_event.reset();
    if (!m_worker.joinable())
        m_worker.start([this] { TaskWorker(); }, "task_worker");
    return StartLogon();
}

bool CClientMain::StartLogon()
{
    if (m_callback.load()) {
        LogEvent(6, "LOG::LOG_RIS_CONN_START", 0, 0, "");
        Callback(CBE_RIS_CONNECT_START, 0);
    }
    m_ris.SetEventSink(this);
    m_ris.SetCmdEvent(this);
    if (m_ris.Start(static_cast<std::uint32_t>(-1)) != 0) {
        if (m_callback.load()) {
            LogEvent(7, "LOG::LOG_RIS_STATE_CODE", 0, 0, "%d", -1);
            Callback(CBE_RIS_CONNECT_RESULT, static_cast<std::uintptr_t>(-1));
        }
        return false;
    }
    return true;
}

bool CClientMain::Reconnect()
{
    if (m_started.load() == 0 || m_session.load() || m_stopping.load())
        return false;
    return StartLogon();
}

bool CClientMain::Queue(ClientTaskRecord record)
{
    CTaskStateMgr::Instance().Set(record.task_id, TASKSTATE_QUEUED);
    if (m_running.Contains(record.task_id) || m_completed.Contains(record.task_id))
        return false;
    record.state = 0;
    record.ran = 0;
    m_waiting.AddUnique(record);   // a task already waiting stays queued once
    m_work_event.set();
    return true;
}

bool CClientMain::AddTask(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                          std::uint32_t file_count, const std::string& file_list, const std::string& save_folder)
{
    return Queue(
        ClientTaskRecord{0, task_id, 0, 0, block_size, source_folder, file_list, save_folder, file_count, {}, {}});
}

bool CClientMain::AddHistoryTask(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                                 std::uint32_t file_count, const std::string& file_list,
                                 const std::vector<std::uint8_t>& bitmap,
                                 const std::vector<std::vector<std::uint8_t>>& piece_tables,
                                 const std::string& save_folder)
{
    return Queue(ClientTaskRecord{1, task_id, 0, 0, block_size, source_folder, file_list, save_folder, file_count,
                                  bitmap, piece_tables});
}

bool CClientMain::StopTask(std::uint64_t task_id)
{
    bool queued = false;
    bool adding = false;
    {
        std::lock_guard<std::mutex> guard(m_handover_lock);
        queued = m_waiting.Remove(task_id);
        if (!queued && m_handing_over == task_id) {
            // The session is adding it now and would not find it yet: the
            // hand-over sends this stop once the add has returned.
            m_stop_handed_over = true;
            adding = true;
        }
    }
    if (adding) {
        CTaskStateMgr::Instance().SetState(task_id, TASKSTATE_REMOVED);
        return true;
    }
    if (queued) {
        // Never handed to the session: it leaves the queue and ends with
        // the same event as any stopped task, and may be started again.
        CTaskStateMgr::Instance().Remove(task_id);
        OnTaskStop(task_id);
        return true;
    }
    IDownload_Session* session = m_session.load();
    if (!session)
        return false;
    CTaskStateMgr::Instance().SetState(task_id, TASKSTATE_REMOVED);
    if (!m_completed.Contains(task_id) && !m_running.Contains(task_id))
        return false;
    session->StopTask(task_id);
    return true;
}

void CClientMain::StopRunningTasks()
{
    // Each stop is posted and returns at once: the running tasks wind down
    // together, and the session's destruction ends what is left.
    for (std::uint64_t id : GetRunningIds())
        StopTask(id);
}

void CClientMain::TaskWorker()
{
    // Woken when there is work, not polled: a queued task goes to the
    // session at once. An offline session also wakes it each second to
    // see whether its next logon try is due.
    for (;;) {
        m_work_event.wait(m_offline.load() ? kRelogonPollMs : platform::infinite);
        if (m_stop_event.is_set())
            return;
        while (HandOverNextTask()) {
        }
        RetryLogonWhenDue();
    }
}

void CClientMain::ScheduleRelogon()
{
    const std::uint32_t wait = m_relogon_backoff.load();
    m_relogon_backoff.store(std::min(wait * 2, kMaxRelogonMs));
    m_relogon_at.store(platform::tick_count() + wait);
    WriteClientLog("offline session: next RIS logon try in " + std::to_string(wait) + " ms\n");
}

void CClientMain::RetryLogonWhenDue()
{
    if (m_stopping.load() || !m_offline.load() || !platform::tick_reached(platform::tick_count(), m_relogon_at.load()))
        return;
    // No client-core lock here: Stop joins this thread, and the logon's
    // sink takes the build lock. A try that slips past a Stop just begun
    // finds m_stopping in its sink and builds nothing; Stop ends it after
    // it has joined this thread.
    if (m_ris.IsRunning())
        return;
    // Not due again before this try has ended and set the next one.
    m_relogon_at.store(platform::tick_count() + kMaxRelogonMs);
    const std::uint32_t tries = ++m_relogon_tries;
    WriteClientLog("offline session: RIS logon try " + std::to_string(tries) + "\n");
    const int started = m_ris.Start(static_cast<std::uint32_t>(-1));
    if (started != 0) {
        WriteClientLog("offline session: RIS logon could not start, code " + std::to_string(started) + "\n");
        ScheduleRelogon();
    }
}

bool CClientMain::HandOverNextTask()
{
    IDownload_Session* session = m_session.load();
    if (!session || m_stopping.load())
        return false;
    ClientTaskRecord record;
    {
        // Taken from the queue and marked as being handed over in one
        // step: a stop finds the task in one place or the other.
        std::lock_guard<std::mutex> guard(m_handover_lock);
        if (!m_waiting.TakeFirst(record))
            return false;
        if (!RunningAdd(record))
            return true;   // already running or completed
        m_handing_over = record.task_id;
        m_stop_handed_over = false;
    }
    // The facade checked a resumed task's folder with the source folder
    // trimmed: the files are looked for where it looked.
    const std::string folder = TrimSaveFolder(record.save_folder) + platform::path_separator +
                               TrimBlanks(record.source_folder);
    CUtility::CreateDirectoryRecursive(folder);
    int result = 0;
    if (record.kind == 1) {
        result = session->AddTaskDownload(record.task_id, record.block_size, record.source_folder, record.file_count,
                                          record.file_list, record.bitmap, record.piece_tables, folder, 0);
    } else {
        result = session->AddTaskDownload(record.task_id, record.block_size, record.source_folder, record.file_count,
                                          record.file_list, folder);
    }
    bool stopped = false;
    {
        std::lock_guard<std::mutex> guard(m_handover_lock);
        stopped = m_stop_handed_over;
        m_handing_over = 0;
        m_stop_handed_over = false;
    }
    if (result == 0) {
        session->StopTask(record.task_id);
        OnErrorOutput(("添加任务出错,task id:" + std::to_string(record.task_id) + "\n").c_str());
        return true;
    }
    // A stop that came during the add reaches the task now that the
    // session holds it.
    if (stopped)
        session->StopTask(record.task_id);
    if (record.kind == 0 && m_callback.load()) {
        CallbackPayload payload;
        payload.U64(record.task_id).Text(record.save_folder.c_str()).Text(record.source_folder.c_str());
        CallbackCopy(CBE_TASK_SAVE_PATH, payload.Bytes());
    }
    return true;
}

void CClientMain::OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                           const RisLogonResult& logon, std::uint32_t status)
{
    // The launcher hears of the build only once the build lock is free:
    // its callback may stop the engine, or block, without holding up Stop.
    std::vector<HeldCallback> held;
    {
        const CallbackHold hold(held);
        std::lock_guard<std::mutex> build(m_build_lock);
        BuildOnLogon(result, cis_list, logon, status);
    }
    DeliverHeld(held);
}

void CClientMain::BuildOnLogon(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                               const RisLogonResult& logon, std::uint32_t status)
{
    // A client core that is stopping builds nothing more.
    if (m_stopping.load())
        return;
    if (!m_down_data_log) {
        m_down_data_log = new CDownDataLog();
        m_down_data_log->CheckAndSend();
    }
    if (!m_boot_log) {
        m_boot_log = new CLogOfBoot();
        m_boot_log->Start();
    }
    // A later try of the offline session: it keeps running offline until
    // one succeeds, and then goes online in place.
    const bool relogon = m_offline.load();
    if (result != 0 || status != 0) {
        if (relogon) {
            WriteClientLog("offline session: RIS logon failed, result code=" + std::to_string(result) + "\n");
            ScheduleRelogon();
            return;
        }
        Callback(CBE_ENGINE_INIT_RESULT, static_cast<std::uintptr_t>(-1));
        OnErrorOutput(
            ("Connect Ris error,OnRisConnectionCompleted result code=" + std::to_string(result) + "\n").c_str());
        StartOfflineSession();
        return;
    }
    if (m_fixed_peer_type.load() == 0)
        m_peer_type.store(logon.peertype);
    if (m_callback.load()) {
        LogEvent(7, "LOG::LOG_RIS_STATE_CODE", 0, 0, "%d", 0);
        Callback(CBE_RIS_CONNECT_RESULT, 0);
    }
    StartLanDiscovery(logon.clientid);

    const std::vector<CisAddress> ordered = OrderCisList(logon.publicip, cis_list);
    {
        std::lock_guard<std::mutex> guard(m_cis_lock);
        m_cis_list.insert(m_cis_list.end(), ordered.begin(), ordered.end());
    }
    // The UPnP pass traces the routes to the CIS servers: it starts once
    // they are known.
    if (m_upnp_enabled.load() && !m_upnp_started.exchange(true))
        m_upnp.start([this] { UpnpWorker(); }, "upnp");
    std::string lines = "local ip:" + std::to_string(logon.publicip) + ",从ris接收到的cis列表:\r\n";
    for (const CisAddress& cis : ordered) {
        lines += "cis:" + std::to_string(cis.ip) + "(" + Dotted(cis.ip) + ")," + std::to_string(cis.port) + ", area[" +
                 std::to_string(cis.area) + "]\r\n";
    }
    WriteClientLog(lines);

    m_client_id.store(logon.clientid);
    m_public_ip.store(logon.publicip);
    m_nat_ip.store(logon.natip);
    LogEvent(4, "LOG::LOG_UNIQUEID", 0, 0, "%llu", static_cast<unsigned long long>(logon.clientid));
    LogEvent(23, "LOG::LOG_NAT_LOCAL_PEER_TYPE", 0, 0, "%d", static_cast<int>(logon.peertype));
    OnTextOutput(("Receive peer self_clientid=" + std::to_string(logon.clientid) + "\n").c_str());
    IDownload_Session* session = m_session.load();
    m_offline.store(false);
    if (!relogon || !session) {
        BuildSession(GetCisList());
        return;
    }
    // The offline session goes online: its tasks ask the CIS from now on.
    const PeerInfo self = BuildSelfPeerInfo();
    {
        std::lock_guard<std::mutex> guard(m_cis_lock);
        m_self = self;
    }
    SetProcessClientId(self.clientid);
    session->SetIdentity(self, GetCisList());
    engine_flags::set_index_servers_usable(true);
    WriteClientLog("offline session: logged on to RIS, self clientid:" + std::to_string(self.clientid) + "\n");
}

// Nearest CIS first: ordered by the distance of its address from ours,
// equal distances in the order received; none without a public address.
std::vector<CisAddress> CClientMain::OrderCisList(std::uint32_t public_ip,
                                                  const std::vector<CisAddress>& received) const
{
    std::vector<CisAddress> ordered;
    if (public_ip == 0 || received.empty())
        return ordered;
    std::vector<std::pair<std::int64_t, CisAddress>> keyed;
    for (const CisAddress& cis : received) {
        const std::int32_t diff = static_cast<std::int32_t>(public_ip - cis.ip);
        keyed.emplace_back(std::llabs(static_cast<std::int64_t>(diff)), cis);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& entry : keyed)
        ordered.push_back(entry.second);
    return ordered;
}

void CClientMain::StartOfflineSession()
{
    if (m_callback.load()) {
        LogEvent(7, "LOG::LOG_RIS_STATE_CODE", 0, 0, "%d", 0);
        Callback(CBE_RIS_CONNECT_RESULT, 0);
    }
    const std::uint64_t id = OfflineClientId();
    StartLanDiscovery(id);
    WriteClientLog("local ip : 0, connection RIS server fails, receive CIS is 0!\n");
    m_client_id.store(id);
    m_public_ip.store(0);
    m_nat_ip.store(0);
    LogEvent(4, "LOG::LOG_UNIQUEID", 0, 0, "%llu", static_cast<unsigned long long>(id));
    LogEvent(23, "LOG::LOG_NAT_LOCAL_PEER_TYPE", 0, 0, "%d", 0);
    OnTextOutput(("Receive peer self_clientid = " + std::to_string(id) + "\n").c_str());
    // Without index servers every peer-list request goes to the CDN query,
    // until a later logon succeeds.
    engine_flags::set_index_servers_usable(false);
    m_offline.store(true);   // before the worker is woken for the session
    ScheduleRelogon();
    BuildSession(std::vector<CisAddress>());
}

void CClientMain::BuildSession(const std::vector<CisAddress>& cis_list)
{
    const PeerInfo self = BuildSelfPeerInfo();
    {
        std::lock_guard<std::mutex> guard(m_cis_lock);
        m_self = self;
    }
    SetProcessClientId(self.clientid);
    std::string folder;
    {
        std::lock_guard<std::mutex> guard(m_folder_lock);
        folder = m_data_folder;
    }
    CUtility::CreateDirectoryRecursive(folder);
    IDownload_Session* session = m_session_factory.create ? m_session_factory.create(self, cis_list, folder) : nullptr;
    const std::string line = "self clientid:" + std::to_string(self.clientid) + "\n";
    WriteClientLog(line);
    platform::debug_output(line);
    if (!session)
        return;
    session->SetCmdEvent(this);
    session->Start();
    m_session.store(session);
    m_work_event.set();   // tasks queued before the session go now
    Callback(CBE_ENGINE_INIT_RESULT, 0);
    m_start_time.store(platform::unix_time());
}

PeerInfo CClientMain::BuildSelfPeerInfo() const
{
    PeerInfo self;
    std::memset(&self, 0, sizeof(self));
    self.clientid = m_client_id.load();
    // PeerInfo carries addresses in network byte order, the logon in host order.
    self.publicip = htonl(m_public_ip.load());
    self.natip = htonl(m_nat_ip.load());
    self.peertype = m_peer_type.load();
    return self;
}

void CClientMain::StartLanDiscovery(std::uint64_t client_id)
{
    if (m_lan) {
        m_lan->SetParams(client_id, m_listen_port.load());   // a later logon's id
        return;
    }
    m_lan = new CLanPeerDiscovery();
    m_lan->SetParams(client_id, m_listen_port.load());
    if (!m_lan->Start())
        WriteClientLog("LAN discovery could not start\n");
    CLanPeerDiscovery::SetInstance(m_lan);
}

std::vector<CisAddress> CClientMain::GetCisList() const
{
    std::lock_guard<std::mutex> guard(m_cis_lock);
    return m_cis_list;
}

PeerInfo CClientMain::GetSelfPeerInfo() const
{
    std::lock_guard<std::mutex> guard(m_cis_lock);
    return m_self;
}

void CClientMain::UpnpWorker()
{
    if (!CTraceHost::IsTraceDone())
        CTraceHost::RunTrace(0, m_client_id.load(), GetCisList());
    if (m_stopping.load() || m_peer_type.load() != PEERTYPE_NAT)
        return;
    std::uint32_t external = 0;
    if (RunUpnp(&external) == 1 && external == m_public_ip.load())
        m_peer_type.store(PEERTYPE_SP);
}

std::uint32_t CClientMain::RunUpnp(std::uint32_t* external_ip)
{
    *external_ip = 0;
    if (engine_flags::upnp_done())
        return 1;
    const std::uint16_t port = m_listen_port.load();
    if (CLogConnection* log = CLogConnection::GetInstance())
        log->AddEvent(13, 0, 0, port, 2);
    CUpnpIgdClient upnp;
    std::string ip;
    if (upnp.DiscoverAndRedirect(port, port, ip) != 0) {
        WriteClientLog("Open upnp fail\n");
        return 0;
    }
    engine_flags::set_upnp_result(true, ip);
    in_addr address{};
    if (inet_pton(AF_INET, ip.c_str(), &address) == 1)
        *external_ip = ntohl(address.s_addr);
    WriteClientLog("Open upnp success,change NP to SP,external ip:" + ip + "\n");
    if (CLogConnection* log = CLogConnection::GetInstance())
        log->AddEvent(13, 0, *external_ip, port, 3);
    return 1;
}

void CClientMain::OnRisConnectionNotify(std::uint32_t code, std::uint32_t value)
{
    (void)code;
    (void)value;
}

bool CClientMain::WaitForSession(std::uint32_t ms) const
{
    const std::uint32_t deadline = platform::tick_count() + ms;
    while (!m_session.load()) {
        if (platform::tick_reached(platform::tick_count(), deadline))
            return false;
        platform::sleep_ms(10);
    }
    return true;
}

void CClientMain::DestroySession()
{
    IDownload_Session* session = m_session.exchange(nullptr);
    if (!session)
        return;
    platform::Thread destroyer;
    auto destroy = m_session_factory.destroy;
    if (!destroy)
        destroy = [](IDownload_Session* s) { delete s; };
    const bool started = destroyer.start(
        [session, destroy] {
            platform::debug_output("thread -- CClientMain::run_worker_thread_destroy id " +
                                   std::to_string(platform::current_thread_id()) + "\n");
            destroy(session);
            platform::debug_output("CClientMain::run_worker_destroy,finished\n");
        },
        "session_destroy");
    if (!started) {
        destroy(session);
        return;
    }
    if (!destroyer.join_for(kDestroyJoinMs)) {
        // The session still runs: nothing it uses may go, so wait it out.
        platform::debug_output("CClientMain::StopThread_Destroy\n");
        destroyer.join();
    }
}

bool CClientMain::Stop()
{
    // One Stop at a time; a second caller waits for the first to end. The
    // stop lock only guards the flag: it is never held while Stop joins.
    {
        std::unique_lock<std::mutex> one(m_stop_lock);
        if (m_stop_running) {
            m_stop_done.wait(one, [this] { return !m_stop_running; });
            return true;
        }
        m_stop_running = true;
    }
    m_stopping.store(true);
    // The logon may be about to build a session: end it and wait for it
    // first, so nothing is built on a client core that is going away.
    m_ris.Stop();
    CLogOfBoot* boot_log = nullptr;
    CLanPeerDiscovery* lan = nullptr;
    CDownDataLog* down_data_log = nullptr;
    {
        // A sink that took the build lock before m_stopping was set has
        // finished once this lock is ours; later ones build nothing. The
        // services it made are taken over here and stopped with no lock held.
        std::lock_guard<std::mutex> build(m_build_lock);
        boot_log = std::exchange(m_boot_log, nullptr);
        lan = std::exchange(m_lan, nullptr);
        down_data_log = std::exchange(m_down_data_log, nullptr);
    }

    StopRunningTasks();
    if (boot_log) {
        boot_log->Stop();
        delete boot_log;
    }
    LogEvent(33, "LOG::LOG_SYS_BEING_EXIT_1", 0, 0, "");
    if (lan)
        lan->Stop();
    if (m_upnp.joinable() && !m_upnp.join_for(kUpnpJoinMs)) {
        platform::debug_output("CClientMain::Stop waiting for the UPnP pass\n");
        m_upnp.join();
    }
    m_stop_event.set();
    m_work_event.set();
    if (m_worker.joinable() && !m_worker.join_for(kWorkerJoinMs)) {
        platform::debug_output("CClientMain::Stop waiting for the task worker\n");
        m_worker.join();
    }
    // A logon try the worker started as this Stop began ends here.
    m_ris.Stop();
    LogEvent(34, "LOG::LOG_SYS_BEING_EXIT_2", 0, 0, "");
    m_running.Clear();
    m_completed.Clear();
    LogEvent(35, "LOG::LOG_SYS_BEING_EXIT_3", 0, 0, "");
    DestroySession();
    // Tasks still running post their stop reports as the session destroys
    // them: they go out (bounded) before the sender ends.
    m_reports.Stop(kReportDrainMs);
    if (down_data_log) {
        down_data_log->Flush();
        delete down_data_log;
    }
    LogEvent(45, "LOG::LOG_SYS_BEING_EXIT_4", 0, 0, "");
    if (lan) {
        if (CLanPeerDiscovery::GetInstance() == lan)
            CLanPeerDiscovery::SetInstance(nullptr);
        delete lan;
    }
    // A route upload still running is waited for (bounded); later engines may trace again.
    CTraceHost::Shutdown(3000);
    CTraceHost::Reset();
    m_stop_time.store(platform::unix_time());
    {
        std::lock_guard<std::mutex> one(m_stop_lock);
        m_stop_running = false;
    }
    m_stop_done.notify_all();
    return true;
}

// ---- task lists -----------------------------------------------------------

bool CClientMain::RunningAdd(const ClientTaskRecord& record)
{
    if (m_completed.Contains(record.task_id))
        return false;
    return m_running.AddUnique(record);
}

bool CClientMain::CompletedAdd(const ClientTaskRecord& record)
{
    if (record.state != 2 || record.ran == 0)
        return false;
    return m_completed.AddUnique(record);
}

bool CClientMain::IsWaiting(std::uint64_t task_id) const
{
    return m_waiting.Contains(task_id);
}

std::uint32_t CClientMain::GetRunningCount() const
{
    return static_cast<std::uint32_t>(m_running.Size());
}

std::vector<std::uint64_t> CClientMain::GetRunningIds() const
{
    return m_running.Ids();
}

std::vector<std::uint64_t> CClientMain::GetCompletedIds() const
{
    return m_completed.Ids();
}

std::uint32_t CClientMain::GetTaskState(std::uint64_t task_id) const
{
    if (m_completed.Contains(task_id))
        return 2;
    if (m_running.Contains(task_id))
        return 1;
    return 0;
}

std::string CClientMain::GetBitmapFolderInUse()
{
    return ChooseBitmapFolder();
}

void CClientMain::check_invariant() const
{
    m_running.check_invariant();
    m_completed.check_invariant();
    m_waiting.check_invariant();
}
