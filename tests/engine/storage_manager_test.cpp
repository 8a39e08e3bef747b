#include "engine/storage_manager.h"

#include "engine/bitmap_file.h"
#include "picker/block_request_map.h"
#include "engine/channel_manager.h"
#include "net/io/io_service.h"
#include "net/io/post_function.h"
#include "platform/file_handle.h"
#include "platform/write_at.h"
#include "recording_cmd_event.h"
#include "support/channel_fixture.h"
#include "support/engine_test_env.h"
#include "support/heap_peak.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace {

using test_support::ChannelFixture;
using Tables = std::vector<std::vector<std::uint8_t>>;

// The download manager's side: records every storage event and checks
// that none arrives while the storage lock is held, by asking storage for
// a bitmap from another thread inside each event.
struct RecordingSink : IStorageManagerEvent {
    IStorageManager* storage = nullptr;
    bool probe_lock = false;
    std::mutex lock;
    std::vector<std::uint64_t> ready;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> checks;
    std::uint32_t counter = 0;
    std::vector<std::string> errors;
    int lock_held = 0;
    std::string order;                   // 'c' a stored block, 'k' a piece check, in arrival order
    std::set<std::thread::id> threads;   // that raised checks and counters

    void probe()
    {
        if (!probe_lock || !storage)
            return;
        auto other = std::async(std::launch::async, [this] {
            std::vector<std::uint8_t> b;
            storage->GetBitmap(1, b);
        });
        if (other.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
            ++lock_held;
    }
    void OnChannelStorageReady(std::uint64_t id, const std::vector<std::uint8_t>&, const Tables&,
                               const std::vector<std::uint32_t>&) override
    {
        probe();
        std::lock_guard<std::mutex> g(lock);
        ready.push_back(id);
    }
    void OnPieceChecked(std::uint64_t, std::uint32_t piece, std::uint8_t result) override
    {
        probe();
        std::lock_guard<std::mutex> g(lock);
        checks.emplace_back(piece, result);
        order += 'k';
        threads.insert(std::this_thread::get_id());
    }
    void IncTaskStorageCounter(std::uint64_t) override
    {
        std::lock_guard<std::mutex> g(lock);
        ++counter;
        order += 'c';
        threads.insert(std::this_thread::get_id());
    }
    void OnStorageError(std::uint64_t, const char* text) override
    {
        std::lock_guard<std::mutex> g(lock);
        errors.push_back(text);
    }
};

class StorageManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        channels = std::make_unique<CChannelManager>(dir.file("data"));
        storage = std::make_unique<CStorageManager>(channels.get());
        storage->SetEvent(&sink);
        sink.storage = storage.get();
    }

    // A fresh channel of the fixture, its files prepared.
    void AddChannel(std::uint64_t id, const ChannelFixture& fx)
    {
        ASSERT_TRUE(channels->AddChannel(id, std::int32_t(fx.piece_size()), "g", 1, fx.file_list(),
                                         dir.file("save" + std::to_string(id))));
        ASSERT_TRUE(channels->PrepareChannelFiles(id));
    }

    bool Write(std::uint64_t id, const ChannelFixture& fx, std::uint32_t piece, std::uint32_t block,
               std::string* override_bytes = nullptr)
    {
        std::string bytes = fx.piece_bytes(piece).substr(std::size_t(block) * kBlockSize, kBlockSize);
        if (override_bytes)
            bytes = *override_bytes;
        BlockRequest req;
        req.piece = std::int32_t(piece);
        req.offset = std::int32_t(block * kBlockSize);
        req.length = std::int32_t(bytes.size());
        req.data = reinterpret_cast<std::uint8_t*>(&bytes[0]);
        return storage->WriteBlock(id, req);
    }

    void WritePiece(std::uint64_t id, const ChannelFixture& fx, std::uint32_t piece)
    {
        for (std::uint32_t b = 0; b < BlocksInPiece(fx.piece_length(piece)); ++b)
            ASSERT_TRUE(Write(id, fx, piece, b));
    }

    bool Read(std::uint64_t id, std::int32_t piece, std::int32_t offset, std::int32_t length, std::string& out)
    {
        out.assign(std::size_t(std::max(length, 0)), '\0');
        BlockRequest req;
        req.piece = piece;
        req.offset = offset;
        req.length = length;
        req.data = reinterpret_cast<std::uint8_t*>(&out[0]);
        return storage->ReadBlock(id, req);
    }

    std::string Row(std::uint64_t id, std::uint32_t piece, char what)
    {
        std::string out;
        storage->InspectStore(id, [&](CChannelStorageManager& s) {
            for (std::size_t b = 0; b < s.Received()[piece].size(); ++b) {
                if (what == 'r')
                    out += char('0' + s.Received()[piece][b]);
                else if (what == 'w')
                    out += char('0' + s.WriteState(piece, std::uint32_t(b)));
                else
                    out += char('0' + s.Stored()[piece][b]);
            }
            s.check_invariant();
        });
        return out;
    }

    test_support::TempDir dir;
    RecordingSink sink;
    std::unique_ptr<CChannelManager> channels;
    std::unique_ptr<CStorageManager> storage;
};

TEST_F(StorageManagerTest, BlocksInAnyOrderAreCheckedOnceAfterTheLast)
{
    ChannelFixture fx({4 * kBlockSize * 2 + 1000}, 4 * kBlockSize);   // pieces of 4 blocks, last of 1
    sink.probe_lock = true;
    AddChannel(1, fx);
    ASSERT_EQ(std::vector<std::uint64_t>{1}, sink.ready);
    for (std::uint32_t b : {2u, 0u, 3u})
        ASSERT_TRUE(Write(1, fx, 1, b));
    EXPECT_EQ("1011", Row(1, 1, 'r'));
    EXPECT_EQ("1011", Row(1, 1, 'w'));
    EXPECT_EQ("0000", Row(1, 1, 's'));
    EXPECT_TRUE(sink.checks.empty());
    // The same block twice is dropped.
    EXPECT_FALSE(Write(1, fx, 1, 2));
    ASSERT_TRUE(Write(1, fx, 1, 1));
    EXPECT_EQ("2222", Row(1, 1, 'w'));
    EXPECT_EQ("1111", Row(1, 1, 's'));
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{1, 1}}), sink.checks);
    EXPECT_EQ("cccck", sink.order);   // the blocks are counted before the check is reported
    EXPECT_EQ(0, sink.lock_held);

    // The short last piece has one block of 1000 bytes.
    std::string tail = fx.piece_bytes(2);
    EXPECT_FALSE(Write(1, fx, 2, 0, &(tail += "x")));   // wrong length
    tail.pop_back();
    ASSERT_TRUE(Write(1, fx, 2, 0, &tail));
    std::vector<std::uint8_t> bitmap;
    ASSERT_TRUE(storage->GetBitmap(1, bitmap));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 1, 1}), bitmap);

    // Out of range and unaligned blocks are dropped.
    std::string block(kBlockSize, 'a');
    BlockRequest req;
    req.data = reinterpret_cast<std::uint8_t*>(&block[0]);
    req.length = std::int32_t(kBlockSize);
    for (auto [piece, offset] :
         std::vector<std::pair<int, int>>{{3, 0}, {-1, 0}, {0, 4 * 32768}, {0, 100}, {0, -32768}}) {
        req.piece = piece;
        req.offset = offset;
        EXPECT_FALSE(storage->WriteBlock(1, req)) << piece << "," << offset;
    }
    req.piece = 0;
    req.offset = 0;
    req.data = nullptr;
    EXPECT_FALSE(storage->WriteBlock(1, req));
    EXPECT_FALSE(storage->WriteBlock(2, req));
}

TEST_F(StorageManagerTest, PiecesNotAMultipleOfTheBlockSizeComplete)
{
    ChannelFixture fx({100000}, 40000);   // pieces of 32768 + 7232 bytes, the last 20000
    AddChannel(1, fx);
    for (std::uint32_t p = 0; p < 3; ++p)
        WritePiece(1, fx, p);
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {1, 1}, {2, 1}}), sink.checks);
    EXPECT_TRUE(channels->IsChannelVerified(1));
    std::string out;
    ASSERT_TRUE(Read(1, 1, std::int32_t(kBlockSize), 7232, out));
    EXPECT_EQ(fx.piece_bytes(1).substr(kBlockSize), out);
}

TEST_F(StorageManagerTest, EighthPieceEvictsTheOneWithMostCachedBlocks)
{
    ChannelFixture fx({10 * 4 * kBlockSize}, 4 * kBlockSize);
    AddChannel(1, fx);
    // Pieces 0-6 cached with 1, 2, 3, 1, 3, 2, 1 blocks.
    const std::uint32_t cached[] = {1, 2, 3, 1, 3, 2, 1};
    for (std::uint32_t p = 0; p < 7; ++p)
        for (std::uint32_t b = 0; b < cached[p]; ++b)
            ASSERT_TRUE(Write(1, fx, p, b));
    std::vector<std::int32_t> pieces;
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.WriteCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6}), pieces);
    // A block of an eighth piece: piece 2 (first with 3) is written, not checked.
    ASSERT_TRUE(Write(1, fx, 8, 0));
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.WriteCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{0, 1, 3, 4, 5, 6, 8}), pieces);
    EXPECT_EQ("2220", Row(1, 2, 'w'));
    EXPECT_EQ("1110", Row(1, 2, 's'));
    EXPECT_TRUE(sink.checks.empty());
    EXPECT_EQ(3u, sink.counter);
    // More pieces are being filled than the cache holds: it takes one more.
    // Finishing piece 2 later gets an entry without an eviction, writes its
    // last block and checks the piece as read back from the file.
    storage->InspectStore(1, [&](CChannelStorageManager& s) { EXPECT_EQ(8u, s.WriteCacheLimit()); });
    ASSERT_TRUE(Write(1, fx, 2, 3));
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{2, 1}}), sink.checks);
    EXPECT_EQ("1110", Row(1, 4, 'w'));
    // A piece written and checked leaves the cache at once.
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.WriteCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{0, 1, 3, 4, 5, 6, 8}), pieces);
    ASSERT_TRUE(Write(1, fx, 9, 0));
    ASSERT_TRUE(Write(1, fx, 7, 0));   // evicts piece 4, which has the most cached blocks now
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.WriteCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{0, 1, 3, 5, 6, 7, 8, 9}), pieces);
    EXPECT_EQ("2220", Row(1, 4, 'w'));
    EXPECT_EQ("1000", Row(1, 0, 'w'));
    EXPECT_EQ(1u, sink.checks.size());

    // Twelve pieces filled a block at a time, round after round (twelve
    // connections): the cache grows until it holds them all, so the next
    // twelve are all written whole.
    ChannelFixture many({24 * 4 * kBlockSize}, 4 * kBlockSize);
    AddChannel(2, many);
    auto round_robin = [&](std::uint32_t first) {
        for (std::uint32_t b = 0; b < 4; ++b)
            for (std::uint32_t p = first; p < first + 12; ++p)
                ASSERT_TRUE(Write(2, many, p, b));
    };
    round_robin(0);
    std::size_t limit = 0;
    storage->InspectStore(2, [&](CChannelStorageManager& s) { limit = s.WriteCacheLimit(); });
    EXPECT_EQ(12u, limit);
    round_robin(12);
    storage->InspectStore(2, [&](CChannelStorageManager& s) { EXPECT_EQ(limit, s.WriteCacheLimit()); });
    std::vector<std::uint8_t> bitmap;
    storage->GetBitmap(2, bitmap);
    EXPECT_EQ(std::vector<std::uint8_t>(24, 1), bitmap);
}

TEST_F(StorageManagerTest, AllCachedBlocksEvictedAreChecked)
{
    // Pieces of 2 blocks; every piece but the evicted one is complete... no:
    // piece 0 gets both blocks while being evicted only when complete is
    // impossible, so build it by the write-state rule directly: a piece
    // whose blocks are all cached is checked when evicted.
    ChannelFixture fx({9 * 2 * kBlockSize}, 2 * kBlockSize);
    AddChannel(1, fx);
    // Piece 0: block 0 cached; then block 1 arrives (complete -> checked).
    WritePiece(1, fx, 0);
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}}), sink.checks);
}

// A piece of 4 blocks whose first two are cached when seven other pieces
// are started: it has the most cached blocks, so it is written out, and it
// goes on in a new cache entry.
TEST_F(StorageManagerTest, PieceWrittenOutEarlyIsCheckedWhenItGoesOn)
{
    struct Case {
        const char* name;
        int bad_block;   // -1: none
        std::uint8_t result;
    };
    const Case cases[] = {{"all blocks right", -1, 1},
                          {"wrong block written out early", 0, 0},
                          {"wrong block after the early ones", 3, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelFixture fx({9 * 4 * kBlockSize}, 4 * kBlockSize);
        const std::uint64_t id = std::uint64_t(&c - cases) + 1;
        AddChannel(id, fx);
        sink.checks.clear();
        std::string bad(kBlockSize, 'z');
        auto write = [&](std::uint32_t piece, std::uint32_t block) {
            return Write(id, fx, piece, block, piece == 0 && int(block) == c.bad_block ? &bad : nullptr);
        };
        ASSERT_TRUE(write(0, 0));
        ASSERT_TRUE(write(0, 1));
        for (std::uint32_t p = 1; p <= 7; ++p)
            ASSERT_TRUE(write(p, 0));
        EXPECT_EQ("2200", Row(id, 0, 'w'));
        ASSERT_TRUE(write(0, 2));
        ASSERT_TRUE(write(0, 3));
        EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, c.result}}), sink.checks);
        if (c.result == 1)
            continue;
        // Fetched again, right this time, it passes.
        EXPECT_EQ("0000", Row(id, 0, 'r'));
        WritePiece(id, fx, 0);
        EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 0}, {0, 1}}), sink.checks);
        const std::string path = dir.file("save" + std::to_string(id)) + "/dir/file0.bin";
        EXPECT_EQ(fx.piece_bytes(0), test_support::ReadAll(path).substr(0, 4 * kBlockSize));
    }
}

// Pieces of the largest size cost the bytes being gathered, not whole
// pieces: three of them filled side by side (three connections, each in
// order through its piece) hold a few MiB of heap at their worst, each is
// checked right from its own digest, and the file has their bytes. A piece
// whose blocks come in any order still completes right; a wrong byte still
// fails it.
TEST_F(StorageManagerTest, BigPiecesHoldTheBytesBeingGatheredNotWholePieces)
{
    const std::uint32_t piece = 32u << 20;
    const std::uint32_t blocks = piece / kBlockSize;
    ChannelFixture fx({3ull * piece}, piece);
    AddChannel(1, fx);
    std::vector<std::string> pieces;
    for (std::uint32_t p = 0; p < 3; ++p)
        pieces.push_back(fx.piece_bytes(p));
    std::string bytes(kBlockSize, '\0');
    auto write = [&](std::uint32_t p, std::uint32_t b) {
        bytes.assign(pieces[p], std::size_t(b) * kBlockSize, kBlockSize);
        BlockRequest req;
        req.piece = std::int32_t(p);
        req.offset = std::int32_t(b * kBlockSize);
        req.length = std::int32_t(kBlockSize);
        req.data = reinterpret_cast<std::uint8_t*>(&bytes[0]);
        return storage->WriteBlock(1, req);
    };
    std::size_t peak = 0;
    {
        test_support::HeapPeak heap;
        for (std::uint32_t b = 0; b < blocks; ++b)
            for (std::uint32_t p = 0; p < 3; ++p)
                ASSERT_TRUE(write(p, b));
        peak = heap.peak();
    }
    if (test_support::HeapPeak::supported()) {
        EXPECT_LT(peak, std::size_t(40) << 20) << "three pieces of 32 MiB gathered side by side";
    }
    std::sort(sink.checks.begin(), sink.checks.end());
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {1, 1}, {2, 1}}), sink.checks);
    std::size_t held = 0;
    storage->InspectStore(1, [&](CChannelStorageManager& s) { held = s.BytesHeld(); });
    EXPECT_LE(held, std::size_t(16) << 20);
    EXPECT_TRUE(test_support::ReadAll(dir.file("save1") + "/dir/file0.bin") == fx.files()[0].content);

    // The units let go are kept for the next pieces, within their bound.
    EXPECT_LE(PieceUnit::KeptBytes(), PieceUnit::kKeptBytes);

    // Out of order (last unit first, then the rest backwards), and once
    // with a wrong byte in the middle: checked as its bytes say, a digest
    // that does not match from the file a unit at a time, never from a
    // copy of the whole piece.
    for (bool spoil : {true, false}) {
        SCOPED_TRACE(spoil ? "a wrong byte" : "backwards");
        ChannelFixture other({std::uint64_t(piece)}, piece, spoil ? 5 : 6);
        const std::uint64_t id = spoil ? 2 : 3;
        AddChannel(id, other);
        pieces.assign(1, other.piece_bytes(0));
        sink.checks.clear();
        test_support::HeapPeak heap;
        for (std::uint32_t b = blocks; b-- > 0;) {
            bytes.assign(pieces[0], std::size_t(b) * kBlockSize, kBlockSize);
            if (spoil && b == blocks / 2)
                bytes[3] ^= 1;
            BlockRequest req;
            req.piece = 0;
            req.offset = std::int32_t(b * kBlockSize);
            req.length = std::int32_t(kBlockSize);
            req.data = reinterpret_cast<std::uint8_t*>(&bytes[0]);
            ASSERT_TRUE(storage->WriteBlock(id, req));
        }
        EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, spoil ? 0 : 1}}), sink.checks);
        if (test_support::HeapPeak::supported()) {
            EXPECT_LT(heap.peak(), std::size_t(8) << 20);
        }
        EXPECT_LE(PieceUnit::KeptBytes(), PieceUnit::kKeptBytes);
    }
}

// What was gathered of a piece before its blocks were given back (refused
// by the file, or a reset) does not count towards its check.
TEST_F(StorageManagerTest, BlocksGivenBackAreCheckedAsFetchedAgain)
{
    for (bool refused_by_file : {true, false}) {
        SCOPED_TRACE(refused_by_file ? "refused by the file" : "reset");
        ChannelFixture fx({9 * 4 * kBlockSize}, 4 * kBlockSize);
        const std::uint64_t id = refused_by_file ? 1 : 2;
        AddChannel(id, fx);
        sink.checks.clear();
        ASSERT_TRUE(Write(id, fx, 0, 0));
        ASSERT_TRUE(Write(id, fx, 0, 1));
        if (refused_by_file) {
            for (std::uint32_t p = 1; p <= 6; ++p)
                ASSERT_TRUE(Write(id, fx, p, 0));
            channels->SetFilesFlag(id, 1);
            ASSERT_TRUE(Write(id, fx, 7, 0));   // piece 0 is written out, and refused
            channels->SetFilesFlag(id, 0);
        } else {
            storage->SetPiece(id, 0, 0);
        }
        EXPECT_EQ("0000", Row(id, 0, 'r'));
        sink.checks.clear();
        // The right bytes were gathered before; a wrong one comes now.
        std::string bad(kBlockSize, 'z');
        ASSERT_TRUE(Write(id, fx, 0, 0, &bad));
        for (std::uint32_t b = 1; b < 4; ++b)
            ASSERT_TRUE(Write(id, fx, 0, b));
        EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 0}}), sink.checks);
    }
}

TEST_F(StorageManagerTest, MismatchResetsThePieceAndIsReportedAfterTheLock)
{
    ChannelFixture fx({2 * 2 * kBlockSize}, 2 * kBlockSize);
    sink.probe_lock = true;
    AddChannel(1, fx);
    ASSERT_TRUE(Write(1, fx, 0, 0));
    std::string bad(kBlockSize, 'z');
    ASSERT_TRUE(Write(1, fx, 0, 1, &bad));
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 0}}), sink.checks);
    EXPECT_EQ("00", Row(1, 0, 'r'));
    EXPECT_EQ("00", Row(1, 0, 'w'));
    EXPECT_EQ("00", Row(1, 0, 's'));
    std::vector<std::uint8_t> bitmap;
    storage->GetBitmap(1, bitmap);
    EXPECT_EQ(0, bitmap[0]);
    EXPECT_EQ(0, sink.lock_held);
    // Fetched again, it passes.
    WritePiece(1, fx, 0);
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 0}, {0, 1}}), sink.checks);
}

// Blocks lent for a receive straight into the write cache: only missing
// blocks nobody else has are lent, a copy of a lent block waits aside, a
// commit stores the block as a copy would, a loan dropped mid-way gives its
// blocks up (or to the copy), a reset piece drops its lent blocks' commits, an entry with
// lent blocks is never evicted, and a loan outliving its channel or the
// manager touches nothing that is gone. The files come out whole.
TEST_F(StorageManagerTest, LentBlocksAreReceivedIntoTheCacheAndGivenUpWhenTheLoanEnds)
{
    ChannelFixture fx({12 * 4 * kBlockSize}, 4 * kBlockSize);
    AddChannel(1, fx);
    auto fill = [&](const std::shared_ptr<zeq::i_block_loan>& loan, std::uint32_t piece, std::uint32_t block) {
        std::memcpy(loan->data(), fx.piece_bytes(piece).data() + std::size_t(block) * kBlockSize, loan->size());
    };
    auto lend = [&](std::uint32_t piece, std::uint32_t block, std::uint32_t blocks) {
        return storage->LendBlocks(1, std::int32_t(piece), std::int32_t(block * kBlockSize), blocks);
    };
    // Lent up to the first block that is not missing.
    ASSERT_TRUE(Write(1, fx, 0, 1));
    auto loan = lend(0, 0, 4);
    ASSERT_TRUE(loan);
    EXPECT_EQ(1u, loan->blocks());
    EXPECT_EQ("4100", Row(1, 0, 'w'));
    EXPECT_FALSE(lend(0, 0, 1)) << "lent twice";
    EXPECT_FALSE(lend(0, 1, 1)) << "already received";
    EXPECT_TRUE(Write(1, fx, 0, 0)) << "a copy of a lent block waits aside";
    EXPECT_FALSE(Write(1, fx, 0, 0)) << "one copy only";
    EXPECT_EQ("1100", Row(1, 0, 'r')) << "the copy counts as received: nobody asks for it again";
    fill(loan, 0, 0);
    EXPECT_TRUE(loan->commit());
    EXPECT_EQ("1100", Row(1, 0, 'r'));
    auto rest = lend(0, 2, 4);
    ASSERT_TRUE(rest);
    EXPECT_EQ(2u, rest->blocks());
    fill(rest, 0, 2);
    EXPECT_TRUE(rest->commit());
    EXPECT_TRUE(sink.checks.empty());
    EXPECT_TRUE(rest->commit());
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}}), sink.checks);

    // Dropped after one commit: a copy that came meanwhile is stored, the
    // others are missing again, and copies fill them. The piece waits for
    // the loan to end even when every block is in.
    loan = lend(1, 0, 4);
    fill(loan, 1, 0);
    EXPECT_TRUE(loan->commit());
    EXPECT_TRUE(Write(1, fx, 1, 2));
    EXPECT_EQ("1010", Row(1, 1, 'r'));
    loan.reset();
    EXPECT_EQ("1010", Row(1, 1, 'w'));
    EXPECT_EQ("1010", Row(1, 1, 'r'));
    loan = lend(1, 1, 1);
    EXPECT_TRUE(Write(1, fx, 1, 1));
    EXPECT_TRUE(Write(1, fx, 1, 3));
    EXPECT_EQ("1111", Row(1, 1, 'r'));
    EXPECT_EQ(1u, sink.checks.size()) << "not checked while a block is lent";
    loan.reset();
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {1, 1}}), sink.checks);

    // The piece fails its check while a block is lent: the commit is dropped.
    loan = lend(2, 3, 1);
    for (std::uint32_t b = 0; b < 3; ++b)
        ASSERT_TRUE(Write(1, fx, 2, b));
    storage->SetPiece(1, 2, 0);
    EXPECT_EQ("0004", Row(1, 2, 'w'));
    fill(loan, 2, 3);
    EXPECT_FALSE(loan->commit());
    EXPECT_EQ("0000", Row(1, 2, 'w'));
    loan.reset();
    WritePiece(1, fx, 2);

    // Seven pieces with lent blocks fill the cache: none is evicted, an
    // eighth piece is copied beside them, not lent.
    std::vector<std::shared_ptr<zeq::i_block_loan>> loans;
    for (std::uint32_t p = 3; p < 10; ++p)
        loans.push_back(lend(p, 0, 1));
    EXPECT_FALSE(lend(10, 0, 1));
    ASSERT_TRUE(Write(1, fx, 10, 0));
    std::vector<std::int32_t> pieces;
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.WriteCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{3, 4, 5, 6, 7, 8, 9, 10}), pieces);
    for (std::uint32_t p = 3; p < 10; ++p) {
        fill(loans[p - 3], p, 0);
        EXPECT_TRUE(loans[p - 3]->commit());
        for (std::uint32_t b = 1; b < 4; ++b)
            ASSERT_TRUE(Write(1, fx, p, b));
    }
    loans.clear();
    for (std::uint32_t b = 1; b < 4; ++b)
        ASSERT_TRUE(Write(1, fx, 10, b));
    WritePiece(1, fx, 11);
    EXPECT_TRUE(channels->IsChannelVerified(1));
    channels->CloseChannelFiles(1);
    EXPECT_EQ(fx.files()[0].content, test_support::ReadAll(dir.file("save1") + "/dir/file0.bin"));

    // A loan outliving its channel, then the manager: nothing is stored,
    // nothing freed is touched.
    ChannelFixture other({4 * kBlockSize}, 4 * kBlockSize);
    AddChannel(2, other);
    loan = storage->LendBlocks(2, 0, 0, 4);
    ASSERT_TRUE(loan);
    storage->RemoveChannel(2);
    EXPECT_FALSE(loan->commit());
    auto late = loan;
    storage.reset();
    std::memset(late->data(), 1, late->size());
    EXPECT_FALSE(late->commit());
}

TEST_F(StorageManagerTest, UploadServesOnlyVerifiedPieces)
{
    ChannelFixture fx({5 * 2 * kBlockSize}, 2 * kBlockSize);
    AddChannel(1, fx);
    std::string out;
    ASSERT_TRUE(Write(1, fx, 0, 0));
    EXPECT_FALSE(Read(1, 0, 0, std::int32_t(kBlockSize), out));   // received, cached, not verified
    ASSERT_TRUE(Write(1, fx, 0, 1));
    for (std::uint32_t p = 1; p < 5; ++p)
        WritePiece(1, fx, p);
    ASSERT_TRUE(Read(1, 1, std::int32_t(kBlockSize), std::int32_t(kBlockSize), out));
    EXPECT_EQ(fx.piece_bytes(1).substr(kBlockSize), out);
    ASSERT_TRUE(Read(1, 1, 100, 50, out));
    EXPECT_EQ(fx.piece_bytes(1).substr(100, 50), out);
    EXPECT_FALSE(Read(1, 1, std::int32_t(kBlockSize), std::int32_t(kBlockSize) + 1, out));
    EXPECT_FALSE(Read(1, 5, 0, 10, out));
    EXPECT_FALSE(Read(1, 0, -1, 10, out));
    EXPECT_FALSE(Read(1, 0, 0, 0, out));
    EXPECT_FALSE(Read(2, 0, 0, 10, out));   // unknown channel: false, not a silent success
    // The read cache holds 3 pieces, the lowest index leaving first.
    for (std::int32_t p : {3, 0, 4, 2})
        ASSERT_TRUE(Read(1, p, 0, 10, out));
    std::vector<std::int32_t> pieces;
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.ReadCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{2, 3, 4}), pieces);
    // A piece that is reset leaves the read cache and is not served.
    storage->SetPiece(1, 3, 0);
    storage->InspectStore(1, [&](CChannelStorageManager& s) { pieces = s.ReadCachePieces(); });
    EXPECT_EQ((std::vector<std::int32_t>{2, 4}), pieces);
    EXPECT_FALSE(Read(1, 3, 0, 10, out));
}

// Pieces longer than 1 MiB are read for upload a span at a time: blocks
// at a piece's start, middle and end, on either side of a span's end and
// across it come back right, and neither the reads nor what the read
// cache keeps grow with the piece size (whole pieces of 8 MiB would hold
// 24 MiB). Through the worker, requests for one span share its read and
// all hear in the order they asked; a span the file no longer holds fails
// its requests; a span read opens a file the task closed again.
TEST_F(StorageManagerTest, BigPiecesAreReadForUploadASpanAtATime)
{
    const std::uint32_t piece = 8u << 20, span = 1u << 20, last = 3 * span / 2 + 100;
    ChannelFixture fx({2ull * piece + last}, piece);
    AddChannel(1, fx);
    for (std::uint32_t p = 0; p < 3; ++p)
        WritePiece(1, fx, p);
    const std::vector<std::string> bytes = {fx.piece_bytes(0), fx.piece_bytes(1), fx.piece_bytes(2)};
    const std::vector<std::array<std::uint32_t, 3>> asks = {{0, 0, kBlockSize},
                                                            {0, 3 * span, kBlockSize},
                                                            {0, piece - kBlockSize, kBlockSize},
                                                            {1, span - kBlockSize, kBlockSize},
                                                            {1, span, kBlockSize},
                                                            {1, 2 * span - 100, 300},
                                                            {2, last - 100, 100}};
    std::string out(kBlockSize, '\0');
    std::size_t held = 0, peak = 0;
    {
        test_support::HeapPeak heap;
        for (const auto& a : asks) {
            ASSERT_TRUE(Read(1, std::int32_t(a[0]), std::int32_t(a[1]), std::int32_t(a[2]), out));
            EXPECT_TRUE(bytes[a[0]].compare(a[1], a[2], out) == 0) << a[0] << " " << a[1];
            storage->InspectStore(1, [&](CChannelStorageManager& s) { held = std::max(held, s.BytesHeld()); });
        }
        peak = heap.peak();
    }
    EXPECT_LT(held, std::size_t(piece));
    if (test_support::HeapPeak::supported()) {
        EXPECT_LE(peak, CChannelStorageManager::kMaxReadBytes);
    }

    SetPieceReadHook([](std::uint64_t, std::int32_t) {});   // nothing is taken from memory
    struct Reset {
        ~Reset() { SetPieceReadHook(nullptr); }
    } reset;
    i_io_service io;
    std::thread io_thread([&] { io.run(); });
    storage->SetIoService(&io);
    ASSERT_EQ(0, ::truncate((dir.file("save1") + "/dir/file0.bin").c_str(), off_t(2 * piece + 100)));
    std::mutex lock;
    std::vector<std::string> heard;
    out.assign(kBlockSize, '\0');
    auto ask = [&](std::int32_t p, std::uint32_t offset, const std::string& name) {
        BlockRequest req{p, std::int32_t(offset), std::int32_t(kBlockSize), reinterpret_cast<std::uint8_t*>(&out[0])};
        return storage->ReadBlockAsync(
            1, req,
            [&, name](int status) {
                std::lock_guard<std::mutex> g(lock);
                heard.push_back(name + ":" + std::to_string(status));
            },
            nullptr);
    };
    ASSERT_TRUE(io.pause());   // what the worker reads waits for the I/O thread
    for (auto [p, offset, name] :
         std::vector<std::tuple<std::int32_t, std::uint32_t, std::string>>{{0, span, "a"},
                                                                           {0, span + kBlockSize, "b"},
                                                                           {0, 7 * span, "c"},
                                                                           {2, 0, "d"},
                                                                           {0, span + 2 * kBlockSize, "e"}})
        EXPECT_EQ(BlockRead::kPending, ask(p, offset, name)) << name;
    io.restart();
    EXPECT_TRUE(test_support::wait_until([&] {
        std::lock_guard<std::mutex> g(lock);
        return heard.size() == 5;
    }));
    EXPECT_EQ(BlockRead::kServed, ask(0, 7 * span + kBlockSize, "f"));   // the span read last
    EXPECT_TRUE(bytes[0].compare(7 * span + kBlockSize, kBlockSize, out) == 0);
    // A span read opens the file again after the task closed it, so that
    // the blocks after it are copied from memory without a read.
    SetPieceReadHook(nullptr);
    channels->CloseChannelFiles(1);
    ASSERT_EQ(BlockRead::kPending, ask(1, 5 * span, "g"));
    EXPECT_TRUE(test_support::wait_until([&] {
        std::lock_guard<std::mutex> g(lock);
        return heard.size() == 6;
    }));
    EXPECT_EQ(BlockRead::kServed, ask(1, 6 * span, "h"));
    EXPECT_TRUE(bytes[1].compare(6 * span, kBlockSize, out) == 0);
    io.set_stopped();
    io.stop();
    io_thread.join();
    storage->SetIoService(nullptr);
    EXPECT_EQ((std::vector<std::string>{"a:0", "b:0", "e:0", "c:0", "d:-1", "g:0"}), heard);
}

TEST_F(StorageManagerTest, FailedWriteFreesTheBlocksAndBlamesNobody)
{
    ChannelFixture fx({2 * 2 * kBlockSize}, 2 * kBlockSize);
    AddChannel(1, fx);
    channels->SetFilesFlag(1, 1);   // the disk refuses writes from now on
    WritePiece(1, fx, 0);
    EXPECT_TRUE(sink.checks.empty());
    EXPECT_EQ(1u, sink.errors.size());
    EXPECT_EQ(0u, sink.counter);
    EXPECT_EQ("00", Row(1, 0, 'r'));
    EXPECT_EQ("00", Row(1, 0, 's'));
    channels->SetFilesFlag(1, 0);
    WritePiece(1, fx, 0);
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}}), sink.checks);
    EXPECT_EQ(2u, sink.counter);
}

// A disk full for one write into the sixth unit of a file, once armed.
std::atomic<bool> g_full{false};
long FullOnce(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    if (offset / PieceBuffer::kUnit != 5 || !g_full.exchange(false))
        return long(::pwrite(fd, data, size, offset));
    errno = ENOSPC;
    return -1;
}

// A full disk in a piece of 8 MiB ends, once there is room, with the piece
// checked once, right, and its file's bytes right.
TEST_F(StorageManagerTest, FullDiskInABigPieceEndsWithItsRightBytes)
{
    const std::uint32_t unit = PieceBuffer::kUnit / kBlockSize, blocks = 32 * unit;
    const ChannelFixture fx({blocks * kBlockSize}, blocks * kBlockSize, 7);
    auto refetch = [&](std::uint64_t id) {   // once nothing is on its way
        ASSERT_TRUE(test_support::wait_until([&] { return Row(id, 0, 'w').find('3') == std::string::npos; }, 20000));
        const std::string received = Row(id, 0, 'r');
        for (std::uint32_t b = 0; b < blocks; ++b)
            EXPECT_TRUE(received[b] == '1' || Write(id, fx, 0, b));
    };
    AddChannel(1, fx);
    AddChannel(2, fx);
    platform::set_write_at_source(&FullOnce);
    // Unit 5 refused and sent again while unit 6 is written ahead of the hash.
    g_full = true;
    for (std::uint32_t b = unit; b < blocks; ++b)
        EXPECT_TRUE(b % unit == unit - 1 || Write(1, fx, 0, b));
    for (std::uint32_t b : {6 * unit - 1, 5 * unit, 5 * unit + 1, 5 * unit + 2, 7 * unit - 1})
        EXPECT_TRUE(Write(1, fx, 0, b));
    refetch(1);
    // The piece's check queued behind the refusal, which it must not count.
    i_io_service io;
    std::thread io_thread([&] { io.run(); });
    storage->SetIoService(&io);
    std::promise<void> hold;
    post_function(io, [&] { hold.get_future().wait(); });
    g_full = true;
    WritePiece(2, fx, 0);
    hold.set_value();
    refetch(2);
    refetch(2);
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            std::lock_guard<std::mutex> g(sink.lock);
            return sink.checks.size() >= 2;
        },
        20000));
    io.set_stopped();
    io.stop();
    io_thread.join();
    storage->SetIoService(nullptr);
    platform::set_write_at_source(nullptr);
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {0, 1}}), sink.checks);
    for (std::uint64_t id : {1, 2}) {
        channels->CloseChannelFiles(id);
        EXPECT_TRUE(test_support::ReadAll(dir.file("save" + std::to_string(id)) + "/dir/file0.bin") ==
                    fx.files()[0].content);
    }
}

TEST_F(StorageManagerTest, BitmapFileOfTwoPiecesOfThreeBlocks)
{
    ChannelFixture fx({2 * 3 * kBlockSize}, 3 * kBlockSize);
    AddChannel(1, fx);
    WritePiece(1, fx, 0);
    WritePiece(1, fx, 1);
    std::vector<std::uint8_t> bitmap;
    Tables stored;
    ASSERT_TRUE(storage->GetBitmap(1, bitmap));
    ASSERT_TRUE(storage->GetChannelStoreData(1, stored));
    EXPECT_EQ(20u, EncodeBitmapRecord(bitmap, stored).size());
    EXPECT_FALSE(storage->GetChannelStoreData(2, stored));
    EXPECT_TRUE(stored.empty());
}

TEST_F(StorageManagerTest, ResumeRefetchesOnlyTheCorruptedPiece)
{
    // Download a channel of 4 pieces, save its bitmap, damage piece 2 on
    // disk, and resume in a new session.
    ChannelFixture fx({4 * 2 * kBlockSize}, 2 * kBlockSize);
    AddChannel(1, fx);
    for (std::uint32_t p = 0; p < 4; ++p)
        WritePiece(1, fx, p);
    std::vector<std::uint8_t> bitmap;
    Tables stored;
    storage->GetBitmap(1, bitmap);
    storage->GetChannelStoreData(1, stored);
    const std::string bbm = dir.file("1.bbm");
    ASSERT_TRUE(WriteBitmapFile(bbm, bitmap, stored));
    channels->CloseChannelFiles(1);
    const std::string path = dir.file("save1") + "/dir/file0.bin";
    std::string content = test_support::ReadAll(path);
    ASSERT_EQ(fx.files()[0].content, content);
    content[2 * 2 * kBlockSize + 5] ^= 1;
    test_support::WriteAll(path, content);

    RecordingSink sink2;
    CChannelManager channels2(dir.file("data"));
    CStorageManager storage2(&channels2);
    storage2.SetEvent(&sink2);
    ASSERT_EQ(kBitmapOk, ReadBitmapFile(bbm, bitmap, stored));
    ASSERT_TRUE(channels2.AddChannel(1, 2 * kBlockSize, "g", 1, fx.file_list(), bitmap, stored, dir.file("save1"), 0));
    ASSERT_TRUE(channels2.PrepareChannelFiles(1));
    EXPECT_EQ(6u, sink2.counter);   // the blocks of pieces 0, 1 and 3, once each
    storage2.GetBitmap(1, bitmap);
    EXPECT_EQ((std::vector<std::uint8_t>{1, 1, 0, 1}), bitmap);
    // Only piece 2 is asked for again, and written pieces are not taken twice.
    std::string block = fx.piece_bytes(0).substr(0, kBlockSize);
    BlockRequest req;
    req.piece = 0;
    req.length = std::int32_t(kBlockSize);
    req.data = reinterpret_cast<std::uint8_t*>(&block[0]);
    EXPECT_FALSE(storage2.WriteBlock(1, req));
    for (std::uint32_t b = 0; b < 2; ++b) {
        block = fx.piece_bytes(2).substr(b * kBlockSize, kBlockSize);
        req.data = reinterpret_cast<std::uint8_t*>(&block[0]);
        req.piece = 2;
        req.offset = std::int32_t(b * kBlockSize);
        ASSERT_TRUE(storage2.WriteBlock(1, req));
    }
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{2, 1}}), sink2.checks);
    EXPECT_TRUE(channels2.IsChannelVerified(1));
    EXPECT_EQ(fx.files()[0].content, test_support::ReadAll(path));
}

// A disk stuck in a bitmap save until the gate opens.
struct StuckDisk : engine_test::RecordingCmdEvent {
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    void OnBitmapSaved(std::uint64_t, const std::vector<std::uint8_t>&, const Tables&) override
    {
        open.wait_for(std::chrono::seconds(10));
    }
};

// With an I/O service, the disk work runs on storage's thread: a disk
// that is stuck holds back neither the writer nor the I/O thread, and once
// it moves the results come back on the I/O thread in order, each piece's
// blocks counted before its check.
TEST_F(StorageManagerTest, DiskWorkCompletesOnTheIoThreadInOrder)
{
    StuckDisk disk;
    struct Unstick {
        StuckDisk& disk;
        IStorageManager& storage;
        bool done = false;
        void operator()()
        {
            if (!done)
                disk.gate.set_value();
            done = true;
            storage.Drain();
        }
        ~Unstick() { (*this)(); }
    } unstick{disk, *storage};

    i_io_service io;
    std::promise<std::thread::id> io_id;
    std::thread io_thread([&] {
        io_id.set_value(std::this_thread::get_id());
        io.run();
    });
    const std::thread::id io_thread_id = io_id.get_future().get();
    storage->SetIoService(&io);
    ChannelFixture fx({4 * 2 * kBlockSize}, 2 * kBlockSize);
    AddChannel(1, fx);
    ASSERT_TRUE(storage->PostBitmapSave(1, &disk));   // the disk is stuck in it
    for (std::uint32_t p = 0; p < 4; ++p)
        WritePiece(1, fx, p);
    EXPECT_EQ("33", Row(1, 0, 'w'));   // on their way to the file
    EXPECT_EQ("00", Row(1, 3, 's'));
    {
        std::lock_guard<std::mutex> g(sink.lock);
        EXPECT_TRUE(sink.checks.empty());
        EXPECT_EQ(0u, sink.counter);
    }
    unstick();
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            std::lock_guard<std::mutex> g(sink.lock);
            return sink.checks.size() == 4;
        },
        20000));
    io.set_stopped();
    io.stop();
    io_thread.join();
    storage->SetIoService(nullptr);
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}), sink.checks);
    EXPECT_EQ("cckcckcckcck", sink.order);
    EXPECT_EQ(std::set<std::thread::id>{io_thread_id}, sink.threads);
    EXPECT_EQ("22", Row(1, 3, 'w'));
    EXPECT_EQ("11", Row(1, 3, 's'));
    EXPECT_TRUE(channels->IsChannelVerified(1));
}

// The disk work of several channels, and of the pieces of one, runs side
// by side: while one channel's disk is stuck (a bitmap save that does not
// return), another channel's pieces are written, checked and reported, and
// the stuck channel's own writes wait behind its save; once it moves, its
// results come in order. Many channels written from several threads at
// once all end with their files' bytes right.
TEST_F(StorageManagerTest, ChannelsAreWrittenSideBySide)
{
    StuckDisk disk;
    i_io_service io;
    std::thread io_thread([&] { io.run(); });
    storage->SetIoService(&io);
    const ChannelFixture fx({4 * 2 * kBlockSize}, 2 * kBlockSize);
    AddChannel(1, fx);
    AddChannel(2, fx);
    ASSERT_TRUE(storage->PostBitmapSave(1, &disk));   // channel 1's disk is stuck in it
    for (std::uint32_t p = 0; p < 4; ++p) {
        WritePiece(1, fx, p);
        WritePiece(2, fx, p);
    }
    const bool other_went_on = test_support::wait_until([&] { return channels->IsChannelVerified(2); }, 10000);
    EXPECT_TRUE(other_went_on) << "one channel's stuck disk held back another's";
    EXPECT_EQ("33", Row(1, 3, 'w'));
    disk.gate.set_value();
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            std::lock_guard<std::mutex> g(sink.lock);
            return sink.checks.size() == 8;
        },
        20000));
    storage->Drain();
    io.set_stopped();
    io.stop();
    io_thread.join();
    storage->SetIoService(nullptr);
    EXPECT_TRUE(channels->IsChannelVerified(1));

    // Twelve channels of pieces of 1 MiB and of 64 KiB, from four threads.
    RecordingSink quiet;
    i_io_service io2;
    std::thread io2_thread([&] { io2.run(); });
    CChannelManager busy_channels(dir.file("data"));
    auto busy_storage = std::make_unique<CStorageManager>(&busy_channels);
    busy_storage->SetEvent(&quiet);
    busy_storage->SetIoService(&io2);
    std::vector<std::unique_ptr<ChannelFixture>> many;
    for (std::uint64_t id = 10; id < 22; ++id) {
        const std::uint32_t piece = id % 2 ? (1u << 20) : (64u << 10);
        many.push_back(std::make_unique<ChannelFixture>(std::vector<std::uint64_t>{6ull * piece + 12345}, piece,
                                                        std::uint32_t(id)));
        ASSERT_TRUE(busy_channels.AddChannel(id, std::int32_t(piece), "g", 1, many.back()->file_list(),
                                             dir.file("save" + std::to_string(id))));
        ASSERT_TRUE(busy_channels.PrepareChannelFiles(id));
    }
    std::vector<std::thread> writers;
    for (std::uint64_t t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (std::uint64_t id = 10 + t; id < 22; id += 4) {
                const ChannelFixture& f = *many[id - 10];
                for (std::uint32_t p = 0; p < f.piece_count(); ++p) {
                    const std::string bytes = f.piece_bytes(p);
                    for (std::uint32_t off = 0; off < bytes.size(); off += kBlockSize) {
                        std::string block = bytes.substr(off, kBlockSize);
                        BlockRequest req;
                        req.piece = std::int32_t(p);
                        req.offset = std::int32_t(off);
                        req.length = std::int32_t(block.size());
                        req.data = reinterpret_cast<std::uint8_t*>(&block[0]);
                        busy_storage->WriteBlock(id, req);
                    }
                }
            }
        });
    }
    for (std::thread& w : writers)
        w.join();
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            for (std::uint64_t id = 10; id < 22; ++id)
                if (!busy_channels.IsChannelVerified(id))
                    return false;
            return true;
        },
        30000));
    busy_storage->Drain();
    io2.set_stopped();
    io2.stop();
    io2_thread.join();
    busy_storage->SetIoService(nullptr);
    busy_storage.reset();
    for (std::uint64_t id = 10; id < 22; ++id) {
        busy_channels.CloseChannelFiles(id);
        EXPECT_TRUE(test_support::ReadAll(dir.file("save" + std::to_string(id)) + "/dir/file0.bin") ==
                    many[id - 10]->files()[0].content)
            << "channel " << id;
    }
}

// One channel's disk hangs with its whole backlog: another channel's
// feeder (the I/O thread) waits neither for that backlog nor for a thread.
TEST(StorageWorkerTest, AHangingChannelHoldsNoOtherChannel)
{
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::atomic<bool> other{false};
    i_io_service io;
    StorageWorker worker;
    ASSERT_TRUE(worker.Start());
    worker.SetIoService(&io);
    for (std::uint32_t piece = 0; piece < 4; ++piece)
        worker.Post(
            {1, piece}, [open] { open.wait(); }, nullptr, StorageWorker::kMaxPendingBytes / 4);
    auto post = std::async(std::launch::async, [&] {
        worker.WaitRoom(2);
        worker.Post(
            {2, 0}, [&] { other = true; }, nullptr, 256 << 10);
    });
    EXPECT_TRUE(test_support::wait_until([&] { return other.load(); }, 5000));
    gate.set_value();
    worker.SetIoService(nullptr);
}

// A disk whose reads for upload wait while the gate is shut.
struct ReadGate {
    std::mutex lock;
    std::condition_variable wake;
    bool open = true;
    std::vector<std::int32_t> pieces;   // read, in order
    void Set(bool to)
    {
        std::lock_guard<std::mutex> g(lock);
        open = to;
        wake.notify_all();
    }
    // Each test starts from an open gate that has read nothing.
    void Reset()
    {
        std::lock_guard<std::mutex> g(lock);
        open = true;
        pieces.clear();
    }
    static void Read(std::uint64_t, std::int32_t piece);
} g_gate;

void ReadGate::Read(std::uint64_t, std::int32_t piece)
{
    std::unique_lock<std::mutex> g(g_gate.lock);
    g_gate.pieces.push_back(piece);
    g_gate.wake.wait_for(g, std::chrono::seconds(10), [] { return g_gate.open; });
}

// The pieces read, whatever order the storage threads took them in.
static std::vector<std::int32_t> sorted(std::vector<std::int32_t> pieces)
{
    std::sort(pieces.begin(), pieces.end());
    return pieces;
}

TEST_F(StorageManagerTest, UploadReadsRunOnTheWorkerAndAnswerTheirRequestsInOrder)
{
    ChannelFixture fx({8 * 2 * kBlockSize}, 2 * kBlockSize);
    for (std::uint64_t id : {1, 2}) {
        AddChannel(id, fx);
        for (std::uint32_t p = 0; p < 8; ++p)
            WritePiece(id, fx, p);
    }
    // Channel 5: a short last piece, piece 3 not held.
    ChannelFixture short_fx({6 * 2 * kBlockSize + 100}, 2 * kBlockSize, 7);
    AddChannel(5, short_fx);
    for (std::uint32_t p : {0, 1, 2, 4, 5, 6})
        WritePiece(5, short_fx, p);
    g_gate.Reset();
    SetPieceReadHook(&ReadGate::Read);
    struct Reset {
        ~Reset()
        {
            g_gate.Set(true);
            SetPieceReadHook(nullptr);
        }
    } reset;
    i_io_service io;
    std::thread io_thread([&] { io.run(); });
    storage->SetIoService(&io);

    std::mutex lock;
    std::vector<std::string> heard;
    std::set<std::thread::id> threads;
    std::string out(kBlockSize, '\0');
    auto ask = [&](std::uint64_t id, std::int32_t piece, const std::string& name) {
        BlockRequest req{piece, 0, std::int32_t(kBlockSize), reinterpret_cast<std::uint8_t*>(&out[0])};
        return storage->ReadBlockAsync(
            id, req,
            [&, name](int status) {
                std::lock_guard<std::mutex> g(lock);
                heard.push_back(name + ":" + std::to_string(status));
                threads.insert(std::this_thread::get_id());
            },
            nullptr);
    };
    auto heard_count = [&](std::size_t n) {
        return test_support::wait_until([&] {
            std::lock_guard<std::mutex> g(lock);
            return heard.size() >= n;
        });
    };

    // Nothing is read on the asking thread; a second request for a piece
    // joins its read, and the requests hear on the I/O thread in order.
    g_gate.Set(false);
    for (auto [piece, name] :
         std::vector<std::pair<std::int32_t, std::string>>{{0, "a"}, {1, "b"}, {2, "c"}, {3, "d"}, {4, "e"}, {0, "f"}})
        EXPECT_EQ(BlockRead::kPending, ask(1, piece, name));
    EXPECT_TRUE(heard.empty());
    g_gate.Set(true);
    ASSERT_TRUE(heard_count(6));
    EXPECT_EQ((std::vector<std::string>{"a:0", "f:0", "b:0", "c:0", "d:0", "e:0"}), heard);
    // Read once each; several storage threads may take them in any order.
    EXPECT_EQ((std::vector<std::int32_t>{0, 1, 2, 3, 4}), sorted(g_gate.pieces));
    EXPECT_EQ(1u, threads.size());
    EXPECT_EQ(0u, threads.count(std::this_thread::get_id()));
    // The pieces read last are served from the read cache at once.
    EXPECT_EQ(BlockRead::kServed, ask(1, 4, "hit"));
    EXPECT_EQ(fx.piece_bytes(4).substr(0, kBlockSize), out);
    EXPECT_EQ(BlockRead::kRefused, ask(3, 4, "unknown channel"));
    // A seeding channel keeps the buffers its read cache let go, and no
    // more than a few.
    std::size_t held = 0;
    storage->InspectStore(1, [&](CChannelStorageManager& s) { held = s.BuffersHeld(); });
    EXPECT_GT(held, CChannelStorageManager::kReadCacheEntries);
    EXPECT_LE(held, CChannelStorageManager::kReadCacheEntries + CChannelStorageManager::kMaxReads + 4);

    // A requester moving on to the next piece has the one after it read
    // ahead, but never a piece not held (3), and one out of order (4 after
    // 2) reads nothing ahead. Reused buffers serve the file's bytes only,
    // the short last piece included.
    g_gate.pieces.clear();
    auto read_cached = [&](std::int32_t piece) {
        return test_support::wait_until([&] {
            std::vector<std::int32_t> cached;
            storage->InspectStore(5, [&](CChannelStorageManager& s) { cached = s.ReadCachePieces(); });
            return std::count(cached.begin(), cached.end(), piece) == 1;
        });
    };
    std::size_t answers = heard.size();
    for (std::int32_t piece : {1, 2, 4, 5}) {
        if (ask(5, piece, "ahead") == BlockRead::kPending) {
            ASSERT_TRUE(heard_count(++answers));
        }
        ASSERT_EQ(BlockRead::kServed, ask(5, piece, "ahead"));
        EXPECT_EQ(short_fx.piece_bytes(std::uint32_t(piece)).substr(0, kBlockSize), out) << piece;
    }
    ASSERT_TRUE(read_cached(6));
    BlockRequest last{6, 0, 100, reinterpret_cast<std::uint8_t*>(&out[0])};
    EXPECT_EQ(BlockRead::kServed, storage->ReadBlockAsync(
                                      5, last, [](int) {}, nullptr));
    EXPECT_EQ(short_fx.piece_bytes(6), out.substr(0, 100));
    EXPECT_EQ((std::vector<std::int32_t>{1, 2, 4, 5, 6}), sorted(g_gate.pieces));
    EXPECT_EQ("ahead:0", heard.back());

    // With the disk at its own speed, blocks of a file the system holds in
    // memory are copied at once, without a piece read, once the file is
    // open again after the task completed.
    SetPieceReadHook(nullptr);
    channels->CloseChannelFiles(5);
    answers = heard.size();
    ASSERT_EQ(BlockRead::kPending, ask(5, 0, "reopen"));
    ASSERT_TRUE(heard_count(++answers));
    EXPECT_EQ("reopen:0", heard.back());
    for (std::int32_t piece : {2, 1}) {
        ASSERT_EQ(BlockRead::kServed, ask(5, piece, "memory")) << piece;
        EXPECT_EQ(short_fx.piece_bytes(std::uint32_t(piece)).substr(0, kBlockSize), out) << piece;
    }
    storage->InspectStore(5, [&](CChannelStorageManager& s) {
        EXPECT_EQ((std::vector<std::int32_t>{0, 5, 6}), s.ReadCachePieces());
    });
    EXPECT_EQ(answers, heard.size());
    // Asked for it as a file's range, such a block is served as one and not
    // copied; a piece not held is not; the range stays readable after the
    // channel has closed its files. (A system that cannot tell what it
    // holds in memory has the block copied.)
    bool system_tells = false;
    {
        const std::string probe = dir.file("probe");
        std::ofstream(probe, std::ios::binary) << std::string(8192, 'p');
        const platform::file_handle handle(::open(probe.c_str(), O_RDONLY | O_CLOEXEC));
        system_tells = platform::in_page_cache(handle.fd(), 0, 8192);
    }
    std::fill(out.begin(), out.end(), 'x');
    BlockFile file;
    BlockRequest block{2, std::int32_t(kBlockSize), std::int32_t(kBlockSize), reinterpret_cast<std::uint8_t*>(&out[0])};
    ASSERT_EQ(BlockRead::kServed, storage->ReadBlockAsync(
                                      5, block, [](int) {}, &file));
    const std::string expected = short_fx.piece_bytes(2).substr(kBlockSize, kBlockSize);
    ASSERT_EQ(system_tells, file.handle != nullptr);
    EXPECT_EQ(system_tells ? std::string(kBlockSize, 'x') : expected, out);
    BlockFile none;
    block.piece = 3;
    EXPECT_EQ(BlockRead::kRefused, storage->ReadBlockAsync(
                                       5, block, [](int) {}, &none));
    EXPECT_FALSE(none.handle);
    channels->CloseChannelFiles(5);
    if (file.handle) {
        std::string sent(kBlockSize, '\0');
        ASSERT_EQ(ssize_t(kBlockSize), ::pread(file.handle->fd(), &sent[0], kBlockSize, off_t(file.offset)));
        EXPECT_EQ(expected, sent);
    }
    SetPieceReadHook(&ReadGate::Read);

    // A channel removed with reads started and one waiting its turn: all
    // of them hear that the piece could not be read.
    std::size_t before = heard.size();
    g_gate.Set(false);
    for (auto [piece, name] :
         std::vector<std::pair<std::int32_t, std::string>>{{5, "g"}, {6, "h"}, {7, "i"}, {0, "j"}, {1, "k"}})
        EXPECT_EQ(BlockRead::kPending, ask(2, piece, name));
    storage->RemoveChannel(2);
    g_gate.Set(true);
    ASSERT_TRUE(heard_count(before + 5));
    EXPECT_EQ((std::vector<std::string>{"g:-1", "h:-1", "i:-1", "j:-1", "k:-1"}),
              std::vector<std::string>(heard.begin() + std::ptrdiff_t(before), heard.end()));

    // Storage stops completing on the I/O thread: a read waiting its turn
    // hears at once, the started ones once the disk is done, all with 995.
    before = heard.size();
    g_gate.Set(false);
    for (auto [piece, name] :
         std::vector<std::pair<std::int32_t, std::string>>{{5, "l"}, {6, "m"}, {7, "n"}, {0, "o"}, {1, "p"}})
        EXPECT_EQ(BlockRead::kPending, ask(1, piece, name));
    io.set_stopped();
    io.stop();
    io_thread.join();
    std::thread stopper([&] { storage->SetIoService(nullptr); });
    ASSERT_TRUE(heard_count(before + 1));
    EXPECT_EQ("p:995", heard.back());
    g_gate.Set(true);
    stopper.join();
    EXPECT_EQ((std::vector<std::string>{"p:995", "l:995", "m:995", "n:995", "o:995"}),
              std::vector<std::string>(heard.begin() + std::ptrdiff_t(before), heard.end()));
    // Without an I/O thread a piece is read at once, as before.
    EXPECT_EQ(BlockRead::kServed, ask(1, 7, "sync"));
    EXPECT_EQ(fx.piece_bytes(7).substr(0, kBlockSize), out);
}

TEST_F(StorageManagerTest, DuplicateAndRemovedChannels)
{
    ChannelFixture fx({kBlockSize}, kBlockSize);
    AddChannel(1, fx);
    storage->OnChannelAdded(1, {0}, {{0}}, {kBlockSize});
    EXPECT_EQ(1u, sink.ready.size());
    // Tables that disagree make no store.
    storage->OnChannelAdded(5, {0, 0}, {{0}}, {kBlockSize});
    std::vector<std::uint8_t> bitmap;
    EXPECT_FALSE(storage->GetBitmap(5, bitmap));
    EXPECT_EQ(1u, sink.errors.size());
    storage->RemoveChannel(1);
    EXPECT_FALSE(storage->GetBitmap(1, bitmap));
    EXPECT_FALSE(Write(1, fx, 0, 0));
    storage->SetCmdEvent(nullptr);
}

}   // namespace

namespace {

// The download manager as storage sees it: a task-map lock taken in every
// event, one piece picker per ready channel, and a call back into storage
// from inside the piece-check event.
struct TaskMapSink : IStorageManagerEvent {
    std::recursive_mutex task_map;   // recursive, as the download manager's critical section
    IStorageManager* storage = nullptr;
    std::map<std::uint64_t, std::unique_ptr<CBlockRequestMap>> pickers;
    std::atomic<int> failed_checks{0};

    void OnChannelStorageReady(std::uint64_t id, const std::vector<std::uint8_t>& bitmap, const Tables& blocks,
                               const std::vector<std::uint32_t>& lengths) override
    {
        std::lock_guard<std::recursive_mutex> g(task_map);
        pickers[id] = std::make_unique<CBlockRequestMap>(blocks, bitmap, lengths);
    }
    void OnPieceChecked(std::uint64_t id, std::uint32_t piece, std::uint8_t result) override
    {
        std::lock_guard<std::recursive_mutex> g(task_map);
        std::vector<std::uint8_t> bitmap;
        storage->GetBitmap(id, bitmap);
        if (result == 0) {
            ++failed_checks;
            auto it = pickers.find(id);
            if (it != pickers.end())
                it->second->ResetPiece(std::int32_t(piece));
        }
    }
    void IncTaskStorageCounter(std::uint64_t) override { std::lock_guard<std::recursive_mutex> g(task_map); }
};

}   // namespace

TEST(StorageConcurrencyTest, WritesChecksReadsAndPreparationFromSeveralThreadsFinish)
{
    test_support::TempDir dir;
    CChannelManager channels(dir.file("data"));
    CStorageManager storage(&channels);
    TaskMapSink sink;
    sink.storage = &storage;
    storage.SetEvent(&sink);
    const std::uint32_t piece = 4 * kBlockSize;
    const ChannelFixture fx1({12 * piece}, piece, 1), fx2({12 * piece - 5000}, piece, 2);
    const ChannelFixture* fixtures[] = {&fx1, &fx2};
    for (std::uint64_t id : {1, 2}) {
        const ChannelFixture& fx = *fixtures[id - 1];
        ASSERT_TRUE(channels.AddChannel(id, std::int32_t(piece), "g", 1, fx.file_list(),
                                        dir.file("save" + std::to_string(id))));
        std::lock_guard<std::recursive_mutex> g(sink.task_map);   // the download manager prepares under its lock
        ASSERT_TRUE(channels.PrepareChannelFiles(id));
    }

    std::atomic<bool> writers_done{false};
    std::atomic<int> bad_reads{0}, passes_left{0};
    auto writer = [&](std::uint64_t id, bool corrupt_first) {
        const ChannelFixture& fx = *fixtures[id - 1];
        for (int pass = 0; pass < 40 && !channels.IsChannelVerified(id); ++pass) {
            for (std::uint32_t i = 0; i < fx.piece_count() * 4; ++i) {
                // Pieces in a scattered order, blocks in order inside them.
                const std::uint32_t p = (i / 4 * 5 + std::uint32_t(pass)) % fx.piece_count();
                const std::uint32_t b = i % 4;
                std::string bytes = fx.piece_bytes(p).substr(std::size_t(b) * kBlockSize, kBlockSize);
                if (bytes.empty())
                    continue;
                if (corrupt_first && pass == 0 && (p + b) % 5 == 0)
                    bytes[0] ^= 0x5a;
                BlockRequest req;
                req.piece = std::int32_t(p);
                req.offset = std::int32_t(b * kBlockSize);
                req.length = std::int32_t(bytes.size());
                req.data = reinterpret_cast<std::uint8_t*>(&bytes[0]);
                storage.WriteBlock(id, req);
            }
        }
        if (!channels.IsChannelVerified(id))
            ++passes_left;
    };
    auto reader = [&] {
        std::uint32_t n = 0;
        while (!writers_done) {
            const std::uint32_t p = (n++ * 7) % fx1.piece_count();
            std::string out(kBlockSize, '\0');
            BlockRequest req;
            req.piece = std::int32_t(p);
            req.length = std::int32_t(kBlockSize);
            req.data = reinterpret_cast<std::uint8_t*>(&out[0]);
            if (storage.ReadBlock(1, req) && out != fx1.piece_bytes(p).substr(0, kBlockSize))
                ++bad_reads;
            Tables stored;
            storage.GetChannelStoreData(2, stored);
        }
    };
    auto preparer = [&] {
        const ChannelFixture small({3 * piece}, piece, 3);
        for (std::uint64_t id = 100; id < 160; ++id) {
            if (!channels.AddChannel(id, std::int32_t(piece), "g" + std::to_string(id), 1, small.file_list()))
                continue;
            {
                std::lock_guard<std::recursive_mutex> g(sink.task_map);
                channels.PrepareChannelFiles(id);
            }
            {
                std::lock_guard<std::recursive_mutex> g(sink.task_map);
                sink.pickers.erase(id);
            }
            storage.RemoveChannel(id);
            channels.RemoveChannel(id);
        }
    };

    std::promise<void> finished;
    std::thread runner([&] {
        std::thread w1(writer, 1, true), w2(writer, 2, true), w3(writer, 1, false);
        std::thread r(reader), p(preparer);
        w1.join();
        w2.join();
        w3.join();
        p.join();
        writers_done = true;
        r.join();
        finished.set_value();
    });
    if (finished.get_future().wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
        ADD_FAILURE() << "storage threads blocked each other";
        std::abort();   // the threads cannot be joined
    }
    runner.join();
    EXPECT_EQ(0, passes_left.load());
    EXPECT_EQ(0, bad_reads.load());
    EXPECT_GT(sink.failed_checks.load(), 0);
    EXPECT_TRUE(channels.IsChannelVerified(1));
    EXPECT_TRUE(channels.IsChannelVerified(2));
    channels.CloseChannelFiles(1);
    channels.CloseChannelFiles(2);
    EXPECT_EQ(fx1.files()[0].content, test_support::ReadAll(dir.file("save1") + "/dir/file0.bin"));
    EXPECT_EQ(fx2.files()[0].content, test_support::ReadAll(dir.file("save2") + "/dir/file0.bin"));
}

// Posts from several threads in bursts, each waiting for its burst before
// the next, so the worker keeps falling asleep while others post: every
// item runs (a lost wake-up would leave a burst queued for good).
TEST(StorageConcurrencyTest, PostsFromSeveralThreadsAllRun)
{
    constexpr int kThreads = 4;
    constexpr int kBursts = 300;
    constexpr int kBurst = 4;
    StorageWorker worker;
    ASSERT_TRUE(worker.Start());
    std::atomic<int> stuck{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            std::atomic<int> done{0};
            for (int b = 0; b < kBursts && stuck == 0; ++b) {
                for (int i = 0; i < kBurst; ++i)
                    worker.Post([] {}, [&] { ++done; }, 1);
                if (!test_support::wait_until([&] { return done == (b + 1) * kBurst; }, 10000))
                    ++stuck;
            }
        });
    }
    for (std::thread& p : posters)
        p.join();
    EXPECT_EQ(0, stuck.load()) << "posted work never ran";
}
