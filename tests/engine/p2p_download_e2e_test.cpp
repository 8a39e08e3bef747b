// Whole downloads between running engines over the peer wire protocol.
// Each seeding engine runs in a process of its own (this test executable
// started again with the seeder test selected), because the engine keeps
// process-wide state; the downloading engine runs in the test itself. A
// fake RIS and CIS on 127.0.0.1 name the seeders to the downloader as
// directly connectable peers; NAT traversal dials them.
#include "engine/p2sp_engine.h"

#include "discovery/nat_protocol.h"
#include "discovery/server_list.h"
#include "engine/client_main.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/p2sp_engine_impl.h"
#include "engine/task_connection_makers.h"
#include "engine/task_state_mgr.h"
#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "net/conn/peer_connection.h"
#include "net/conn/peer_wire.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "support/engine_test_env.h"
#include "support/fake_cis_server.h"
#include "support/fake_ris_server.h"
#include "support/nginx_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"

#include "p2p_seeder.h"
#include "throttled_relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

using test_support::EngineCallbackLog;
using test_support::EngineEvent;
using test_support::EngineTestEnv;
using test_support::FakeCisServer;
using test_support::FakeRisServer;
using test_support::NoUpnp;
using test_support::P2pSeeder;
using test_support::SeederParams;
using test_support::TaskFixture;
using test_support::ThrottledRelay;
using test_support::wait_until;

namespace {

constexpr std::uint32_t kPiece = 262144;

// The CIS record of a peer listening on 127.0.0.1:port.
PeerInfo DirectPeer(std::uint64_t client_id, std::uint16_t port)
{
    PeerInfo p{};
    p.clientid = client_id;
    p.publicip = platform::parse_ipv4("127.0.0.1");
    p.publicport = port;
    p.peertype = PEERTYPE_DIRECT;
    return p;
}

// A peer that shakes hands like a real one and answers block requests with
// the task's bytes, the first block it serves corrupted. It serves one
// connection and then stops listening; a `liar` corrupts every block and
// takes every connection, one after the other.
class CorruptingPeer {
public:
    CorruptingPeer(const TaskFixture& fx, std::uint64_t client_id, bool liar = false)
        : m_fx(fx), m_id(client_id), m_liar(liar)
    {
        m_listener = platform::tcp_socket();
        platform::bind_ipv4(m_listener, platform::parse_ipv4("127.0.0.1"), 0);
        platform::listen_socket(m_listener, 4);
        std::uint32_t ip = 0;
        platform::local_endpoint(m_listener, ip, m_port);
        m_thread.start([this] { Run(); });
    }
    ~CorruptingPeer()
    {
        m_stop = true;
        EXPECT_TRUE(m_thread.join_for(10000));
        platform::close_socket(m_listener);
    }
    std::uint16_t port() const { return m_port; }
    int served() const { return m_served.load(); }
    int accepted() const { return m_accepted.load(); }
    int corrupted() const { return m_corrupted.load(); }

private:
    void Run()
    {
        // Up to 60 s for the one connection.
        for (int i = 0; i < 1200 && !m_stop; ++i) {
            if (platform::wait_readable(m_listener, 50) != 1)
                continue;
            std::uint32_t error = 0;
            platform::socket_t s = platform::accept_socket(m_listener, nullptr, nullptr, error);
            if (!m_liar)
                platform::close_socket(m_listener);
            if (s != platform::invalid_socket) {
                ++m_accepted;
                Serve(s);
            }
            platform::close_socket(s);
            if (!m_liar)
                return;
        }
    }

    bool ReadPacket(platform::socket_t s, std::vector<std::uint8_t>& out)
    {
        std::uint8_t prefix[4];
        if (!ReadExact(s, prefix, 4))
            return false;
        const std::uint32_t length = cmd_packet::load_u32(prefix);
        if (length == 0 || length > 65536)
            return false;
        out.assign(prefix, prefix + 4);
        out.resize(4 + length);
        return ReadExact(s, out.data() + 4, length);
    }
    bool ReadExact(platform::socket_t s, std::uint8_t* p, std::size_t n)
    {
        std::size_t got = 0;
        for (int waits = 0; got < n && !m_stop && waits < 600;) {
            if (platform::wait_readable(s, 50) != 1) {
                ++waits;
                continue;
            }
            std::uint32_t error = 0;
            const long r = platform::receive_some(s, p + got, n - got, error);
            if (r <= 0)
                return false;
            got += std::size_t(r);
        }
        return got == n;
    }
    bool Send(platform::socket_t s, const std::vector<std::uint8_t>& b)
    {
        std::size_t done = 0;
        while (done < b.size() && !m_stop) {
            if (platform::wait_writable(s, 50) != 1)
                continue;
            std::uint32_t error = 0;
            const long n = platform::send_some(s, b.data() + done, b.size() - done, error);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return done == b.size();
    }

    // The bytes of `length` at `offset` of piece `piece` of the task.
    std::string PieceBytes(std::uint32_t piece, std::uint32_t offset, std::uint32_t length) const
    {
        std::uint32_t first = 0;
        for (std::size_t f = 0; f < m_fx.files().size(); ++f) {
            const std::uint64_t size = m_fx.files()[f].size;
            const std::uint32_t pieces = std::uint32_t((size + kPiece - 1) / kPiece);
            if (piece < first + pieces)
                return m_fx.Bytes(f, std::uint64_t(piece - first) * kPiece + offset, length);
            first += pieces;
        }
        return std::string();
    }

    void Serve(platform::socket_t s)
    {
        platform::set_non_blocking(s, false);
        std::vector<std::uint8_t> packet;
        discovery::NatMessage hello;
        if (!ReadPacket(s, packet) || !discovery::DecodeNatMessage(packet.data(), packet.size(), hello))
            return;
        discovery::NatMessage ack;
        ack.command = discovery::NAT_HANDSHAKE_ACK;
        ack.task_id = hello.task_id;
        ack.peer = DirectPeer(m_id, m_port);
        if (!Send(s, discovery::EncodeNatMessage(ack)))
            return;
        while (!m_stop && ReadPacket(s, packet)) {
            const std::uint16_t command = peer_wire::packet_command(packet.data(), packet.size());
            CCmdPacketReader reader(packet.data(), packet.size());
            std::vector<std::uint8_t> out;
            if (command == peer_wire::cmd_handshake) {
                peer_wire::build_handshake_reply({m_id, hello.task_id, 0, peer_wire::handshake_matched}, out);
                peer_wire::build_bitfield(m_id, hello.task_id, std::vector<std::uint8_t>(m_fx.piece_count(), 1), out);
            } else if (command == peer_wire::cmd_block_request) {
                peer_wire::BlockAsk ask;
                if (!peer_wire::parse_block_request(reader, ask))
                    return;
                std::string data = PieceBytes(ask.block.piece, ask.block.offset, ask.block.length);
                if (data.size() != ask.block.length)
                    return;
                if (m_liar || m_corrupted.load() == 0) {
                    data[data.size() / 2] ^= 0x5a;
                    ++m_corrupted;
                }
                std::uint8_t* p = peer_wire::layout_block_data(m_id, hello.task_id, ask.block, out);
                std::memcpy(p, data.data(), data.size());
                ++m_served;
            }
            if (!out.empty() && !Send(s, out))
                return;
        }
    }

    const TaskFixture& m_fx;
    const std::uint64_t m_id;
    const bool m_liar;
    std::atomic<int> m_accepted{0};
    platform::socket_t m_listener = platform::invalid_socket;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_served{0};
    std::atomic<int> m_corrupted{0};
    platform::Thread m_thread;
};

class P2pDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::getenv(P2pSeeder::kEnvDir))
            GTEST_SKIP() << "a seeder process runs only its own test";
        // Tasks build their peer connections with the peer protocol's maker.
        ASSERT_EQ(&CreatePeerConnection, GetTaskConnectionMakers().peer);
        ASSERT_TRUE(cis.Start());
    }

    void TearDown() override
    {
        DestroyEngine();
        DestroyLogConnection();
        ris.reset();
        env.reset();
        g_Settings.Clear();
    }

    // A downloading engine online through the fake RIS, whose CIS is `cis`.
    void StartEngine(std::uint64_t client_id, const std::string& cdn_prefix = std::string(),
                     std::uint8_t peer_type = PEERTYPE_DIRECT)
    {
        ris = std::make_unique<FakeRisServer>();
        FakeRisServer::Answer answer;
        answer.clientid = client_id;
        answer.peertype = peer_type;
        answer.publicip = 0x7f000001;
        answer.cis = {cis.address()};
        ris->SetAnswer(answer);
        ASSERT_TRUE(ris->Start());
        env = std::make_unique<EngineTestEnv>(ris->address());
        InitEngine(cdn_prefix, 1);
    }

    // A downloading engine whose index servers are down: it has only LAN
    // discovery to find peers.
    void StartOfflineEngine()
    {
        env = std::make_unique<EngineTestEnv>();
        env->ShareLoopbackLan();
        InitEngine(std::string(), 2);   // 4 with -1 for the failed logon, then 0
    }

    void InitEngine(const std::string& cdn_prefix, std::size_t init_events)
    {
        engine = CreateP2SPEngine();
        ASSERT_NE(nullptr, engine);
        static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(&NoUpnp);
        if (!cdn_prefix.empty()) {
            ASSERT_EQ(0, engine->SetConfigValue("only_cdn_by_id", cdn_prefix));
        }
        // Peers and HTTP servers together whatever the task's size.
        ASSERT_EQ(0, engine->SetConfigValue("limit_use_p2p_size", "0"));
        EngineInitBlock block{};
        std::strncpy(block.data_folder, env->file("data").c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, env->file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        ASSERT_EQ(0, engine->Init(&block, &EngineCallbackLog::Callback, &log));
        ASSERT_TRUE(log.WaitFor(4, 10000, init_events)) << "the session is built";
        save = env->file("games");
    }

    // Stops the task and waits for its connections to end while the I/O
    // thread still runs, so that none is left for the shutdown.
    void StopTask(std::uint64_t task_id)
    {
        ASSERT_EQ(0, engine->StopTask(task_id));
        EXPECT_TRUE(log.WaitFor(11, 20000)) << "the task stops";
        EXPECT_TRUE(live_connections::wait_for_zero(task_id, 15000, 10)) << "its connections end";
    }

    void DestroyEngine()
    {
        if (!engine)
            return;
        DestroyP2SPEngine(engine);
        engine = nullptr;
        CTaskStateMgr::Instance().Clear();
        CServerList::Instance().Clear();
        engine_flags::reset();
        transfer_limits::reset();
    }

    void ExpectFilesComplete(const TaskFixture& fx)
    {
        for (std::size_t i = 0; i < fx.files().size(); ++i) {
            const std::string path = save + "/" + fx.srcdir() + "/data/" + fx.files()[i].file_name;
            EXPECT_EQ(fx.files()[i].md5, TaskFixture::FileMd5(path)) << path;
        }
    }

    // Completion, then the connections of the task end (the engine closes
    // what is still open at Uninit only after its I/O thread ended).
    void WaitCompleted(std::uint64_t task_id, std::uint32_t ms)
    {
        ASSERT_TRUE(log.WaitFor(9, ms)) << "the task completes";
        EngineEvent done;
        ASSERT_TRUE(log.Last(9, done));
        EXPECT_EQ(task_id, done.U64());
    }

    // Engine 201 fetches the task of `fx` from seeder `a` (started here,
    // client 101) alone, checks the files and stops; then `a` stops.
    void FetchFromSeeder(P2pSeeder& a, const TaskFixture& fx, std::uint64_t task_id)
    {
        ASSERT_TRUE(a.Start()) << a.log();
        ASSERT_TRUE(a.WaitReady(60000)) << a.log();
        cis.SetTaskPeers(task_id, {DirectPeer(101, a.port())}, {}, {});
        StartEngine(201);
        ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
        WaitCompleted(task_id, 120000);
        ExpectFilesComplete(fx);
        StopTask(task_id);
        DestroyEngine();
        ASSERT_TRUE(a.Stop()) << a.log();
    }

    bool ErrorSeen(const std::string& part) const
    {
        for (const EngineEvent& e : log.Events()) {
            if (e.code == 16 && e.Text(0).find(part) != std::string::npos)
                return true;
        }
        return false;
    }

    // The final report of the task as the CIS received it (command 87).
    bool FinalReport(std::uint64_t task_id, FakeCisServer::Report& out, std::uint32_t ms)
    {
        return wait_until(
            [&] {
                for (const FakeCisServer::Report& r : cis.reports()) {
                    if (r.task_id == task_id && r.type == 0) {
                        out = r;
                        return true;
                    }
                }
                return false;
            },
            ms);
    }

    test_support::TempDir root;   // the task's files as generated
    FakeCisServer cis;
    std::unique_ptr<FakeRisServer> ris;
    std::unique_ptr<EngineTestEnv> env;
    IP2SP_Engine* engine = nullptr;
    EngineCallbackLog log;
    std::string save;
};

SeederParams Params(std::uint64_t task_id, const std::vector<std::uint64_t>& sizes, std::uint64_t client_id)
{
    SeederParams params;
    params.task_id = task_id;
    params.piece_size = kPiece;
    params.sizes = sizes;
    params.client_id = client_id;
    params.port = P2pSeeder::FreePort();
    return params;
}

}   // namespace

// The seeding engine of the tests below, in its own process.
TEST(P2pSeederProcess, Serve)
{
    if (!std::getenv(P2pSeeder::kEnvDir))
        GTEST_SKIP() << "runs only as the seeding process of the peer-to-peer tests";
    EXPECT_EQ(0, P2pSeeder::RunChild(&NoUpnp));
}

TEST_F(P2pDownloadTest, DownloadsAWholeTaskFromAnotherEngine)
{
    const std::vector<std::uint64_t> sizes = {3 * 1048576 + 4321, 700000, 2 * kPiece};
    TaskFixture fx(root.path(), 9201, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    P2pSeeder a(Params(9201, sizes, 101));
    ASSERT_TRUE(a.Start()) << a.log();
    ASSERT_TRUE(a.WaitReady(60000)) << a.log();
    cis.SetTaskPeers(9201, {DirectPeer(101, a.port())}, {}, {});

    StartEngine(201);
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    WaitCompleted(9201, 120000);
    ExpectFilesComplete(fx);

    FakeCisServer::Report report;
    ASSERT_TRUE(FinalReport(9201, report, 10000));
    EXPECT_EQ(0u, report.a) << "no other kind of peer";
    EXPECT_EQ(fx.total_size(), report.b) << "every byte from the directly connectable peer";
    EXPECT_EQ(0u, report.c) << "no HTTP";

    StopTask(9201);
    DestroyEngine();
    ASSERT_TRUE(a.Stop()) << a.log();
    EXPECT_GT(a.upload_kbps(), 0.0f) << "the seeder's upload counters moved" << a.log();
}

TEST_F(P2pDownloadTest, ASeederOnASlowDiskKeepsItsIoThreadFreeWhileItServes)
{
    // Every piece the seeder reads for upload takes 300 ms: its sockets
    // must be served meanwhile (a read on the I/O thread would hold it for
    // all of that; the bound leaves a loaded machine room for scheduling),
    // and the download still completes.
    const std::vector<std::uint64_t> sizes = {2 * 1048576 + 4321, 300000};
    TaskFixture fx(root.path(), 9206, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    SeederParams params = Params(9206, sizes, 101);
    params.slow_read_ms = 300;
    P2pSeeder a(params);
    FetchFromSeeder(a, fx, 9206);
    EXPECT_LT(a.longest_io_gap_ms(), 200u) << "the seeder's I/O thread was held" << a.log();
}

// Pieces longer than a read span are served a span at a time: with
// nothing taken from memory (a slow disk), every block the seeder sends
// of its 3 MiB pieces comes through the span reads, and the download
// completes with the right bytes.
TEST_F(P2pDownloadTest, ASeederServesPiecesLongerThanASpan)
{
    const std::uint32_t piece = 3u << 20;
    const std::vector<std::uint64_t> sizes = {2ull * piece + 4321, piece + 5};
    TaskFixture fx(root.path(), 9207, piece, sizes);
    ASSERT_TRUE(fx.ok());
    SeederParams params = Params(9207, sizes, 101);
    params.piece_size = piece;
    params.slow_read_ms = 1;
    P2pSeeder a(params);
    FetchFromSeeder(a, fx, 9207);
}

TEST_F(P2pDownloadTest, TwoOfflineEnginesFindEachOtherOnTheLan)
{
    const std::vector<std::uint64_t> sizes = {2 * 1048576 + 77};
    TaskFixture fx(root.path(), 9204, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    SeederParams params = Params(9204, sizes, 0);
    params.offline = true;
    P2pSeeder a(params);
    ASSERT_TRUE(a.Start()) << a.log();
    ASSERT_TRUE(a.WaitReady(60000)) << a.log();

    StartOfflineEngine();
    ASSERT_FALSE(engine_flags::index_servers_usable());
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    WaitCompleted(9204, 120000);
    ExpectFilesComplete(fx);

    StopTask(9204);
    DestroyEngine();
    ASSERT_TRUE(a.Stop()) << a.log();
    EXPECT_GT(a.upload_kbps(), 0.0f) << "the other engine served the task" << a.log();
}

// Two engines downloading one task from one seed at once: each must hold
// pieces the other lacks, so that each sends the other a real share.
TEST_F(P2pDownloadTest, TwoDownloadersOfOneSeedEachSendTheOtherAShare)
{
    const std::vector<std::uint64_t> sizes = {24 * 1048576};
    TaskFixture fx(root.path(), 9205, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    P2pSeeder seed(Params(9205, sizes, 101));
    ASSERT_TRUE(seed.Start()) << seed.log();
    // The seed serves both at 3 MB/s in all: a downloader takes pieces from
    // the other or waits for the seed.
    ThrottledRelay uplink(seed.port(), 3 * 1048576);
    SeederParams other = Params(9205, sizes, 102);
    other.download = true;
    other.seed_id = 101;
    other.seed_port = uplink.port();
    P2pSeeder b(other);
    ASSERT_TRUE(b.Start()) << b.log();
    ASSERT_TRUE(seed.WaitReady(60000)) << seed.log();
    ASSERT_TRUE(b.WaitReady(60000)) << b.log();
    PeerInfo peer_b = DirectPeer(102, b.port());
    peer_b.peertype = PEERTYPE_SP;
    cis.SetTaskPeers(9205, {DirectPeer(101, uplink.port()), peer_b}, {}, {});

    // A downloader is no seed: peers must not take it to hold every piece.
    StartEngine(201, std::string(), PEERTYPE_SP);
    b.Go();
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    WaitCompleted(9205, 180000);
    ExpectFilesComplete(fx);
    FakeCisServer::Report report;
    ASSERT_TRUE(FinalReport(9205, report, 10000));

    StopTask(9205);
    DestroyEngine();
    ASSERT_TRUE(b.Stop()) << b.log();
    ASSERT_TRUE(seed.Stop()) << seed.log();
    std::cout << "from the other downloader: " << report.a << " and " << b.peer_bytes() << " of " << fx.total_size()
              << std::endl;
    EXPECT_GE(report.a, fx.total_size() / 10) << "the other downloader sent us a share";
    EXPECT_GE(b.peer_bytes(), fx.total_size() / 10) << "we sent the other downloader a share";
}

TEST_F(P2pDownloadTest, FetchesFromTwoEnginesAndRefetchesACorruptedPiece)
{
    const std::vector<std::uint64_t> sizes = {6 * 1048576 + 999, 2 * 1048576};
    TaskFixture fx(root.path(), 9202, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    P2pSeeder a(Params(9202, sizes, 101));
    P2pSeeder b(Params(9202, sizes, 102));
    ASSERT_TRUE(a.Start()) << a.log();
    ASSERT_TRUE(b.Start()) << b.log();
    ASSERT_TRUE(a.WaitReady(60000)) << a.log();
    ASSERT_TRUE(b.WaitReady(60000)) << b.log();
    CorruptingPeer bad(fx, 103);
    cis.SetTaskPeers(9202, {DirectPeer(103, bad.port()), DirectPeer(101, a.port()), DirectPeer(102, b.port())}, {}, {});

    StartEngine(201);
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    WaitCompleted(9202, 180000);
    ExpectFilesComplete(fx);
    EXPECT_EQ(1, bad.corrupted());
    EXPECT_TRUE(ErrorSeen("哈希校验不过!")) << "the corrupted piece failed its check";

    StopTask(9202);
    DestroyEngine();
    ASSERT_TRUE(a.Stop()) << a.log();
    ASSERT_TRUE(b.Stop()) << b.log();
    EXPECT_GT(a.upload_kbps(), 0.0f) << "both seeders served";
    EXPECT_GT(b.upload_kbps(), 0.0f) << "both seeders served";
    EXPECT_GE(bad.served(), 1);
}

TEST_F(P2pDownloadTest, ALiarIsDroppedAloneAndNotDialledAgainOnceTwoOfItsPiecesFailed)
{
    const std::vector<std::uint64_t> sizes = {6 * 1048576};
    TaskFixture fx(root.path(), 9204, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    P2pSeeder a(Params(9204, sizes, 101));
    ASSERT_TRUE(a.Start()) << a.log();
    ASSERT_TRUE(a.WaitReady(60000)) << a.log();
    // The honest seed serves at 1 MB/s: the download lasts long enough for
    // a liar that came back after every failure to be dialled many times.
    ThrottledRelay uplink(a.port(), 1048576);
    CorruptingPeer liar(fx, 103, true);
    cis.SetTaskPeers(9204, {DirectPeer(103, liar.port()), DirectPeer(101, uplink.port())}, {}, {});

    StartEngine(201);
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    WaitCompleted(9204, 180000);
    ExpectFilesComplete(fx);
    EXPECT_TRUE(ErrorSeen("哈希校验不过!")) << "the liar's pieces failed their checks";
    // Dropped at each failed piece and not dialled again once two pieces it
    // alone supplied failed (a first failure may be of a piece it shared,
    // and on a slow build one connection may end for another reason; one
    // that came back after every failure was dialled a dozen times).
    EXPECT_GE(liar.accepted(), 1);
    EXPECT_LE(liar.accepted(), 5);

    StopTask(9204);
    DestroyEngine();
    ASSERT_TRUE(a.Stop()) << a.log();
}

// A seed holding everything but sending slowly must not hold the download
// to its pace while the HTTP server could send the rest.
TEST_F(P2pDownloadTest, ASlowSeedDoesNotHoldBackAFastHttpServer)
{
    if (!test_support::NginxServer::Available())
        GTEST_SKIP() << "nginx is not installed";
    const std::vector<std::uint64_t> sizes = {12 * 1048576};
    TaskFixture fx(root.path(), 9206, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    test_support::NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.start()) << nginx.last_error();
    ASSERT_TRUE(nginx.SetCdnAnswer(9206, fx.CdnAnswer(nginx.base_url())));
    P2pSeeder a(Params(9206, sizes, 101));
    ASSERT_TRUE(a.Start()) << a.log();
    ASSERT_TRUE(a.WaitReady(60000)) << a.log();
    // 256 KB/s: alone the seed would take 48 s; with the HTTP server the
    // task ends about 10 s in, once the wait for other peers is over.
    ThrottledRelay uplink(a.port(), 262144);
    PeerInfo peer = DirectPeer(101, uplink.port());
    peer.peertype = PEERTYPE_SP;
    cis.SetTaskPeers(9206, {peer}, {}, {});

    StartEngine(201, nginx.cdn_query_prefix());
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    WaitCompleted(9206, 40000);
    ExpectFilesComplete(fx);
    FakeCisServer::Report report;
    ASSERT_TRUE(FinalReport(9206, report, 10000));
    EXPECT_GT(std::uint64_t(report.c), fx.total_size() / 2) << "most bytes over HTTP";

    StopTask(9206);
    DestroyEngine();
    ASSERT_TRUE(a.Stop()) << a.log();
}

TEST_F(P2pDownloadTest, TakesBlocksFromHttpAndPeersAtOnce)
{
    if (!test_support::NginxServer::Available())
        GTEST_SKIP() << "nginx is not installed";
    const std::vector<std::uint64_t> sizes = {8 * 1048576 + 17, 3 * 1048576};
    TaskFixture fx(root.path(), 9203, kPiece, sizes);
    ASSERT_TRUE(fx.ok());
    test_support::NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.start()) << nginx.last_error();
    // The peer holds the first 20 of the 44 pieces and announces them in
    // its bitmap; the rest only the HTTP server has.
    SeederParams params = Params(9203, sizes, 101);
    params.held_pieces = 20;
    P2pSeeder a(params);
    ASSERT_TRUE(a.Start()) << a.log();
    ASSERT_TRUE(a.WaitReady(60000)) << a.log();
    PeerInfo peer = DirectPeer(101, a.port());
    peer.peertype = PEERTYPE_SP;
    cis.SetTaskPeers(9203, {peer}, {}, {});

    // The CDN query names the HTTP server only once the peer has delivered
    // a verified piece, so both sources certainly take part.
    StartEngine(201, nginx.cdn_query_prefix());
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    ASSERT_TRUE(wait_until(
        [&] {
            EngineEvent e;
            return log.Last(0, e) && e.U64(8) > 0;
        },
        60000))
        << "pieces from the peer";
    ASSERT_TRUE(nginx.SetCdnAnswer(9203, fx.CdnAnswer(nginx.base_url())));
    WaitCompleted(9203, 180000);
    ExpectFilesComplete(fx);

    FakeCisServer::Report report;
    ASSERT_TRUE(FinalReport(9203, report, 10000));
    EXPECT_GT(report.a, 0u) << "bytes from the peer";
    EXPECT_EQ(0u, report.b) << "no directly connectable peer";
    EXPECT_GT(report.c, 0u) << "bytes over HTTP";
    EXPECT_GE(std::uint64_t(report.a) + report.c, fx.total_size());
    std::size_t ranges = 0;
    for (const auto& served : nginx.AccessLog())
        ranges += served.uri.find("cdnquery") == std::string::npos ? 1 : 0;
    EXPECT_GT(ranges, 0u);

    StopTask(9203);
    DestroyEngine();
    ASSERT_TRUE(a.Stop()) << a.log();
    EXPECT_GT(a.upload_kbps(), 0.0f);
}
