#include "engine/download_session.h"

#include "engine/cmd_event.h"
#include "engine/i_channel_manager.h"
#include "engine/i_download_manager.h"
#include "engine/i_storage_manager.h"
#include "engine/task_state_mgr.h"
#include "net/io/io_service.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "picker/block_request.h"
#include "platform/tick.h"
#include "platform/write_at.h"
#include "support/channel_fixture.h"
#include "support/engine_test_env.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using test_support::wait_until;

namespace {

// What the fake manager saw; outlives the manager so destruction can be checked.
struct ManagerLog {
    std::mutex lock;
    std::vector<std::string> calls;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> stops;   // task id, tick
    std::atomic<int> ticks{0};
    std::atomic<int> prepares{0};
    std::atomic<bool> handler_ran_while_preparing{false};
    std::atomic<bool> posted_ran{false};
    std::atomic<bool> destroyed{false};
    float rates[2] = {0, 0};

    void Add(const std::string& call)
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    bool Has(const std::string& call)
    {
        for (const std::string& c : Calls())
            if (c == call)
                return true;
        return false;
    }
};

class FakeDownloadManager : public IDownload_Manager {
public:
    explicit FakeDownloadManager(std::shared_ptr<ManagerLog> log) : m_log(std::move(log)) {}
    ~FakeDownloadManager() override { m_log->destroyed = true; }

    int add_result = 1;
    int prepare_result = 1;

    void SetCmdEvent(ICmdEvent* event) override { m_log->Add(event ? "SetCmdEvent" : "SetCmdEvent(null)"); }
    bool Start() override
    {
        m_log->Add("Start");
        return true;
    }
    int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t, const std::string&, std::uint32_t,
                        const std::string&, const std::vector<std::uint8_t>& bitmap,
                        const std::vector<std::vector<std::uint8_t>>&, const std::string& save_path,
                        std::uint8_t flag) override
    {
        m_io = io;
        m_log->Add("AddHistory " + std::to_string(task_id) + " " + save_path + " " + std::to_string(bitmap.size()) +
                   " " + std::to_string(flag));
        return add_result;
    }
    int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t, const std::string&, std::uint32_t,
                        const std::string&, const std::string& save_path) override
    {
        m_io = io;
        m_log->Add("AddSavePath " + std::to_string(task_id) + " " + save_path);
        return add_result;
    }
    int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t, const std::string&, std::uint32_t,
                        const std::string&) override
    {
        m_io = io;
        m_log->Add("AddNoPath " + std::to_string(task_id));
        return add_result;
    }
    int PrepareTaskFiles(std::uint64_t task_id) override
    {
        // A handler posted now must not run before the preparation ends:
        // the I/O thread is parked. Its context outlives the session.
        m_log->posted_ran = false;
        m_io.load()->post([](void* c, const i_error_code&) { static_cast<ManagerLog*>(c)->posted_ran = true; },
                          m_log.get());
        platform::sleep_ms(150);
        if (m_log->posted_ran.load())
            m_log->handler_ran_while_preparing = true;
        m_log->Add("Prepare " + std::to_string(task_id));
        ++m_log->prepares;
        return prepare_result;
    }
    void second_tick() override { ++m_log->ticks; }
    int SetRateLimits(float d, float u) override
    {
        m_log->rates[0] = d;
        m_log->rates[1] = u;
        return 1;
    }
    void CloseAllConnections() override { m_log->Add("CloseAll"); }
    void StopTask(std::uint64_t task_id) override
    {
        m_log->Add("StopTask " + std::to_string(task_id));
        CTaskStateMgr::Instance().SetState(task_id, TASKSTATE_REMOVED);
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->stops.emplace_back(task_id, platform::tick_count());
    }
    // As the real manager once the task's connections are gone: the task
    // is deleted and the sink hears of it.
    void ReapTask(std::uint64_t task_id) override
    {
        m_log->Add("ReapTask " + std::to_string(task_id));
        if (m_sink)
            m_sink(m_sink_context, task_id);
    }
    void SetRetiredSink(retired_sink sink, void* context) override
    {
        m_sink = sink;
        m_sink_context = context;
    }
    void ReleaseRetired(std::uint64_t task_id) override { m_log->Add("Release " + std::to_string(task_id)); }
    void StopAllTasks() override { m_log->Add("StopAllTasks"); }
    bool HasTask(std::uint64_t) override { return false; }
    void CloseAllConnections(std::uint8_t flag) override { m_log->Add("CloseAll " + std::to_string(flag)); }
    void SetIdentity(const PeerInfo& self, const std::vector<CisAddress>&) override
    {
        m_log->Add("SetIdentity " + std::to_string(std::uint64_t(self.clientid)));
    }

private:
    std::shared_ptr<ManagerLog> m_log;
    retired_sink m_sink = nullptr;
    void* m_sink_context = nullptr;
    // Written by each add on the caller's thread, read by the preparation on
    // the session's worker while later adds may run.
    std::atomic<i_io_service*> m_io{nullptr};
};

class RecordingEvents : public ICmdEvent {
public:
    std::mutex lock;
    std::vector<std::string> events;

    void Add(const std::string& e)
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(e);
    }
    bool Has(const std::string& e)
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto& x : events)
            if (x == e)
                return true;
        return false;
    }

    void OnErrorOutput(const char*) override {}
    void OnTextOutput(const char*) override {}
    void OnTaskMessage(const char*, std::uint32_t) override {}
    void OnBitmapSaved(std::uint64_t, const std::vector<std::uint8_t>&,
                       const std::vector<std::vector<std::uint8_t>>&) override
    {
    }
    void OnTaskInfo(std::uint64_t id, const char* text, std::uint32_t type, std::uint32_t, std::uint32_t,
                    std::uint32_t) override
    {
        Add("info " + std::to_string(id) + " [" + text + "] " + std::to_string(type));
    }
    void OnDownloadProgress(std::uint64_t, std::uint64_t, std::uint64_t) override {}
    void OnTaskCompleted(std::uint64_t) override {}
    void OnTaskSpeed(std::uint64_t, float, float) override {}
    void OnTaskRun(std::uint64_t, std::uint32_t) override {}
    void OnTaskStop(std::uint64_t id) override
    {
        if (CTaskStateMgr::Instance().Exists(id))
            Add("state left at stop " + std::to_string(id));
        Add("stop " + std::to_string(id));
    }
    void OnGlobalSpeed(float, float) override {}
};

void DestroyFake(SessionManagers& m)
{
    delete m.download;
    m.download = nullptr;
    if (m.storage)
        m.storage->Drain();
    DestroyChannelManager(m.channel);
    DestroyStorageManager(m.storage);
    m.channel = nullptr;
    m.storage = nullptr;
}

// Holds every file write until opened.
struct WriteGate {
    static std::mutex lock;
    static std::condition_variable opened;
    static bool open;
    static int held;
    static long Write(int fd, const void* data, std::size_t size, std::int64_t offset)
    {
        {
            std::unique_lock<std::mutex> guard(lock);
            ++held;
            opened.wait(guard, [] { return open; });
        }
        return long(::pwrite(fd, data, size, offset));
    }
    static void Set(bool is_open)
    {
        std::lock_guard<std::mutex> guard(lock);
        open = is_open;
        held = 0;
        opened.notify_all();
    }
    static int Held()
    {
        std::lock_guard<std::mutex> guard(lock);
        return held;
    }
};
std::mutex WriteGate::lock;
std::condition_variable WriteGate::opened;
bool WriteGate::open = true;
int WriteGate::held = 0;

class DownloadSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CTaskStateMgr::Instance().Clear();
        transfer_limits::reset();
        log = std::make_shared<ManagerLog>();
    }
    void TearDown() override
    {
        WriteGate::Set(true);
        session.reset();
        platform::set_write_at_source(nullptr);
        CTaskStateMgr::Instance().Clear();
        transfer_limits::reset();
    }
    CDownload_Session& Make(bool with_manager = true, bool with_storage = false)
    {
        SessionManagers m;
        if (with_storage) {
            m.channel = channels = CreateChannelManager(temp.path());
            m.storage = storage = CreateStorageManager(m.channel);
        }
        if (with_manager) {
            fake = new FakeDownloadManager(log);
            m.download = fake;
        }
        m.destroy = &DestroyFake;
        session.reset(new CDownload_Session(m));
        session->SetCmdEvent(&events);
        return *session;
    }

    test_support::TempDir temp;
    IChannelManager* channels = nullptr;   // owned by the session
    IStorageManager* storage = nullptr;
    std::shared_ptr<ManagerLog> log;
    FakeDownloadManager* fake = nullptr;
    RecordingEvents events;
    std::unique_ptr<CDownload_Session> session;
};

TEST_F(DownloadSessionTest, WithoutDownloadManagerAddsReturnZero)
{
    CDownload_Session& s = Make(false);
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.AddTaskDownload(1, 262144, "src", 1, "<filelist/>", "/tmp/x"), 0);
    EXPECT_EQ(s.AddTaskDownload(1, 262144, "src", 1, "<filelist/>"), 0);
    EXPECT_EQ(s.AddTaskDownload(1, 262144, "src", 1, "<filelist/>", {1}, {{1}}, "/tmp/x", 0), 0);
    EXPECT_EQ(s.SetRateLimits(1.0f, 2.0f), 0);
}

TEST_F(DownloadSessionTest, StartPassesTheSinkAndStartsTheManager)
{
    CDownload_Session& s = Make();
    ASSERT_TRUE(s.Start());
    EXPECT_FALSE(s.Start());   // once only
    EXPECT_TRUE(log->Has("SetCmdEvent"));
    EXPECT_TRUE(log->Has("Start"));
    EXPECT_TRUE(wait_until([&] { return log->ticks.load() >= 1; }, 3000)) << "the second timer drives the manager";
}

TEST_F(DownloadSessionTest, AddedTaskFilesArePreparedWhileTheIoThreadIsParked)
{
    CDownload_Session& s = Make();
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.AddTaskDownload(7, 262144, "src", 1, "<filelist/>", "/data/src"), 1);
    ASSERT_TRUE(wait_until([&] { return log->prepares.load() == 1; }, 3000));
    EXPECT_FALSE(log->handler_ran_while_preparing.load());
    EXPECT_TRUE(log->Has("AddSavePath 7 /data/src"));
    EXPECT_FALSE(events.Has("info 7 [] 2"));
    EXPECT_TRUE(wait_until([&] { return log->posted_ran.load(); }, 2000)) << "the I/O thread resumed";
    // The I/O thread runs again: the timer keeps ticking.
    const int ticks = log->ticks.load();
    EXPECT_TRUE(wait_until([&] { return log->ticks.load() > ticks; }, 3000));
}

TEST_F(DownloadSessionTest, EveryAddFormReachesItsManagerOperation)
{
    CDownload_Session& s = Make();
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.AddTaskDownload(1, 65536, "a", 2, "<filelist/>", {1, 0}, {{1}, {0}}, "/d/a", 0), 1);
    EXPECT_EQ(s.AddTaskDownload(2, 65536, "b", 1, "<filelist/>"), 1);
    fake->add_result = 0;
    EXPECT_EQ(s.AddTaskDownload(3, 65536, "c", 1, "<filelist/>", "/d/c"), 0);
    EXPECT_TRUE(log->Has("AddHistory 1 /d/a 2 0"));
    EXPECT_TRUE(log->Has("AddNoPath 2"));
    EXPECT_TRUE(log->Has("AddSavePath 3 /d/c"));
    // Only the two accepted tasks get their files prepared.
    ASSERT_TRUE(wait_until([&] { return log->prepares.load() == 2; }, 3000));
    platform::sleep_ms(100);
    EXPECT_EQ(log->prepares.load(), 2);
}

TEST_F(DownloadSessionTest, FailedPreparationStopsTheTaskAndReportsTypeTwo)
{
    CDownload_Session& s = Make();
    fake->prepare_result = 0;
    CTaskStateMgr::Instance().Set(9, TASKSTATE_QUEUED);
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.AddTaskDownload(9, 262144, "src", 1, "<filelist/>", "/d"), 1);
    ASSERT_TRUE(wait_until([&] { return events.Has("info 9 [] 2"); }, 4000));
    ASSERT_TRUE(wait_until([&] { return log->Has("StopTask 9"); }, 3000));
    EXPECT_EQ(live_connections::running(9), 0u);
    // Stopped like any other task: reaped, deleted, its stop event raised.
    ASSERT_TRUE(wait_until([&] { return events.Has("stop 9"); }, 3000));
    EXPECT_TRUE(log->Has("ReapTask 9"));
    EXPECT_FALSE(CTaskStateMgr::Instance().Exists(9));
}

// Many stops at once: each returns at once, each reaches the I/O thread at
// once (not one per one-second tick), and each task's teardown goes on to
// its stop event without the caller.
TEST_F(DownloadSessionTest, ManyStopsReturnAtOnceAndEachEndsInItsStopEvent)
{
    CDownload_Session& s = Make();
    ASSERT_TRUE(s.Start());
    const std::uint64_t first = 201;
    const std::uint64_t count = 40;
    for (std::uint64_t id = first; id < first + count; ++id) {
        CTaskStateMgr::Instance().Set(id, TASKSTATE_CREATED);
        live_connections::set(id, 1, 0);
    }
    const std::uint32_t start = platform::tick_count();
    std::uint32_t longest = 0;
    for (std::uint64_t id = first; id < first + count; ++id) {
        const std::uint32_t before = platform::tick_count();
        s.StopTask(id);
        longest = std::max(longest, platform::tick_count() - before);
        EXPECT_EQ(live_connections::running(id), 0u);
    }
    EXPECT_LT(longest, 50u) << "a stop returns at once";
    ASSERT_TRUE(wait_until([&] { return events.Has("stop " + std::to_string(first + count - 1)); }, 5000));
    std::vector<std::pair<std::uint64_t, std::uint32_t>> stops;
    {
        std::lock_guard<std::mutex> guard(log->lock);
        stops = log->stops;
    }
    ASSERT_EQ(stops.size(), std::size_t(count));
    for (std::size_t i = 0; i < stops.size(); ++i) {
        EXPECT_EQ(stops[i].first, first + i) << "in the order asked";
        EXPECT_LT(stops[i].second - start, 500u) << "posted at once, not at a tick";
    }
    for (std::uint64_t id = first; id < first + count; ++id) {
        EXPECT_TRUE(log->Has("ReapTask " + std::to_string(id)));
        EXPECT_TRUE(events.Has("stop " + std::to_string(id)));
        EXPECT_FALSE(CTaskStateMgr::Instance().Exists(id)) << "retired from the registry";
    }
}

// A task stopped while the worker prepares another one's files: it is
// reaped (and its stop event raised) only after its own preparation, which
// otherwise finds no task, reports a failure and stops the id once more,
// perhaps a task started again under it.
TEST_F(DownloadSessionTest, StopOfATaskWaitingForItsPreparationEndsAfterIt)
{
    CDownload_Session& s = Make(true, true);
    ASSERT_TRUE(s.Start());
    for (std::uint64_t id : {81, 82}) {
        CTaskStateMgr::Instance().Set(id, TASKSTATE_CREATED);
        live_connections::set(id, 1, 0);   // as each task does when built
    }
    // Task 81 resumes 48 MiB that its bitmap claims: their check takes the
    // worker a while, with the I/O thread running.
    const test_support::ChannelFixture big({48u << 20}, 1u << 20);
    const std::string save = temp.file("big");
    std::filesystem::create_directories(save + "/dir");
    test_support::WriteAll(save + "/dir/file0.bin", big.files()[0].content);
    std::vector<std::vector<std::uint8_t>> tables;
    for (std::uint32_t p = 0; p < big.piece_count(); ++p)
        tables.emplace_back(BlocksInPiece(big.piece_length(p)), 1);
    ASSERT_TRUE(channels->AddChannel(81, std::int32_t(big.piece_size()), "g", 1, big.file_list(),
                                     std::vector<std::uint8_t>(big.piece_count(), 1), tables, save, 0));
    EXPECT_EQ(s.AddTaskDownload(81, 262144, "src", 1, "<filelist/>", "/d"), 1);
    EXPECT_EQ(s.AddTaskDownload(82, 262144, "src", 1, "<filelist/>", "/d"), 1);
    s.StopTask(82);
    ASSERT_TRUE(wait_until([&] { return log->Has("StopTask 82"); }, 3000));
    EXPECT_FALSE(log->Has("Prepare 81")) << "the stop came while 81 was being checked";
    ASSERT_TRUE(wait_until([&] { return events.Has("stop 82"); }, 5000));
    const std::vector<std::string> calls = log->Calls();
    const auto at = [&](const std::string& call) { return std::find(calls.begin(), calls.end(), call); };
    ASSERT_NE(at("Prepare 82"), calls.end()) << "prepared before its stop event";
    EXPECT_LT(at("Prepare 82"), at("ReapTask 82"));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("StopTask 82")), 1);
}

// A task stopped and started again at once under the same id: disk work
// the stopped task left queued must not reach the new task's channel, and
// nothing of the old task may wipe the new one's state.
TEST_F(DownloadSessionTest, RemainsOfAStoppedTaskNeverReachItsRestart)
{
    CDownload_Session& s = Make(true, true);
    ASSERT_TRUE(s.Start());
    const std::uint64_t id = 77;
    const test_support::ChannelFixture fx({65536}, 32768);
    const auto add = [&] {
        return channels->AddChannel(id, std::int32_t(fx.piece_size()), "g", 1, fx.file_list(), temp.file("save")) &&
               channels->PrepareChannelFiles(id);
    };
    CTaskStateMgr::Instance().Set(id, TASKSTATE_CREATED);
    ASSERT_TRUE(add());
    // A loan of the old task outlives it.
    std::shared_ptr<zeq::i_block_loan> loan = storage->LendBlocks(id, 1, 0, 1);
    ASSERT_TRUE(loan);
    // Piece 0 in, its write held on the disk.
    WriteGate::Set(false);
    platform::set_write_at_source(&WriteGate::Write);
    std::string bytes = fx.piece_bytes(0);
    BlockRequest req{0, 0, std::int32_t(bytes.size()), reinterpret_cast<std::uint8_t*>(&bytes[0])};
    ASSERT_TRUE(storage->WriteBlock(id, req));
    ASSERT_TRUE(wait_until([] { return WriteGate::Held() > 0; }, 3000));

    s.StopTask(id);
    // The stop event waits for the held write (bounded look: it must not come).
    const bool early = wait_until([&] { return events.Has("stop 77"); }, 1000);
    EXPECT_FALSE(early) << "the id was freed while the old task's disk work was queued";
    if (early) {
        ASSERT_TRUE(add()) << "restarted at once, as a launcher would";
    }
    WriteGate::Set(true);
    ASSERT_TRUE(wait_until([&] { return events.Has("stop 77"); }, 5000));
    EXPECT_FALSE(events.Has("state left at stop 77")) << "the registry entry goes before the stop event";
    EXPECT_TRUE(log->Has("Release 77"));
    if (!early) {
        ASSERT_TRUE(add());
    }
    storage->Drain();
    std::uint32_t verified = 99, pieces = 0;
    ASSERT_TRUE(channels->GetVerifyProgress(id, &verified, &pieces));
    EXPECT_EQ(verified, 0u) << "the old task's check reached the new channel";
    std::vector<std::uint8_t> bitmap;
    ASSERT_TRUE(storage->GetBitmap(id, bitmap));
    EXPECT_EQ(bitmap, std::vector<std::uint8_t>(2, 0));
    // The old loan commits into nothing and frees no block of the new store.
    std::memcpy(loan->data(), fx.piece_bytes(1).data(), loan->size());
    EXPECT_FALSE(loan->commit());
    loan.reset();
    std::vector<std::vector<std::uint8_t>> stored;
    ASSERT_TRUE(storage->GetChannelStoreData(id, stored));
    EXPECT_EQ(stored, std::vector<std::vector<std::uint8_t>>(2, std::vector<std::uint8_t>(1, 0)));
    platform::set_write_at_source(nullptr);
}

// A task's stop event does not wait for another task's disk work.
TEST_F(DownloadSessionTest, StopWaitsForNoOtherTasksDiskWork)
{
    CDownload_Session& s = Make(true, true);
    ASSERT_TRUE(s.Start());
    const test_support::ChannelFixture fx({65536}, 32768);
    CTaskStateMgr::Instance().Set(77, TASKSTATE_CREATED);
    ASSERT_TRUE(channels->AddChannel(78, 32768, "g", 1, fx.file_list(), temp.file("save")) &&
                channels->PrepareChannelFiles(78));
    WriteGate::Set(false);   // task 78's write is held on the disk
    platform::set_write_at_source(&WriteGate::Write);
    std::string bytes = fx.piece_bytes(0);
    BlockRequest req{0, 0, std::int32_t(bytes.size()), reinterpret_cast<std::uint8_t*>(&bytes[0])};
    ASSERT_TRUE(storage->WriteBlock(78, req));
    ASSERT_TRUE(wait_until([] { return WriteGate::Held() > 0; }, 3000));
    s.StopTask(77);
    EXPECT_TRUE(wait_until([&] { return events.Has("stop 77"); }, 5000));
}

TEST_F(DownloadSessionTest, RateLimitsPassThroughAndReadTheEngineValues)
{
    CDownload_Session& s = Make();
    EXPECT_EQ(s.SetRateLimits(3.5f, 7.25f), 1);
    EXPECT_FLOAT_EQ(log->rates[0], 3.5f);
    EXPECT_FLOAT_EQ(log->rates[1], 7.25f);
    transfer_limits::set_limits(1536, 256);
    s.SetGlobalFlag(1);
    float d = 0, u = 0;
    std::uint8_t on = 0;
    EXPECT_EQ(s.GetRateLimits(&d, &u, &on), 1);
    EXPECT_FLOAT_EQ(d, 1536.0f);
    EXPECT_FLOAT_EQ(u, 256.0f);
    EXPECT_EQ(on, 1);
    s.SetGlobalFlag(0);
    EXPECT_EQ(s.GetRateLimits(nullptr, nullptr, nullptr), 0);
}

TEST_F(DownloadSessionTest, DestructionStopsInOrderAndNoTimerRunsAfterwards)
{
    CDownload_Session& s = Make();
    ASSERT_TRUE(s.Start());
    ASSERT_TRUE(wait_until([&] { return log->ticks.load() >= 1; }, 3000));
    const std::uint32_t start = platform::tick_count();
    session.reset();
    EXPECT_LT(platform::tick_count() - start, 5000u);
    EXPECT_TRUE(log->destroyed.load());
    const std::vector<std::string> calls = log->Calls();
    auto pos = [&](const std::string& c) {
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == c)
                return static_cast<int>(i);
        return -1;
    };
    ASSERT_GE(pos("StopAllTasks"), 0);
    ASSERT_GE(pos("CloseAll 1"), 0);
    EXPECT_LT(pos("StopAllTasks"), pos("CloseAll 1"));
    const int ticks = log->ticks.load();
    platform::sleep_ms(1200);
    EXPECT_EQ(log->ticks.load(), ticks);
}

}   // namespace
