// One task's disk hangs (its file writes do not return for a few seconds,
// as on a stalled network drive) with 12 MiB of its pieces under way;
// meanwhile another task of the same storage receives 48 pieces of 1 MiB
// and is then removed. Prints, for the healthy
// task, how long each WriteBlock that hands a piece to the disk took on the
// calling thread (the I/O thread's, in the service), how long until its
// pieces were all checked, and how long the wait for its own disk work took
// at its stop (min/median/max over the rounds).
//
// Usage: storage_hang [hang_ms] [rounds] [folder]   (3000, 3, a fresh
// folder under $TMPDIR by default)
#include "engine/channel_manager.h"
#include "engine/storage_manager.h"
#include "foundation/md5.h"
#include "net/io/io_service.h"
#include "platform/write_at.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kPiece = 1u << 20;
constexpr std::uint32_t kPieces = 48;   // more than the 8 MiB a channel may have under way
constexpr std::uint32_t kBlock = 32768;

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Checks : IStorageManagerEvent {
    std::uint64_t counted = 0;   // the task whose checks count
    std::atomic<std::uint32_t> passed{0};
    void OnChannelStorageReady(std::uint64_t, const std::vector<std::uint8_t>&,
                               const std::vector<std::vector<std::uint8_t>>&,
                               const std::vector<std::uint32_t>&) override
    {
    }
    void OnPieceChecked(std::uint64_t id, std::uint32_t, std::uint8_t result) override
    {
        passed += id == counted && result == 1 ? 1 : 0;
    }
    void IncTaskStorageCounter(std::uint64_t) override {}
};

std::shared_future<void> g_over;   // the hang is over
std::string g_hung;                // part of the hung task's file path

// Writes to the hung task's file wait for the hang to end.
long hanging_write(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    char path[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (::readlink(link.c_str(), path, sizeof(path) - 1) > 0 && std::strstr(path, g_hung.c_str()))
        g_over.wait();
    return long(::pwrite(fd, data, size, offset));
}

std::string file_list(const std::string& bytes)
{
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::string md5s;
    for (std::uint32_t p = 0; p < kPieces; ++p)
        md5s += md5_hex(data + std::size_t(p) * kPiece, kPiece, true);
    return "<filelist><file><fileindex>0</fileindex><filemd5>" + md5_hex(data, bytes.size(), true) +
           "</filemd5><filename>data.pak</filename><filesize>" + std::to_string(bytes.size()) +
           "</filesize><fileblock_md5len>" + std::to_string(md5s.size()) + "</fileblock_md5len><fileblock_md5>" + md5s +
           "</fileblock_md5></file></filelist>";
}

void print(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-40s min %8.1f ms  median %8.1f ms  max %8.1f ms\n", what, ms.front(), ms[ms.size() / 2], ms.back());
}

}   // namespace

int main(int argc, char** argv)
{
    const int hang_ms = argc > 1 ? std::atoi(argv[1]) : 3000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string folder = argc > 3 ? argv[3] : std::string();
    if (folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/storage_hang.XXXXXX";
        if (!mkdtemp(&folder[0])) {
            std::perror("mkdtemp");
            return 1;
        }
    }
    std::string bytes(std::size_t(kPiece) * kPieces, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 2654435761u) >> 13);
    const std::string files = file_list(bytes);
    // Block `off` of piece `p`, its bytes in place.
    const auto block = [&bytes](std::uint32_t p, std::uint32_t off) {
        BlockRequest req;
        req.piece = std::int32_t(p);
        req.offset = std::int32_t(off);
        req.length = std::int32_t(kBlock);
        req.data = reinterpret_cast<std::uint8_t*>(&bytes[std::size_t(p) * kPiece + off]);
        return req;
    };
    std::vector<double> slowest_post, all_checked, stop_wait;
    for (int round = 0; round < rounds; ++round) {
        CChannelManager channels(folder);
        Checks checks;
        i_io_service io;
        std::thread io_thread([&] { io.run(); });
        {
            CStorageManager storage(&channels);
            storage.SetEvent(&checks);
            storage.SetIoService(&io);
            const std::uint64_t hung = 1 + 2 * std::uint64_t(round), healthy = hung + 1;
            checks.counted = healthy;
            for (std::uint64_t id : {hung, healthy}) {
                channels.AddChannel(id, std::int32_t(kPiece), "g", 1, files, folder + "/t" + std::to_string(id));
                channels.PrepareChannelFiles(id);
            }
            std::promise<void> over;
            g_over = over.get_future().share();
            g_hung = "/t" + std::to_string(hung) + "/";
            platform::set_write_at_source(&hanging_write);
            // The hung task's 12 pieces go to its disk from a thread of their own
            // (its own backlog's bound holds that thread).
            std::thread hung_writer([&] {
                for (std::uint32_t p = 0; p < 12; ++p)
                    for (std::uint32_t off = 0; off < kPiece; off += kBlock)
                        storage.WriteBlock(hung, block(p, off));
            });
            std::thread release([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(hang_ms));
                over.set_value();
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));   // its writes are under way
            const Clock::time_point start = Clock::now();
            double slowest = 0;
            for (std::uint32_t p = 0; p < kPieces; ++p) {
                for (std::uint32_t off = 0; off < kPiece; off += kBlock) {
                    const Clock::time_point one = Clock::now();
                    storage.WriteBlock(healthy, block(p, off));
                    slowest = std::max(slowest, ms_since(one));
                }
            }
            while (checks.passed.load() < kPieces && ms_since(start) < 60000)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            all_checked.push_back(ms_since(start));
            slowest_post.push_back(slowest);
            const Clock::time_point stop = Clock::now();
            storage.RemoveChannel(healthy);
            storage.DrainChannel(healthy);
            stop_wait.push_back(ms_since(stop));
            release.join();
            hung_writer.join();
            storage.Drain();
            platform::set_write_at_source(nullptr);
            io.set_stopped();
            io.stop();
            io_thread.join();
            storage.SetIoService(nullptr);
        }
    }
    std::printf("healthy task beside a disk hung for %d ms, %d rounds\n", hang_ms, rounds);
    print("slowest WriteBlock", slowest_post);
    print("all pieces checked", all_checked);
    print("wait for its own disk work at its stop", stop_wait);
    return 0;
}
