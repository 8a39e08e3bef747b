#include "picker/block_request_map.h"
#include "support/shifted_tick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

// The piece store's tables, built from a compact description: one string
// per piece, a character per block ('.' missing, 'x' received), and '*'
// after the blocks for a verified piece.
struct Tables {
    std::vector<std::vector<std::uint8_t>> received;
    std::vector<std::uint8_t> bitmap;
    std::vector<std::uint32_t> lengths;

    explicit Tables(const std::vector<std::string>& pieces, std::uint32_t last_block = kBlockSize)
    {
        for (const std::string& p : pieces) {
            std::vector<std::uint8_t> blocks;
            bool verified = false;
            for (char c : p) {
                if (c == '*')
                    verified = true;
                else
                    blocks.push_back(c == 'x' ? 1 : 0);
            }
            received.push_back(blocks);
            bitmap.push_back(verified ? 1 : 0);
            lengths.push_back(std::uint32_t(blocks.size() - 1) * kBlockSize + last_block);
        }
    }
};

std::string Describe(const BlockRequestQueue& q)
{
    std::string out;
    for (const BlockRequest& r : q)
        out += std::to_string(r.piece) + ":" + std::to_string(r.offset / std::int32_t(kBlockSize)) + " ";
    return out;
}

// The blocks arrive: storage takes them first, then the connection marks
// them received.
void Receive(Tables& t, CBlockRequestMap& map, const BlockRequestQueue& q)
{
    for (const BlockRequest& r : q) {
        t.received[std::size_t(r.piece)][std::size_t(r.offset) / kBlockSize] = 1;
        map.MarkReceived(r.piece, r.offset);
    }
}

void Announce(CBlockRequestMap& map, const std::vector<int>& counts)
{
    for (std::size_t p = 0; p < counts.size(); ++p)
        for (int i = 0; i < counts[p]; ++i)
            map.IncPieceAvailability(std::int32_t(p));
}

// A picker over tables built from their description, with `counts[p]`
// connected peers announcing piece p.
struct Picker {
    Tables t;
    CBlockRequestMap map;

    Picker(const std::vector<std::string>& pieces, const std::vector<int>& counts, std::uint32_t last = kBlockSize)
        : t(pieces, last), map(t.received, t.bitmap, t.lengths)
    {
        Announce(map, counts);
    }
};

TEST(BlockRequestMapTest, RarestFirstAndStartedPiecesFirst)
{
    Picker pk({"....", "....", "...."}, {3, 1, 0});
    CBlockRequestMap& map = pk.map;
    // The peer lacks the last piece, which nobody holds: it is no seed.
    const std::vector<std::uint8_t> peer{1, 1, 1, 0};

    BlockRequestQueue q;
    map.GetRequestBlocksForPeer(peer, q, 2);
    EXPECT_EQ("1:0 1:1 ", Describe(q));   // B (count 1) before A (count 3)

    // Piece 0 becomes half requested by another connection: its remaining
    // blocks now come before the rarer piece 1's.
    Picker pk2({"....", "....", "....", "...."}, {3, 1, 0, 0});
    CBlockRequestMap& map2 = pk2.map;
    BlockRequestQueue other;
    map2.GetRequestBlocksForPeer({1, 0, 0, 0}, other, 2);
    ASSERT_EQ("0:0 0:1 ", Describe(other));
    BlockRequestQueue mine;
    map2.GetRequestBlocksForPeer(peer, mine, 5);
    EXPECT_EQ("0:2 0:3 1:0 1:1 1:2 ", Describe(mine));
    // Piece 2 is held by no connected peer and is never offered.
    BlockRequestQueue rest;
    map2.GetRequestBlocksForPeer(peer, rest, 100);
    EXPECT_EQ("1:3 ", Describe(rest));

    // A piece reset to untouched and picked over meanwhile counts as
    // started again once another block of it is taken.
    Picker pk3({"....", "....", "....", "...."}, {3, 1, 2, 0});
    CBlockRequestMap& map3 = pk3.map;
    BlockRequestQueue first;
    map3.GetRequestBlocksForPeer({1, 0, 0, 0}, first, 2);
    map3.ResetPiece(0);
    BlockRequestQueue between;
    map3.GetRequestBlocksForPeer({0, 1, 0, 0}, between, 1);
    ASSERT_EQ("1:0 ", Describe(between));
    BlockRequestQueue restart;
    map3.GetRequestBlocksForPeer({1, 0, 0, 0}, restart, 1);
    ASSERT_EQ("0:0 ", Describe(restart));
    BlockRequestQueue all;
    map3.GetRequestBlocksForPeer(peer, all, 7);
    EXPECT_EQ("1:1 1:2 1:3 0:1 0:2 0:3 2:0 ", Describe(all));

    // The rarest-first order follows availability as it moves, and a piece
    // keeps its place among equals after moving away and back, or after
    // being verified and failed again. Pieces 0..11 are held by two peers;
    // each row changes that, then opens every piece one by one.
    struct Row {
        std::vector<int> extra;   // per piece: + a peer more, - a peer less, 0 no change
        bool verify_all_first;    // every piece verified for one pick, then failed
        std::vector<int> left_out, moved_first, moved_last;
    };
    const Row rows[] = {
        {std::vector<int>(12, 0), false, {}, {}, {}},
        {{+1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, {}, {}, {0}},
        {{0, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0}, false, {}, {3}, {}},
        {{0, -2, 0, 0, 0, +2, 0, 0, 0, 0, 0, 0}, false, {1}, {}, {5}},
        {std::vector<int>(12, 0), true, {}, {}, {}},
    };
    auto opened = [](const Row& row, bool churn) {
        Tables t(std::vector<std::string>(12, "."));
        CBlockRequestMap m(t.received, t.bitmap, t.lengths, 11);
        Announce(m, std::vector<int>(12, 2));
        for (std::size_t p = 0; churn && p < 12; ++p) {
            m.IncPieceAvailability(std::int32_t(p));   // away and back: no change
            m.DecPieceAvailability(std::int32_t(p));
            for (int i = 0; i < row.extra[p]; ++i)
                m.IncPieceAvailability(std::int32_t(p));
            for (int i = 0; i > row.extra[p]; --i)
                m.DecPieceAvailability(std::int32_t(p));
        }
        if (churn && row.verify_all_first) {
            std::fill(t.bitmap.begin(), t.bitmap.end(), std::uint8_t(1));
            BlockRequestQueue none;
            m.GetRequestBlocksForPeer(std::vector<std::uint8_t>(12, 1), none, 1);
            EXPECT_TRUE(none.empty());
            std::fill(t.bitmap.begin(), t.bitmap.end(), std::uint8_t(0));
        }
        std::vector<int> order;
        for (int i = 0; i < 12; ++i) {
            BlockRequestQueue one;
            m.GetRequestBlocksForPeer(std::vector<std::uint8_t>(12, 1), one, 1);
            if (!one.empty())
                order.push_back(one.front().piece);
        }
        return order;
    };
    for (const Row& row : rows) {
        std::vector<int> expected;
        for (const int p : opened(row, false)) {
            const auto in = [p](const std::vector<int>& v) { return std::count(v.begin(), v.end(), p) != 0; };
            if (!in(row.left_out) && !in(row.moved_first) && !in(row.moved_last))
                expected.push_back(p);
        }
        expected.insert(expected.begin(), row.moved_first.begin(), row.moved_first.end());
        expected.insert(expected.end(), row.moved_last.begin(), row.moved_last.end());
        EXPECT_EQ(expected, opened(row, true)) << "row " << (&row - rows);
    }
}

// Co-downloaders of one task that all walked equally rare pieces in index
// order would hold the same pieces and have nothing to trade.
TEST(BlockRequestMapTest, EquallyRarePiecesInAnOrderOfTheirOwn)
{
    const std::vector<std::string> pieces(64, ".");
    const std::vector<std::uint8_t> peer(64, 1);
    Tables t(pieces);
    auto order = [&](std::uint32_t seed) {
        CBlockRequestMap map(t.received, t.bitmap, t.lengths, seed);
        Announce(map, std::vector<int>(64, 1));
        BlockRequestQueue q;
        map.GetRequestBlocksForPeer(peer, q, 8);
        return Describe(q);
    };
    std::set<std::string> orders;
    for (std::uint32_t seed = 1; seed <= 8; ++seed)
        orders.insert(order(seed));
    EXPECT_EQ(8u, orders.size()) << "each picker its own order";
    EXPECT_EQ(order(5), order(5)) << "one picker keeps its order";
}

TEST(BlockRequestMapTest, OnlyPiecesThePeerHasAndNotVerified)
{
    Picker pk({"xxxx*", "..", "x.", ".."}, {5, 1, 1, 1});
    CBlockRequestMap& map = pk.map;
    BlockRequestQueue q;
    map.GetRequestBlocksForPeer({1, 0, 1, 1}, q, 10);
    // Started piece 2 first, then piece 3; piece 1 is not the peer's.
    EXPECT_EQ("2:1 3:0 3:1 ", Describe(q));
    // A queue already at its target gets nothing more.
    BlockRequestQueue full(3);
    map.GetRequestBlocksForPeer({1, 1, 1, 1}, full, 3);
    EXPECT_EQ(3u, full.size());
    // A bitfield shorter than the piece count counts as not having the rest.
    BlockRequestQueue shorter;
    map.GetRequestBlocksForPeer({0, 1}, shorter, 10);
    EXPECT_EQ("1:0 1:1 ", Describe(shorter));
}

TEST(BlockRequestMapTest, BlockStateTransitions)
{
    Picker pk({"...", "..."}, {1, 1});
    CBlockRequestMap& map = pk.map;
    BlockRequestQueue q;
    map.GetRequestBlocksForPeer({1, 0}, q, 2);
    ASSERT_EQ("0:0 0:1 ", Describe(q));
    const std::int32_t b = std::int32_t(kBlockSize);
    struct Step {
        const char* what;
        void (CBlockRequestMap::*op)(std::int32_t, std::int32_t);
        std::int32_t piece, offset;
        std::int32_t check_piece, check_block;
        std::uint8_t state;
    } steps[] = {
        {"cancel a requested block", &CBlockRequestMap::CancelRequest, 0, 0, 0, 0, CBlockRequestMap::kFree},
        {"cancel a free block", &CBlockRequestMap::CancelRequest, 0, 0, 0, 0, CBlockRequestMap::kFree},
        {"receive a free block", &CBlockRequestMap::MarkReceived, 0, 2 * b, 0, 2, CBlockRequestMap::kFree},
        {"receive a requested block", &CBlockRequestMap::MarkReceived, 0, b, 0, 1, CBlockRequestMap::kReceived},
        {"cancel a received block", &CBlockRequestMap::CancelRequest, 0, b, 0, 1, CBlockRequestMap::kReceived},
        {"unaligned offset", &CBlockRequestMap::CancelRequest, 0, b + 1, 0, 1, CBlockRequestMap::kReceived},
        {"piece out of range", &CBlockRequestMap::MarkReceived, 7, 0, 0, 1, CBlockRequestMap::kReceived},
        {"negative piece", &CBlockRequestMap::MarkReceived, -1, 0, 0, 1, CBlockRequestMap::kReceived},
        {"block out of range", &CBlockRequestMap::MarkReceived, 0, 3 * b, 0, 1, CBlockRequestMap::kReceived},
    };
    for (const Step& s : steps) {
        (map.*s.op)(s.piece, s.offset);
        EXPECT_EQ(s.state, map.BlockState(s.check_piece, s.check_block)) << s.what;
    }
    map.ResetPiece(0);
    map.ResetPiece(9);
    for (int blk = 0; blk < 3; ++blk)
        EXPECT_EQ(CBlockRequestMap::kFree, map.BlockState(0, blk));
}

// Once no block is free, a peer connection short of work takes copies of
// blocks other connections are still fetching, a few at most; the first
// copy to arrive counts.
TEST(BlockRequestMapTest, EndGameCopiesAFewOfTheOldestRequests)
{
    const auto blocks = [](const std::vector<std::pair<int, int>>& list) {
        BlockRequestQueue q;
        for (const auto& [piece, block] : list)
            q.push_back({piece, block * std::int32_t(kBlockSize), std::int32_t(kBlockSize), nullptr});
        return q;
    };
    struct Case {
        const char* what;
        std::vector<std::string> pieces;   // an HTTP run takes every untouched piece first
        std::vector<std::uint8_t> peer;
        BlockRequestQueue in_flight;
        const char* expect;
    } cases[] = {
        {"a block still free elsewhere", {"..", "x."}, {1, 0}, {}, ""},
        {"the oldest requests first", {"...", "..."}, {1, 1}, {}, "0:0 0:1 0:2 1:0 "},
        {"none it holds, up to the bound", {"...", "..."}, {1, 1}, blocks({{0, 1}}), "0:0 0:2 1:0 "},
        {"only pieces the peer has", {"...", "..."}, {0, 1}, {}, "1:0 1:1 1:2 "},
        {"holding enough already", {"...", "..."}, {1, 1}, blocks({{0, 0}, {0, 1}, {0, 2}, {1, 0}}), ""},
    };
    for (const Case& c : cases) {
        Picker pk(c.pieces, std::vector<int>(c.pieces.size(), 1));
        BlockRequestQueue http;
        pk.map.GetContinuousBlocks(http);
        BlockRequestQueue q;
        EXPECT_TRUE(pk.map.GetRequestBlocksForPeer(c.peer, q, 5, &c.in_flight)) << c.what;
        EXPECT_EQ(c.expect, Describe(q)) << c.what;
    }

    Picker pk({"...", "..."}, {1, 1});
    BlockRequestQueue http, copies;
    pk.map.GetContinuousBlocks(http);
    pk.map.GetRequestBlocksForPeer({1, 1}, copies, 5);
    ASSERT_EQ("0:0 0:1 0:2 1:0 ", Describe(copies));
    // The copy arrives first and counts; the HTTP run's late bytes do not
    // bring the block back, nor does its give-back free it.
    Receive(pk.t, pk.map, blocks({{0, 0}}));
    pk.map.MarkReceived(0, 0);
    pk.map.CancelRequest(0, 0);
    EXPECT_EQ(CBlockRequestMap::kReceived, pk.map.BlockState(0, 0));
    // A block stays requested while either connection still asks for it.
    pk.map.CancelRequest(1, 0);
    EXPECT_EQ(CBlockRequestMap::kRequested, pk.map.BlockState(1, 0));
    pk.map.CancelRequest(1, 0);
    EXPECT_EQ(CBlockRequestMap::kFree, pk.map.BlockState(1, 0));
    BlockRequestQueue after;
    EXPECT_TRUE(pk.map.GetRequestBlocksForPeer({1, 1}, after, 5));
    EXPECT_EQ("1:0 0:1 0:2 1:1 ", Describe(after)) << "the free block first, never the received one";
}

// Everything left is asked of peers: the origin copies each stretch, oldest
// first and once; in a swarm only once the peer's requests have stalled.
TEST(BlockRequestMapTest, TheOriginCopiesWhatPeersHoldUpAtTheEnd)
{
    test_support::shifted_tick_scope ticks;
    for (const bool swarm : {false, true}) {
        Picker pk({"xx..", "...."}, {1, 1});
        if (swarm)
            pk.map.AddPeer(77);
        BlockRequestQueue peer, http;
        pk.map.GetRequestBlocksForPeer({1, 1}, peer, 6);
        ASSERT_EQ("0:2 0:3 1:0 1:1 1:2 1:3 ", Describe(peer));
        if (swarm) {
            pk.map.GetContinuousBlocks(http);
            EXPECT_TRUE(http.empty()) << "a co-downloader still sending";
            test_support::tick_offset() += CBlockRequestMap::kStalledMs;
        }
        pk.map.GetContinuousBlocks(http);
        EXPECT_EQ("0:2 0:3 ", Describe(http)) << swarm;
        Receive(pk.t, pk.map, http);
        pk.map.GetContinuousBlocks(http);
        EXPECT_EQ("1:0 1:1 1:2 1:3 ", Describe(http)) << swarm;
        pk.map.GetContinuousBlocks(http);
        EXPECT_TRUE(http.empty()) << "each block copied once";
    }
}

TEST(BlockRequestMapTest, AFailedPieceIsOfferedAgainInFull)
{
    Picker pk({"...", "..."}, {1, 1});
    Tables& t = pk.t;
    CBlockRequestMap& map = pk.map;
    BlockRequestQueue q;
    map.GetRequestBlocksForPeer({1, 0}, q, 10);
    Receive(t, map, q);
    BlockRequestQueue none;
    map.GetRequestBlocksForPeer({1, 0}, none, 10);
    EXPECT_TRUE(none.empty());
    // The check failed: storage cleared the piece, the connection set
    // resets it here.
    t.received[0].assign(3, 0);
    map.ResetPiece(0);
    BlockRequestQueue again;
    map.GetRequestBlocksForPeer({1, 0}, again, 10);
    EXPECT_EQ("0:0 0:1 0:2 ", Describe(again));
}

TEST(BlockRequestMapTest, BlocksStorageGaveUpAreFreeAgain)
{
    Picker pk({"...", "..."}, {1, 1});
    Tables& t = pk.t;
    CBlockRequestMap& map = pk.map;
    BlockRequestQueue q;
    map.GetRequestBlocksForPeer({1, 1}, q, 6);
    Receive(t, map, q);
    // Storage could not write block 1 of piece 1 and cleared it.
    t.received[1][1] = 0;
    BlockRequestQueue again;
    map.GetRequestBlocksForPeer({1, 1}, again, 6);
    EXPECT_EQ("1:1 ", Describe(again));
    map.CancelRequest(1, std::int32_t(kBlockSize));
    map.DecPieceAvailability(1);   // the peer is gone: only the origin can give it
    BlockRequestQueue http;
    map.GetContinuousBlocks(http);
    EXPECT_EQ("1:1 ", Describe(http));
}

TEST(BlockRequestMapTest, AvailabilityNeverBelowZero)
{
    Tables t({".", "."});
    CBlockRequestMap map(t.received, t.bitmap, t.lengths);
    map.DecPieceAvailability(0);
    EXPECT_EQ(0u, map.Availability(0));
    map.IncPieceAvailability(0);
    map.IncPieceAvailability(0);
    map.IncPieceAvailability(5);
    map.IncPieceAvailability(-1);
    map.DecPieceAvailability(0);
    EXPECT_EQ(1u, map.Availability(0));
    EXPECT_EQ(0u, map.Availability(1));
}

TEST(BlockRequestMapTest, HttpBudgetBounds)
{
    struct Case {
        std::size_t pieces;
        std::uint32_t budget;
    } cases[] = {
        {0, 262144},  {1, 262144},  {4, 262144},   {5, 262144},   {9, 262144},    {10, 524288},
        {14, 524288}, {15, 786432}, {59, 2883584}, {60, 3145728}, {100, 3145728}, {1000000, 3145728},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.budget, CBlockRequestMap::ContinuousBudget(c.pieces)) << c.pieces;
}

// Co-downloaders asking one origin spread over the file, an origin run
// leaves connected peers the pieces they hold, and a seed is asked for
// what no other peer holds rather than for the rest of pieces peers give.
TEST(BlockRequestMapTest, SourcesShareTheWork)
{
    // A run is whole blocks in file order, within the budget.
    const auto check_run = [](const BlockRequestQueue& q, std::uint32_t budget, const char* what) {
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < q.size(); ++i) {
            bytes += std::uint32_t(q[i].length);
            if (i > 0) {
                EXPECT_EQ(q[i - 1].piece * 32 + q[i - 1].offset / 32768 + 1, q[i].piece * 32 + q[i].offset / 32768)
                    << what;
            }
        }
        EXPECT_LE(bytes, budget) << what;
    };
    // 100 pieces of 1 MiB: runs of 3 MiB.
    const std::vector<std::string> file(100, std::string(32, '.'));
    const std::uint32_t budget = CBlockRequestMap::ContinuousBudget(100);
    std::set<int> starts;
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
        Tables t(file);
        CBlockRequestMap map(t.received, t.bitmap, t.lengths, seed);
        BlockRequestQueue q;
        map.GetContinuousBlocks(q);
        ASSERT_EQ(96u, q.size());
        check_run(q, budget, "co-downloader");
        starts.insert(q.front().piece);
        // Alone, every HTTP source gets a run; once a peer connects, a run
        // is one share (1 MiB), two are under way at most and a run done
        // makes room for the next.
        BlockRequestQueue second, third, fourth, none;
        map.GetContinuousBlocks(second);
        EXPECT_EQ(96u, second.size());
        map.AddPeer(77);
        map.GetContinuousBlocks(third);
        EXPECT_TRUE(third.empty()) << Describe(third);
        Receive(t, map, q);
        Receive(t, map, second);
        map.GetContinuousBlocks(third);
        EXPECT_EQ(32u, third.size());
        map.GetContinuousBlocks(fourth);
        EXPECT_EQ(32u, fourth.size());
        map.GetContinuousBlocks(none);
        EXPECT_TRUE(none.empty()) << Describe(none);
    }
    EXPECT_GE(starts.size(), 6u) << "eight co-downloaders ask the origin for the same bytes";

    // Eight co-downloaders connected to each other split the origin's work
    // by their ids: runs taken at once never overlap, none is of a piece a
    // peer holds, and one whose own shares are done helps with another's
    // from the end of its order. Each round every one takes a run; then the
    // runs arrive and their pieces are announced.
    struct Member {
        Tables t;
        CBlockRequestMap map;
        explicit Member(const std::vector<std::string>& pieces) : t(pieces), map(t.received, t.bitmap, t.lengths) {}
    };
    const std::vector<std::string> file64(64, std::string(32, '.'));
    std::vector<std::unique_ptr<Member>> swarm;
    for (std::uint64_t id = 1; id <= 8; ++id) {
        swarm.push_back(std::make_unique<Member>(file64));
        swarm.back()->map.SetSelfId(id * 1000003);
        for (std::uint64_t other = 1; other <= 8; ++other) {
            if (other != id)
                swarm.back()->map.AddPeer(other * 1000003);
        }
    }
    std::vector<int> fetched(64, 0);
    for (int round = 0; round < 64; ++round) {
        std::vector<BlockRequestQueue> runs(swarm.size());
        bool any = false;
        for (std::size_t i = 0; i < swarm.size(); ++i) {
            swarm[i]->map.GetContinuousBlocks(runs[i]);
            EXPECT_LE(runs[i].size(), 32u);
            any = any || !runs[i].empty();
        }
        if (!any)
            break;
        for (std::size_t i = 0; i < swarm.size(); ++i) {
            Receive(swarm[i]->t, swarm[i]->map, runs[i]);
            for (const BlockRequest& r : runs[i]) {
                if (r.offset != 0)
                    continue;
                ++fetched[std::size_t(r.piece)];
                for (std::size_t j = 0; j < swarm.size(); ++j) {
                    if (j != i)
                        swarm[j]->map.IncPieceAvailability(r.piece);
                }
            }
        }
    }
    EXPECT_EQ(std::vector<int>(64, 1), fetched) << "the origin sends each piece once";
    // Until the index servers tell there are no peers, or for a while when
    // the peers they name never connect, runs are kept as few as in a swarm.
    test_support::shifted_tick_scope ticks;
    Tables lone(file);
    CBlockRequestMap expecting(lone.received, lone.bitmap, lone.lengths);
    BlockRequestQueue first;
    // A run starts where the task's random order says: it is shorter only
    // where it meets the end of the file or a block already received.
    const auto runs_to = [&](std::size_t blocks) {
        if (first.size() == blocks)
            return true;
        if (first.empty() || first.size() > blocks)
            return false;
        std::size_t piece = std::size_t(first.back().piece);
        std::size_t block = std::size_t(first.back().offset) / kBlockSize + 1;
        if (block == lone.received[piece].size())
            ++piece, block = 0;
        return piece == lone.received.size() || lone.received[piece][block] != 0;
    };
    for (const bool told : {true, false}) {
        expecting.SetPeersExpected(true);
        expecting.GetContinuousBlocks(first);
        EXPECT_TRUE(runs_to(32)) << Describe(first);
        Receive(lone, expecting, first);
        if (told)
            expecting.SetPeersExpected(false);
        else
            test_support::tick_offset() += CBlockRequestMap::kExpectPeersMs + 1;
        expecting.GetContinuousBlocks(first);
        EXPECT_TRUE(runs_to(96)) << Describe(first);
        Receive(lone, expecting, first);
    }

    // A seed and a co-downloader holding pieces 0-31 of 64: the origin is
    // asked, a share at a time, for what only the seed holds.
    Tables with_seed(file64);
    CBlockRequestMap beside(with_seed.received, with_seed.bitmap, with_seed.lengths);
    beside.SetSelfId(5);
    beside.AddPeer(77);
    beside.AddSeed();
    Announce(beside, std::vector<int>(64, 1));
    Announce(beside, std::vector<int>(32, 1));
    BlockRequestQueue only_seed;
    beside.GetContinuousBlocks(only_seed);
    ASSERT_EQ(32u, only_seed.size());
    EXPECT_GE(only_seed.front().piece, 32);
    EXPECT_FALSE(beside.OthersCanServe(40)) << "a slow seed is not given the origin's work";

    // Pieces 0-49 are held by a connected peer: the origin is asked for
    // 50-99 only, and after them for short runs of the held ones.
    Picker pk(file, [] {
        std::vector<int> counts(100, 0);
        std::fill(counts.begin(), counts.begin() + 50, 1);
        return counts;
    }());
    std::size_t unheld_blocks = 0;
    for (;;) {
        BlockRequestQueue q;
        pk.map.GetContinuousBlocks(q);
        ASSERT_FALSE(q.empty());
        if (q.front().piece < 50) {
            EXPECT_EQ(50u * 32, unheld_blocks) << "every piece no peer holds came first";
            check_run(q, budget / 4, "held");
            break;
        }
        check_run(q, budget, "unheld");
        for (const BlockRequest& r : q)
            EXPECT_GE(r.piece, 50);
        unheld_blocks += q.size();
        Receive(pk.t, pk.map, q);
    }

    // A seed and a peer holding pieces 0-2 of 4: the peer's connection has
    // started one; the seed is asked for piece 3, which only seeds hold,
    // not for the rest of the started one.
    Picker two({"....", "....", "....", "...."}, {2, 2, 2, 1});
    BlockRequestQueue from_peer;
    two.map.GetRequestBlocksForPeer({1, 1, 1, 0}, from_peer, 2);
    ASSERT_EQ(2u, from_peer.size());
    BlockRequestQueue from_seed;
    two.map.GetRequestBlocksForPeer({1, 1, 1, 1}, from_seed, 4);
    EXPECT_EQ("3:0 3:1 3:2 3:3 ", Describe(from_seed));
    // Once every piece is as common, the seed finishes started pieces first.
    BlockRequestQueue more;
    two.map.GetRequestBlocksForPeer({1, 1, 1, 1}, more, 2);
    EXPECT_EQ(from_peer.front().piece, more.front().piece);
    EXPECT_EQ(2 * std::int32_t(kBlockSize), more.front().offset);
}

TEST(BlockRequestMapTest, HttpRunWhenEveryPieceIsStarted)
{
    // Each run is one stretch of free blocks of one started piece; the
    // pieces come in the task's random order, the least held first.
    Tables t({"xx", "x..x.", ".x..", "x*"}, 1000);
    t.received[3] = {1, 1};
    CBlockRequestMap map(t.received, t.bitmap, t.lengths);
    map.IncPieceAvailability(2);
    std::vector<std::string> runs;
    BlockRequestQueue q;
    for (map.GetContinuousBlocks(q); !q.empty(); map.GetContinuousBlocks(q)) {
        runs.push_back(Describe(q));
        if (q.front().piece == 1 && q.front().offset == 4 * std::int32_t(kBlockSize)) {
            EXPECT_EQ(1000, q.front().length);   // the last block holds the rest of the piece
        }
    }
    const std::vector<std::string> expect{"1:1 1:2 ", "1:4 ", "2:0 ", "2:2 2:3 "};
    EXPECT_EQ(expect, runs);
}

TEST(BlockRequestMapTest, DownloadCompleteFollowsTheBitmapLive)
{
    Tables t({"x", "x"});
    CBlockRequestMap map(t.received, t.bitmap, t.lengths);
    EXPECT_FALSE(map.IsDownloadComplete());
    t.bitmap[0] = 1;
    EXPECT_FALSE(map.IsDownloadComplete());
    t.bitmap[1] = 1;
    EXPECT_TRUE(map.IsDownloadComplete());
}

TEST(BlockRequestMapTest, ConcurrentPickersNeverHandOutABlockTwice)
{
    Tables t(std::vector<std::string>(64, "........"));
    CBlockRequestMap map(t.received, t.bitmap, t.lengths);
    std::vector<int> counts(64, 2);
    Announce(map, counts);
    std::mutex lock;
    // Only the origin's end-game copies are handed out again, each once.
    std::multiset<std::pair<int, int>> handed, copies;
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            const std::vector<std::uint8_t> peer(64, 1);
            // Enough in flight that the end game adds no copies.
            const BlockRequestQueue busy(CBlockRequestMap::kEndGameBlocks, BlockRequest{-1, 0, 0, nullptr});
            for (int round = 0; round < 200; ++round) {
                BlockRequestQueue q;
                if (k % 2)
                    map.GetContinuousBlocks(q);
                else
                    map.GetRequestBlocksForPeer(peer, q, 5, &busy);
                std::lock_guard<std::mutex> g(lock);
                for (const BlockRequest& r : q) {
                    if (handed.count({r.piece, r.offset}) != 0) {
                        copies.insert({r.piece, r.offset});
                        continue;
                    }
                    handed.insert({r.piece, r.offset});
                    // Storage takes the block first, as the connections do.
                    __atomic_store_n(&t.received[std::size_t(r.piece)][std::size_t(r.offset) / kBlockSize],
                                     std::uint8_t(1), __ATOMIC_RELAXED);
                    map.MarkReceived(r.piece, r.offset);
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(64u * 8u, handed.size());
    for (const auto& b : copies)
        EXPECT_EQ(1u, copies.count(b));
}

}   // namespace
