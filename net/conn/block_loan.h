// Write-cache bytes storage lends to a ranged-HTTP receive: consecutive
// blocks of one piece that are missing and that nobody else receives or
// writes. The body is received straight into them instead of into the
// connection's buffer and copied from there.
//
// Ownership: whoever holds the loan keeps its bytes valid and the blocks
// reserved (storage neither evicts, frees, resets nor writes them); a
// receive in flight into the bytes holds a share of its own, so the bytes
// outlive the receive whatever closes the connection meanwhile. When the
// last share goes, the blocks not committed are given up (they are missing
// again).
#pragma once

#include <cstdint>

namespace zeq {

class i_block_loan {
public:
    virtual ~i_block_loan() = default;

    // The first lent block's bytes; the others follow without a gap.
    virtual std::uint8_t* data() = 0;
    // Bytes of all the lent blocks.
    virtual std::uint32_t size() const = 0;
    // Lent blocks.
    virtual std::uint32_t blocks() const = 0;
    // The next lent block (in order) is in: storage takes it as it takes a
    // received block's copy. False when it was dropped instead (its piece
    // was reset meanwhile, or the channel is gone).
    virtual bool commit() = 0;
};

}   // namespace zeq
