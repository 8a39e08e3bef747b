// The download manager's life: construction in its fixed order, shutdown,
// and the small file helpers the other parts use.
#include "service/download_manager.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "fagex/fagexException.h"
#include "fagex/fagexStringConverter.h"
#include "foundation/md5.h"
#include "platform/paths.h"
#include "service/config_file.h"
#include "service/data_folder.h"
#include "service/net_service.h"

namespace kx2dll {
namespace {

// The launcher's path as a folder of this platform, ending in the separator.
std::string launcher_folder(const std::string& path)
{
    std::string folder = platform::from_windows_path(path);
    if (!folder.empty() && folder.back() != '/')
        folder += "/";
    return folder;
}

std::string make_working_folder(const std::string& launcher_path, std::uint32_t game_id)
{
    const std::string folder = launcher_path + "dll_download/p2sp_game" + std::to_string(game_id) + "/";
    if (!platform::folder_exists(folder))
        create_directory_tree(folder);
    return platform::folder_exists(folder) ? folder : launcher_path;
}

// Seeds live in the data folder, else beside the launcher.
std::string seed_folder(const std::string& launcher_path)
{
    std::string folder = get_data_folder();
    if (folder.empty() || !platform::folder_exists(folder))
        folder = launcher_path;
    while (!folder.empty() && std::string(" \r\n\t\\/").find(folder.back()) != std::string::npos)
        folder.pop_back();
    return folder + "/";
}

[[noreturn]] void throw_start_failure(const char* source, long line)
{
    throw fagex::InternalErrorException(7, "Invalid blend factor.", source, __FILE__, line);
}

}   // namespace

bool write_file(const std::string& path, const void* bytes, std::size_t length)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const auto* p = static_cast<const char*>(bytes);
    std::size_t done = 0;
    bool ok = true;
    while (done < length) {
        const std::size_t n = std::fwrite(p + done, 1, length - done, f);
        if (n == 0) {
            ok = false;   // the disk takes no more
            break;
        }
        done += n;
    }
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

std::string string_md5(const std::string& text)
{
    return md5_hex(text.data(), text.size(), false);
}

bool create_directory_tree(const std::string& path)
{
    if (platform::path_exists(path))
        return true;
    return platform::create_folder(path);
}

std::string packet_key(std::vector<std::uint64_t> ids)
{
    std::sort(ids.begin(), ids.end());
    std::string text;
    for (std::uint64_t id : ids)
        text += std::to_string(id);
    return string_md5(text);
}

std::string text3(double value)
{
    return fagex::StringConverter::toString(static_cast<float>(value), 3, 0, ' ', std::ios::fixed);
}

std::atomic<download_manager*> download_manager::s_instance{nullptr};

download_manager::download_manager(const std::string& launcher_path, std::uint32_t game_id)
    : m_game_id(game_id),
      m_launcher_path(launcher_folder(launcher_path)),
      m_working_folder(make_working_folder(m_launcher_path, game_id)),
      m_config_path(m_working_folder + "p2sp_config.ini"),
      m_local(game_id, m_working_folder + "local_task_list.cfg", seed_folder(m_launcher_path))
{
    NetService::LogLine("download_manager init ...", 2);
    NetService::LogLine("download_manager:" + std::to_string(game_id) + ",path:" + m_launcher_path, 2);
    load_config();

    std::ostringstream settings;
    for (const auto& section : m_config.getAll()) {
        for (const auto& kv : section.second)
            settings << kv.first << ":" << kv.second << "\r\n";
    }
    NetService::LogLine(settings.str(), 2);

    m_task_list_url = m_config.getSetting(std::string(section_dll_info) + m_suffix, "updateTaskListURL");
    bool logging = fagex::StringConverter::parseBool(preferred("write_log"));
    if (!logging && platform::file_exists(platform::client_log_marker_path()))
        logging = true;
    if (NetService* service = NetService::Instance())
        service->SetLogging(logging);

    m_local.load();

    m_engine = CreateP2SPEngine();
    if (!m_engine)
        throw_start_failure("init_p2sp_engine()", __LINE__);
    init_p2sp_engine();
    if (!start_p2sp_engine()) {
        // Nothing may keep calling back into a manager that never existed.
        shutdown_engine();
        throw_start_failure("start_p2sp_engine()", __LINE__);
    }
    try {
        load_game_versions();
        NetService::LogLine(InitLogConnClient() ? "InitLogConnClient sucess!" : "InitLogConnClient fail!", 2);
        NetService::LogLine(DoPingSvr() ? "DoPingSvr success" : "DoPingSvr fail", 2);

        m_timer.SetEventSink(this);
        m_timer.AddTimer(timer_refresh_task_list, refresh_interval_ms, 0);
        m_timer.AddTimer(timer_save_local_list, save_interval_ms, 0);
        m_timer.AddTimer(timer_schedule, schedule_interval_ms, 0);
    } catch (...) {
        // The engine and the timers call back into this object: they stop
        // before it goes.
        m_timer.Stop();
        shutdown_engine();
        if (m_log_connection)
            DestroyLogConnection();
        throw;
    }
    s_instance.store(this);
}

download_manager::~download_manager()
{
    download_manager* self = this;
    s_instance.compare_exchange_strong(self, nullptr);
    m_timer.Stop();
    save_config();
    m_local.save();
    // The engine's threads log through the log connection: they go first.
    shutdown_engine();
    if (m_log_connection)
        DestroyLogConnection();
    NetService::LogLine("~download_manager() ...", 2);
}

void download_manager::shutdown_engine()
{
    IP2SP_Engine* engine = m_engine;
    if (!engine)
        return;
    engine->Uninit();
    m_engine = nullptr;
    DestroyP2SPEngine(engine);
}

std::string download_manager::seed_file_path(std::uint64_t task_id) const
{
    return seed_folder(m_launcher_path) + std::to_string(task_id) + ".txt";
}

bool download_manager::engine_task_ids(std::vector<std::uint64_t>& ids) const
{
    ids.clear();
    return m_engine && m_engine->GetTaskListDetail(ids) == 0;
}

}   // namespace kx2dll
