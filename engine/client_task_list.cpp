#include "engine/client_task_list.h"
#include "platform/invariant.h"

#include <algorithm>

std::vector<ClientTaskRecord>::iterator CClientTaskList::Find(std::uint64_t task_id)
{
    return std::find_if(m_records.begin(), m_records.end(),
                        [task_id](const ClientTaskRecord& r) { return r.task_id == task_id; });
}

std::vector<ClientTaskRecord>::const_iterator CClientTaskList::Find(std::uint64_t task_id) const
{
    return std::find_if(m_records.begin(), m_records.end(),
                        [task_id](const ClientTaskRecord& r) { return r.task_id == task_id; });
}

bool CClientTaskList::AddUnique(const ClientTaskRecord& record)
{
    CScopedLock guard(m_lock);
    if (Find(record.task_id) != m_records.end())
        return false;
    m_records.push_back(record);
    return true;
}

bool CClientTaskList::Remove(std::uint64_t task_id)
{
    CScopedLock guard(m_lock);
    const auto it = Find(task_id);
    if (it == m_records.end())
        return false;
    m_records.erase(it);
    return true;
}

bool CClientTaskList::Contains(std::uint64_t task_id) const
{
    CScopedLock guard(m_lock);
    return Find(task_id) != m_records.end();
}

bool CClientTaskList::Copy(std::uint64_t task_id, ClientTaskRecord& out) const
{
    CScopedLock guard(m_lock);
    const auto it = Find(task_id);
    if (it == m_records.end())
        return false;
    out = *it;
    return true;
}

bool CClientTaskList::Overwrite(const ClientTaskRecord& record)
{
    CScopedLock guard(m_lock);
    const auto it = Find(record.task_id);
    if (it == m_records.end())
        return false;
    *it = record;
    return true;
}

void CClientTaskList::StoreBitmap(std::uint64_t task_id, const std::vector<std::uint8_t>& bitmap,
                                  const std::vector<std::vector<std::uint8_t>>& tables)
{
    CScopedLock guard(m_lock);
    const auto it = Find(task_id);
    if (it == m_records.end())
        return;
    it->bitmap = bitmap;
    it->piece_tables = tables;
}

bool CClientTaskList::TakeFirst(ClientTaskRecord& out)
{
    CScopedLock guard(m_lock);
    if (m_records.empty())
        return false;
    out = std::move(m_records.front());
    m_records.erase(m_records.begin());
    return true;
}

std::vector<std::uint64_t> CClientTaskList::Ids() const
{
    std::vector<std::uint64_t> ids;
    CScopedLock guard(m_lock);
    ids.reserve(m_records.size());
    for (const ClientTaskRecord& r : m_records)
        ids.push_back(r.task_id);
    return ids;
}

std::size_t CClientTaskList::Size() const
{
    CScopedLock guard(m_lock);
    return m_records.size();
}

void CClientTaskList::Clear()
{
    CScopedLock guard(m_lock);
    m_records.clear();
}

void CClientTaskList::check_invariant() const
{
#if defined(VR_INVARIANTS)
    CScopedLock guard(m_lock);
    for (std::size_t i = 0; i < m_records.size(); ++i)
        for (std::size_t j = i + 1; j < m_records.size(); ++j)
            VR_INVARIANT(m_records[i].task_id != m_records[j].task_id);
#endif
}
