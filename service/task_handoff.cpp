// Handing a task to the engine: resumed from its seed, bitmap and files when
// they are intact, else started afresh from a downloaded, checked seed.
#include "service/download_manager.h"

#include <algorithm>
#include <cstdlib>

#include "fagex/fagexStringUtil.h"
#include "foundation/http_get.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "service/launcher_error.h"
#include "service/net_service.h"
#include "service/text_util.h"

namespace kx2dll {
namespace {

void log(const std::string& text)
{
    NetService::LogLine(text + "\n", 2);
}

void error(const std::string& text)
{
    log_error(text + "\n");
}

}   // namespace

void download_manager::offer_task(const LocalTaskRecord& record)
{
    if (!m_backoff.due(record.taskid, platform::tick_count()))
        return;
    const int rc = add_single_download_task_to_enginer(record);
    if (rc == 0)
        clear_task_problem(record.taskid);
    // The task limit is a wait, not a fault.
    if (rc == 4 || rc == 5 || rc >= 100) {
        const std::uint32_t wait = m_backoff.failed(record.taskid, platform::tick_count());
        log("task id[" + std::to_string(record.taskid) + "] is offered to the engine again in " +
            std::to_string(wait / 1000) + " s");
    }
}

int download_manager::add_single_download_task_to_enginer(const LocalTaskRecord& record)
{
    const std::uint64_t id = record.taskid;
    const std::string ids = std::to_string(id);
    if (!m_engine)
        return 100 + 1;
    if (record.remove_pending)
        stop_engine_task(id);

    std::vector<std::uint64_t> held;
    if (engine_task_ids(held) && std::find(held.begin(), held.end(), id) != held.end()) {
        if (record.redownload) {
            // Its stop is under way; the stop event offers it again.
            stop_engine_task(id);
            return 0;
        }
        log("download_manager::add_single_download_task_to_enginer: id[" + ids + "] exist, don't download!");
        m_local.set_bool(id, field_isactive, true);
        return 0;
    }

    // Only downloading tasks count against the limit: completed tasks the
    // engine holds again would otherwise block every new start.
    int limit = std::atoi(preferred("max_download_task_num").c_str());
    limit = std::clamp(limit, 1, 50);
    std::vector<std::uint64_t> running;
    m_engine->GetTaskList(running);
    if (static_cast<int>(running.size()) >= limit) {
        log("Has reached the maximum number of tasks, and can not add tasks to download! max tasks[" +
            std::to_string(limit) + "]");
        return 2;
    }

    const bool need_redownload = check_seed_file(record) != 0 || record.redownload;
    if (!need_redownload) {
        std::string seed_text;
        std::string save_folder;
        std::vector<std::uint8_t> bitmap;
        std::vector<std::vector<std::uint8_t>> tables;
        bool again = true;
        const int rc = get_local_task_info(record, seed_text, save_folder, bitmap, tables, again);
        if (!again) {
            const int r = m_engine->AddResumedTask(seed_text.c_str(), save_folder.c_str(), bitmap, tables);
            if (r != 0) {
                if (set_task_problem(id, "the engine refused to resume it (error " + std::to_string(r) + ")"))
                    error("download_manager::add_single_download_task_to_enginer start histore task id[" + ids +
                          "] failed! error[" + std::to_string(r) + "]");
                return 100 + r;
            }
            log("引擎添加下载一个文件1 id[" + ids + "]");
            return 0;
        }
        log("get local task info return code : " + std::to_string(rc) + ", != 0 need redownload!");
    }

    // A failure is logged when it differs from the task's last one, not at
    // every retry of the back-off.
    std::vector<char> body;
    const int got = m_engine->HttpGet(record.seedurl.c_str(), body);
    if (got != 0) {
        const std::string status = http_last_status_line();
        const std::string answered = status.empty() ? std::string() : ", the server answered '" + status + "'";
        if (set_task_problem(id, "its seed cannot be fetched from " + record.seedurl + " (error " +
                                     std::to_string(got) + answered + ")"))
            error("from server download seed file failed, err : " + std::to_string(got) + " [" + record.seedurl +
                  "] task id[" + ids + "]" + answered);
        return 4;
    }
    const std::string seed(body.begin(), body.end());
    const std::string digest = lower_text(string_md5(seed));
    if (digest != lower_text(record.seed_md5)) {
        const std::string what = "its seed from " + record.seedurl + " does not match its seed MD5 (" +
                                 record.seed_md5 + "; the seed's MD5 is " + digest + ")";
        if (set_task_problem(id, what))
            error("Take back the seeds from the server file MD5 authentication code is unsuccessful [" +
                  record.seedurl + "] task id[" + ids + "]: " + what);
        return 5;
    }
    const std::string seed_path = seed_file_path(id);
    if (write_file(seed_path, seed.data(), seed.size()))
        m_local.set_value(id, field_seedfile, seed_path);

    // A task started afresh goes where the launcher's setting says now; only
    // a resumed one stays with the files it has.
    std::string save_folder = trim_text(preferred("defaulte_save_path"), "", " \r\n\t\\/");
    if (save_folder.empty())
        save_folder = record.save_path;
    const int r = m_engine->AddNewTask(seed.c_str(), save_folder.c_str());
    if (r != 0) {
        if (set_task_problem(id, "the engine refused to start it (error " + std::to_string(r) + ")"))
            error("start task id[" + ids + "] failed, error[" + std::to_string(r) + "]");
        return 100 + r;
    }
    log("引擎添加下载一个文件2 id[" + ids + "]");
    return 0;
}

int download_manager::get_local_task_info(const LocalTaskRecord& record, std::string& seed_text,
                                          std::string& save_folder, std::vector<std::uint8_t>& bitmap,
                                          std::vector<std::vector<std::uint8_t>>& piece_tables, bool& need_redownload)
{
    need_redownload = true;
    if (record.seedfile.empty() || !platform::path_exists(record.seedfile))
        return 1;
    if (!m_engine)
        return 2;
    std::vector<char> data;
    if (m_engine->ReadWholeFile(record.seedfile.c_str(), data) != 0)
        return 3;
    const std::string text(data.begin(), data.end());
    if (lower_text(string_md5(text)) != lower_text(record.seed_md5))
        return 4;
    seed_text = text;
    const std::string bitmap_file = m_local.bitmap_file(record);
    if (bitmap_file.empty())
        return 5;
    if (m_engine->ReadRecordFile(bitmap_file.c_str(), bitmap, piece_tables) != 0)
        return 6;
    save_folder = record.save_path;
    if (record.save_path.empty() || !platform::path_exists(record.save_path))
        return 7;
    const std::string folder = trim_text(record.save_path, " \r\n\t", " \r\n\t\\/") + "/" +
                               trim_text(record.srcdir, " \r\n\t\\/", " \r\n\t\\/");
    if (!platform::path_exists(folder))
        return 8;
    // A file is made by its first write: one not there yet holds no piece
    // the bitmap claims (the engine's resume check reads those). Only a
    // completed task must find every file.
    for (const FileListEntry& f : record.file_list) {
        if (!is_contained_name(f.name) || record.taskstate != TASK_completed)
            continue;
        if (!platform::path_exists(join_task_path(folder, f.name)))
            return 9;
    }
    need_redownload = false;
    return 0;
}

}   // namespace kx2dll
