// The engine's events: task records follow its progress, speeds, runs,
// stops and completions.
#include "service/download_manager.h"

#include <sstream>

#include "engine/callback_payload.h"
#include "platform/tick.h"
#include "service/launcher_error.h"
#include "service/net_service.h"

namespace kx2dll {
namespace {

void log(const std::string& text)
{
    NetService::LogLine(text, 2);
}

std::string num(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

}   // namespace

std::uint32_t download_manager::OnEngineCallback(std::uint32_t code, std::uintptr_t data, void* user)
{
    if (auto* self = static_cast<download_manager*>(user))
        self->on_engine_event(code, data);
    return 0;
}

void download_manager::on_engine_event(std::uint32_t code, std::uintptr_t data)
{
    CallbackEvent e;
    if (!DecodeCallbackEvent(code, data, e))
        return;
    const std::uint64_t id = e.task_id;
    const std::string ids = std::to_string(id);
    switch (code) {
    case CBE_TASK_INFO: {
        if (e.value == task_info_storage_failing) {
            set_task_problem(id, "cannot store: " + e.text);
            break;
        }
        if (e.value == task_info_storage_works) {
            clear_task_problem(id);
            break;
        }
        // The engine said it in its error output already, once.
        if (e.value == task_info_source_failing) {
            set_task_problem(id, e.text, problem_source);
            break;
        }
        if (e.value == task_info_source_works) {
            clear_task_problem(id, problem_source);
            break;
        }
        // Type 2: the task's files could not be prepared (the text says
        // why, the error event too) and the engine stopped it.
        if (e.value != 2)
            break;
        set_task_problem(id, "cannot store: " + (e.text.empty() ? std::string("its files cannot be made") : e.text));
        const std::uint32_t wait = m_backoff.failed(id, platform::tick_count());
        log_error("task id[" + ids + "] files cannot be prepared, offered to the engine again in " +
                  std::to_string(wait / 1000) + " s\n");
        break;
    }
    case CBE_DOWNLOAD_PROGRESS: {
        const double progress = static_cast<double>(e.downloaded) / static_cast<double>(e.total) * 100.0;
        m_local.set_value(id, field_progress, text3(progress));
        if (e.downloaded > 0)
            m_backoff.clear(id);   // data arrived: the task got going
        log("CBE_DOWNLOAD_PROGRESS ID[" + ids + "] down_size[" + std::to_string(e.downloaded) + "],total_size[" +
            std::to_string(e.total) + "] progress[" + num(progress) + "]\n");
        break;
    }
    case CBE_RIS_CONNECT_RESULT:
        if (e.value == 0)
            log("connect ris server success\n");
        else
            log_error("connect ris server fail error code " + std::to_string(e.value) + "\n");
        break;
    case CBE_ENGINE_INIT_RESULT:
        if (e.value != 0)
            log_error("init enginer error!\n");
        break;
    case CBE_TEXT_OUTPUT:
        NetService::LogLine(e.text, 2);
        break;
    case CBE_TASK_COMPLETED: {
        // A finished task is at 100 %, set in the same change as its state:
        // no reply may show it completed at an older progress.
        m_local.update(id, [](LocalTaskRecord& r) {
            r.progress = 100.0;
            r.taskstate = TASK_completed;
        });
        m_local.reset_priority(id);
        m_backoff.clear(id);
        clear_task_problem(id);
        clear_task_problem(id, problem_source);
        LocalTaskRecord r;
        if (m_local.find(id, r))
            update_game_version(r.gameid, r.new_version);
        log("CBE_TASK_COMPLETED ID[" + ids + "] down finished!\n");
        break;
    }
    case CBE_TASK_SPEED:
        m_local.set_value(id, field_down_speed, text3(e.down_kbps));
        m_local.set_value(id, field_up_speed, text3(e.up_kbps));
        log("CBE_TASK_SPEED id[" + ids + "] down[" + num(e.down_kbps) + "],up[" + num(e.up_kbps) + "]\n");
        break;
    case CBE_TASK_STOP: {
        log("CBE_TASK_STOP, ID[" + ids + "] stop download ...\n");
        // A task whose files could not be prepared is stopped a while after
        // the failure: its wait starts now, or it would be offered at once.
        m_backoff.restart(id, platform::tick_count());
        LocalTaskRecord r;
        if (!m_local.find(id, r)) {
            log("WARING!!! CBE_TASK_STOP, ID[" + ids + "] not find!\n");
        } else if (r.remove_pending) {
            remove_local_task(id);
        } else if (r.redownload) {
            m_local.set_bool(id, field_isactive, false);
            wake_scheduling();   // fetched afresh at once
        } else {
            if (r.taskstate == TASK_waiting)
                m_local.set_taskstate(id, TASK_downloading);
            m_local.reset_priority(id);
            m_local.set_bool(id, field_isactive, true);
            log("CBE_TASK_STOP ID[" + ids + "] stop download, priority_level --> 0\n");
        }
        break;
    }
    case CBE_TASK_STOP_FAILED: {
        log("CBE_TASK_STOP_FAILED ID[" + ids + "]\n");
        LocalTaskRecord r;
        if (m_local.find(id, r) && r.remove_pending)
            remove_local_task(id);
        break;
    }
    case CBE_TASK_RUN:
        // A finished task loaded back to seed stays finished.
        m_local.update(id, [](LocalTaskRecord& r) {
            if (r.taskstate != TASK_completed)
                r.taskstate = TASK_downloading;
            r.isactive = true;
            r.redownload = false;
        });
        log("CBE_TASK_RUN, ID[" + ids + "] start download ...\n");
        break;
    case CBE_TASK_SAVE_PATH:
        m_local.update(id, [&](LocalTaskRecord& r) { r.save_path = e.text; });
        m_local.update(id, [&](LocalTaskRecord& r) { r.srcdir = e.source_folder; });
        log("CBE_TASK_SAVE_PATH ID[" + ids + "], " + e.text + "," + e.source_folder + "\n");
        break;
    case CBE_TASK_BBM_SAVE_FINISHED: {
        LocalTaskRecord before;
        const bool known = m_local.find(id, before);
        m_local.update(id, [&](LocalTaskRecord& r) { r.bitmap_filename = e.text; });
        log("CBE_TASK_BBM_SAVE_FINISHED id[" + ids + "], write bbm file!\n");
        if (known && before.bitmap_filename != e.text)
            m_local.save();
        break;
    }
    case CBE_ERROR_OUTPUT:
        log_error("CBE_ERROR_OUTPUT : " + e.text + "\n");
        break;
    default:
        if (code > 16)
            log("engine callback unkown[" + std::to_string(static_cast<std::int32_t>(code)) + "]\n");
        break;
    }
}

bool download_manager::set_task_problem(std::uint64_t task_id, const std::string& problem, int kind)
{
    std::lock_guard<std::mutex> guard(m_problem_lock);
    std::string& kept = m_task_problems[{task_id, kind}];
    if (kept == problem)
        return false;
    kept = problem;
    return true;
}

void download_manager::clear_task_problem(std::uint64_t task_id, int kind)
{
    std::lock_guard<std::mutex> guard(m_problem_lock);
    m_task_problems.erase({task_id, kind});
}

}   // namespace kx2dll
