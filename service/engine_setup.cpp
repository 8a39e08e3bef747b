// Handing the engine its servers, settings, limits and save folder, then
// starting it with the event callback.
#include "service/download_manager.h"

#include <cstdlib>
#include <cstring>

#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "service/config_file.h"
#include "service/launcher_error.h"

namespace kx2dll {
namespace {

std::uint16_t port16(const std::string& text)
{
    return static_cast<std::uint16_t>(std::strtoul(text.c_str(), nullptr, 10));
}

std::string trimmed(std::string text)
{
    fagex::StringUtil::trim(text, true, true);
    return text;
}

float clamp(float v, float low, float high)
{
    return v < low ? low : (v > high ? high : v);
}

}   // namespace

std::uint16_t engine_listen_port(const std::string& setting, std::uint32_t game_id)
{
    std::uint16_t port = port16(setting);
    if (port == 0)
        port = 9678;
    return static_cast<std::uint16_t>(port + game_id);
}

bool download_manager::init_p2sp_engine()
{
    const std::string south = preferred("RIS_SOUTH");
    const std::uint16_t south_port = port16(preferred("RIS_SOUTH_PORT"));
    const std::string north = preferred("RIS_NORTH");
    const std::uint16_t north_port = port16(preferred("RIS_NORTH_PORT"));
    m_engine->AddServer(1, south.c_str(), south_port);
    m_engine->AddServer(2, north.c_str(), north_port);

    for (const char* key : {"only_cdn_by_id", "only_cdn_by_md5", "limit_use_p2p_size"})
        m_engine->SetConfigValue(key, preferred(key));

    const std::string preferred_section = std::string(section_preferred) + m_suffix;
    int n = std::atoi(trimmed(preferred("max_download_task_num")).c_str());
    if (n < 1)
        n = 8;
    if (n > 50)
        n = 50;
    m_engine->SetMaxTaskNum(n);
    m_config.setSetting(preferred_section, "max_download_task_num", std::to_string(n));

    const float down = clamp(static_cast<float>(std::atof(trimmed(preferred("max_download_speed")).c_str())), 10.0f,
                             102400.0f);
    const float up = clamp(static_cast<float>(std::atof(trimmed(preferred("max_upload_speed")).c_str())), 5.0f,
                           102400.0f);
    m_engine->SetSpeedLimit(down, up);
    m_config.setSetting(preferred_section, "max_download_speed", fagex::StringConverter::toString(down));
    m_config.setSetting(preferred_section, "max_upload_speed", fagex::StringConverter::toString(up));

    std::string folder = trimmed(preferred("defaulte_save_path"));
    if (folder.empty())
        folder = "c:\\qorn";
    // A folder that cannot be made leaves the downloads in the launcher's.
    if (!set_setting("defaulte_save_path", folder)) {
        log_error("defaulte_save_path: " + take_failure_reason(folder) + "; the launcher's folder is used");
        set_setting("defaulte_save_path", m_launcher_path);
    }
    return true;
}

bool download_manager::start_p2sp_engine()
{
    const std::string save_path = preferred("defaulte_save_path");
    const std::uint16_t port = engine_listen_port(preferred("ListenPort"), m_game_id);

    EngineInitBlock block{};
    std::memset(block.data_folder, 0, sizeof(block.data_folder));
    std::memset(block.bitmap_folder, 0, sizeof(block.bitmap_folder));
    std::strncpy(block.data_folder, save_path.c_str(), sizeof(block.data_folder) - 1);
    std::strncpy(block.bitmap_folder, m_launcher_path.c_str(), sizeof(block.bitmap_folder) - 1);
    block.fixed_peer_type = 0;
    block.listen_port = port;
    return m_engine->Init(&block, &download_manager::OnEngineCallback, this) == 0;
}

}   // namespace kx2dll
