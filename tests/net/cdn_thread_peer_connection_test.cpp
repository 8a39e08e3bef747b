#include "engine/cdn_thread_peer_connection.h"

#include "picker/block_request_map.h"
#include "engine/cdn_thread.h"
#include "io_test_util.h"
#include "log_records.h"
#include "platform/socket.h"
#include "support/fake_range_task.h"
#include "support/range_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using test_support::FakeRangeTask;
using test_support::RangeServer;
using test_support::TaskFixture;

namespace {

constexpr std::uint32_t kPiece = 262144;

class CdnThreadPeerConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fixture = std::make_unique<TaskFixture>(root.path(), 31, kPiece, std::vector<std::uint64_t>{3 * kPiece});
        ASSERT_TRUE(fixture->ok());
        task = std::make_unique<FakeRangeTask>(&io.io, kPiece, test_support::FakeFilesOf(*fixture), 31);
        net_test::tick_offset().store(0);
        platform::set_tick_source(&net_test::shifted_tick);
    }

    void TearDown() override
    {
        io.stop();
        platform::set_tick_source(nullptr);
    }

    void AddServer(std::uint16_t port)
    {
        const PeerInfo peer = test_support::LoopbackHttpPeer(port, PEERTYPE_HTTP);
        task->AddPeer(peer);
        task->AddHttpInfo({peer.clientid, "127.0.0.1", fixture->files()[0].url_path});
    }

    // The connections that hold a run: the task's blocks make only a few
    // runs, so the other connections find nothing to fetch and stay idle.
    static std::vector<zeq::cdn_thread_peer_connection*> Busy(CCdnThread& thread)
    {
        std::vector<zeq::cdn_thread_peer_connection*> busy;
        for (std::size_t i = 0; i < CCdnThread::kConnections; ++i) {
            if (!thread.GetConnection(i)->is_idle())
                busy.push_back(thread.GetConnection(i));
        }
        return busy;
    }

    template <typename Pred>
    static bool Every(const std::vector<zeq::cdn_thread_peer_connection*>& connections, Pred pred)
    {
        for (auto* c : connections) {
            if (!pred(*c))
                return false;
        }
        return !connections.empty();
    }

    // Stops the thread and checks that every block went back to the picker.
    void StopAndCheckBlocksFree(CCdnThread& thread)
    {
        thread.Stop();
        EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 5000));
        task->ReturnSharedRun();
        for (std::uint32_t p = 0; p < task->PieceCount(); ++p)
            EXPECT_EQ(CBlockRequestMap::kFree, task->Picker().BlockState(std::int32_t(p), 0)) << p;
    }

    test_support::TempDir root;
    net_test::io_thread io;
    std::unique_ptr<TaskFixture> fixture;
    std::unique_ptr<FakeRangeTask> task;
};

}   // namespace

TEST_F(CdnThreadPeerConnectionTest, ConnectThatNeverCompletesIsGivenUpAfterTwentySeconds)
{
    // The connections' connects stay pending on a full accept queue.
    net_test::full_listener full;
    AddServer(full.l.port);
    {
        CCdnThread thread(task.get());
        thread.Start();
        std::vector<zeq::cdn_thread_peer_connection*> busy;
        ASSERT_TRUE(test_support::wait_until([&] { return !(busy = Busy(thread)).empty(); }, 5000));
        platform::sleep_ms(300);
        const bool pending = Every(busy, [](auto& c) { return c.is_connecting() && c.attempts() == 0; });
        if (pending) {
            net_test::tick_offset().store(10000);
            platform::sleep_ms(300);
            EXPECT_TRUE(Every(busy, [](auto& c) { return c.is_connecting() && c.attempts() == 0; }))
                << "nothing is given up before 20 s";
            net_test::tick_offset().store(21000);
            // Given up: the attempt ends as a failure and the run goes back.
            EXPECT_TRUE(test_support::wait_until(
                [&] { return Every(busy, [](auto& c) { return c.attempts() >= 1 && c.failures() >= 1; }); }, 5000));
        }
        StopAndCheckBlocksFree(thread);
        if (!pending)
            GTEST_SKIP() << "the loopback listener did not leave the connects pending";
    }
}

TEST_F(CdnThreadPeerConnectionTest, SilentServerIsClosedAfterFourSecondsWithResultFour)
{
    net_test::installed_log_server log;
    ASSERT_TRUE(log.ok);
    RangeServer server;
    RangeServer::Behaviour behaviour;
    behaviour.silent = true;
    server.SetBehaviour(behaviour);
    ASSERT_TRUE(server.Start());
    AddServer(server.port());
    {
        CCdnThread thread(task.get());
        thread.Start();
        ASSERT_TRUE(test_support::wait_until([&] { return !server.Requests().empty(); }));
        platform::sleep_ms(1200);
        const std::vector<zeq::cdn_thread_peer_connection*> busy = Busy(thread);
        EXPECT_EQ(server.Requests().size(), busy.size()) << "one request per busy connection";
        EXPECT_TRUE(Every(busy, [](auto& c) { return !c.is_connecting() && c.attempts() == 0; }))
            << "connected and asked: nothing times out before 4 s";
        // First request sent (7), then the time-out (4).
        EXPECT_TRUE(test_support::wait_until([&] { return net_test::http_record_with_result(log.server, 7); }, 10000));
        // No response head within 4 s: the blocks go back and the source
        // is reported as failed.
        net_test::tick_offset().store(5000);
        EXPECT_TRUE(test_support::wait_until(
            [&] { return Every(busy, [](auto& c) { return c.attempts() >= 1 && c.failures() >= 1; }); }, 5000));
        EXPECT_GE(task->m_sources_failed.load(), 1u);
        EXPECT_EQ(0u, task->m_sources_ok.load());
        EXPECT_TRUE(test_support::wait_until([&] { return net_test::http_record_with_result(log.server, 4); }, 10000));
        StopAndCheckBlocksFree(thread);
    }
}

// A dripping server keeps its run as the task's only source; beside a far
// better one its run goes back (the bytes kept) and it counts as failing.
TEST_F(CdnThreadPeerConnectionTest, DrippingServerKeepsItsRunAsTheOnlySourceAndGivesItBackBesideABetterOne)
{
    RangeServer server;
    RangeServer::Behaviour behaviour;
    behaviour.rate = 1;
    server.SetBehaviour(behaviour);
    server.AddFile(fixture->files()[0].url_path, fixture->Bytes(0, 0, fixture->files()[0].size));
    ASSERT_TRUE(server.Start());
    AddServer(server.port());
    {
        CCdnThread thread(task.get());
        thread.Start();
        std::vector<zeq::cdn_thread_peer_connection*> busy;
        ASSERT_TRUE(test_support::wait_until(
            [&] { return !(busy = Busy(thread)).empty() && task->m_sources_ok.load() >= busy.size(); }, 10000))
            << "every head came";
        net_test::tick_offset().store(7000);
        platform::sleep_ms(2200);   // the connections' one-second checks run
        EXPECT_TRUE(Every(busy, [](auto& c) { return c.attempts() == 0; })) << "the only source is kept";
        EXPECT_EQ(0u, task->m_sources_failed.load());
        task->m_best_rate.store(1u << 20);
        task->m_other_source.store(true);
        net_test::tick_offset().store(14000);
        EXPECT_TRUE(test_support::wait_until(
            [&] { return Every(busy, [](auto& c) { return c.attempts() >= 1 && c.failures() >= 1; }); }, 5000))
            << "beside a better source its run goes back";
        EXPECT_GE(task->m_sources_failed.load(), 1u) << "the source counts as not delivering";
        EXPECT_GE(task->m_partials.size(), 1u) << "the bytes that came are kept";
        StopAndCheckBlocksFree(thread);
    }
}
