// The launcher's operations: starting downloads by file MD5 or by update
// packets, stopping them, settings and task information.
#include "service/download_manager.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "service/config_file.h"
#include "service/launcher_error.h"
#include "service/net_service.h"
#include "service/text_util.h"
#include "service/version_path.h"

namespace kx2dll {
namespace {

void log(const std::string& text, int level = 2)
{
    NetService::LogLine(text, level);
}

// The engine's limits in bytes per second.
bool engine_limits(IP2SP_Engine* engine, float& down, float& up)
{
    std::uint8_t on = 0;
    return engine->GetSpeedLimit(&down, &up, &on) == 0;
}

// Failed look-ups whose reasons are kept for the launcher to read.
constexpr std::size_t max_lookup_failures = 1024;

// Bounds of the launcher's limits: tasks at once, and KB/s.
constexpr long min_task_num = 1;
constexpr long max_task_num = 50;
constexpr double min_speed = 10.0;
constexpr double max_speed = 102400.0;

// The whole text (blanks around it aside) read by `read` (strtol or
// strtod); false when it is not one number of that kind.
template <typename T, typename Read>
bool parse_all(const std::string& text, T& out, Read read)
{
    const std::string t = trim_text(text, " \t\r\n", " \t\r\n");
    if (t.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    out = read(t.c_str(), &end);
    return errno == 0 && end != nullptr && *end == '\0';
}

bool parse_whole(const std::string& text, long& out)
{
    return parse_all(text, out, [](const char* t, char** end) { return std::strtol(t, end, 10); });
}

bool parse_number(const std::string& text, double& out)
{
    return parse_all(text, out, [](const char* t, char** end) { return std::strtod(t, end); }) && std::isfinite(out);
}

std::string bound_text(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

}   // namespace

void download_manager::add_download_task(const FileTaskRecord& record, const std::string& key)
{
    {
        std::lock_guard<std::mutex> guard(m_file_task_lock);
        m_file_tasks[key] = record;
    }
    log("添加一个下载任务 ：id[" + (record.taskids.empty() ? std::string() : std::to_string(record.taskids[0])) +
        "]\n");
}

void download_manager::forget_file_task(const std::string& key, const FileTaskRecord& entry)
{
    std::lock_guard<std::mutex> guard(m_file_task_lock);
    auto it = m_file_tasks.find(key);
    // A start that named the key again meanwhile keeps its entry.
    if (it != m_file_tasks.end() && it->second.taskids == entry.taskids)
        m_file_tasks.erase(it);
}

void download_manager::remove_local_task(std::uint64_t task_id)
{
    m_local.remove(task_id);
    std::map<std::string, FileTaskRecord> entries;
    {
        std::lock_guard<std::mutex> guard(m_file_task_lock);
        entries = m_file_tasks;
    }
    for (const auto& e : entries) {
        const std::vector<std::uint64_t>& ids = e.second.taskids;
        if (std::find(ids.begin(), ids.end(), task_id) == ids.end())
            continue;
        LocalTaskRecord r;
        if (std::none_of(ids.begin(), ids.end(), [&](std::uint64_t id) { return m_local.find(id, r); }))
            forget_file_task(e.first, e.second);
    }
}

bool download_manager::find_file_task(std::uint32_t game_id, const std::string& key, FileTaskRecord& out) const
{
    std::lock_guard<std::mutex> guard(m_file_task_lock);
    auto it = m_file_tasks.find(key);
    if (it == m_file_tasks.end() || it->second.gameid != game_id)
        return false;
    out = it->second;
    return true;
}

bool download_manager::find_file_task_by_versions(std::uint32_t game_id, const std::string& old_version,
                                                  const std::string& new_version, FileTaskRecord& out,
                                                  std::string& key) const
{
    std::lock_guard<std::mutex> guard(m_file_task_lock);
    bool found = false;
    for (const auto& entry : m_file_tasks) {
        const FileTaskRecord& r = entry.second;
        if (r.gameid == game_id && r.now_version == old_version && r.new_version == new_version) {
            out = r;
            key = entry.first;
            found = true;
        }
    }
    return found;
}

bool download_manager::find_server_task_by_file_md5(std::uint32_t game_id, const std::string& md5,
                                                    ServerTaskRecord& out) const
{
    const server_task_list listed = server_tasks();
    for (const auto& entry : *listed) {
        if (entry.second.gameid == game_id && lists_file_md5(entry.second.file_list, md5)) {
            out = entry.second;
            return true;
        }
    }
    return false;
}

bool download_manager::find_server_task(std::uint64_t task_id, ServerTaskRecord& out) const
{
    const server_task_list listed = server_tasks();
    auto it = listed->find(task_id);
    if (it == listed->end())
        return false;
    out = it->second;
    return true;
}

bool download_manager::activate_file_task(const FileTaskRecord& record, int level)
{
    bool result = true;
    for (std::uint64_t id : record.taskids) {
        LocalTaskRecord local;
        if (m_local.find(id, local)) {
            const bool gone = finished_files_gone(local);
            // A finished task whose files are there stays finished (it seeds).
            if (gone || local.taskstate != TASK_completed)
                local.taskstate = TASK_waiting;
            if (level == 0 || level == 1)
                local.priority_level = level;
            if (gone) {
                local.redownload = true;
                local.progress = 0;
            }
            m_local.put(local);
            continue;
        }
        ServerTaskRecord listed;
        if (find_server_task(id, listed)) {
            listed.to_local_task(local);
            m_local.add(local);
        } else {
            result = false;
        }
    }
    return result;
}

bool download_manager::start_download_file(int game_id_in, const std::string& file_md5, int level)
{
    const auto game_id = static_cast<std::uint32_t>(game_id_in);
    FileTaskRecord entry;
    if (find_file_task(game_id, file_md5, entry)) {
        if (activate_file_task(entry, level)) {
            wake_scheduling();
            log("start file_md5[" + file_md5 + "], level[" + std::to_string(level) + "]\n");
            return true;
        }
        // Its task was withdrawn since: the name is looked up afresh.
        forget_file_task(file_md5, entry);
    }
    std::uint64_t id = 0;
    if (m_local.find_task_by_file_md5(game_id, file_md5, id)) {
        LocalTaskRecord r;
        if (!m_local.find(id, r)) {
            log_error("do not find task id[" + std::to_string(id) + "]\n");
            set_failure_reason("task " + std::to_string(id) + " of file_md5 '" + file_md5 + "' has no local record");
            return false;
        }
        if (level == 0 || level == 1)
            r.priority_level = level;
        if (finished_files_gone(r)) {
            r.progress = 0;
            r.redownload = true;
            if (r.taskstate >= -1)
                r.taskstate = TASK_waiting;
        } else if (r.taskstate == TASK_listed) {
            r.taskstate = TASK_waiting;
        }
        m_local.put(r);
        add_download_task({r.gameid, file_md5, r.now_version, r.new_version, {id}}, file_md5);
        wake_scheduling();
        log("add tasks id:" + std::to_string(id) + ", level : " + std::to_string(level) + "\n");
        return true;
    }
    // No task server lists a file by anything but its digest: a name that
    // is none is refused without asking.
    if (!is_md5_text(file_md5)) {
        set_failure_reason("file_md5 '" + file_md5 + "' is not an MD5 (32 hexadecimal digits)");
        return false;
    }
    // Only the task server knows the file. Its answer is fetched on the
    // scheduling thread; the command waits a little for it and otherwise
    // answers at once, the download showing state 0 until it is known.
    std::unique_lock<std::mutex> guard(m_file_task_lock);
    auto pending = m_lookups.find(file_md5);
    if (pending != m_lookups.end()) {
        pending->second = {game_id, level};
        return true;
    }
    m_lookups[file_md5] = {game_id, level};
    guard.unlock();
    wake_scheduling();
    guard.lock();
    const bool answered = m_request_done.wait_for(guard, std::chrono::milliseconds(launcher_wait_ms),
                                                  [&] { return m_lookups.count(file_md5) == 0; });
    if (!answered) {
        guard.unlock();
        log("file_md5[" + file_md5 + "] is being looked up on the task server\n");
        return true;
    }
    auto known = m_file_tasks.find(file_md5);
    if (known != m_file_tasks.end() && known->second.gameid == game_id)
        return true;
    auto failed = m_lookup_failures.find(file_md5);
    if (failed != m_lookup_failures.end())
        set_failure_reason(failed->second);
    return false;
}

void download_manager::look_up_file_task(const std::string& file_md5, std::uint32_t game_id, bool& listed_now)
{
    ServerTaskRecord listed;
    bool found = listed_now && find_server_task_by_file_md5(game_id, file_md5, listed);
    bool fetched = found;
    if (!found) {
        fetched = update_taskslist_from_server(file_md5);
        listed_now = fetched;
        if (fetched)
            m_lookup_list_tick = platform::tick_count() | 1;
        found = find_server_task_by_file_md5(game_id, file_md5, listed);
    }
    // A list that could not be fetched is not a list without the file.
    const std::string fetch_error = fetched ? std::string() : take_failure_reason("the task list cannot be fetched");
    auto finish = [&](const std::string& failure) {
        {
            std::lock_guard<std::mutex> guard(m_file_task_lock);
            m_lookups.erase(file_md5);
            if (failure.empty()) {
                m_lookup_failures.erase(file_md5);
            } else {
                // Names a launcher made up must not pile up without end.
                if (m_lookup_failures.size() >= max_lookup_failures)
                    m_lookup_failures.clear();
                m_lookup_failures[file_md5] = failure;
            }
        }
        m_request_done.notify_all();
    };
    if (!found) {
        log_error("not find task game_id[" + std::to_string(game_id) + "], s_file_md5[" + file_md5 + "]\n");
        finish(fetched ? "the task server lists no task holding file_md5 '" + file_md5 + "'" : fetch_error);
        return;
    }
    int level = 0;
    {
        std::lock_guard<std::mutex> guard(m_file_task_lock);
        auto it = m_lookups.find(file_md5);
        if (it == m_lookups.end())
            return;   // stopped while it was looked up
        level = it->second.level;
    }
    LocalTaskRecord r;
    listed.to_local_task(r);
    if (level == 0 || level == 1)
        r.priority_level = level;
    m_local.add(r);
    if (r.taskstate == TASK_listed)
        m_local.set_value(r.taskid, field_taskstate, "0");
    m_local.set_value(r.taskid, field_priority_level, std::to_string(level));
    add_download_task({r.gameid, file_md5, r.now_version, r.new_version, {r.taskid}}, file_md5);
    log("add task id[" + std::to_string(r.taskid) + "], game_id[" + std::to_string(game_id) + "], s_file_md5[" +
        file_md5 + "]\n");
    finish(std::string());
}

bool download_manager::lookup_pending(std::uint32_t game_id, const std::string& file_md5) const
{
    std::lock_guard<std::mutex> guard(m_file_task_lock);
    auto it = m_lookups.find(file_md5);
    return it != m_lookups.end() && it->second.game_id == game_id;
}

bool download_manager::start_download_packet(int game_id_in, const std::string& old_version,
                                             const std::string& new_version, std::string& key, int level)
{
    const auto game_id = static_cast<std::uint32_t>(game_id_in);
    key.clear();
    FileTaskRecord entry;
    if (find_file_task_by_versions(game_id, old_version, new_version, entry, key)) {
        if (activate_file_task(entry, level)) {
            wake_scheduling();
            log("start task file md5[" + key + "], level[" + std::to_string(level) + "]\n", 3);
            return true;
        }
        // A task of the chain was withdrawn since: the path is found afresh.
        forget_file_task(key, entry);
        key.clear();
    }
    const std::int32_t from = std::atoi(old_version.c_str());
    const std::int32_t to = std::atoi(new_version.c_str());
    std::vector<VersionPathEntry> entries;
    {
        local_task_list::map_type all;
        m_local.copy(all);
        for (const auto& e : all) {
            if (e.second.gameid == game_id)
                entries.push_back({game_id, std::atoi(e.second.now_version.c_str()),
                                   std::atoi(e.second.new_version.c_str()), e.first});
        }
    }
    std::vector<std::uint64_t> ids;
    std::int32_t path_from = 0;
    std::int32_t path_to = 0;
    if (!entries.empty() && find_version_path(entries, from, to, ids, path_from, path_to)) {
        std::sort(ids.begin(), ids.end());
        key = packet_key(ids);
        const FileTaskRecord record{game_id, key, old_version, new_version, ids};
        add_download_task(record, key);
        activate_file_task(record, level);
        wake_scheduling();
        log("start task file md5[" + key + "], level[" + std::to_string(level) + "]\n", 3);
        return true;
    }

    // The list is fetched on the scheduling thread; past a short wait the
    // list held is used.
    {
        std::unique_lock<std::mutex> guard(m_file_task_lock);
        const std::uint64_t seen = m_refreshes_done;
        m_refresh_asked = true;
        guard.unlock();
        wake_scheduling();
        guard.lock();
        if (m_request_done.wait_for(guard, std::chrono::milliseconds(launcher_wait_ms),
                                    [&] { return m_refreshes_done != seen; })) {
            if (!m_refresh_ok) {
                set_failure_reason(m_refresh_error);
                return false;
            }
        } else {
            guard.unlock();
            log("start_download_packet: the task list is still on its way, the one held is used\n");
        }
    }
    const server_task_list listed = server_tasks();
    entries.clear();
    for (const auto& e : *listed) {
        std::int32_t a = 0;
        std::int32_t b = 0;
        if (e.second.gameid == game_id && split_version_step(e.second.version, a, b))
            entries.push_back({game_id, a, b, e.first});
    }
    if (entries.empty() || !find_version_path(entries, from, to, ids, path_from, path_to))
        return false;
    std::sort(ids.begin(), ids.end());
    for (std::uint64_t id : ids) {
        auto it = listed->find(id);
        if (it == listed->end())
            continue;
        LocalTaskRecord r;
        it->second.to_local_task(r);
        if (level == 0 || level == 1)
            r.priority_level = level;
        m_local.add(std::move(r));
    }
    key = packet_key(ids);
    const FileTaskRecord record{game_id, key, old_version, new_version, ids};
    add_download_task(record, key);
    activate_file_task(record, level);
    wake_scheduling();
    log("启动任务(filemd5):" + key + ",优先级:" + std::to_string(level), 3);
    return true;
}

bool download_manager::stop_download_file(int game_id, const std::string& file_md5)
{
    FileTaskRecord entry;
    if (!find_file_task(static_cast<std::uint32_t>(game_id), file_md5, entry)) {
        // A file still being looked up is simply not added.
        std::lock_guard<std::mutex> guard(m_file_task_lock);
        auto it = m_lookups.find(file_md5);
        if (it == m_lookups.end() || it->second.game_id != static_cast<std::uint32_t>(game_id))
            return false;
        m_lookups.erase(it);
        return true;
    }
    bool result = true;
    for (std::uint64_t id : entry.taskids) {
        LocalTaskRecord r;
        if (!m_local.find(id, r)) {
            result = false;
            continue;
        }
        m_local.reset_priority(id);
        if (m_engine)
            stop_engine_task(id);
        log("task id[" + std::to_string(id) + "] level -> 0\n");
    }
    return result;
}

bool download_manager::get_settings(value_map& settings)
{
    settings.clear();
    for (const char* name : {"FILE_SAVE_PATCH", "MAX_DOWNLOAD_NUM", "MAX_DOWN_SPEED", "MAX_UP_SPEED"})
        settings[name];
    for (auto& entry : settings) {
        if (!get_setting(entry.first, entry.second))
            return false;
    }
    return true;
}

bool download_manager::get_setting(const std::string& name, std::string& value)
{
    if (!m_engine)
        return false;
    if (name == "MAX_DOWNLOAD_NUM") {
        std::uint32_t n = 0;
        if (m_engine->GetMaxTaskNum(&n) != 0)
            return false;
        value = std::to_string(n);
        return true;
    }
    if (name == "MAX_DOWN_SPEED" || name == "MAX_UP_SPEED") {
        float down = 0;
        float up = 0;
        if (!engine_limits(m_engine, down, up))
            return false;
        value = text3((name == "MAX_DOWN_SPEED" ? down : up) * (1.0f / 1024.0f));
        return true;
    }
    if (name == "FILE_SAVE_PATCH")
        return m_engine->GetDataFolder(value) == 0;
    return false;
}

bool download_manager::set_setting(const std::string& name, const std::string& value)
{
    if (!m_engine) {
        set_failure_reason("the engine is not running");
        return false;
    }
    const std::string section = std::string(section_preferred) + m_suffix;
    if (name == "MAX_DOWNLOAD_NUM") {
        long n = 0;
        if (!parse_whole(value, n) || n < min_task_num || n > max_task_num) {
            set_failure_reason("MAX_DOWNLOAD_NUM must be a whole number from " + std::to_string(min_task_num) + " to " +
                               std::to_string(max_task_num) + ", not '" + value + "'");
            return false;
        }
        m_engine->SetMaxTaskNum(static_cast<std::int32_t>(n));
        m_config.setSetting(section, "max_download_task_num", value);
        return true;
    }
    if (name == "MAX_DOWN_SPEED" || name == "MAX_UP_SPEED") {
        double parsed = 0;
        if (!parse_number(value, parsed) || parsed < min_speed || parsed > max_speed) {
            set_failure_reason(name + " must be a number of KB/s from " + bound_text(min_speed) + " to " +
                               bound_text(max_speed) + ", not '" + value + "'");
            return false;
        }
        float down = 0;
        float up = 0;
        if (!engine_limits(m_engine, down, up)) {
            set_failure_reason("the engine cannot report its speed limits");
            return false;
        }
        const auto v = static_cast<float>(parsed);
        if (name == "MAX_DOWN_SPEED") {
            m_engine->SetSpeedLimit(v, up / 1024.0f);
            m_config.setSetting(section, "max_download_speed", value);
        } else {
            m_engine->SetSpeedLimit(down / 1024.0f, v);
            m_config.setSetting(section, "max_upload_speed", value);
        }
        m_engine->SetSpeedLimitOn(1);
        return true;
    }
    if (name == "FILE_SAVE_PATCH" || name == "defaulte_save_path") {
        if (trim_text(value, " \t\r\n", " \t\r\n").empty()) {
            set_failure_reason(name + " must name a folder");
            return false;
        }
        std::string folder = value;
        std::replace(folder.begin(), folder.end(), '/', '\\');
        // A drive path, or one already absolute here, maps as it is.
        if ((folder.size() >= 2 && folder[1] == ':') || (!folder.empty() && folder[0] == '\\'))
            folder = platform::from_windows_path(folder);
        else
            folder = m_launcher_path + platform::from_windows_path(folder);
        if (!create_directory_tree(folder)) {
            // The launcher learns it; the folder in use stays.
            set_failure_reason("folder '" + folder + "' cannot be created");
            return false;
        }
        if (m_engine->SetDataFolder(folder) != 0) {
            set_failure_reason("the engine refused folder '" + folder + "'");
            return false;
        }
        m_config.setSetting(section, "defaulte_save_path", folder);
        return true;
    }
    set_failure_reason("unknown setting '" + name +
                       "' (the settings are FILE_SAVE_PATCH, MAX_DOWNLOAD_NUM, MAX_DOWN_SPEED, MAX_UP_SPEED)");
    return false;
}

bool download_manager::get_task_info(int game_id, const std::string& file_md5, value_map& info)
{
    info.clear();
    for (const char* name : {"DOWN_PROCESS", "DOWN_SPEED", "SAVE_PATCH", "TASK_STATE", "UP_SPEED"})
        info[name];
    // One look at the records for every item, so a reply never pairs the
    // state of one moment with the progress of another.
    FileTaskRecord entry;
    if (!find_file_task(static_cast<std::uint32_t>(game_id), file_md5, entry)) {
        if (!lookup_pending(static_cast<std::uint32_t>(game_id), file_md5)) {
            std::lock_guard<std::mutex> guard(m_file_task_lock);
            auto failed = m_lookup_failures.find(file_md5);
            if (failed != m_lookup_failures.end())
                set_failure_reason(failed->second);
            return false;
        }
        // Waiting for the task server: nothing downloaded yet.
        info["DOWN_PROCESS"] = info["DOWN_SPEED"] = info["UP_SPEED"] = text3(0);
        info["TASK_STATE"] = "0";
        return true;
    }
    const std::vector<LocalTaskRecord> records = task_records(entry);
    for (auto& item : info) {
        if (!task_info_item(item.first, entry, records, item.second))
            return false;
    }
    return true;
}

std::string download_manager::task_problem(int game_id, const std::string& file_md5)
{
    FileTaskRecord entry;
    if (!find_file_task(static_cast<std::uint32_t>(game_id), file_md5, entry))
        return std::string();
    std::string problems;
    std::lock_guard<std::mutex> guard(m_problem_lock);
    for (std::uint64_t id : entry.taskids) {
        for (int kind : {problem_task, problem_source}) {
            auto it = m_task_problems.find({id, kind});
            if (it == m_task_problems.end())
                continue;
            if (!problems.empty())
                problems += "; ";
            problems += "task " + std::to_string(id) + ": " + it->second;
        }
    }
    return problems;
}

bool download_manager::get_task_info_item(const std::string& name, std::uint32_t game_id, const std::string& file_md5,
                                          std::string& value)
{
    FileTaskRecord entry;
    if (!find_file_task(game_id, file_md5, entry))
        return false;
    return task_info_item(name, entry, task_records(entry), value);
}

std::vector<LocalTaskRecord> download_manager::task_records(const FileTaskRecord& entry) const
{
    std::vector<LocalTaskRecord> records;
    for (std::uint64_t id : entry.taskids) {
        LocalTaskRecord r;
        if (m_local.find(id, r))
            records.push_back(r);
    }
    return records;
}

bool download_manager::task_info_item(const std::string& name, const FileTaskRecord& entry,
                                      const std::vector<LocalTaskRecord>& records, std::string& value)
{
    const std::string& file_md5 = entry.key;
    if (name == "TASK_STATE") {
        if (records.empty())
            return false;
        auto count = [&](int state) {
            return std::count_if(records.begin(), records.end(),
                                 [&](const LocalTaskRecord& r) { return r.taskstate == state; });
        };
        if (count(TASK_completed) == static_cast<std::ptrdiff_t>(records.size()))
            value = "2";
        else if (count(TASK_completed) > 0 || count(TASK_downloading) > 0)
            value = "1";
        else if (count(TASK_listed) > 0)
            value = "-1";
        else
            value = "0";
        return true;
    }
    if (name == "DOWN_SPEED") {
        // What flows, in KB/s: capping it by the limit setting hid every
        // speed past the setting's range (102400 KB/s) and any flow the
        // limit does not hold back.
        float sum = 0;
        for (const LocalTaskRecord& r : records)
            sum += static_cast<float>(r.down_speed);
        value = text3(sum);
        return true;
    }
    if (name == "UP_SPEED") {
        float sum = 0;
        for (const LocalTaskRecord& r : records)
            sum += static_cast<float>(r.up_speed);
        value = text3(sum);
        return true;
    }
    if (name == "DOWN_PROCESS") {
        double sum = 0;
        for (const LocalTaskRecord& r : records) {
            sum += r.progress;
            std::ostringstream line;
            line << "DOWN_PROCESS id[" << r.taskid << "] : " << r.progress << "\n";
            log(line.str());
        }
        if (!entry.taskids.empty())
            sum = sum / (static_cast<double>(entry.taskids.size()) * 100.0);
        value = text3(sum);
        log("DOWN_PROCESS s_file_md5[" + file_md5 + "] : " + value + "\n");
        return true;
    }
    if (name == "SAVE_PATCH") {
        value.clear();
        for (const LocalTaskRecord& r : records) {
            // Until the engine has taken the task its folder is not known:
            // a path made of the file name alone would point nowhere.
            if (trim_text(r.save_path, " \t\r\n", " \t\r\n").empty())
                continue;
            std::string folder = trim_text(r.save_path, "", " \t\r\n\\/") + "/" + r.srcdir;
            if (folder.back() != '/')
                folder += "/";
            for (const FileListEntry& f : r.file_list)
                value += join_task_path(folder, f.name) + ",";
        }
        return true;
    }
    return false;
}

}   // namespace kx2dll
