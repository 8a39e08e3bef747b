#include "engine/task_report_sender.h"

#include "platform/debug_output.h"

#include <chrono>

namespace {
// Wait between looks at the stop flag.
constexpr std::uint32_t kIdleWaitMs = 100;
}   // namespace

CTaskReportSender::~CTaskReportSender()
{
    Stop();
}

void CTaskReportSender::SetTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms)
{
    m_connection.SetTimeouts(connect_ms, reply_ms);
}

void CTaskReportSender::Post(const Report& report)
{
    // A report with nowhere to go is skipped (always so offline).
    if (report.cis_list.empty())
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stop.load())
        return;
    if (m_queue.size() >= kQueueLimit) {
        m_queue.pop_front();
        ++m_dropped;
    }
    m_queue.push_back(report);
    if (!m_thread.joinable())
        m_thread.start([this] { Run(); }, "task_report");
    m_wake.set();
}

void CTaskReportSender::Stop(std::uint32_t drain_ms)
{
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (drain_ms > 0 && m_thread.joinable() && !m_stop.load())
            m_drained.wait_for(guard, std::chrono::milliseconds(drain_ms),
                               [this] { return m_queue.empty() && !m_busy; });
        m_stop.store(true);
        m_dropped += static_cast<std::uint32_t>(m_queue.size());
        m_queue.clear();
    }
    m_wake.set();
    m_connection.StopLogon();   // cancels a send in progress
    if (!m_thread.join_for(5000)) {
        platform::debug_output("CTaskReportSender::Stop still waiting for a report send\n");
        m_thread.join();
    }
}

std::size_t CTaskReportSender::Queued() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_queue.size();
}

void CTaskReportSender::Run()
{
    while (!m_stop.load()) {
        Report report;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_busy = false;
            if (!m_queue.empty()) {
                report = std::move(m_queue.front());
                m_queue.pop_front();
                m_busy = true;
            } else {
                m_drained.notify_all();
            }
        }
        if (report.cis_list.empty()) {
            m_wake.wait(kIdleWaitMs);
            continue;
        }
        m_connection.SendCmd87Packet(report.task_id, report.client_id, report.a, report.b, report.c, report.cis_list,
                                     report.type);
        ++m_sent;
    }
}
