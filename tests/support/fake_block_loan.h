// A loan of consecutive blocks for the connection tests: the bytes are the
// loan's own, and each commit hands the next block to `write` as a
// received block's copy would be.
#pragma once

#include "net/conn/block_loan.h"
#include "picker/block_request.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace test_support {

class FakeBlockLoan : public zeq::i_block_loan {
public:
    using writer = std::function<bool(const BlockRequest&)>;

    // Counts itself in `alive` while it exists (the count may outlive the
    // task that lent it).
    FakeBlockLoan(std::int32_t piece, std::int32_t offset, std::vector<std::uint32_t> lengths, writer write,
                  std::shared_ptr<std::atomic<int>> alive)
        : m_piece(piece),
          m_offset(offset),
          m_lengths(std::move(lengths)),
          m_write(std::move(write)),
          m_alive(std::move(alive))
    {
        for (std::uint32_t n : m_lengths)
            m_bytes.resize(m_bytes.size() + n);
        m_alive->fetch_add(1);
    }
    ~FakeBlockLoan() override { m_alive->fetch_sub(1); }
    FakeBlockLoan(const FakeBlockLoan&) = delete;
    FakeBlockLoan& operator=(const FakeBlockLoan&) = delete;

    std::uint8_t* data() override { return m_bytes.data(); }
    std::uint32_t size() const override { return std::uint32_t(m_bytes.size()); }
    std::uint32_t blocks() const override { return std::uint32_t(m_lengths.size()); }
    bool commit() override
    {
        if (m_next >= m_lengths.size())
            return false;
        BlockRequest block;
        block.piece = m_piece;
        block.offset = m_offset + std::int32_t(m_next * kBlockSize);
        block.length = std::int32_t(m_lengths[m_next]);
        block.data = m_bytes.data() + std::size_t(m_next) * kBlockSize;
        ++m_next;
        return m_write(block);
    }

private:
    std::int32_t m_piece;
    std::int32_t m_offset;
    std::vector<std::uint32_t> m_lengths;
    std::vector<std::uint8_t> m_bytes;
    writer m_write;
    std::shared_ptr<std::atomic<int>> m_alive;
    std::size_t m_next = 0;
};

}   // namespace test_support
