// Bytes per second of MD5 over independent 1 MiB buffers, one call of
// Md5AdvanceLanes for as many of them as a width takes, at each width this
// CPU runs, beside the one-shot MD5Digest (libcrypto).
//   md5_lanes [rounds]
#include "foundation/md5.h"
#include "foundation/md5_lanes.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t kBuffer = 1 << 20;

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}   // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    std::vector<std::vector<std::uint8_t>> buffers(kMd5MaxLanes, std::vector<std::uint8_t>(kBuffer));
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        for (std::size_t j = 0; j < kBuffer; ++j)
            buffers[i][j] = std::uint8_t(i * 7 + j * 13);
    }
    const auto start = std::chrono::steady_clock::now();
    unsigned char digest[kMd5DigestSize];
    for (int r = 0; r < rounds; ++r)
        MD5Digest(buffers[0].data(), kBuffer, digest);
    std::printf("%-28s %8.0f MB/s\n", "MD5Digest (libcrypto)", rounds * double(kBuffer) / Seconds(start) / 1e6);
    for (std::size_t width : {1, 8, 16}) {
        if (!Md5LaneWidthSupported(width))
            continue;
        Md5SetLaneWidth(width);
        std::vector<Md5State> states(width);
        std::vector<Md5State*> lanes;
        std::vector<const std::uint8_t*> data;
        for (std::size_t i = 0; i < width; ++i) {
            lanes.push_back(&states[i]);
            data.push_back(buffers[i].data());
        }
        const auto t = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; ++r)
            Md5AdvanceLanes(lanes.data(), data.data(), width, kBuffer / kMd5BlockSize);
        const double rate = rounds * double(kBuffer * width) / Seconds(t) / 1e6;
        std::printf("lanes, width %-15zu %8.0f MB/s (one core)\n", width, rate);
    }
    return 0;
}
