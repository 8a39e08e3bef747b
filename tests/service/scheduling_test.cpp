#include "service/download_manager.h"

#include <gtest/gtest.h>

#include "download_test_env.h"

namespace {

using kx2dll::download_manager;
using kx2dll::LocalTaskRecord;
using kx2dll::server_task_map;
using kx2dll::ServerTaskRecord;
using service_test::download_test_env;

LocalTaskRecord local(std::uint64_t id, int state, int level = 0, std::uint32_t game = 8)
{
    LocalTaskRecord r;
    r.gameid = game;
    r.taskid = id;
    r.taskstate = state;
    r.priority_level = level;
    return r;
}

ServerTaskRecord listed(std::uint64_t id, const std::string& version, int state = -1, std::uint32_t game = 8)
{
    ServerTaskRecord s;
    s.gameid = game;
    s.taskid = id;
    s.version = version;
    s.state = state;
    s.seedurl = "http://127.0.0.1:1/seed.xml";
    return s;
}

TEST(Scheduling, WithdrawsOneUnlistedTaskPerPass)
{
    download_test_env w;
    download_manager m(w.launcher_path(), 7);
    auto& list = m.local_tasks();
    list.put(local(1, 1, 1));   // downloading at level 1: stays although unlisted
    list.put(local(2, 2));
    list.put(local(3, 0));
    list.put(local(4, 2));   // listed
    list.put(local(5, 2));   // listed as withdrawn: counts as unlisted
    const server_task_map server = {{4, listed(4, "1-2")}, {5, listed(5, "2-3", -2)}};
    LocalTaskRecord r;

    // The engine holds none of them: its refusal to stop deletes (the stop
    // is queued, so the pass does not wait for it).
    const auto gone = [&](std::uint64_t id) {
        return test_support::wait_until([&] { return !list.find(id, r); }, 5000);
    };
    EXPECT_TRUE(m.apply_server_task_list(server));
    EXPECT_TRUE(gone(2));
    EXPECT_TRUE(list.find(1, r));
    EXPECT_TRUE(list.find(3, r));
    EXPECT_TRUE(m.apply_server_task_list(server));
    EXPECT_TRUE(gone(3));
    EXPECT_TRUE(m.apply_server_task_list(server));
    EXPECT_TRUE(gone(5));
    EXPECT_TRUE(m.apply_server_task_list(server));
    EXPECT_TRUE(list.find(1, r));
    EXPECT_TRUE(list.find(4, r));
    // An empty list withdraws nothing.
    EXPECT_TRUE(m.apply_server_task_list({}));
    EXPECT_EQ(list.size(), 2u);
}

TEST(Scheduling, AutomaticDownloadAddsTheVersionChain)
{
    download_test_env w;
    download_manager m(w.launcher_path(), 7);
    auto& list = m.local_tasks();
    ASSERT_TRUE(m.update_game_version(7, "3"));
    server_task_map server = {{41, listed(41, "4-5", -1, 7)},
                              {31, listed(31, "3-4", -1, 7)},
                              {21, listed(21, "2-3", -1, 7)},
                              {99, listed(99, "3-5", -2, 7)}};   // withdrawn: not a shortcut
    LocalTaskRecord r;
    // Off: nothing is added.
    EXPECT_TRUE(m.apply_server_task_list(server));
    EXPECT_FALSE(list.find(31, r));

    // A packet of the chain the launcher already asked for joins at level 0.
    list.put(local(41, 0, 1, 7));
    m.set_auto_download(true);
    EXPECT_TRUE(m.apply_server_task_list(server));
    for (std::uint64_t id : {31, 41}) {
        ASSERT_TRUE(list.find(id, r)) << id;
        EXPECT_EQ(r.taskstate, 0) << id;
        EXPECT_EQ(r.priority_level, 0) << id;
    }
    EXPECT_FALSE(list.find(21, r));   // below the current version
    EXPECT_FALSE(list.find(99, r));
    // Saved by the next one-second pass.
    EXPECT_TRUE(test_support::wait_until([&] {
        return service_test::read_text(m.working_folder() + "local_task_list.cfg").find("[41]") != std::string::npos;
    }));

    // No packets of the game, or an unknown game version: false.
    EXPECT_FALSE(m.apply_server_task_list({{50, listed(50, "1-2", -1, 8)}}));
}

TEST(Scheduling, RefreshReplacesTheServerListAndFallsBack)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok());
    const service_test::served_task& a = w.add_task(7101, "1-2", {1000});
    const service_test::served_task& b = w.add_task(7102, "2-3", {1000});
    w.publish({&a, &b}, "demo 8 7199 1-2 x u -1 {(other game)} (f," + std::string(32, 'a') + ")\n");
    download_manager m(w.launcher_path(), 7);
    // The timer's first refresh runs at once; let it land before ours.
    ASSERT_TRUE(test_support::wait_until([&] { return m.server_tasks()->size() == 2; }, 10000));
    kx2dll::server_task_list parsed;
    ASSERT_TRUE(m.update_taskslist_from_server("", &parsed));
    EXPECT_EQ(parsed->size(), 2u);
    // One file's query replaces the list with its answer alone, but what
    // the timer's refresh parsed is what its pass applies.
    // nginx logs an answer once it has sent it: the refresh's line may come
    // just after its list was parsed (the timer's refresh and ours).
    ASSERT_TRUE(
        test_support::wait_until([&] { return w.nginx().CountAccessLog("/update_task/task_list.txt") >= 2; }, 5000));
    const std::size_t lists = w.nginx().CountAccessLog("/update_task/task_list.txt");
    ASSERT_TRUE(m.update_taskslist_from_server(a.file_md5()));
    EXPECT_EQ(w.nginx().CountAccessLog("/update_task/task_list.txt"), lists) << "the answer was enough";
    // A name that is not letters and digits never reaches a request line:
    // the whole list is fetched instead.
    for (const std::string bad : {"zz\r\nX-Injected: 1", "zz/../../task_list.txt", "zz q"}) {
        ASSERT_TRUE(m.update_taskslist_from_server(bad)) << bad;
        EXPECT_EQ(w.nginx().CountAccessLog("md5task/zz"), 0u) << bad;
    }
    EXPECT_EQ(w.nginx().CountAccessLog("/update_task/task_list.txt"), lists + 3);
    ASSERT_TRUE(m.update_taskslist_from_server(a.file_md5()));
    server_task_map now;
    m.copy_server_task_list(now);
    EXPECT_EQ(now.size(), 1u);
    m.local_tasks().put(local(7102, 2, 0, 7));
    EXPECT_TRUE(m.apply_server_task_list(*parsed));
    LocalTaskRecord r;
    EXPECT_TRUE(m.local_tasks().find(7102, r));

    // The task server goes away: the fallback address is taken for good.
    w.nginx().stop();
    EXPECT_FALSE(m.update_taskslist_from_server(""));
    EXPECT_EQ(m.task_list_url(), "http://127.0.0.1:1/update_task/task_list.txt");
    m.copy_server_task_list(now);
    EXPECT_EQ(now.size(), 1u);   // a failed refresh keeps the last list
}

}   // namespace

namespace {

using service_test::occurrences;

TEST(Scheduling, TheEngineGivesUpTasksTheListDoesNotKnowOrWantsAfresh)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const service_test::served_task& stray = w.add_task(8501, "1-2", {3000});
    const service_test::served_task& fresh = w.add_task(8502, "2-3", {3000});
    download_manager m(w.launcher_path(), 7);
    LocalTaskRecord known = local(8502, 1, 0, 7);
    known.seedurl = w.nginx().base_url() + "/seeds/8502.xml";
    known.seed_md5 = fresh.seed_md5;
    m.local_tasks().put(known);
    ASSERT_EQ(m.engine()->AddNewTask(stray.seed.c_str(), w.downloads().c_str()), 0);
    ASSERT_EQ(m.engine()->AddNewTask(fresh.seed.c_str(), w.downloads().c_str()), 0);
    ASSERT_TRUE(test_support::wait_until(
        [&] { return w.service_log().find("CBE_TASK_RUN, ID[8502]") != std::string::npos; }, 10000));
    // The launcher found a file of the known task missing meanwhile.
    m.local_tasks().update(8502, [](LocalTaskRecord& r) {
        r.redownload = true;
        r.progress = 30;
    });

    // The one-second pass stops both in the engine; the known one is then
    // handed over again from a fresh seed.
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            const std::string log = w.service_log();
            return log.find("Warning!!! : task id[8501], 在本地列表中没有找到该任务,从引擎中停止该任务") !=
                       std::string::npos &&
                   log.find("WARING!!! CBE_TASK_STOP, ID[8501] not find!") != std::string::npos &&
                   log.find("CBE_TASK_STOP, ID[8502]") != std::string::npos &&
                   w.nginx().CountAccessLog("/seeds/8502.xml") > 0;
        },
        15000))
        << w.service_log();
    EXPECT_EQ(w.nginx().CountAccessLog("/seeds/8501.xml"), 0u);

    m.update_task_state_from_engine(999);
    EXPECT_NE(w.service_log().find("Warning!!! : taskid[999], not in enginer task list, do not set tast state"),
              std::string::npos);
}

TEST(Scheduling, CompletedTasksAreReloadedAtMostEveryTwoMinutesAndSeedThroughHighLevelWork)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const service_test::served_task& seeding = w.add_task(8601, "1-2", {3000});
    const service_test::served_task& other = w.add_task(8602, "2-3", {3000});
    download_manager m(w.launcher_path(), 7);
    const std::string line = "call load_all_completed_tasks!";
    // No task of this game: the pass itself never reloads here.
    m.load_all_completed_tasks();
    EXPECT_EQ(occurrences(w.service_log(), line), 1u);
    m.load_all_completed_tasks();
    EXPECT_EQ(occurrences(w.service_log(), line), 1u);

    // Two finished tasks seed (records of another game: the pass leaves
    // them alone); a level-1 download makes level 0 give way.
    m.local_tasks().put(local(8601, 1, 0, 8));
    m.local_tasks().put(local(8602, 1, 0, 8));
    ASSERT_EQ(m.engine()->AddNewTask(seeding.seed.c_str(), w.downloads().c_str()), 0);
    ASSERT_EQ(m.engine()->AddNewTask(other.seed.c_str(), w.downloads().c_str()), 0);
    ASSERT_TRUE(test_support::wait_until([&] { return occurrences(w.service_log(), "CBE_TASK_COMPLETED ID[860") == 2; },
                                         20000));
    LocalTaskRecord finished = local(8601, kx2dll::TASK_completed, 0, 8);
    finished.isactive = true;
    m.stop_low_level_tasks({{8601, finished}});
    // Only downloads give way: the finished one keeps seeding, and is not
    // reloaded (the next load stays two minutes away). A stop posted after
    // it has ended by the time that is told.
    m.stop_engine_task(8602);
    ASSERT_TRUE(test_support::wait_until(
        [&] { return w.service_log().find("CBE_TASK_STOP, ID[8602]") != std::string::npos; }, 20000));
    EXPECT_EQ(w.service_log().find("CBE_TASK_STOP, ID[8601]"), std::string::npos);
    m.load_all_completed_tasks();
    EXPECT_EQ(occurrences(w.service_log(), line), 1u);
}

}   // namespace
