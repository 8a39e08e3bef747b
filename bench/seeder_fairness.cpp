// How fairly one seeder shares its uploads among many downloaders: one
// task's connection set with N peer connections on the seeding side, each
// talking over loopback to a downloading peer connection that asks for
// every block it lacks, for a bounded time.
//
//   seeder_fairness [DOWNLOADERS] [SECONDS]     (default 128 and 60)
//
// Both sides are the engine's own peer connections over the peer wire
// protocol (the seeder on one I/O thread, the downloaders on another);
// storage is a stand-in that generates the seeder's bytes and counts the
// downloaders' ones. Prints the bytes each downloader got, how many got
// nothing, how many connections ended early, min/median/max, max/median,
// Jain's index and the total rate.
#include "loopback_pair.h"
#include "engine/task_connections.h"
#include "net/conn/peer_connection.h"
#include "net/io/io_service.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "support/fake_peer_task.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t kTask = 9401;
constexpr std::uint32_t kPiece = 1048576;
constexpr std::uint32_t kPieces = 2048;   // more than any downloader gets in a run

// The seeding side of one connection: every piece held, upload turns and
// leaving through the shared connection set.
class SeederTask : public test_support::FakePeerTask {
public:
    SeederTask(i_io_service* io, CTaskConnections* set)
        : FakePeerTask(io, kTask, kPiece, std::vector<std::uint32_t>(kPieces, kPiece),
                       std::vector<std::uint8_t>(kPieces, 1)),
          m_set(set)
    {
    }
    bool take_upload_turn(int socket, std::uint32_t bytes) override { return m_set->TakeUploadTurn(socket, bytes); }
    void remove_connection(int socket) override { m_set->RemoveConnection(socket); }

private:
    CTaskConnections* m_set;
};

// The downloading side: holds nothing, counts what it is sent.
class DownloaderTask : public test_support::FakePeerTask {
public:
    DownloaderTask(i_io_service* io, std::uint64_t client, std::atomic<std::uint64_t>* got)
        : FakePeerTask(io, kTask, kPiece, std::vector<std::uint32_t>(kPieces, kPiece), {}), m_got(got)
    {
        PeerInfo self{};
        self.clientid = client;
        self.peertype = PEERTYPE_SP;
        SetSelf(self);
    }
    bool write_block(const BlockRequest& b) override
    {
        m_got->fetch_add(std::uint64_t(b.length));
        return true;
    }
    std::shared_ptr<zeq::i_block_loan> lend_block(const BlockRequest&) override { return nullptr; }
    void remove_connection(int) override {}

private:
    std::atomic<std::uint64_t>* m_got;
};

class Owner : public ITaskConnectionsOwner {
public:
    std::uint64_t GetTaskId() const override { return kTask; }
    ICmdEvent* GetCmdEvent() override { return nullptr; }
    CBlockRequestMap* GetPiecePicker() override { return nullptr; }
    void RecordConnectedPeer(const PeerInfo&) override {}
};

struct IoThread {
    IoThread()
    {
        thread.start([this] { io.run(); });
    }
    ~IoThread()
    {
        io.set_stopped();
        io.stop();
        thread.join_for(5000);
    }
    i_io_service io;
    platform::Thread thread;
};

PeerInfo Peer(std::uint64_t client)
{
    PeerInfo p{};
    p.clientid = client;
    p.peertype = PEERTYPE_SP;
    p.publicip = platform::parse_ipv4("127.0.0.1");
    p.publicport = std::uint16_t(20000 + client % 40000);
    return p;
}

}   // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 128;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
    IoThread seeder_io;
    IoThread downloader_io;
    Owner owner;
    auto set = std::make_unique<CTaskConnections>(&owner);
    std::vector<std::atomic<std::uint64_t>> got(static_cast<std::size_t>(n));
    std::vector<CPeerConnection*> downloaders;
    int refused = 0;
    for (int i = 0; i < n; ++i) {
        platform::socket_t a, b;
        if (!loopback_pair(a, b)) {
            std::fprintf(stderr, "no loopback pair for downloader %d\n", i);
            return 1;
        }
        const std::uint64_t client = 5000 + std::uint64_t(i);
        // Seeding side: passive, it answers the downloader's handshake.
        auto* up = new CPeerConnection(std::make_unique<SeederTask>(&seeder_io.io, set.get()), Peer(client), 1);
        if (!set->AddConnection(a, up))
            ++refused;
        auto* down = new CPeerConnection(std::make_unique<DownloaderTask>(&downloader_io.io, client, &got[i]),
                                         Peer(1001), 0);
        down->add_ref();   // kept to read its state at the end
        if (!down->start(b))
            platform::close_socket(b);
        downloaders.push_back(down);
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<std::uint64_t> bytes;
    int ended = 0;
    for (int i = 0; i < n; ++i) {
        bytes.push_back(got[i].load());
        ended += downloaders[i]->is_closing() ? 1 : 0;
    }
    set->CloseAll();
    for (CPeerConnection* c : downloaders) {
        c->close();
        c->release();
    }
    std::vector<std::uint64_t> sorted = bytes;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0, squares = 0;
    for (std::uint64_t b : bytes) {
        sum += double(b);
        squares += double(b) * double(b);
    }
    const double median = double(sorted[sorted.size() / 2]);
    std::printf("downloaders %d, %d s, refused %d, ended early %d\n", n, seconds, refused, ended);
    std::printf("per downloader (MiB):");
    for (std::uint64_t b : bytes)
        std::printf(" %.1f", double(b) / 1048576);
    std::printf("\nzeros %ld\n", long(std::count(bytes.begin(), bytes.end(), 0)));
    std::printf("min/median/max MiB %.1f / %.1f / %.1f\n", double(sorted.front()) / 1048576, median / 1048576,
                double(sorted.back()) / 1048576);
    std::printf("max/median %.2f\n", median > 0 ? double(sorted.back()) / median : 0.0);
    std::printf("jain %.3f\n", squares > 0 ? sum * sum / (double(n) * squares) : 0.0);
    std::printf("total MiB/s %.1f\n", sum / 1048576 / elapsed);
    return 0;
}
