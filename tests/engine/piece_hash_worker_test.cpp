#include "engine/piece_hash_worker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
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

// Pieces waiting together are hashed on several threads (one core's MD5
// would cap a checked download), each digest still that of its piece.
TEST(PieceHashWorker, PiecesWaitingTogetherAreHashedOnSeveralThreads)
{
    if (PieceHashWorker::MaxThreads() < 2)
        GTEST_SKIP() << "one core";
    const std::size_t length = 8 << 20;
    PieceHashWorker worker;
    std::vector<std::vector<std::uint8_t>> pieces;
    std::vector<std::shared_ptr<PieceHash>> hashes;
    for (std::uint8_t i = 0; i < 4; ++i) {
        pieces.push_back(Pattern(length, i));
        hashes.push_back(std::make_shared<PieceHash>(pieces.back().data(), std::uint32_t(length)));
        hashes.back()->SetReady(std::uint32_t(length));
    }
    for (const auto& hash : hashes)
        worker.Post(hash);
    // Each thread is busy with a piece when the next one comes.
    EXPECT_GE(worker.Threads(), 2u);
    EXPECT_LE(worker.Threads(), PieceHashWorker::MaxThreads());
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        unsigned char want[kMd5DigestSize], got[kMd5DigestSize];
        MD5Digest(pieces[i].data(), length, want);
        hashes[i]->Finish(got);
        EXPECT_EQ(Hex(want), Hex(got)) << i;
    }
}

// Once detached, neither the worker nor Advance reads the buffer again.
TEST(PieceHashWorker, DetachedHashLeavesTheBufferAlone)
{
    PieceHashWorker worker;
    auto buffer = std::make_unique<std::vector<std::uint8_t>>(Pattern(200000, 9));
    auto hash = std::make_shared<PieceHash>(buffer->data(), std::uint32_t(buffer->size()));
    hash->Detach();
    buffer.reset();   // under ASan a read of it would be reported
    hash->SetReady(200000);
    worker.Post(hash);
    hash->Advance();
    worker.Post(hash);
}

}   // namespace
