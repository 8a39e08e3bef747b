// The engine's events: task records follow its progress, speeds, runs,
// stops and completions.
#include "src/download_manager.h"

#include <cstring>
#include <sstream>

#include "fagex/fagexStringConverter.h"
#include "src/net_service.h"

namespace kx2dll {
namespace {

std::uint64_t read_u64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

float read_f32(const std::uint8_t* p)
{
    std::uint32_t bits = 0;
    for (int i = 3; i >= 0; --i)
        bits = (bits << 8) | p[i];
    float f = 0;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

void log(const std::string& text)
{
    NetService::log_line(text, 2);
}

std::string num(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

} // namespace

std::uint32_t download_manager::OnEngineCallback(std::uint32_t code, std::uintptr_t data, void* user)
{
    if (auto* self = static_cast<download_manager*>(user))
        self->on_engine_event(code, data);
    return 0;
}

void download_manager::on_engine_event(std::uint32_t code, std::uintptr_t data)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    const bool has_id = code == CBE_DOWNLOAD_PROGRESS || (code >= CBE_TASK_COMPLETED && code <= CBE_TASK_BBM_SAVE_FINISHED);
    if (has_id && !p)
        return;
    const std::uint64_t id = has_id ? read_u64(p) : 0;
    const std::string ids = std::to_string(id);
    switch (code) {
    case CBE_DOWNLOAD_PROGRESS: {
        const std::uint64_t done = read_u64(p + 8);
        const std::uint64_t total = read_u64(p + 16);
        const double progress = static_cast<double>(done) / static_cast<double>(total) * 100.0;
        m_local.set_value(id, field_progress, text3(progress));
        log("CBE_DOWNLOAD_PROGRESS ID[" + ids + "] down_size[" + std::to_string(done) + "],total_size[" +
            std::to_string(total) + "] progress[" + num(progress) + "]\n");
        break;
    }
    case CBE_RIS_CONNECT_RESULT: {
        const auto value = static_cast<std::int32_t>(data);
        log(value == 0 ? "connect ris server success\n"
                       : "connect ris server fail error code " + std::to_string(value) + "\n");
        break;
    }
    case CBE_ENGINE_INIT_RESULT:
        if (static_cast<std::int32_t>(data) != 0)
            log("init enginer error!\n");
        break;
    case CBE_TEXT_OUTPUT:
        if (p)
            NetService::log_line(reinterpret_cast<const char*>(p), 2);
        break;
    case CBE_TASK_COMPLETED: {
        // A finished task is at 100 %, set in the same change as its state:
        // no reply may show it completed at an older progress.
        m_local.update(id, [](LocalTaskRecord& r) {
            r.progress = 100.0;
            r.taskstate = TASK_completed;
        });
        m_local.set_bool(id, field_priority_level, true);
        LocalTaskRecord r;
        if (m_local.find(id, r))
            update_game_version(r.gameid, r.new_version);
        log("CBE_TASK_COMPLETED ID[" + ids + "] down finished!\n");
        break;
    }
    case CBE_TASK_SPEED: {
        const float down = read_f32(p + 8);
        const float up = read_f32(p + 12);
        m_local.set_value(id, field_down_speed, text3(down));
        m_local.set_value(id, field_up_speed, text3(up));
        log("CBE_TASK_SPEED id[" + ids + "] down[" + num(down) + "],up[" + num(up) + "]\n");
        break;
    }
    case CBE_TASK_STOP: {
        log("CBE_TASK_STOP, ID[" + ids + "] stop download ...\n");
        LocalTaskRecord r;
        if (!m_local.find(id, r)) {
            log("WARING!!! CBE_TASK_STOP, ID[" + ids + "] not find!\n");
        } else if (r.remove_pending) {
            m_local.remove(id);
        } else if (r.redownload) {
            m_local.set_value(id, field_isactive, "false");
        } else {
            if (r.taskstate == TASK_waiting)
                m_local.set_value(id, field_taskstate, "1");
            m_local.set_bool(id, field_priority_level, true);
            m_local.set_value(id, field_isactive, "true");
            log("CBE_TASK_STOP ID[" + ids + "] stop download, priority_level --> 0\n");
        }
        break;
    }
    case CBE_TASK_STOP_FAILED: {
        log("CBE_TASK_STOP_FAILED ID[" + ids + "]\n");
        LocalTaskRecord r;
        if (m_local.find(id, r) && r.remove_pending)
            m_local.remove(id);
        break;
    }
    case CBE_TASK_RUN:
        m_local.set_value(id, field_taskstate, "1");
        m_local.set_value(id, field_isactive, "true");
        m_local.update(id, [](LocalTaskRecord& r) { r.redownload = false; });
        log("CBE_TASK_RUN, ID[" + ids + "] start download ...\n");
        break;
    case CBE_TASK_SAVE_PATH: {
        const char* folder = reinterpret_cast<const char*>(p + 8);
        const char* srcdir = folder + std::strlen(folder) + 1;
        m_local.update(id, [&](LocalTaskRecord& r) { r.save_path = folder; });
        m_local.update(id, [&](LocalTaskRecord& r) { r.srcdir = srcdir; });
        log("CBE_TASK_SAVE_PATH ID[" + ids + "], " + folder + "," + srcdir + "\n");
        break;
    }
    case CBE_TASK_BBM_SAVE_FINISHED: {
        const std::string path = reinterpret_cast<const char*>(p + 8);
        LocalTaskRecord before;
        const bool known = m_local.find(id, before);
        m_local.update(id, [&](LocalTaskRecord& r) { r.bitmap_filename = path; });
        log("CBE_TASK_BBM_SAVE_FINISHED id[" + ids + "], write bbm file!\n");
        if (known && before.bitmap_filename != path)
            m_local.save();
        break;
    }
    case CBE_ERROR_OUTPUT:
        if (p)
            log(std::string("CBE_ERROR_OUTPUT : ") + reinterpret_cast<const char*>(p) + "\n");
        break;
    default:
        if (code > 16)
            log("engine callback unkown[" + std::to_string(static_cast<std::int32_t>(code)) + "]\n");
        break;
    }
}

} // namespace kx2dll
