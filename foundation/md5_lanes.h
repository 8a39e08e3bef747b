#pragma once
// MD5 of many independent streams side by side. One stream's MD5 cannot go
// faster than its chain of dependent steps, but the same steps of separate
// streams fit the lanes of a vector register: with AVX2 eight states advance
// for about the cost of one, with AVX-512 sixteen. Digests are those of
// RFC 1321 (the same as MD5Digest).

#include <cstddef>
#include <cstdint>

// MD5 bytes per compression block.
constexpr std::size_t kMd5BlockSize = 64;
// States one call of Md5AdvanceLanes can take.
constexpr std::size_t kMd5MaxLanes = 16;

// A running MD5: the chaining words, the bytes added so far and the bytes
// of a block not complete yet. Plain data: copyable, no allocation.
struct Md5State {
    std::uint32_t h[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    std::uint64_t bytes = 0;   // added since the start
    std::uint8_t tail[kMd5BlockSize] = {};

    // Bytes of `tail` in use (the partial block awaiting more input).
    std::size_t TailLength() const { return std::size_t(bytes % kMd5BlockSize); }
    // Adds `length` bytes (data may be null when length is 0).
    void Update(const void* data, std::size_t length);
    // Writes the digest of everything added; the state starts over.
    void Final(unsigned char out[16]);
    // Forgets everything added.
    void Reset() { *this = Md5State(); }
};

// Advances `count` states (at most kMd5MaxLanes), state i over `blocks`
// whole blocks at data[i]. Each state must have no partial block
// (TailLength() == 0); the states and buffers must all be distinct.
void Md5AdvanceLanes(Md5State* const* states, const std::uint8_t* const* data, std::size_t count, std::size_t blocks);

// Streams one Md5AdvanceLanes call hashes at the cost of one: 16 with
// AVX-512, 8 with AVX2, 1 on plain scalar code. Chosen once from the CPU;
// VR_MD5_LANES in the environment caps it (0 or 1: scalar only).
std::size_t Md5LaneWidth();

// Sets the width used from now on, capped by what the CPU has (1: the
// scalar code); returns the width in use before. For tests and benchmarks.
std::size_t Md5SetLaneWidth(std::size_t width);

// Widths this CPU can run (1, and 8 and 16 where supported).
bool Md5LaneWidthSupported(std::size_t width);
