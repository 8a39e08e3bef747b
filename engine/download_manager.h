// CDownload_Manager: the session's task manager. It owns every download
// task of the session in a map keyed by task id, creates a task when the
// session adds one, hands sockets NAT traversal has punched to their task,
// relays storage events to the tasks, deletes tasks that have finished
// stopping and reports every task's speed and the engine totals once a
// second. It is also the owner the tasks reach the session's managers
// through.
//
// Threads: the session's I/O thread (second_tick, StopTask, the retire
// of stopped tasks), its worker thread (PrepareTaskFiles, ReapTask), the client core's
// task worker (the add forms), the NAT threads (AddPeerSocket) and
// whatever thread completes a piece (the storage events). The task-map
// lock comes after the storage and channel locks and before a task's
// connection-set lock.
#pragma once

#include "discovery/nat_manager.h"
#include "engine/download_task_owner.h"
#include "engine/i_download_manager.h"
#include "engine/i_storage_manager.h"
#include "platform/critical_section.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CDownload_Task;

class CDownload_Manager : public IDownload_Manager,
                          public INatManagerEvent,
                          public IStorageManagerEvent,
                          public IDownloadTaskOwner {
public:
    // Copies `self` and `addresses`, takes the listen port the client core
    // holds and registers itself as the storage manager's event sink.
    CDownload_Manager(const PeerInfo& self, const std::vector<CisAddress>& addresses, IChannelManager* channels,
                      IStorageManager* storage, IHostCacheManager* host_cache, INatManager* nat);
    // Deletes every task still in the map and leaves the storage manager
    // without a sink.
    ~CDownload_Manager() override;
    CDownload_Manager(const CDownload_Manager&) = delete;
    CDownload_Manager& operator=(const CDownload_Manager&) = delete;

    // ---- IDownload_Manager ----
    void SetCmdEvent(ICmdEvent* event) override;
    bool Start() override;
    int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                        const std::string& root_folder, std::uint32_t file_count, const std::string& file_list,
                        const std::vector<std::uint8_t>& bitmap, const std::vector<std::vector<std::uint8_t>>& blocks,
                        const std::string& save_path, std::uint8_t history_flag) override;
    int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                        const std::string& root_folder, std::uint32_t file_count, const std::string& file_list,
                        const std::string& save_path) override;
    int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                        const std::string& root_folder, std::uint32_t file_count,
                        const std::string& file_list) override;
    int PrepareTaskFiles(std::uint64_t task_id) override;
    void second_tick() override;
    int SetRateLimits(float download, float upload) override;
    void CloseAllConnections() override;
    void StopTask(std::uint64_t task_id) override;
    void ReapTask(std::uint64_t task_id) override;
    void SetRetiredSink(retired_sink sink, void* context) override;
    void ReleaseRetired(std::uint64_t task_id) override;
    void StopAllTasks() override;
    bool HasTask(std::uint64_t task_id) override;
    void CloseAllConnections(std::uint8_t flag) override;

    // ---- INatManagerEvent (NAT threads) ----
    // Hands the socket to its task; a socket of an unknown task is closed
    // after "频道不存在!" is reported.
    void AddPeerSocket(PeerInfo peer, std::uint64_t task_id, int socket, std::uint8_t passive) override;
    // Passes the text on as a task message and a text output.
    void OnNatNotify(const char* text, std::uint32_t code) override;
    // True when the task is in the map.
    bool IsNatTaskKnown(std::uint64_t task_id) override;

    // ---- IStorageManagerEvent ----
    // The task of the channel creates its piece picker over the tables.
    void OnChannelStorageReady(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                               const std::vector<std::vector<std::uint8_t>>& blocks,
                               const std::vector<std::uint32_t>& piece_lengths) override;
    // Passes the result to the task's connection set.
    void OnPieceChecked(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result) override;
    // The task's stored-block counter + 1.
    void IncTaskStorageCounter(std::uint64_t channel_id) override;
    // Reports the failed write through OnErrorOutput.
    void OnStorageError(std::uint64_t channel_id, const char* text) override;

    // ---- IDownloadTaskOwner (the tasks) ----
    ICmdEvent* GetCmdEvent() override { return m_event.load(); }
    IChannelManager* GetChannelManager() override { return m_channels; }
    IStorageManager* GetStorageManager() override { return m_storage; }
    IHostCacheManager* GetHostCacheManager() override { return m_host_cache; }
    INatManager* GetNatManager() override { return m_nat; }
    PeerInfo GetSelfPeerInfo() override;
    std::uint16_t GetListenPort() override { return m_listen_port.load(); }
    std::vector<CisAddress> GetCisList() override;
    void SetIdentity(const PeerInfo& self, const std::vector<CisAddress>& addresses) override;

    // Counts payload moved this second in the engine-wide buckets behind
    // the average speeds (connections and the CDN thread call it).
    static void AddImmediateBytes(std::uint32_t downloaded, std::uint32_t uploaded);
    // Recomputes the engine-wide averages from the ten buckets.
    static void UpdateAverageSpeed();

    // The stored rate limits (nothing in the engine applies them).
    float GetDownloadRateLimit() const { return m_download_rate.load(); }
    float GetUploadRateLimit() const { return m_upload_rate.load(); }
    // Number of tasks in the map.
    std::size_t GetTaskCount() const;
    // Runs `fn` on the task while it cannot be deleted; false (fn not run)
    // when the task is not in the map.
    bool VisitTask(std::uint64_t task_id, const std::function<void(CDownload_Task&)>& fn);

    void check_invariant() const;

private:
    using task_map = std::map<std::uint64_t, CDownload_Task*>;
    class PinnedTask;

    void Unpin(std::uint64_t task_id);
    // Runs fn on every task, each pinned for the call.
    template <typename Fn>
    void ForEachTask(Fn fn);

    // Shared part of the three add forms; `start` lets the new task
    // register its channel the way the form asks for.
    template <typename StartFn>
    int AddTask(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size, const std::string& root_folder,
                const std::string& line, StartFn start);
    // Reports a duplicate id with its channel folder; 0.
    int ReportDuplicate(std::uint64_t task_id);
    task_map CopyTasks() const;
    // Has the I/O thread try to retire the task (any thread; it only posts).
    void PostRetire(std::uint64_t task_id);
    static void OnConnectionsGone(void* context, std::uint64_t task_id);
    // I/O thread: deletes a stopped task whose threads were reaped and
    // whose last connection has gone, then tells the retired sink. A task
    // pinned then is retired when its last pin goes.
    void TryRetire(std::uint64_t task_id);
    void ReportSpeeds(float download_sum, float upload_sum);
    void TextOutput(const std::string& text);
    void ErrorOutput(const std::string& text);

    std::atomic<ICmdEvent*> m_event{nullptr};
    IChannelManager* m_channels;
    IStorageManager* m_storage;
    IHostCacheManager* m_host_cache;
    INatManager* m_nat;
    task_map m_tasks;
    // Tasks in use outside the lock, with their use counts; second_tick
    // does not delete a pinned task.
    std::map<std::uint64_t, std::uint32_t> m_pins;
    // Ids whose task is being built by an add form.
    std::set<std::uint64_t> m_adding;
    // Stopped tasks found pinned when they could have been retired.
    std::set<std::uint64_t> m_retire_pending;
    // Deleted tasks whose remains the retired sink's owner still removes.
    std::set<std::uint64_t> m_retiring;
    // The session's I/O service (every task runs on it); set by the first add.
    std::atomic<i_io_service*> m_io{nullptr};
    std::atomic<retired_sink> m_retired_sink{nullptr};
    std::atomic<void*> m_retired_context{nullptr};
    std::mutex m_identity_lock;            // guards m_addresses and m_self
    std::vector<CisAddress> m_addresses;   // the CIS list, a copy
    mutable CcsLocker m_lock;              // guards m_tasks, m_pins, m_adding, m_retire_pending, m_retiring
    PeerInfo m_self;
    std::atomic<std::uint16_t> m_listen_port{9768};
    std::atomic<float> m_download_rate;
    std::atomic<float> m_upload_rate;
};
