// Feeds 1 GiB of received blocks through CStorageManager::WriteBlock: a
// channel of 64 pieces of 4 MiB, four timed rounds, pieces in random order
// with four pieces in flight at a time (as from several connections).
// Every piece is gathered in the write cache, written to its file and
// checked against its MD5 digest. Then md5sum reads the same file for the
// same volume, and both rates are printed.
//
// A first, untimed round fills the file once, so that the timed rounds and
// md5sum both work on a file whose pages the system already holds; that
// round's rate is printed too (it includes the file system allocating the
// file's pages).
//
// Usage: storage_write [folder]   (a fresh folder under $TMPDIR by default)
#include "engine/channel_manager.h"
#include "engine/storage_manager.h"
#include "foundation/md5.h"
#include "platform/paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kPieceSize = 4u << 20;
constexpr std::uint32_t kPieces = 64;
constexpr int kRounds = 4;
constexpr std::uint32_t kInFlight = 4;

// Counts the piece checks.
struct CheckCounter : IStorageManagerEvent {
    std::uint32_t passed = 0;
    std::uint32_t failed = 0;
    void OnChannelStorageReady(std::uint64_t, const std::vector<std::uint8_t>&,
                               const std::vector<std::vector<std::uint8_t>>&,
                               const std::vector<std::uint32_t>&) override
    {
    }
    void OnPieceChecked(std::uint64_t, std::uint32_t, std::uint8_t result) override
    {
        (result == 1 ? passed : failed)++;
    }
    void IncTaskStorageCounter(std::uint64_t) override {}
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string file_list(const std::vector<std::uint8_t>& content)
{
    std::string md5s;
    for (std::uint32_t p = 0; p < kPieces; ++p)
        md5s += md5_hex(content.data() + std::size_t(p) * kPieceSize, kPieceSize, true);
    return "<filelist><file><fileindex>0</fileindex><filemd5>" + md5_hex(content.data(), content.size(), true) +
           "</filemd5><filename>data.pak</filename><filesize>" + std::to_string(content.size()) +
           "</filesize><fileblock_md5len>" + std::to_string(md5s.size()) + "</fileblock_md5len><fileblock_md5>" + md5s +
           "</fileblock_md5></file></filelist>";
}

}   // namespace

int main(int argc, char** argv)
{
    std::string folder;
    if (argc > 1) {
        folder = argv[1];
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/storage_write.XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = pattern;
    }
    std::vector<std::uint8_t> content(std::size_t(kPieces) * kPieceSize);
    std::mt19937_64 gen(20261207);
    for (std::size_t i = 0; i < content.size(); i += 8) {
        const std::uint64_t v = gen();
        std::copy(reinterpret_cast<const std::uint8_t*>(&v), reinterpret_cast<const std::uint8_t*>(&v) + 8,
                  content.begin() + std::ptrdiff_t(i));
    }
    const std::string list = file_list(content);
    const std::string save = folder + "/save";

    CChannelManager channels(folder + "/data");
    CStorageManager storage(&channels);
    CheckCounter checks;
    storage.SetEvent(&checks);

    const std::uint32_t blocks_per_piece = kPieceSize / kBlockSize;
    std::vector<std::uint32_t> order(kPieces);
    double write_seconds = 0;
    std::uint64_t bytes = 0;
    double first_seconds = 0;
    for (int round = -1; round < kRounds; ++round) {
        const std::uint64_t id = 1000 + std::uint64_t(round + 1);
        if (!channels.AddChannel(id, std::int32_t(kPieceSize), "bench", 1, list, save) ||
            !channels.PrepareChannelFiles(id)) {
            std::fprintf(stderr, "cannot prepare the channel under %s\n", save.c_str());
            return 1;
        }
        for (std::uint32_t p = 0; p < kPieces; ++p)
            order[p] = p;
        std::shuffle(order.begin(), order.end(), gen);
        const auto start = std::chrono::steady_clock::now();
        for (std::uint32_t first = 0; first < kPieces; first += kInFlight) {
            for (std::uint32_t b = 0; b < blocks_per_piece; ++b) {
                for (std::uint32_t k = first; k < first + kInFlight && k < kPieces; ++k) {
                    BlockRequest req;
                    req.piece = std::int32_t(order[k]);
                    req.offset = std::int32_t(b * kBlockSize);
                    req.length = std::int32_t(kBlockSize);
                    req.data = content.data() + std::size_t(order[k]) * kPieceSize + req.offset;
                    storage.WriteBlock(id, req);
                    if (round >= 0)
                        bytes += kBlockSize;
                }
            }
        }
        if (round < 0)
            first_seconds = seconds_since(start);
        else
            write_seconds += seconds_since(start);
        channels.CloseChannelFiles(id);
        storage.RemoveChannel(id);
        channels.RemoveChannel(id);
    }
    if (checks.passed != kPieces * (kRounds + 1) || checks.failed != 0) {
        std::fprintf(stderr, "piece checks: %u passed, %u failed (expected %u passed)\n", checks.passed, checks.failed,
                     kPieces * (kRounds + 1));
        return 1;
    }

    const std::string file = save + "/data.pak";
    const std::string command = "md5sum '" + file + "' > /dev/null";
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round) {
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "md5sum failed\n");
            return 1;
        }
    }
    const double md5_seconds = seconds_since(start);

    const double mb = double(bytes) / (1024.0 * 1024.0);
    const double storage_rate = mb / write_seconds;
    const double md5_rate = mb / md5_seconds;
    const double piece_mb = double(kPieces) * kPieceSize / (1024.0 * 1024.0);
    std::printf("first round, file pages allocated: %.0f MiB in %.2f s = %.1f MB/s\n", piece_mb, first_seconds,
                piece_mb / first_seconds);
    std::printf("storage WriteBlock (cache, write, MD5 check): %.0f MiB in %.2f s = %.1f MB/s\n", mb, write_seconds,
                storage_rate);
    std::printf("md5sum of the same file:                      %.0f MiB in %.2f s = %.1f MB/s\n", mb, md5_seconds,
                md5_rate);
    std::printf("storage / md5sum: %.0f %%\n", 100.0 * storage_rate / md5_rate);
    if (argc <= 1) {
        platform::delete_file(file);
        std::remove(save.c_str());
        std::remove((folder + "/data/bench").c_str());
        std::remove((folder + "/data").c_str());
        std::remove(folder.c_str());
    }
    return 0;
}
