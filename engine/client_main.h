// The engine's client core: logs on to the index servers, keeps the
// waiting, running and completed task lists, hands queued tasks to the
// session one at a time, builds the session once the logon has ended
// (offline when it failed), turns engine events into launcher callbacks
// and shuts everything down in a fixed order with bounded waits.
#pragma once

#include "discovery/peer_info.h"
#include "discovery/ris_connection.h"
#include "engine/client_task_list.h"
#include "engine/cmd_event.h"
#include "engine/p2sp_engine.h"
#include "engine/task_report_sender.h"
#include "platform/critical_section.h"
#include "platform/event.h"
#include "platform/thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class IDownload_Session;
class CLanPeerDiscovery;
class CLogOfBoot;
class CDownDataLog;

// How the client core makes and destroys its session: the engine facade
// installs the real session; tests install doubles. Without a factory no
// session is built.
struct SessionFactory {
    IDownload_Session* (*create)(const PeerInfo& self, const std::vector<CisAddress>& cis_list,
                                 const std::string& data_folder) = nullptr;
    void (*destroy)(IDownload_Session* session) = nullptr;
};

class CClientMain : public ICmdEvent, public CRisConnectionEx_Event {
public:
    CClientMain();
    // Runs Stop (again).
    ~CClientMain() override;
    CClientMain(const CClientMain&) = delete;
    CClientMain& operator=(const CClientMain&) = delete;

    // The client core of the process, null when none exists.
    static CClientMain* GetInstance();

    // Starts the task worker, raises callback 2 and starts the index-server
    // logon. False (callback 3 with -1) when the logon cannot start.
    bool Start(const std::string& data_folder, std::uint32_t fixed_peer_type_switch, std::uint8_t peer_type,
               EngineCallback callback, void* user, const std::string& fallback_bitmap_folder);
    // Starts the logon again while started and without a session.
    bool Reconnect();
    // Queues a new task (registry state 1). False when the id is running
    // or completed; a task already waiting stays queued once.
    bool AddTask(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                 std::uint32_t file_count, const std::string& file_list, const std::string& save_folder);
    // As AddTask for a task resumed from its bitmap and piece tables.
    bool AddHistoryTask(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                        std::uint32_t file_count, const std::string& file_list, const std::vector<std::uint8_t>& bitmap,
                        const std::vector<std::vector<std::uint8_t>>& piece_tables, const std::string& save_folder);
    // Stops a task and returns at once, from any thread. A running or
    // completed one (registry state 4) is stopped by the session on its
    // I/O thread, and callback 11 follows once its teardown is over; one
    // being handed to the session is stopped as soon as the session holds
    // it; one still waiting leaves the queue (and the registry) with
    // callback 11 at once. False without a session for a task not waiting,
    // and for an unknown task.
    bool StopTask(std::uint64_t task_id);
    // Shuts down: tasks (all stopped at once), side services, the logon
    // and UPnP threads, the worker, then the session on a destroyer
    // thread. Holds no lock while it waits for a thread. Idempotent; a
    // second caller waits for the first to finish.
    bool Stop();

    // Queries for the facade.
    std::uint32_t GetRunningCount() const;
    std::vector<std::uint64_t> GetRunningIds() const;
    std::vector<std::uint64_t> GetCompletedIds() const;
    // 2 completed, 1 running, 0 neither.
    std::uint32_t GetTaskState(std::uint64_t task_id) const;
    bool IsWaiting(std::uint64_t task_id) const;

    // The session, null until the logon has ended (tests).
    IDownload_Session* GetSession() const { return m_session.load(); }
    std::uint64_t GetClientId() const { return m_client_id.load(); }
    std::uint8_t GetLocalPeerType() const { return m_peer_type.load(); }
    std::vector<CisAddress> GetCisList() const;
    // The folder the next ".bbm" file goes to.
    std::string GetBitmapFolderInUse();
    // The sender of task reports to the first CIS (tests).
    const CTaskReportSender& TaskReports() const { return m_reports; }
    // This peer's 149-byte record as the session got it.
    PeerInfo GetSelfPeerInfo() const;

    // ICmdEvent
    void OnErrorOutput(const char* text) override;
    void OnTextOutput(const char* text) override;
    void OnTaskMessage(const char* text, std::uint32_t value) override;
    void OnBitmapSaved(std::uint64_t task_id, const std::vector<std::uint8_t>& bitmap,
                       const std::vector<std::vector<std::uint8_t>>& piece_tables) override;
    void OnTaskInfo(std::uint64_t task_id, const char* text, std::uint32_t type, std::uint32_t a, std::uint32_t b,
                    std::uint32_t c) override;
    void OnDownloadProgress(std::uint64_t task_id, std::uint64_t downloaded, std::uint64_t total) override;
    void OnTaskCompleted(std::uint64_t task_id) override;
    void OnTaskSpeed(std::uint64_t task_id, float download_kbps, float upload_kbps) override;
    void OnTaskRun(std::uint64_t task_id, std::uint32_t flag) override;
    void OnTaskStop(std::uint64_t task_id) override;
    void OnGlobalSpeed(float download_kbps, float upload_kbps) override;

    // CRisConnectionEx_Event (on the logon thread).
    void OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                  const RisLogonResult& logon, std::uint32_t status) override;
    void OnRisConnectionNotify(std::uint32_t code, std::uint32_t value) override;

    // Test seams: the session factory, the logon bounds and whether the
    // UPnP pass runs after a successful logon.
    void SetSessionFactory(const SessionFactory& factory);
    void SetRisTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms);
    void SetUpnpEnabled(bool on) { m_upnp_enabled.store(on); }
    // Waits up to `ms` for the session to exist (tests).
    bool WaitForSession(std::uint32_t ms) const;

    // An offline session tries the logon again after a back-off that
    // doubles with each failure, up to the cap.
    static constexpr std::uint32_t kFirstRelogonMs = 10000;
    static constexpr std::uint32_t kMaxRelogonMs = 320000;
    // True while the session runs offline, and while a logon runs (tests).
    bool IsOffline() const { return m_offline.load(); }
    bool IsLogonRunning() const { return m_ris.IsRunning(); }
    // The tick at which the offline session's next logon try falls due (tests).
    std::uint32_t NextLogonTryTick() const { return m_relogon_at.load(); }

    void check_invariant() const;

private:
    bool StartLogon();
    void StartOfflineSession();
    void ScheduleRelogon();
    void RetryLogonWhenDue();
    std::vector<CisAddress> OrderCisList(std::uint32_t public_ip, const std::vector<CisAddress>& received) const;
    void BuildSession(const std::vector<CisAddress>& cis_list);
    PeerInfo BuildSelfPeerInfo() const;
    void StartLanDiscovery(std::uint64_t client_id);
    void StopRunningTasks();
    void TaskWorker();
    // Hands the first waiting task to the session; false when none was taken.
    bool HandOverNextTask();
    void UpnpWorker();
    std::uint32_t RunUpnp(std::uint32_t* external_ip);
    std::string ChooseBitmapFolder();
    // The logon sink's work, under the build lock.
    void BuildOnLogon(std::uint32_t result, const std::vector<CisAddress>& cis_list, const RisLogonResult& logon,
                      std::uint32_t status);
    // A launcher callback raised while a thread holds the build lock, kept
    // until it has let go (the launcher may call back into the engine, or
    // take its time).
    struct HeldCallback {
        std::uint32_t code;
        std::uintptr_t value;
        std::vector<std::uint8_t> payload;   // a copied event's bytes
        bool copied;
    };
    // Keeps the callbacks the calling thread raises in `held` while it lives.
    class CallbackHold {
    public:
        explicit CallbackHold(std::vector<HeldCallback>& held);
        ~CallbackHold();
        CallbackHold(const CallbackHold&) = delete;
        CallbackHold& operator=(const CallbackHold&) = delete;

    private:
        std::vector<HeldCallback>* m_outer;
    };
    static thread_local std::vector<HeldCallback>* t_held;
    void DeliverHeld(const std::vector<HeldCallback>& held);
    void Callback(std::uint32_t code, std::uintptr_t data);
    void CallbackCopy(std::uint32_t code, const std::vector<std::uint8_t>& payload);
    bool Delivering() const;
    void RaiseText(std::uint32_t code, const char* text);
    void DestroySession();

    // The running list refuses a task that is completed; the completed
    // list takes only a completed task that ran.
    bool RunningAdd(const ClientTaskRecord& record);
    bool CompletedAdd(const ClientTaskRecord& record);
    bool Queue(ClientTaskRecord record);

    std::atomic<std::uint16_t> m_listen_port{9768};
    CRisConnectionEx m_ris;
    mutable std::mutex m_cis_lock;   // guards m_cis_list and m_self
    std::vector<CisAddress> m_cis_list;
    PeerInfo m_self{};
    std::atomic<std::uint8_t> m_peer_type{0};
    std::atomic<IDownload_Session*> m_session{nullptr};
    std::atomic<std::uint64_t> m_client_id{0};
    std::atomic<std::uint32_t> m_public_ip{0};
    std::atomic<std::uint32_t> m_nat_ip{0};
    std::atomic<std::uint32_t> m_fixed_peer_type{0};
    mutable std::mutex m_folder_lock;   // guards the two folders
    std::string m_data_folder;
    std::string m_fallback_bitmap_folder;
    std::atomic<EngineCallback> m_callback{nullptr};
    std::atomic<void*> m_user{nullptr};

    // No operation holds two list locks at once: a record may move
    // between two checks of different lists.
    CClientTaskList m_running;
    CClientTaskList m_completed;
    CClientTaskList m_waiting;
    // Makes the move of a task from the waiting list to the session one
    // step for StopTask: held (before a list's lock) while the task worker
    // takes the next task and while a stop looks for it, never across a
    // call into the session.
    std::mutex m_handover_lock;
    std::uint64_t m_handing_over = 0;   // the task the session is adding now
    bool m_stop_handed_over = false;    // a stop of it came meanwhile

    std::atomic<std::int64_t> m_start_time{0};
    std::atomic<std::int64_t> m_stop_time{0};
    std::atomic<std::uint32_t> m_started{0};
    std::atomic<bool> m_stopping{false};          // no session is built once set
    std::atomic<bool> m_offline{false};           // the session runs without index servers
    std::atomic<std::uint32_t> m_relogon_at{0};   // tick of the offline session's next logon try
    std::atomic<std::uint32_t> m_relogon_backoff{kFirstRelogonMs};
    std::atomic<std::uint32_t> m_relogon_tries{0};
    // Serialises the logon sink's build with Stop taking over what it
    // built; never held across a join or a wait for another thread.
    std::mutex m_build_lock;
    std::mutex m_stop_lock;   // guards m_stop_running only
    bool m_stop_running = false;
    std::condition_variable m_stop_done;   // a Stop under way has ended

    platform::Event m_stop_event{platform::Event::Reset::manual};
    // Wakes the task worker: a task was queued, the session was built, or Stop.
    platform::Event m_work_event{platform::Event::Reset::automatic};
    platform::Thread m_worker;
    platform::Thread m_upnp;
    std::atomic<bool> m_upnp_started{false};
    std::atomic<bool> m_upnp_enabled{true};
    std::mutex m_bitmap_write_lock;   // one fallback-folder choice at a time
    CTaskReportSender m_reports;      // command 87 off the reporting thread

    CLanPeerDiscovery* m_lan = nullptr;        // guarded by m_build_lock
    CLogOfBoot* m_boot_log = nullptr;          // guarded by m_build_lock
    CDownDataLog* m_down_data_log = nullptr;   // guarded by m_build_lock
    SessionFactory m_session_factory;
};
