// The session: the five managers, the I/O service with its thread, a
// worker that prepares the files of new tasks (checking what a resumed
// task holds while the I/O thread runs, then handing the tables over while
// it is parked) and waits for the threads of stopped tasks, the one-second
// timer (registry sweep, download manager tick) and the one-minute memory
// trim. A stop is posted to the I/O thread at once; the task's delete step
// (whose stop event makes the front end delete files) runs on the worker
// as soon as the task has been deleted.
#pragma once

#include "engine/i_download_session.h"
#include "net/io/counting_event.h"
#include "net/io/deadline_timer.h"
#include "net/io/io_service.h"
#include "platform/critical_section.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

class IChannelManager;
class IStorageManager;
class IDownload_Manager;
class IHostCacheManager;
class INatManager;

// The managers a session owns.
struct SessionManagers {
    IChannelManager* channel = nullptr;
    IStorageManager* storage = nullptr;
    IDownload_Manager* download = nullptr;
    IHostCacheManager* host_cache = nullptr;
    INatManager* nat = nullptr;
    // Destroys them in the order NAT, download, host cache, channel,
    // storage; null uses the managers' Destroy functions.
    void (*destroy)(SessionManagers& managers) = nullptr;
};

class CDownload_Session : public IDownload_Session {
public:
    // Takes ownership of the managers.
    explicit CDownload_Session(const SessionManagers& managers);
    // Stops the worker, the I/O thread (bounded waits) and destroys the
    // managers in their order.
    ~CDownload_Session() override;
    CDownload_Session(const CDownload_Session&) = delete;
    CDownload_Session& operator=(const CDownload_Session&) = delete;

    void SetCmdEvent(ICmdEvent* event) override;
    bool Start() override;
    int AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                        std::uint32_t file_count, const std::string& file_list, const std::vector<std::uint8_t>& bitmap,
                        const std::vector<std::vector<std::uint8_t>>& piece_tables, const std::string& folder,
                        std::uint8_t history_flag) override;
    int AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                        std::uint32_t file_count, const std::string& file_list, const std::string& folder) override;
    int AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                        std::uint32_t file_count, const std::string& file_list) override;
    void StopTask(std::uint64_t task_id) override;
    int SetRateLimits(float download, float upload) override;
    void SetGlobalFlag(std::uint8_t on) override;
    std::uint8_t GetRateLimits(float* download, float* upload, std::uint8_t* on) override;

    void SetIdentity(const PeerInfo& self, const std::vector<CisAddress>& cis_list) override;

    i_io_service& GetIoService() { return *m_io; }

private:
    static void OnSecondTimer(void* context, const i_error_code& error);
    static void OnMinuteTimer(void* context, const i_error_code& error);
    void SecondTick();
    // I/O thread: the task's stop, then its reap queued for the worker.
    void AbortTask(std::uint64_t task_id);
    static void OnTaskRetired(void* context, std::uint64_t task_id);
    void DeleteRetiredTasks();
    // Saves a stopped task's bitmap once its channel's disk work has run.
    void SaveLastBitmap(std::uint64_t task_id);
    void Worker();
    // Reaps the stopped tasks whose adds are not queued any more.
    void ReapStoppedTasks();
    void PrepareFiles(std::uint64_t task_id);
    void PostWork(std::uint64_t task_id);
    int Added(std::uint64_t task_id, int result);

    SessionManagers m_managers;
    platform::Thread m_io_thread;
    platform::Thread m_worker_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_started{false};
    std::atomic<ICmdEvent*> m_event{nullptr};
    std::unique_ptr<i_io_service> m_io;
    CCountingEvent m_work;
    std::unique_ptr<i_deadline_timer> m_second_timer;
    std::unique_ptr<i_deadline_timer> m_minute_timer;
    std::deque<std::uint64_t> m_added;
    mutable CcsLocker m_added_lock;         // guards m_added
    std::deque<std::uint64_t> m_reap;       // stopped tasks whose threads the worker waits for
    mutable CcsLocker m_reap_lock;          // guards m_reap
    std::vector<std::uint64_t> m_retired;   // deleted tasks whose delete step has not saved their bitmap
    mutable CcsLocker m_retired_lock;       // guards m_retired
};
