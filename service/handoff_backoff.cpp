#include "service/handoff_backoff.h"

#include <algorithm>

#include "platform/tick.h"

namespace kx2dll {

bool handoff_backoff::due(std::uint64_t task_id, std::uint32_t now) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_tasks.find(task_id);
    return it == m_tasks.end() || platform::tick_reached(now, it->second.next);
}

std::uint32_t handoff_backoff::failed(std::uint64_t task_id, std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    entry& e = m_tasks[task_id];
    e.delay = e.delay == 0 ? first_ms : std::min(e.delay * 2, cap_ms);
    e.next = now + e.delay;
    return e.delay;
}

void handoff_backoff::restart(std::uint64_t task_id, std::uint32_t now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_tasks.find(task_id);
    if (it != m_tasks.end())
        it->second.next = now + it->second.delay;
}

void handoff_backoff::clear(std::uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_tasks.erase(task_id);
}

}   // namespace kx2dll
