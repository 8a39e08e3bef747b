#include "engine/p2sp_engine_impl.h"

#include "discovery/cis_connection.h"
#include "discovery/server_list.h"
#include "engine/bitmap_file.h"
#include "engine/client_main.h"
#include "engine/engine_flags.h"
#include "engine/folder_text.h"
#include "engine/i_download_session.h"
#include "engine/engine_settings.h"
#include "engine/seed_file.h"
#include "engine/task_state_mgr.h"
#include "foundation/engine_log_manager.h"
#include "foundation/http_get.h"
#include "foundation/md5.h"
#include "foundation/utility.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "report/app_error_log.h"
#include "report/debug_log.h"
#include "report/log_connection.h"
#include "report/log_event.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

namespace {

// Guards the deferred destruction of the log connection.
std::mutex g_log_life_lock;
// DestroyLogConnection came while a client core ran: Uninit finishes it.
bool g_log_destroy_pending = false;

// A whole-file read larger than this is refused: callers read seed and
// control documents, and memory stays bounded.
constexpr std::size_t kMaxWholeFile = 256u << 20;
constexpr std::size_t kWholeFileChunk = 4096;
// How long Uninit waits for engine calls under way on other threads (a
// stop waits for its task's connections, up to 10 s).
constexpr std::uint32_t kCallsEndMs = 30000;
// Largest bitmap whose missing piece records are filled in as empty ones.
constexpr std::size_t kMaxRecordPieces = 1u << 20;

// KB/s to whole bytes per second: truncated toward zero, low 32 bits kept;
// a value with no integer form gives 0.
std::uint32_t KbpsToBytes(float kbps)
{
    const double bytes = std::trunc(static_cast<double>(kbps) * 1024.0);
    if (!std::isfinite(bytes) || std::fabs(bytes) >= 9.2e18)
        return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(bytes)));
}

// Text field of the init block, never read past its 260 bytes.
std::string BlockText(const char (&field)[260])
{
    return std::string(field, strnlen(field, sizeof(field)));
}

// Reports application crashes that were not reported yet.
void ReportAppErrors()
{
    CAppErrorLog errors;
    errors.LoadSentState();
    for (const AppErrorRecord& record : errors.CollectAppErrorEvents("exe")) {
        if (errors.IsAlreadySent(record))
            continue;
        char text[1024];
        const int n = std::snprintf(text, sizeof(text), "%s %s %s %s %s", record.texts[0].c_str(),
                                    record.texts[1].c_str(), record.texts[2].c_str(), record.texts[3].c_str(),
                                    record.texts[4].c_str());
        if (n > 0 && static_cast<std::size_t>(n) < sizeof(text))
            LogEvent(32, "LOG::LOG_CRASH_ITEM", 0, 0, "%s", text);
        errors.SaveSentState(record);
    }
}

}   // namespace

CP2SP_EngineImpl::CP2SP_EngineImpl() : m_data_folder(platform::qorn_dir()) {}

CP2SP_EngineImpl::~CP2SP_EngineImpl()
{
    if (m_client.load())
        Uninit();
    // The engine's own logs go with the engine.
    delete EngineLogManager::getSingletonPtr();
}

namespace {
std::atomic<bool> g_refuse_client_start{false};
}

void CP2SP_EngineImpl::RefuseClientStartForTests(bool refuse)
{
    g_refuse_client_start.store(refuse);
}

std::int32_t CP2SP_EngineImpl::Init(const EngineInitBlock* block, EngineCallback callback, void* user)
{
    if (!block)
        return 1;
    const LifeTurn turn(*this);
    if (!turn.taken())
        return 2;   // from a callback of the Init or Uninit under way
    if (m_client.load())
        return 2;   // already initialised: Uninit first
    DebugLog::Start("p2pclient");
    LogEvent(1, "LOG::LOG_SYS_OPEN", 0, 0, "");
    LogEvent(3, "LOG::LOG_VER", 0, 0, "%s", "2.0.0.7");
    ReportAppErrors();

    engine_flags::set_shutting_down(false);
    // Index servers that failed an earlier engine get asked again.
    engine_flags::set_index_servers_usable(true);
    auto* client = new (std::nothrow) CClientMain();
    if (!client)
        return 2;
    m_callback.store(callback);
    m_user.store(user);
    const std::string data_folder = platform::from_windows_path(BlockText(block->data_folder));
    {
        std::lock_guard<std::mutex> guard(m_folder_lock);
        m_data_folder = data_folder;
    }
    engine_flags::set_listen_port(block->listen_port);
    SessionFactory factory;
    factory.create = &CreateDownloadSession;
    factory.destroy = &DestroyDownloadSession;
    client->SetSessionFactory(factory);
    if (m_client_setup)
        m_client_setup(*client);
    m_client.store(client);
    if (g_refuse_client_start.load() || !client->Start(data_folder, block->fixed_peer_type, block->peer_type, callback,
                                                       user, BlockText(block->bitmap_folder))) {
        // Nothing may call back into the caller's context after a failed
        // Init: the caller is free to destroy it.
        m_client.store(nullptr);
        const bool idle = WaitForCallsToEnd();
        client->Stop();
        if (idle)
            delete client;
        m_callback.store(nullptr);
        m_user.store(nullptr);
        DebugLog::Stop();
        return 5;
    }
    return 0;
}

std::int32_t CP2SP_EngineImpl::Uninit()
{
    LogEvent(31, "LOG::LOG_SYS_BEING_EXIT", 0, 0, "");
    const LifeTurn turn(*this);
    if (!turn.taken())
        return 1;   // from a callback of the Init or Uninit under way
    CClientMain* client = m_client.load();
    if (!client)
        return 1;
    engine_flags::set_shutting_down(true);
    // Blocking index-server requests of the tasks end at once.
    CCisConnectionEx::CancelAll();
    // Calls from now on find no client core; those under way finish first.
    m_client.store(nullptr);
    const bool idle = WaitForCallsToEnd();
    client->Stop();
    if (idle)
        delete client;
    else
        platform::debug_output("CP2SP_EngineImpl::Uninit: engine calls still under way, client core kept\n");
    // Everything that could wait on an index server has ended.
    CCisConnectionEx::ResetCancelAll();
    // The registry describes the tasks of the client core just stopped; a
    // later Init in this process starts with none, so it may take them again.
    CTaskStateMgr::Instance().Clear();
    {
        // The threads that logged to the log connection have ended now.
        std::lock_guard<std::mutex> guard(g_log_life_lock);
        if (g_log_destroy_pending) {
            g_log_destroy_pending = false;
            DestroyProcessLogConnection();
        }
    }
    LogEvent(2, "LOG::LOG_SYS_EXIT", 0, 0, "");
    DebugLog::Stop();
    return 0;
}

namespace {
// The engine whose Init or Uninit this thread runs.
thread_local const CP2SP_EngineImpl* t_life_turn_of = nullptr;
}   // namespace

CP2SP_EngineImpl::LifeTurn::LifeTurn(CP2SP_EngineImpl& engine) : m_engine(engine)
{
    if (t_life_turn_of == &engine)
        return;
    std::unique_lock<std::mutex> life(engine.m_life_lock);
    engine.m_life_done.wait(life, [&] { return !engine.m_life_busy; });
    engine.m_life_busy = true;
    t_life_turn_of = &engine;
    m_taken = true;
}

CP2SP_EngineImpl::LifeTurn::~LifeTurn()
{
    if (!m_taken)
        return;
    t_life_turn_of = nullptr;
    std::lock_guard<std::mutex> life(m_engine.m_life_lock);
    m_engine.m_life_busy = false;
    m_engine.m_life_done.notify_all();
}

CP2SP_EngineImpl::ClientUse::ClientUse(CP2SP_EngineImpl& engine) : m_engine(engine)
{
    // Counted before the pointer is read: Uninit clears the pointer first
    // and then waits for the count, so it never frees a client in use.
    ++m_engine.m_calls;
    m_client = m_engine.m_client.load();
}

CP2SP_EngineImpl::ClientUse::~ClientUse()
{
    --m_engine.m_calls;
}

bool CP2SP_EngineImpl::WaitForCallsToEnd()
{
    const std::uint32_t deadline = platform::tick_count() + kCallsEndMs;
    while (m_calls.load() != 0) {
        if (platform::tick_reached(platform::tick_count(), deadline))
            return false;
        platform::sleep_ms(10);
    }
    return true;
}

bool CP2SP_EngineImpl::ResolveSaveFolder(const char* save_folder, bool create, std::string& folder) const
{
    folder = TrimSaveFolder(platform::from_windows_path(save_folder));
    if (folder.empty()) {
        std::lock_guard<std::mutex> guard(m_folder_lock);
        folder = m_data_folder;
    }
    if (create && !platform::folder_exists(folder))
        CUtility::CreateDirectoryRecursive(folder);
    return platform::folder_exists(folder);
}

bool CP2SP_EngineImpl::ParseSeed(const char* seed_text, SeedHeader& header, std::string& file_list)
{
    if (!seed_text)
        return false;
    std::string error;
    if (::ParseSeed(seed_text, header, file_list, &error))
        return true;
    const std::string text = "seed refused: " + error + "\n";
    platform::debug_output(text.c_str());
    // The front end writes the reason into its log, not only the code.
    if (EngineCallback callback = m_callback.load())
        callback(CBE_ERROR_OUTPUT, reinterpret_cast<std::uintptr_t>(text.c_str()), m_user.load());
    return false;
}

std::int32_t CP2SP_EngineImpl::AddTaskFromSeed(const char* seed_text, const char* save_folder,
                                               const std::vector<std::uint8_t>* bitmap,
                                               const std::vector<std::vector<std::uint8_t>>* piece_tables)
{
    const bool resumed = bitmap != nullptr;
    if (!save_folder || !seed_text)
        return -1;
    const ClientUse use(*this);
    CClientMain* client = use.get();
    if (!client)
        return 1;
    // A new task's folder is made here; a resumed one must exist already.
    std::string folder;
    if (!ResolveSaveFolder(save_folder, !resumed, folder))
        return 2;
    SeedHeader header;
    std::string file_list;
    if (!ParseSeed(seed_text, header, file_list))
        return 3;
    if (resumed && !platform::folder_exists(platform::join_path(folder, TrimBlanks(header.source_folder))))
        return 2;
    if (CTaskStateMgr::Instance().Exists(header.task_id))
        return 5;
    const bool queued = resumed ? client->AddHistoryTask(header.task_id, header.block_size, header.source_folder,
                                                         header.file_count, file_list, *bitmap, *piece_tables, folder)
                                : client->AddTask(header.task_id, header.block_size, header.source_folder,
                                                  header.file_count, file_list, folder);
    if (!queued)
        return 4;
    std::uint64_t id = header.task_id;
    if (EngineCallback callback = m_callback.load())
        callback(CBE_TASK_ADDED, reinterpret_cast<std::uintptr_t>(&id), m_user.load());
    return 0;
}

std::int32_t CP2SP_EngineImpl::AddNewTask(const char* seed_text, const char* save_folder)
{
    return AddTaskFromSeed(seed_text, save_folder, nullptr, nullptr);
}

std::int32_t CP2SP_EngineImpl::AddResumedTask(const char* seed_text, const char* save_folder,
                                              const std::vector<std::uint8_t>& bitmap,
                                              const std::vector<std::vector<std::uint8_t>>& piece_tables)
{
    return AddTaskFromSeed(seed_text, save_folder, &bitmap, &piece_tables);
}

std::int32_t CP2SP_EngineImpl::Start()
{
    const ClientUse use(*this);
    CClientMain* client = use.get();
    if (!client)
        return 1;
    return client->Reconnect() ? 0 : 2;
}

std::int32_t CP2SP_EngineImpl::Refuse(std::uint64_t task_id, std::int32_t result)
{
    if (EngineCallback callback = m_callback.load())
        callback(CBE_TASK_STOP_FAILED, reinterpret_cast<std::uintptr_t>(&task_id), m_user.load());
    return result;
}

std::int32_t CP2SP_EngineImpl::StopTask(std::uint64_t task_id)
{
    if (task_id == 0)
        return Refuse(task_id, -1);
    const ClientUse use(*this);
    CClientMain* client = use.get();
    if (!client)
        return Refuse(task_id, 1);
    if (!client->StopTask(task_id))
        return Refuse(task_id, 2);
    return 0;
}

std::int32_t CP2SP_EngineImpl::GetTaskCount(std::uint32_t* count)
{
    if (!count)
        return -1;
    *count = 0;
    const ClientUse use(*this);
    CClientMain* client = use.get();
    if (!client)
        return 1;
    *count = client->GetRunningCount();
    return 0;
}

std::int32_t CP2SP_EngineImpl::ListTasks(std::vector<std::uint64_t>& ids, bool with_completed)
{
    ids.clear();
    const ClientUse use(*this);
    CClientMain* client = use.get();
    if (!client)
        return 1;
    ids = client->GetRunningIds();
    if (with_completed) {
        const std::vector<std::uint64_t> completed = client->GetCompletedIds();
        ids.insert(ids.end(), completed.begin(), completed.end());
    }
    return 0;
}

std::int32_t CP2SP_EngineImpl::GetTaskList(std::vector<std::uint64_t>& ids)
{
    return ListTasks(ids, false);
}

std::int32_t CP2SP_EngineImpl::GetTaskListDetail(std::vector<std::uint64_t>& ids)
{
    return ListTasks(ids, true);
}

std::int32_t CP2SP_EngineImpl::AddServer(std::int32_t type, const char* host, std::uint16_t port)
{
    if (!host)
        return 1;
    ServerRecord record;
    record.host = host;
    record.port = port;
    CServerList::Instance().Add(type, record);
    return 0;
}

std::int32_t CP2SP_EngineImpl::SetSpeedLimitOn(std::uint8_t on)
{
    transfer_limits::set_speed_limit_on(on != 0);
    return 0;
}

std::int32_t CP2SP_EngineImpl::SetSpeedLimit(float download_kbps, float upload_kbps)
{
    transfer_limits::set_limits(KbpsToBytes(download_kbps), KbpsToBytes(upload_kbps));
    transfer_limits::set_speed_limit_on(true);
    return 0;
}

std::int32_t CP2SP_EngineImpl::GetSpeedLimit(float* download, float* upload, std::uint8_t* on)
{
    if (download)
        *download = static_cast<float>(transfer_limits::download_limit());
    if (upload)
        *upload = static_cast<float>(transfer_limits::upload_limit());
    if (on)
        *on = transfer_limits::speed_limit_on() ? 1 : 0;
    return 0;
}

std::int32_t CP2SP_EngineImpl::QueryTask(std::uint64_t task_id, std::uint32_t* state)
{
    const ClientUse use(*this);
    CClientMain* client = use.get();
    if (!client)
        return 1;
    if (!state)
        return -1;
    const std::uint32_t found = client->GetTaskState(task_id);
    if (found == 0)
        return 1;
    *state = found;
    return 0;
}

std::int32_t CP2SP_EngineImpl::SetMaxTaskNum(std::int32_t n)
{
    engine_flags::set_max_task_num(n);
    return 0;
}

std::int32_t CP2SP_EngineImpl::GetMaxTaskNum(std::uint32_t* n)
{
    if (!n)
        return -1;
    *n = static_cast<std::uint32_t>(engine_flags::max_task_num());
    return 0;
}

std::int32_t CP2SP_EngineImpl::SetDataFolder(const std::string& folder)
{
    const std::string local = platform::from_windows_path(folder);
    {
        std::lock_guard<std::mutex> guard(m_folder_lock);
        m_data_folder = local;
    }
    CUtility::CreateDirectoryRecursive(local);
    return 0;
}

std::int32_t CP2SP_EngineImpl::GetDataFolder(std::string& folder)
{
    std::lock_guard<std::mutex> guard(m_folder_lock);
    folder = m_data_folder;
    return 0;
}

std::int32_t CP2SP_EngineImpl::SetProgressEverySecond(std::uint8_t on)
{
    engine_flags::set_progress_every_second(on != 0);
    return 0;
}

std::int32_t CP2SP_EngineImpl::ReadRecordFile(const char* path, std::vector<std::uint8_t>& bitmap,
                                              std::vector<std::vector<std::uint8_t>>& piece_tables)
{
    bitmap.clear();
    piece_tables.clear();
    if (!path)
        return -1;
    const int result = ReadBitmapFile(platform::from_windows_path(path), bitmap, piece_tables);
    if (result != kBitmapOk)
        return result;
    // One table per bitmap byte: records missing at the end read as empty
    // (not for a bitmap no task has: a few bytes of file must not cost
    // gigabytes of empty tables).
    if (bitmap.size() <= kMaxRecordPieces)
        piece_tables.resize(bitmap.size());
    return 0;
}

std::int32_t CP2SP_EngineImpl::ReadWholeFile(const char* path, std::vector<char>& data)
{
    data.clear();
    if (!path)
        return -1;
    std::ifstream file(platform::from_windows_path(path), std::ios::binary);
    if (!file.is_open())
        return 1;
    char chunk[kWholeFileChunk];
    for (;;) {
        file.read(chunk, sizeof(chunk));
        const std::streamsize got = file.gcount();
        if (got <= 0)
            break;
        if (data.size() + static_cast<std::size_t>(got) > kMaxWholeFile) {
            data.clear();
            data.shrink_to_fit();
            return 2;
        }
        data.insert(data.end(), chunk, chunk + got);
    }
    // A read that failed (a folder, an I/O error) is not an empty file.
    if (file.bad()) {
        data.clear();
        return 1;
    }
    return 0;
}

std::int32_t CP2SP_EngineImpl::ParseTaskXml(const char* seed_text, std::uint32_t* game_id, std::uint64_t* task_id,
                                            std::uint64_t* total_size, std::string& source_folder)
{
    if (!seed_text)
        return -1;
    std::uint32_t game = 0;
    std::uint64_t id = 0;
    std::uint64_t total = 0;
    const int result = ::ParseTaskXml(seed_text, &game, &id, &total, source_folder);
    if (game_id)
        *game_id = game;
    if (task_id)
        *task_id = id;
    if (total_size)
        *total_size = total;
    return result;
}

std::int32_t CP2SP_EngineImpl::DoHttpGet(const char* url, std::vector<char>& body)
{
    // The foundation's GET, with connect, per-wait and total bounds.
    return HttpGetUrl(url, body);
}

std::int32_t CP2SP_EngineImpl::HttpGetText(const char* url, std::vector<char>& body)
{
    body.clear();
    if (!url)
        return -1;
    const std::int32_t result = DoHttpGet(url, body);
    if (result == 0)
        body.push_back('\0');
    return result;
}

std::int32_t CP2SP_EngineImpl::HttpGet(const char* url, std::vector<char>& body)
{
    body.clear();
    if (!url)
        return -1;
    return DoHttpGet(url, body);
}

std::int32_t CP2SP_EngineImpl::GetMd5String(const std::uint8_t* data, std::uint32_t length, std::string& md5)
{
    if (!data && length != 0)
        return -1;
    static const std::uint8_t empty = 0;
    unsigned char digest[16];
    MD5Digest(data ? data : &empty, length, digest);
    md5 = md5_to_hex(digest, true);
    return 0;
}

std::int32_t CP2SP_EngineImpl::SetConfigValue(const std::string& key, const std::string& value)
{
    g_Settings.Set(key, value);
    return 0;
}

IP2SP_Engine* CreateP2SPEngine()
{
    return new (std::nothrow) CP2SP_EngineImpl();
}

void DestroyP2SPEngine(IP2SP_Engine* engine)
{
    delete static_cast<CP2SP_EngineImpl*>(engine);
}

bool CreateLogConnection(const char* host, int port, const char* url)
{
    std::lock_guard<std::mutex> guard(g_log_life_lock);
    g_log_destroy_pending = false;
    return CreateProcessLogConnection(host ? host : "", port, url ? url : "");
}

ILog* GetLogConnection()
{
    return CLogConnection::GetInstance();
}

void DestroyLogConnection()
{
    std::lock_guard<std::mutex> guard(g_log_life_lock);
    // Connections and NAT threads of a running engine still log to it:
    // while a client core exists, Uninit destroys it once they have ended.
    if (CClientMain::GetInstance()) {
        g_log_destroy_pending = true;
        return;
    }
    DestroyProcessLogConnection();
}

std::int32_t StartPingSvr(const char* host, int port, const char* url)
{
    (void)host;
    (void)port;
    (void)url;
    return 1;
}
