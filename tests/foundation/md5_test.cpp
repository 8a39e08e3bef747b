#include "foundation/md5.h"
#include "foundation/md5_lanes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Vector {
    const char* input;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5Test, Rfc1321VectorsOneShotAndIncremental)
{
    for (const Vector& v : kRfc1321) {
        SCOPED_TRACE(v.input);
        unsigned char digest[16];
        MD5Digest(v.input, std::strlen(v.input), digest);
        EXPECT_EQ(md5_to_hex(digest), v.digest);
        EXPECT_EQ(md5_hex(v.input, std::strlen(v.input)), v.digest);

        // Byte by byte through the incremental form.
        Md5Context ctx;
        Md5State state;
        for (const char* p = v.input; *p; ++p) {
            ctx.update(p, 1);
            state.Update(p, 1);
        }
        unsigned char inc[16];
        ctx.final(inc);
        EXPECT_EQ(std::memcmp(inc, digest, 16), 0);
        state.Final(inc);
        EXPECT_EQ(std::memcmp(inc, digest, 16), 0);
    }
}

TEST(Md5Test, NullDataWithZeroLengthIsTheEmptyDigest)
{
    unsigned char digest[16];
    MD5Digest(nullptr, 0, digest);
    EXPECT_EQ(md5_to_hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5Test, LargeBufferMatchesIncrementalInUnevenChunks)
{
    std::vector<unsigned char> data(3 * 1024 * 1024 + 17);
    std::mt19937 rng(7);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    unsigned char whole[16];
    MD5Digest(data.data(), data.size(), whole);

    Md5Context ctx;
    Md5State state;
    size_t off = 0;
    size_t step = 1;
    while (off < data.size()) {
        const size_t n = std::min(step, data.size() - off);
        ctx.update(data.data() + off, n);
        state.Update(data.data() + off, n);
        off += n;
        step = step * 3 + 1;   // 1, 4, 13, 40 ... crosses every block boundary shape
        if (step > 100000)
            step = 5;
    }
    unsigned char inc[16];
    ctx.final(inc);
    EXPECT_EQ(md5_to_hex(inc), md5_to_hex(whole));
    state.Final(inc);
    EXPECT_EQ(md5_to_hex(inc), md5_to_hex(whole));

    // final() starts the context over.
    ctx.update("abc", 3);
    ctx.final(inc);
    EXPECT_EQ(md5_to_hex(inc), "900150983cd24fb0d6963f7d28e17f72");
    state.Update("abc", 3);
    state.Final(inc);
    EXPECT_EQ(md5_to_hex(inc), "900150983cd24fb0d6963f7d28e17f72");
}

// States advanced side by side end with the digests of their own streams,
// at every width this CPU runs, for any number of states, different
// lengths before and after, and odd tails.
TEST(Md5Test, LanesGiveEachStreamItsOwnDigest)
{
    std::mt19937 rng(11);
    std::vector<size_t> widths;
    for (size_t w : {1, 8, 16}) {
        if (Md5LaneWidthSupported(w))
            widths.push_back(w);
    }
    const size_t restore = Md5LaneWidth();
    for (size_t width : widths) {
        ASSERT_EQ(Md5SetLaneWidth(width) > 0, true);
        ASSERT_EQ(Md5LaneWidth(), width);
        for (size_t count = 1; count <= kMd5MaxLanes; ++count) {
            SCOPED_TRACE("width " + std::to_string(width) + ", " + std::to_string(count) + " states");
            for (int round = 0; round < 3; ++round) {
                const size_t blocks = rng() % 4;
                std::vector<std::vector<unsigned char>> streams(count);
                std::vector<Md5State> states(count);
                std::vector<Md5State*> state_ptrs;
                std::vector<const std::uint8_t*> lane_data;
                std::vector<size_t> heads(count);
                for (size_t i = 0; i < count; ++i) {
                    // Whole blocks before (each lane its own), the common
                    // blocks, then a tail of any length.
                    heads[i] = (rng() % 3) * kMd5BlockSize;
                    streams[i].resize(heads[i] + blocks * kMd5BlockSize + rng() % 150);
                    for (auto& b : streams[i])
                        b = static_cast<unsigned char>(rng());
                    states[i].Update(streams[i].data(), heads[i]);
                    state_ptrs.push_back(&states[i]);
                    lane_data.push_back(streams[i].data() + heads[i]);
                }
                Md5AdvanceLanes(state_ptrs.data(), lane_data.data(), count, blocks);
                for (size_t i = 0; i < count; ++i) {
                    const size_t done = heads[i] + blocks * kMd5BlockSize;
                    states[i].Update(streams[i].data() + done, streams[i].size() - done);
                    unsigned char got[16];
                    unsigned char want[16];
                    states[i].Final(got);
                    MD5Digest(streams[i].data(), streams[i].size(), want);
                    EXPECT_EQ(md5_to_hex(got), md5_to_hex(want)) << "state " << i;
                }
            }
        }
    }
    Md5SetLaneWidth(restore);
    EXPECT_EQ(Md5LaneWidth(), restore);
}

TEST(Md5Test, ResetForgetsInput)
{
    Md5Context ctx;
    ctx.update("garbage", 7);
    ctx.reset();
    ctx.update("a", 1);
    unsigned char out[16];
    ctx.final(out);
    EXPECT_EQ(md5_to_hex(out), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(Md5Test, HexCaseAndParsing)
{
    const std::string upper = md5_hex("abc", 3, true);
    EXPECT_EQ(upper, "900150983CD24FB0D6963F7D28E17F72");
    unsigned char a[16];
    unsigned char b[16];
    ASSERT_TRUE(md5_from_hex(upper, a));
    ASSERT_TRUE(md5_from_hex("900150983cd24fb0d6963f7d28e17f72", b));
    EXPECT_EQ(std::memcmp(a, b, 16), 0);
    EXPECT_EQ(md5_to_hex(a), "900150983cd24fb0d6963f7d28e17f72");

    const char* bad[] = {"", "900150983cd24fb0d6963f7d28e17f7", "900150983cd24fb0d6963f7d28e17f722",
                         "900150983cd24fb0d6963f7d28e17fzz", " 00150983cd24fb0d6963f7d28e17f72"};
    for (const char* text : bad) {
        unsigned char out[16] = {1};
        EXPECT_FALSE(md5_from_hex(text, out)) << text;
        EXPECT_EQ(out[0], 1) << "output touched on failure";
    }
}

}   // namespace
