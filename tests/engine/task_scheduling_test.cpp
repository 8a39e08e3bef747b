// Peer scheduling of a download task: the host, seeding, LAN, vpeer and
// HTTP passes, socket adoption, and the CIS reply that feeds them.
#include "engine/download_task.h"

#include "discovery/lan_peer_discovery.h"
#include "engine/cdn_thread.h"
#include "support/fake_cis_server.h"
#include "task_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

using task_test::FakeClocks;
using task_test::Host;
using task_test::Ip;
using task_test::MakerJournal;
using task_test::Peer;
using task_test::SocketPair;
using task_test::TaskHarness;
using task_test::Vpeer;
using test_support::wait_until;

// A successful CIS reply, applied by the task's I/O service (which the
// test thread runs).
void Reply(CDownload_Task* task, const std::vector<PeerInfo>& peers, const std::vector<VPeerInfo>& vpeers,
           const std::vector<HttpPeerInfo>& http = {})
{
    task->OnCisConnectionCompleted(0, peers, vpeers, http, 0);
    task->GetIoService()->poll();
}

std::vector<std::uint64_t> Ids(const std::vector<VPeerInfo>& vpeers)
{
    std::vector<std::uint64_t> ids;
    for (const VPeerInfo& v : vpeers)
        ids.push_back(+v.clientid);
    return ids;
}

// ---- Vpeers ----

TEST(TaskScheduling, SevenVpeersAreAskedForThreeAtATimeRoundRobin)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    std::vector<VPeerInfo> vpeers;
    for (std::uint64_t i = 0; i < 7; ++i)
        vpeers.push_back(Vpeer(500 + i, std::uint16_t(6000 + i)));
    Reply(task, {}, vpeers);
    Reply(task, {}, {vpeers[2], Vpeer(500, 1)});   // known ids are not added again
    ASSERT_EQ(7u, task->GetVpeers().size());

    const std::vector<std::vector<std::uint64_t>> passes = {{500, 501, 502},
                                                            {502, 503, 504},
                                                            {504, 505, 506},
                                                            {506, 500, 501}};
    for (const auto& expected : passes) {
        h.nat.Clear();
        task->OnTimerCheckToConnectVpeerList();   // within 10 s of the last pass: nothing
        EXPECT_TRUE(h.nat.Calls().empty());
        clocks.AdvanceSeconds(11);
        task->OnTimerCheckToConnectVpeerList();
        EXPECT_EQ(expected, h.nat.Targets());
    }
    // Each vpeer is asked for directly, its own address serving as NAT server.
    for (const auto& call : h.nat.Calls()) {
        EXPECT_EQ(TaskHarness::kTaskId, call.task_id);
        EXPECT_EQ(0u, +call.parent.clientid);
        EXPECT_EQ(+call.target.publicip, call.server_ip);
        EXPECT_EQ(+call.target.publicport, call.server_port);
        EXPECT_EQ(PEERTYPE_DIRECT, +call.target.peertype);
    }
}

TEST(TaskScheduling, TheVpeerAndHttpInformationListsAreBounded)
{
    TaskHarness h;
    g_Settings.Set("limit_use_p2p_size", "0");
    CDownload_Task* task = h.MakeReadyTask();
    std::vector<VPeerInfo> vpeers;
    std::vector<HttpPeerInfo> infos;
    for (std::uint64_t i = 0; i < 5000; ++i) {
        vpeers.push_back(Vpeer(10000 + i, 1));
        infos.push_back({20000 + i, "nowhere.example", "/f"});
    }
    Reply(task, {}, vpeers, infos);
    EXPECT_EQ(CDownload_Task::kMaxVpeers, task->GetVpeers().size());
    std::vector<HttpPeerInfo> kept;
    task->GetHttpPeerInfoList(kept);
    EXPECT_EQ(CDownload_Task::kMaxHttpPeerInfos, kept.size());
}

TEST(TaskScheduling, AStoppingTaskSchedulesNothing)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    Reply(task, {}, {Vpeer(1, 1)});
    h.hosts->AddHosts(TaskHarness::kTaskId, {Host(10, PEERTYPE_DIRECT)});
    task->MarkStopping();
    clocks.AdvanceSeconds(60);
    h.events.Clear();
    task->Run();
    EXPECT_TRUE(h.nat.Calls().empty());
    EXPECT_TRUE(h.events.With("progress ").empty());
    EXPECT_EQ(1u, h.HostCount());
}

TEST(TaskScheduling, FewerThanThreeVpeersAreAllAskedForEveryPass)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    Reply(task, {}, {Vpeer(1, 1), Vpeer(2, 2)});
    for (int pass = 0; pass < 2; ++pass) {
        h.nat.Clear();
        clocks.AdvanceSeconds(11);
        task->OnTimerCheckToConnectVpeerList();
        EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), h.nat.Targets());
    }
    // A clock that went back asks for nothing.
    h.nat.Clear();
    clocks.AdvanceSeconds(-100);
    task->OnTimerCheckToConnectVpeerList();
    EXPECT_TRUE(h.nat.Calls().empty());
}

// ---- Hosts ----

TEST(TaskScheduling, TheHostPassAsksForCachedPeersThroughTheirParentsVpeer)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    Reply(task, {}, {Vpeer(900, 7777)});
    h.hosts->AddHosts(TaskHarness::kTaskId,
                      {Host(10, PEERTYPE_NAT, 900), Host(11, PEERTYPE_DIRECT), Host(TaskHarness::kSelfId, 1)});
    h.nat.Clear();
    task->Run();
    std::map<std::uint64_t, task_test::RecordingNat::Call> calls;
    for (const auto& c : h.nat.Calls())
        calls[+c.target.clientid] = c;
    ASSERT_EQ(2u, calls.size());   // never this client itself
    EXPECT_EQ(900u, +calls[10].parent.clientid);
    EXPECT_EQ(Ip("127.0.0.1"), calls[10].server_ip);
    EXPECT_EQ(7777, calls[10].server_port);
    EXPECT_EQ(0u, calls[11].server_ip);
    EXPECT_EQ(0, calls[11].server_port);
    // The hosts left the cache.
    EXPECT_EQ(0u, h.HostCount());
}

TEST(TaskScheduling, AnAddressIsDialledAtMostOnceAMinuteHoweverOftenItIsNamed)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    // Named again and again in son lists under new ids: one address and
    // port is one dial a minute; another port is another peer.
    const auto name = [&](std::uint64_t id, std::uint16_t port) {
        HostRecord host{};
        host.peer = Peer(id, PEERTYPE_DIRECT, "127.0.0.9", port);
        host.parent = Peer(77, PEERTYPE_DIRECT, "127.0.0.8", 4000);   // the peer whose son list named it
        h.hosts->AddHosts(TaskHarness::kTaskId, {host});
    };
    const auto dials = [&] {
        const std::size_t n = h.nat.Calls().size();
        h.nat.Clear();
        return n;
    };
    h.nat.Clear();
    struct Step {
        std::uint32_t advance_ms;
        std::uint64_t id;
        std::uint16_t port;
        std::size_t dials;
    } steps[] = {{0, 20, 5000, 1}, {1000, 21, 5000, 0}, {1000, 22, 5001, 1}, {50000, 23, 5000, 0}, {9000, 24, 5000, 1}};
    for (const Step& s : steps) {
        clocks.AdvanceMs(s.advance_ms);
        name(s.id, s.port);
        task->Run();
        EXPECT_EQ(s.dials, dials()) << s.id;
    }
}

// A ready task whose peer-list requests go to a CIS on 127.0.0.1, under
// hand-moved clocks.
class CisTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // An engine shut down earlier in this process cancels every CIS
        // request until allowed again.
        CCisConnectionEx::ResetCancelAll();
        ASSERT_TRUE(cis.Start());
        h.cis = {cis.address()};
        engine_flags::set_index_servers_usable(true);
        task = h.MakeReadyTask();
        // No tick has run: the first request goes out as the task gets ready.
        ASSERT_TRUE(RequestsServed(1));
    }

    // Waits for the requests made so far to be served; true when exactly
    // `n` reached the CIS.
    bool RequestsServed(std::size_t n)
    {
        wait_until([&] { return cis.peer_requests().size() >= n; });
        wait_until([&] { return !task->IsPeerListRequestRunning(); });
        return cis.peer_requests().size() == n;
    }

    FakeClocks clocks;
    test_support::FakeCisServer cis;
    TaskHarness h;
    CDownload_Task* task = nullptr;
};

TEST_F(CisTaskTest, AnEmptyHostCacheAsksTheCisEveryFiveSeconds)
{
    // (ms since the previous tick, peer-list requests so far)
    const struct {
        std::uint32_t wait_ms;
        std::size_t requests;
    } ticks[] = {{0, 1}, {3000, 1}, {1999, 1}, {1, 2}, {4999, 2}, {1, 3}};
    for (const auto& t : ticks) {
        clocks.AdvanceMs(t.wait_ms);
        task->Run();
        EXPECT_TRUE(RequestsServed(t.requests)) << t.requests;
    }
    ASSERT_FALSE(cis.peer_requests().empty());
    const auto request = cis.peer_requests().front();
    EXPECT_EQ(TaskHarness::kSelfId, request.client_id);
    EXPECT_EQ(TaskHarness::kTaskId, request.task_id);
    EXPECT_EQ(PEERTYPE_SP, request.peer_type);
    EXPECT_EQ(9123, request.listen_port);
    EXPECT_EQ(100, request.peer_count);
    EXPECT_TRUE(engine_flags::index_servers_usable());
}

TEST_F(CisTaskTest, FewConnectionsAskForAPeerListAtMostOnceInThirtyOneSeconds)
{
    const struct {
        std::int64_t wait_s;
        std::size_t requests;
    } checks[] = {{30, 1}, {1, 2}, {30, 2}, {1, 3}, {-5, 3}};   // 1: the one made at ready
    for (const auto& c : checks) {
        clocks.AdvanceSeconds(c.wait_s);
        task->OnTimerCheckToGetPeerList();
        EXPECT_TRUE(RequestsServed(c.requests)) << c.requests;
    }
}

TEST_F(CisTaskTest, AReplyIsAppliedOnTheIoThreadWhichAsksForItsPeersAtOnce)
{
    // The session's I/O thread; the task's tick never runs (the clocks stand
    // still), so whatever is asked for is asked for by the reply itself.
    std::atomic<std::thread::id> io_id{};
    std::thread io_thread([&] {
        io_id.store(std::this_thread::get_id());
        h.io.run();
    });
    cis.SetTaskPeers(TaskHarness::kTaskId, {Peer(21, PEERTYPE_NAT), Peer(22, PEERTYPE_DIRECT)}, {Vpeer(31, 5)}, {});
    h.nat.Clear();
    task->RequestPeerList();
    const bool asked = wait_until([&] { return h.nat.Calls().size() >= 2; });
    h.io.stop();
    io_thread.join();
    ASSERT_TRUE(asked) << "the reply's peers wait for a tick";
    EXPECT_EQ((std::vector<std::uint64_t>{21, 22}), h.nat.Targets());
    for (const auto& call : h.nat.Calls())
        EXPECT_EQ(io_id.load(), call.thread) << "asked for off the I/O thread";
    EXPECT_EQ(std::vector<std::uint64_t>{31}, Ids(task->GetVpeers()));
    EXPECT_EQ(0u, h.HostCount());   // taken from the cache by the pass
    EXPECT_TRUE(engine_flags::index_servers_usable());
}

TEST(TaskScheduling, TheSeedingPassLooksForParentsOnlyBehindNat)
{
    const struct {
        std::uint8_t own_type;
        int parents;
        std::size_t asked;   // hosts asked for out of three (one behind NAT)
    } cases[] = {{PEERTYPE_SP, 0, 0}, {PEERTYPE_NAT, 9, 2}, {PEERTYPE_NAT, 10, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.own_type) * 100 + c.parents);
        TaskHarness h;
        h.self.peertype = c.own_type;
        h.nat.parents = c.parents;
        CDownload_Task* task = h.MakeReadyTask();
        h.WriteAllPieces();
        task->Run();
        ASSERT_TRUE(task->IsComplete());
        h.hosts->AddHosts(TaskHarness::kTaskId, {Host(1, PEERTYPE_NAT), Host(2, PEERTYPE_DIRECT), Host(3, 1)});
        h.nat.Clear();
        task->Run();
        EXPECT_EQ(c.asked, h.nat.Calls().size());
        for (const auto& call : h.nat.Calls())
            EXPECT_NE(PEERTYPE_NAT, +call.target.peertype);
    }
}

// ---- LAN ----

TEST(TaskScheduling, ALanPassAsksForAtMostFourLanPeers)
{
    CLanPeerDiscovery lan;
    lan.SetPorts(0, 0);
    lan.SetParams(TaskHarness::kSelfId, 9123);
    lan.SetQueryTarget("127.0.0.1", 9);
    ASSERT_TRUE(lan.Start());
    CLanPeerDiscovery::SetInstance(&lan);
    {
        TaskHarness h;
        CDownload_Task* task = h.MakeReadyTask();
        // Six peers answer for the task.
        platform::socket_t s = platform::udp_socket();
        for (std::uint64_t id = 1; id <= 6; ++id) {
            std::uint8_t answer[18];
            const std::uint64_t task_id = TaskHarness::kTaskId;
            const std::uint16_t port = std::uint16_t(7100 + id);
            std::memcpy(answer, &task_id, 8);
            std::memcpy(answer + 8, &id, 8);
            std::memcpy(answer + 16, &port, 2);
            std::uint32_t error = 0;
            platform::send_to(s, answer, sizeof(answer), Ip("127.0.0.1"), lan.GetAnswerPort(), error);
        }
        platform::close_socket(s);
        std::map<std::uint64_t, LanPeer> peers;
        // A loaded machine may keep the discovery thread from its sockets for
        // a while; the bound only keeps a lost answer from hanging the test.
        ASSERT_TRUE(wait_until(
            [&] {
                lan.GetPeers(TaskHarness::kTaskId, peers);
                return peers.size() == 6;
            },
            20000))
            << peers.size() << " LAN peers known";

        h.nat.Clear();
        task->ConnectLanPeers();
        const auto calls = h.nat.Calls();
        ASSERT_EQ(4u, calls.size());
        for (const auto& call : calls) {
            EXPECT_EQ(PEERTYPE_LAN, +call.target.peertype);
            EXPECT_EQ(Ip("127.0.0.1"), +call.target.publicip);
            EXPECT_EQ(7100 + call.target.clientid, +call.target.publicport);
            EXPECT_EQ(+call.target.publicip, call.server_ip);
            EXPECT_EQ(+call.target.publicport, call.server_port);
            EXPECT_EQ(0u, +call.parent.clientid);
        }
        // More than five live LAN connections: no LAN peer is asked for.
        for (int i = 0; i < 6; ++i)
            lan.IncLanConnCount();
        h.nat.Clear();
        task->ConnectLanPeers();
        EXPECT_TRUE(h.nat.Calls().empty());
        for (int i = 0; i < 6; ++i)
            lan.DecLanConnCount();
    }
    CLanPeerDiscovery::SetInstance(nullptr);
    lan.Stop();
}

// ---- The CIS reply ----

TEST(TaskScheduling, ASmallTaskWithHttpPeersRunsOverHttpOnly)
{
    const struct {
        const char* limit;   // "limit_use_p2p_size", null when missing
        bool http_peer;      // the reply names an HTTP server
        bool p2p;
    } cases[] = {
        {nullptr, true, false},                                                 // 400000 bytes < 10485760
        {nullptr, false, true},                                                 // nothing to fetch over HTTP
        {"100", true, true},                                                    // a task larger than the limit
        {"400001", true, false}, {"400000", true, true}, {"abc", true, true},   // not a number: 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.limit ? c.limit : "(missing)") + (c.http_peer ? " http" : ""));
        TaskHarness h;
        if (c.limit)
            g_Settings.Set("limit_use_p2p_size", c.limit);
        CDownload_Task* task = h.MakeReadyTask();
        std::vector<PeerInfo> peers = {Peer(1, PEERTYPE_NAT, "127.0.0.1", 4001),
                                       Peer(2, PEERTYPE_DIRECT, "127.0.0.1", 4002)};
        if (c.http_peer) {
            PeerInfo server = Peer(3, PEERTYPE_HTTP, "127.0.0.1", 4003);
            SetFixedText(server.hostname, "one.example");
            peers.push_back(server);
        }
        Reply(task, peers, {Vpeer(50, 1), Vpeer(51, 2)}, {{3, "one.example", "/game/dir/file0.bin"}});
        EXPECT_EQ(c.p2p ? 2u : 0u, task->GetVpeers().size());
        EXPECT_EQ(c.p2p ? peers.size() : 0u, h.nat.Calls().size());   // every peer asked for at once
        EXPECT_EQ(c.http_peer, task->GetHttpPeerList().GetCount() > 0);
        HttpPeerInfo info;
        EXPECT_TRUE(task->GetHttpPeerInfo(3, info));
    }
}

TEST(TaskScheduling, AFailedCisReplyTurnsTheIndexServersOffForEveryTaskForABackOff)
{
    FakeClocks clocks;
    CCisConnectionEx::ResetCancelAll();
    test_support::FakeCisServer cis;
    ASSERT_TRUE(cis.Start());
    const struct {
        std::uint32_t result, status;
        bool usable_after;
    } cases[] = {{2, 0, false}, {0, 7, false}, {CIS_STOPPED, 0, true}, {0, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result * 100 + c.status);
        TaskHarness h;
        h.cis = {cis.address()};
        CDownload_Task* task = h.MakeReadyTask();   // asks no CIS: the harness has the index servers off
        engine_flags::set_index_servers_usable(true);
        task->OnCisConnectionCompleted(c.result, {Peer(1, 2)}, {Vpeer(2, 2)}, {}, c.status);
        h.io.poll();
        EXPECT_EQ(c.usable_after, engine_flags::index_servers_usable());
        if (c.result != 0 || c.status != 0) {
            EXPECT_EQ(0u, h.HostCount());
            EXPECT_TRUE(task->GetVpeers().empty());
        }
    }
    // During the back-off a new task's first request never reaches a CIS;
    // once it is over the CIS is asked again, and each failure in a row
    // doubles it, up to its cap. An answer starts it from the first step.
    TaskHarness h;
    h.cis = {cis.address()};
    engine_flags::set_index_servers_usable(true);
    CDownload_Task* task = h.MakeTask();
    const std::uint32_t first = engine_flags::kIndexServersFirstBackoffMs;
    const struct {
        std::uint32_t result;   // the reply before the wait (~0: none)
        std::uint32_t wait_ms;
        bool usable;
    } steps[] = {{2, first - 1, false},
                 {~0u, 1, true},
                 {2, 2 * first - 1, false},
                 {~0u, 1, true},
                 {2, 4 * first, true},
                 {0, 0, true},
                 {2, first, true},
                 {2, 1u << 30, true},
                 {2, 1u << 30, true},
                 {2, 1u << 30, true},
                 {2, 1u << 30, true},
                 {2, 1u << 30, true},
                 {2, engine_flags::kIndexServersMaxBackoffMs - 1, false},
                 {~0u, 1, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.wait_ms);
        if (step.result != ~0u)
            task->OnCisConnectionCompleted(step.result, {}, {}, {}, 0);
        if (&step == &steps[0]) {
            // The task gets ready, which is when its first request is made.
            ASSERT_TRUE(task->Start(std::uint32_t(h.fx.files().size()), h.fx.file_list(), h.dir.file("save")));
            ASSERT_TRUE(task->PrepareFiles());
            ASSERT_TRUE(task->IsReady());
            task->Run();
            EXPECT_FALSE(task->IsPeerListRequestRunning()) << "the first request waits for the back-off";
        }
        clocks.AdvanceMs(step.wait_ms);
        EXPECT_EQ(step.usable, engine_flags::index_servers_usable());
    }
    EXPECT_TRUE(cis.peer_requests().empty());
    task->RequestPeerList();
    EXPECT_TRUE(wait_until([&] { return cis.peer_requests().size() == 1; })) << "the CIS is asked again";
    EXPECT_TRUE(wait_until([&] { return !task->IsPeerListRequestRunning(); }));
    engine_flags::set_index_servers_usable(true);
}

// ---- HTTP peers ----

TEST(TaskScheduling, AnHttpHostResolvingToThreeAddressesBecomesThreeCdnRecords)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    const std::uint16_t port = 8089;
    PeerInfo server = Peer(3, PEERTYPE_HTTP, "0.0.0.0", port);
    SetFixedText(server.hostname, "three.example");
    // Only the task dials here: the CDN thread's probe of a new source would
    // take the place of the task's.
    task->GetCdnThread()->Stop();
    ASSERT_TRUE(wait_until([&] { return task->GetCdnThread()->IsStopped(); }));
    MakerJournal::Get().Clear();
    Reply(task, {server}, {}, {{3, "three.example", "/game/dir/file0.bin"}});
    // Timer 1 dials them (called by hand: the harness stopped the timers).
    EXPECT_TRUE(task->OnTimer(CDownload_Task::kTimerHttp, 0));

    std::vector<PeerInfo> all;
    task->GetHttpPeerList().GetAll(all);
    std::vector<std::uint64_t> expanded;
    for (const PeerInfo& p : all) {
        EXPECT_EQ(port, +p.publicport);            // the URL's port stays
        EXPECT_EQ(Ip("127.0.0.1"), +p.publicip);   // the host's first address
        if (p.peertype == PEERTYPE_HTTP_CDN)
            expanded.push_back(+p.clientid);
    }
    std::vector<std::uint64_t> ids;
    for (const char* a : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
        ids.push_back((std::uint64_t(Ip(a)) << 16) | port);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, expanded);
    for (std::uint64_t id : ids) {
        HttpPeerInfo info;
        ASSERT_TRUE(task->GetHttpPeerInfo(id, info));
        EXPECT_EQ("three.example", info.host);
        EXPECT_EQ("/game/dir/file0.bin", info.path);
    }
    // Only the type-4 records are dialled, each on the URL's port.
    const auto dials = MakerJournal::Get().Of('d');
    ASSERT_EQ(3u, dials.size());
    for (const auto& d : dials) {
        EXPECT_EQ(PEERTYPE_HTTP_CDN, +d.peer.peertype);
        EXPECT_EQ(port, d.port);
    }
}

TEST(TaskScheduling, HttpPeersAreDialledWithinThePerPeerAndTotalLimits)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    const PeerInfo x = Peer(71, PEERTYPE_HTTP_CDN);
    const PeerInfo y = Peer(72, PEERTYPE_HTTP_CDN);
    auto dials = [] { return MakerJournal::Get().Of('d').size(); };

    // A source that has not answered is probed by one connection; one that
    // failed waits out its back-off; one that answered takes up to the limits.
    const PeerInfo z = Peer(74, PEERTYPE_HTTP_CDN);
    task->IncHttpConnectionCount(&z);
    task->TryConnectHttpPeer(z);
    EXPECT_EQ(0u, dials()) << "a probe is under way";
    task->DecHttpConnectionCount(&z);
    task->ReportHttpSource(74, false);
    task->TryConnectHttpPeer(z);
    EXPECT_EQ(0u, dials()) << "in back-off";
    task->ReportHttpSource(74, true);
    task->IncHttpConnectionCount(&z);
    task->TryConnectHttpPeer(z);
    EXPECT_EQ(1u, dials()) << "answered: more connections";
    task->DecHttpConnectionCount(&z);
    MakerJournal::Get().Clear();
    task->ReportHttpSource(71, true);
    task->ReportHttpSource(72, true);

    for (int i = 0; i < 9; ++i)
        task->IncHttpConnectionCount(&x);
    task->TryConnectHttpPeer(x);
    EXPECT_EQ(1u, dials());
    task->IncHttpConnectionCount(&x);   // 10 to x: the per-peer limit
    task->TryConnectHttpPeer(x);
    EXPECT_EQ(1u, dials());
    task->TryConnectHttpPeer(y);   // 10 in all: the total limit
    EXPECT_EQ(1u, dials());
    transfer_limits::http_connection_limit().store(11);
    task->TryConnectHttpPeer(y);
    EXPECT_EQ(2u, dials());
    task->TryConnectHttpPeer(Peer(73, PEERTYPE_HTTP));   // never dialled
    EXPECT_EQ(2u, dials());

    // A dialled socket is adopted with the passive flag 0 (and closed here,
    // since the recording maker builds nothing).
    SocketPair pair;
    MakerJournal::Get().dial_socket = pair.Hand();
    task->TryConnectHttpPeer(y);
    h.io.poll();   // adopted on the I/O thread
    ASSERT_EQ(1u, MakerJournal::Get().Of('h').size());
    EXPECT_EQ(0, MakerJournal::Get().Of('h')[0].passive);
    EXPECT_TRUE(pair.ClosedWithin(3000));

    h.WriteAllPieces();
    task->Run();
    ASSERT_TRUE(task->IsComplete());
    task->TryConnectHttpPeer(y);
    EXPECT_EQ(3u, dials());
}

TEST(TaskScheduling, SocketsAreAdoptedByPeerTypeAndClosedWhenRefused)
{
    const struct {
        bool ready;
        bool running;
        std::uint8_t type;
        std::uint8_t passive;
        char kind;             // maker asked, 0 for none
        std::uint8_t passed;   // passive flag it got
    } cases[] = {
        {false, true, PEERTYPE_DIRECT, 1, 0, 0},   // before storage reported the channel
        {true, false, PEERTYPE_DIRECT, 1, 0, 0},   // the task no longer runs
        {true, true, PEERTYPE_HTTP, 0, 0, 0},      // an HTTP server record
        {true, true, PEERTYPE_HTTP_CDN, 1, 'h', 1},
        {true, true, PEERTYPE_LAN, 1, 'p', 0},   // LAN peers always speak first
        {true, true, PEERTYPE_DIRECT, 1, 'p', 1},
        {true, true, PEERTYPE_NAT, 0, 'p', 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.type) * 100 + int(c.ready) * 10 + int(c.running));
        TaskHarness h;
        CDownload_Task* task = c.ready ? h.MakeReadyTask() : h.MakeTask();
        if (!c.running)
            live_connections::set_running(TaskHarness::kTaskId, 0);
        MakerJournal::Get().Clear();
        SocketPair pair;
        const PeerInfo peer = Peer(44, c.type);
        task->AddPeerSocket(pair.Hand(), &peer, c.passive);
        const auto made = MakerJournal::Get().All();
        if (c.kind == 0) {
            EXPECT_TRUE(made.empty());
        } else {
            ASSERT_EQ(1u, made.size());
            EXPECT_EQ(c.kind, made[0].kind);
            EXPECT_EQ(c.passed, made[0].passive);
        }
        EXPECT_TRUE(pair.ClosedWithin(3000));
    }
    // The invalid socket value is ignored.
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    const PeerInfo peer = Peer(45, PEERTYPE_DIRECT);
    task->AddPeerSocket(platform::invalid_socket, &peer, 0);
    EXPECT_TRUE(MakerJournal::Get().All().empty());

    // Handed over from another thread, a socket waits for the I/O thread:
    // a task deleted meanwhile, or a session shutting down, leaves it
    // closed, not lost.
    SocketPair late;
    task->AdoptSocket(late.Hand(), peer, 0);
    h.DeleteTask();
    EXPECT_EQ(1u, h.io.poll());
    EXPECT_TRUE(late.ClosedWithin(3000));
    TaskHarness h2;
    CDownload_Task* task2 = h2.MakeReadyTask();
    h2.io.shutdown();
    SocketPair refused;
    task2->AdoptSocket(refused.Hand(), peer, 0);
    EXPECT_TRUE(refused.ClosedWithin(3000));
}

}   // namespace
