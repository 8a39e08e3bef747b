#include "engine/task_state_mgr.h"

#include "platform/tick.h"
#include "platform/invariant.h"

#include <atomic>

namespace {

// Entries in state 5 older than this many seconds are swept.
constexpr std::int64_t kDeletedKeepSeconds = 30;
// Sweeps closer together than this do nothing.
constexpr std::int64_t kSweepIntervalSeconds = 10;

std::atomic<CTaskStateMgr::seconds_source> g_seconds_source{nullptr};

}   // namespace

CTaskStateMgr& CTaskStateMgr::Instance()
{
    static CTaskStateMgr registry;
    return registry;
}

void CTaskStateMgr::SetSecondsSource(seconds_source source)
{
    g_seconds_source.store(source);
}

std::int64_t CTaskStateMgr::Now()
{
    const seconds_source source = g_seconds_source.load();
    return source ? source() : platform::unix_time();
}

bool CTaskStateMgr::Set(std::uint64_t task_id, std::uint32_t state)
{
    CScopedLock guard(m_map_lock);
    TaskStateRecord& record = m_states[task_id];
    record.task_id = task_id;
    record.state = state;
    record.time_stamp = 0;
    return true;
}

bool CTaskStateMgr::SetState(std::uint64_t task_id, std::uint32_t state)
{
    CScopedLock guard(m_map_lock);
    const auto it = m_states.find(task_id);
    if (it == m_states.end())
        return false;
    it->second.state = state;
    if (state == TASKSTATE_DELETED)
        it->second.time_stamp = Now();
    return true;
}

bool CTaskStateMgr::Exists(std::uint64_t task_id) const
{
    CScopedLock guard(m_map_lock);
    return m_states.count(task_id) != 0;
}

bool CTaskStateMgr::GetState(std::uint64_t task_id, std::uint32_t* state) const
{
    if (state)
        *state = 0;
    CScopedLock guard(m_map_lock);
    const auto it = m_states.find(task_id);
    if (it == m_states.end())
        return false;
    if (state)
        *state = it->second.state;
    return true;
}

bool CTaskStateMgr::Remove(std::uint64_t task_id)
{
    CScopedLock guard(m_map_lock);
    return m_states.erase(task_id) != 0;
}

void CTaskStateMgr::PushDeleted(std::uint64_t task_id)
{
    CScopedLock guard(m_queue_lock);
    m_deleted.push_back(task_id);
}

bool CTaskStateMgr::PopDeleted(std::uint64_t* task_id)
{
    if (task_id)
        *task_id = 0;
    CScopedLock guard(m_queue_lock);
    if (m_deleted.empty())
        return false;
    if (task_id)
        *task_id = m_deleted.front();
    m_deleted.pop_front();
    return true;
}

void CTaskStateMgr::Sweep()
{
    CScopedLock guard(m_map_lock);
    if (m_states.empty())
        return;
    const std::int64_t now = Now();
    if (now - m_last_sweep < kSweepIntervalSeconds)
        return;
    m_last_sweep = now;
    for (auto it = m_states.begin(); it != m_states.end();) {
        const TaskStateRecord& record = it->second;
        if (record.state == TASKSTATE_DELETED && now - record.time_stamp > kDeletedKeepSeconds)
            it = m_states.erase(it);
        else
            ++it;
    }
    check_invariant();
}

std::size_t CTaskStateMgr::Size() const
{
    CScopedLock guard(m_map_lock);
    return m_states.size();
}

void CTaskStateMgr::Clear()
{
    {
        CScopedLock guard(m_map_lock);
        m_states.clear();
        m_last_sweep = 0;
    }
    CScopedLock guard(m_queue_lock);
    m_deleted.clear();
}

void CTaskStateMgr::check_invariant() const
{
#if defined(VR_INVARIANTS)
    CScopedLock guard(m_map_lock);
    for (const auto& entry : m_states)
        VR_INVARIANT(entry.first == entry.second.task_id);
#endif
}
