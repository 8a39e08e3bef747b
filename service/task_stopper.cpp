#include "service/task_stopper.h"

#include <utility>

namespace kx2dll {

task_stopper::task_stopper(std::function<void(std::uint64_t)> stop) : m_stop(std::move(stop)) {}

void task_stopper::post(std::uint64_t task_id)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_pending.insert(task_id).second)
            return;   // one queued already
    }
    const bool queued = m_worker.post([this, task_id] {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_pending.erase(task_id) == 0)
                return;   // cancelled
        }
        m_stop(task_id);
    });
    if (!queued)
        cancel(task_id);
}

void task_stopper::cancel(std::uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_pending.erase(task_id);
}

void task_stopper::stop()
{
    m_worker.stop();
    std::lock_guard<std::mutex> guard(m_lock);
    m_pending.clear();
}

}   // namespace kx2dll
