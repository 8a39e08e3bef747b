#include "picker/block_request_map.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    const std::vector<std::uint8_t> peer{1, 1, 1};

    BlockRequestQueue q;
    map.GetRequestBlocksForPeer(peer, q, 2);
    EXPECT_EQ("1:0 1:1 ", Describe(q));   // B (count 1) before A (count 3)

    // Piece 0 becomes half requested by another connection: its remaining
    // blocks now come before the rarer piece 1's.
    Picker pk2({"....", "....", "...."}, {3, 1, 0});
    CBlockRequestMap& map2 = pk2.map;
    BlockRequestQueue other;
    map2.GetRequestBlocksForPeer({1, 0, 0}, other, 2);
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
    Picker pk3({"....", "....", "...."}, {3, 1, 2});
    CBlockRequestMap& map3 = pk3.map;
    BlockRequestQueue first;
    map3.GetRequestBlocksForPeer({1, 0, 0}, first, 2);
    map3.ResetPiece(0);
    BlockRequestQueue between;
    map3.GetRequestBlocksForPeer({0, 1, 0}, between, 1);
    ASSERT_EQ("1:0 ", Describe(between));
    BlockRequestQueue restart;
    map3.GetRequestBlocksForPeer({1, 0, 0}, restart, 1);
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

TEST(BlockRequestMapTest, HttpRunTakesTheLongestUntouchedRunUpToTheBudget)
{
    // 20 pieces of 4 blocks (131072 bytes): budget 4 x 262144 = 8 pieces.
    // Pieces 0-2 are untouched, 3 started, 4-19 untouched: the run 4..19.
    std::vector<std::string> pieces(20, "....");
    pieces[3] = "x...";
    Tables t(pieces);
    CBlockRequestMap map(t.received, t.bitmap, t.lengths);
    BlockRequestQueue q(3);
    map.GetContinuousBlocks(q);
    ASSERT_EQ(32u, q.size());
    EXPECT_EQ(4, q.front().piece);
    EXPECT_EQ(11, q.back().piece);
    EXPECT_EQ(3 * std::int32_t(kBlockSize), q.back().offset);
    for (std::size_t i = 1; i < q.size(); ++i)
        EXPECT_EQ(q[i - 1].piece * 4 + q[i - 1].offset / 32768 + 1, q[i].piece * 4 + q[i].offset / 32768);
    // The next run is what follows; the blocks given are not given again.
    BlockRequestQueue next;
    map.GetContinuousBlocks(next);
    EXPECT_EQ(12, next.front().piece);
    EXPECT_EQ(19, next.back().piece);
    // Ties: the first run found wins (0..2 before nothing else untouched).
    BlockRequestQueue tie;
    map.GetContinuousBlocks(tie);
    EXPECT_EQ(0, tie.front().piece);
    EXPECT_EQ(2, tie.back().piece);
}

TEST(BlockRequestMapTest, HttpRunWhenEveryPieceIsStarted)
{
    Tables t({"xx", "x..x.", ".x..", "x*"}, 1000);
    t.received[3] = {1, 1};
    CBlockRequestMap map(t.received, t.bitmap, t.lengths);
    BlockRequestQueue q;
    map.GetContinuousBlocks(q);
    EXPECT_EQ("1:1 1:2 ", Describe(q));
    map.GetContinuousBlocks(q);
    EXPECT_EQ("1:4 ", Describe(q));
    EXPECT_EQ(1000, q.front().length);   // the last block holds the rest of the piece
    map.GetContinuousBlocks(q);
    EXPECT_EQ("2:0 ", Describe(q));
    map.GetContinuousBlocks(q);
    EXPECT_EQ("2:2 2:3 ", Describe(q));
    map.GetContinuousBlocks(q);
    EXPECT_TRUE(q.empty());
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
    std::multiset<std::pair<int, int>> handed;
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
    for (const auto& b : handed)
        EXPECT_EQ(1u, handed.count(b));
}

}   // namespace
