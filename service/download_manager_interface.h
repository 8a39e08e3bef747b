// What the launcher commands need of the download manager: the seam between
// the command handlers and `kx2dll::download_manager`, which implements it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace kx2dll {

// Name -> value lists of settings and of task information.
using value_map = std::map<std::string, std::string>;

class download_manager_interface {
public:
    virtual ~download_manager_interface() = default;

    // Fills the launcher settings ("MAX_DOWNLOAD_NUM", "MAX_DOWN_SPEED",
    // "MAX_UP_SPEED", "FILE_SAVE_PATCH"); false when they cannot be read.
    virtual bool get_settings(value_map& settings) = 0;

    // Fills the information of the task the launcher names by file MD5
    // ("TASK_STATE", "DOWN_SPEED", "UP_SPEED", "DOWN_PROCESS", "SAVE_PATCH");
    // false when there is no such task.
    virtual bool get_task_info(int game_id, const std::string& file_md5, value_map& info) = 0;

    // Changes one launcher setting; false (with the reason left by
    // set_failure_reason) for an unknown name or a value that does not parse
    // or is out of range, the setting then unchanged.
    virtual bool set_setting(const std::string& item_name, const std::string& value) = 0;

    // Marks the task with that file MD5 for download at the priority level
    // (0 normal, 1 asked for by the launcher); false when refused.
    virtual bool start_download_file(int game_id, const std::string& file_md5, int level) = 0;

    // Starts the update packets from one game version to another; fills the
    // packet key the launcher polls with; false when no path exists.
    virtual bool start_download_packet(int game_id, const std::string& old_version, const std::string& new_version,
                                       std::string& packet_key, int level) = 0;

    // Stops the task with that file MD5 (or packet key); false when unknown.
    virtual bool stop_download_file(int game_id, const std::string& file_md5) = 0;

    // The automatic-download switch of the scheduling pass.
    virtual void set_auto_download(bool enabled) = 0;

    // Why the download of that name does not move (its files cannot be
    // written, its seed cannot be fetched); empty while nothing stands in
    // its way.
    virtual std::string task_problem(int game_id, const std::string& file_md5)
    {
        (void)game_id;
        (void)file_md5;
        return std::string();
    }
};

// Builds the download manager of a game for the launcher's path; the game
// id is that of the service asking. May throw fagex::Exception (a
// configuration or engine that cannot be started).
using download_manager_factory =
    std::function<std::unique_ptr<download_manager_interface>(const std::string& launcher_path, std::uint32_t game_id)>;

// The factory `register_client` uses. Empty while no download manager is
// linked into the service: the commands that need one then fail.
download_manager_factory default_download_manager_factory();

}   // namespace kx2dll
