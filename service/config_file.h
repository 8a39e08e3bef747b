// Building "p2sp_config.ini": the copy fetched from the update server, the
// branch of section names for this game, the user's settings carried over
// from the local file, and the defaults of every missing setting.
#pragma once

#include <cstdint>
#include <string>

#include "fagex/fagexConfigFile.h"

namespace kx2dll {

// Sections that take the branch suffix.
extern const char* const section_preferred;      // "Preferred_Settings"
extern const char* const section_dll_info;       // "dll_info"
extern const char* const section_last_version;   // "game_last_version"

// Fills `config` from the fetched copy (`fetched_path`, when it exists) and
// the local file (`local_path`, when it exists), then adds the defaults;
// returns the branch suffix ("" or "_New"). Does not save. Throws
// fagex::Exception when an existing file cannot be read.
std::string build_config(fagex::ConfigFile& config, const std::string& fetched_path, const std::string& local_path,
                         std::uint32_t game_id);

// The default value of a "Preferred_Settings" key ("" when it has none).
std::string default_setting(const std::string& key);

// Port text of the log server read as an unsigned 16-bit number; 0 -> 80.
std::uint16_t log_server_port_value(const std::string& text);

// "log_http_url" without leading " \r\n/" and trailing " \r\n".
std::string trim_log_url(const std::string& url);

}   // namespace kx2dll
