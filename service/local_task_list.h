// The local task list: every task the download manager knows, by task id,
// kept in "local_task_list.cfg" in the working folder. All operations are
// safe from any thread (the network thread, the timer thread and engine
// threads use them at once).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service/task_records.h"

namespace kx2dll {

// Field numbers of set_value.
enum local_task_field : int {
    field_taskstate = 1,
    field_priority_level = 2,
    field_isactive = 3,
    field_remove_pending = 4,
    field_down_speed = 5,
    field_up_speed = 6,
    field_bitmap_filename = 7,
    field_seedurl = 8,
    field_seed_md5 = 9,
    field_seedfile = 10,
    field_now_version = 11,
    field_new_version = 12,
    field_save_path = 13,
    field_srcdir = 14,
    field_progress = 15,
    field_redownload = 16,
};

class local_task_list {
public:
    using map_type = std::map<std::uint64_t, LocalTaskRecord>;

    // The list of the service's game, saved to `path`; expired seed and
    // bitmap files are looked for in `data_folder`.
    local_task_list(std::uint32_t game_id, std::string path, std::string data_folder);

    const std::string& path() const { return m_path; }

    // Reads the file (after removing expired completed tasks from it);
    // keeps the records of this game whose bitmap (see bitmap_file) and
    // files exist. Returns
    // the number kept, 0 when the file is missing. Throws fagex::Exception
    // when the file exists but cannot be read.
    int load();
    // Writes the whole list (crash-safe; saves run one at a time). False
    // when the file cannot be written.
    bool save();
    // The task's ".bbm" file: the recorded one, else the one the engine
    // saves in the data folder (a save the list had not recorded yet when
    // the process was killed); empty when neither exists.
    std::string bitmap_file(const LocalTaskRecord& record) const;
    // Empties the sections of completed tasks of this game whose seed or
    // bitmap file in the data folder expired (and deletes those files).
    void del_history_expiredtasks();

    // A copy of the whole list; its size.
    std::size_t copy(map_type& out) const;
    // Calls `see` with each id and record under the lock, in id order,
    // without copying the records; `see` must not call back into the list.
    template <class F>
    void visit(F see) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& e : m_tasks)
            see(e.first, e.second);
    }
    // A copy of one record.
    bool find(std::uint64_t task_id, LocalTaskRecord& out) const;
    // The lowest task id of the game with a file of that MD5 (case-blind).
    bool find_task_by_file_md5(std::uint32_t game_id, const std::string& md5, std::uint64_t& task_id) const;

    // Changes one field from text; a value outside the field's range or an
    // unknown task id changes nothing. True when the field changed.
    bool set_value(std::uint64_t task_id, int field, const std::string& text);
    // The same with "true" or "false".
    bool set_bool(std::uint64_t task_id, int field, bool value);
    // The task state, one of the TASK_ constants from TASK_listed up.
    bool set_taskstate(std::uint64_t task_id, std::int32_t state);
    // Priority level 0.
    void reset_priority(std::uint64_t task_id);

    // Stores the record under its id, replacing any.
    void put(const LocalTaskRecord& record);
    // Inserts a new record, to be saved by the next save_if_changed; for a
    // known id only its priority level changes. True.
    bool add(LocalTaskRecord record);
    // Saves the list when a record was added since the last save through
    // here (a failed save is tried again next time). False when it failed.
    bool save_if_changed();
    // Removes the record, saves the list and deletes its bitmap, seed and
    // data files. A file name that climbs out of the task's folder is never
    // deleted. True.
    bool remove(std::uint64_t task_id);
    // Applies `change` to the record under the lock; false when unknown.
    template <class F>
    bool update(std::uint64_t task_id, F change)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_tasks.find(task_id);
        if (it == m_tasks.end())
            return false;
        change(it->second);
        check_record(it->first, it->second);
        return true;
    }

    std::size_t size() const;

    // Every record sits under its own task id at level 0 or 1 (asserted).
    void check_invariant() const;

    // The text of the file for a list (what save writes).
    static std::string to_text(const map_type& tasks);

private:
    static void check_record(std::uint64_t key, const LocalTaskRecord& record);

    const std::uint32_t m_game_id;
    const std::string m_path;
    const std::string m_data_folder;
    mutable std::mutex m_lock;   // guards m_tasks
    std::mutex m_save_lock;      // one save at a time, so the last copy lands last
    map_type m_tasks;
    std::atomic<bool> m_changed{false};   // records added and not saved yet
};

// Folder of a task's files: save path, then source folder, each followed
// by the separator when missing.
std::string task_folder(const std::string& save_path, const std::string& srcdir);

// True when a name from a task list or seed stays inside the folder it is
// joined to: not empty, not absolute, no drive, no ".." component.
bool is_contained_name(const std::string& name);

// `folder` joined with a relative name whose separators may be "\" or "/".
std::string join_task_path(const std::string& folder, const std::string& name);

// True when every file of the record exists in its task folder.
bool task_files_exist(const LocalTaskRecord& record);

// True when every file exists and, as far as the task's seed tells, has
// the size the seed gives it: a start finds files deleted or replaced.
bool task_files_intact(const LocalTaskRecord& record);

// True for a completed task whose files are no longer intact: a start
// fetches it afresh. A task not completed yet is not judged by its files:
// they are made as their data comes, and the resume check reads what the
// bitmap claims.
bool finished_files_gone(const LocalTaskRecord& record);

// 0 seed file verified, 2 seed file missing, 3 no seed MD5, 4 mismatch.
int check_seed_file(const LocalTaskRecord& record);

// Lower-case MD5 of a file's bytes; empty when it cannot be read.
std::string file_md5(const std::string& path);

// The local time of day as "hh:mm:ss".
std::string time_of_day_text();

}   // namespace kx2dll
