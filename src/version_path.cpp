// Update-packet chains. The full line list grows exponentially with branch
// points, so find_version_path searches the same lines without listing
// them: a line is a chain in which each packet may follow the one before it
// and starts after the end of the packet two places back (the line builder
// extends a line only at the first packet the newcomer may follow).
#include "src/version_path.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "src/net_service.h"

namespace kx2dll {
namespace {

// Lines kept by search_version_lines at most: beyond that the list is
// useless for logging and would only eat memory.
constexpr std::size_t max_listed_lines = 100000;

bool same_steps(const VersionLine& a, const VersionLine& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].from != b[i].from || a[i].to != b[i].to)
            return false;
    }
    return true;
}

// Shortest-line search for one start bound and one target, over chains.
// Packets are kept sorted by (from, to), so the packets that may follow one
// are a contiguous range found by binary search, and each (packet, end of
// the packet before it) state is solved once.
class chain_search {
public:
    chain_search(const std::vector<VersionPathEntry>& entries, std::int32_t target)
        : m_entries(entries), m_target(target)
    {
        // One packet per distinct step (the first in input order stands for
        // its duplicates), none beyond the target.
        std::set<std::pair<std::int32_t, std::int32_t>> seen;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].to <= m_target && seen.insert({entries[i].from, entries[i].to}).second)
                m_steps.push_back(i);
        }
        std::sort(m_steps.begin(), m_steps.end(), [&](std::size_t a, std::size_t b) {
            if (entries[a].from != entries[b].from)
                return entries[a].from < entries[b].from;
            return entries[a].to < entries[b].to;
        });
    }

    // The shortest line whose first from is at most `f` and whose last to
    // is the target; among equally short ones the one that sorts last.
    bool best(std::int32_t f, VersionLine& out)
    {
        out.clear();
        std::size_t best_len = unreachable;
        std::size_t first = 0;
        // Largest step first, so ties go to the line sorting last.
        for (std::size_t k = m_steps.size(); k-- > 0;) {
            const std::size_t s = m_steps[k];
            if (m_entries[s].from > f)
                continue;
            const std::size_t len = 1 + remaining(s, no_prev);
            if (len < best_len) {
                best_len = len;
                first = s;
            }
        }
        if (best_len >= unreachable)
            return false;
        // Walk the choice: at each step the largest next packet that keeps
        // the line shortest.
        std::size_t cur = first;
        std::int64_t prev_to = no_prev;
        out.push_back(m_entries[cur]);
        while (m_entries[cur].to != m_target) {
            const std::size_t need = remaining(cur, prev_to) - 1;
            std::size_t next = unreachable;
            const auto range = followers(cur, prev_to);
            for (std::size_t k = range.second; k-- > range.first;) {
                const std::size_t s = m_steps[k];
                if (m_entries[s].to > m_entries[cur].to && remaining(s, m_entries[cur].to) == need) {
                    next = s;
                    break;
                }
            }
            if (next == unreachable)
                return false;  // cannot happen: remaining() found this path
            prev_to = m_entries[cur].to;
            cur = next;
            out.push_back(m_entries[cur]);
        }
        return true;
    }

    // Every version some line starting at or below `f` ends at.
    std::set<std::int32_t> reachable_ends(std::int32_t f) const
    {
        std::set<std::int32_t> ends;
        std::set<std::pair<std::size_t, std::int64_t>> seen;
        std::vector<std::pair<std::size_t, std::int64_t>> todo;
        for (std::size_t s : m_steps) {
            if (m_entries[s].from <= f)
                todo.push_back({s, no_prev});
        }
        while (!todo.empty()) {
            const auto state = todo.back();
            todo.pop_back();
            if (!seen.insert(state).second)
                continue;
            const std::size_t cur = state.first;
            ends.insert(m_entries[cur].to);
            const auto range = followers(cur, state.second);
            for (std::size_t k = range.first; k < range.second; ++k) {
                const std::size_t s = m_steps[k];
                if (m_entries[s].to > m_entries[cur].to)
                    todo.push_back({s, m_entries[cur].to});
            }
        }
        return ends;
    }

private:
    static constexpr std::size_t unreachable = std::numeric_limits<std::size_t>::max() / 2;
    static constexpr std::int64_t no_prev = std::numeric_limits<std::int64_t>::min();

    // Indices into m_steps of the packets whose from lies after both the
    // current packet's from and the end of the packet before it, and not
    // after the current packet's end.
    std::pair<std::size_t, std::size_t> followers(std::size_t cur, std::int64_t prev_to) const
    {
        const std::int64_t low = std::max<std::int64_t>(m_entries[cur].from, prev_to);
        const std::int64_t high = m_entries[cur].to;
        auto from_of = [&](std::size_t s) { return static_cast<std::int64_t>(m_entries[s].from); };
        const auto b = std::upper_bound(m_steps.begin(), m_steps.end(), low,
                                        [&](std::int64_t v, std::size_t s) { return v < from_of(s); });
        const auto e = std::upper_bound(b, m_steps.end(), high,
                                        [&](std::int64_t v, std::size_t s) { return v < from_of(s); });
        return {static_cast<std::size_t>(b - m_steps.begin()), static_cast<std::size_t>(e - m_steps.begin())};
    }

    // Fewest packets still needed after `cur` (reached after a packet ending
    // at prev_to) to end exactly at the target.
    std::size_t remaining(std::size_t cur, std::int64_t prev_to)
    {
        if (m_entries[cur].to == m_target)
            return 0;
        const auto key = std::make_pair(cur, prev_to);
        auto it = m_memo.find(key);
        if (it != m_memo.end())
            return it->second;
        std::size_t best = unreachable;
        const auto range = followers(cur, prev_to);
        for (std::size_t k = range.first; k < range.second; ++k) {
            const std::size_t s = m_steps[k];
            if (m_entries[s].to > m_entries[cur].to)
                best = std::min(best, 1 + remaining(s, m_entries[cur].to));
        }
        m_memo[key] = best;
        return best;
    }

    const std::vector<VersionPathEntry>& m_entries;
    const std::int32_t m_target;
    std::vector<std::size_t> m_steps;
    std::map<std::pair<std::size_t, std::int64_t>, std::size_t> m_memo;
};

} // namespace

bool may_follow(const VersionPathEntry& x, const VersionPathEntry& e)
{
    return x.from < e.from && e.from <= x.to && x.to < e.to;
}

void select_entries_from(const std::vector<VersionPathEntry>& entries, std::int32_t version,
                         std::vector<VersionPathEntry>& out)
{
    out.clear();
    for (const VersionPathEntry& e : entries) {
        if (e.from == version)
            out.push_back(e);
    }
}

bool compare_version_lines(const VersionLine& a, const VersionLine& b)
{
    if (a.empty())
        return !b.empty();
    if (b.empty())
        return false;
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i].from != b[i].from)
            return a[i].from < b[i].from;
        if (a[i].to != b[i].to)
            return a[i].to < b[i].to;
    }
    return a.size() < b.size();
}

bool contains_version_line(const std::vector<VersionLine>& lines, const VersionLine& line)
{
    for (const VersionLine& l : lines) {
        if (same_steps(l, line))
            return true;
    }
    return false;
}

bool search_version_lines(const std::vector<VersionPathEntry>& entries, std::vector<VersionLine>& lines)
{
    lines.clear();
    std::set<std::int32_t> froms;
    for (const VersionPathEntry& e : entries)
        froms.insert(e.from);
    std::vector<VersionPathEntry> group;
    for (std::int32_t f : froms) {
        select_entries_from(entries, f, group);
        for (const VersionPathEntry& e : group) {
            if (lines.empty()) {
                lines.push_back({e});
                continue;
            }
            std::vector<VersionLine> fresh;
            for (const VersionLine& l : lines) {
                for (std::size_t k = 0; k < l.size(); ++k) {
                    if (!may_follow(l[k], e))
                        continue;
                    VersionLine candidate(l.begin(), l.begin() + static_cast<std::ptrdiff_t>(k) + 1);
                    candidate.push_back(e);
                    if (!contains_version_line(fresh, candidate))
                        fresh.push_back(std::move(candidate));
                    break;
                }
            }
            for (VersionLine& l : fresh) {
                if (lines.size() < max_listed_lines)
                    lines.push_back(std::move(l));
            }
            if (lines.size() < max_listed_lines)
                lines.push_back({e});
            std::sort(lines.begin(), lines.end(), compare_version_lines);
        }
    }
    std::ostringstream text;
    const std::string rule(55, '-');
    text << rule << "\n";
    for (const VersionLine& l : lines) {
        for (const VersionPathEntry& e : l)
            text << "(" << e.from << "," << e.to << ")";
        text << "\n";
    }
    text << "line list=" << lines.size() << "\n" << rule << "\n";
    NetService::log_line(text.str(), 2);
    return true;
}

bool select_shortest_line(const std::vector<VersionLine>& lines, std::int32_t f, std::int32_t t,
                          VersionLine& out)
{
    out.clear();
    if (lines.empty())
        return false;
    std::size_t best = 999999;
    const VersionLine* chosen = nullptr;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->empty())
            continue;
        if (it->front().from <= f && it->back().to == t && it->size() < best) {
            best = it->size();
            chosen = &*it;
        }
    }
    if (!chosen)
        return false;
    out = *chosen;
    return true;
}

bool find_version_path(const std::vector<VersionPathEntry>& entries, std::int32_t current,
                       std::int32_t target, std::vector<std::uint64_t>& ids, std::int32_t& from,
                       std::int32_t& to)
{
    from = 0;
    to = 0;
    ids.clear();
    if (entries.empty())
        return false;
    std::set<std::int32_t> froms;
    std::set<std::int32_t> tos;
    for (const VersionPathEntry& e : entries) {
        froms.insert(e.from);
        tos.insert(e.to);
    }
    // Only the largest from version not above the current one can start a
    // line (a line that starts lower qualifies for it too); versions below 1
    // are never a start.
    auto f_it = froms.upper_bound(current);
    if (f_it == froms.begin())
        return false;
    const std::int32_t f = *std::prev(f_it);
    if (f < 1)
        return false;

    std::vector<std::int32_t> targets;
    for (auto it = tos.lower_bound(target); it != tos.end(); ++it)
        targets.push_back(*it);
    if (target > current) {
        // Nearest lower version above the current one, only when nothing
        // at or beyond the target is reachable.
        for (auto it = tos.upper_bound(target); it != tos.begin();) {
            --it;
            if (*it <= current)
                break;
            if (*it < target)
                targets.push_back(*it);
        }
    }
    // Which versions can be reached at all, so only one target is searched.
    const std::set<std::int32_t> ends =
        chain_search(entries, std::numeric_limits<std::int32_t>::max()).reachable_ends(f);
    VersionLine line;
    for (std::int32_t t : targets) {
        if (!ends.count(t))
            continue;
        chain_search search(entries, t);
        if (!search.best(f, line))
            continue;
        from = f;
        to = t;
        std::ostringstream text;
        text << "output result :";
        for (const VersionPathEntry& e : line) {
            ids.push_back(e.taskid);
            text << "(" << e.from << "," << e.to << "," << e.taskid << ") ";
        }
        text << "\n";
        NetService::log_line(text.str(), 2);
        return true;
    }
    return false;
}

} // namespace kx2dll
