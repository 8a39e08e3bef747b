#include "engine/client_main.h"

#include "discovery/lan_peer_discovery.h"
#include "engine/bitmap_file.h"
#include "engine/engine_flags.h"
#include "engine/task_state_mgr.h"
#include "report/client_id.h"
#include "report/client_log.h"
#include "support/ends_within.h"
#include "support/engine_test_env.h"
#include "support/fake_cis_server.h"
#include "support/fake_ris_server.h"
#include "support/shifted_tick.h"

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>

using test_support::EngineCallbackLog;
using test_support::EngineEvent;
using test_support::EngineTestEnv;
using test_support::FakeDownloadSession;
using test_support::FakeRisServer;
using test_support::wait_until;

namespace {

// Reads a field of a packed record by value (a reference to it may be misaligned).
template <class T>
T Value(T field)
{
    return field;
}

class ClientMainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine_flags::reset();
        CTaskStateMgr::Instance().Clear();
        FakeDownloadSession::AddResult() = 1;
        FakeDownloadSession::Destroyed() = 0;
    }
    void TearDown() override
    {
        client.reset();
        FakeDownloadSession::StopReportsOnDestroy() = false;
        FakeDownloadSession::AddGate() = nullptr;
        engine_flags::reset();
        CTaskStateMgr::Instance().Clear();
    }

    // A client core with the session double and no UPnP pass.
    CClientMain& Make()
    {
        client.reset(new CClientMain());
        SessionFactory factory;
        factory.create = &FakeDownloadSession::Create;
        factory.destroy = &FakeDownloadSession::Destroy;
        client->SetSessionFactory(factory);
        client->SetUpnpEnabled(false);
        client->SetRisTimeouts(1000, 1000);
        return *client;
    }
    bool StartClient(const std::string& data_folder)
    {
        return client->Start(data_folder, 0, 0, &EngineCallbackLog::Callback, &log, env->file("fallback"));
    }
    FakeDownloadSession& Session() { return *FakeDownloadSession::Current().load(); }

    // An online client core over a fake RIS with this answer.
    void StartOnline(const FakeRisServer::Answer& answer)
    {
        ris.reset(new FakeRisServer());
        ris->SetAnswer(answer);
        ASSERT_TRUE(ris->Start());
        env.reset(new EngineTestEnv(ris->address()));
        Make();
        ASSERT_TRUE(StartClient(env->file("data")));
        ASSERT_TRUE(client->WaitForSession(5000));
    }
    void StartOffline()
    {
        env.reset(new EngineTestEnv());
        Make();
        ASSERT_TRUE(StartClient(env->file("data")));
        ASSERT_TRUE(client->WaitForSession(5000));
    }

    std::unique_ptr<FakeRisServer> ris;
    std::unique_ptr<EngineTestEnv> env;
    EngineCallbackLog log;
    std::unique_ptr<CClientMain> client;
};

TEST_F(ClientMainTest, OnlineStartOrdersTheCisListAndBuildsTheSession)
{
    FakeRisServer::Answer answer;
    answer.clientid = 4242;
    answer.publicip = 5;
    answer.peertype = 1;
    // Distances from 5: 2^31 (the difference is the smallest 32-bit
    // number), 4, 4, 1, 1; equal keys keep their received order.
    answer.cis = {{0x80000005u, 801, 0}, {9, 901, 1}, {1, 101, 2}, {6, 601, 3}, {4, 401, 4}};
    StartOnline(answer);

    FakeDownloadSession& s = Session();
    EXPECT_TRUE(s.started.load());
    EXPECT_EQ(s.event.load(), client.get());
    ASSERT_EQ(s.cis_list.size(), 5u);
    const std::uint16_t ports[] = {601, 401, 901, 101, 801};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Value(s.cis_list[i].port), ports[i]) << i;
    EXPECT_EQ(s.data_folder, env->file("data"));
    EXPECT_TRUE(platform::folder_exists(env->file("data")));

    // This peer's record: zero but for id, addresses (network order) and type.
    EXPECT_EQ(Value(s.self.clientid), 4242u);
    EXPECT_EQ(Value(s.self.publicip), htonl(5));
    EXPECT_EQ(Value(s.self.peertype), 1);
    EXPECT_EQ(Value(s.self.publicport), 0);
    EXPECT_EQ(Value(s.self.hostname[0]), 0);
    EXPECT_EQ(GetProcessClientId(), 4242u);
    EXPECT_TRUE(engine_flags::index_servers_usable());
    EXPECT_NE(CLanPeerDiscovery::GetInstance(), nullptr);

    ASSERT_TRUE(log.WaitFor(4, 1000));
    const std::vector<EngineEvent> events = log.Events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0].code, 2u);
    EXPECT_EQ(events[1].code, 3u);
    EXPECT_EQ(events[1].value, 0);
    EXPECT_EQ(events[2].code, 8u);
    EXPECT_EQ(events[2].Text(0), "Receive peer self_clientid=4242\n");
    EXPECT_EQ(events[3].code, 4u);
    EXPECT_EQ(events[3].value, 0);
}

TEST_F(ClientMainTest, PublicAddressZeroGivesAnEmptyCisList)
{
    FakeRisServer::Answer answer;
    answer.publicip = 0;
    answer.cis = {{9, 901, 1}};
    StartOnline(answer);
    EXPECT_TRUE(Session().cis_list.empty());
    EXPECT_TRUE(client->GetCisList().empty());
}

TEST_F(ClientMainTest, AnOfflineSessionLogsOnOnceTheRisIsBack)
{
    // Time that runs and can be moved ahead: the offline session's
    // back-offs pass without being waited out.
    test_support::shifted_tick_scope tick;
    FakeRisServer::Answer down;
    down.result = 5;
    ris.reset(new FakeRisServer());
    ris->SetMode(FakeRisServer::Mode::refuse);
    ris->SetAnswer(down);
    ASSERT_TRUE(ris->Start());
    env.reset(new EngineTestEnv(ris->address()));
    Make();
    ASSERT_TRUE(StartClient(env->file("data")));
    ASSERT_TRUE(client->WaitForSession(5000));
    ASSERT_TRUE(client->IsOffline());
    FakeDownloadSession& s = Session();
    const std::uint64_t offline_id = client->GetClientId();

    // Tries after 1, then 2, then 4 back-off steps; the RIS is back for the last.
    const std::uint32_t first = CClientMain::kFirstRelogonMs;
    const struct {
        std::uint32_t ahead_ms;
        int logons;
        bool back;
    } steps[] = {{first, 2, false}, {first, 2, false}, {first, 3, false}, {4 * first, 4, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.logons);
        ASSERT_TRUE(wait_until([&] { return !client->IsLogonRunning(); }, 5000));
        if (step.back) {
            FakeRisServer::Answer up;
            up.clientid = 777;
            up.publicip = 0x0a000001;
            up.cis = {{0x0a000002, 8100, 1}};
            ris->SetAnswer(up);
            ris->SetMode(FakeRisServer::Mode::answer);
        }
        const int before = ris->logons();
        test_support::tick_offset() += step.ahead_ms;
        // The task worker looks once a second whether a try is due.
        if (step.logons > before)
            EXPECT_TRUE(wait_until([&] { return ris->logons() == step.logons; }, 5000));
        else
            EXPECT_FALSE(wait_until([&] { return ris->logons() > before; }, 2500)) << "not yet due";
    }
    ASSERT_TRUE(wait_until([&] { return !client->IsOffline(); }, 5000));
    EXPECT_EQ(&s, FakeDownloadSession::Current().load()) << "the session goes online in place";
    const auto identities = s.Identities();
    ASSERT_EQ(1u, identities.size());
    EXPECT_EQ(777u, Value(identities[0].first.clientid));
    ASSERT_EQ(1u, identities[0].second.size());
    EXPECT_EQ(8100, identities[0].second[0].port);
    EXPECT_EQ(777u, client->GetClientId());
    EXPECT_EQ(777u, GetProcessClientId());
    EXPECT_NE(offline_id, client->GetClientId());
    EXPECT_TRUE(engine_flags::index_servers_usable());
}

TEST_F(ClientMainTest, FailedLogonFallsBackToTheOfflineSessionWithinSeconds)
{
    const std::uint32_t start = platform::tick_count();
    StartOffline();
    EXPECT_LT(platform::tick_count() - start, 5000u);
    FakeDownloadSession& s = Session();
    // An id no index server gives (high half all ones), its own per service.
    const std::uint64_t id = Value(s.self.clientid);
    EXPECT_EQ(id >> 32, 0xFFFFFFFFu);
    EXPECT_NE(id, ~std::uint64_t{0});
    EXPECT_EQ(Value(s.self.publicip), 0u);
    EXPECT_TRUE(s.cis_list.empty());
    EXPECT_FALSE(engine_flags::index_servers_usable());
    EXPECT_EQ(GetProcessClientId(), id);

    // 2, then 4/-1, 16, 3/0, the text, 4/0.
    ASSERT_TRUE(log.WaitFor(4, 1000, 2));
    std::vector<EngineEvent> events = log.Events();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].code, 2u);
    EXPECT_EQ(events[1].code, 4u);
    EXPECT_EQ(events[1].value, -1);
    EXPECT_EQ(events[2].code, 16u);
    EXPECT_EQ(events[2].Text(0).rfind("Connect Ris error,OnRisConnectionCompleted result code=", 0), 0u);
    EXPECT_EQ(events[3].code, 3u);
    EXPECT_EQ(events[3].value, 0);
    EXPECT_EQ(events[4].code, 8u);
    EXPECT_EQ(events[5].code, 4u);
    EXPECT_EQ(events[5].value, 0);
}

// A launcher that shuts the engine down from the callback telling it the
// session is built.
struct StopOnBuilt {
    static std::uint32_t Callback(std::uint32_t code, std::uintptr_t data, void* user)
    {
        auto* self = static_cast<StopOnBuilt*>(user);
        EngineCallbackLog::Callback(code, data, self->log);
        if (code == 4 && data == 0) {
            self->client->Stop();
            self->stopped = true;
        }
        return 0;
    }
    CClientMain* client = nullptr;
    EngineCallbackLog* log = nullptr;
    std::atomic<bool> stopped{false};
};

TEST_F(ClientMainTest, TheLauncherHearsOfTheBuildWithNoLockHeldAndInOrder)
{
    env.reset(new EngineTestEnv());
    Make();
    StopOnBuilt launcher;
    launcher.client = client.get();
    launcher.log = &log;
    ASSERT_TRUE(client->Start(env->file("data"), 0, 0, &StopOnBuilt::Callback, &launcher, env->file("fallback")));
    EXPECT_TRUE(wait_until([&] { return launcher.stopped.load(); }, 8000));
    test_support::ends_within([&] { client.reset(); }, 10000,
                              "the client core's shutdown after a stop from a callback");
    EXPECT_EQ(FakeDownloadSession::Current().load(), nullptr);
    const std::vector<std::uint32_t> codes = log.Codes();
    ASSERT_GE(codes.size(), 6u);
    EXPECT_EQ(std::vector<std::uint32_t>(codes.begin(), codes.begin() + 6),
              (std::vector<std::uint32_t>{2, 4, 16, 3, 8, 4}));
}

TEST_F(ClientMainTest, ReconnectWhileALogonRunsIsRefusedWithCodeThree)
{
    ris.reset(new FakeRisServer());
    ris->SetMode(FakeRisServer::Mode::silent);
    ASSERT_TRUE(ris->Start());
    env.reset(new EngineTestEnv(ris->address()));
    Make();
    client->SetRisTimeouts(1000, 3000);
    ASSERT_TRUE(StartClient(env->file("data")));
    ASSERT_TRUE(wait_until([&] { return ris->logons() >= 1; }, 2000));
    EXPECT_FALSE(client->Reconnect());
    EngineEvent e;
    ASSERT_TRUE(log.Last(3, e));
    EXPECT_EQ(e.value, -1);
    EXPECT_EQ(log.Count(2), 2u);
}

TEST_F(ClientMainTest, StopDuringALogonReturnsPromptlyAndBuildsNothing)
{
    ris.reset(new FakeRisServer());
    ris->SetMode(FakeRisServer::Mode::silent);
    ASSERT_TRUE(ris->Start());
    env.reset(new EngineTestEnv(ris->address()));
    Make();
    client->SetRisTimeouts(1000, 5000);
    ASSERT_TRUE(StartClient(env->file("data")));
    ASSERT_TRUE(wait_until([&] { return ris->logons() >= 1; }, 2000));
    const std::uint32_t start = platform::tick_count();
    EXPECT_TRUE(client->Stop());
    EXPECT_LT(platform::tick_count() - start, 3000u);
    platform::sleep_ms(200);
    EXPECT_EQ(client->GetSession(), nullptr);
    EXPECT_EQ(FakeDownloadSession::Current().load(), nullptr);
    EXPECT_EQ(log.Count(4), 0u);
}

TEST_F(ClientMainTest, TaskWorkerHandsQueuedTasksToTheSession)
{
    StartOffline();
    const std::string save = env->file("games") + " \\";
    EXPECT_TRUE(client->AddTask(11, 262144, "gameA", 1, "<filelist/>", save));
    EXPECT_TRUE(
        client->AddHistoryTask(12, 262144, "gameB", 1, "<filelist/>", {1, 0, 1}, {{1}, {}, {1}}, env->file("games")));
    std::uint32_t state = 0;
    EXPECT_TRUE(CTaskStateMgr::Instance().GetState(11, &state));
    EXPECT_EQ(state, 1u);
    ASSERT_TRUE(wait_until([&] { return Session().Adds().size() == 2; }, 3000));
    const auto adds = Session().Adds();
    EXPECT_EQ(adds[0].task_id, 11u);
    EXPECT_FALSE(adds[0].history);
    EXPECT_EQ(adds[0].folder, env->file("games") + "/gameA");
    EXPECT_TRUE(platform::folder_exists(env->file("games/gameA")));
    EXPECT_EQ(adds[1].task_id, 12u);
    EXPECT_TRUE(adds[1].history);
    EXPECT_EQ(adds[1].bitmap, (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_EQ(client->GetRunningIds(), (std::vector<std::uint64_t>{11, 12}));

    // Code 14 for the new task only: id, untrimmed save folder, source folder.
    ASSERT_TRUE(log.WaitFor(14, 1000));
    platform::sleep_ms(150);
    EXPECT_EQ(log.Count(14), 1u);
    EngineEvent e;
    ASSERT_TRUE(log.Last(14, e));
    EXPECT_EQ(e.U64(), 11u);
    EXPECT_EQ(e.Text(8), save);
    EXPECT_EQ(e.Text(8 + save.size() + 1), "gameA");
    EXPECT_EQ(e.bytes.size(), 8 + save.size() + 1 + 6);

    // A queued task goes to the session when it is queued, not at a later
    // look at the queue (twenty looks 100 ms apart would take about a second).
    const std::uint32_t start = platform::tick_count();
    for (std::uint64_t id = 20; id < 40; ++id) {
        EXPECT_TRUE(client->AddTask(id, 262144, "game" + std::to_string(id), 1, "<filelist/>", env->path()));
        ASSERT_TRUE(wait_until([&] { return Session().Adds().size() == id - 17; }, 3000));
    }
    EXPECT_LT(platform::tick_count() - start, 500u);
}

TEST_F(ClientMainTest, QueueRulesForWaitingRunningAndCompletedTasks)
{
    env.reset(new EngineTestEnv());
    Make();   // not started: no session, tasks stay waiting
    EXPECT_TRUE(client->AddTask(21, 262144, "a", 1, "<filelist/>", env->path()));
    EXPECT_TRUE(client->AddTask(21, 262144, "a", 1, "<filelist/>", env->path()));
    EXPECT_TRUE(client->IsWaiting(21));
    EXPECT_TRUE(client->StopTask(21)) << "a waiting task leaves the queue, with a session or without";
    EXPECT_FALSE(client->IsWaiting(21));
    EXPECT_FALSE(client->StopTask(21)) << "no session, and not waiting any more";
    EXPECT_TRUE(client->AddTask(21, 262144, "a", 1, "<filelist/>", env->path()));

    ASSERT_TRUE(StartClient(env->file("data")));
    ASSERT_TRUE(client->WaitForSession(5000));
    // The task counts as running just before the session is handed it.
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 1 && !Session().Adds().empty(); }, 15000));
    EXPECT_EQ(Session().Adds().size(), 1u) << "queued once";
    // Running: a second add is refused and queues nothing.
    EXPECT_FALSE(client->AddTask(21, 262144, "a", 1, "<filelist/>", env->path()));
    EXPECT_FALSE(client->IsWaiting(21));
    // Completed after a run: still refused.
    client->OnTaskRun(21, 0);
    client->OnTaskCompleted(21);
    EXPECT_EQ(client->GetTaskState(21), 2u);
    EXPECT_FALSE(client->AddTask(21, 262144, "a", 1, "<filelist/>", env->path()));
    EXPECT_EQ(client->GetCompletedIds(), (std::vector<std::uint64_t>{21}));
    client->check_invariant();
}

TEST_F(ClientMainTest, RefusedTaskIsStoppedAndReportedWithCodeSixteen)
{
    StartOffline();
    FakeDownloadSession::AddResult() = 0;
    log.Clear();
    EXPECT_TRUE(client->AddTask(31, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(log.WaitFor(16, 3000));
    EngineEvent e;
    ASSERT_TRUE(log.Last(16, e));
    EXPECT_EQ(e.Text(0), "添加任务出错,task id:31\n");
    EXPECT_EQ(Session().Stops(), (std::vector<std::uint64_t>{31}));
    EXPECT_EQ(log.Count(14), 0u);
    EXPECT_EQ(client->GetTaskState(31), 1u) << "it stays listed until its stop event";
}

TEST_F(ClientMainTest, StopTaskStopsRunningAndCompletedTasksOnly)
{
    StartOffline();
    EXPECT_TRUE(client->AddTask(41, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 1; }, 15000));
    EXPECT_TRUE(client->StopTask(41));
    std::uint32_t state = 0;
    EXPECT_TRUE(CTaskStateMgr::Instance().GetState(41, &state));
    EXPECT_EQ(state, 4u);
    // The task may still be in the hand-over's add; its stop then reaches
    // the session once the add returns.
    EXPECT_TRUE(wait_until([&] { return Session().Stops() == std::vector<std::uint64_t>{41}; }, 5000));
    EXPECT_FALSE(client->StopTask(42)) << "unknown";
    client->OnTaskStop(41);
    EXPECT_EQ(client->GetTaskState(41), 0u);
    EngineEvent e;
    ASSERT_TRUE(log.Last(11, e));
    EXPECT_EQ(e.U64(), 41u);
}

// The hand-over the task worker is in: held in the session's add until
// the test lets it go.
std::atomic<bool> g_add_entered{false};
std::atomic<bool> g_add_released{false};
void HoldAdd(std::uint64_t)
{
    g_add_entered = true;
    wait_until([] { return g_add_released.load(); }, 10000);
}

// A stop of a task the session is still adding reaches the session only
// once the add has returned (before, the session could not find it and the
// stop was lost); a stop of a task still queued takes it off the queue with
// the stop event, and it never runs.
TEST_F(ClientMainTest, StopOfATaskBeingAddedOrStillQueuedStopsIt)
{
    StartOffline();
    g_add_entered = false;
    g_add_released = false;
    FakeDownloadSession::AddGate() = &HoldAdd;
    EXPECT_TRUE(client->AddTask(71, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([] { return g_add_entered.load(); }, 5000));
    EXPECT_TRUE(client->AddTask(72, 262144, "b", 1, "<filelist/>", env->path()));
    EXPECT_TRUE(client->IsWaiting(72));

    log.Clear();
    EXPECT_TRUE(client->StopTask(72)) << "a queued task is stopped";
    EXPECT_FALSE(client->IsWaiting(72));
    EngineEvent e;
    ASSERT_TRUE(log.Last(11, e));
    EXPECT_EQ(e.U64(), 72u);
    EXPECT_FALSE(CTaskStateMgr::Instance().Exists(72)) << "it may be started again";

    EXPECT_TRUE(client->StopTask(71));
    EXPECT_TRUE(Session().Stops().empty()) << "not before the session holds it";
    g_add_released = true;
    ASSERT_TRUE(wait_until([&] { return Session().Stops() == std::vector<std::uint64_t>{71}; }, 5000));
    FakeDownloadSession::AddGate() = nullptr;

    // The queue goes on in order: 72 would have been added before 73.
    EXPECT_TRUE(client->AddTask(73, 262144, "c", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return Session().Adds().size() == 2; }, 5000));
    EXPECT_EQ(Session().Adds()[1].task_id, 73u);
}

TEST_F(ClientMainTest, RunAndCompletedEventsMoveTasksBetweenLists)
{
    StartOffline();
    EXPECT_TRUE(client->AddTask(51, 262144, "a", 1, "<filelist/>", env->path()));
    EXPECT_TRUE(client->AddTask(52, 262144, "b", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 2; }, 3000));
    log.Clear();

    client->OnTaskRun(51, 1);   // a non-zero flag changes nothing
    EXPECT_EQ(log.Count(13), 0u);
    client->OnTaskRun(51, 0);
    EngineEvent e;
    ASSERT_TRUE(log.Last(13, e));
    EXPECT_EQ(e.U64(), 51u);
    client->OnTaskCompleted(51);
    EXPECT_EQ(client->GetCompletedIds(), (std::vector<std::uint64_t>{51}));

    // A task that never ran leaves the running list without becoming
    // completed, and 9 is still raised.
    client->OnTaskCompleted(52);
    EXPECT_EQ(client->GetTaskState(52), 0u);
    EXPECT_EQ(client->GetCompletedIds(), (std::vector<std::uint64_t>{51}));
    ASSERT_EQ(log.Count(9), 2u);
    ASSERT_TRUE(log.Last(9, e));
    EXPECT_EQ(e.U64(), 52u);
    EXPECT_EQ(client->GetRunningCount(), 0u);
}

TEST_F(ClientMainTest, PayloadLayoutsOfEveryCopiedEvent)
{
    StartOffline();
    log.Clear();
    client->OnDownloadProgress(7, 512, 1024);
    client->OnTaskSpeed(7, 1.5f, 0.25f);
    client->OnGlobalSpeed(3.0f, 4.0f);
    client->OnTaskMessage("hello", 9);
    client->OnTextOutput("text");
    client->OnErrorOutput("error");
    client->OnTaskInfo(7, "info", 3, 1, 2, 3);
    client->OnTextOutput(nullptr);

    const std::vector<EngineEvent> ev = log.Events();
    ASSERT_EQ(ev.size(), 8u);
    EXPECT_EQ(ev[0].code, 0u);
    EXPECT_EQ(ev[0].U64(0), 7u);
    EXPECT_EQ(ev[0].U64(8), 512u);
    EXPECT_EQ(ev[0].U64(16), 1024u);
    EXPECT_EQ(ev[1].code, 10u);
    EXPECT_EQ(ev[1].U64(0), 7u);
    EXPECT_FLOAT_EQ(ev[1].F32(8), 1.5f);
    EXPECT_FLOAT_EQ(ev[1].F32(12), 0.25f);
    EXPECT_EQ(ev[2].code, 17u);
    EXPECT_FLOAT_EQ(ev[2].F32(0), 3.0f);
    EXPECT_FLOAT_EQ(ev[2].F32(4), 4.0f);
    EXPECT_EQ(ev[3].code, 7u);
    EXPECT_EQ(ev[3].U32(0), 9u);
    EXPECT_EQ(ev[3].Text(4), "hello");
    EXPECT_EQ(ev[3].bytes.size(), 5u + 5u);
    EXPECT_EQ(ev[4].code, 8u);
    EXPECT_EQ(ev[4].Text(0), "text");
    EXPECT_EQ(ev[5].code, 16u);
    EXPECT_EQ(ev[5].Text(0), "error");
    EXPECT_EQ(ev[6].code, 1u);
    EXPECT_EQ(ev[6].U64(0), 7u);
    EXPECT_EQ(ev[6].Text(8), "info");
    EXPECT_EQ(ev[6].U32(13), 3u);
    EXPECT_EQ(ev[6].bytes.size(), 4u + 13u);
    EXPECT_EQ(ev[7].code, 8u);
    EXPECT_EQ(ev[7].bytes.size(), 1u);
}

TEST_F(ClientMainTest, WhileShuttingDownOnlyStateEventsAreDelivered)
{
    StartOffline();
    EXPECT_TRUE(client->AddTask(61, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 1; }, 15000));
    // The hand-over's own event (14) comes just after the task counts as
    // running; it must not land after the log is cleared.
    ASSERT_TRUE(log.WaitFor(14, 15000));
    log.Clear();
    engine_flags::set_shutting_down(true);
    client->OnDownloadProgress(61, 1, 2);
    client->OnTaskSpeed(61, 1, 1);
    client->OnGlobalSpeed(1, 1);
    client->OnTaskMessage("m", 1);
    client->OnTextOutput("t");
    client->OnErrorOutput("e");
    client->OnBitmapSaved(61, {1}, {{1}});
    EXPECT_TRUE(log.Events().empty());
    client->OnTaskRun(61, 0);
    client->OnTaskInfo(61, "", 2, 0, 0, 0);
    client->OnTaskCompleted(61);
    client->OnTaskStop(61);
    EXPECT_EQ(log.Codes(), (std::vector<std::uint32_t>{13, 1, 9, 11}));
    // The bitmap is still written: a task saves it as it stops.
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    EXPECT_EQ(ReadBitmapFile(client->GetBitmapFolderInUse() + "61.bbm", bitmap, tables), 0);
}

TEST_F(ClientMainTest, BitmapSavedWritesTheRecordFileAndRaisesFifteen)
{
    StartOffline();
    EXPECT_TRUE(client->AddTask(71, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 1; }, 15000));
    // The hand-over's own event (14) comes just after the task counts as
    // running; it must not land after the log is cleared.
    ASSERT_TRUE(log.WaitFor(14, 15000));
    log.Clear();
    const std::vector<std::uint8_t> bitmap = {1, 0, 1};
    const std::vector<std::vector<std::uint8_t>> tables = {{1, 1}, {0, 1}, {1}};
    client->OnBitmapSaved(71, bitmap, tables);

    const std::string expected = env->file("appdata") + "/ZVK/71.bbm";
    EngineEvent e;
    ASSERT_TRUE(log.Last(15, e));
    EXPECT_EQ(e.U64(), 71u);
    EXPECT_EQ(e.Text(8), expected);
    EXPECT_EQ(e.bytes.size(), expected.size() + 9);
    std::vector<std::uint8_t> read_bitmap;
    std::vector<std::vector<std::uint8_t>> read_tables;
    ASSERT_EQ(ReadBitmapFile(expected, read_bitmap, read_tables), 0);
    EXPECT_EQ(read_bitmap, bitmap);
    EXPECT_EQ(read_tables, tables);

    // A write that fails (a folder stands where the file goes) raises nothing.
    log.Clear();
    ASSERT_TRUE(platform::create_folder(env->file("appdata") + "/ZVK/72.bbm/x"));
    client->OnBitmapSaved(72, bitmap, tables);
    EXPECT_EQ(log.Count(15), 0u);
}

TEST_F(ClientMainTest, SavesAKillCutShortAreClearedAtStart)
{
    env.reset(new EngineTestEnv());
    const std::string zvk = env->file("appdata") + "/ZVK/";
    ASSERT_TRUE(platform::create_folder(zvk));
    ASSERT_TRUE(platform::create_folder(env->file("fallback")));
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(dead, ::waitpid(dead, nullptr, 0));
    const std::string d = std::to_string(dead);
    struct row {
        std::string path;
        bool stays;
    };
    const row rows[] = {
        {zvk + "71.bbm.tmp." + d + ".0", false},
        {env->file("fallback") + "/72.bbm.tmp." + d + ".15", false},
        {zvk + "73.bbm.tmp." + std::to_string(::getpid()) + ".1", true},    // a save of this process
        {zvk + "74.bbm.tmp." + std::to_string(::getppid()) + ".0", true},   // of a process alive
        {zvk + "71.bbm", true},
        {zvk + "75.txt.tmp." + d + ".0", true},   // not a bitmap
        {zvk + "76.bbm.tmp." + d, true},
    };
    for (const row& r : rows)
        ASSERT_TRUE(platform::write_file_atomically(r.path, std::string("x")));
    Make();
    ASSERT_TRUE(StartClient(env->file("data")));
    for (const row& r : rows)
        EXPECT_EQ(r.stays, platform::file_exists(r.path)) << r.path;
}

TEST_F(ClientMainTest, BitmapGoesToTheFallbackFolderWithoutTheApplicationDataFolder)
{
    StartOffline();
    engine_flags::set_bitmap_folder(env->file("missing") + "/");
    client->OnBitmapSaved(81, {1}, {{1}});
    EngineEvent e;
    ASSERT_TRUE(log.Last(15, e));
    EXPECT_EQ(e.Text(8), env->file("velmar") + "/81.bbm") << "the fallback is missing too: the default folder";
    EXPECT_TRUE(platform::file_exists(env->file("velmar") + "/81.bbm"));
}

TEST_F(ClientMainTest, TaskReportsReachTheFirstCisOffTheCallingThread)
{
    test_support::FakeCisServer cis;
    ASSERT_TRUE(cis.Start());
    FakeRisServer::Answer answer;
    answer.publicip = 0x7f000001;
    answer.clientid = 99;
    answer.cis = {cis.address()};
    StartOnline(answer);
    log.Clear();
    const std::uint32_t start = platform::tick_count();
    client->OnTaskInfo(5, "", 0, 10, 20, 30);
    client->OnTaskInfo(5, "", 10, 1, 2, 3);
    client->OnTaskInfo(5, "", 2, 0, 0, 0);   // not a CIS report
    EXPECT_LT(platform::tick_count() - start, 200u);
    EXPECT_EQ(log.Count(1), 3u);
    ASSERT_TRUE(wait_until([&] { return cis.reports().size() == 2; }, 5000));
    const auto reports = cis.reports();
    EXPECT_EQ(reports[0].task_id, 5u);
    EXPECT_EQ(reports[0].client_id, 99u);
    EXPECT_EQ(reports[0].a, 10u);
    EXPECT_EQ(reports[0].type, 0);
    EXPECT_EQ(reports[1].type, 10);
    platform::sleep_ms(100);
    EXPECT_EQ(cis.reports().size(), 2u);

    // A task still running at shutdown: its stop report goes out before
    // the sender ends.
    FakeDownloadSession::StopReportsOnDestroy() = true;
    EXPECT_TRUE(client->AddTask(6, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 1; }, 5000));
    EXPECT_TRUE(client->Stop());
    ASSERT_EQ(cis.reports().size(), 3u);
    EXPECT_EQ(cis.reports()[2].task_id, 6u);
    EXPECT_EQ(cis.reports()[2].type, 10);
    EXPECT_EQ(cis.reports()[2].a, 7u);
}

TEST_F(ClientMainTest, UpnpPassOfAPeerBehindNatIsJoinedByStop)
{
    FakeRisServer::Answer answer;
    answer.publicip = 0x7f000001;
    answer.peertype = 0;   // behind NAT: the listen port gets mapped
    ris.reset(new FakeRisServer());
    ris->SetAnswer(answer);
    ASSERT_TRUE(ris->Start());
    env.reset(new EngineTestEnv(ris->address()));
    // The client log shows the pass; the gateway is a closed local port.
    ASSERT_TRUE(platform::create_folder(env->file("appdata/velmarp2sp")));
    {
        std::ofstream marker(env->file("appdata/velmarp2sp/dlllogout.log"));
    }
    RecheckClientLogMarker();
    Make();
    client->SetUpnpEnabled(true);
    ASSERT_TRUE(StartClient(env->file("data")));
    ASSERT_TRUE(client->WaitForSession(5000));
    ASSERT_TRUE(wait_until(
        [&] {
            std::ifstream in(env->file("module/p2sp_client.log"));
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return text.find("Open upnp fail") != std::string::npos;
        },
        8000));
    const std::uint32_t start = platform::tick_count();
    EXPECT_TRUE(client->Stop());
    EXPECT_LT(platform::tick_count() - start, 8000u);
    EXPECT_FALSE(engine_flags::upnp_done());
    EXPECT_EQ(client->GetLocalPeerType(), 0);
}

TEST_F(ClientMainTest, OfflineTaskReportsAreSkippedForLackOfACis)
{
    StartOffline();
    log.Clear();
    client->OnTaskInfo(5, "", 0, 1, 2, 3);
    client->OnTaskInfo(5, "", 10, 1, 2, 3);
    EXPECT_EQ(log.Count(1), 2u);
    platform::sleep_ms(50);
    EXPECT_EQ(client->TaskReports().Queued(), 0u);
    EXPECT_EQ(client->TaskReports().Sent(), 0u);
}

TEST_F(ClientMainTest, StopStopsEveryRunningTask)
{
    StartOffline();
    for (std::uint64_t id = 101; id <= 105; ++id)
        EXPECT_TRUE(client->AddTask(id, 262144, "a" + std::to_string(id), 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 5; }, 3000));
    FakeDownloadSession::StopCalls() = 0;
    EXPECT_TRUE(client->Stop());
    EXPECT_EQ(FakeDownloadSession::StopCalls().load(), 5) << "every running task was stopped";
}

TEST_F(ClientMainTest, StopEmptiesTheListsAndDestroysTheSession)
{
    StartOffline();
    EXPECT_TRUE(client->AddTask(91, 262144, "a", 1, "<filelist/>", env->path()));
    ASSERT_TRUE(wait_until([&] { return client->GetRunningCount() == 1; }, 15000));
    const std::uint32_t start = platform::tick_count();
    EXPECT_TRUE(client->Stop());
    EXPECT_LT(platform::tick_count() - start, 5000u);
    EXPECT_EQ(FakeDownloadSession::Destroyed().load(), 1);
    EXPECT_EQ(client->GetSession(), nullptr);
    EXPECT_EQ(client->GetRunningCount(), 0u);
    EXPECT_EQ(CLanPeerDiscovery::GetInstance(), nullptr);
    EXPECT_TRUE(client->Stop()) << "a second stop finds everything gone";
    EXPECT_EQ(FakeDownloadSession::Destroyed().load(), 1);
    EXPECT_FALSE(client->Reconnect());
}

}   // namespace
