#include "service/version_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>
#include <set>
#include <string>

namespace {

using kx2dll::VersionLine;
using kx2dll::VersionPathEntry;

// Packets from "from-to:id" texts.
std::vector<VersionPathEntry> packets(const std::vector<std::string>& steps)
{
    std::vector<VersionPathEntry> out;
    for (const std::string& s : steps) {
        VersionPathEntry e;
        e.gameid = 7;
        e.from = std::stoi(s.substr(0, s.find('-')));
        e.to = std::stoi(s.substr(s.find('-') + 1));
        e.taskid = std::stoull(s.substr(s.find(':') + 1));
        out.push_back(e);
    }
    return out;
}

TEST(VersionPath, ChoosesTheNearestTargetAndTheShortestLine)
{
    struct row {
        std::vector<std::string> steps;
        int current, target;
        bool found;
        std::vector<std::uint64_t> ids;
        int from, to;
    };
    const std::vector<row> rows = {
        {{"1-2:10"}, 1, 2, true, {10}, 1, 2},
        {{"1-2:10", "2-3:20"}, 1, 3, true, {10, 20}, 1, 3},
        {{"1-2:10", "1-3:13", "2-3:20"}, 1, 3, true, {13}, 1, 3},   // one packet beats two
        {{"1-2:10", "2-3:20"}, 1, 2, true, {10}, 1, 2},             // exact target first
        {{"1-2:10", "2-4:24"}, 1, 3, true, {10, 24}, 1, 4},         // nearest higher
        {{"1-2:10"}, 1, 5, true, {10}, 1, 2},                       // then nearest lower
        {{"3-6:36"}, 5, 6, true, {36}, 3, 6},                       // largest start not above 5
        {{}, 1, 2, false, {}, 0, 0},
        {{"1-2:10"}, 0, 2, false, {}, 0, 0},   // no start below 1
        {{"1-2:10"}, -3, 2, false, {}, 0, 0},
        {{"2-3:20"}, 1, 3, false, {}, 0, 0},                            // nothing starts at or below 1
        {{"1-3:13", "2-4:24", "3-5:35"}, 1, 5, true, {13, 35}, 1, 5},   // 2-4 may not follow 1-3 before 3-5
    };
    for (const row& r : rows) {
        std::vector<std::uint64_t> ids{99};
        std::int32_t from = -1;
        std::int32_t to = -1;
        EXPECT_EQ(kx2dll::find_version_path(packets(r.steps), r.current, r.target, ids, from, to), r.found)
            << r.steps.size() << " packets, " << r.current << " -> " << r.target;
        EXPECT_EQ(ids, r.ids) << r.current << " -> " << r.target;
        EXPECT_EQ(from, r.from);
        EXPECT_EQ(to, r.to);
    }
}

TEST(VersionPath, LinesAreOrderedAndCompared)
{
    const VersionLine a = packets({"1-2:1", "2-3:2"});
    const VersionLine b = packets({"1-2:1", "2-4:2"});
    const VersionLine c = packets({"1-2:1"});
    EXPECT_TRUE(kx2dll::compare_version_lines(a, b));
    EXPECT_FALSE(kx2dll::compare_version_lines(b, a));
    EXPECT_TRUE(kx2dll::compare_version_lines(c, a));    // shorter first when equal so far
    EXPECT_TRUE(kx2dll::compare_version_lines({}, c));   // empty first of all
    EXPECT_FALSE(kx2dll::compare_version_lines(c, {}));
    // Same steps, other task ids: already there.
    EXPECT_TRUE(kx2dll::contains_version_line({a}, packets({"1-2:7", "2-3:8"})));
    EXPECT_FALSE(kx2dll::contains_version_line({a}, b));
    std::vector<VersionPathEntry> picked;
    kx2dll::select_entries_from(packets({"1-2:1", "2-3:2", "1-4:3"}), 1, picked);
    ASSERT_EQ(picked.size(), 2u);
    EXPECT_EQ(picked[1].taskid, 3u);
}

TEST(VersionPath, ListedLinesFollowTheFirstPositionRule)
{
    std::vector<VersionLine> lines;
    ASSERT_TRUE(kx2dll::search_version_lines(packets({"1-2:1", "2-3:2", "1-3:3", "3-4:4"}), lines));
    std::set<std::string> shapes;
    for (const VersionLine& l : lines) {
        std::string s;
        for (const VersionPathEntry& e : l)
            s += "(" + std::to_string(e.from) + "," + std::to_string(e.to) + ")";
        shapes.insert(s);
    }
    EXPECT_TRUE(shapes.count("(1,2)(2,3)(3,4)"));
    EXPECT_TRUE(shapes.count("(1,3)(3,4)"));
    EXPECT_TRUE(shapes.count("(3,4)"));
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_FALSE(kx2dll::compare_version_lines(lines[i], lines[i - 1]));
    VersionLine best;
    ASSERT_TRUE(kx2dll::select_shortest_line(lines, 1, 4, best));
    EXPECT_EQ(best.size(), 2u);
    EXPECT_FALSE(kx2dll::select_shortest_line(lines, 1, 9, best));
    EXPECT_TRUE(best.empty());
}

// Processor time of the calling thread.
std::chrono::nanoseconds thread_time()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The search over the full line list, version by version.
bool reference_path(const std::vector<VersionPathEntry>& entries, int a, int b, VersionLine& line, int& from, int& to)
{
    std::vector<VersionLine> lines;
    kx2dll::search_version_lines(entries, lines);
    std::set<int> froms;
    std::set<int> tos;
    for (const VersionPathEntry& e : entries) {
        froms.insert(e.from);
        tos.insert(e.to);
    }
    auto try_target = [&](int t) {
        if (!tos.count(t))
            return false;
        for (int f = a; f >= 1; --f) {
            if (froms.count(f) && kx2dll::select_shortest_line(lines, f, t, line)) {
                from = f;
                to = t;
                return true;
            }
        }
        return false;
    };
    for (int t = b; t <= *tos.rbegin(); ++t) {
        if (try_target(t))
            return true;
    }
    for (int t = b; b > a && t > a; --t) {
        if (try_target(t))
            return true;
    }
    return false;
}

// The bounded search picks the line the full list would give.
TEST(VersionPath, MatchesTheFullLineListOnRandomPackets)
{
    std::mt19937 random(12345);
    int found_count = 0;
    for (int round = 0; round < 600; ++round) {
        // Half the rounds with more and longer packets over more versions.
        const bool wide = round >= 300;
        std::vector<VersionPathEntry> entries;
        const int n = 1 + static_cast<int>(random() % (wide ? 14 : 9));
        for (int i = 0; i < n; ++i) {
            VersionPathEntry e;
            e.from = wide ? -1 + static_cast<int>(random() % 11) : 1 + static_cast<int>(random() % 6);
            // Wide rounds also hold versions below 1 and packets that go
            // nowhere or back.
            e.to = wide ? e.from - 1 + static_cast<int>(random() % 7) : e.from + 1 + static_cast<int>(random() % 3);
            e.taskid = static_cast<std::uint64_t>(100 + i);
            entries.push_back(e);
        }
        const int current = 1 + static_cast<int>(random() % 5);
        for (int target = 1; target <= 15; ++target) {
            std::vector<std::uint64_t> ids;
            std::int32_t from = 0;
            std::int32_t to = 0;
            const bool found = kx2dll::find_version_path(entries, current, target, ids, from, to);
            VersionLine expected;
            int ref_from = 0;
            int ref_to = 0;
            ASSERT_EQ(found, reference_path(entries, current, target, expected, ref_from, ref_to))
                << "round " << round << " target " << target;
            if (!found)
                continue;
            ++found_count;
            EXPECT_EQ(from, ref_from);
            EXPECT_EQ(to, ref_to);
            ASSERT_EQ(ids.size(), expected.size()) << "round " << round;
            for (std::size_t i = 0; i < ids.size(); ++i) {
                // Equal steps may differ in task id (the list order among
                // them is not defined); compare the steps.
                const VersionPathEntry& got = entries.at(ids[i] - 100);
                EXPECT_EQ(got.from, expected[i].from) << "round " << round << " target " << target;
                EXPECT_EQ(got.to, expected[i].to) << "round " << round << " target " << target;
            }
        }
    }
    EXPECT_GT(found_count, 300);
}

TEST(VersionPath, LongChainsAndDenseListsAnswerQuickly)
{
    std::vector<VersionPathEntry> entries;
    std::uint64_t id = 1;
    for (int v = 1; v < 40; ++v) {
        entries.push_back({7, v, v + 1, id++});
        entries.push_back({7, v, v + 2, id++});
        entries.push_back({7, v, v + 3, id++});
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::uint64_t> ids;
    std::int32_t from = 0;
    std::int32_t to = 0;
    ASSERT_TRUE(kx2dll::find_version_path(entries, 1, 40, ids, from, to));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_EQ(to, 40);
    EXPECT_EQ(ids.size(), 13u);   // 39 versions in steps of at most 3

    // Thousands of versions stay bounded too.
    entries.clear();
    for (int v = 1; v < 3000; ++v) {
        for (int step = 1; step <= 3; ++step)
            entries.push_back({7, v, v + step, id++});
    }
    const auto big = std::chrono::steady_clock::now();
    ASSERT_TRUE(kx2dll::find_version_path(entries, 1, 3000, ids, from, to));
    EXPECT_LT(std::chrono::steady_clock::now() - big, std::chrono::seconds(3));
    EXPECT_EQ(ids.size(), 1000u);
    // Beyond every packet: the nearest lower version reached, still bounded.
    const auto beyond = std::chrono::steady_clock::now();
    ASSERT_TRUE(kx2dll::find_version_path(entries, 1, 9000, ids, from, to));
    EXPECT_LT(std::chrono::steady_clock::now() - beyond, std::chrono::seconds(3));
    EXPECT_EQ(to, 3002);

    // A chain of 100,000 packets (it once overflowed the stack) and a dense
    // list of packets from every version to every later one (it once took
    // minutes). Each is timed against the same shape four times smaller:
    // a search linear in the packets takes about four times as long, a
    // quadratic one sixteen. A ratio holds in any build (sanitizers slow
    // both sizes alike) and, on this thread's processor time and the least
    // of three runs, on a loaded machine too.
    struct Case {
        const char* what;
        int versions, small_versions;
        bool dense;
        std::int32_t current, target, to;
        std::size_t packets;
    } cases[] = {
        {"long chain", 100000, 25000, false, 1, 100001, 100001, 100000},
        {"long chain, beyond its end", 100000, 25000, false, 1, 200000, 100001, 100000},
        {"dense list", 150, 75, true, 1, 150, 150, 1},
        {"dense list, from the middle", 150, 75, true, 70, 80, 80, 1},
    };
    const auto search_time = [&](const Case& c, int versions) {
        entries.clear();
        for (int v = 1; v <= versions; ++v) {
            for (int w = v + 1; w <= (c.dense ? versions : v + 1); ++w)
                entries.push_back({7, v, w, id++});
        }
        auto least = std::chrono::nanoseconds::max();
        for (int run = 0; run < 3; ++run) {
            const auto begin = thread_time();
            EXPECT_TRUE(kx2dll::find_version_path(entries, c.current, c.target, ids, from, to)) << c.what;
            least = std::min(least, thread_time() - begin);
        }
        return least;
    };
    for (const Case& c : cases) {
        const auto small = search_time(c, c.small_versions);
        const auto took = search_time(c, c.versions);
        EXPECT_EQ(to, c.to) << c.what;
        EXPECT_EQ(ids.size(), c.packets) << c.what;
        // Four times the packets; a floor of 1 ms keeps timer noise out.
        EXPECT_LT(took, std::max(small, std::chrono::nanoseconds(std::chrono::milliseconds(1))) * 8)
            << c.what << ": " << small.count() / 1000 << " us for a quarter of the packets, " << took.count() / 1000
            << " us for all";
    }
}

}   // namespace
