// Sends task reports (command 87) to the first CIS on a thread of its own,
// so that a CIS that is slow or down never stalls the thread that raised
// the report (the session's I/O thread among them).
#pragma once

#include "discovery/cis_connection.h"
#include "discovery/peer_info.h"
#include "platform/event.h"
#include "platform/thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class CTaskReportSender {
public:
    // One queued report.
    struct Report {
        std::uint64_t task_id = 0;
        std::uint64_t client_id = 0;
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::uint32_t c = 0;
        std::uint8_t type = 0;
        std::vector<CisAddress> cis_list;
    };

    // Reports waiting beyond this are dropped, oldest first.
    static constexpr std::size_t kQueueLimit = 64;

    CTaskReportSender() = default;
    ~CTaskReportSender();   // Stop()
    CTaskReportSender(const CTaskReportSender&) = delete;
    CTaskReportSender& operator=(const CTaskReportSender&) = delete;

    // Queues a report; the thread starts on the first one. Nothing is
    // queued for an empty CIS list or once stopped.
    void Post(const Report& report);
    // Gives the queued reports up to `drain_ms` to go out, then cancels the
    // report being sent, drops the rest of the queue and joins the thread
    // (bounded by the cancel). Later posts are refused.
    void Stop(std::uint32_t drain_ms = 0);

    // Reports sent (whatever the CIS answered) and dropped.
    std::uint32_t Sent() const { return m_sent.load(); }
    std::uint32_t Dropped() const { return m_dropped.load(); }
    std::size_t Queued() const;

    // Bounds of each send (tests shorten them).
    void SetTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms);

private:
    void Run();

    mutable std::mutex m_lock;   // guards m_queue, m_busy and the thread start
    std::deque<Report> m_queue;
    bool m_busy = false;                 // a report taken off the queue is being sent
    std::condition_variable m_drained;   // the queue emptied and no send is in progress
    platform::Event m_wake{platform::Event::Reset::automatic};
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint32_t> m_sent{0};
    std::atomic<std::uint32_t> m_dropped{0};
    CCisConnectionEx m_connection;   // cancelled by Stop
    platform::Thread m_thread;
};
