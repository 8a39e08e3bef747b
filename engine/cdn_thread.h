// CCdnThread: one thread per task that keeps ten ranged-HTTP connections
// (zeq::cdn_thread_peer_connection) busy fetching runs of blocks from the
// task's HTTP peers, alongside the transfer connections of the I/O layer.
// Whenever it is woken (a connection has become free, HTTP peers were
// added, blocks went back to the picker) or a pause it set has passed, it
// gives each idle connection a random HTTP peer of the task and a run of
// blocks; a connection whose last attempts failed waits before it is
// dialled again, and nothing is dialled while the task has no block to give. Once a second (over all CDN threads of the process) it
// writes the average speed of the last ten seconds to the client log.
//
// Stopping never waits without bound: the thread closes its connections
// (which cancels their pending operations), waits while the I/O thread
// runs the cancelled handlers, then gives up its own reference of each.
// A connection is deleted only by its last reference, so one whose
// handlers have not run yet (the I/O service stopped, the wait's bound
// passed, or the owner is being destroyed, perhaps on the I/O thread)
// lives on, touching neither thread nor task, until they run.
#pragma once

#include "platform/event.h"
#include "platform/thread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CDownload_Task;

namespace zeq {
class cdn_thread_peer_connection;
class i_range_task;
}   // namespace zeq

class CCdnThread {
public:
    static constexpr std::size_t kConnections = 10;
    // One loop step of the thread.
    static constexpr std::uint32_t kStepMs = 100;
    // Longest wait for the connections' pending operations when stopping.
    static constexpr std::uint32_t kReleaseWaitMs = 5000;
    // Pause before redialling a connection whose last attempt failed
    // (doubling with each failure in a row, up to the maximum), and before
    // asking again for a run after the task had none.
    static constexpr std::uint32_t kRedialPauseMs = 500;
    static constexpr std::uint32_t kRedialPauseMaxMs = 16000;
    static constexpr std::uint32_t kNoRunPauseMs = 1000;
    // Longest sleep when nothing is due (the thread is woken for work).
    static constexpr std::uint32_t kIdleWaitMs = 60000;

    // For a task of the engine (defined with the task's CDN side).
    explicit CCdnThread(CDownload_Task* task);
    // For any task behind the interface; not owned, must outlive the thread.
    explicit CCdnThread(zeq::i_range_task* task);
    // Stops the thread (bounded) and lets go of the connections.
    ~CCdnThread();
    CCdnThread(const CCdnThread&) = delete;
    CCdnThread& operator=(const CCdnThread&) = delete;

    // Clears the flags; when no thread runs, creates the ten connections,
    // clears the byte buckets and starts the thread.
    void Start();
    // Asks the thread to stop and returns at once while the I/O service
    // runs (the thread sets the stopped flag once its connections are
    // released); when the I/O service has stopped, waits for the thread.
    void Stop();
    // After Stop: waits for the thread to end. Never on the I/O thread,
    // whose cancelled handlers the thread may be waiting for.
    void Join();
    // The stopped flag.
    bool IsStopped() const { return m_stopped.load(); }

    // ---- For the connections ----
    zeq::i_range_task* GetTask() { return m_task; }
    // The stop-requested flag.
    bool IsStopping() const { return m_stop_requested.load(); }
    // The task has every piece.
    bool IsTaskCompleted();
    // Puts a block back to free in the task's piece picker.
    void CancelRequest(std::uint32_t piece, std::uint32_t offset, std::uint32_t length);
    // Adds received bytes to this second's bucket and to the engine's
    // immediate counters; the second value is ignored.
    void AddReceivedBytes(std::uint32_t bytes, std::uint32_t unused = 0);
    // One text to the client log.
    void WriteLog(const std::string& text);
    // The event a connection signals once it is free again, so that it is
    // given its next run at once rather than at the next 100 ms step.
    std::shared_ptr<platform::Event> WakeEvent() const { return m_wake; }

    // ---- State for tests and the speed line ----
    // Sum of the ten buckets / 10 (bytes per second).
    double GetSpeed();
    zeq::cdn_thread_peer_connection* GetConnection(std::size_t i) { return m_connections[i]; }
    bool IoFinished() const { return m_io_finished.load(); }
    // The seconds clock of the buckets (tests); nullptr restores it.
    using seconds_source = std::int64_t (*)();
    static void SetSecondsSource(seconds_source source);
    // The speed line: "cdn_thread_peer speed[" KB/s "]".
    void WriteSpeedLine();
    // The shared speed-line stamp (tests reset it): 0 means never written.
    static void ResetSpeedLineStamp();

private:
    void ThreadProc();
    // One pass; the milliseconds until the next pass is due.
    std::uint32_t Step();
    void DialIdle(std::size_t i, std::uint32_t now);
    // Brings the next pass forward to `tick`.
    void DueAt(std::uint32_t tick);
    void ReleaseConnections();
    bool OperationsPending();
    bool IoServiceStopped();
    static std::int64_t NowSeconds();

    std::unique_ptr<zeq::i_range_task> m_owned_task;
    zeq::i_range_task* m_task;
    platform::Thread m_thread;
    // Wakes the thread: a stop request, or a connection that has become
    // free (shared with the connections, which may outlive the thread).
    std::shared_ptr<platform::Event> m_wake;
    // One reference of each, given up when the thread ends.
    std::array<zeq::cdn_thread_peer_connection*, kConnections> m_connections{};
    std::array<std::uint32_t, kConnections> m_next_dial{};   // tick before which a connection waits
    std::array<std::uint32_t, kConnections> m_judged{};      // attempts of each connection seen ended
    // The task had no block to give: tick of the connection's next look (0: none).
    std::array<std::uint32_t, kConnections> m_no_run_until{};
    std::uint32_t m_due = 0;   // tick of the next pass
    std::atomic<bool> m_io_finished{false};
    std::array<std::atomic<std::uint32_t>, 10> m_buckets{};
    std::atomic<std::uint32_t> m_bucket_index{0};
    std::atomic<bool> m_stop_requested{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_abandon{false};   // the destructor cannot wait for the I/O thread
};
