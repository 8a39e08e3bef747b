#include "engine/download_manager.h"

#include "discovery/nat_manager.h"
#include "picker/block_request.h"
#include "engine/download_task.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/i_channel_manager.h"
#include "engine/i_host_cache_manager.h"
#include "engine/task_connection_makers.h"
#include "engine/task_connections.h"
#include "engine/task_state_mgr.h"
#include "fake_connection.h"
#include "net/conn/http_cdn_connection.h"
#include "net/io/transfer_limits.h"
#include "net/io_test_util.h"
#include "platform/tick.h"
#include "recording_cmd_event.h"
#include "support/channel_fixture.h"
#include "support/client_log_capture.h"
#include "support/ends_within.h"
#include "support/shifted_tick.h"
#include "support/temp_dir.h"
#include "support/thread_names.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using engine_test::ConnectionJournal;
using engine_test::FakeConnection;
using engine_test::RecordingCmdEvent;
using test_support::wait_until;

// Peer connections the tasks make through the maker seam.
ConnectionJournal* g_journal = nullptr;
std::atomic<std::thread::id> g_made_on{};   // the thread that made the last one

x_connection* MakeFakePeer(CDownload_Task* task, const PeerInfo& peer, std::uint8_t)
{
    g_made_on.store(std::this_thread::get_id());
    return new FakeConnection(*task->GetIoService(), task->GetTaskId(), peer.clientid, *g_journal);
}

std::atomic<std::int64_t> g_now{1000};
std::int64_t FakeSeconds()
{
    return g_now.load();
}

PeerInfo SelfRecord()
{
    PeerInfo self{};
    self.clientid = 99;
    self.peertype = PEERTYPE_NAT;
    return self;
}

bool PeerSeesEnd(platform::socket_t fd)
{
    if (platform::wait_readable(fd, 1000) != 1)
        return false;
    char c;
    return ::recv(fd, &c, 1, 0) == 0;
}

class DownloadManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CTaskStateMgr::Instance().Clear();
        engine_flags::reset();
        // Offline: peer lists go to the CDN query, which only reaches a
        // closed port on this machine.
        engine_flags::set_index_servers_usable(false);
        engine_flags::set_progress_every_second(false);
        g_Settings.Set("only_cdn_by_id",
                       "http://127.0.0.1:" + std::to_string(net_test::unused_port()) + "/cdnquery.php?taskid=");
        transfer_limits::reset();
        g_now.store(1000);
        transfer_limits::set_seconds_source(&FakeSeconds);
        g_journal = &journal;
        TaskConnectionMakers makers = DefaultTaskConnectionMakers();
        makers.peer = &MakeFakePeer;
        SetTaskConnectionMakers(makers);

        channels = CreateChannelManager(temp.path());
        storage = CreateStorageManager(channels);
        hosts = CreateHostCacheManager();
        manager.reset(static_cast<CDownload_Manager*>(
            CreateDownloadManager(SelfRecord(), {}, channels, storage, hosts, nullptr)));
        ASSERT_TRUE(manager);
        manager->SetCmdEvent(&events);
        manager->SetRetiredSink(
            [](void* context, std::uint64_t id) {
                auto* r = static_cast<Retired*>(context);
                std::lock_guard<std::mutex> guard(r->lock);
                r->ids.push_back(id);
                r->thread = std::this_thread::get_id();
            },
            &retired);
    }

    void TearDown() override
    {
        manager.reset();
        DestroyHostCacheManager(hosts);
        DestroyChannelManager(channels);
        DestroyStorageManager(storage);
        EXPECT_TRUE(wait_until([&] { return journal.destroyed.load() == journal.created.load(); }));
        SetTaskConnectionMakers(DefaultTaskConnectionMakers());
        transfer_limits::set_seconds_source(nullptr);
        transfer_limits::reset();
        g_Settings.Clear();
        CTaskStateMgr::Instance().Clear();
        engine_flags::reset();
    }

    // Tasks the manager deleted after their stop, as its sink heard.
    struct Retired {
        std::mutex lock;
        std::vector<std::uint64_t> ids;
        std::thread::id thread;
    } retired;
    // Waits until the task has been deleted and the sink told.
    bool WaitRetired(std::uint64_t id, std::uint32_t ms = 5000)
    {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> guard(retired.lock);
                return std::find(retired.ids.begin(), retired.ids.end(), id) != retired.ids.end();
            },
            ms);
    }

    // Queues the id as the client core would, then adds it (save-path form).
    int Add(std::uint64_t id)
    {
        CTaskStateMgr::Instance().Set(id, TASKSTATE_QUEUED);
        return manager->AddTaskDownload(&io.io, id, fixture.piece_size(), "game", std::uint32_t(fixture.files().size()),
                                        fixture.file_list(), temp.file("t" + std::to_string(id)));
    }
    // Adds the task and prepares its files: it is ready.
    void AddReady(std::uint64_t id)
    {
        ASSERT_EQ(Add(id), 1);
        ASSERT_EQ(manager->PrepareTaskFiles(id), 1);
        ASSERT_TRUE(TaskReady(id));
    }
    bool TaskReady(std::uint64_t id)
    {
        bool ready = false;
        manager->VisitTask(id, [&](CDownload_Task& t) { ready = t.IsReady(); });
        return ready;
    }
    std::size_t ConnectionCount(std::uint64_t id)
    {
        std::size_t n = 0;
        manager->VisitTask(id, [&](CDownload_Task& t) { n = t.GetConnections()->GetCount(); });
        return n;
    }
    // Hands a connected loopback socket for `client` to the task.
    platform::socket_t HandSocket(std::uint64_t id, std::uint64_t client)
    {
        pairs.push_back(std::make_unique<net_test::socket_pair>());
        PeerInfo peer{};
        peer.clientid = client;
        peer.peertype = PEERTYPE_SP;
        const platform::socket_t native = pairs.back()->release_a();
        manager->AddPeerSocket(peer, id, native, 0);
        // The task adopts it on the I/O thread.
        EXPECT_TRUE(net_test::run_due_timers(io.io));
        return native;
    }

    test_support::TempDir temp;
    // Two pieces of one block each.
    test_support::ChannelFixture fixture{{65536}, 32768};
    net_test::io_thread io;
    ConnectionJournal journal;
    RecordingCmdEvent events;
    IChannelManager* channels = nullptr;
    IStorageManager* storage = nullptr;
    IHostCacheManager* hosts = nullptr;
    std::unique_ptr<CDownload_Manager> manager;
    std::vector<std::unique_ptr<net_test::socket_pair>> pairs;
};

TEST_F(DownloadManagerTest, EachAddFormCreatesItsTaskAndSaysSo)
{
    enum Form { kSavePath, kNoSavePath, kHistory };
    struct Case {
        std::uint64_t id;
        Form form;
        std::string expected_line;
    };
    const std::string list = fixture.file_list();
    const Case cases[] = {
        {11, kSavePath,
         "text CDownload_Manager::AddTaskDownload:添加一个任务: task_id-11,piece_size-32768,file_count-1,savepath-" +
             temp.file("s") + "\n"},
        {12, kNoSavePath,
         "text CDownload_Manager::AddTaskDownload:添加一个任务: task_id-12,piece_size-32768,file_count-1\n"},
        {13, kHistory,
         "text CDownload_Manager::AddTaskDownload:添加一个历史任务: task_id-13,piece_size-32768,file_count-1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        events.Clear();
        CTaskStateMgr::Instance().Set(c.id, TASKSTATE_QUEUED);
        int result = -1;
        switch (c.form) {
        case kSavePath:
            result = manager->AddTaskDownload(&io.io, c.id, 32768, "game", 1, list, temp.file("s"));
            break;
        case kNoSavePath:
            result = manager->AddTaskDownload(&io.io, c.id, 32768, "game", 1, list);
            break;
        case kHistory:
            result = manager->AddTaskDownload(&io.io, c.id, 32768, "game", 1, list, {0, 0}, {{0}, {0}}, temp.file("h"),
                                              0);
            break;
        }
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(manager->HasTask(c.id));
        EXPECT_EQ(events.With("text CDownload_Manager::AddTaskDownload"), std::vector<std::string>{c.expected_line});
        EXPECT_EQ(events.With("run "), std::vector<std::string>{"run " + std::to_string(c.id) + " 0"});
        std::uint32_t state = 0;
        EXPECT_TRUE(CTaskStateMgr::Instance().GetState(c.id, &state));
        EXPECT_EQ(state, std::uint32_t(TASKSTATE_CREATED));
    }
    EXPECT_EQ(manager->GetTaskCount(), 3u);
    manager->check_invariant();
}

TEST_F(DownloadManagerTest, DuplicateIdReportsTheChannelFolderAndKeepsTheFirstTask)
{
    ASSERT_EQ(Add(21), 1);
    events.Clear();
    EXPECT_EQ(Add(21), 0);
    const std::string folder = channels->GetChannelFolder(21);
    EXPECT_FALSE(folder.empty());
    EXPECT_EQ(events.Lines(), std::vector<std::string>{"info 21 [" + folder + "] 1 0 0 0"});
    EXPECT_EQ(manager->GetTaskCount(), 1u);
    // The first task is untouched: its files can still be prepared.
    EXPECT_EQ(manager->PrepareTaskFiles(21), 1);
    EXPECT_TRUE(TaskReady(21));
}

TEST_F(DownloadManagerTest, ConcurrentAddsOfOneIdBuildOneTask)
{
    CTaskStateMgr::Instance().Set(22, TASKSTATE_QUEUED);
    const std::string list = fixture.file_list();
    std::atomic<int> created{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> adders;
    for (int i = 0; i < 4; ++i) {
        adders.emplace_back([&] {
            const int r = manager->AddTaskDownload(&io.io, 22, 32768, "game", 1, list);
            ++(r == 1 ? created : refused);
        });
    }
    for (auto& t : adders)
        t.join();
    EXPECT_EQ(created.load(), 1);
    EXPECT_EQ(refused.load(), 3);
    EXPECT_EQ(events.With("run 22 ").size(), 1u);
    EXPECT_EQ(events.With("info 22 ").size(), 3u);
    EXPECT_EQ(manager->GetTaskCount(), 1u);
    manager->check_invariant();
}

TEST_F(DownloadManagerTest, PreparingFilesMakesTheTaskReadyThroughStorage)
{
    EXPECT_EQ(manager->PrepareTaskFiles(31), 0);   // unknown
    ASSERT_EQ(Add(31), 1);
    EXPECT_FALSE(TaskReady(31));
    EXPECT_EQ(manager->PrepareTaskFiles(31), 1);
    EXPECT_TRUE(TaskReady(31));
    std::uint32_t blocks = 0;
    manager->VisitTask(31, [&](CDownload_Task& t) { blocks = t.GetTotalBlockCount(); });
    EXPECT_EQ(blocks, 2u);
}

TEST_F(DownloadManagerTest, IdleTickReportsTwoZerosAndNoText)
{
    manager->second_tick();
    EXPECT_EQ(events.Lines(), (std::vector<std::string>{"message 9 0 0", "global 0 0"}));
}

TEST_F(DownloadManagerTest, ImmediateByteLinesOnlyWhileTheSpeedLimitIsOn)
{
    test_support::ClientLogCapture log;
    ASSERT_TRUE(log.Enabled());
    const auto log_lines = [&](const char* prefix) { return log.Count(prefix); };
    transfer_limits::set_limits(100, 50);
    struct Step {
        bool on;
        std::uint32_t down, up;
        std::size_t down_lines, up_lines;   // totals after the step
    } steps[] = {
        {false, 500, 500, 0, 0},   // over both limits, switch off: no line
        {true, 10, 0, 1, 1},       // switch on: this second's buckets are over both
        {true, 0, 0, 2, 2},
        {false, 1000, 1000, 2, 2},
    };
    for (const Step& st : steps) {
        transfer_limits::set_speed_limit_on(st.on);
        CDownload_Manager::AddImmediateBytes(st.down, st.up);
        EXPECT_EQ(st.down_lines, log_lines("zeq::debug -- immediate download bytes[")) << st.down;
        EXPECT_EQ(st.up_lines, log_lines("zeq::debug -- immediate upload bytes[")) << st.down;
    }
    // A new second starts its buckets from 0: under the limits, no line.
    transfer_limits::set_speed_limit_on(true);
    g_now.store(1001);
    CDownload_Manager::AddImmediateBytes(0, 0);
    EXPECT_EQ(2u, log_lines("zeq::debug -- immediate download bytes["));
    EXPECT_EQ(2u, log_lines("zeq::debug -- immediate upload bytes["));
}

TEST_F(DownloadManagerTest, TaskSpeedsAreEachTasksOwnBytesOfTheLastTwoSeconds)
{
    test_support::shifted_tick_scope clock;
    std::uint32_t tick = 100001;
    AddReady(41);
    AddReady(42);
    ASSERT_EQ(Add(43), 1);   // not ready: no speed, adds nothing

    // Bytes reach task 41 now and then, task 42 gets none. Each speed
    // covers the last two ticks, over the time that really passed (one
    // tick comes 1.5 s late).
    struct Step {
        std::uint32_t after_ms;   // since the previous tick
        std::uint32_t bytes;      // reaching task 41 before the tick
        const char* speed_41;
        const char* totals;
    } steps[] = {
        {0, 0, "0 0", "0 0"},    {1000, 20480, "20 0", "20 0"}, {1000, 0, "10 0", "10 0"},
        {1000, 0, "0 0", "0 0"}, {1000, 30720, "15 0", "15 0"}, {1500, 0, "12 0", "12 0"},
        {1000, 0, "0 0", "0 0"},
    };
    for (const Step& s : steps) {
        tick += s.after_ms;
        test_support::held_tick().store(tick);
        g_now.fetch_add(1);
        manager->VisitTask(41, [&](CDownload_Task& t) { t.AddHttpDownloadBytes(s.bytes); });
        events.Clear();
        manager->second_tick();
        SCOPED_TRACE(s.speed_41);
        EXPECT_EQ(events.With("speed "),
                  (std::vector<std::string>{std::string("speed 41 ") + s.speed_41, std::string("speed 42 0 0")}));
        EXPECT_EQ(events.With("message 9 "), std::vector<std::string>{std::string("message 9 ") + s.totals});
        EXPECT_EQ(events.With("global "), std::vector<std::string>{std::string("global ") + s.totals});
        const bool moving = std::string(s.totals) != "0 0";
        EXPECT_EQ(events.With(std::string("text ") + s.totals).size(), moving ? 1u : 0u);
    }
}

TEST_F(DownloadManagerTest, TickRunsNoTaskWhileTheEngineShutsDown)
{
    AddReady(45);
    engine_flags::set_shutting_down(true);
    manager->second_tick();
    EXPECT_TRUE(events.With("speed ").empty());
    EXPECT_EQ(events.With("global "), std::vector<std::string>{"global 0 0"});
    engine_flags::set_shutting_down(false);
    events.Clear();
    manager->second_tick();
    EXPECT_EQ(events.With("speed 45 ").size(), 1u);
}

// One stop: the task is told at once, its threads are reaped off the I/O
// thread, and it is deleted as soon as that is done, with no tick.
TEST_F(DownloadManagerTest, AStoppedTaskIsDeletedOnceItsThreadsHaveEndedWithoutATick)
{
    AddReady(51);
    AddReady(52);
    // (Each thread names itself once it runs.) No HTTP peer: no CDN thread.
    EXPECT_TRUE(wait_until([] { return test_support::threads_named("timer") == 2; }));
    EXPECT_EQ(test_support::threads_named("cdn_thread"), 0u);
    manager->StopTask(51);
    std::uint32_t state = 0;
    ASSERT_TRUE(CTaskStateMgr::Instance().GetState(51, &state));
    EXPECT_EQ(state, std::uint32_t(TASKSTATE_REMOVED));
    bool stopping = false;
    manager->VisitTask(51, [&](CDownload_Task& t) { stopping = t.IsStopping(); });
    EXPECT_TRUE(stopping);
    // A stopping task's tick reports no speed for it.
    manager->second_tick();
    EXPECT_TRUE(events.With("speed 51 ").empty());
    EXPECT_EQ(events.With("speed 52 ").size(), 1u);

    manager->ReapTask(51);
    ASSERT_TRUE(WaitRetired(51));
    EXPECT_FALSE(manager->HasTask(51));
    {
        std::lock_guard<std::mutex> guard(retired.lock);
        EXPECT_EQ(retired.ids, std::vector<std::uint64_t>{51});
        EXPECT_EQ(retired.thread, io.thread_id()) << "deleted on the I/O thread";
    }
    EXPECT_EQ(events.With("info 51 [] 10").size(), 1u);
    EXPECT_TRUE(manager->HasTask(52));
    EXPECT_EQ(test_support::threads_named("timer"), 1u) << "no thread of the stopped task is left";
}

// An id started again while the remains of its stopped task are removed
// is refused, and a task that cannot get a channel of its own never runs.
TEST_F(DownloadManagerTest, AnIdIsStartedAgainOnlyOnceItsStoppedTaskIsGoneAndNeverWithoutAChannel)
{
    AddReady(53);
    manager->StopTask(53);
    manager->ReapTask(53);
    ASSERT_TRUE(WaitRetired(53));
    EXPECT_EQ(Add(53), 0) << "its channel and storage are not removed yet";
    EXPECT_FALSE(manager->HasTask(53));
    channels->RemoveChannel(53);
    storage->RemoveChannel(53);
    manager->ReleaseRetired(53);
    AddReady(53);

    // A channel left under the id: the start fails and the task is not run.
    ASSERT_TRUE(channels->AddChannel(54, std::int32_t(fixture.piece_size()), "game",
                                     std::uint32_t(fixture.files().size()), fixture.file_list(), temp.file("left")));
    EXPECT_EQ(Add(54), 0);
    EXPECT_TRUE(events.With("run 54").empty());
    manager->StopTask(54);
    manager->ReapTask(54);
    EXPECT_TRUE(WaitRetired(54));
}

TEST_F(DownloadManagerTest, AStoppedTaskIsDeletedOnlyOnceItsLastConnectionHasGone)
{
    static std::atomic<std::uint32_t> tick{100000};
    struct TickByHand {
        TickByHand()
        {
            platform::set_tick_source([] { return tick.load(); });
        }
        ~TickByHand() { platform::set_tick_source(nullptr); }
    } by_hand;
    AddReady(55);
    // A ranged-HTTP connection of the task whose last reference (here the
    // test's) outlives the stop, as one with an operation still pending.
    zeq::http_cdn_connection* held = nullptr;
    manager->VisitTask(55, [&](CDownload_Task& t) {
        PeerInfo peer{};
        peer.clientid = 5;
        peer.peertype = PEERTYPE_HTTP;
        held = new zeq::http_cdn_connection(&t, peer, 0);
    });
    manager->StopTask(55);
    manager->ReapTask(55);
    tick.fetch_add(3600000);
    // However long ago the stop was, the task stays while it is referred to.
    EXPECT_FALSE(WaitRetired(55, 1500));
    EXPECT_TRUE(manager->HasTask(55));
    // The last connection's going is what deletes it: nothing ticks here.
    held->release();   // counts itself out of the task's HTTP connections
    EXPECT_TRUE(WaitRetired(55));
}

TEST_F(DownloadManagerTest, StoppingATaskWhoseCdnQueryHangsNeverHoldsTheIoThread)
{
    // The CDN query server accepts and never answers.
    net_test::listener silent;
    g_Settings.Set("only_cdn_by_id", "http://127.0.0.1:" + std::to_string(silent.port) + "/q?taskid=");
    AddReady(56);
    const platform::socket_t query = silent.accept_one();
    ASSERT_NE(query, platform::invalid_socket);
    char request[512];
    ASSERT_EQ(platform::wait_readable(query, 5000), 1);
    ASSERT_GT(::recv(query, request, sizeof request, 0), 0);   // timer 1 now waits for the answer

    // The session's abort step and its next tick, on the I/O thread.
    net_test::io_watchdog watchdog(io.io);
    struct Stop {
        CDownload_Manager* manager;
        std::atomic<bool> done{false};
    } stop{manager.get()};
    io.io.post(
        [](void* context, const i_error_code&) {
            auto* s = static_cast<Stop*>(context);
            s->manager->StopTask(56);
            s->manager->second_tick();
            s->done.store(true);
        },
        &stop);
    ASSERT_TRUE(wait_until([&] { return stop.done.load(); }, 20000));
    // The stop also ends the query: its connection closes.
    EXPECT_TRUE(PeerSeesEnd(query));
    ASSERT_TRUE(wait_until([&] { return watchdog.runs() >= 5; }));
    // A handler that waited on the silent query would hold the thread for
    // seconds; a second leaves room for a loaded machine.
    EXPECT_LT(watchdog.longest_gap_ms(), 1000u);
    manager->ReapTask(56);
    EXPECT_TRUE(WaitRetired(56));
    platform::socket_t closing = query;
    platform::close_socket(closing);

    // At session end, off the I/O thread, stopping every task ends such a
    // query as promptly.
    AddReady(57);
    closing = silent.accept_one();
    ASSERT_NE(closing, platform::invalid_socket);
    ASSERT_EQ(platform::wait_readable(closing, 5000), 1);
    ASSERT_GT(::recv(closing, request, sizeof request, 0), 0);
    const std::uint64_t before = platform::tick_count64();
    manager->StopAllTasks();
    EXPECT_LT(platform::tick_count64() - before, 1000u);
    EXPECT_TRUE(PeerSeesEnd(closing));
    platform::close_socket(closing);
}

TEST_F(DownloadManagerTest, SocketForAnUnknownTaskIsClosedAndReported)
{
    const platform::socket_t native = HandSocket(61, 7);
    (void)native;
    EXPECT_TRUE(PeerSeesEnd(pairs.back()->b));
    EXPECT_EQ(events.With("error "), std::vector<std::string>{"error \n61 频道不存在!\n"});
    EXPECT_FALSE(manager->IsNatTaskKnown(61));
}

TEST_F(DownloadManagerTest, SocketForAReadyTaskBecomesAConnection)
{
    AddReady(62);
    events.Clear();
    const platform::socket_t native = HandSocket(62, 7);
    EXPECT_EQ(events.With("text CDownload_Manager::AddPeerSocket"),
              std::vector<std::string>{"text CDownload_Manager::AddPeerSocket: task_id-62 socket-" +
                                       std::to_string(native) + "\n"});
    EXPECT_EQ(ConnectionCount(62), 1u);
    EXPECT_TRUE(manager->IsNatTaskKnown(62));
    // Handed over from this thread (as NAT traversal's do), adopted on the
    // I/O thread, which alone changes the task's connections.
    std::atomic<std::thread::id> io_id{};
    io.io.post(
        [](void* id, const i_error_code&) {
            static_cast<std::atomic<std::thread::id>*>(id)->store(std::this_thread::get_id());
        },
        &io_id);
    ASSERT_TRUE(wait_until([&] { return io_id.load() != std::thread::id(); }));
    EXPECT_EQ(io_id.load(), g_made_on.load());
}

TEST_F(DownloadManagerTest, SocketForATaskNotYetReadyIsClosed)
{
    ASSERT_EQ(Add(63), 1);   // files not prepared: no piece picker yet
    HandSocket(63, 7);
    EXPECT_TRUE(PeerSeesEnd(pairs.back()->b));
    EXPECT_EQ(ConnectionCount(63), 0u);
    EXPECT_TRUE(events.With("error ").empty());
}

TEST_F(DownloadManagerTest, PieceChecksFromStorageReachTheTaskConnections)
{
    AddReady(71);
    for (std::uint64_t client = 1; client <= 3; ++client)
        HandSocket(71, client);
    ASSERT_EQ(ConnectionCount(71), 3u);
    events.Clear();

    // A good piece 1: announced on every connection and counted as stored.
    std::string good = fixture.piece_bytes(1);
    BlockRequest req;
    req.piece = 1;
    req.length = 32768;
    req.data = reinterpret_cast<std::uint8_t*>(&good[0]);
    ASSERT_TRUE(storage->WriteBlock(71, req));
    EXPECT_EQ(journal.Haves(), (std::vector<std::uint32_t>{1, 1, 1}));
    std::uint32_t stored = 0;
    manager->VisitTask(71, [&](CDownload_Task& t) { stored = t.GetStorageCounter(); });
    EXPECT_EQ(stored, 1u);

    // A bad piece 0 that peer 2 supplied: its connection alone is dropped.
    PeerInfo liar{};
    liar.clientid = 2;
    manager->VisitTask(71, [&](CDownload_Task& t) { t.NoteBlockSupplier(0, liar); });
    std::string bad(32768, 'x');
    req.piece = 0;
    req.data = reinterpret_cast<std::uint8_t*>(&bad[0]);
    ASSERT_TRUE(storage->WriteBlock(71, req));
    EXPECT_EQ(events.With("error ").size(), 1u);
    EXPECT_EQ(events.With("error \n71 哈希校验不过!pieceindex: 0\n").size(), 1u);
    EXPECT_EQ(ConnectionCount(71), 2u);
    EXPECT_EQ(journal.closed.load(), 1);
}

TEST_F(DownloadManagerTest, StopOperationsCloseConnections)
{
    AddReady(81);
    AddReady(82);
    HandSocket(81, 1);
    HandSocket(82, 2);
    HandSocket(82, 3);

    // The shutdown form closes everything but leaves the sets open.
    manager->CloseAllConnections(std::uint8_t{1});
    EXPECT_EQ(ConnectionCount(81), 0u);
    EXPECT_EQ(ConnectionCount(82), 0u);
    HandSocket(81, 4);
    EXPECT_EQ(ConnectionCount(81), 1u);

    // Stopping one task closes its set for good; the other is untouched.
    HandSocket(82, 5);
    manager->StopTask(81);
    EXPECT_EQ(ConnectionCount(81), 0u);
    HandSocket(81, 6);
    EXPECT_EQ(ConnectionCount(81), 0u);
    EXPECT_TRUE(PeerSeesEnd(pairs.back()->b));
    EXPECT_EQ(ConnectionCount(82), 1u);

    manager->StopAllTasks();
    manager->CloseAllConnections();
    EXPECT_EQ(ConnectionCount(82), 0u);
    HandSocket(82, 7);
    EXPECT_EQ(ConnectionCount(82), 0u);
    EXPECT_TRUE(manager->HasTask(81));
    EXPECT_TRUE(manager->HasTask(82));
    manager->StopTask(999);   // unknown: nothing
}

TEST_F(DownloadManagerTest, NatAndStorageTextsAreRelayed)
{
    manager->OnNatNotify("punched", 2);
    manager->OnStorageError(5, "disk full");
    EXPECT_EQ(events.Lines(),
              (std::vector<std::string>{"message 2 punched", "text punched", "error task 5: disk full\n"}));
}

TEST_F(DownloadManagerTest, ATaskThatCannotStoreSaysSoOnceAndWhenItStoresAgain)
{
    AddReady(32);
    events.Clear();
    // Writes fail twice (a full disk): the front end hears it once, with why.
    manager->OnStorageError(32, "writing 65536 bytes of piece 0 to its file failed (No space left on device)");
    manager->OnStorageError(32, "writing 65536 bytes of piece 1 to its file failed (No space left on device)");
    EXPECT_EQ(events.With("info 32"),
              std::vector<std::string>{"info 32 [writing 65536 bytes of piece 0 to its file failed (No space left on "
                                       "device)] 3 0 0 0"});
    // A block that is stored again ends it. The launcher hears of it with
    // no manager lock held: it may wait for a thread asking the engine.
    std::atomic<int> seen{-1};
    events.on_info = [&](std::uint64_t, std::uint32_t type) {
        if (type != 4)   // writing works again
            return;
        std::thread other([&] { seen = manager->HasTask(32) ? 1 : 0; });
        other.join();
    };
    test_support::ends_within(
        [&] {
            manager->IncTaskStorageCounter(32);
            manager->IncTaskStorageCounter(32);
        },
        5000, "the storage-works event while another thread asks the download manager");
    events.on_info = nullptr;
    EXPECT_EQ(seen.load(), 1);
    ASSERT_EQ(events.With("info 32").size(), 2u);
    EXPECT_EQ(events.With("info 32").back(), "info 32 [] 4 0 0 0");
}

TEST_F(DownloadManagerTest, OnlyTheFirstEventSinkIsKept)
{
    RecordingCmdEvent second;
    manager->SetCmdEvent(&second);
    manager->second_tick();
    EXPECT_TRUE(second.Lines().empty());
    EXPECT_EQ(events.Lines().size(), 2u);
    EXPECT_EQ(manager->GetCmdEvent(), &events);
}

TEST_F(DownloadManagerTest, RateLimitsAreStored)
{
    EXPECT_EQ(manager->SetRateLimits(1024.0f, 2048.0f), 1);
    EXPECT_EQ(manager->GetDownloadRateLimit(), 1024.0f);
    EXPECT_EQ(manager->GetUploadRateLimit(), 2048.0f);
}

TEST_F(DownloadManagerTest, StartRunsNatTraversalOnTheListenPort)
{
    engine_flags::set_listen_port(0);
    INatManager* nat = CreateNatManager();
    std::unique_ptr<CDownload_Manager> withNat(
        static_cast<CDownload_Manager*>(CreateDownloadManager(SelfRecord(), {}, channels, storage, hosts, nat)));
    EXPECT_TRUE(withNat->Start());
    EXPECT_NE(withNat->GetListenPort(), 0);
    DestroyNatManager(nat);
    withNat.reset();
    // The first manager is the storage sink again for TearDown's order.
    storage->SetEvent(manager.get());

    EXPECT_TRUE(manager->Start());   // no NAT manager: nothing to start
}

}   // namespace
