// Update-packet chains. The full line list grows exponentially with branch
// points, so find_version_path searches the same lines without listing
// them: a line is a chain in which each packet may follow the one before it
// and starts after the end of the packet two places back (the line builder
// extends a line only at the first packet the newcomer may follow). The
// search is iterative and takes each packet once per pass, so a chain of
// any length cannot exhaust the stack and a dense list stays quick.
#include "service/version_path.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <functional>
#include <queue>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "service/net_service.h"

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

// Smallest value over a range of positions, positions set one at a time
// (bottom-up segment tree: no recursion, O(log n) per operation).
class range_min {
public:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    explicit range_min(std::size_t n) : m_size(n), m_min(2 * n, none) {}

    // Values only ever go down (each position is set once), so the climb
    // stops at the first node that holds as little already.
    void set(std::size_t at, std::size_t value)
    {
        for (std::size_t i = at + m_size; i > 0 && value < m_min[i]; i /= 2)
            m_min[i] = value;
    }

    // Smallest value set in [l, r); `none` when there is none.
    std::size_t min(std::size_t l, std::size_t r) const
    {
        std::size_t best = none;
        for (l += m_size, r += m_size; l < r; l /= 2, r /= 2) {
            if (l & 1)
                best = std::min(best, m_min[l++]);
            if (r & 1)
                best = std::min(best, m_min[--r]);
        }
        return best;
    }

private:
    std::size_t m_size;
    std::vector<std::size_t> m_min;
};

// The packets as a graph: x -> e when e may follow x. Any chain of packets
// that may follow one another can be cut down to a line with the same ends
// (when e starts before the end of the packet two places back, that packet
// may be followed by e directly), so a shortest chain is a line and the
// lines reach exactly the versions the chains reach. Each pass visits every
// packet once, in version order, with no recursion.
class chain_search {
public:
    explicit chain_search(const std::vector<VersionPathEntry>& entries)
    {
        // One packet per distinct step (the first in input order stands for
        // its duplicates), sorted by (from, to).
        struct step {
            std::int32_t from, to;
            std::size_t index;
        };
        std::vector<step> steps(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i)
            steps[i] = {entries[i].from, entries[i].to, i};
        auto by_steps = [](const step& a, const step& b) {
            return std::tie(a.from, a.to, a.index) < std::tie(b.from, b.to, b.index);
        };
        // Task lists usually come in version order already.
        if (!std::is_sorted(steps.begin(), steps.end(), by_steps))
            std::sort(steps.begin(), steps.end(), by_steps);
        for (const step& st : steps) {
            if (!m_from.empty() && m_from.back() == st.from && m_to.back() == st.to)
                continue;
            m_from.push_back(st.from);
            m_to.push_back(st.to);
            m_index.push_back(st.index);
        }
        const std::size_t n = m_from.size();
        m_by_to.resize(n);
        for (std::size_t k = 0; k < n; ++k)
            m_by_to[k] = k;
        auto by_to = [&](std::size_t a, std::size_t b) { return m_to[a] != m_to[b] ? m_to[a] < m_to[b] : a < b; };
        if (!std::is_sorted(m_by_to.begin(), m_by_to.end(), by_to))
            std::sort(m_by_to.begin(), m_by_to.end(), by_to);
        // Followers of k: the positions whose from lies in (from, to]. Both
        // bounds by merging the sorted orders, no search per packet.
        m_follow_begin.resize(n);
        for (std::size_t k = n; k-- > 0;)
            m_follow_begin[k] = (k + 1 < n && m_from[k + 1] == m_from[k]) ? m_follow_begin[k + 1] : k + 1;
        m_follow_end.resize(n);
        std::size_t e = 0;
        for (std::size_t k : m_by_to) {
            while (e < n && m_from[e] <= m_to[k])
                ++e;
            m_follow_end[k] = std::max(e, m_follow_begin[k]);
        }
    }

    // Every version some line starting at or below `f` ends at, ascending.
    // By ascending from: a packet is reached when it starts at or below `f`
    // or a reached packet that starts lower ends in [its from, its to).
    std::vector<std::int32_t> reachable_ends(std::int32_t f) const
    {
        // Ends of the packets reached so far that the coming packets (whose
        // from only grows) may still follow, smallest first.
        std::priority_queue<std::int32_t, std::vector<std::int32_t>, std::greater<std::int32_t>> open;
        std::vector<std::int32_t> ends;
        std::vector<std::int32_t> group;
        for (std::size_t k = 0; k < m_from.size();) {
            // Packets of one from version cannot follow one another: decide
            // them all before recording any.
            const std::int32_t from = m_from[k];
            while (!open.empty() && open.top() < from)
                open.pop();
            group.clear();
            for (; k < m_from.size() && m_from[k] == from; ++k) {
                if (from <= f || (!open.empty() && open.top() < m_to[k]))
                    group.push_back(m_to[k]);
            }
            for (std::int32_t to : group) {
                ends.push_back(to);
                open.push(to);
            }
        }
        if (!std::is_sorted(ends.begin(), ends.end()))
            std::sort(ends.begin(), ends.end());
        ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
        return ends;
    }

    // The shortest line whose first from is at most `f` and whose last to
    // is `t`; among equally short ones the one that sorts last.
    bool best(std::int32_t f, std::int32_t t, const std::vector<VersionPathEntry>& entries, VersionLine& out) const
    {
        out.clear();
        const std::vector<std::size_t> left = remaining(t);
        std::size_t first = range_min::none;
        for (std::size_t k = m_from.size(); k-- > 0;) {
            if (m_from[k] <= f && left[k] != range_min::none && (first == range_min::none || left[k] < left[first]))
                first = k;
        }
        if (first == range_min::none)
            return false;
        // At each step the largest next packet that keeps the line shortest.
        // A shortest line never starts a packet before the end of the one
        // two places back, so these scans cover each packet at most twice.
        std::size_t cur = first;
        out.push_back(entries[m_index[cur]]);
        while (left[cur] > 0) {
            const auto range = followers(cur);
            std::size_t next = range_min::none;
            for (std::size_t k = range.second; k-- > range.first;) {
                if (m_to[k] > m_to[cur] && left[k] == left[cur] - 1) {
                    next = k;
                    break;
                }
            }
            if (next == range_min::none)
                return false;   // cannot happen: remaining() found this path
            cur = next;
            out.push_back(entries[m_index[cur]]);
        }
        return true;
    }

private:
    std::pair<std::size_t, std::size_t> followers(std::size_t cur) const
    {
        return {m_follow_begin[cur], m_follow_end[cur]};
    }

    // Per position: the fewest packets still needed after it to end exactly
    // at `t` (`none` when impossible). By descending to, so every packet
    // that may follow one (it ends later) is solved before it.
    std::vector<std::size_t> remaining(std::int32_t t) const
    {
        std::vector<std::size_t> left(m_from.size(), range_min::none);
        range_min solved(m_from.size());
        for (std::size_t i = m_by_to.size(); i > 0;) {
            const std::int32_t to = m_to[m_by_to[i - 1]];
            std::size_t j = i;
            while (j > 0 && m_to[m_by_to[j - 1]] == to)
                --j;
            if (to <= t) {
                // Packets that end alike cannot follow one another: solve
                // them all before recording any.
                for (std::size_t g = j; g < i; ++g) {
                    const std::size_t k = m_by_to[g];
                    if (to == t) {
                        left[k] = 0;
                    } else {
                        const auto range = followers(k);
                        const std::size_t after = solved.min(range.first, range.second);
                        if (after != range_min::none)
                            left[k] = after + 1;
                    }
                }
                for (std::size_t g = j; g < i; ++g) {
                    if (left[m_by_to[g]] != range_min::none)
                        solved.set(m_by_to[g], left[m_by_to[g]]);
                }
            }
            i = j;
        }
        return left;
    }

    std::vector<std::int32_t> m_from;   // per distinct step, by (from, to)
    std::vector<std::int32_t> m_to;
    std::vector<std::size_t> m_index;          // its first entry
    std::vector<std::size_t> m_by_to;          // positions by to
    std::vector<std::size_t> m_follow_begin;   // per position: its followers, a range of positions
    std::vector<std::size_t> m_follow_end;
};

}   // namespace

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
    NetService::LogLine(text.str(), 2);
    return true;
}

bool select_shortest_line(const std::vector<VersionLine>& lines, std::int32_t f, std::int32_t t, VersionLine& out)
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

bool find_version_path(const std::vector<VersionPathEntry>& entries, std::int32_t current, std::int32_t target,
                       std::vector<std::uint64_t>& ids, std::int32_t& from, std::int32_t& to)
{
    from = 0;
    to = 0;
    ids.clear();
    if (entries.empty())
        return false;
    // Only the largest from version not above the current one can start a
    // line (a line that starts lower qualifies for it too); versions below 1
    // are never a start.
    bool any_start = false;
    std::int32_t f = 0;
    for (const VersionPathEntry& e : entries) {
        if (e.from <= current && (!any_start || e.from > f)) {
            f = e.from;
            any_start = true;
        }
    }
    if (!any_start || f < 1)
        return false;

    // The target itself when a line reaches it, else the nearest higher
    // version reached, else (moving up) the nearest lower one above the
    // current version.
    const chain_search search(entries);
    const std::vector<std::int32_t> ends = search.reachable_ends(f);
    auto at = std::lower_bound(ends.begin(), ends.end(), target);
    std::int32_t t = 0;
    if (at != ends.end())
        t = *at;
    else if (target > current && !ends.empty() && ends.back() > current)
        t = ends.back();
    else
        return false;
    VersionLine line;
    if (!search.best(f, t, entries, line))
        return false;
    from = f;
    to = t;
    // Built in place: a line may hold many thousands of packets.
    std::string text = "output result :";
    text.reserve(text.size() + line.size() * 48 + 1);
    ids.reserve(line.size());
    auto number = [&text](auto value) {
        char digits[24];
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    for (const VersionPathEntry& e : line) {
        ids.push_back(e.taskid);
        text += '(';
        number(e.from);
        text += ',';
        number(e.to);
        text += ',';
        number(e.taskid);
        text += ") ";
    }
    text += "\n";
    NetService::LogLine(text, 2);
    return true;
}

}   // namespace kx2dll
