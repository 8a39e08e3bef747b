// "p2sp_config.ini": building it from the fetched copy, the local file and
// the defaults; the game versions it records; the log connection it names.
#include "service/config_file.h"

#include <cstdlib>

#include "engine/p2sp_engine.h"
#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "foundation/http_get.h"
#include "platform/paths.h"
#include "report/log_connection.h"
#include "service/download_manager.h"
#include "service/net_service.h"
#include "service/server_addresses.h"

namespace kx2dll {

const char* const section_preferred = "Preferred_Settings";
const char* const section_dll_info = "dll_info";
const char* const section_last_version = "game_last_version";

namespace {

const char* const fetched_name = "tmp_p2sp_config.ini";
// Bound of the whole fetch of the update server's copy.
constexpr std::uint32_t config_fetch_ms = 3000;

// The user's settings that survive an update.
const char* const user_keys[] = {"defaulte_save_path", "max_download_speed", "max_download_task_num",
                                 "max_upload_speed", "write_log"};

// The keys that get a default when empty, in this order.
const char* const defaulted_keys[] = {
    "ListenPort",       "RIS_SOUTH",       "RIS_SOUTH_PORT",     "RIS_NORTH",          "RIS_NORTH_PORT",
    "only_cdn_by_id",   "only_cdn_by_md5", "defaulte_save_path", "max_download_speed", "max_download_task_num",
    "max_upload_speed", "log_server_ip",   "log_server_port",    "limit_use_p2p_size"};

// Replaces every entry of the key (adding one when it has none).
void replace_setting(fagex::ConfigFile& config, const std::string& section, const std::string& key,
                     const std::string& value)
{
    if (config.setSetting(section, key, value) == 0)
        config.addSetting(section, key, value);
}

}   // namespace

std::string default_setting(const std::string& key)
{
    if (key == "ListenPort")
        return "9000";
    if (key == "RIS_SOUTH")
        return ris_south_host();
    if (key == "RIS_SOUTH_PORT")
        return ris_south_port();
    if (key == "RIS_NORTH")
        return ris_north_host();
    if (key == "RIS_NORTH_PORT")
        return ris_north_port();
    if (key == "only_cdn_by_id")
        return cdn_query_by_id_url();
    if (key == "only_cdn_by_md5")
        return cdn_query_by_md5_url();
    if (key == "defaulte_save_path")
        return "C:\\QORN";
    if (key == "max_download_speed")
        return "5000.0";
    if (key == "max_download_task_num")
        return "10";
    if (key == "max_upload_speed")
        return "1000.0";
    if (key == "log_server_ip")
        return log_server_ip();
    if (key == "log_server_port")
        return log_server_port();
    if (key == "limit_use_p2p_size")
        return "10485760";
    if (key == "write_log")
        return "false";
    return std::string();
}

std::string build_config(fagex::ConfigFile& config, const std::string& fetched_path, const std::string& local_path,
                         std::uint32_t game_id)
{
    config.clear();
    if (platform::file_exists(fetched_path))
        config.load(fetched_path);
    const std::string id = std::to_string(game_id);

    std::string suffix;
    if (!config.hasSection("Branch"))
        config.addSetting("Branch", "10", "_New");
    if (config.getSetting("Branch", id) == "_New")
        suffix = "_New";
    const std::string preferred = std::string(section_preferred) + suffix;

    if (platform::path_exists(local_path)) {
        fagex::ConfigFile local;
        local.load(local_path);
        if (config.getSetting(section_preferred, "RIS_SOUTH").empty()) {
            // Nothing usable was fetched: the local file wins whole.
            for (const auto& section : local.getAll()) {
                if (section.first.empty())
                    continue;
                for (const auto& kv : section.second)
                    replace_setting(config, section.first, kv.first, kv.second);
            }
        } else {
            const std::string source = local.hasSection("Branch") ? preferred : std::string(section_preferred);
            for (const std::string& target :
                 {std::string(section_preferred), std::string(section_preferred) + "_New"}) {
                for (const char* key : user_keys) {
                    const std::string value = local.getSetting(source, key);
                    if (!value.empty())
                        replace_setting(config, target, key, value);
                }
            }
        }
    }

    for (const char* key : defaulted_keys) {
        if (config.getSetting(preferred, key).empty())
            config.addSetting(preferred, key, default_setting(key));
    }
    const std::string versions = std::string(section_last_version) + suffix;
    if (config.getSetting(versions, id).empty())
        config.addSetting(versions, id, "0");
    const std::string info = std::string(section_dll_info) + suffix;
    if (config.getSetting(info, "updateTaskListURL").empty())
        config.addSetting(info, "updateTaskListURL", "http://" + task_server() + "/update_task/task_list.txt");
    return suffix;
}

std::uint16_t log_server_port_value(const std::string& text)
{
    const auto port = static_cast<std::uint16_t>(fagex::StringConverter::parseInt(text));
    return port == 0 ? 80 : port;
}

std::string trim_log_url(const std::string& url)
{
    const std::size_t first = url.find_first_not_of(" \r\n/");
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = url.find_last_not_of(" \r\n");
    return url.substr(first, last - first + 1);
}

void download_manager::load_config()
{
    const std::string fetched = m_working_folder + fetched_name;
    platform::delete_file(fetched);
    std::vector<char> body;
    const std::string url = "http://" + update_server() + "/update_dll/p2sp_config.ini";
    // register_client waits for this on the network thread: a slow update
    // server costs it a few seconds at most, then the local file serves.
    HttpGetOptions options;
    options.total_ms = config_fetch_ms;
    if (http_get(url, options, body) == 0)
        write_file(fetched, body.data(), body.size());
    m_suffix = build_config(m_config, fetched, m_config_path, m_game_id);
    save_config();
}

bool download_manager::save_config()
{
    std::lock_guard<std::mutex> guard(m_config_save_lock);
    if (m_config.save(m_config_path))
        return true;
    NetService::LogLine("cannot write the configuration " + m_config_path, 2);
    return false;
}

std::string download_manager::preferred(const std::string& key) const
{
    return m_config.getSetting(std::string(section_preferred) + m_suffix, key);
}

void download_manager::load_game_versions()
{
    const std::string section = std::string(section_last_version) + m_suffix;
    const auto all = m_config.getAll();
    auto it = all.find(section);
    if (it == all.end())
        return;
    std::lock_guard<std::mutex> guard(m_version_lock);
    for (const auto& kv : it->second) {
        const auto id = static_cast<std::uint32_t>(fagex::StringConverter::parseInt(kv.first));
        GameVersionInfo& info = m_game_versions[id];
        info.gameid = static_cast<std::int32_t>(id);
        info.version = kv.second;
    }
}

bool download_manager::game_version(std::uint32_t game_id, std::string& version) const
{
    std::lock_guard<std::mutex> guard(m_version_lock);
    auto it = m_game_versions.find(game_id);
    if (it == m_game_versions.end())
        return false;
    version = it->second.version;
    return true;
}

bool download_manager::update_game_version(std::uint32_t game_id, const std::string& version)
{
    {
        std::lock_guard<std::mutex> guard(m_version_lock);
        auto it = m_game_versions.find(game_id);
        if (it == m_game_versions.end())
            return false;
        it->second.version = version;
    }
    const std::string section = std::string(section_last_version) + m_suffix;
    const std::string key = std::to_string(game_id);
    const std::string recorded = m_config.getSetting(section, key);
    // Every task-list fetch notes the game's line: the file is written again
    // only when the version changed.
    if (!recorded.empty() && recorded == version)
        return true;
    if (recorded.empty())
        m_config.addSetting(section, key, version);
    else
        m_config.setSetting(section, key, version);
    save_config();
    return true;
}

bool download_manager::InitLogConnClient()
{
    const std::string ip = preferred("log_server_ip");
    if (ip.empty())
        return false;
    const std::uint16_t port = log_server_port_value(preferred("log_server_port"));
    const std::string url = trim_log_url(preferred("log_http_url"));
    const bool running = CreateLogConnection(ip.c_str(), port, url.empty() ? nullptr : url.c_str());
    m_log_connection = true;
    if (running) {
        NetService::LogLine("log svr ip : " + ip + " port : " + std::to_string(port) + "\n", 2);
        if (preferred("log_send_localhost") == "1") {
            if (ILog* log = GetLogConnection())
                log->SetMirrorToLocal(true);
        }
    }
    return running;
}

bool download_manager::DoPingSvr()
{
    const std::string host = m_config.getSetting("PingSvrConf", "PingSvrHost");
    const int port = fagex::StringConverter::parseInt(m_config.getSetting("PingSvrConf", "PingSvrPort"));
    const std::string url = m_config.getSetting("PingSvrConf", "PingSvrUrl");
    StartPingSvr(host.c_str(), port, url.c_str());
    return true;
}

}   // namespace kx2dll
