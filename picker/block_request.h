// The unit of the piece picker, the connections' request queues and piece
// storage: one 32768-byte block of a piece (the last block of a piece holds
// what is left of it).
#pragma once

#include "platform/file_handle.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

// Bytes in a full block.
constexpr std::uint32_t kBlockSize = 32768;

// One block request: the piece, the byte offset inside the piece (block
// index x kBlockSize) and the length. `data` is the source of a write and
// the destination of a read; it is not owned.
struct BlockRequest {
    std::int32_t piece = 0;
    std::int32_t offset = 0;
    std::int32_t length = 0;
    std::uint8_t* data = nullptr;

    // Same block (the data pointer is not compared).
    bool SameBlock(const BlockRequest& o) const { return piece == o.piece && offset == o.offset && length == o.length; }
};

// A connection's queue of block requests.
using BlockRequestQueue = std::deque<BlockRequest>;

// What became of a block read for upload: copied, not served, or waiting
// for its piece to be read from the disk.
enum class BlockRead { kServed, kRefused, kPending };

// Where a block's bytes lie in an open file whose page cache holds them,
// so they can be sent from it without a copy: the handle stays open while
// this (or a send queued from it) holds a share.
struct BlockFile {
    std::shared_ptr<const platform::file_handle> handle;
    std::uint64_t offset = 0;
};

// Runs once the piece a pending read waited for is back: 0 when it is at
// hand (ask again), -1 when it could not be read, 995 when storage stopped
// completing work on the I/O thread first.
using PieceReadHandler = std::function<void(int)>;

// Number of blocks in a piece of `piece_length` bytes: every block is full
// except the last, which holds the remainder.
inline std::uint32_t BlocksInPiece(std::uint32_t piece_length)
{
    return (piece_length + kBlockSize - 1) / kBlockSize;
}

// Length of block `block` of a piece of `piece_length` bytes (0 when the
// block lies outside the piece).
inline std::uint32_t BlockLength(std::uint32_t piece_length, std::uint32_t block)
{
    const std::uint64_t start = std::uint64_t(block) * kBlockSize;
    if (start >= piece_length)
        return 0;
    const std::uint64_t left = piece_length - start;
    return left < kBlockSize ? std::uint32_t(left) : kBlockSize;
}
