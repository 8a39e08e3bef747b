#include "discovery/trace_host.h"

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "discovery_test_util.h"
#include "foundation/cmd_packet.h"
#include "platform/tick.h"
#include "support/fake_cis_server.h"
#include "support/temp_dir.h"

namespace {

using test_support::FakeCisServer;
using test_support::ScopedEnv;

class TraceHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CTraceHost::Reset();
        ASSERT_TRUE(server.Start());
        route_env = std::make_unique<ScopedEnv>("VR_ROUTE_SERVER", "127.0.0.1:" + std::to_string(server.port()));
    }
    void TearDown() override
    {
        EXPECT_TRUE(CTraceHost::Shutdown(3000));
        CTraceHost::Reset();
    }

    FakeCisServer server;
    std::unique_ptr<ScopedEnv> route_env;
};

TEST_F(TraceHostTest, TheRouteToTheLocalMachineIsOneHop)
{
    const TraceRoute route = CTraceHost::TraceOne({0x7F000001, 3334, 1}, 16, 300);
    EXPECT_TRUE(route.reached);
    ASSERT_EQ(1u, route.hops.size());
    EXPECT_EQ(0x7F000001u, route.hops[0]);
}

TEST_F(TraceHostTest, UploadSendsTheTableAsCommand89)
{
    TraceRoute route;
    route.cis = {0x0A000001, 3334, 1};
    route.hops = {0x0A000009, 0, 0x0A000001};
    ASSERT_EQ(0, CTraceHost::UploadRouteTable(5, 77, {route}));
    const auto tables = server.route_tables();
    ASSERT_EQ(1u, tables.size());
    EXPECT_EQ(5u, tables[0].first);
    const std::vector<std::uint8_t>& t = tables[0].second;
    ASSERT_EQ(8u + 3 * 4, t.size());
    EXPECT_EQ(0x0A000001u, cmd_packet::load_u32(t.data()));
    EXPECT_EQ(3334, cmd_packet::load_u16(t.data() + 4));
    EXPECT_EQ(1, t[6]);
    EXPECT_EQ(3, t[7]);
    EXPECT_EQ(0x0A000009u, cmd_packet::load_u32(t.data() + 8));
    EXPECT_EQ(0u, cmd_packet::load_u32(t.data() + 12));

    server.SetReportResult(2);
    EXPECT_EQ(4, CTraceHost::UploadRouteTable(5, 77, {route}));
    server.SetMode(FakeCisServer::Mode::hang_up);
    EXPECT_EQ(3, CTraceHost::UploadRouteTable(5, 77, {route}));
    ScopedEnv down("VR_ROUTE_SERVER", "127.0.0.1:" + std::to_string(discovery_test::ClosedPort()));
    EXPECT_EQ(1, CTraceHost::UploadRouteTable(5, 77, {route}));
}

TEST_F(TraceHostTest, EachTaskUploadsItsTableOnceAfterOneTrace)
{
    const std::vector<CisAddress> cis{{0x7F000001, 3334, 1}};
    EXPECT_FALSE(CTraceHost::IsTraceDone());
    CTraceHost::SendRouteTable(5, 77, cis);
    CTraceHost::SendRouteTable(5, 77, cis);
    CTraceHost::RunTrace(0, 77, cis);
    CTraceHost::RunTrace(0, 77, cis);
    CTraceHost::SendRouteTable(6, 77, cis);
    ASSERT_TRUE(test_support::wait_until([&] { return server.route_tables().size() == 3; }, 10000));
    // One worker takes the work in order: once a later task's table is in,
    // any repeat queued before it would be in too.
    CTraceHost::SendRouteTable(7, 77, cis);
    ASSERT_TRUE(test_support::wait_until([&] { return server.route_tables().size() >= 4; }, 10000));
    EXPECT_EQ(4u, server.route_tables().size());
    EXPECT_TRUE(CTraceHost::IsTraceDone());
    ASSERT_EQ(1u, CTraceHost::LastRoutes().size());
    EXPECT_TRUE(CTraceHost::LastRoutes()[0].reached);
    std::set<std::uint64_t> tasks;
    for (const auto& t : server.route_tables())
        tasks.insert(t.first);
    EXPECT_EQ((std::set<std::uint64_t>{0, 5, 6, 7}), tasks);
}

TEST_F(TraceHostTest, NothingIsSentAfterShutdown)
{
    EXPECT_TRUE(CTraceHost::Shutdown(3000));
    CTraceHost::SendRouteTable(8, 77, {{0x7F000001, 3334, 1}});
    platform::sleep_ms(200);
    EXPECT_TRUE(server.route_tables().empty());
}

TEST_F(TraceHostTest, ResetWhileAnotherThreadSubmitsNeverRacesTheWorker)
{
    // The launcher's threads keep asking for uploads while the client core
    // restarts: every reset must end the worker before clearing its state.
    const std::vector<CisAddress> cis{{0x7F000001, 3334, 1}};
    std::atomic<bool> done{false};
    std::atomic<std::uint32_t> submitted{0};
    std::thread submitter([&] {
        const std::uint64_t deadline = platform::tick_count64() + 1500;
        for (std::uint64_t id = 100; id < 400 && !done.load() && platform::tick_count64() < deadline; ++id) {
            CTraceHost::SendRouteTable(id, 77, cis);
            ++submitted;
            platform::sleep_ms(2);   // spreads the submissions over all the resets
        }
        done.store(true);
    });
    for (int i = 0; i < 8; ++i) {
        // Each reset comes after fresh submissions, however the threads run.
        const std::uint32_t seen = submitted.load();
        test_support::wait_until([&] { return submitted.load() > seen || done.load(); }, 2000);
        CTraceHost::Reset();
    }
    done.store(true);
    submitter.join();
    EXPECT_TRUE(CTraceHost::Shutdown(3000));
    CTraceHost::Reset();
    // The host still works after all those resets.
    const std::size_t before = server.route_tables().size();
    CTraceHost::SendRouteTable(1000, 77, cis);
    EXPECT_TRUE(test_support::wait_until([&] { return server.route_tables().size() > before; }, 10000));
}

}   // namespace
