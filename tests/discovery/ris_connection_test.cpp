#include "discovery/ris_connection.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "discovery/server_list.h"
#include "discovery_test_util.h"
#include "foundation/cmd_packet.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "support/ends_within.h"
#include "support/fake_packet_server.h"
#include "support/fake_ris_server.h"
#include "support/temp_dir.h"

namespace {

using test_support::FakeRisServer;
using test_support::ScopedEnv;
using test_support::TempDir;

class RecordingSink : public CRisConnectionEx_Event {
public:
    void OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                  const RisLogonResult& logon, std::uint32_t status) override
    {
        std::lock_guard<std::mutex> guard(lock);
        ++completions;
        this->result = result;
        this->status = status;
        this->cis = cis_list;
        this->logon = logon;
    }
    void OnRisConnectionNotify(std::uint32_t code, std::uint32_t value) override
    {
        std::lock_guard<std::mutex> guard(lock);
        notes.push_back({code, value});
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
    std::vector<CisAddress> cis;
    RisLogonResult logon{};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> notes;
};

class RisConnectionTest : public ::testing::Test {
protected:
    RisConnectionTest() : registry("VR_REGISTRY_DIR", dir.path()), south("VR_RIS_SOUTH", ""), north("VR_RIS_NORTH", "")
    {
        CServerList::Instance().Clear();
        SetProcessClientId(0);
    }
    ~RisConnectionTest() override { CServerList::Instance().Clear(); }

    // Runs one logon against `south_address`; the bounds are short so a
    // silent server fails fast.
    void Logon(const std::string& south_address)
    {
        ScopedEnv env("VR_RIS_SOUTH", south_address);
        ris.SetEventSink(&sink);
        ris.SetTimeouts(1000, 700);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(0, ris.Start(0xFFFFFFFFu));
        ASSERT_TRUE(test_support::wait_until([&] { return sink.Completions() == 1; }, 8000));
        ris.Stop();
        elapsed_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }

    TempDir dir;
    ScopedEnv registry;
    ScopedEnv south;
    ScopedEnv north;
    FakeRisServer server;
    RecordingSink sink;
    CRisConnectionEx ris;
    long long elapsed_ms = 0;
};

TEST_F(RisConnectionTest, SuccessfulLogonReportsTheBlockAndStoresTheIdentity)
{
    FakeRisServer::Answer answer;
    answer.clientid = 0x1122334455667788ULL;
    answer.region = 21;
    answer.publicip = 0x0A000001;
    answer.peertype = 2;
    answer.cis = {{0x0A000002, 3335, 1}, {0x0A000003, 3336, 2}};
    server.SetAnswer(answer);
    ASSERT_TRUE(server.Start());
    Logon(server.address());

    EXPECT_EQ(0u, sink.result);
    EXPECT_EQ(0u, sink.status);
    ASSERT_EQ(2u, sink.cis.size());
    EXPECT_EQ(0x0A000002u, +sink.cis[0].ip);
    EXPECT_EQ(3336, +sink.cis[1].port);
    EXPECT_EQ(2, +sink.cis[1].area);
    const auto* block = reinterpret_cast<const std::uint8_t*>(&sink.logon);
    EXPECT_EQ(0x0A000001u, +sink.logon.publicip);
    EXPECT_EQ(0x7F000001u, +sink.logon.natip);   // the local end of the connection
    EXPECT_EQ(2, block[8]);
    std::uint64_t id_at_16 = 0;
    std::memcpy(&id_at_16, block + 16, 8);
    EXPECT_EQ(answer.clientid, id_at_16);
    EXPECT_EQ(21u, ris.GetRegionCode());
    EXPECT_EQ(1700000000u, ris.GetServerTime());
    EXPECT_EQ(answer.clientid, GetProcessClientId());

    platform::RegistryKey key;
    std::string stored;
    std::uint32_t region = 0;
    ASSERT_TRUE(key.get_string("ClientIdStr", stored));
    EXPECT_EQ("1234605616436508552", stored);
    ASSERT_TRUE(key.get_dword("RegionCode", region));
    EXPECT_EQ(21u, region);

    // The next logon presents the identity it was given.
    RecordingSink second;
    CRisConnectionEx again;
    ScopedEnv env("VR_RIS_SOUTH", server.address());
    again.SetEventSink(&second);
    ASSERT_EQ(0, again.Start(0));
    ASSERT_TRUE(test_support::wait_until([&] { return second.Completions() == 1; }));
    EXPECT_EQ(answer.clientid, server.last_client_id());
    EXPECT_EQ(21u, server.last_region());
}

struct FailureCase {
    const char* name;
    FakeRisServer::Mode mode;
    std::uint32_t result;
    std::uint32_t status;
};

TEST_F(RisConnectionTest, EveryWrongOrMissingAnswerEndsTheLogonWithAFailureInBoundedTime)
{
    const FailureCase cases[] = {
        {"refuse", FakeRisServer::Mode::refuse, RIS_REFUSED, 9},
        {"malformed", FakeRisServer::Mode::malformed, RIS_BAD_REPLY, 0},
        {"wrong cis list", FakeRisServer::Mode::wrong_cis, RIS_BAD_REPLY, 0},
        {"garbage", FakeRisServer::Mode::garbage, RIS_BAD_REPLY, 0},
        {"silent", FakeRisServer::Mode::silent, RIS_NO_REPLY, 0},
        {"hang up", FakeRisServer::Mode::hang_up, RIS_NO_REPLY, 0},
    };
    ASSERT_TRUE(server.Start());
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetMode(c.mode);
        RecordingSink one;
        CRisConnectionEx logon;
        ScopedEnv env("VR_RIS_SOUTH", server.address());
        logon.SetEventSink(&one);
        logon.SetTimeouts(1000, 500);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(0, logon.Start(0));
        ASSERT_TRUE(test_support::wait_until([&] { return one.Completions() == 1; }, 5000));
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(ms, 3000);
        EXPECT_EQ(c.result, one.result);
        EXPECT_EQ(c.status, one.status);
        EXPECT_TRUE(one.cis.empty());
        EXPECT_EQ(0u, GetProcessClientId());
    }
    platform::RegistryKey key;
    std::string stored;
    EXPECT_FALSE(key.get_string("ClientIdStr", stored));
}

TEST_F(RisConnectionTest, ADownServerFailsTheConnect)
{
    Logon("127.0.0.1:" + std::to_string(discovery_test::ClosedPort()));
    EXPECT_EQ(static_cast<std::uint32_t>(RIS_CONNECT_FAILED), sink.result);
    EXPECT_LT(elapsed_ms, 3000);
}

TEST_F(RisConnectionTest, TheNorthServerAnswersWhenTheSouthIsDown)
{
    ASSERT_TRUE(server.Start());
    ScopedEnv env("VR_RIS_NORTH", server.address());
    Logon("127.0.0.1:" + std::to_string(discovery_test::ClosedPort()));
    EXPECT_EQ(0u, sink.result);
    ASSERT_GE(sink.notes.size(), 3u);
    EXPECT_EQ(std::make_pair(1u, 0u), sink.notes[0]);
    EXPECT_EQ(std::make_pair(2u, 0u), sink.notes[1]);
    EXPECT_EQ(std::make_pair(1u, 1u), sink.notes[2]);
}

TEST_F(RisConnectionTest, SilentServersCannotHoldTheLogonPastItsOwnBound)
{
    server.SetMode(FakeRisServer::Mode::silent);
    ASSERT_TRUE(server.Start());
    FakeRisServer second;
    second.SetMode(FakeRisServer::Mode::silent);
    ASSERT_TRUE(second.Start());
    ScopedEnv env_north("VR_RIS_NORTH", second.address());
    ScopedEnv env_south("VR_RIS_SOUTH", server.address());
    ris.SetEventSink(&sink);
    ris.SetTimeouts(1000, 5000, 1500);   // each attempt alone could wait 5 s
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, ris.Start(0));
    ASSERT_TRUE(test_support::wait_until([&] { return sink.Completions() == 1; }, 8000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(static_cast<std::uint32_t>(RIS_NO_REPLY), sink.result);
    EXPECT_EQ(0, second.logons());   // the bound was spent on the south server
}

TEST_F(RisConnectionTest, StartResultsAndAStopThatReportsNothing)
{
    CRisConnectionEx lonely;
    EXPECT_EQ(1, lonely.Start(0));   // no sink

    // The command sink is kept; a null one is ignored.
    EXPECT_EQ(nullptr, lonely.GetCmdEvent());
    auto* events = reinterpret_cast<ICmdEvent*>(&sink);   // only its address is kept
    lonely.SetCmdEvent(events);
    lonely.SetCmdEvent(nullptr);
    EXPECT_EQ(events, lonely.GetCmdEvent());

    server.SetMode(FakeRisServer::Mode::silent);
    ASSERT_TRUE(server.Start());
    ScopedEnv env("VR_RIS_SOUTH", server.address());
    ris.SetEventSink(&sink);
    ris.SetTimeouts(1000, 10000);
    ASSERT_EQ(0, ris.Start(0));
    EXPECT_EQ(10, ris.Start(0));
    ASSERT_TRUE(test_support::wait_until([&] { return server.logons() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    ris.Stop();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 1000);
    EXPECT_FALSE(ris.IsRunning());
    EXPECT_EQ(0, sink.Completions());
}

class StoppingSink : public RecordingSink {
public:
    void OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                  const RisLogonResult& logon, std::uint32_t status) override
    {
        restart = owner->Start(0);
        owner->Stop();
        RecordingSink::OnRisConnectionCompleted(result, cis_list, logon, status);
    }
    CRisConnectionEx* owner = nullptr;
    int restart = -1;
};

TEST_F(RisConnectionTest, TheSinkMayStopItsConnection)
{
    ASSERT_TRUE(server.Start());
    ScopedEnv env("VR_RIS_SOUTH", server.address());
    StoppingSink stopping;
    CRisConnectionEx connection;
    stopping.owner = &connection;
    connection.SetEventSink(&stopping);
    ASSERT_EQ(0, connection.Start(0));
    ASSERT_TRUE(test_support::wait_until([&] { return stopping.Completions() == 1; }));
    EXPECT_EQ(10, stopping.restart);
    connection.Stop();
    EXPECT_FALSE(connection.IsRunning());

    // A Stop waiting for a sink busy with the result holds no lock: the
    // sink may wait for another thread that asks the connection.
    struct WaitingSink : RecordingSink {
        void OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                      const RisLogonResult& logon, std::uint32_t status) override
        {
            entered = true;
            test_support::wait_until([&] { return stop_called.load(); }, 5000);
            platform::sleep_ms(20);   // the Stop waits for this thread by now
            std::thread other([&] { seen = owner->IsRunning() ? 1 : 0; });
            other.join();
            RecordingSink::OnRisConnectionCompleted(result, cis_list, logon, status);
        }
        CRisConnectionEx* owner = nullptr;
        std::atomic<bool> entered{false};
        std::atomic<bool> stop_called{false};
        std::atomic<int> seen{-1};
    } waiting;
    waiting.owner = &connection;
    connection.SetEventSink(&waiting);
    ASSERT_EQ(0, connection.Start(0));
    ASSERT_TRUE(test_support::wait_until([&] { return waiting.entered.load(); }));
    test_support::ends_within(
        [&] {
            waiting.stop_called = true;
            connection.Stop();
        },
        6000, "a RIS Stop while the sink asks the connection from another thread");
    EXPECT_EQ(1, waiting.seen.load());
    EXPECT_FALSE(connection.IsRunning());
}

TEST_F(RisConnectionTest, CandidatesComeFromTheListTheRegistryOrTheDefault)
{
    ScopedEnv no_south("VR_RIS_SOUTH", "");
    EXPECT_EQ(1u, CRisConnectionEx::CandidateServers().size());
    EXPECT_EQ("127.0.0.1", CRisConnectionEx::CandidateServers()[0].host);
    EXPECT_EQ(3334, CRisConnectionEx::CandidateServers()[0].port);

    CServerList::Instance().Add(2, {"north.example", 4000, -1});
    CServerList::Instance().Add(1, {" south.example ", 0, -1});
    platform::RegistryKey key;
    key.set_string("SouRisIp", "reg-south.example");
    key.set_dword("SouRisPort", 5000);
    key.set_string("NorRisIp", "north.example");
    key.set_string("NorRisPort", "4000");
    const std::vector<RisServerAddress> all = CRisConnectionEx::CandidateServers();
    ASSERT_EQ(3u, all.size());   // the registry's north repeats the listed one
    EXPECT_EQ("south.example", all[0].host);
    EXPECT_EQ(3334, all[0].port);
    EXPECT_EQ("reg-south.example", all[1].host);
    EXPECT_EQ(5000, all[1].port);
    EXPECT_EQ("north.example", all[2].host);

    ScopedEnv south_env("VR_RIS_SOUTH", "10.1.2.3:77");
    const std::vector<RisServerAddress> overridden = CRisConnectionEx::CandidateServers();
    ASSERT_EQ(2u, overridden.size());
    EXPECT_EQ("10.1.2.3", overridden[0].host);
    EXPECT_EQ(77, overridden[0].port);
}

}   // namespace

namespace {

TEST_F(RisConnectionTest, DamagedRepliesAreRefusedOrReadWithinBounds)
{
    std::mt19937 rng(11);
    std::mutex rng_lock;
    CCmdPacket valid(51, cmd_packet::kRisLogonVersion);
    valid.add_u32(0, 0);
    valid.add_u32(1, 0);
    valid.add_u64(2, 99);
    valid.add_u32(3, 1);
    valid.add_u32(4, 0x01020304);
    valid.add_u8(5, 1);
    const std::uint8_t cis[14] = {1, 0, 0, 127, 0x06, 0x0D, 1, 2, 0, 0, 127, 0x07, 0x0D, 2};
    valid.add_bytes(6, cis, sizeof(cis));
    valid.add_u64(7, 5);
    test_support::FakePacketServer raw;
    ASSERT_TRUE(raw.Start([&](const std::vector<std::uint8_t>&, std::vector<std::uint8_t>& reply) {
        std::lock_guard<std::mutex> guard(rng_lock);
        reply = discovery_test::Mutate(valid.build(), rng);
        return true;
    }));
    ScopedEnv env("VR_RIS_SOUTH", "127.0.0.1:" + std::to_string(raw.port()));
    int good = 0;
    for (int i = 0; i < 300; ++i) {
        RecordingSink one;
        CRisConnectionEx logon;
        logon.SetEventSink(&one);
        logon.SetTimeouts(1000, 1000);
        ASSERT_EQ(0, logon.Start(0));
        ASSERT_TRUE(test_support::wait_until([&] { return one.Completions() == 1; }));
        logon.Stop();
        if (one.result == 0 && one.status == 0)
            ++good;
        else
            EXPECT_TRUE(one.cis.empty());
        EXPECT_LE(one.cis.size(), 2u);
    }
    EXPECT_LT(good, 300);
}

}   // namespace
