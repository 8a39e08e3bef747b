// The timers: the task-list refresh (7001), the local-list save (7002) and
// the one-second pass (7003) that reconciles the list with the engine,
// favours high-priority downloads, hands waiting tasks over and reloads
// completed ones.
#include "service/download_manager.h"

#include <algorithm>
#include <sstream>

#include "platform/debug_output.h"
#include "platform/tick.h"
#include "service/launcher_error.h"
#include "service/net_service.h"
#include "service/version_path.h"

namespace kx2dll {
namespace {

void log(const std::string& text, int level)
{
    NetService::LogLine(text, level);
}

bool waiting_or_running(const LocalTaskRecord& r)
{
    return r.taskstate >= TASK_waiting && r.taskstate < TASK_completed;
}

}   // namespace

bool download_manager::OnTimer(std::uint32_t timer_id, std::uintptr_t)
{
    switch (timer_id) {
    case timer_refresh_task_list: {
        // The pass works on the list this refresh parsed: a file query
        // landing in between must not make every other task look withdrawn.
        server_task_list listed;
        if (update_taskslist_from_server(std::string(), &listed))
            apply_server_task_list(*listed);
        break;
    }
    case timer_save_local_list:
        m_local.save();
        break;
    case timer_schedule: {
        serve_launcher_requests();
        sync_tasks_with_engine();
        // The records this pass and the launcher's starts added, in one go.
        m_local.save_if_changed();
        // The states are written under the lock: a copy of the records
        // would carry every file list along.
        std::ostringstream text;
        bool any = false;
        m_local.visit([&](std::uint64_t id, const LocalTaskRecord& r) {
            text << " task id = " << id << "; state = " << r.taskstate << "; level = " << r.priority_level
                 << "; isactive = " << (r.isactive ? "true" : "false") << "\n";
            any = true;
        });
        if (any)
            log(text.str(), 3);
        break;
    }
    default:
        break;
    }
    return true;
}

void download_manager::serve_launcher_requests()
{
    std::map<std::string, file_lookup> lookups;
    bool refresh = false;
    {
        std::lock_guard<std::mutex> guard(m_file_task_lock);
        lookups = m_lookups;
        refresh = m_refresh_asked;
        m_refresh_asked = false;
    }
    // A burst of first starts costs one fetch of the list, not one each, even
    // when it spans several passes: a list a look-up fetched within the last
    // second answers the names it holds (others are still asked for).
    bool listed_now = m_lookup_list_tick != 0 && platform::tick_count() - m_lookup_list_tick < 1000;
    for (const auto& l : lookups)
        look_up_file_task(l.first, l.second.game_id, listed_now);
    if (!refresh)
        return;
    const bool ok = update_taskslist_from_server(std::string());
    const std::string error = ok ? std::string() : take_failure_reason("the task list cannot be fetched");
    {
        std::lock_guard<std::mutex> guard(m_file_task_lock);
        m_refresh_ok = ok;
        m_refresh_error = error;
        ++m_refreshes_done;
    }
    m_request_done.notify_all();
}

bool download_manager::apply_server_task_list(const server_task_map& listed)
{
    // The list is read where it stands: a copy of a long list costs as much
    // as the list itself.
    if (listed.empty())
        return true;

    // Choose the task to withdraw under the lock, stop it outside: the
    // engine's events, the stop's among them, take the lock.
    // Only the states are taken: the records with their file lists would
    // cost as much again as the list just parsed.
    struct task_state {
        std::uint64_t id;
        std::int32_t taskstate;
        std::int32_t priority_level;
    };
    std::vector<task_state> all;
    m_local.visit([&](std::uint64_t id, const LocalTaskRecord& r) {
        all.push_back({id, r.taskstate, r.priority_level});
    });
    std::uint64_t withdraw = 0;
    bool found = false;
    for (const task_state& r : all) {
        auto it = listed.find(r.id);
        const bool is_listed = it != listed.end() && it->second.state != TASK_withdrawn;
        if (!is_listed) {
            if (r.taskstate == TASK_downloading && r.priority_level == 1)
                continue;
            log("delete task id[" + std::to_string(r.id) + "]\n", 2);
            withdraw = r.id;
            found = true;
            break;
        }
        if (r.taskstate == TASK_downloading)
            log("task id = " + std::to_string(r.id) +
                    "; state = kx2dll::TASK_downloading; level = " + std::to_string(r.priority_level) + "\n",
                3);
    }
    if (found) {
        m_local.set_bool(withdraw, field_remove_pending, true);
        // The engine's stop event (or its stop-failed event) deletes it.
        if (m_engine)
            stop_engine_task(withdraw);
    }

    platform::debug_output(std::string("=====>>>>> enable auto download flag is ") +
                           (m_auto_download.load() ? "true" : "false"));
    if (!m_auto_download.load())
        return true;

    std::vector<VersionPathEntry> entries;
    for (const auto& e : listed) {
        std::int32_t a = 0;
        std::int32_t b = 0;
        if (e.second.state != TASK_withdrawn && e.second.gameid == m_game_id &&
            split_version_step(e.second.version, a, b))
            entries.push_back({m_game_id, a, b, e.first});
    }
    std::string version;
    if (!game_version(m_game_id, version) || entries.empty())
        return false;
    std::int32_t target = 0;
    for (const VersionPathEntry& e : entries)
        target = std::max(target, e.to);
    const std::int32_t current = std::atoi(version.c_str());
    std::vector<std::uint64_t> ids;
    std::int32_t from = 0;
    std::int32_t to = 0;
    if (!find_version_path(entries, current, target, ids, from, to))
        return false;
    for (std::uint64_t id : ids) {
        auto it = listed.find(id);
        if (it == listed.end())
            continue;
        LocalTaskRecord local;
        if (m_local.find(id, local) && local.taskstate < 0) {
            m_local.update(id, [](LocalTaskRecord& r) { r.taskstate = TASK_waiting; });
            continue;
        }
        // A task already known keeps its record; it joins the chain at level 0.
        it->second.to_local_task(local);
        m_local.add(std::move(local));
        m_local.update(id, [](LocalTaskRecord& r) {
            if (r.taskstate == TASK_listed)
                r.taskstate = TASK_waiting;
            r.priority_level = 0;
        });
        log("----add task to download id[" + std::to_string(id) + "]\n", 2);
    }
    return true;
}

bool download_manager::sync_tasks_with_engine()
{
    local_task_list::map_type all;
    if (m_local.copy(all) == 0)
        return false;
    reconcile_engine_tasks(all);
    std::size_t high = 0;
    for (const auto& e : all) {
        const LocalTaskRecord& r = e.second;
        if (r.priority_level != 1)
            continue;
        ++high;
        if (r.taskstate == TASK_completed) {
            m_local.reset_priority(e.first);
        } else if (r.progress >= 100.0) {
            std::ostringstream text;
            text << "Warning!!! task id [" << e.first << "], peogress[" << r.progress << "], taskstate[" << r.taskstate
                 << "], is not kx2dll::TASK_completed";
            log(text.str(), 3);
        }
    }
    if (high > 0)
        stop_low_level_tasks(all);
    for (const auto& e : all) {
        const LocalTaskRecord& r = e.second;
        if (r.gameid != m_game_id)
            continue;
        if (r.isactive) {
            update_task_state_from_engine(e.first);
        } else if (high > 0) {
            m_engine->SetSpeedLimitOn(0);
            if ((r.priority_level == 1 && waiting_or_running(r)) || r.redownload)
                offer_task(r);
        } else {
            m_engine->SetSpeedLimitOn(1);
            if ((r.priority_level == 0 && waiting_or_running(r)) || r.redownload)
                offer_task(r);
            load_all_completed_tasks();
        }
    }
    return true;
}

void download_manager::reconcile_engine_tasks(const local_task_list::map_type& all)
{
    std::vector<std::uint64_t> held;
    if (!engine_task_ids(held))
        return;
    for (const auto& e : all) {
        if (std::find(held.begin(), held.end(), e.first) == held.end())
            m_local.set_bool(e.first, field_isactive, false);
    }
    for (std::uint64_t id : held) {
        auto it = all.find(id);
        if (it == all.end()) {
            stop_engine_task(id);
            log("Warning!!! : task id[" + std::to_string(id) + "], 在本地列表中没有找到该任务,从引擎中停止该任务\n", 3);
            continue;
        }
        if (it->second.redownload) {
            // The engine's copy goes; its stop event brings the pass back
            // to hand the task over afresh.
            stop_engine_task(id);
            m_local.update(id, [](LocalTaskRecord& r) {
                r.isactive = false;
                r.progress = 0;
                r.taskstate = TASK_waiting;
            });
        }
    }
}

void download_manager::update_task_state_from_engine(std::uint64_t task_id)
{
    std::uint32_t state = 0;
    if (m_engine->QueryTask(task_id, &state) != 0) {
        log("Warning!!! : taskid[" + std::to_string(task_id) + "], not in enginer task list, do not set tast state\n",
            3);
        return;
    }
    if (state == 1 || state == 2) {
        // A task to be fetched again keeps its state until the engine runs
        // it afresh: the engine's copy may still be the finished one.
        m_local.update(task_id, [&](LocalTaskRecord& r) {
            if (!r.redownload)
                r.taskstate = static_cast<std::int32_t>(state);
        });
        return;
    }
    log("Warning!!! taskid[" + std::to_string(task_id) +
            "], get task state in enginer task list,tast state=" + std::to_string(state) + "\n",
        3);
}

void download_manager::stop_low_level_tasks(const local_task_list::map_type& all)
{
    // Only downloads give way: a finished task only seeds, and stopping it
    // would have it loaded again, threads and all, once the pass is over.
    for (const auto& e : all) {
        if (e.second.isactive && e.second.priority_level != 1 && e.second.taskstate != TASK_completed)
            stop_engine_task(e.first);
    }
}

void download_manager::load_all_completed_tasks()
{
    const auto now = static_cast<std::int64_t>(platform::unix_time());
    const auto last = static_cast<std::int64_t>(m_last_completed_load.load());
    if (now - last < 120)
        return;
    m_last_completed_load.store(static_cast<std::uint64_t>(now));
    log("call load_all_completed_tasks!\n", 2);

    std::vector<std::uint64_t> held;
    engine_task_ids(held);
    local_task_list::map_type all;
    m_local.copy(all);
    std::map<std::uint64_t, LocalTaskRecord> completed;
    std::ostringstream text;
    text << "completed tasks : ";
    for (const auto& e : all) {
        // Only this game's tasks go to this game's engine, as in the pass.
        if (e.second.taskstate == TASK_completed && e.second.gameid == m_game_id) {
            completed[e.first] = e.second;
            text << "id[" << e.first << "],";
        }
    }
    text << "\n";
    log(text.str(), 2);
    for (std::uint64_t id : held) {
        auto it = completed.find(id);
        if (it == completed.end())
            continue;
        if (!it->second.isactive)
            stop_engine_task(id);
        completed.erase(it);
    }
    for (const auto& e : completed) {
        const LocalTaskRecord& r = e.second;
        if (r.remove_pending) {
            stop_engine_task(e.first);
            continue;
        }
        std::string seed;
        std::string folder;
        std::vector<std::uint8_t> bitmap;
        std::vector<std::vector<std::uint8_t>> tables;
        bool again = true;
        const int check = get_local_task_info(r, seed, folder, bitmap, tables, again);
        if (again) {
            log("get local task info return code : " + std::to_string(check) + ", != 0 need redownload!\n", 2);
            m_local.update(e.first, [](LocalTaskRecord& x) { x.taskstate = TASK_waiting; });
        }
        const int rc = m_engine->AddResumedTask(seed.c_str(), folder.c_str(), bitmap, tables);
        log(std::string(rc != 0 ? "Error:add completed task to download fail, task id["
                                : "add completed task to download success, task id[") +
                std::to_string(e.first) + "]" + (rc != 0 ? " error[" + std::to_string(rc) + "]" : "") + "\n",
            2);
    }
}

}   // namespace kx2dll
