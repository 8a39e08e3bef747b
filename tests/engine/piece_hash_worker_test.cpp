#include "engine/piece_hash_worker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Hex(const unsigned char digest[kMd5DigestSize])
{
    return md5_to_hex(digest);
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(i * 131 + seed + (i >> 9));
    return v;
}

// The digest comes out the same however the bytes arrive: published in
// steps of different sizes with or without the worker, finished at once,
// or parked between two buffers of the same piece.
TEST(PieceHashWorker, DigestIsThatOfTheWholePieceHoweverItArrives)
{
    const std::size_t length = 1000 * 1000 + 7;
    const std::vector<std::uint8_t> piece = Pattern(length, 3);
    unsigned char want[kMd5DigestSize];
    MD5Digest(piece.data(), piece.size(), want);

    struct Case {
        const char* name;
        std::size_t step;   // bytes published at a time; 0: none before Finish
        bool worker;
        bool park_halfway;
    };
    const Case cases[] = {
        {"finished at once", 0, false, false},      {"small steps, worker", 4096, true, false},
        {"big steps, worker", 300000, true, false}, {"steps hashed by the writer", 32768, false, false},
        {"parked halfway", 32768, true, true},
    };
    PieceHashWorker worker;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> buffer(length, 0);
        auto hash = std::make_shared<PieceHash>(buffer.data(), std::uint32_t(length));
        std::size_t ready = 0;
        bool parked = false;
        while (c.step && ready + c.step < length) {
            std::memcpy(buffer.data() + ready, piece.data() + ready, c.step);
            ready += c.step;
            hash->SetReady(std::uint32_t(ready));
            if (c.worker)
                worker.Post(hash);
            else
                hash->Advance();
            if (c.park_halfway && !parked && ready >= length / 2) {
                // The first buffer goes; a second one gets only what follows.
                hash->Park();
                std::vector<std::uint8_t>(length, 0xee).swap(buffer);
                hash->Attach(buffer.data());
                parked = true;
            }
        }
        std::memcpy(buffer.data() + ready, piece.data() + ready, length - ready);
        hash->SetReady(std::uint32_t(length));
        unsigned char got[kMd5DigestSize];
        hash->Finish(got);
        EXPECT_EQ(Hex(want), Hex(got));
    }
}

// Pieces waiting together are hashed side by side in the lanes of a
// thread, and on more threads once more wait than one thread's lanes take
// (one core's MD5 would cap a checked download); each digest still that
// of its piece, whatever its length and wherever its ready mark stops, on
// the scalar code and the vector code alike.
TEST(PieceHashWorker, PiecesWaitingTogetherAreHashedOnSeveralThreads)
{
    if (PieceHashWorker::MaxThreads() < 2)
        GTEST_SKIP() << "one core";
    const std::size_t restore = Md5LaneWidth();
    for (const std::size_t width : {std::size_t(1), std::size_t(kMd5MaxLanes)}) {
        Md5SetLaneWidth(width);
        SCOPED_TRACE("width " + std::to_string(Md5LaneWidth()));
        // More than one thread's lanes take, each a different length.
        const std::size_t count = 2 * Md5LaneWidth() + 1;
        PieceHashWorker worker;
        std::vector<std::vector<std::uint8_t>> pieces;
        std::vector<std::shared_ptr<PieceHash>> hashes;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t length = (1 << 20) + i * 1037;
            pieces.push_back(Pattern(length, std::uint8_t(i)));
            hashes.push_back(std::make_shared<PieceHash>(pieces.back().data(), std::uint32_t(length)));
            // Ready marks off the block boundaries: the lanes stop unevenly.
            hashes.back()->SetReady(std::uint32_t(length / 2 + i * 7));
        }
        for (const auto& hash : hashes)
            worker.Post(hash);
        EXPECT_GE(worker.Threads(), 2u);
        EXPECT_LE(worker.Threads(), PieceHashWorker::MaxThreads());
        for (std::size_t i = 0; i < count; ++i) {
            hashes[i]->SetReady(std::uint32_t(pieces[i].size()));
            worker.Post(hashes[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char want[kMd5DigestSize], got[kMd5DigestSize];
            MD5Digest(pieces[i].data(), pieces[i].size(), want);
            hashes[i]->Finish(got);
            EXPECT_EQ(Hex(want), Hex(got)) << i;
        }
    }
    Md5SetLaneWidth(restore);
}

// Whole pieces (small ones come in one block) wake no thread: the first
// writer to finish takes the waiting ones into its lanes, so that theirs
// find them hashed; every digest is still that of its own bytes.
TEST(PieceHashWorker, WholePiecesAreHashedSideBySideByTheFirstWriter)
{
    const std::size_t restore = Md5LaneWidth();
    Md5SetLaneWidth(kMd5MaxLanes);
    PieceHashWorker worker;
    const std::size_t count = Md5LaneWidth() + 2;
    std::vector<std::vector<std::uint8_t>> pieces;
    std::vector<std::shared_ptr<PieceHash>> hashes;
    for (std::size_t i = 0; i < count; ++i) {
        pieces.push_back(Pattern(32768 + i * 64, std::uint8_t(i)));
        hashes.push_back(std::make_shared<PieceHash>(pieces.back().data(), std::uint32_t(pieces.back().size())));
        hashes.back()->SetReady(std::uint32_t(pieces.back().size()));
        worker.Queue(hashes.back());
    }
    EXPECT_EQ(0u, worker.Threads());
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char want[kMd5DigestSize], got[kMd5DigestSize];
        MD5Digest(pieces[i].data(), pieces[i].size(), want);
        worker.Finish(*hashes[i], got);
        EXPECT_EQ(Hex(want), Hex(got)) << i;
        // The first writer took as many others as its lanes hold.
        if (i == 0 && Md5LaneWidth() > 1) {
            for (std::size_t j = 1; j < Md5LaneWidth(); ++j)
                EXPECT_EQ(pieces[j].size(), hashes[j]->Hashed()) << j;
        }
    }
    Md5SetLaneWidth(restore);
}

// A unit freed on any thread is the next one made: its pages come back
// instead of new ones, and no more than the bound waits, however many
// threads free and take units at once.
TEST(PieceUnit, FreedUnitsAreReusedWithinTheirBound)
{
    PieceUnit::ReleaseKept();
    const std::uint8_t* pages = nullptr;
    {
        PieceUnit unit(PieceBuffer::kUnit);
        pages = unit.data();
    }
    EXPECT_EQ(PieceBuffer::kUnit, PieceUnit::KeptBytes());
    {
        PieceUnit unit(PieceBuffer::kUnit);
        EXPECT_EQ(pages, unit.data());
        EXPECT_EQ(0u, PieceUnit::KeptBytes());
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int round = 0; round < 20; ++round) {
                std::vector<PieceUnit> units;
                for (int i = 0; i < 24; ++i) {
                    units.emplace_back(PieceBuffer::kUnit);
                    std::memset(units.back().data(), t + i, PieceBuffer::kUnit);
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(PieceUnit::KeptBytes(), 0u);
    EXPECT_LE(PieceUnit::KeptBytes(), PieceUnit::kKeptBytes);
    PieceUnit::ReleaseKept();
    EXPECT_EQ(0u, PieceUnit::KeptBytes());
}

// Once detached, neither the worker nor Advance reads the buffer again,
// not even a worker that had the piece in its lanes before.
TEST(PieceHashWorker, DetachedHashLeavesTheBufferAlone)
{
    PieceHashWorker worker;
    for (const bool hashing_before : {false, true}) {
        auto buffer = std::make_unique<std::vector<std::uint8_t>>(Pattern(4 << 20, 9));
        auto hash = std::make_shared<PieceHash>(buffer->data(), std::uint32_t(buffer->size()));
        if (hashing_before) {
            hash->SetReady(2 << 20);
            worker.Post(hash);
        }
        hash->Detach();
        buffer.reset();   // under ASan a read of it would be reported
        hash->SetReady(4 << 20);
        worker.Post(hash);
        hash->Advance();
        worker.Post(hash);
    }
}

}   // namespace
