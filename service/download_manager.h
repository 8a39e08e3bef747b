// The service's task manager: created by the launcher's first
// `register_client`, it owns the engine, the configuration, the local task
// list, the task server's list, the launcher's file -> tasks map and a
// timer thread that refreshes the task list (7001), saves the local list
// (7002) and hands waiting tasks to the engine (7003).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/p2sp_engine.h"
#include "fagex/fagexConfigFile.h"
#include "foundation/timer_thread.h"
#include "service/download_manager_interface.h"
#include "service/handoff_backoff.h"
#include "service/local_task_list.h"
#include "service/task_list_refresh.h"
#include "service/task_records.h"

namespace kx2dll {

// Timer ids and intervals.
constexpr std::uint32_t timer_refresh_task_list = 7001;
constexpr std::uint32_t timer_save_local_list = 7002;
constexpr std::uint32_t timer_schedule = 7003;
constexpr std::uint32_t refresh_interval_ms = 600000;
constexpr std::uint32_t save_interval_ms = 300000;
constexpr std::uint32_t schedule_interval_ms = 1000;
// Longest a launcher command waits for the task server through the
// scheduling thread before it answers with what it has.
constexpr std::uint32_t launcher_wait_ms = 2000;

// Write-whole-file: false when the file cannot be opened or a write makes
// no progress.
bool write_file(const std::string& path, const void* bytes, std::size_t length);
// 32 lower-case hexadecimal digits of the text's MD5.
std::string string_md5(const std::string& text);
// Creates the folder and its missing parents; true when it exists after.
bool create_directory_tree(const std::string& path);
// The packet key of a set of task ids: MD5 of the ascending ids written in
// decimal one after the other.
std::string packet_key(std::vector<std::uint64_t> ids);
// The engine's listen port: the setting read as a 16-bit number (9678 when
// that gives 0) plus the game id, in 16-bit arithmetic.
std::uint16_t engine_listen_port(const std::string& setting, std::uint32_t game_id);
// Speeds and progress texts: fixed notation with 3 decimals.
std::string text3(double value);

class download_manager : public download_manager_interface, public ITimerEvent {
public:
    // Builds everything for the launcher's path (working folder, config,
    // local list, engine, log connection, timers). Throws fagex::Exception
    // when the engine cannot start or a file cannot be read; nothing is
    // left running then.
    download_manager(const std::string& launcher_path, std::uint32_t game_id);
    // Stops the timers, saves the configuration and the local list, shuts
    // the engine down, then the log connection.
    ~download_manager() override;

    // The one download manager of the process, null when none exists.
    static download_manager* instance() { return s_instance.load(); }

    // Launcher operations (network thread).
    bool get_settings(value_map& settings) override;
    bool get_task_info(int game_id, const std::string& file_md5, value_map& info) override;
    bool set_setting(const std::string& item_name, const std::string& value) override;
    bool start_download_file(int game_id, const std::string& file_md5, int level) override;
    bool start_download_packet(int game_id, const std::string& old_version, const std::string& new_version,
                               std::string& packet_key, int level) override;
    bool stop_download_file(int game_id, const std::string& file_md5) override;
    void set_auto_download(bool enabled) override { m_auto_download.store(enabled); }
    std::string task_problem(int game_id, const std::string& file_md5) override;
    bool auto_download() const { return m_auto_download.load(); }

    // One launcher setting as text; false for an unknown name or engine failure.
    bool get_setting(const std::string& name, std::string& value);
    // One item of a download's information.
    bool get_task_info_item(const std::string& name, std::uint32_t game_id, const std::string& file_md5,
                            std::string& value);

    // Timer callback: 7001, 7002, 7003. Always true.
    bool OnTimer(std::uint32_t timer_id, std::uintptr_t param) override;

    // The engine's event callback; `user` is the download manager.
    static std::uint32_t OnEngineCallback(std::uint32_t code, std::uintptr_t data, void* user);
    // One engine event.
    void on_engine_event(std::uint32_t code, std::uintptr_t data);
    // Records a game's new version in the map and the configuration file;
    // false when the game has no entry.
    bool update_game_version(std::uint32_t game_id, const std::string& version);

    // Fetches the task list (or one file's task when `file_md5` is given)
    // and replaces the server task list; `parsed` receives the same list.
    bool update_taskslist_from_server(const std::string& file_md5, server_task_list* parsed = nullptr);
    // Withdraws unlisted tasks and, with automatic download on, adds the
    // packets along the version chain; works on the list a refresh parsed.
    bool apply_server_task_list(const server_task_map& listed);

    // Runs the one-second pass now on the scheduling thread (a launcher
    // start, a lookup or a refresh is waiting for it).
    void wake_scheduling() { m_timer.FireNow(timer_schedule); }
    // The task-server work the launcher commands left for the scheduling
    // thread: file lookups, then a refresh of the list.
    void serve_launcher_requests();

    // The one-second pass and its steps.
    bool sync_tasks_with_engine();
    void reconcile_engine_tasks(const local_task_list::map_type& all);
    void update_task_state_from_engine(std::uint64_t task_id);
    void stop_low_level_tasks(const local_task_list::map_type& all);
    void load_all_completed_tasks();

    // Stops the task in the engine; returns at once (the engine posts the
    // stop to its I/O thread, and its stop event tells when it is done).
    void stop_engine_task(std::uint64_t task_id)
    {
        if (m_engine)
            m_engine->StopTask(task_id);
    }

    // Hands a task to the engine unless it failed lately; a failure makes
    // it wait longer each time (handoff_backoff).
    void offer_task(const LocalTaskRecord& record);
    // Hands one task to the engine: 0 held, 2 task limit, 4 seed download
    // failed, 5 seed digest mismatch, 100 + r engine refusal.
    int add_single_download_task_to_enginer(const LocalTaskRecord& record);
    // Reads what a resume needs; 0 (and need_redownload false) when the
    // seed, bitmap and every file are intact, else the first failing check.
    int get_local_task_info(const LocalTaskRecord& record, std::string& seed_text, std::string& save_folder,
                            std::vector<std::uint8_t>& bitmap, std::vector<std::vector<std::uint8_t>>& piece_tables,
                            bool& need_redownload);

    // What keeps a task from moving, kept until it moves again (engine
    // events and hand-off results); written to the service log as it comes.
    // Two kinds are kept apart: the task's own (hand-off, storage) and its
    // sources' (a CDN answer or a file the CDN does not serve), each
    // cleared by its own good news. True when the text changed.
    enum problem_kind { problem_task = 0, problem_source = 1 };
    bool set_task_problem(std::uint64_t task_id, const std::string& problem, int kind = problem_task);
    void clear_task_problem(std::uint64_t task_id, int kind = problem_task);

    // The local task list.
    local_task_list& local_tasks() { return m_local; }
    bool find_local_task(std::uint64_t task_id, LocalTaskRecord& out) const { return m_local.find(task_id, out); }
    bool save_local_task_list() { return m_local.save(); }
    // A copy of the task server's list.
    bool copy_server_task_list(server_task_map& out) const;
    // The task server's list as it stands: a refresh replaces it whole and
    // never changes it, so readers share it instead of copying it.
    server_task_list server_tasks() const;
    // The file -> tasks map entry of a name of that game.
    bool find_file_task(std::uint32_t game_id, const std::string& key, FileTaskRecord& out) const;

    const std::string& working_folder() const { return m_working_folder; }
    const std::string& launcher_path() const { return m_launcher_path; }
    const std::string& branch_suffix() const { return m_suffix; }
    // A setting of "Preferred_Settings" + branch suffix.
    std::string preferred(const std::string& key) const;
    fagex::ConfigFile& config() { return m_config; }
    IP2SP_Engine* engine() const { return m_engine; }
    std::string task_list_url() const;
    // The last known version text of a game; false when unknown.
    bool game_version(std::uint32_t game_id, std::string& version) const;

private:
    // Construction steps.
    void load_config();
    void load_game_versions();
    bool init_p2sp_engine();
    bool start_p2sp_engine();
    bool InitLogConnClient();
    bool DoPingSvr();
    void shutdown_engine();
    bool save_config();

    void add_download_task(const FileTaskRecord& record, const std::string& key);
    // Drops the launcher's entry of that name unless it names other tasks
    // by now (a start that cannot use it looks the name up afresh).
    void forget_file_task(const std::string& key, const FileTaskRecord& entry);
    // Deletes a withdrawn task (record and files) and the launcher's
    // entries left without any task.
    void remove_local_task(std::uint64_t task_id);
    bool find_file_task_by_versions(std::uint32_t game_id, const std::string& old_version,
                                    const std::string& new_version, FileTaskRecord& out, std::string& key) const;
    bool find_server_task_by_file_md5(std::uint32_t game_id, const std::string& md5, ServerTaskRecord& out) const;
    bool find_server_task(std::uint64_t task_id, ServerTaskRecord& out) const;
    bool activate_file_task(const FileTaskRecord& record, int level);
    // Asks the task server which task holds the file and makes it the
    // launcher's download of that name (scheduling thread).
    // `listed_now`: the list held was fetched in this pass. A name it lists
    // is answered from it; otherwise the server is asked, and listed_now
    // tells whether that fetch succeeded.
    void look_up_file_task(const std::string& file_md5, std::uint32_t game_id, bool& listed_now);
    // True when a lookup of that file for the game is still under way.
    bool lookup_pending(std::uint32_t game_id, const std::string& file_md5) const;
    // The local records of a download's tasks (ids without one are left out).
    std::vector<LocalTaskRecord> task_records(const FileTaskRecord& entry) const;
    // One item of a download's information from those records.
    bool task_info_item(const std::string& name, const FileTaskRecord& entry,
                        const std::vector<LocalTaskRecord>& records, std::string& value);
    // Engine task ids (running, then completed); false on an engine failure.
    bool engine_task_ids(std::vector<std::uint64_t>& ids) const;
    // Seed file path of a task in the data folder (or the launcher path).
    std::string seed_file_path(std::uint64_t task_id) const;
    void note_game_line();

    static std::atomic<download_manager*> s_instance;

    const std::uint32_t m_game_id;
    IP2SP_Engine* m_engine = nullptr;
    std::atomic<bool> m_auto_download{false};
    CTimerThread m_timer;
    std::atomic<std::uint64_t> m_last_completed_load{0};   // seconds since 1970
    std::string m_launcher_path;
    std::string m_working_folder;
    std::string m_config_path;
    std::string m_suffix;   // branch suffix, set once while loading
    fagex::ConfigFile m_config;
    std::mutex m_config_save_lock;   // one configuration save at a time
    mutable std::mutex m_url_lock;   // guards m_task_list_url
    std::string m_task_list_url;

    mutable std::mutex m_server_lock;   // guards m_server_tasks
    server_task_list m_server_tasks = std::make_shared<const server_task_map>();
    mutable std::mutex m_file_task_lock;   // guards m_file_tasks and the requests below
    std::map<std::string, FileTaskRecord> m_file_tasks;
    // Files the launcher started that the task server is yet to name.
    struct file_lookup {
        std::uint32_t game_id = 0;
        int level = 0;
    };
    std::map<std::string, file_lookup> m_lookups;
    bool m_refresh_asked = false;   // a packet start wants the list fetched
    // When a look-up last fetched the list (tick; 0: never): for a second it
    // answers the names it holds. The timer thread's alone.
    std::uint32_t m_lookup_list_tick = 0;
    std::uint64_t m_refreshes_done = 0;   // refreshes the launcher asked for, done
    bool m_refresh_ok = false;            // result of the last of them
    std::string m_refresh_error;          // why the last of them failed
    // Why the task server did not name a file the launcher started.
    std::map<std::string, std::string> m_lookup_failures;
    std::condition_variable m_request_done;   // a lookup or asked refresh ended
    local_task_list m_local;                  // has its own lock
    handoff_backoff m_backoff;                // has its own lock
    mutable std::mutex m_version_lock;        // guards m_game_versions
    std::map<std::uint32_t, GameVersionInfo> m_game_versions;
    bool m_log_connection = false;                                          // InitLogConnClient started one
    mutable std::mutex m_problem_lock;                                      // guards m_task_problems; taken alone
    std::map<std::pair<std::uint64_t, int>, std::string> m_task_problems;   // (task id, kind)
};

}   // namespace kx2dll
