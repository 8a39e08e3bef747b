// Receives the blocks a peer connection has asked for straight into
// storage's write cache. A peer answers requests in the order they were
// sent, so the bytes to come are known in advance: for each block asked,
// its packet's head and then its data. The receiver holds a loan of each
// block's place and lays the next receive out as
// [head][block][head][block]...[the connection's buffer], so the data lands
// where storage keeps it and is never copied.
//
// Whatever differs from what was expected (another packet, another block,
// another layout of the same packet) is gathered back into the buffer in
// stream order and parsed as any packet is; every loan is given up first,
// so a block is never taken twice.
//
// Used on the connection's I/O thread only, between receives.
#pragma once

#include "net/conn/block_loan.h"
#include "net/conn/peer_wire.h"
#include "net/io/stream_socket.h"
#include "picker/block_request.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class lent_block_receiver {
public:
    // The place of one block in storage; null when storage cannot lend it.
    using lender = std::function<std::shared_ptr<zeq::i_block_loan>(const BlockRequest&)>;
    // An expected block has come in whole into its loan.
    using delivery = std::function<void(const BlockRequest&, zeq::i_block_loan&)>;

    // Blocks expected at most (two spans each, and the buffer's).
    static constexpr std::size_t kMaxExpected = (i_stream_socket::max_receive_spans - 1) / 2;

    // Keeps the expected blocks that are still the first of `asked`, in
    // order (the others are given up), then lends the places of the blocks
    // after them until one cannot be lent.
    void plan(const std::vector<BlockRequest>& asked, const lender& lend);

    // Takes the connection's partial packet (`tail` bytes at `buffer`) when
    // it begins the packet of the first expected block: true, and the
    // buffer holds nothing to keep. False when it does not (the next
    // receive then fills the buffer as usual).
    bool adopt(const std::uint8_t* buffer, std::uint32_t tail);

    // The spans of the next receive: the rest of the expected packets, then
    // `buffer` for whatever follows, short enough that a mismatch's bytes
    // gathered back still fit `capacity`.
    void layout(std::uint8_t* buffer, std::uint32_t capacity, std::vector<i_receive_span>& spans) const;

    // A share of every loan, for the receive in flight into them.
    std::shared_ptr<void> share() const;

    // `bytes` came in as laid out: every block now whole is delivered, in
    // order. Returns how many bytes at the front of `buffer` are to be
    // parsed: those past the expected packets, or after a mismatch
    // everything from the mismatching packet on.
    std::uint32_t land(std::uint32_t bytes, std::uint8_t* buffer, const delivery& deliver);

    bool empty() const { return m_expected.empty(); }
    // Blocks laid out for the receives to come: their bytes arrive in this
    // order whatever else happens to their requests.
    std::size_t size() const { return m_expected.size(); }
    // Part of an expected packet has come in.
    bool in_progress() const { return !m_expected.empty() && m_expected.front().head_got != 0; }
    // Gives every loan up (nothing may be in progress).
    void clear() { m_expected.clear(); }

private:
    struct expected {
        BlockRequest block;
        std::shared_ptr<zeq::i_block_loan> loan;
        std::array<std::uint8_t, peer_wire::kBlockDataHead> head;   // what the packet's head must be
        std::array<std::uint8_t, peer_wire::kBlockDataHead> got;    // what came
        std::uint32_t head_got = 0;
        std::uint32_t body_got = 0;
    };

    // Moves what came from the front expected packet on (its head being
    // wrong) into `buffer`, followed by the `rest` bytes of this receive
    // laid out after it; gives every loan up. Returns the bytes gathered.
    std::uint32_t fall_back(std::uint32_t rest, std::uint8_t* buffer);

    std::deque<expected> m_expected;
};
