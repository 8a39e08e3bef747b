// The engine facade behind IP2SP_Engine: argument checks and result codes
// over the client core, and the stand-alone services the front end uses
// without a running client (settings, limits, record and whole-file reads,
// seed parsing, HTTP GET, MD5).
#pragma once

#include "engine/p2sp_engine.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CClientMain;
struct SeedHeader;

class CP2SP_EngineImpl final : public IP2SP_Engine {
public:
    CP2SP_EngineImpl();
    // Uninit when a client core still exists.
    ~CP2SP_EngineImpl();
    CP2SP_EngineImpl(const CP2SP_EngineImpl&) = delete;
    CP2SP_EngineImpl& operator=(const CP2SP_EngineImpl&) = delete;

    std::int32_t Init(const EngineInitBlock* block, EngineCallback callback, void* user) override;
    std::int32_t AddResumedTask(const char* seed_text, const char* save_folder, const std::vector<std::uint8_t>& bitmap,
                                const std::vector<std::vector<std::uint8_t>>& piece_tables) override;
    std::int32_t AddNewTask(const char* seed_text, const char* save_folder) override;
    std::int32_t Start() override;
    std::int32_t Uninit() override;
    std::int32_t StopTask(std::uint64_t task_id) override;
    std::int32_t GetTaskCount(std::uint32_t* count) override;
    std::int32_t GetTaskList(std::vector<std::uint64_t>& ids) override;
    std::int32_t GetTaskListDetail(std::vector<std::uint64_t>& ids) override;
    std::int32_t AddServer(std::int32_t type, const char* host, std::uint16_t port) override;
    std::int32_t SetSpeedLimitOn(std::uint8_t on) override;
    std::int32_t SetSpeedLimit(float download_kbps, float upload_kbps) override;
    std::int32_t GetSpeedLimit(float* download, float* upload, std::uint8_t* on) override;
    std::int32_t QueryTask(std::uint64_t task_id, std::uint32_t* state) override;
    std::int32_t SetMaxTaskNum(std::int32_t n) override;
    std::int32_t GetMaxTaskNum(std::uint32_t* n) override;
    std::int32_t SetDataFolder(const std::string& folder) override;
    std::int32_t GetDataFolder(std::string& folder) override;
    std::int32_t SetProgressEverySecond(std::uint8_t on) override;
    std::int32_t ReadRecordFile(const char* path, std::vector<std::uint8_t>& bitmap,
                                std::vector<std::vector<std::uint8_t>>& piece_tables) override;
    std::int32_t ReadWholeFile(const char* path, std::vector<char>& data) override;
    std::int32_t ParseTaskXml(const char* seed_text, std::uint32_t* game_id, std::uint64_t* task_id,
                              std::uint64_t* total_size, std::string& source_folder) override;
    std::int32_t HttpGetText(const char* url, std::vector<char>& body) override;
    std::int32_t HttpGet(const char* url, std::vector<char>& body) override;
    std::int32_t GetMd5String(const std::uint8_t* data, std::uint32_t length, std::string& md5) override;
    std::int32_t SetConfigValue(const std::string& key, const std::string& value) override;

    // The add-task reading of a seed: the header values and the file-list
    // markup; false when the seed is refused (the reason goes out as an
    // error event).
    bool ParseSeed(const char* seed_text, SeedHeader& header, std::string& file_list);
    // The HTTP/1.0 GET behind HttpGet and HttpGetText.
    static std::int32_t DoHttpGet(const char* url, std::vector<char>& body);

    // The client core (tests), null before Init and after Uninit.
    CClientMain* GetClientMain() const { return m_client.load(); }
    // Replaces how Init starts the client core's logon (tests: the RIS
    // bounds); applied to each new client core before Start.
    void SetClientSetup(void (*setup)(CClientMain& client)) { m_client_setup = setup; }

    // Fault injection for tests of the callers' failure paths: while set,
    // every Init fails as if the client core could not start (result 5),
    // through the same clean-up.
    static void RefuseClientStartForTests(bool refuse);

private:
    // Holds the client core for one engine call.
    class ClientUse {
    public:
        explicit ClientUse(CP2SP_EngineImpl& engine);
        ~ClientUse();
        ClientUse(const ClientUse&) = delete;
        ClientUse& operator=(const ClientUse&) = delete;
        CClientMain* get() const { return m_client; }

    private:
        CP2SP_EngineImpl& m_engine;
        CClientMain* m_client = nullptr;
    };

    // Init's or Uninit's turn: they run one at a time, with no lock held
    // while they run (the client core's start calls the launcher, its stop
    // joins threads). A second one waits for the first, holding nothing; one
    // called from a launcher callback raised inside the first, on its
    // thread, is refused instead of waiting for the call it is part of.
    class LifeTurn {
    public:
        explicit LifeTurn(CP2SP_EngineImpl& engine);
        ~LifeTurn();
        LifeTurn(const LifeTurn&) = delete;
        LifeTurn& operator=(const LifeTurn&) = delete;
        bool taken() const { return m_taken; }

    private:
        CP2SP_EngineImpl& m_engine;
        bool m_taken = false;
    };

    // The running tasks' ids, then (when asked) the completed ones'.
    std::int32_t ListTasks(std::vector<std::uint64_t>& ids, bool with_completed);
    // Waits (bounded) until no call holds the client core; false at the bound.
    bool WaitForCallsToEnd();
    // AddNewTask (bitmap null) and AddResumedTask.
    std::int32_t AddTaskFromSeed(const char* seed_text, const char* save_folder,
                                 const std::vector<std::uint8_t>* bitmap,
                                 const std::vector<std::vector<std::uint8_t>>* piece_tables);
    std::int32_t Refuse(std::uint64_t task_id, std::int32_t result);
    bool ResolveSaveFolder(const char* save_folder, bool create, std::string& folder) const;

    std::atomic<CClientMain*> m_client{nullptr};
    std::atomic<std::uint32_t> m_calls{0};   // engine calls holding the client core
    std::atomic<EngineCallback> m_callback{nullptr};
    std::atomic<void*> m_user{nullptr};
    mutable std::mutex m_folder_lock;   // guards m_data_folder
    std::string m_data_folder;
    std::mutex m_life_lock;   // guards m_life_busy only
    std::condition_variable m_life_done;
    bool m_life_busy = false;   // an Init or Uninit runs
    void (*m_client_setup)(CClientMain& client) = nullptr;
};
