// The first bytes of blocks whose ranged-HTTP answer ended before the
// block was whole (the connection was closed for being slow, the server cut
// the answer, the task gave the run back). The next request for such a
// block asks only for the rest and completes it from here, so a source
// that is slow per connection still finishes its blocks and nothing is
// fetched twice. Storage takes whole blocks only: the bytes wait here.
//
// One per task; shared by every ranged-HTTP connection of the task, on any
// thread. Bounded: the oldest entry goes when kMaxBlocks are held (an
// entry whose block another source completed is never asked for again).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace zeq {

class partial_blocks {
public:
    static constexpr std::size_t kMaxBlocks = 64;

    // Keeps the first `size` bytes of the block at (piece, offset),
    // replacing what was kept of it before. Nothing for size 0.
    void keep(std::int32_t piece, std::int32_t offset, const std::uint8_t* data, std::size_t size);
    // Moves out what is kept of the block (empty when nothing is).
    std::vector<std::uint8_t> take(std::int32_t piece, std::int32_t offset);
    std::size_t size() const;

private:
    struct entry {
        std::vector<std::uint8_t> bytes;
        std::uint64_t serial = 0;   // order of keeping, for the bound
    };
    mutable std::mutex m_lock;   // guards everything below
    std::map<std::pair<std::int32_t, std::int32_t>, entry> m_blocks;
    std::uint64_t m_serial = 0;
};

}   // namespace zeq
