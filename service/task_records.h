// The records the download manager keeps per task: the local task record,
// the task server's record, the launcher's name -> tasks map entry and the
// last known version of a game.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx2dll {

// Task states of a local record.
constexpr int TASK_withdrawn = -2;   // only in the server task list
constexpr int TASK_listed = -1;      // listed but not yet scheduled
constexpr int TASK_waiting = 0;
constexpr int TASK_downloading = 1;
constexpr int TASK_completed = 2;
constexpr int TASK_fresh = -3;   // never set

// One file of a task: its name below the task's folder and its MD5 text.
struct FileListEntry {
    std::string name;
    std::string md5;
    bool operator==(const FileListEntry& o) const { return name == o.name && md5 == o.md5; }
};

// One task of the local task list.
struct LocalTaskRecord {
    std::uint32_t gameid = 0;
    std::uint64_t taskid = 0;
    std::int32_t priority_level = 0;   // 0 normal, 1 asked for by the launcher
    bool isactive = false;             // the engine holds the task
    bool remove_pending = false;       // withdrawn: delete once the engine stopped it
    bool redownload = false;           // start again from a fresh seed
    double down_speed = 0;             // KB/s
    double up_speed = 0;               // KB/s
    double progress = 0;               // percent
    std::string bitmap_filename;
    std::string gamename;
    std::string now_version;
    std::string new_version;
    std::string seed_md5;
    std::string seedurl;
    std::string seedfile;
    std::string decription;
    std::string save_path;
    std::string srcdir;
    std::int32_t taskstate = TASK_fresh;
    std::vector<FileListEntry> file_list;
};

// One line of the task server's list.
struct ServerTaskRecord {
    std::uint32_t gameid = 0;
    std::uint64_t taskid = 0;
    std::string gamename;
    std::string version;   // "A-B": from version A to version B
    std::string seed_md5;
    std::string seedurl;
    std::string description;
    std::int32_t state = TASK_fresh;
    std::vector<FileListEntry> file_list;

    // The local record of this listed task (nothing downloaded yet).
    void to_local_task(LocalTaskRecord& out) const;
};

// A download the launcher names by a file MD5 or a packet key.
struct FileTaskRecord {
    std::uint32_t gameid = 0;
    std::string key;
    std::string now_version;
    std::string new_version;
    std::vector<std::uint64_t> taskids;
};

// The last known version of a game.
struct GameVersionInfo {
    std::int32_t gameid = -1;
    std::string version;
    std::string extra;   // kept empty
};

}   // namespace kx2dll
