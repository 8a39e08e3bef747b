// The engine as the service front end sees it: the abstract interface
// IP2SP_Engine, the block and callback handed to Init, the callback codes
// and the module's factory functions.
//
// Result codes of every operation: 0 success, -1 a null or zero required
// argument, 1 no client core / a null host / a file that cannot be opened,
// 2 refused or a missing folder, 3 a seed document that cannot be read,
// 4 the client core refused the task, 5 the task is already registered or
// the client core failed to start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ILog;

// Engine event callback: (event code, data, context). `data` is either a
// value (codes 2, 3, 4) or a pointer valid only during the call (every
// other code); the result is ignored. Called on whichever engine thread
// raised the event, possibly on several at once.
using EngineCallback = std::uint32_t (*)(std::uint32_t code, std::uintptr_t data, void* user);

// Callback codes and their data (integers little-endian):
enum EngineCallbackCode : std::uint32_t {
    CBE_DOWNLOAD_PROGRESS = 0,         // copy: u64 task id, u64 downloaded, u64 total
    CBE_TASK_INFO = 1,                 // copy: u64 task id, text + NUL, u32 type
    CBE_RIS_CONNECT_START = 2,         // value 0
    CBE_RIS_CONNECT_RESULT = 3,        // value: 0 logon finished (also offline), -1 not started
    CBE_ENGINE_INIT_RESULT = 4,        // value: -1 logon failed, 0 session built
    CBE_TASK_ADDED = 5,                // pointer to the u64 task id
    CBE_TASK_MESSAGE = 7,              // copy: u32 value, text + NUL
    CBE_TEXT_OUTPUT = 8,               // copy: text + NUL
    CBE_TASK_COMPLETED = 9,            // pointer to the u64 task id
    CBE_TASK_SPEED = 10,               // copy: u64 task id, f32 down KB/s, f32 up KB/s
    CBE_TASK_STOP = 11,                // pointer to the u64 task id
    CBE_TASK_STOP_FAILED = 12,         // pointer to the u64 task id
    CBE_TASK_RUN = 13,                 // pointer to the u64 task id
    CBE_TASK_SAVE_PATH = 14,           // copy: u64 task id, save folder + NUL, source folder + NUL
    CBE_TASK_BBM_SAVE_FINISHED = 15,   // copy: u64 task id, ".bbm" path + NUL
    CBE_ERROR_OUTPUT = 16,             // copy: text + NUL
    CBE_GLOBAL_SPEED = 17,             // copy: f32 total down KB/s, f32 total up KB/s
};

// Types of CBE_TASK_INFO the front end reads: 2 the task's files could not
// be prepared (the text says why; the task is stopped); 3 its writes fail
// (the text says why; no data is asked for until a retry works); 4 its
// files are prepared, or take writes again.
constexpr std::uint32_t task_info_prepare_failed = 2;
constexpr std::uint32_t task_info_storage_failing = 3;
constexpr std::uint32_t task_info_storage_works = 4;
// The task's sources: the text names what fails (a CDN answer that gives
// no usable URL, a file its server does not serve and what it answered);
// "works" once every such failure is over.
constexpr std::uint32_t task_info_source_failing = 5;
constexpr std::uint32_t task_info_source_works = 6;

// What the front end passes to Init.
struct EngineInitBlock {
    char data_folder[260];           // NUL-terminated: engine data folder, client working folder
    char bitmap_folder[260];         // NUL-terminated: fallback folder of ".bbm" files
    std::uint32_t fixed_peer_type;   // non-zero: keep `peer_type` instead of the logon's
    std::uint8_t peer_type;
    std::uint16_t listen_port;   // the configured listen port plus the game id
};

// The engine. Operations in their fixed order; every one returns a result
// code (see the top of this file).
class IP2SP_Engine {
public:
    // Starts the debug log, creates and starts the client core (worker,
    // callback 2, index-server logon). 1 null block, 2 no client core,
    // 5 the logon cannot start.
    virtual std::int32_t Init(const EngineInitBlock* block, EngineCallback callback, void* user) = 0;
    // Queues a task resumed from its saved bitmap and piece tables; the
    // folder save_folder/srcdir must exist. Callback 5 on success.
    virtual std::int32_t AddResumedTask(const char* seed_text, const char* save_folder,
                                        const std::vector<std::uint8_t>& bitmap,
                                        const std::vector<std::vector<std::uint8_t>>& piece_tables) = 0;
    // Queues a new task (the save folder is created when missing; empty
    // means the data folder). Callback 5 on success.
    virtual std::int32_t AddNewTask(const char* seed_text, const char* save_folder) = 0;
    // Starts the index-server logon again while no session exists: 0 started, 2 not.
    virtual std::int32_t Start() = 0;
    // Stops and deletes the client core; events other than run, stop and
    // completed are no longer delivered from its start.
    virtual std::int32_t Uninit() = 0;
    // Stops a running or completed task, or takes a task still queued off
    // the queue; either ends in callback 11. Callback 12 on every failure.
    virtual std::int32_t StopTask(std::uint64_t task_id) = 0;
    // Number of running tasks.
    virtual std::int32_t GetTaskCount(std::uint32_t* count) = 0;
    // Ids of the running tasks, in list order.
    virtual std::int32_t GetTaskList(std::vector<std::uint64_t>& ids) = 0;
    // Ids of the running tasks, then those of the completed ones.
    virtual std::int32_t GetTaskListDetail(std::vector<std::uint64_t>& ids) = 0;
    // Adds an index server (type 1 south, 2 north) to the server list.
    virtual std::int32_t AddServer(std::int32_t type, const char* host, std::uint16_t port) = 0;
    // Switches the speed limits on or off.
    virtual std::int32_t SetSpeedLimitOn(std::uint8_t on) = 0;
    // Limits in KB/s, stored as whole bytes per second; switches them on.
    virtual std::int32_t SetSpeedLimit(float download_kbps, float upload_kbps) = 0;
    // The limits in bytes per second and the on switch.
    virtual std::int32_t GetSpeedLimit(float* download, float* upload, std::uint8_t* on) = 0;
    // State 2 completed, 1 running; 1 when the task is in neither list.
    virtual std::int32_t QueryTask(std::uint64_t task_id, std::uint32_t* state) = 0;
    // Stores the task limit clamped to 1..100.
    virtual std::int32_t SetMaxTaskNum(std::int32_t n) = 0;
    virtual std::int32_t GetMaxTaskNum(std::uint32_t* n) = 0;
    // Stores the data folder and creates it (0 whatever the creation gave).
    virtual std::int32_t SetDataFolder(const std::string& folder) = 0;
    virtual std::int32_t GetDataFolder(std::string& folder) = 0;
    // Per-second progress reports of downloading tasks on or off.
    virtual std::int32_t SetProgressEverySecond(std::uint8_t on) = 0;
    // Reads a ".bbm" record file: 1 cannot open, 2 bitmap length past the
    // data, 3 piece record length past the data; a file cut short at a
    // record boundary gives the records present and 0.
    virtual std::int32_t ReadRecordFile(const char* path, std::vector<std::uint8_t>& bitmap,
                                        std::vector<std::vector<std::uint8_t>>& piece_tables) = 0;
    // Reads a whole file: 1 cannot open.
    virtual std::int32_t ReadWholeFile(const char* path, std::vector<char>& data) = 0;
    // Full seed reading: 1 not well formed, 2 an element missing.
    virtual std::int32_t ParseTaskXml(const char* seed_text, std::uint32_t* game_id, std::uint64_t* task_id,
                                      std::uint64_t* total_size, std::string& source_folder) = 0;
    // HTTP/1.0 GET of the URL (scheme and host lower-cased); on success the body plus one NUL.
    virtual std::int32_t HttpGetText(const char* url, std::vector<char>& body) = 0;
    // As HttpGetText without the NUL.
    virtual std::int32_t HttpGet(const char* url, std::vector<char>& body) = 0;
    // MD5 of the data as 32 upper-case hexadecimal digits.
    virtual std::int32_t GetMd5String(const std::uint8_t* data, std::uint32_t length, std::string& md5) = 0;
    // Sets one entry of the engine's settings map.
    virtual std::int32_t SetConfigValue(const std::string& key, const std::string& value) = 0;

protected:
    // Engines are destroyed only through DestroyP2SPEngine.
    ~IP2SP_Engine() = default;
};

// A new engine, null when memory runs out.
IP2SP_Engine* CreateP2SPEngine();
// Uninitialises (when needed) and deletes the engine; null is ignored.
void DestroyP2SPEngine(IP2SP_Engine* engine);

// Creates the process-wide log connection once and starts it when it does
// not run yet (an empty host: the default log server; a null URL: the
// default switch file). Returns whether it runs afterwards.
bool CreateLogConnection(const char* host, int port, const char* url);
// The process-wide log connection, null before CreateLogConnection.
ILog* GetLogConnection();
// Stops and deletes the log connection. While an engine is initialised
// (its threads log to it) the destruction waits for that engine's Uninit.
void DestroyLogConnection();
// Kept for the module's export table: does nothing, 1.
std::int32_t StartPingSvr(const char* host, int port, const char* url);
