#include "foundation/md5_lanes.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
// GCC 12 warns inside its own AVX-512 header (the "undefined" vectors
// some intrinsics start from), wherever they are used.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#define VR_MD5_X86 1
#endif

// The 64 steps of one block: round function, the four words in their turn,
// message word, rotation, additive constant. Each code path below defines
// STEP for its own registers and expands this list.
// clang-format off
#define MD5_STEPS(STEP) \
    STEP(F, a, b, c, d, 0, 7, 0xd76aa478u) \
    STEP(F, d, a, b, c, 1, 12, 0xe8c7b756u) \
    STEP(F, c, d, a, b, 2, 17, 0x242070dbu) \
    STEP(F, b, c, d, a, 3, 22, 0xc1bdceeeu) \
    STEP(F, a, b, c, d, 4, 7, 0xf57c0fafu) \
    STEP(F, d, a, b, c, 5, 12, 0x4787c62au) \
    STEP(F, c, d, a, b, 6, 17, 0xa8304613u) \
    STEP(F, b, c, d, a, 7, 22, 0xfd469501u) \
    STEP(F, a, b, c, d, 8, 7, 0x698098d8u) \
    STEP(F, d, a, b, c, 9, 12, 0x8b44f7afu) \
    STEP(F, c, d, a, b, 10, 17, 0xffff5bb1u) \
    STEP(F, b, c, d, a, 11, 22, 0x895cd7beu) \
    STEP(F, a, b, c, d, 12, 7, 0x6b901122u) \
    STEP(F, d, a, b, c, 13, 12, 0xfd987193u) \
    STEP(F, c, d, a, b, 14, 17, 0xa679438eu) \
    STEP(F, b, c, d, a, 15, 22, 0x49b40821u) \
    STEP(G, a, b, c, d, 1, 5, 0xf61e2562u) \
    STEP(G, d, a, b, c, 6, 9, 0xc040b340u) \
    STEP(G, c, d, a, b, 11, 14, 0x265e5a51u) \
    STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aau) \
    STEP(G, a, b, c, d, 5, 5, 0xd62f105du) \
    STEP(G, d, a, b, c, 10, 9, 0x02441453u) \
    STEP(G, c, d, a, b, 15, 14, 0xd8a1e681u) \
    STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8u) \
    STEP(G, a, b, c, d, 9, 5, 0x21e1cde6u) \
    STEP(G, d, a, b, c, 14, 9, 0xc33707d6u) \
    STEP(G, c, d, a, b, 3, 14, 0xf4d50d87u) \
    STEP(G, b, c, d, a, 8, 20, 0x455a14edu) \
    STEP(G, a, b, c, d, 13, 5, 0xa9e3e905u) \
    STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8u) \
    STEP(G, c, d, a, b, 7, 14, 0x676f02d9u) \
    STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8au) \
    STEP(H, a, b, c, d, 5, 4, 0xfffa3942u) \
    STEP(H, d, a, b, c, 8, 11, 0x8771f681u) \
    STEP(H, c, d, a, b, 11, 16, 0x6d9d6122u) \
    STEP(H, b, c, d, a, 14, 23, 0xfde5380cu) \
    STEP(H, a, b, c, d, 1, 4, 0xa4beea44u) \
    STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9u) \
    STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60u) \
    STEP(H, b, c, d, a, 10, 23, 0xbebfbc70u) \
    STEP(H, a, b, c, d, 13, 4, 0x289b7ec6u) \
    STEP(H, d, a, b, c, 0, 11, 0xeaa127fau) \
    STEP(H, c, d, a, b, 3, 16, 0xd4ef3085u) \
    STEP(H, b, c, d, a, 6, 23, 0x04881d05u) \
    STEP(H, a, b, c, d, 9, 4, 0xd9d4d039u) \
    STEP(H, d, a, b, c, 12, 11, 0xe6db99e5u) \
    STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8u) \
    STEP(H, b, c, d, a, 2, 23, 0xc4ac5665u) \
    STEP(I, a, b, c, d, 0, 6, 0xf4292244u) \
    STEP(I, d, a, b, c, 7, 10, 0x432aff97u) \
    STEP(I, c, d, a, b, 14, 15, 0xab9423a7u) \
    STEP(I, b, c, d, a, 5, 21, 0xfc93a039u) \
    STEP(I, a, b, c, d, 12, 6, 0x655b59c3u) \
    STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92u) \
    STEP(I, c, d, a, b, 10, 15, 0xffeff47du) \
    STEP(I, b, c, d, a, 1, 21, 0x85845dd1u) \
    STEP(I, a, b, c, d, 8, 6, 0x6fa87e4fu) \
    STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0u) \
    STEP(I, c, d, a, b, 6, 15, 0xa3014314u) \
    STEP(I, b, c, d, a, 13, 21, 0x4e0811a1u) \
    STEP(I, a, b, c, d, 4, 6, 0xf7537e82u) \
    STEP(I, d, a, b, c, 11, 10, 0xbd3af235u) \
    STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bbu) \
    STEP(I, b, c, d, a, 9, 21, 0xeb86d391u)
// clang-format on

namespace {

std::uint32_t Load32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

void Store32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

std::uint32_t Rotl(std::uint32_t x, int s)
{
    return (x << s) | (x >> (32 - s));
}

#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))
#define MD5_SCALAR_STEP(f, a, b, c, d, g, s, k) (a) = (b) + Rotl((a) + MD5_##f(b, c, d) + (k) + m[g], s);

void CompressScalar(std::uint32_t h[4], const std::uint8_t* p, std::size_t blocks)
{
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (; blocks > 0; --blocks, p += kMd5BlockSize) {
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = Load32(p + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEPS(MD5_SCALAR_STEP)
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    h[0] = a;
    h[1] = b;
    h[2] = c;
    h[3] = d;
}

#ifdef VR_MD5_X86

#define MD5_AVX2_F(b, c, d) _mm256_xor_si256((d), _mm256_and_si256((b), _mm256_xor_si256((c), (d))))
#define MD5_AVX2_G(b, c, d) _mm256_xor_si256((c), _mm256_and_si256((d), _mm256_xor_si256((b), (c))))
#define MD5_AVX2_H(b, c, d) _mm256_xor_si256(_mm256_xor_si256((b), (c)), (d))
#define MD5_AVX2_I(b, c, d) _mm256_xor_si256((c), _mm256_or_si256((b), _mm256_xor_si256((d), ones)))
#define MD5_AVX2_STEP(f, a, b, c, d, g, s, k)                                                                          \
    (a) = _mm256_add_epi32((a), _mm256_add_epi32(m[g], _mm256_set1_epi32(std::int32_t(k))));                           \
    (a) = _mm256_add_epi32((a), MD5_AVX2_##f(b, c, d));                                                                \
    (a) = _mm256_add_epi32((b), _mm256_or_si256(_mm256_slli_epi32((a), (s)), _mm256_srli_epi32((a), 32 - (s))));

// The chaining words of the states, word by word: row w holds word w of
// every lane, ready for one vector load.
using LaneWords = std::uint32_t[4][kMd5MaxLanes];

// Lane l takes state and buffer l; lanes past `count` repeat lane 0 (their
// results are dropped).
void GatherLanes(Md5State* const* states, const std::uint8_t* const* data, std::size_t count, std::size_t lanes,
                 const std::uint8_t** p, LaneWords& words)
{
    for (std::size_t l = 0; l < lanes; ++l) {
        const std::size_t from = l < count ? l : 0;
        p[l] = data[from];
        for (int w = 0; w < 4; ++w)
            words[w][l] = states[from]->h[w];
    }
}

void ScatterLanes(const LaneWords& words, std::size_t count, Md5State* const* states)
{
    for (std::size_t l = 0; l < count; ++l) {
        for (int w = 0; w < 4; ++w)
            states[l]->h[w] = words[w][l];
    }
}

// Eight rows of eight words (one row per lane) into eight vectors of one
// word for every lane.
__attribute__((target("avx2"))) inline void TransposeAvx2(const __m256i* r, __m256i* out)
{
    const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    out[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    out[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    out[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    out[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    out[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    out[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    out[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    out[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

__attribute__((target("avx2"))) void CompressAvx2(Md5State* const* states, const std::uint8_t* const* data,
                                                  std::size_t count, std::size_t blocks)
{
    constexpr std::size_t kLanes = 8;
    const std::uint8_t* p[kLanes];
    LaneWords words;
    GatherLanes(states, data, count, kLanes, p, words);
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[0]));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[1]));
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[2]));
    __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[3]));
    const __m256i ones = _mm256_set1_epi32(-1);
    for (std::size_t off = 0; off < blocks * kMd5BlockSize; off += kMd5BlockSize) {
        __m256i m[16];
        __m256i r[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l)
            r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + off));
        TransposeAvx2(r, m);
        for (std::size_t l = 0; l < kLanes; ++l)
            r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + off + 32));
        TransposeAvx2(r, m + 8);
        const __m256i a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEPS(MD5_AVX2_STEP)
        a = _mm256_add_epi32(a, a0);
        b = _mm256_add_epi32(b, b0);
        c = _mm256_add_epi32(c, c0);
        d = _mm256_add_epi32(d, d0);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[0]), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[1]), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[2]), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[3]), d);
    ScatterLanes(words, count, states);
}

// AVX-512 has the three-input logic and the rotation as single steps.
#define MD5_AVX512_F(b, c, d) _mm512_ternarylogic_epi32((b), (c), (d), 0xca)
#define MD5_AVX512_G(b, c, d) _mm512_ternarylogic_epi32((b), (c), (d), 0xe4)
#define MD5_AVX512_H(b, c, d) _mm512_ternarylogic_epi32((b), (c), (d), 0x96)
#define MD5_AVX512_I(b, c, d) _mm512_ternarylogic_epi32((b), (c), (d), 0x39)
#define MD5_AVX512_STEP(f, a, b, c, d, g, s, k)                                                                        \
    (a) = _mm512_add_epi32((a), _mm512_add_epi32(m[g], _mm512_set1_epi32(std::int32_t(k))));                           \
    (a) = _mm512_add_epi32((a), MD5_AVX512_##f(b, c, d));                                                              \
    (a) = _mm512_add_epi32((b), _mm512_rol_epi32((a), (s)));

__attribute__((target("avx512f"))) void CompressAvx512(Md5State* const* states, const std::uint8_t* const* data,
                                                       std::size_t count, std::size_t blocks)
{
    constexpr std::size_t kLanes = 16;
    const std::uint8_t* p[kLanes];
    LaneWords words;
    GatherLanes(states, data, count, kLanes, p, words);
    __m512i a = _mm512_loadu_si512(words[0]);
    __m512i b = _mm512_loadu_si512(words[1]);
    __m512i c = _mm512_loadu_si512(words[2]);
    __m512i d = _mm512_loadu_si512(words[3]);
    for (std::size_t off = 0; off < blocks * kMd5BlockSize; off += kMd5BlockSize) {
        // Sixteen rows of sixteen words (one row per lane) turned into
        // sixteen vectors of one word for every lane.
        __m512i r[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l)
            r[l] = _mm512_loadu_si512(p[l] + off);
        __m512i t[kLanes];
        for (std::size_t l = 0; l < kLanes; l += 2) {
            t[l] = _mm512_unpacklo_epi32(r[l], r[l + 1]);
            t[l + 1] = _mm512_unpackhi_epi32(r[l], r[l + 1]);
        }
        // u[4q + j]: in 128-bit chunk i, word 4i + j of lanes 4q .. 4q + 3.
        __m512i u[kLanes];
        for (std::size_t q = 0; q < kLanes; q += 4) {
            u[q] = _mm512_unpacklo_epi64(t[q], t[q + 2]);
            u[q + 1] = _mm512_unpackhi_epi64(t[q], t[q + 2]);
            u[q + 2] = _mm512_unpacklo_epi64(t[q + 1], t[q + 3]);
            u[q + 3] = _mm512_unpackhi_epi64(t[q + 1], t[q + 3]);
        }
        __m512i m[16];
        for (std::size_t j = 0; j < 4; ++j) {
            const __m512i lo01 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x44);
            const __m512i hi01 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xee);
            const __m512i lo23 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x44);
            const __m512i hi23 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xee);
            m[j] = _mm512_shuffle_i32x4(lo01, lo23, 0x88);
            m[4 + j] = _mm512_shuffle_i32x4(lo01, lo23, 0xdd);
            m[8 + j] = _mm512_shuffle_i32x4(hi01, hi23, 0x88);
            m[12 + j] = _mm512_shuffle_i32x4(hi01, hi23, 0xdd);
        }
        const __m512i a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEPS(MD5_AVX512_STEP)
        a = _mm512_add_epi32(a, a0);
        b = _mm512_add_epi32(b, b0);
        c = _mm512_add_epi32(c, c0);
        d = _mm512_add_epi32(d, d0);
    }
    _mm512_storeu_si512(words[0], a);
    _mm512_storeu_si512(words[1], b);
    _mm512_storeu_si512(words[2], c);
    _mm512_storeu_si512(words[3], d);
    ScatterLanes(words, count, states);
}

#endif   // VR_MD5_X86

std::atomic<std::size_t> g_width{0};   // 0: not chosen yet

std::size_t Capped(std::size_t width)
{
    if (width >= 16 && Md5LaneWidthSupported(16))
        return 16;
    if (width >= 8 && Md5LaneWidthSupported(8))
        return 8;
    return 1;
}

}   // namespace

bool Md5LaneWidthSupported(std::size_t width)
{
    if (width == 1)
        return true;
#ifdef VR_MD5_X86
    if (width == 8)
        return __builtin_cpu_supports("avx2") != 0;
    if (width == 16)
        return __builtin_cpu_supports("avx512f") != 0;
#endif
    return false;
}

std::size_t Md5LaneWidth()
{
    std::size_t width = g_width.load(std::memory_order_relaxed);
    if (width != 0)
        return width;
    width = kMd5MaxLanes;
    if (const char* text = std::getenv("VR_MD5_LANES"))
        width = std::size_t(std::strtoul(text, nullptr, 10));
    width = Capped(width);
    std::size_t none = 0;
    // A width set meanwhile by Md5SetLaneWidth stands.
    if (!g_width.compare_exchange_strong(none, width, std::memory_order_relaxed))
        return none;
    return width;
}

std::size_t Md5SetLaneWidth(std::size_t width)
{
    const std::size_t before = Md5LaneWidth();
    g_width.store(Capped(width), std::memory_order_relaxed);
    return before;
}

void Md5AdvanceLanes(Md5State* const* states, const std::uint8_t* const* data, std::size_t count, std::size_t blocks)
{
    if (blocks == 0)
        return;
    const std::size_t width = Md5LaneWidth();
    for (std::size_t first = 0; first < count; first += width) {
        const std::size_t n = std::min(width, count - first);
#ifdef VR_MD5_X86
        if (n > 1 && width == 16)
            CompressAvx512(states + first, data + first, n, blocks);
        else if (n > 1 && width == 8)
            CompressAvx2(states + first, data + first, n, blocks);
        else
#endif
            CompressScalar(states[first]->h, data[first], blocks);
    }
    for (std::size_t i = 0; i < count; ++i)
        states[i]->bytes += blocks * kMd5BlockSize;
}

void Md5State::Update(const void* data, std::size_t length)
{
    if (length == 0)
        return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    const std::size_t used = TailLength();
    bytes += length;
    if (used != 0) {
        const std::size_t take = std::min(kMd5BlockSize - used, length);
        std::memcpy(tail + used, p, take);
        p += take;
        length -= take;
        if (used + take < kMd5BlockSize)
            return;
        CompressScalar(h, tail, 1);
    }
    const std::size_t whole = length / kMd5BlockSize;
    CompressScalar(h, p, whole);
    p += whole * kMd5BlockSize;
    length -= whole * kMd5BlockSize;
    if (length != 0)
        std::memcpy(tail, p, length);
}

void Md5State::Final(unsigned char out[16])
{
    const std::uint64_t bits = bytes * 8;
    std::uint8_t pad[kMd5BlockSize + 8] = {0x80};
    const std::size_t used = TailLength();
    const std::size_t fill = used < 56 ? 56 - used : 120 - used;
    for (int i = 0; i < 8; ++i)
        pad[fill + std::size_t(i)] = std::uint8_t(bits >> (8 * i));
    Update(pad, fill + 8);
    for (int w = 0; w < 4; ++w)
        Store32(out + 4 * w, h[w]);
    Reset();
}
