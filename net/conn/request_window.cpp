#include "net/conn/request_window.h"

#include <algorithm>

void request_window::set_bound(std::size_t served)
{
    m_bound = std::max<std::size_t>(1, std::min(served, kCeiling));
    m_size = std::min(std::max(m_size, std::min(kFloor, m_bound)), m_bound);
}

void request_window::asked(const BlockRequest& block, std::uint32_t now, bool first)
{
    if (first) {
        // After an idle spell the rate is measured afresh.
        m_span_start = now;
        m_span_blocks = 0;
    }
    if (m_asked.size() >= kCeiling)
        m_asked.pop_front();
    m_asked.push_back({block, now});
}

void request_window::arrived(const BlockRequest& block, std::uint32_t now)
{
    const auto it = std::find_if(m_asked.begin(), m_asked.end(),
                                 [&](const asked_at& a) { return a.block.SameBlock(block); });
    if (it != m_asked.end()) {
        // A tick is a millisecond: a nearer peer counts as one.
        const std::uint32_t took = std::max<std::uint32_t>(1, now - it->tick);
        if (m_round_trip == 0 || took < m_round_trip)
            m_round_trip = took;
        // Requests before it were answered in order or skipped: none is
        // timed any more.
        m_asked.erase(m_asked.begin(), it + 1);
    }
    ++m_span_blocks;
    const std::uint32_t span = now - m_span_start;
    if (m_round_trip == 0 || span < std::max(kSpanMs, m_round_trip))
        return;
    // Blocks per round trip and a half, rounded up, and two more: the one
    // being received and the one being asked for.
    const std::uint64_t cover = std::uint64_t(m_span_blocks) * m_round_trip * 3;
    const std::uint64_t want = (cover + 2 * std::uint64_t(span) - 1) / (2 * std::uint64_t(span)) + 2;
    m_size = std::size_t(std::min<std::uint64_t>(std::max<std::uint64_t>(want, std::min(kFloor, m_bound)), m_bound));
    m_span_start = now;
    m_span_blocks = 0;
}
