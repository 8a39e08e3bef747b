#include "net/conn/lent_block_receiver.h"

#include "platform/invariant.h"

#include <algorithm>
#include <cstring>

void lent_block_receiver::plan(const std::vector<BlockRequest>& asked, const lender& lend)
{
    std::size_t kept = 0;
    while (kept < m_expected.size() && kept < asked.size() && m_expected[kept].block.SameBlock(asked[kept]))
        ++kept;
    // Only the front can be under way, and its request stays first until
    // it is delivered.
    VR_INVARIANT(kept > 0 || !in_progress());
    m_expected.erase(m_expected.begin() + std::ptrdiff_t(kept), m_expected.end());
    for (std::size_t i = kept; i < asked.size() && m_expected.size() < kMaxExpected; ++i) {
        const BlockRequest& b = asked[i];
        std::shared_ptr<zeq::i_block_loan> loan = lend(b);
        if (!loan || loan->blocks() != 1 || loan->size() != std::uint32_t(b.length))
            break;
        expected e;
        e.block = b;
        e.loan = std::move(loan);
        peer_wire::block_data_head({std::uint32_t(b.piece), std::uint32_t(b.offset), std::uint32_t(b.length)},
                                   e.head.data());
        m_expected.push_back(std::move(e));
    }
}

bool lent_block_receiver::adopt(const std::uint8_t* buffer, std::uint32_t tail)
{
    if (tail == 0)
        return true;
    if (m_expected.empty() || in_progress())
        return false;
    expected& e = m_expected.front();
    const std::uint32_t head = std::min(tail, peer_wire::kBlockDataHead);
    if (!peer_wire::block_data_head_matches(buffer, head, e.head.data()))
        return false;
    // A partial packet is shorter than the length its head gives.
    const std::uint32_t body = tail - head;
    if (body >= std::uint32_t(e.block.length))
        return false;
    std::memcpy(e.got.data(), buffer, head);
    std::memcpy(e.loan->data(), buffer + head, body);
    e.head_got = head;
    e.body_got = body;
    return true;
}

void lent_block_receiver::layout(std::uint8_t* buffer, std::uint32_t capacity, std::vector<i_receive_span>& spans) const
{
    spans.clear();
    std::uint32_t planned = 0;
    for (const expected& e : m_expected) {
        if (e.head_got < peer_wire::kBlockDataHead)
            spans.push_back(
                {const_cast<std::uint8_t*>(e.got.data()) + e.head_got, peer_wire::kBlockDataHead - e.head_got});
        spans.push_back({e.loan->data() + e.body_got, std::uint32_t(e.block.length) - e.body_got});
        planned += peer_wire::kBlockDataHead + std::uint32_t(e.block.length);
    }
    VR_INVARIANT(planned < capacity);
    spans.push_back({buffer, capacity - planned});
}

std::shared_ptr<void> lent_block_receiver::share() const
{
    auto loans = std::make_shared<std::vector<std::shared_ptr<zeq::i_block_loan>>>();
    loans->reserve(m_expected.size());
    for (const expected& e : m_expected)
        loans->push_back(e.loan);
    return loans;
}

std::uint32_t lent_block_receiver::land(std::uint32_t bytes, std::uint8_t* buffer, const delivery& deliver)
{
    std::uint32_t left = bytes;
    while (left > 0 && !m_expected.empty()) {
        expected& e = m_expected.front();
        if (e.head_got < peer_wire::kBlockDataHead) {
            const std::uint32_t n = std::min(left, peer_wire::kBlockDataHead - e.head_got);
            e.head_got += n;
            left -= n;
            if (!peer_wire::block_data_head_matches(e.got.data(), e.head_got, e.head.data()))
                return fall_back(left, buffer);
            continue;
        }
        const std::uint32_t n = std::min(left, std::uint32_t(e.block.length) - e.body_got);
        e.body_got += n;
        left -= n;
        if (e.body_got == std::uint32_t(e.block.length)) {
            const expected done = std::move(e);
            m_expected.pop_front();
            deliver(done.block, *done.loan);
        }
    }
    // Past every expected packet the receive went on into the buffer.
    return left;
}

std::uint32_t lent_block_receiver::fall_back(std::uint32_t rest, std::uint8_t* buffer)
{
    // Where this receive's `rest` bytes went: the front's data, then the
    // packets after it, then the buffer.
    struct piece {
        const std::uint8_t* data;
        std::uint32_t length;
    };
    std::vector<piece> pieces;
    const expected& front = m_expected.front();
    pieces.push_back({front.got.data(), front.head_got});
    std::uint32_t to_buffer = rest;
    for (std::size_t i = 0; i < m_expected.size() && to_buffer > 0; ++i) {
        const expected& e = m_expected[i];
        if (i > 0) {
            const std::uint32_t n = std::min(to_buffer, peer_wire::kBlockDataHead);
            pieces.push_back({e.got.data(), n});
            to_buffer -= n;
        }
        const std::uint32_t n = std::min(to_buffer, std::uint32_t(e.block.length) - e.body_got);
        pieces.push_back({e.loan->data() + e.body_got, n});
        to_buffer -= n;
    }
    std::uint32_t gathered = 0;
    for (const piece& p : pieces)
        gathered += p.length;
    // The buffer's bytes move behind what comes before them in the stream.
    std::memmove(buffer + gathered, buffer, to_buffer);
    std::uint32_t at = 0;
    for (const piece& p : pieces) {
        std::memcpy(buffer + at, p.data, p.length);
        at += p.length;
    }
    m_expected.clear();
    return gathered + to_buffer;
}
