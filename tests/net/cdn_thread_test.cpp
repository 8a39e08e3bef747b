#include "engine/cdn_thread.h"

#include "io_test_util.h"
#include "engine/cdn_thread_peer_connection.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "report/client_log.h"
#include "support/fake_range_task.h"
#include "support/nginx_server.h"
#include "support/range_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

using test_support::FakeRangeTask;
using test_support::NginxServer;
using test_support::RangeServer;
using test_support::TaskFixture;

namespace {

constexpr std::uint32_t kPiece = 262144;

std::uint32_t TotalReferences(CCdnThread& thread)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < CCdnThread::kConnections; ++i) {
        if (auto* c = thread.GetConnection(i))
            sum += c->ref_count();
    }
    return sum;
}

class CdnThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fixture = std::make_unique<TaskFixture>(root.path(), 21, kPiece,
                                                std::vector<std::uint64_t>{700000, 0, 5 * kPiece, 1000});
        ASSERT_TRUE(fixture->ok());
        task = std::make_unique<FakeRangeTask>(&io.io, kPiece, test_support::FakeFilesOf(*fixture), 21);
    }

    void TearDown() override { io.stop(); }

    // A range server holding the fixture's files.
    void Fill(RangeServer& server)
    {
        for (std::size_t f = 0; f < fixture->files().size(); ++f)
            server.AddFile(fixture->files()[f].url_path, fixture->Bytes(f, 0, fixture->files()[f].size));
    }

    void AddServer(std::uint16_t port)
    {
        const PeerInfo peer = test_support::LoopbackHttpPeer(port, PEERTYPE_HTTP);
        task->AddPeer(peer);
        task->AddHttpInfo({peer.clientid, "127.0.0.1", fixture->files()[0].url_path});
    }

    // Starts `server` answering nothing and makes it the task's peer.
    void StartSilent(RangeServer& server)
    {
        RangeServer::Behaviour behaviour;
        behaviour.silent = true;
        server.SetBehaviour(behaviour);
        ASSERT_TRUE(server.Start());
        AddServer(server.port());
    }

    test_support::TempDir root;
    net_test::io_thread io;
    std::unique_ptr<TaskFixture> fixture;
    std::unique_ptr<FakeRangeTask> task;
};

}   // namespace

TEST_F(CdnThreadTest, DownloadsEveryFileFromNginx)
{
    if (!NginxServer::Available())
        GTEST_SKIP() << "nginx is not installed";
    {
        NginxServer nginx(root.path());
        ASSERT_TRUE(nginx.start()) << nginx.last_error();
        AddServer(nginx.port());
        CCdnThread thread(task.get());
        thread.Start();
        ASSERT_TRUE(test_support::wait_until([&] { return task->AllVerified(); }, 20000));
        for (std::size_t f = 0; f < fixture->files().size(); ++f)
            EXPECT_EQ(fixture->Bytes(f, 0, fixture->files()[f].size), task->Image(f)) << f;
        EXPECT_EQ(0u, task->FailedChecks());
        EXPECT_GT(thread.GetSpeed(), 0.0);
        EXPECT_EQ(std::uint8_t(PEERTYPE_HTTP_CDN), task->m_last_type.load());
        std::uint32_t runs = 0;
        for (std::size_t i = 0; i < CCdnThread::kConnections; ++i)
            runs += thread.GetConnection(i)->runs_completed();
        EXPECT_GT(runs, 0u);
        thread.Stop();
        EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
    }

    // A patch of many small files: the connections stay open from run to
    // run, and one the server closes after its last allowed request is
    // dialled anew without a block lost.
    for (const std::uint32_t allowed : {0u, 4u}) {
        SCOPED_TRACE(allowed);
        std::vector<std::uint64_t> sizes;
        for (std::uint64_t i = 0; i < 60; ++i)
            sizes.push_back(3000 + 7 * i);
        fixture = std::make_unique<TaskFixture>(root.path(), 22, kPiece, sizes, "many" + std::to_string(allowed));
        task = std::make_unique<FakeRangeTask>(&io.io, kPiece, test_support::FakeFilesOf(*fixture), 22);
        NginxServer server(root.path());
        server.SetKeepaliveRequests(allowed);
        ASSERT_TRUE(server.start()) << server.last_error();
        AddServer(server.port());
        CCdnThread many(task.get());
        many.Start();
        ASSERT_TRUE(test_support::wait_until([&] { return task->AllVerified(); }, 20000));
        for (std::size_t f = 0; f < fixture->files().size(); ++f)
            EXPECT_EQ(fixture->Bytes(f, 0, fixture->files()[f].size), task->Image(f)) << f;
        many.Stop();
        EXPECT_TRUE(test_support::wait_until([&] { return many.IsStopped(); }, 3000));
        std::map<std::uint64_t, std::size_t> per_connection;
        std::size_t requests = 0;
        for (const auto& served : server.AccessLog()) {
            EXPECT_EQ(206, served.status) << served.uri;
            ++per_connection[served.connection];
            ++requests;
        }
        EXPECT_GE(requests, 60u);
        if (allowed == 0) {
            EXPECT_LE(per_connection.size(), 2 * CCdnThread::kConnections);
            EXPECT_LT(3 * per_connection.size(), requests);
        }
        for (const auto& used : per_connection)
            EXPECT_LE(used.second, allowed == 0 ? std::size_t(zeq::cdn_thread_peer_connection::kMaxRequests) : allowed);
    }
}

TEST_F(CdnThreadTest, CompleteTaskDialsNothing)
{
    RangeServer server;
    Fill(server);
    ASSERT_TRUE(server.Start());
    AddServer(server.port());
    task->SetComplete(true);
    CCdnThread thread(task.get());
    thread.Start();
    platform::sleep_ms(400);
    EXPECT_EQ(0u, server.Accepts());
    thread.Stop();
    EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
}

TEST_F(CdnThreadTest, NothingToFetchDialsNothingAndAsksForBlocks)
{
    RangeServer server;
    Fill(server);
    ASSERT_TRUE(server.Start());
    AddServer(server.port());
    // Every block is handed out elsewhere already.
    for (;;) {
        BlockRequestQueue run;
        std::uint32_t count = 1000;
        task->request_continuous_blocks(run, count);
        if (run.empty())
            break;
    }
    CCdnThread thread(task.get());
    thread.Start();
    platform::sleep_ms(500);
    EXPECT_EQ(0u, server.Accepts());
    // Each idle connection asked for blocks back, at most once a second.
    EXPECT_GE(task->release_request_count(), CCdnThread::kConnections);
    EXPECT_LE(task->release_request_count(), 2 * CCdnThread::kConnections);
    thread.Stop();
    EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
}

TEST_F(CdnThreadTest, BlocksHandedBackAreAskedForAtOnce)
{
    RangeServer server;
    Fill(server);
    ASSERT_TRUE(server.Start());
    const auto accepts_after = [&](std::size_t before) {
        const std::uint32_t start = platform::tick_count();
        test_support::wait_until([&] { return server.Accepts() > before; }, 5000);
        return platform::tick_count() - start;
    };
    // Blocks handed back while every connection found nothing to fetch are
    // asked for at once, not after the connections' one-second pause.
    AddServer(server.port());
    std::vector<BlockRequestQueue> held;
    for (;;) {
        BlockRequestQueue run;
        std::uint32_t count = zeq::http_range_request::kRunBlocks;
        task->request_continuous_blocks(run, count);
        if (run.empty())
            break;
        held.push_back(run);
    }
    ASSERT_GE(held.size(), 3u);
    CCdnThread thread(task.get());
    task->WakeOnWork(thread.WakeEvent());
    thread.Start();
    std::uint32_t took = 0;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(
            test_support::wait_until([&] { return task->release_request_count() >= CCdnThread::kConnections; }));
        task->m_release.store(0);
        const std::size_t before = server.Accepts();
        zeq::http_range_request giver(zeq::range_client::cdn_thread, task.get(), nullptr);
        giver.set_run(held[std::size_t(round)]);
        giver.abort();
        took += accepts_after(before);
    }
    // After the pause the three rounds would take about 1.5 s together.
    EXPECT_LT(took, 600u);
    thread.Stop();
    EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
}

TEST_F(CdnThreadTest, FailingServerIsRedialledWithGrowingPauses)
{
    RangeServer server;
    RangeServer::Behaviour behaviour;
    behaviour.raw_answer = "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n";
    server.SetBehaviour(behaviour);
    ASSERT_TRUE(server.Start());
    AddServer(server.port());
    CCdnThread thread(task.get());
    thread.Start();
    platform::sleep_ms(2000);
    // Redialled every 100 ms this would be about 200 connections; with
    // pauses of 0.5, 1, 2 s... each connection dials at most 3 times.
    EXPECT_GE(server.Accepts(), CCdnThread::kConnections);
    EXPECT_LE(server.Accepts(), 3 * CCdnThread::kConnections);
    EXPECT_EQ(0u, task->BlocksWritten());
    thread.Stop();
    EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
    // Every block a connection held went back.
    task->ReturnSharedRun();
    for (std::uint32_t p = 0; p < task->PieceCount(); ++p)
        EXPECT_EQ(CBlockRequestMap::kFree, task->Picker().BlockState(std::int32_t(p), 0)) << p;
}

// Odd answers, the body received into the connection's buffer or straight
// into lent storage bytes: a head split over receives, a server ignoring
// the range, a server cutting every answer mid-block. The bytes come out
// right and no loan outlives the connections.
TEST_F(CdnThreadTest, HeaderSplitIgnoredRangeAndCutAnswersStillGiveTheRightBytes)
{
    struct Case {
        const char* what;
        bool lend;
        std::size_t header_split;
        bool ignore_range;
        std::size_t cut_after;
    };
    const Case cases[] = {
        {"split head, ignored range", false, 9, true, 0},
        {"split head, ignored range, lent", true, 9, true, 0},
        {"cut mid-block, lent", true, 0, false, 100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        task = std::make_unique<FakeRangeTask>(&io.io, kPiece, test_support::FakeFilesOf(*fixture), 21);
        task->m_lend = c.lend;
        RangeServer server;
        Fill(server);
        RangeServer::Behaviour behaviour;
        behaviour.header_split = c.header_split;
        behaviour.ignore_range = c.ignore_range;
        behaviour.cut_after = c.cut_after;
        server.SetBehaviour(behaviour);
        ASSERT_TRUE(server.Start());
        AddServer(server.port());
        CCdnThread thread(task.get());
        thread.Start();
        ASSERT_TRUE(test_support::wait_until([&] { return task->AllVerified(); }, 20000));
        for (std::size_t f = 0; f < fixture->files().size(); ++f)
            EXPECT_EQ(fixture->Bytes(f, 0, fixture->files()[f].size), task->Image(f)) << f;
        thread.Stop();
        ASSERT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
        EXPECT_TRUE(test_support::wait_until([&] { return task->m_loans->load() == 0; }, 3000));
    }
}

TEST_F(CdnThreadTest, StopWhileTheIoServiceRunsReturnsAtOnce)
{
    RangeServer server;
    StartSilent(server);
    CCdnThread thread(task.get());
    thread.Start();
    ASSERT_TRUE(test_support::wait_until([&] { return server.Requests().size() >= 3; }));
    const std::uint64_t before = platform::tick_count64();
    thread.Stop();
    // The silent server's requests would hold a waiting stop for many
    // seconds; a second leaves room for a loaded machine.
    EXPECT_LT(platform::tick_count64() - before, 1000u);
    // The thread sets the flag once the pending operations let go.
    EXPECT_TRUE(test_support::wait_until([&] { return thread.IsStopped(); }, 3000));
    EXPECT_EQ(nullptr, thread.GetConnection(0));
    // A run the thread's loop took just before the stop comes back when the
    // loop sees the stop, which may be a moment after the connections let go.
    auto all_free = [&] {
        task->ReturnSharedRun();
        for (std::uint32_t p = 0; p < task->PieceCount(); ++p)
            if (task->Picker().BlockState(std::int32_t(p), 0) != CBlockRequestMap::kFree)
                return false;
        return true;
    };
    EXPECT_TRUE(test_support::wait_until(all_free, 3000));
}

TEST_F(CdnThreadTest, StopAfterTheIoServiceEndedDoesNotWaitForItsHandlers)
{
    RangeServer server;
    StartSilent(server);
    CCdnThread thread(task.get());
    thread.Start();
    ASSERT_TRUE(test_support::wait_until([&] { return server.Requests().size() >= 3; }));
    ASSERT_GT(TotalReferences(thread), CCdnThread::kConnections);
    ASSERT_TRUE(io.stop());
    const std::uint64_t before = platform::tick_count64();
    thread.Stop();
    EXPECT_TRUE(thread.IsStopped());
    EXPECT_TRUE(thread.IoFinished());
    EXPECT_LT(platform::tick_count64() - before, 1000u);
    // The cancelled completions still queued run now, as at session end:
    // each must find its connection alive and be the one that frees it.
    EXPECT_GT(io.io.run_abandoned(), 0u);
    EXPECT_EQ(0u, io.io.run_abandoned());
}

TEST_F(CdnThreadTest, DestroyedWhileConnectionsAreBusy)
{
    RangeServer server;
    StartSilent(server);
    {
        CCdnThread thread(task.get());
        thread.Start();
        ASSERT_TRUE(test_support::wait_until([&] { return server.Requests().size() >= 3; }));
    }
    // The connections left behind free themselves once the I/O thread
    // has run their handlers; a later stop finds nothing pending.
    platform::sleep_ms(200);
    SUCCEED();
}

TEST_F(CdnThreadTest, SpeedBucketsAndLine)
{
    static std::int64_t now = 1000;
    CCdnThread::SetSecondsSource([] { return now; });
    CCdnThread thread(task.get());
    thread.AddReceivedBytes(4000);
    thread.AddReceivedBytes(6000);
    EXPECT_DOUBLE_EQ(1000.0, thread.GetSpeed());
    now = 1001;
    thread.AddReceivedBytes(500);
    EXPECT_DOUBLE_EQ(1050.0, thread.GetSpeed());
    now = 1010;   // the bucket of second 1000 is reused: it starts over
    thread.AddReceivedBytes(0);
    EXPECT_DOUBLE_EQ(50.0, thread.GetSpeed());
    CCdnThread::SetSecondsSource(nullptr);
}

TEST_F(CdnThreadTest, SpeedLineIsWrittenAboutOnceASecondOverAllThreads)
{
    // The client log is on while its marker file exists.
    test_support::TempDir logs;
    test_support::ScopedEnv module{"VR_MODULE_DIR", logs.path()};
    test_support::ScopedEnv marker{"VR_CLIENT_LOG_MARKER", logs.file("dlllogout.log")};
    std::ofstream(logs.file("dlllogout.log")) << "";
    RecheckClientLogMarker();
    ASSERT_TRUE(ClientLogEnabled());
    CCdnThread::ResetSpeedLineStamp();
    {
        FakeRangeTask other(&io.io, kPiece, test_support::FakeFilesOf(*fixture), 22);
        CCdnThread first(task.get());
        CCdnThread second(&other);
        first.Start();
        second.Start();
        platform::sleep_ms(2600);
        first.Stop();
        second.Stop();
        EXPECT_TRUE(test_support::wait_until([&] { return first.IsStopped() && second.IsStopped(); }, 3000));
    }
    std::ifstream in(ClientLogPath());
    std::stringstream text;
    text << in.rdbuf();
    std::size_t lines = 0;
    for (std::size_t at = text.str().find("cdn_thread_peer speed["); at != std::string::npos;
         at = text.str().find("cdn_thread_peer speed[", at + 1))
        ++lines;
    // Two threads for 2.6 s: two lines (three at most), not one per thread.
    EXPECT_GE(lines, 2u);
    EXPECT_LE(lines, 3u);
}
