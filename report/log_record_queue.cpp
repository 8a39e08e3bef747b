#include "report/log_record_queue.h"
#include "platform/invariant.h"

#include <cinttypes>
#include <cstdio>

std::string FormatLogRecord(const LogRecord& r)
{
    char head[160];
    std::snprintf(head, sizeof head, "%c,%" PRIu64 ",%" PRIu32 ",%" PRIu64 ",%" PRIu32 ",%u,", r.family, r.client_id,
                  r.kind, r.task_id, r.ipv4, static_cast<unsigned>(r.port));
    std::string text(head);
    bool first = true;
    for (const auto& entry : r.results) {
        char part[32];
        std::snprintf(part, sizeof part, "%s%" PRIu32 "x%" PRIu32, first ? "" : "+", entry.first, entry.second);
        text += part;
        first = false;
    }
    char tail[32];
    std::snprintf(tail, sizeof tail, ",%" PRId64, r.time);
    text += tail;
    return text;
}

void CLogRecordQueue::Merge(LogRecord& into, const LogRecord& from)
{
    for (const auto& entry : from.results) {
        std::uint32_t& count = into.results[entry.first];
        // Saturate: a counter that wraps would report a handful of failures.
        count = (count > UINT32_MAX - entry.second) ? UINT32_MAX : count + entry.second;
    }
    if (from.time != 0 && (into.time == 0 || from.time < into.time))
        into.time = from.time;
}

std::size_t CLogRecordQueue::Trim(std::size_t limit)
{
    if (limit < 1)
        limit = 1;
    std::size_t dropped = 0;
    while (m_records.size() > limit) {
        if (m_count_repeats)
            m_index.erase(KeyOf(m_records.front()));
        m_records.pop_front();
        ++dropped;
    }
    return dropped;
}

std::size_t CLogRecordQueue::Add(const LogRecord& record, std::size_t limit)
{
    if (m_count_repeats) {
        const auto found = m_index.find(KeyOf(record));
        if (found != m_index.end()) {
            Merge(*found->second, record);
            return 0;
        }
    }
    m_records.push_back(record);
    if (m_count_repeats)
        m_index[KeyOf(record)] = std::prev(m_records.end());
    const std::size_t dropped = Trim(limit);
    VR_INVARIANT(!m_count_repeats || m_index.size() == m_records.size());
    return dropped;
}

std::vector<LogRecord> CLogRecordQueue::Take(std::size_t max)
{
    std::vector<LogRecord> out;
    while (!m_records.empty() && out.size() < max) {
        if (m_count_repeats)
            m_index.erase(KeyOf(m_records.front()));
        out.push_back(std::move(m_records.front()));
        m_records.pop_front();
    }
    return out;
}

std::size_t CLogRecordQueue::PutBack(std::vector<LogRecord>& records, std::size_t limit)
{
    // Walk backwards so the oldest ends up first.
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (m_count_repeats) {
            const auto found = m_index.find(KeyOf(*it));
            if (found != m_index.end()) {
                // A newer record of the same key arrived meanwhile: one record,
                // at the older position, with both counts.
                Merge(*it, *found->second);
                m_records.erase(found->second);
                m_index.erase(found);
            }
        }
        m_records.push_front(std::move(*it));
        if (m_count_repeats)
            m_index[KeyOf(m_records.front())] = m_records.begin();
    }
    records.clear();
    const std::size_t dropped = Trim(limit);
    VR_INVARIANT(!m_count_repeats || m_index.size() == m_records.size());
    return dropped;
}

std::size_t CLogRecordQueue::Clear()
{
    const std::size_t n = m_records.size();
    m_records.clear();
    m_index.clear();
    return n;
}

bool CLogRecordQueue::check_invariant() const
{
    if (!m_count_repeats)
        return m_index.empty();
    if (m_index.size() != m_records.size())
        return false;
    for (auto it = m_records.begin(); it != m_records.end(); ++it) {
        const auto found = m_index.find(KeyOf(*it));
        if (found == m_index.end() || found->second != it)
            return false;
    }
    return true;
}
