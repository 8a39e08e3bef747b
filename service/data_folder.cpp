#include "service/data_folder.h"

#include <cmath>
#include <cstdint>
#include <ctime>
#include <vector>

#include "platform/debug_output.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "service/net_service.h"

namespace kx2dll {
namespace {

void strip_trailing(std::string& text, const char* characters)
{
    const std::size_t last = text.find_last_not_of(characters);
    text.erase(last == std::string::npos ? 0 : last + 1);
}

// Local midnight of the day holding `t`.
std::int64_t local_midnight(std::int64_t t)
{
    const std::time_t when = static_cast<std::time_t>(t);
    std::tm day{};
    if (localtime_r(&when, &day) == nullptr)
        return t;
    day.tm_hour = 0;
    day.tm_min = 0;
    day.tm_sec = 0;
    day.tm_isdst = -1;   // let the library decide for that midnight
    return static_cast<std::int64_t>(std::mktime(&day));
}

// A task id written as the whole base name, in decimal; 0 when it is not.
std::int64_t task_id_of(const std::string& base)
{
    if (base.empty() || base.size() > 19)
        return 0;
    std::uint64_t id = 0;
    for (char c : base) {
        if (c < '0' || c > '9')
            return 0;
        id = id * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return id > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(id);
}

bool is_task_extension(std::string ext)
{
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return ext == ".txt" || ext == ".bbm";
}

}   // namespace

std::string get_data_folder()
{
    std::string folder = platform::common_appdata_dir();
    strip_trailing(folder, " \r\n\t\\/");
    if (folder.empty())
        return {};
    // The Windows folder always exists; its stand-in here is made on first use.
    if (!platform::folder_exists(folder) && !platform::create_folder(folder))
        return {};
    folder += platform::path_separator;
    folder += "ZVK";
    if (!platform::folder_exists(folder))
        platform::create_folder(folder);
    if (!platform::folder_exists(folder))
        return {};
    return folder + platform::path_separator;
}

std::int64_t days_between(std::int64_t a, std::int64_t b)
{
    const double seconds = static_cast<double>(local_midnight(a) - local_midnight(b));
    // Midnights lie a whole number of days apart except across a daylight
    // saving change, where the day is an hour short or long: round.
    return static_cast<std::int64_t>(std::llround(seconds / 86400.0));
}

void delete_expired_files(const std::string& folder, const std::map<std::int64_t, int>& ids,
                          std::map<std::int64_t, int>& deleted, std::int64_t now)
{
    deleted.clear();
    if (folder.empty() || ids.empty())
        return;
    std::string dir = folder;
    strip_trailing(dir, " \r\n\t\\/");
    if (dir.empty())
        dir = "/";
    std::vector<platform::FolderEntry> entries;
    if (!platform::folder_exists(dir) || !platform::list_folder(dir, entries)) {
        platform::debug_output(folder + " is not directory\n");
        return;
    }
    for (const platform::FolderEntry& entry : entries) {
        const std::string full = platform::join_path(dir, entry.name);
        platform::debug_output("tempfilename:" + full + "\n");
        if (entry.is_dir)
            continue;
        const std::size_t dot = entry.name.rfind('.');
        if (dot == std::string::npos || !is_task_extension(entry.name.substr(dot)))
            continue;
        const std::int64_t id = task_id_of(entry.name.substr(0, dot));
        if (id <= 0 || ids.find(id) == ids.end())
            continue;
        if (days_between(now, entry.mtime) <= 10)
            continue;
        if (!platform::file_exists(full) || !platform::delete_file(full))
            continue;
        deleted[id] = 1;
        NetService::LogLine("Delete expired file: " + full + ",file modify time:" + std::to_string(entry.mtime) + "\n");
    }
}

void delete_expired_files(const std::string& folder, const std::map<std::int64_t, int>& ids,
                          std::map<std::int64_t, int>& deleted)
{
    delete_expired_files(folder, ids, deleted, platform::unix_time());
}

}   // namespace kx2dll
