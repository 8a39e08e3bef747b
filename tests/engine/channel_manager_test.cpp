#include "engine/channel_manager.h"

#include "engine/piece_hash_worker.h"
#include "foundation/md5.h"
#include "platform/paths.h"
#include "support/channel_fixture.h"
#include "support/heap_peak.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

namespace {

using test_support::ChannelFixture;
using Tables = std::vector<std::vector<std::uint8_t>>;

// Records what the channel manager reports to its owner.
struct RecordingOwner : IChannelManagerEvent {
    struct Added {
        std::uint64_t id;
        std::vector<std::uint8_t> bitmap;
        Tables blocks;
        std::vector<std::uint32_t> lengths;
    };
    std::vector<Added> added;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> checks;
    PieceHashWorker* hasher = nullptr;   // where posted hashes go, if anywhere
    std::size_t posted = 0;

    void OnChannelAdded(std::uint64_t id, const std::vector<std::uint8_t>& bitmap, const Tables& blocks,
                        const std::vector<std::uint32_t>& lengths) override
    {
        added.push_back({id, bitmap, blocks, lengths});
    }
    void SetPiece(std::uint64_t, std::uint32_t piece, std::uint8_t result) override
    {
        checks.emplace_back(piece, result);
    }
    void PostHash(const std::shared_ptr<PieceHash>& hash) override
    {
        ++posted;
        if (hasher)
            hasher->Post(hash);
    }
};

class ChannelManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager = std::make_unique<CChannelManager>(dir.file("data"));
        manager->SetOwner(&owner);
    }

    // Writes piece p of the fixture through VerifyBlock in one run.
    bool Deliver(std::uint64_t id, const ChannelFixture& fx, std::uint32_t p, std::uint8_t check = 1)
    {
        const std::string bytes = fx.piece_bytes(p);
        return manager->VerifyBlock(id, std::int32_t(p), 0, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                    std::int32_t(bytes.size()), check);
    }

    // Puts the fixture's files on disk under `folder`.
    void PutFiles(const ChannelFixture& fx, const std::string& folder)
    {
        for (const auto& f : fx.files()) {
            std::string name = f.name;
            std::replace(name.begin(), name.end(), '\\', '/');
            platform::create_folder(platform::parent_folder(folder + "/" + name));
            test_support::WriteAll(folder + "/" + name, f.content);
        }
    }

    test_support::TempDir dir;
    RecordingOwner owner;
    std::unique_ptr<CChannelManager> manager;
};

TEST_F(ChannelManagerTest, FreshChannelLayoutAndFiles)
{
    // 3 files: 100000 bytes (2 pieces, the second 34464), 0 bytes (no
    // piece), 65536 bytes (1 piece).
    ChannelFixture fx({100000, 0, 65536}, 65536);
    const std::string save = dir.file("save");
    ASSERT_TRUE(manager->AddChannel(11, 65536, "game", 3, fx.file_list(), save));
    EXPECT_FALSE(manager->AddChannel(11, 65536, "game", 3, fx.file_list(), save));
    EXPECT_EQ(165536u, manager->GetChannelTotalSize(11));
    const std::uint64_t id = 11;
    EXPECT_EQ(165536u, manager->GetTotalSizeOf(&id));
    EXPECT_EQ(0u, manager->GetTotalSizeOf(nullptr));
    EXPECT_FALSE(manager->IsChannelVerified(11));   // no verify table before preparation

    ASSERT_TRUE(manager->PrepareChannelFiles(11));
    ASSERT_EQ(1u, owner.added.size());
    const auto& a = owner.added[0];
    EXPECT_EQ((std::vector<std::uint32_t>{65536, 34464, 65536}), a.lengths);
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0}), a.bitmap);
    EXPECT_EQ((Tables{{0, 0}, {0, 0}, {0, 0}}), a.blocks);
    // Only the empty file is made now; the others come with their data.
    EXPECT_FALSE(platform::file_exists(save + "/dir/file0.bin"));
    EXPECT_EQ(0, platform::file_size(save + "/dir/file1.bin"));
    EXPECT_FALSE(platform::file_exists(save + "/dir/file2.bin"));
    std::uint32_t verified = 9, pieces = 9;
    EXPECT_TRUE(manager->GetVerifyProgress(11, &verified, &pieces));
    EXPECT_EQ(0u, verified);
    EXPECT_EQ(3u, pieces);

    std::int32_t in_file = -1;
    std::uint64_t size = 0;
    // The path inside the task: namesakes in two folders are two files.
    EXPECT_EQ("dir/file0.bin", manager->GetFileNameForBlock(11, 1, &in_file));
    EXPECT_EQ(1, in_file);
    EXPECT_EQ("dir/file2.bin", manager->GetFileNameForRange(11, 2, &in_file, &size));
    EXPECT_EQ(0, in_file);
    EXPECT_EQ(65536u, size);
    EXPECT_EQ("", manager->GetFileNameForRange(11, 3, &in_file, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(manager->DataFolder() + "game", manager->GetChannelFolder(11));
}

TEST_F(ChannelManagerTest, UnknownChannelAnswers)
{
    std::int32_t in_file = 5;
    std::uint32_t v = 1, n = 1;
    std::uint8_t byte = 0;
    PieceCacheEntry entry;
    entry.length = 1;
    entry.buffer.resize(1);
    EXPECT_FALSE(manager->PrepareChannelFiles(99));
    EXPECT_FALSE(manager->VerifyBlock(99, 0, 0, &byte, 1, 1));
    EXPECT_FALSE(manager->ReadPiece(99, entry));
    EXPECT_EQ("", manager->GetChannelFolder(99));
    EXPECT_EQ("", manager->GetFileNameForBlock(99, 0, &in_file));
    EXPECT_FALSE(manager->IsChannelVerified(99));
    EXPECT_FALSE(manager->GetVerifyProgress(99, &v, &n));
    EXPECT_EQ(0u, v + n);
    EXPECT_EQ(0u, manager->GetChannelTotalSize(99));
    EXPECT_EQ(1, manager->CloseChannelFiles(99));
    EXPECT_EQ(1, manager->SetFilesFlag(99, 1));
    manager->RemoveChannel(99);
}

TEST_F(ChannelManagerTest, PathsUnderSavePathAndDataFolder)
{
    ChannelFixture fx({10}, 65536);
    fx.files()[0].name = "\\top.bin";
    ASSERT_TRUE(manager->AddChannel(1, 65536, "g", 1, fx.file_list(), dir.file("save") + "/"));
    ASSERT_TRUE(manager->PrepareChannelFiles(1));
    ASSERT_TRUE(Deliver(1, fx, 0));
    EXPECT_TRUE(platform::file_exists(dir.file("save") + "/top.bin"));

    ASSERT_TRUE(manager->AddChannel(2, 65536, "rootdir", 1, fx.file_list()));
    ASSERT_TRUE(manager->PrepareChannelFiles(2));
    ASSERT_TRUE(Deliver(2, fx, 0));
    EXPECT_TRUE(platform::file_exists(dir.file("data") + "/rootdir/top.bin"));
    EXPECT_EQ(dir.file("data") + "/rootdir", manager->GetChannelFolder(2));
}

TEST_F(ChannelManagerTest, RefusedFileListsAndFolders)
{
    ChannelFixture fx({10}, 65536);
    ChannelFixture evil({10}, 65536);
    evil.files()[0].name = "..\\..\\escape.bin";
    EXPECT_FALSE(manager->AddChannel(1, 65536, "g", 1, evil.file_list()));
    EXPECT_FALSE(manager->AddChannel(2, 65536, "..", 1, fx.file_list()));
    EXPECT_FALSE(manager->AddChannel(3, 65536, std::string(60, 'r'), 1, fx.file_list()));
    EXPECT_FALSE(manager->AddChannel(4, 0, "g", 1, fx.file_list()));
    EXPECT_FALSE(manager->AddChannel(5, -32768, "g", 1, fx.file_list()));
    EXPECT_FALSE(manager->AddChannel(6, 65536, "g", 1, "<notalist/>"));
    EXPECT_FALSE(manager->PrepareChannelFiles(1));
    EXPECT_FALSE(platform::path_exists(dir.file("escape.bin")));
}

TEST_F(ChannelManagerTest, VerifyWritesAndChecksPieces)
{
    ChannelFixture fx({200000}, 65536);   // 4 pieces, the last 3392 bytes
    ASSERT_TRUE(manager->AddChannel(3, 65536, "g", 1, fx.file_list(), dir.file("s")));
    ASSERT_TRUE(manager->PrepareChannelFiles(3));
    // A run written without the check flag raises nothing.
    ASSERT_TRUE(Deliver(3, fx, 0, 0));
    EXPECT_TRUE(owner.checks.empty());
    ASSERT_TRUE(Deliver(3, fx, 0));
    ASSERT_TRUE(Deliver(3, fx, 3));
    // Piece 1 arrives with one wrong byte.
    std::string bad = fx.piece_bytes(1);
    bad[100] ^= 1;
    ASSERT_TRUE(
        manager->VerifyBlock(3, 1, 0, reinterpret_cast<const std::uint8_t*>(bad.data()), std::int32_t(bad.size()), 1));
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {3, 1}, {1, 0}}), owner.checks);
    std::uint32_t v = 0, n = 0;
    ASSERT_TRUE(manager->GetVerifyProgress(3, &v, &n));
    EXPECT_EQ(2u, v);
    EXPECT_EQ(4u, n);
    // Runs inside a piece, then the check of the whole piece.
    const std::string p2 = fx.piece_bytes(2);
    const auto* d = reinterpret_cast<const std::uint8_t*>(p2.data());
    ASSERT_TRUE(manager->VerifyBlock(3, 2, 32768, d + 32768, 32768, 0));
    ASSERT_TRUE(manager->VerifyBlock(3, 2, 0, d, 32768, 1));
    ASSERT_TRUE(Deliver(3, fx, 1));
    EXPECT_TRUE(manager->IsChannelVerified(3));
    EXPECT_EQ(fx.files()[0].content, test_support::ReadAll(dir.file("s") + "/dir/file0.bin"));
    // Runs outside their piece are refused.
    EXPECT_FALSE(manager->VerifyBlock(3, 3, 0, d, 3393, 0));
    EXPECT_FALSE(manager->VerifyBlock(3, 4, 0, d, 1, 0));
    EXPECT_FALSE(manager->VerifyBlock(3, 0, -1, d, 1, 0));
    EXPECT_FALSE(manager->VerifyBlock(3, 0, 0, nullptr, 1, 0));

    PieceCacheEntry entry;
    entry.piece = 3;
    entry.length = 3392;
    entry.buffer.resize(3392);
    ASSERT_TRUE(manager->ReadPiece(3, entry));
    EXPECT_EQ(fx.piece_bytes(3), std::string(entry.buffer.begin(), entry.buffer.end()));
    entry.length = 4000;
    EXPECT_FALSE(manager->ReadPiece(3, entry));
}

// A piece read for upload holds no lock of its channel while it is read:
// the I/O thread's copies from memory of another piece go on meanwhile.
TEST_F(ChannelManagerTest, UploadReadsLeaveTheChannelFree)
{
    const std::uint32_t piece = 1u << 20;
    ChannelFixture fx({2 * piece}, piece);
    ASSERT_TRUE(manager->AddChannel(3, std::int32_t(piece), "g", 1, fx.file_list(), dir.file("s")) &&
                manager->PrepareChannelFiles(3) && Deliver(3, fx, 0, 0) && Deliver(3, fx, 1, 0));
    std::atomic<int> reads{0};
    std::thread reader([&] {
        PieceCacheEntry entry{1, piece, std::vector<std::uint8_t>(piece)};
        while (reads < 400 && manager->ReadPiece(3, entry))
            ++reads;
        reads = 400;
    });
    std::uint8_t block[kBlockSize];
    int tries = 0, copied = 0;
    while (reads == 0)   // counted while the reads go on
        std::this_thread::yield();
    for (; tries < 2000 && reads < 400; ++tries)
        copied += manager->ReadCachedBlock(3, 0, 0, block, kBlockSize) ? 1 : 0;
    reads = 400;
    reader.join();
    EXPECT_GT(copied * 2, tries) << copied << " of " << tries;
}

TEST_F(ChannelManagerTest, GivenDigestOfTheLastRunDecidesOnlyWhenItMatches)
{
    ChannelFixture fx({4 * 65536}, 65536);
    ASSERT_TRUE(manager->AddChannel(3, 65536, "g", 1, fx.file_list(), dir.file("s")));
    ASSERT_TRUE(manager->PrepareChannelFiles(3));
    struct Case {
        const char* name;
        bool good_bytes;    // the piece on disk is the seed's
        bool good_digest;   // the digest given is the seed's
        std::uint8_t result;
    };
    const Case cases[] = {
        {"both right", true, true, 1},
        {"a wrong digest is confirmed against the bytes", true, false, 1},
        {"wrong bytes, wrong digest", false, false, 0},
    };
    std::uint32_t p = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.checks.clear();
        std::string bytes = fx.piece_bytes(p);
        if (!c.good_bytes)
            bytes[70000 - 65536] ^= 1;
        std::string digest(kMd5DigestSize, '\0');
        MD5Digest(fx.piece_bytes(p).data(), fx.piece_bytes(p).size(), reinterpret_cast<unsigned char*>(&digest[0]));
        if (!c.good_digest)
            digest[3] ^= 1;
        const auto* d = reinterpret_cast<const std::uint8_t*>(bytes.data());
        // The leading half went to the file before; the last run carries the digest.
        ASSERT_TRUE(manager->VerifyBlock(3, std::int32_t(p), 0, d, 32768, 0));
        ASSERT_TRUE(manager->VerifyPiece(3, std::int32_t(p), 32768, d + 32768, 32768,
                                         reinterpret_cast<const unsigned char*>(digest.data())));
        EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{p, c.result}}), owner.checks);
        ++p;
    }
    // Out of its piece: refused, nothing checked.
    owner.checks.clear();
    const unsigned char digest[kMd5DigestSize] = {};
    const std::string bytes = fx.piece_bytes(3);
    EXPECT_FALSE(manager->VerifyPiece(3, 3, 32768, reinterpret_cast<const std::uint8_t*>(bytes.data()), 32769, digest));
    EXPECT_FALSE(manager->VerifyPiece(3, 4, 0, reinterpret_cast<const std::uint8_t*>(bytes.data()), 1, digest));
    EXPECT_TRUE(owner.checks.empty());
}

TEST_F(ChannelManagerTest, ShortDigestTextFailsOnlyItsPieces)
{
    ChannelFixture fx({3 * 65536}, 65536);
    // Digest text for the first piece and 10 characters of the second.
    std::string list = fx.file_list();
    const std::string md5s = fx.block_md5(0);
    list.replace(list.find(md5s), md5s.size(), md5s.substr(0, 42));
    list.replace(list.find("<fileblock_md5len>96<"), 21, "<fileblock_md5len>42<");
    ASSERT_TRUE(manager->AddChannel(4, 65536, "g", 1, list, dir.file("s")));
    ASSERT_TRUE(manager->PrepareChannelFiles(4));
    for (std::uint32_t p = 0; p < 3; ++p)
        ASSERT_TRUE(Deliver(4, fx, p));
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}, {1, 0}, {2, 0}}), owner.checks);
}

TEST_F(ChannelManagerTest, PieceSizeNotAMultipleOfTheBlockSize)
{
    ChannelFixture fx({100000}, 40000);   // pieces 40000, 40000, 20000
    ASSERT_TRUE(manager->AddChannel(5, 40000, "g", 1, fx.file_list(), dir.file("s")));
    ASSERT_TRUE(manager->PrepareChannelFiles(5));
    ASSERT_EQ(1u, owner.added.size());
    EXPECT_EQ((std::vector<std::uint32_t>{40000, 40000, 20000}), owner.added[0].lengths);
    // Every piece gets a block for its tail, so it can complete.
    EXPECT_EQ((Tables{{0, 0}, {0, 0}, {0}}), owner.added[0].blocks);
}

TEST_F(ChannelManagerTest, ResumeRechecksWhatTheBitmapClaims)
{
    ChannelFixture fx({4 * 65536, 65536 + 100}, 65536);   // pieces 0-3 in file 0, 4-5 in file 1
    const std::string save = dir.file("s");
    PutFiles(fx, save);
    // Piece 2 got damaged on disk since the bitmap was saved.
    std::string damaged = fx.files()[0].content;
    damaged[2 * 65536 + 7] ^= 0x55;
    test_support::WriteAll(save + "/dir/file0.bin", damaged);
    // The saved state: pieces 0-3 verified; piece 4 verified; piece 5 has
    // its first block written.
    const std::vector<std::uint8_t> bitmap{1, 1, 1, 1, 1, 0};
    const Tables blocks{{1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1}};
    Tables partial = blocks;
    partial[5] = {1};
    ASSERT_TRUE(manager->AddChannel(6, 65536, "g", 2, fx.file_list(), bitmap, partial, save, 0));
    ASSERT_TRUE(manager->PrepareChannelFiles(6));
    ASSERT_EQ(1u, owner.added.size());
    // Piece 5 has no verified bit but is whole on disk: it is found.
    EXPECT_EQ((std::vector<std::uint8_t>{1, 1, 0, 1, 1, 1}), owner.added[0].bitmap);
    EXPECT_EQ((Tables{{1, 1}, {1, 1}, {0, 0}, {1, 1}, {1, 1}, {1}}), owner.added[0].blocks);
    std::uint32_t v = 0, n = 0;
    ASSERT_TRUE(manager->GetVerifyProgress(6, &v, &n));
    EXPECT_EQ(5u, v);
    EXPECT_FALSE(manager->IsChannelVerified(6));

    // A piece not verified (nor whole on disk) keeps the blocks its table
    // says were written.
    RecordingOwner other;
    CChannelManager second(dir.file("data2"));
    second.SetOwner(&other);
    const Tables half{{1, 1}, {1, 1}, {1, 0}, {1, 1}, {1, 0}, {0}};
    ASSERT_TRUE(second.AddChannel(6, 65536, "g", 2, fx.file_list(), {0, 0, 0, 0, 0, 0}, half, save, 0));
    ASSERT_TRUE(second.PrepareChannelFiles(6));
    ASSERT_EQ(1u, other.added.size());
    EXPECT_EQ((Tables{{1, 1}, {1, 1}, {1, 0}, {1, 1}, {1, 1}, {1}}), other.added[0].blocks);

    // Checked ahead, each piece hashed on the hash workers: the same
    // tables, handed over only by the preparation. A check cancelled
    // half-way keeps nothing; the preparation then does it all.
    PieceHashWorker hasher;
    RecordingOwner ahead;
    ahead.hasher = &hasher;
    CChannelManager third(dir.file("data3"));
    third.SetOwner(&ahead);
    ASSERT_TRUE(third.AddChannel(6, 65536, "g", 2, fx.file_list(), bitmap, partial, save, 0));
    int asked = 0;
    EXPECT_EQ(ChannelCheck::kCancelled, third.CheckChannelFiles(6, [&] { return ++asked > 2; }));
    EXPECT_EQ(2u, ahead.posted);
    ASSERT_TRUE(third.PrepareChannelFiles(6));
    ASSERT_EQ(1u, ahead.added.size());
    EXPECT_EQ(owner.added[0].bitmap, ahead.added[0].bitmap);
    third.RemoveChannel(6);
    ASSERT_TRUE(third.AddChannel(6, 65536, "g", 2, fx.file_list(), bitmap, partial, save, 0));
    ahead.posted = 0;
    EXPECT_EQ(ChannelCheck::kReady, third.CheckChannelFiles(6, [] { return false; }));
    EXPECT_EQ(6u, ahead.posted);
    EXPECT_EQ(1u, ahead.added.size());
    ASSERT_TRUE(third.PrepareChannelFiles(6));
    ASSERT_EQ(2u, ahead.added.size());
    EXPECT_EQ(owner.added[0].bitmap, ahead.added[1].bitmap);
    EXPECT_EQ(owner.added[0].blocks, ahead.added[1].blocks);
    EXPECT_EQ(6u, ahead.posted) << "nothing is checked twice";
}

TEST_F(ChannelManagerTest, ResumeFindsThePiecesWrittenSinceTheLastBitmapSave)
{
    ChannelFixture fx({5 * 65536, 2 * 65536}, 65536);   // pieces 0-4 in file 0, 5-6 in file 1
    const std::string save = dir.file("s");
    ASSERT_TRUE(manager->AddChannel(7, 65536, "g", 2, fx.file_list(), save));
    ASSERT_TRUE(manager->PrepareChannelFiles(7));
    // Downloaded before the kill: pieces 0, 1, 3 and 5 whole, the first
    // block of piece 2, a piece 6 with a wrong byte. Only piece 0 made it
    // into the last bitmap saved.
    for (std::uint32_t p : {0u, 1u, 3u, 5u})
        ASSERT_TRUE(Deliver(7, fx, p));
    const std::string head = fx.piece_bytes(2).substr(0, 32768);
    ASSERT_TRUE(manager->VerifyBlock(7, 2, 0, reinterpret_cast<const std::uint8_t*>(head.data()),
                                     std::int32_t(head.size()), 0));
    std::string wrong = fx.piece_bytes(6);
    wrong[100] ^= 1;
    ASSERT_TRUE(manager->VerifyBlock(7, 6, 0, reinterpret_cast<const std::uint8_t*>(wrong.data()),
                                     std::int32_t(wrong.size()), 1));
    manager.reset();

    RecordingOwner resumed;
    CChannelManager again(dir.file("data"));
    again.SetOwner(&resumed);
    Tables saved(7, std::vector<std::uint8_t>(2, 0));
    saved[0] = {1, 1};
    ASSERT_TRUE(again.AddChannel(7, 65536, "g", 2, fx.file_list(), {1, 0, 0, 0, 0, 0, 0}, saved, save, 0));
    ASSERT_TRUE(again.PrepareChannelFiles(7));
    ASSERT_EQ(1u, resumed.added.size());
    EXPECT_EQ((std::vector<std::uint8_t>{1, 1, 0, 1, 0, 1, 0}), resumed.added[0].bitmap);
    EXPECT_EQ((Tables{{1, 1}, {1, 1}, {0, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 0}}), resumed.added[0].blocks);
}

// A resume of the largest pieces holds slices of them, not whole pieces:
// a bounded number of bytes whatever the piece size, the good pieces
// verified and the spoilt one not; a check cancelled in the middle of a
// piece stops there.
TEST_F(ChannelManagerTest, ResumeOfTheLargestPiecesHoldsSlicesNotWholePieces)
{
    const std::uint32_t piece = 32u << 20;
    ChannelFixture fx({3ull * piece}, piece);
    const std::string save = dir.file("s");
    PutFiles(fx, save);
    {
        std::fstream file(save + "/dir/file0.bin", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(piece) + 12345);
        file.put(char(fx.files()[0].content[std::size_t(piece) + 12345] ^ 1));
    }
    const Tables claimed(3, std::vector<std::uint8_t>(piece / 32768, 1));
    PieceHashWorker hasher;
    owner.hasher = &hasher;
    ASSERT_TRUE(manager->AddChannel(9, std::int32_t(piece), "g", 1, fx.file_list(), {1, 1, 1}, claimed, save, 0));
    {
        test_support::HeapPeak heap;
        ASSERT_TRUE(manager->PrepareChannelFiles(9));
        if (test_support::HeapPeak::supported()) {
            EXPECT_LT(heap.peak(), std::size_t(36) << 20) << "two whole pieces of 32 MiB in memory";
        }
    }
    ASSERT_EQ(1u, owner.added.size());
    EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 1}), owner.added[0].bitmap);
    EXPECT_EQ((Tables{claimed[0], std::vector<std::uint8_t>(piece / 32768, 0), claimed[2]}), owner.added[0].blocks);

    RecordingOwner other;
    other.hasher = &hasher;
    CChannelManager again(dir.file("data2"));
    again.SetOwner(&other);
    ASSERT_TRUE(again.AddChannel(9, std::int32_t(piece), "g", 1, fx.file_list(), {1, 1, 1}, claimed, save, 0));
    int asked = 0;
    EXPECT_EQ(ChannelCheck::kCancelled, again.CheckChannelFiles(9, [&] { return ++asked > 5; }));
    EXPECT_EQ(5u, other.posted) << "read on after the cancel, or in whole pieces";
}

// Files are made by the first write into them, not when the channel is
// prepared (only their folders are): one not written yet is missing, one
// written in part is there, and both a resume and the completion find
// them: a resume takes what the written file holds and fetches what the
// missing one lacks, the channel completes with every byte right, and the
// completed files then serve as history.
TEST_F(ChannelManagerTest, FilesAreMadeByTheirFirstWrite)
{
    ChannelFixture fx({2 * 65536, 65536 + 100, 65536}, 65536);   // pieces 0-1, 2-3, 4
    fx.files()[2].name = "deep\\er\\file2.bin";
    const std::string save = dir.file("s");
    ASSERT_TRUE(manager->AddChannel(8, 65536, "g", 3, fx.file_list(), save));
    ASSERT_TRUE(manager->PrepareChannelFiles(8));
    EXPECT_FALSE(platform::file_exists(save + "/dir/file0.bin"));
    EXPECT_TRUE(platform::folder_exists(save + "/deep/er"));
    EXPECT_FALSE(platform::path_exists(save + "/deep/er/file2.bin"));
    ASSERT_TRUE(Deliver(8, fx, 2));
    EXPECT_TRUE(platform::file_exists(save + "/dir/file1.bin"));
    EXPECT_FALSE(platform::file_exists(save + "/dir/file0.bin"));
    manager.reset();

    // Resumed with a record that claims pieces 0 and 2: the missing file
    // holds nothing, the written one its piece.
    RecordingOwner resumed;
    CChannelManager again(dir.file("data"));
    again.SetOwner(&resumed);
    const Tables saved{{1, 1}, {0, 0}, {1, 1}, {0}, {0, 0}};
    ASSERT_TRUE(again.AddChannel(8, 65536, "g", 3, fx.file_list(), {1, 0, 1, 0, 0}, saved, save, 0));
    ASSERT_TRUE(again.PrepareChannelFiles(8));
    ASSERT_EQ(1u, resumed.added.size());
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 1, 0, 0}), resumed.added[0].bitmap);
    for (std::uint32_t p : {4u, 3u, 1u, 0u}) {
        const std::string bytes = fx.piece_bytes(p);
        ASSERT_TRUE(again.VerifyBlock(8, std::int32_t(p), 0, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      std::int32_t(bytes.size()), 1));
    }
    EXPECT_TRUE(again.IsChannelVerified(8));
    again.CloseChannelFiles(8);
    EXPECT_EQ(fx.files()[0].content, test_support::ReadAll(save + "/dir/file0.bin"));
    EXPECT_EQ(fx.files()[1].content, test_support::ReadAll(save + "/dir/file1.bin"));
    EXPECT_EQ(fx.files()[2].content, test_support::ReadAll(save + "/deep/er/file2.bin"));

    // Complete: taken unchanged as history.
    CChannelManager history(dir.file("data"));
    RecordingOwner third;
    history.SetOwner(&third);
    const Tables all{{1, 1}, {1, 1}, {1, 1}, {1}, {1, 1}};
    ASSERT_TRUE(history.AddChannel(8, 65536, "g", 3, fx.file_list(), {1, 1, 1, 1, 1}, all, save, 1));
    EXPECT_TRUE(history.PrepareChannelFiles(8));
}

TEST_F(ChannelManagerTest, ResumedFileLargerThanTheSeedStartsOver)
{
    ChannelFixture fx({2 * 65536}, 65536);
    const std::string save = dir.file("s");
    PutFiles(fx, save);
    test_support::WriteAll(save + "/dir/file0.bin", fx.files()[0].content + "trailing bytes");
    ASSERT_TRUE(manager->AddChannel(7, 65536, "g", 1, fx.file_list(), {1, 1}, {{1, 1}, {1, 1}}, save, 0));
    ASSERT_TRUE(manager->PrepareChannelFiles(7));
    ASSERT_EQ(1u, owner.added.size());
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0}), owner.added[0].bitmap);
    EXPECT_EQ((Tables{{0, 0}, {0, 0}}), owner.added[0].blocks);
    EXPECT_EQ(std::string(2 * 65536, '\0'), test_support::ReadAll(save + "/dir/file0.bin"));
}

TEST_F(ChannelManagerTest, HistoryTakenUnchangedNeedsEveryFileAtItsSize)
{
    ChannelFixture fx({65536, 100}, 65536);
    const std::string save = dir.file("s");
    const std::vector<std::uint8_t> bitmap{1, 0};
    const Tables blocks{{1, 1}, {0}};
    struct Case {
        const char* what;
        std::function<void()> damage;
        bool ok;
    } cases[] = {
        {"intact", [] {}, true},
        {"a file missing", [&] { platform::delete_file(save + "/dir/file1.bin"); }, false},
        {"a file of another size", [&] { test_support::WriteAll(save + "/dir/file1.bin", "short"); }, false},
    };
    std::uint64_t id = 100;
    for (const Case& c : cases) {
        PutFiles(fx, save);
        c.damage();
        owner.added.clear();
        ASSERT_TRUE(manager->AddChannel(++id, 65536, "g", 2, fx.file_list(), bitmap, blocks, save, 1)) << c.what;
        EXPECT_EQ(c.ok, manager->PrepareChannelFiles(id)) << c.what;
        ASSERT_EQ(c.ok ? 1u : 0u, owner.added.size()) << c.what;
        if (c.ok) {
            EXPECT_EQ(bitmap, owner.added[0].bitmap);
            EXPECT_EQ(blocks, owner.added[0].blocks);
            // The piece the tables lack is still written and checked: the
            // read-only look at the files does not stay behind.
            owner.checks.clear();
            EXPECT_TRUE(Deliver(id, fx, 1)) << c.what;
            EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{1, 1}}), owner.checks) << c.what;
        }
    }
    // Tables that do not fit the layout are refused.
    PutFiles(fx, save);
    ASSERT_TRUE(manager->AddChannel(200, 65536, "g", 2, fx.file_list(), {1}, {{1, 1}}, save, 1));
    EXPECT_FALSE(manager->PrepareChannelFiles(200));
}

TEST_F(ChannelManagerTest, FailedWriteIsReportedAndNothingChecked)
{
    ChannelFixture fx({65536}, 65536);
    ASSERT_TRUE(manager->AddChannel(8, 65536, "g", 1, fx.file_list(), dir.file("s")));
    ASSERT_TRUE(manager->PrepareChannelFiles(8));
    EXPECT_EQ(1, manager->SetFilesFlag(8, 1));   // read-only: writes fail
    EXPECT_FALSE(Deliver(8, fx, 0));
    EXPECT_TRUE(owner.checks.empty());
    EXPECT_EQ(1, manager->SetFilesFlag(8, 0));
    EXPECT_TRUE(Deliver(8, fx, 0));
    EXPECT_EQ(1, manager->CloseChannelFiles(8));
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint8_t>>{{0, 1}}), owner.checks);
    manager->RemoveChannel(8);
    EXPECT_FALSE(manager->IsChannelVerified(8));
    EXPECT_EQ(0u, manager->GetChannelTotalSize(8));
}

}   // namespace

namespace {

std::size_t OpenDescriptors()
{
    std::vector<platform::FolderEntry> entries;
    platform::list_folder("/proc/self/fd", entries);
    return entries.size();
}

TEST_F(ChannelManagerTest, ManyFilesAreNotAllHeldOpen)
{
    ChannelFixture fx(std::vector<std::uint64_t>(300, 1000), 65536);
    const std::size_t before = OpenDescriptors();
    ASSERT_TRUE(manager->AddChannel(9, 65536, "g", 300, fx.file_list(), dir.file("many")));
    ASSERT_TRUE(manager->PrepareChannelFiles(9));
    EXPECT_LT(OpenDescriptors(), before + 10);
    for (std::uint32_t p = 0; p < 300; ++p)
        ASSERT_TRUE(Deliver(9, fx, p));
    EXPECT_LT(OpenDescriptors(), before + 10);
    EXPECT_TRUE(manager->IsChannelVerified(9));
    PieceCacheEntry entry;
    entry.piece = 299;
    entry.length = 1000;
    entry.buffer.resize(1000);
    ASSERT_TRUE(manager->ReadPiece(9, entry));
    EXPECT_EQ(fx.piece_bytes(299), std::string(entry.buffer.begin(), entry.buffer.end()));
}

}   // namespace
