#include "discovery/cis_connection.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "discovery_test_util.h"
#include "foundation/cmd_packet.h"
#include "platform/tick.h"
#include "support/fake_cis_server.h"
#include "support/ends_within.h"
#include "support/fake_packet_server.h"
#include "support/shifted_tick.h"

namespace {

using test_support::FakeCisServer;

class RecordingSink : public CCisConnectionEx_Event {
public:
    void OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                  const std::vector<VPeerInfo>& vpeers, const std::vector<HttpPeerInfo>& http_peers,
                                  std::uint32_t status) override
    {
        std::lock_guard<std::mutex> guard(lock);
        ++completions;
        this->result = result;
        this->status = status;
        this->peers = peers;
        this->vpeers = vpeers;
        this->http_peers = http_peers;
    }
    void OnCisConnectionNotify(std::uint32_t code, std::uint32_t value) override
    {
        std::lock_guard<std::mutex> guard(lock);
        notes.push_back({code, value});
    }
    void OnCisMessage(const char* text, std::uint32_t code) override
    {
        std::lock_guard<std::mutex> guard(lock);
        messages.push_back({text, code});
    }
    int Completions()
    {
        std::lock_guard<std::mutex> guard(lock);
        return completions;
    }

    std::mutex lock;
    int completions = 0;
    std::uint32_t result = 99;
    std::uint32_t status = 99;
    std::vector<PeerInfo> peers;
    std::vector<VPeerInfo> vpeers;
    std::vector<HttpPeerInfo> http_peers;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> notes;
    std::vector<std::pair<std::string, std::uint32_t>> messages;
};

PeerInfo MakePeer(std::uint64_t id, std::uint8_t type)
{
    PeerInfo p{};
    p.clientid = id;
    p.publicip = discovery_test::Loopback();
    p.publicport = static_cast<std::uint16_t>(1000 + id);
    p.peertype = type;
    SetFixedText(p.path, "/files/");
    return p;
}

CisLogonParam Param(std::uint64_t task_id)
{
    CisLogonParam param;
    param.clientid = 77;
    param.taskid = task_id;
    param.peertype = 1;
    param.listenport = 9001;
    return param;
}

CisAddress DownCis()
{
    return CisAddress{0x7F000001, discovery_test::ClosedPort(), 0};
}

class CisConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CCisConnectionEx::ResetCancelAll();
        ASSERT_TRUE(server.Start());
        cis.SetEventSink(&sink);
        cis.SetTimeouts(1000, 500);
    }

    // Runs one logon to completion.
    void Logon(const std::vector<CisAddress>& list, std::uint64_t task_id = 5)
    {
        ASSERT_EQ(1, cis.StartLogon(Param(task_id), list, 100, 0xFFFFFFFFu));
        ASSERT_TRUE(test_support::wait_until([&] { return sink.Completions() == 1; }, 8000));
        cis.StopLogon();
    }

    FakeCisServer server;
    RecordingSink sink;
    CCisConnectionEx cis;
};

TEST_F(CisConnectionTest, AnswerCarriesPeersVpeersAndHttpPeers)
{
    PeerInfo full = MakePeer(2, PEERTYPE_SP);
    std::memset(full.hostname, 'h', sizeof(full.hostname));   // no NUL at all
    VPeerInfo vpeer{};
    vpeer.clientid = 9;
    vpeer.ip = discovery_test::Loopback();
    vpeer.port = 7777;
    vpeer.peertype = PEERTYPE_SP;
    std::memset(vpeer.path, 'p', sizeof(vpeer.path));
    server.SetTaskPeers(5, {MakePeer(1, PEERTYPE_NAT), full}, {vpeer},
                        {{31, "cdn.example", "/games/a.bin"}, {32, "mirror.example", ""}});
    server.SetTaskPeers(6, {MakePeer(3, PEERTYPE_SP)}, {}, {});
    Logon({server.address()});

    EXPECT_EQ(0u, sink.result);
    EXPECT_EQ(0u, sink.status);
    ASSERT_EQ(2u, sink.peers.size());
    EXPECT_EQ(1u, +sink.peers[0].clientid);
    EXPECT_EQ(1001, +sink.peers[0].publicport);
    EXPECT_EQ(std::string(63, 'h'), FixedText(sink.peers[1].hostname));
    EXPECT_EQ(63u, std::strlen(sink.peers[1].hostname));
    ASSERT_EQ(1u, sink.vpeers.size());
    EXPECT_EQ(7777, +sink.vpeers[0].port);
    EXPECT_EQ(63u, std::strlen(sink.vpeers[0].path));
    ASSERT_EQ(2u, sink.http_peers.size());
    EXPECT_EQ(31u, sink.http_peers[0].peerid);
    EXPECT_EQ("cdn.example", sink.http_peers[0].host);
    EXPECT_EQ("/games/a.bin", sink.http_peers[0].path);
    EXPECT_EQ("", sink.http_peers[1].path);

    const auto requests = server.peer_requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(77u, requests[0].client_id);
    EXPECT_EQ(5u, requests[0].task_id);
    EXPECT_EQ(1, requests[0].peer_type);
    EXPECT_EQ(9001, requests[0].listen_port);
    EXPECT_EQ(100, requests[0].peer_count);
    ASSERT_FALSE(sink.messages.empty());
    EXPECT_EQ("task id=5,result=0,status=0", sink.messages.back().first);
    EXPECT_EQ(3u, sink.messages.back().second);
}

struct FailureCase {
    const char* name;
    FakeCisServer::Mode mode;
    std::uint32_t result;
    std::uint32_t status;
};

TEST_F(CisConnectionTest, WrongOrMissingAnswersReportAFailureWithoutPeers)
{
    server.SetTaskPeers(5, {MakePeer(1, PEERTYPE_SP)}, {}, {});
    const FailureCase cases[] = {
        {"refuse", FakeCisServer::Mode::refuse, CIS_REFUSED, 7},
        {"malformed", FakeCisServer::Mode::malformed, CIS_FAILED, 0},
        {"wrong task", FakeCisServer::Mode::wrong_task, CIS_FAILED, 0},
        {"garbage", FakeCisServer::Mode::garbage, CIS_FAILED, 0},
        {"silent", FakeCisServer::Mode::silent, CIS_FAILED, 0},
        {"hang up", FakeCisServer::Mode::hang_up, CIS_FAILED, 0},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetMode(c.mode);
        RecordingSink one;
        CCisConnectionEx logon;
        logon.SetEventSink(&one);
        logon.SetTimeouts(1000, 500);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(1, logon.StartLogon(Param(5), {server.address()}, 100, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return one.Completions() == 1; }, 5000));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(c.result, one.result);
        EXPECT_EQ(c.status, one.status);
        EXPECT_TRUE(one.peers.empty());
        EXPECT_TRUE(one.vpeers.empty());
        EXPECT_TRUE(one.http_peers.empty());
    }
}

TEST_F(CisConnectionTest, ServersAreAskedInOrderUntilOneAnswers)
{
    server.SetTaskPeers(5, {MakePeer(1, PEERTYPE_SP)}, {}, {});
    Logon({DownCis(), server.address()});
    EXPECT_EQ(0u, sink.result);
    EXPECT_EQ(1u, sink.peers.size());
    ASSERT_EQ(3u, sink.notes.size());
    EXPECT_EQ(std::make_pair(2u, 0u), sink.notes[1]);
    EXPECT_EQ(std::make_pair(1u, 1u), sink.notes[2]);
}

TEST_F(CisConnectionTest, EmptyListAndDownServersFail)
{
    Logon({}, ~std::uint64_t{0});
    EXPECT_EQ(static_cast<std::uint32_t>(CIS_NO_SERVER), sink.result);
    ASSERT_FALSE(sink.messages.empty());
    EXPECT_EQ("task id=-1,result=1,status=0", sink.messages.back().first);
    RecordingSink down;
    CCisConnectionEx other;
    other.SetEventSink(&down);
    ASSERT_EQ(1, other.StartLogon(Param(5), {DownCis(), DownCis()}, 100, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return down.Completions() == 1; }));
    EXPECT_EQ(static_cast<std::uint32_t>(CIS_FAILED), down.result);
}

TEST_F(CisConnectionTest, ARunningLogonRefusesANewOneFor120Seconds)
{
    server.SetMode(FakeCisServer::Mode::silent);
    cis.SetTimeouts(1000, 60000);
    test_support::shifted_tick_scope tick;
    ASSERT_EQ(1, cis.StartLogon(Param(5), {server.address()}, 100, 0));
    EXPECT_EQ(0, cis.StartLogon(Param(5), {server.address()}, 100, 0));
    test_support::tick_offset().store(119000);
    EXPECT_EQ(0, cis.StartLogon(Param(5), {server.address()}, 100, 0));
    EXPECT_TRUE(cis.IsLogonRunning());

    // Past 120 s the old logon is told to end, never waited for; the next
    // request starts a new one.
    server.SetMode(FakeCisServer::Mode::answer);
    test_support::tick_offset().store(121000);
    EXPECT_EQ(0, cis.StartLogon(Param(5), {server.address()}, 100, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return !cis.IsLogonRunning(); }, 3000));
    EXPECT_EQ(1, cis.StartLogon(Param(5), {server.address()}, 100, 0));
    // (the old logon may have reported its time-out before it was ended)
    EXPECT_TRUE(test_support::wait_until([&] {
        std::lock_guard<std::mutex> guard(sink.lock);
        return sink.completions >= 1 && sink.result == 0;
    }));
    cis.StopLogon();
}

// A sink that holds the logon thread until it is let go.
class BusySink : public RecordingSink {
public:
    void OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                  const std::vector<VPeerInfo>& vpeers, const std::vector<HttpPeerInfo>& http_peers,
                                  std::uint32_t status) override
    {
        entered = true;
        test_support::wait_until([&] { return release.load(); }, 10000);
        RecordingSink::OnCisConnectionCompleted(result, peers, vpeers, http_peers, status);
    }
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
};

TEST_F(CisConnectionTest, ALogonBusyInItsSinkHoldsUpNeitherAStartNorAStop)
{
    // A start (the I/O thread's peer-list request) past the refusal window
    // tells the old logon to end and returns at once.
    {
        BusySink busy;
        CCisConnectionEx connection;
        connection.SetEventSink(&busy);
        test_support::shifted_tick_scope tick;
        ASSERT_EQ(1, connection.StartLogon(Param(5), {server.address()}, 100, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return busy.entered.load(); }, 5000));
        test_support::tick_offset().store(121000);
        test_support::ends_within([&] { EXPECT_EQ(0, connection.StartLogon(Param(5), {server.address()}, 100, 0)); },
                                  2000, "StartLogon while the old logon is in its sink");
        busy.release = true;
        connection.StopLogon();
        EXPECT_FALSE(connection.IsLogonRunning());
    }
    // While StopLogon waits for the sink, a start on another thread is
    // refused at once instead of queueing behind that wait.
    {
        BusySink busy;
        CCisConnectionEx connection;
        connection.SetEventSink(&busy);
        ASSERT_EQ(1, connection.StartLogon(Param(5), {server.address()}, 100, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return busy.entered.load(); }, 5000));
        std::thread stopper([&] { connection.StopLogon(); });
        test_support::ends_within(
            [&] {
                platform::sleep_ms(20);   // the stop waits for the sink by now
                EXPECT_EQ(0, connection.StartLogon(Param(6), {server.address()}, 100, 0));
                EXPECT_TRUE(connection.IsLogonRunning());
            },
            2000, "StartLogon while StopLogon waits for the logon");
        busy.release = true;
        stopper.join();
        EXPECT_FALSE(connection.IsLogonRunning());
        EXPECT_EQ(1, busy.Completions());
    }
}

TEST_F(CisConnectionTest, StopLogonEndsASilentLogonPromptlyWithoutReport)
{
    server.SetMode(FakeCisServer::Mode::silent);
    cis.SetTimeouts(1000, 60000);
    ASSERT_EQ(1, cis.StartLogon(Param(5), {server.address()}, 100, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return server.peer_requests().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    cis.StopLogon();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(cis.IsLogonRunning());
    EXPECT_EQ(0, sink.Completions());
}

// A sink that calls back into its connection from the reply, as a task
// being torn down might.
class ReentrantSink : public RecordingSink {
public:
    void OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                  const std::vector<VPeerInfo>& vpeers, const std::vector<HttpPeerInfo>& http_peers,
                                  std::uint32_t status) override
    {
        restart = owner->StartLogon(Param(5), {}, 100, 0);
        owner->StopLogon();
        RecordingSink::OnCisConnectionCompleted(result, peers, vpeers, http_peers, status);
    }
    CCisConnectionEx* owner = nullptr;
    int restart = -1;
};

TEST_F(CisConnectionTest, TheSinkMayCallBackIntoItsConnection)
{
    ReentrantSink reentrant;
    CCisConnectionEx connection;
    reentrant.owner = &connection;
    connection.SetEventSink(&reentrant);
    ASSERT_EQ(1, connection.StartLogon(Param(5), {server.address()}, 100, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return reentrant.Completions() == 1; }));
    EXPECT_EQ(0, reentrant.restart);
    connection.StopLogon();
    EXPECT_FALSE(connection.IsLogonRunning());
}

TEST_F(CisConnectionTest, TaskReportGoesToTheFirstCis)
{
    CCisConnectionEx reporter;
    reporter.SetTimeouts(500, 500);
    EXPECT_EQ(0, reporter.SendCmd87Packet(5, 77, 10, 20, 30, {server.address(), DownCis()}, 9));
    const auto reports = server.reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(5u, reports[0].task_id);
    EXPECT_EQ(77u, reports[0].client_id);
    EXPECT_EQ(10u, reports[0].a);
    EXPECT_EQ(20u, reports[0].b);
    EXPECT_EQ(30u, reports[0].c);
    EXPECT_EQ(9, reports[0].type);

    server.SetReportResult(3);
    EXPECT_EQ(6, reporter.SendCmd87Packet(5, 77, 0, 0, 0, {server.address()}, 0));
    EXPECT_EQ(1, reporter.SendCmd87Packet(5, 77, 0, 0, 0, {}, 0));
    EXPECT_EQ(2, reporter.SendCmd87Packet(5, 77, 0, 0, 0, {DownCis()}, 0));
    server.SetMode(FakeCisServer::Mode::silent);
    EXPECT_EQ(4, reporter.SendCmd87Packet(5, 77, 0, 0, 0, {server.address()}, 0));
}

TEST_F(CisConnectionTest, TaskReportIsCancelledAtShutdown)
{
    server.SetMode(FakeCisServer::Mode::silent);
    CCisConnectionEx reporter;
    reporter.SetTimeouts(10000, 10000);
    std::atomic<int> result{-1};
    std::thread caller([&] { result = reporter.SendCmd87Packet(5, 77, 1, 2, 3, {server.address()}, 0); });
    ASSERT_TRUE(test_support::wait_until([&] { return server.reports().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    CCisConnectionEx::CancelAll();
    caller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(5, result.load());
    EXPECT_EQ(5, reporter.SendCmd87Packet(5, 77, 1, 2, 3, {server.address()}, 0));
    CCisConnectionEx::ResetCancelAll();
}

}   // namespace

namespace {

// A valid reply of the CIS for `command`, as the fake server would send it.
std::vector<std::uint8_t> ValidReply(std::uint16_t command, std::uint64_t task_id)
{
    CCmdPacket reply(command);
    reply.add_u32(0, 0);
    reply.add_u64(1, task_id);
    if (command == 80) {
        std::vector<std::uint8_t> peers(2 * 149, 0x41);
        std::vector<std::uint8_t> vpeers(143, 0x42);
        reply.add_bytes(2, peers.data(), peers.size());
        reply.add_bytes(3, vpeers.data(), vpeers.size());
    } else {
        const std::uint8_t http[] = {1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 'a', '.', 'b', 2, 0, '/', 'x'};
        reply.add_bytes(2, http, sizeof(http));
    }
    return reply.build();
}

TEST(CisDamagedRepliesTest, DamagedRepliesAreRefusedOrReadWithinBounds)
{
    std::mt19937 rng(7);
    std::mutex rng_lock;
    test_support::FakePacketServer server;
    ASSERT_TRUE(server.Start([&](const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply) {
        const std::uint16_t command = cmd_packet::load_u16(request.data() + 5);
        std::lock_guard<std::mutex> guard(rng_lock);
        reply = discovery_test::Mutate(ValidReply(command, 5), rng);
        return true;
    }));
    const CisAddress address{0x7F000001, server.port(), 0};
    int good = 0;
    for (int i = 0; i < 300; ++i) {
        RecordingSink sink;
        CCisConnectionEx cis;
        cis.SetEventSink(&sink);
        cis.SetTimeouts(1000, 1000);
        ASSERT_EQ(1, cis.StartLogon(Param(5), {address}, 100, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return sink.Completions() == 1; }));
        cis.StopLogon();
        if (sink.result == 0) {
            ++good;
            for (const PeerInfo& p : sink.peers)
                EXPECT_EQ('\0', p.hostname[63]);
            for (const HttpPeerInfo& h : sink.http_peers)
                EXPECT_FALSE(h.host.empty());
        } else {
            EXPECT_TRUE(sink.peers.empty() && sink.vpeers.empty() && sink.http_peers.empty());
        }
    }
    EXPECT_LT(good, 300);
}

}   // namespace
