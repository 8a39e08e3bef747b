#include "engine/download_task.h"

#include "discovery/lan_peer_discovery.h"
#include "engine/cdn_thread.h"
#include "support/range_server.h"
#include "support/thread_names.h"
#include "task_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace {

using task_test::FakeClocks;
using task_test::Ip;
using task_test::TaskHarness;
using task_test::Vpeer;
using test_support::wait_until;

const std::string kId = std::to_string(TaskHarness::kTaskId);

std::string Folder(TaskHarness& h)
{
    return h.channels->GetChannelFolder(TaskHarness::kTaskId);
}

TEST(DownloadTask, ConstructionAndStartRegisterTheTaskEverywhere)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    EXPECT_EQ(1u, live_connections::running(TaskHarness::kTaskId));
    EXPECT_EQ(0u, live_connections::count(TaskHarness::kTaskId));
    std::uint32_t state = 0;
    ASSERT_TRUE(CTaskStateMgr::Instance().GetState(TaskHarness::kTaskId, &state));
    EXPECT_EQ(std::uint32_t(TASKSTATE_CREATED), state);
    EXPECT_FALSE(task->IsReady());
    EXPECT_EQ(nullptr, task->GetPiecePicker());

    ASSERT_TRUE(task->Start(std::uint32_t(h.fx.files().size()), h.fx.file_list(), h.dir.file("save")));
    EXPECT_EQ(1u, h.events.With("run " + kId + " 0").size());
    EXPECT_EQ(h.TotalSize(), h.channels->GetChannelTotalSize(TaskHarness::kTaskId));
    // The host cache exists: hosts added to it stay there.
    HostRecord host{};
    host.peer.clientid = 5;
    h.hosts->AddHosts(TaskHarness::kTaskId, {host});
    EXPECT_EQ(1u, h.HostCount());
}

TEST(DownloadTask, AResumedTaskStartsFromItsSavedTables)
{
    TaskHarness h;
    // The files of an earlier run are in place.
    std::filesystem::create_directories(h.dir.file("save") + "/dir");
    for (const auto& f : h.fx.files())
        test_support::WriteAll(h.SavedFile(f.name), f.content);
    // Loaded finished, it only seeds: no thread of its own starts.
    const std::size_t threads = test_support::threads_named("timer") + test_support::threads_named("cdn_thread");
    CDownload_Task* task = h.MakeTask(true);
    const std::vector<std::uint8_t> bitmap = {1, 1, 1, 1};
    const std::vector<std::vector<std::uint8_t>> blocks = {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1}, {1, 1, 1, 1}};
    ASSERT_TRUE(
        task->Start(std::uint32_t(h.fx.files().size()), h.fx.file_list(), bitmap, blocks, h.dir.file("save"), 1));
    EXPECT_EQ(1u, h.events.With("run " + kId + " 0").size());
    ASSERT_TRUE(task->PrepareFiles());
    ASSERT_TRUE(task->IsReady());
    task->Run();
    EXPECT_EQ(1u, h.events.With("completed " + kId).size());
    EXPECT_EQ(1u, h.events.With("info " + kId + " [" + Folder(h) + "] 9 0 0 0").size());
    EXPECT_EQ(threads, test_support::threads_named("timer") + test_support::threads_named("cdn_thread"));
}

TEST(DownloadTask, CisMessagesBecomeTaskMessagesAndCodeThreeAlsoText)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    h.events.Clear();
    task->OnCisMessage("asking CIS 1", 1);
    task->OnCisMessage("CIS 1 failed", 3);
    task->OnCisConnectionNotify(2, 1);
    EXPECT_EQ((std::vector<std::string>{"message 1 asking CIS 1", "message 3 CIS 1 failed", "text CIS 1 failed"}),
              h.events.Lines());
}

TEST(DownloadTask, StorageReadyCreatesThePickerOnlyOnce)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    CBlockRequestMap* picker = task->GetPiecePicker();
    ASSERT_NE(nullptr, picker);
    EXPECT_EQ(4u, picker->PieceCount());
    EXPECT_EQ(14u, task->GetTotalBlockCount());   // 4 + 4 + 2 + 4 blocks

    const std::vector<std::uint8_t> bitmap(9, 0);
    const std::vector<std::vector<std::uint8_t>> blocks(9, std::vector<std::uint8_t>(4, 0));
    const std::vector<std::uint32_t> lengths(9, 131072);
    task->OnStorageReady(bitmap, blocks, lengths);
    EXPECT_EQ(picker, task->GetPiecePicker());
    EXPECT_EQ(14u, task->GetTotalBlockCount());
    task->check_invariant();
}

TEST(DownloadTask, ATaskCompleteBeforeItsFirstTickReportsCodeNineAndSchedulesNothing)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    h.events.Clear();
    // The last piece to pass its check completes the task, no tick needed.
    h.WriteAllPieces();
    EXPECT_TRUE(task->IsComplete());
    EXPECT_TRUE(task->IsFinished());
    EXPECT_EQ(1u, h.events.With("completed " + kId).size());
    EXPECT_EQ(1u, h.events.With("info " + kId + " [" + Folder(h) + "] 9 0 0 0").size());
    EXPECT_EQ(1u, h.events.With("bitmap " + kId + " 4").size());
    EXPECT_TRUE(h.nat.Calls().empty());
    std::uint32_t state = 0;
    CTaskStateMgr::Instance().GetState(TaskHarness::kTaskId, &state);
    EXPECT_EQ(std::uint32_t(TASKSTATE_RUNNING), state);

    // The next ticks seed: no second report.
    task->Run();
    task->Run();
    EXPECT_EQ(1u, h.events.With("info ").size());
    EXPECT_EQ(1u, h.events.With("completed ").size());
}

TEST(DownloadTask, ATaskThatDownloadedReportsItsByteCountersOnCompletion)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    task->Run();
    EXPECT_FALSE(task->IsComplete());
    task->AddPeerDownloadBytes(1000);
    task->AddPeerType2DownloadBytes(200);
    task->AddHttpDownloadBytes(30);
    task->AddHttpDownloadBytes(4);
    h.events.Clear();
    h.WriteAllPieces();
    EXPECT_TRUE(task->IsComplete());
    EXPECT_EQ(1u, h.events.With("info " + kId + " [" + Folder(h) + "] 0 1000 200 34").size());
    // Deleting a complete task sends no stop report.
    h.events.Clear();
    h.DeleteTask();
    EXPECT_TRUE(h.events.With("info ").empty());
}

TEST(DownloadTask, ProgressIsReportedEverySecondOrOnceAndWithEveryBitmapSave)
{
    struct Case {
        bool every_second;
        std::size_t first_tick;    // progress lines of the first tick (which saves the bitmap)
        std::size_t second_tick;   // of the next tick, same moment
        std::size_t after_ten_s;   // of a tick 10 s later
        std::size_t bitmaps_after_ten_s;
    } cases[] = {
        {true, 1, 1, 1, 1},
        {false, 2, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.every_second);
        FakeClocks clocks;
        TaskHarness h;
        engine_flags::set_progress_every_second(c.every_second);
        CDownload_Task* task = h.MakeReadyTask();
        h.WritePiece(3);   // 1 of 4 pieces: a quarter of 400000 bytes
        h.events.Clear();

        task->Run();
        const auto first = h.events.With("progress ");
        ASSERT_EQ(c.first_tick, first.size());
        EXPECT_EQ("progress " + kId + " 100000 400000", first[0]);
        // Saved at the first tick once storage is ready: a kill from then
        // on leaves a bitmap to resume from.
        EXPECT_EQ(1u, h.events.With("bitmap " + kId + " 4").size());
        h.events.Clear();
        task->Run();
        EXPECT_EQ(0u, h.events.With("bitmap " + kId).size());
        EXPECT_EQ(c.second_tick, h.events.With("progress ").size());
        h.events.Clear();
        clocks.AdvanceMs(10000);
        task->Run();
        EXPECT_EQ(c.after_ten_s, h.events.With("progress ").size());
        EXPECT_EQ(c.bitmaps_after_ten_s, h.events.With("bitmap " + kId + " 4").size());
    }
}

TEST(DownloadTask, ATaskDeletedBeforeCompletionReportsCodeTenWithItsCounters)
{
    for (bool every_second : {true, false}) {
        SCOPED_TRACE(every_second);
        TaskHarness h;
        engine_flags::set_progress_every_second(every_second);
        CDownload_Task* task = h.MakeReadyTask();
        task->AddPeerDownloadBytes(5);
        task->AddPeerType2DownloadBytes(6);
        task->AddHttpDownloadBytes(7);
        h.events.Clear();
        h.DeleteTask();
        EXPECT_EQ(1u, h.events.With("info " + kId + " [] 10 5 6 7").size());
        EXPECT_EQ(every_second ? 1u : 0u, h.events.With("bitmap " + kId).size());
        EXPECT_EQ(every_second ? 1u : 0u, h.events.With("progress " + kId).size());
    }
}

TEST(DownloadTask, TimerOneRestoresTheHttpConnectionLimitAndBothTimersEndWhenStopping)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    for (std::int32_t before : {0, -4, 1, 7}) {
        transfer_limits::http_connection_limit().store(before);
        EXPECT_TRUE(task->OnTimer(CDownload_Task::kTimerHttp, 0));
        EXPECT_EQ(before < 1 ? 1 : before, transfer_limits::http_connection_limit().load());
    }
    EXPECT_TRUE(task->OnTimer(CDownload_Task::kTimerLan, 0));
    EXPECT_TRUE(task->OnTimer(99, 0));
    task->MarkStopping();
    EXPECT_FALSE(task->OnTimer(CDownload_Task::kTimerHttp, 0));
    EXPECT_FALSE(task->OnTimer(CDownload_Task::kTimerLan, 0));
}

TEST(DownloadTask, TimerTwoSendsALanQueryUntilTheTaskIsFinished)
{
    platform::socket_t receiver = platform::udp_socket();
    ASSERT_EQ(0u, platform::bind_ipv4(receiver, Ip("127.0.0.1"), 0));
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    platform::local_endpoint(receiver, ip, port);
    CLanPeerDiscovery lan;
    lan.SetPorts(0, 0);
    lan.SetParams(TaskHarness::kSelfId, 9123);
    lan.SetQueryTarget("127.0.0.1", port);
    ASSERT_TRUE(lan.Start());
    CLanPeerDiscovery::SetInstance(&lan);
    {
        TaskHarness h;
        CDownload_Task* task = h.MakeReadyTask();
        // A query left from the constructor's first timer call is drained.
        while (platform::wait_readable(receiver, 200) == 1) {
            std::uint8_t drop[64];
            std::uint32_t error = 0;
            platform::receive_from(receiver, drop, sizeof(drop), nullptr, nullptr, error);
        }
        EXPECT_TRUE(task->OnTimer(CDownload_Task::kTimerLan, 0));
        ASSERT_EQ(1, platform::wait_readable(receiver, 3000));
        std::uint8_t query[64];
        std::uint32_t error = 0;
        ASSERT_EQ(16, platform::receive_from(receiver, query, sizeof(query), nullptr, nullptr, error));
        std::uint64_t asked = 0;
        std::memcpy(&asked, query, 8);
        EXPECT_EQ(TaskHarness::kTaskId, asked);

        h.WriteAllPieces();
        task->Run();
        ASSERT_TRUE(task->IsFinished());
        EXPECT_FALSE(task->OnTimer(CDownload_Task::kTimerLan, 0));
        EXPECT_EQ(0, platform::wait_readable(receiver, 300));
    }
    CLanPeerDiscovery::SetInstance(nullptr);
    lan.Stop();
    platform::close_socket(receiver);
}

TEST(DownloadTask, TheCdnQueryPausesLongerAfterEveryQueryThatGaveNoPeer)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    const std::string failure = "error not find 'only_cdn_by_id' item";
    // The timer thread's first call, made at construction on the same
    // (frozen) tick, may already have been the first query.
    const std::size_t made = h.events.With(failure).size();
    ASSERT_LE(made, 1u);
    // (ms to wait before the call, queries expected so far, pause after)
    struct Step {
        std::uint32_t wait_ms;
        std::size_t queries;
        std::uint32_t pause_ms;
    } steps[] = {
        {0, 1, 2000},     {1000, 1, 2000},   {1000, 2, 4000},   {3999, 2, 4000},  {1, 3, 8000},
        {8000, 4, 16000}, {16000, 5, 30000}, {29000, 5, 30000}, {1000, 6, 30000},
    };
    for (std::size_t i = made; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        const Step& s = steps[i];
        clocks.AdvanceMs(s.wait_ms);
        EXPECT_TRUE(task->OnTimer(CDownload_Task::kTimerHttp, 0));
        EXPECT_EQ(s.queries, h.events.With(failure).size());
        EXPECT_EQ(s.pause_ms, task->CdnQueryPauseMs());
    }
    // A task that has an HTTP peer asks the CDN server nothing.
    PeerInfo peer{};
    peer.clientid = 9;
    peer.peertype = PEERTYPE_HTTP;
    SetFixedText(peer.hostname, "one.example");
    ASSERT_TRUE(task->GetHttpPeerList().AddHttpPeer(&peer));
    clocks.AdvanceMs(60000);
    task->OnTimer(CDownload_Task::kTimerHttp, 0);
    EXPECT_EQ(6u, h.events.With(failure).size());
}

TEST(DownloadTask, BlocksAreCountedForPeerTypesZeroToTwoOnly)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    EXPECT_EQ(0u, task->GetFirstDataTick());
    for (std::uint8_t type : {0, 1, 1, 2, 3, 4, 5, 200})
        task->AddDownloadedBlockByPeerType(type);
    EXPECT_EQ(FakeClocks::ReadTick(), task->GetFirstDataTick());
    const std::uint32_t stamped = task->GetFirstDataTick();
    clocks.AdvanceMs(500);
    for (std::uint8_t type : {2, 2, 4})
        task->AddUploadedBlockByPeerType(type);
    EXPECT_EQ(stamped, task->GetFirstDataTick());
    for (std::uint8_t type : {0, 5}) {
        PeerInfo peer{};
        peer.clientid = 100 + type;
        peer.peertype = type;
        task->RecordConnectedPeer(peer);
    }

    const struct {
        std::uint8_t type;
        std::uint32_t down, up, added;
    } expected[] = {{0, 1, 0, 1}, {1, 2, 0, 0}, {2, 1, 2, 0}};
    for (const auto& e : expected) {
        PeerTypeCounts counts;
        ASSERT_TRUE(task->GetPeerTypeCounts(e.type, counts));
        EXPECT_EQ(e.type, counts.peer_type);
        EXPECT_EQ(e.down, counts.blocks_downloaded);
        EXPECT_EQ(e.up, counts.blocks_uploaded);
        EXPECT_EQ(e.added, counts.connections_added);
    }
    PeerTypeCounts none;
    for (std::uint8_t type : {3, 4, 5})
        EXPECT_FALSE(task->GetPeerTypeCounts(type, none));
    EXPECT_EQ(2u, task->GetConnectedPeerCount());
}

TEST(DownloadTask, TheConnectedPeerMapStopsGrowingAtItsLimit)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    for (std::uint64_t id = 1; id <= CDownload_Task::kMaxConnectedPeers + 20; ++id) {
        PeerInfo peer{};
        peer.clientid = id;
        peer.peertype = 1;
        task->RecordConnectedPeer(peer);
    }
    EXPECT_EQ(CDownload_Task::kMaxConnectedPeers, task->GetConnectedPeerCount());
    task->check_invariant();
}

TEST(DownloadTask, CountersOfTheHttpConnections)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();

    task->AddReleaseRequest();
    task->AddReleaseRequest();
    for (std::uint32_t expect : {1u, 0u, 0u}) {
        task->TakeReleaseRequest();
        EXPECT_EQ(expect, task->GetReleaseRequestCount());
    }

    task->AddHttpDownloadTotal(4000000000u);
    task->AddHttpDownloadTotal(4000000000u);
    EXPECT_EQ(8000000000ull, task->GetHttpDownloadTotal());
    task->ResetHttpDownloadTotal();
    EXPECT_EQ(0u, task->GetHttpDownloadTotal());

    PeerInfo a{};
    a.clientid = 11;
    task->IncHttpConnectionCount(&a);
    task->IncHttpConnectionCount(&a);
    EXPECT_EQ(2u, task->GetHttpConnectionCount(11));
    for (int i = 0; i < 3; ++i)
        task->DecHttpConnectionCount(&a);
    EXPECT_EQ(0u, task->GetHttpConnectionCount(11));
    PeerInfo unknown{};
    unknown.clientid = 12;
    task->DecHttpConnectionCount(&unknown);
    EXPECT_EQ(0u, task->GetHttpConnectionCount(12));
    task->IncHttpConnectionCount(nullptr);
}

TEST(DownloadTask, AStalledHttpConnectionLowersTheLimitButNeverBelowOne)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    const struct {
        int socket;
        float speed;
        std::size_t speeds_kept;
        std::int32_t limit;
    } steps[] = {
        {5, 2048.0f, 1, 10}, {6, 0.5f, 2, 10}, {5, 0.001f, 1, 9}, {6, 0.0f, 0, 8},
        {7, 0.0f, 0, 7},     {7, 0.0f, 0, 6},  {8, 100.0f, 1, 6},
    };
    for (const auto& s : steps) {
        EXPECT_TRUE(task->SetHttpConnectionSpeed(s.socket, s.speed));
        EXPECT_EQ(s.speeds_kept, task->GetHttpSpeedCount());
        EXPECT_EQ(s.limit, transfer_limits::http_connection_limit().load());
    }
    // A closed connection's entry goes without lowering the limit.
    task->RemoveHttpConnectionSpeed(8);
    EXPECT_EQ(0u, task->GetHttpSpeedCount());
    EXPECT_EQ(6, transfer_limits::http_connection_limit().load());
    // Two connections stalling in the same second at the limit of 1 leave it
    // at 1, so HTTP connections can still be opened.
    for (int i = 0; i < 20; ++i)
        task->SetHttpConnectionSpeed(9, 0.0f);
    EXPECT_EQ(1, transfer_limits::http_connection_limit().load());
}

TEST(DownloadTask, TheHttpAndCdnConnectionsShareOneRunOfConsecutiveBlocks)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    std::vector<BlockRequest> handed;
    BlockRequestQueue out;
    std::uint32_t count = 3;
    task->RequestContinuousBlocks(out, count);
    ASSERT_EQ(3u, count);
    ASSERT_EQ(3u, out.size());
    handed.insert(handed.end(), out.begin(), out.end());
    EXPECT_EQ(1u, h.events.With("text 此次请求的连续块数是：3").size());

    // Later calls continue the same run, then start new ones (where, the
    // picker chooses), until every block has been handed out once; each
    // call's blocks are one run of consecutive blocks.
    const auto consecutive = [](const BlockRequest& a, const BlockRequest& b) {
        const bool next_in_piece = b.piece == a.piece && b.offset == a.offset + std::int32_t(kBlockSize);
        const bool next_piece = b.piece == a.piece + 1 && b.offset == 0;
        return next_in_piece || next_piece;
    };
    for (std::size_t i = 1; i < handed.size(); ++i)
        EXPECT_TRUE(consecutive(handed[i - 1], handed[i])) << i;
    for (int call = 0; call < 20; ++call) {
        count = 96;
        task->RequestContinuousBlocks(out, count);
        if (out.empty()) {
            EXPECT_EQ(96u, count);   // unchanged when nothing is left
            break;
        }
        EXPECT_EQ(out.size(), count);
        for (std::size_t i = 1; i < out.size(); ++i)
            EXPECT_TRUE(consecutive(out[i - 1], out[i])) << call << " " << i;
        handed.insert(handed.end(), out.begin(), out.end());
    }
    ASSERT_EQ(14u, handed.size());
    std::set<std::pair<std::int32_t, std::int32_t>> distinct;
    for (const BlockRequest& b : handed)
        distinct.insert({b.piece, b.offset});
    EXPECT_EQ(14u, distinct.size()) << "each block once";
    EXPECT_EQ(1u, h.events.With("text 此次请求的连续块数是：0").size());
}

TEST(DownloadTask, HttpPeerInformationKeepsTheFirstRecordOfEachId)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    h.events.Clear();
    task->AddHttpPeerInfos({{1, "a.example", "/g/x.bin"}, {2, "b.example", "/y.bin"}, {1, "c.example", "/z"}});
    task->AddHttpPeerInfos({{2, "d.example", "/w"}});
    EXPECT_EQ(2u, h.events.With("text http peer,id:").size());
    EXPECT_EQ(1u, h.events.With("text http peer,id:1,host:a.example,path:/g/x.bin").size());
    HttpPeerInfo info;
    ASSERT_TRUE(task->GetHttpPeerInfo(2, info));
    EXPECT_EQ("b.example", info.host);
    EXPECT_FALSE(task->GetHttpPeerInfo(3, info));
    std::vector<HttpPeerInfo> all(4);
    task->GetHttpPeerInfoList(all);
    EXPECT_EQ(2u, all.size());
}

TEST(DownloadTask, StoppingReturnsAtOnceAndFinishesSoonAfter)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    EXPECT_FALSE(task->IsStopFinished());
    const auto start = std::chrono::steady_clock::now();
    task->MarkStopping();
    task->MarkStopping();   // a repeat does nothing
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(task->IsStopping());
    EXPECT_FALSE(task->IsStopFinished()) << "its threads are not reaped yet";
    task->ReapThreads();
    EXPECT_TRUE(task->GetCdnThread()->IsStopped());
    EXPECT_TRUE(task->IsStopFinished());
    h.DeleteTask();
}

TEST(DownloadTask, AStoppingTaskOutlivesItsLastConnection)
{
    FakeClocks clocks;
    TaskHarness h;
    CDownload_Task* task = h.MakeReadyTask();
    // A connection object of the task still exists.
    live_connections::increment(TaskHarness::kTaskId);
    task->MarkStopping();
    task->ReapThreads();
    EXPECT_FALSE(task->IsStopFinished());
    // No time limit ends the wait: the connection still refers to the task.
    clocks.AdvanceMs(3600000);
    EXPECT_FALSE(task->IsStopFinished());
    live_connections::decrement(TaskHarness::kTaskId);
    EXPECT_TRUE(task->IsStopFinished());
}

TEST(DownloadTask, AnHttpOnlyTaskDownloadsFromTheServerTheCisNamed)
{
    test_support::RangeServer server;
    TaskHarness h;
    for (const auto& f : h.fx.files())
        server.AddFile("/game/" + TaskHarness::Slashed(f.name), f.content);
    ASSERT_TRUE(server.Start());
    // The real connections, on an I/O thread as in the session.
    SetTaskConnectionMakers(DefaultTaskConnectionMakers());
    std::thread io_thread([&] { h.io.run(); });
    h.storage->SetIoService(&h.io);
    const std::size_t timers = test_support::threads_named("timer");
    const std::size_t cdn_threads = test_support::threads_named("cdn_thread");
    CDownload_Task* task = h.MakeTask(true);
    ASSERT_TRUE(task->Start(std::uint32_t(h.fx.files().size()), h.fx.file_list(), h.dir.file("save")));
    ASSERT_TRUE(task->PrepareFiles());
    EXPECT_TRUE(wait_until([&] { return test_support::threads_named("timer") == timers + 1; }));
    EXPECT_EQ(cdn_threads, test_support::threads_named("cdn_thread")) << "no HTTP peer yet";

    // The manager's one-second tick, faster, on the I/O thread as in the
    // session (which owns the tick's state; the last piece's check may
    // complete the task there too).
    struct Tick {
        CDownload_Task* task;
        std::atomic<bool> done{true};
    } tick{task};
    const auto post_tick = [&] {
        if (!tick.done.exchange(false))
            return false;
        h.io.post(
            [](void* context, const i_error_code&) {
                auto* t = static_cast<Tick*>(context);
                t->task->Run();
                t->done.store(true);
            },
            &tick);
        return true;
    };
    // One tick before the server is named, as a session ticks long before
    // the CIS answers: the task downloads, so its report carries the bytes.
    // Complete before any tick, it would report code 9 (nothing fetched).
    ASSERT_TRUE(post_tick());
    ASSERT_TRUE(wait_until([&] { return tick.done.load(); }));

    PeerInfo server_record{};
    server_record.clientid = 4242;
    server_record.peertype = PEERTYPE_HTTP;
    server_record.publicport = server.port();
    SetFixedText(server_record.hostname, "127.0.0.1");
    task->OnCisConnectionCompleted(0, {server_record}, {Vpeer(7, 1)}, {{4242, "127.0.0.1", "/game/dir/file0.bin"}}, 0);

    const bool complete =
        wait_until([&] { return post_tick() && task->IsFinished() && !h.events.With("info ").empty(); }, 30000);
    ASSERT_TRUE(wait_until([&] { return tick.done.load(); }));
    EXPECT_TRUE(complete);
    EXPECT_TRUE(task->GetVpeers().empty());   // a small task with an HTTP peer: HTTP only
    std::uint32_t peer = 0, peer2 = 0, http = 0;
    task->GetDownloadBytes(peer, peer2, http);
    EXPECT_EQ(0u, peer + peer2);
    EXPECT_GE(http, std::uint32_t(h.TotalSize()));
    EXPECT_EQ(1u, h.events.With("info " + kId + " [" + Folder(h) + "] 0 0 0 " + std::to_string(http)).size());
    for (const auto& f : h.fx.files())
        EXPECT_EQ(f.content, test_support::ReadAll(h.SavedFile(f.name))) << f.name;
    // Seeding needs neither of its threads: they end with the download.
    EXPECT_TRUE(wait_until([&] {
        return test_support::threads_named("timer") == timers &&
               test_support::threads_named("cdn_thread") == cdn_threads;
    }));

    task->MarkStopping();
    task->ReapThreads();
    EXPECT_TRUE(wait_until([&] { return task->IsStopFinished(); }, 20000));
    h.DeleteTask();
    h.io.set_stopped();
    h.io.stop();
    io_thread.join();
    h.storage->SetIoService(nullptr);
    server.Stop();
}

TEST(DownloadTask, WithoutAnEventSinkNothingIsReportedAndNothingBreaks)
{
    TaskHarness h;
    h.sink_enabled = false;
    CDownload_Task* task = h.MakeReadyTask();
    task->Run();
    h.WriteAllPieces();
    task->Run();
    EXPECT_TRUE(task->IsComplete());
    EXPECT_TRUE(task->IsFinished());
    h.DeleteTask();
    EXPECT_TRUE(h.events.Lines().empty());
}

}   // namespace
