// Which update packets bring a game from its current version to a target:
// the chains of packets that can follow one another, and the shortest one
// that reaches the nearest reachable version.
#pragma once

#include <cstdint>
#include <vector>

namespace kx2dll {

// One update packet.
struct VersionPathEntry {
    std::uint32_t gameid = 0;
    std::int32_t from = 0;
    std::int32_t to = 0;
    std::uint64_t taskid = 0;
};

using VersionLine = std::vector<VersionPathEntry>;

// True when `e` may follow `x` in a line: x.from < e.from <= x.to < e.to.
bool may_follow(const VersionPathEntry& x, const VersionPathEntry& e);

// The entries whose from version equals `version`, in input order.
void select_entries_from(const std::vector<VersionPathEntry>& entries, std::int32_t version,
                         std::vector<VersionPathEntry>& out);

// True when `a` sorts before `b` (position by position: from, then to;
// then the shorter line first; an empty line first of all).
bool compare_version_lines(const VersionLine& a, const VersionLine& b);

// True when the list holds a line with the same from/to sequence.
bool contains_version_line(const std::vector<VersionLine>& lines, const VersionLine& line);

// Every chain of packets that can follow one another (the full list; it
// grows exponentially with branch points, so only small inputs belong
// here). Always true.
bool search_version_lines(const std::vector<VersionPathEntry>& entries, std::vector<VersionLine>& lines);

// Among `lines`, the shortest whose first from version is at most `f` and
// whose last to version is `t` (ties: the one nearest the end of the list).
bool select_shortest_line(const std::vector<VersionLine>& lines, std::int32_t f, std::int32_t t, VersionLine& out);

// The packets to apply, in order, to go from `current` towards `target`:
// the target exactly when some chain reaches it, else the nearest higher
// version a chain reaches, else the nearest lower one above `current`.
// False (ids empty, from and to 0) when there is none. Bounded in time: it
// does not build the line list, yet chooses the same line.
bool find_version_path(const std::vector<VersionPathEntry>& entries, std::int32_t current, std::int32_t target,
                       std::vector<std::uint64_t>& ids, std::int32_t& from, std::int32_t& to);

}   // namespace kx2dll
