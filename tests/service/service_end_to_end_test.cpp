// The whole service as a launcher drives it: startService, XML-RPC
// commands, a real engine downloading from a real nginx, shutdownService.
#include "service/download_manager.h"

#include <gtest/gtest.h>

#include <chrono>

#include <unistd.h>

#include "download_test_env.h"
#include "platform/named_event.h"
#include "platform/paths.h"
#include "service/net_service.h"
#include "support/task_fixture.h"

using service_test::download_test_env;
using service_test::served_task;
using test_support::wait_until;

namespace {

std::string task_state(download_test_env& w, const std::string& key)
{
    return download_test_env::item(w.command("get_task_info", {{"file_md5", key}}), "TASK_STATE");
}

// Polls get_task_info until the download is complete (bounded).
bool wait_completed(download_test_env& w, const std::string& key, std::uint32_t ms)
{
    return wait_until(
        [&] {
            const std::string reply = w.command("get_task_info", {{"file_md5", key}});
            return download_test_env::item(reply, "TASK_STATE") == "2" &&
                   download_test_env::item(reply, "DOWN_PROCESS") == "1.000";
        },
        ms);
}

void expect_files_intact(download_test_env& w, const served_task& t)
{
    for (const auto& f : t.fixture->files()) {
        const std::string path = w.downloads() + "/" + t.fixture->srcdir() + "/data/" + f.file_name;
        EXPECT_EQ(test_support::TaskFixture::FileMd5(path), f.md5) << path;
    }
}

std::size_t file_requests(download_test_env& w, const served_task& t)
{
    std::size_t n = 0;
    for (const auto& f : t.fixture->files())
        n += w.nginx().CountAccessLog(f.url_path);
    return n;
}

TEST(ServiceEndToEnd, DownloadsAFileByMd5AndResumesItAfterARestart)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& a = w.add_task(9001, "1-2", {300000, 70000});
    const served_task& b = w.add_task(9002, "2-3", {5000});
    const served_task& other = w.add_task(9003, "1-2", {2000}, 8);   // another game's line
    w.publish({&a, &b, &other});
    ASSERT_TRUE(w.start_service());

    EXPECT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string settings = w.command("getsetting");
    ASSERT_TRUE(download_test_env::ok(settings)) << settings;
    EXPECT_EQ(download_test_env::item(settings, "MAX_DOWNLOAD_NUM"), "5");
    EXPECT_EQ(download_test_env::item(settings, "MAX_DOWN_SPEED"), "5000.000");
    EXPECT_EQ(download_test_env::item(settings, "FILE_SAVE_PATCH"), w.downloads());
    EXPECT_TRUE(download_test_env::ok(w.command("setting", {{"item_name", "MAX_UP_SPEED"}, {"value", "10"}})));
    EXPECT_EQ(download_test_env::item(w.command("getsetting"), "MAX_UP_SPEED"), "10.000");

    const std::string key = a.file_md5(1);
    const std::string started = w.command("start_download_file",
                                          {{"filename", "file1.bin"}, {"file_md5", key}, {"highlevel", "1"}});
    ASSERT_TRUE(download_test_env::ok(started)) << started;
    EXPECT_NE(started.find("<file_md5>" + key + "</file_md5>"), std::string::npos);
    ASSERT_TRUE(wait_completed(w, key, 60000)) << w.service_log();
    expect_files_intact(w, a);
    EXPECT_EQ(file_requests(w, b), 0u);
    EXPECT_FALSE(download_test_env::ok(w.command(
        "start_download_file", {{"filename", "file0.bin"}, {"file_md5", other.file_md5()}, {"highlevel", "1"}})));
    EXPECT_EQ(file_requests(w, other), 0u);
    const std::string info = w.command("get_task_info", {{"file_md5", key}});
    EXPECT_EQ(download_test_env::item(info, "SAVE_PATCH"),
              w.downloads() + "/game9001/data/file0.bin," + w.downloads() + "/game9001/data/file1.bin,");
    // The ".bbm" is written when the task completes; the list names it.
    ASSERT_TRUE(wait_until(
        [&] { return w.service_log().find("CBE_TASK_BBM_SAVE_FINISHED id[9001]") != std::string::npos; }, 10000))
        << w.service_log();

    ASSERT_TRUE(w.stop_service());
    const std::string list = service_test::read_text(w.launcher_path() + "dll_download/p2sp_game7/local_task_list.cfg");
    EXPECT_NE(list.find("[9001]"), std::string::npos);
    EXPECT_NE(list.find("taskstate=2"), std::string::npos) << list;
    const std::size_t seeds_before = w.nginx().CountAccessLog("/seeds/9001.xml");
    const std::size_t files_before = file_requests(w, a);

    // Second life in the same process: the completed task comes back from
    // its seed and bitmap.
    ASSERT_TRUE(w.start_service());
    EXPECT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "file1.bin"}, {"file_md5", key}, {"highlevel", ""}})));
    EXPECT_TRUE(wait_until(
        [&] {
            return w.service_log().find("add completed task to download success, task id[9001]") != std::string::npos;
        },
        15000))
        << w.service_log();
    // The engine runs the reloaded task again until it finds it complete.
    EXPECT_TRUE(wait_until([&] { return task_state(w, key) == "2"; }, 10000)) << w.service_log();
    EXPECT_EQ(w.nginx().CountAccessLog("/seeds/9001.xml"), seeds_before);
    EXPECT_EQ(file_requests(w, a), files_before);
    expect_files_intact(w, a);
    EXPECT_TRUE(w.stop_service());
}

}   // namespace

namespace {

TEST(ServiceEndToEnd, DownloadsAnUpdatePacketChainInOrder)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    // Ids out of version order, and a skip packet that makes a longer chain
    // lose against nothing: 1-2, 2-3, 3-4 is the only way to 4.
    const served_task& p12 = w.add_task(9203, "1-2", {40000});
    const served_task& p23 = w.add_task(9201, "2-3", {70000});
    const served_task& p34 = w.add_task(9202, "3-4", {10000, 3000});
    const served_task& other = w.add_task(9299, "1-2", {1000}, 8);   // another game
    w.publish({&p12, &p23, &p34, &other});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    // One download at a time: each packet starts once the one before it
    // completed (completed tasks do not count against the limit).
    ASSERT_TRUE(download_test_env::ok(w.command("setting", {{"item_name", "MAX_DOWNLOAD_NUM"}, {"value", "1"}})));

    const std::string reply = w.command("start_download_packet",
                                        {{"old_version", "1"}, {"new_version", "4"}, {"highlevel", "1"}});
    ASSERT_TRUE(download_test_env::ok(reply)) << reply;
    const std::string key = kx2dll::string_md5("920192029203");
    EXPECT_EQ(download_test_env::item(reply, "file_md5"), key);
    EXPECT_NE(w.service_log().find("output result :(1,2,9203) (2,3,9201) (3,4,9202) "), std::string::npos)
        << w.service_log();
    ASSERT_TRUE(wait_completed(w, key, 60000)) << w.service_log();
    expect_files_intact(w, p12);
    expect_files_intact(w, p23);
    expect_files_intact(w, p34);
    EXPECT_EQ(file_requests(w, other), 0u);
    // The same versions again name the same download.
    const std::string again = w.command("start_download_packet",
                                        {{"old_version", "1"}, {"new_version", "4"}, {"highlevel", "0"}});
    EXPECT_EQ(download_test_env::item(again, "file_md5"), key);
    // No chain leads from 5 anywhere.
    EXPECT_FALSE(download_test_env::ok(
        w.command("start_download_packet", {{"old_version", "5"}, {"new_version", "9"}, {"highlevel", "1"}})));
    EXPECT_TRUE(w.stop_service());
}

TEST(ServiceEndToEnd, ATaskWithdrawnFromTheListIsStoppedAndItsFilesDeleted)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& gone = w.add_task(9301, "1-2", {50000, 2000});
    const served_task& stays = w.add_task(9302, "2-3", {3000});
    w.publish({&gone, &stays});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string key = gone.file_md5(0);
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "file0.bin"}, {"file_md5", key}, {"highlevel", "1"}})));
    ASSERT_TRUE(wait_completed(w, key, 60000)) << w.service_log();
    expect_files_intact(w, gone);

    // The server no longer lists it; the refresh withdraws it.
    w.publish({&stays});
    kx2dll::download_manager* manager = kx2dll::download_manager::instance();
    ASSERT_NE(manager, nullptr);
    manager->OnTimer(kx2dll::timer_refresh_task_list, 0);
    const std::string folder = w.downloads() + "/game9301/data/";
    EXPECT_TRUE(wait_until(
        [&] { return !platform::path_exists(folder + "file0.bin") && !platform::path_exists(folder + "file1.bin"); },
        15000))
        << w.service_log();
    kx2dll::LocalTaskRecord record;
    EXPECT_FALSE(manager->find_local_task(9301, record));
    const std::string log = w.service_log();
    EXPECT_NE(log.find("delete task id[9301]"), std::string::npos);
    EXPECT_NE(log.find("ID[9301]"), std::string::npos);
    EXPECT_EQ(task_state(w, key), "<missing>");   // nothing is known of it any more
    EXPECT_TRUE(w.stop_service());
}

}   // namespace

namespace {

// A withdrawal while the task's speed events (which write the local task
// list) keep coming: the engine's stop returns at once, the task's
// teardown goes on without the front-end timer, and its stop event removes
// the record; no speed event of the task follows it.
TEST(ServiceEndToEnd, AWithdrawalStopsADownloadWhoseSpeedEventsKeepComing)
{
    download_test_env w("20k");
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& gone = w.add_task(9311, "1-2", {8000000});
    const served_task& stays = w.add_task(9312, "2-3", {3000});
    w.publish({&gone, &stays});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string key = gone.file_md5(0);
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "file0.bin"}, {"file_md5", key}, {"highlevel", "0"}})));
    // Its connections are open and moving data, and speed events come
    // every second.
    ASSERT_TRUE(wait_until(
        [&] {
            const std::string reply = w.command("get_task_info", {{"file_md5", key}});
            const std::string done = download_test_env::item(reply, "DOWN_PROCESS");
            return download_test_env::item(reply, "TASK_STATE") == "1" && done != "0.000" && done != "<missing>";
        },
        15000))
        << w.service_log();
    const std::string speed = "CBE_TASK_SPEED id[9311]";
    ASSERT_TRUE(wait_until([&] { return w.service_log().find(speed) != std::string::npos; }, 5000)) << w.service_log();

    w.publish({&stays});
    kx2dll::download_manager* manager = kx2dll::download_manager::instance();
    ASSERT_NE(manager, nullptr);
    const auto start = std::chrono::steady_clock::now();
    manager->OnTimer(kx2dll::timer_refresh_task_list, 0);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // The list refresh does not wait for the task's teardown.
    EXPECT_LT(took, 1000) << w.service_log();

    // The engine's stop event then removes the record.
    kx2dll::LocalTaskRecord record;
    EXPECT_TRUE(wait_until([&] { return !manager->find_local_task(9311, record); }, 5000)) << w.service_log();
    const std::string log = w.service_log();
    const std::size_t withdrawn = log.find("delete task id[9311]");
    ASSERT_NE(withdrawn, std::string::npos) << log;
    const std::size_t stopped = log.find("CBE_TASK_STOP, ID[9311]", withdrawn);
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_EQ(log.find(speed, stopped), std::string::npos) << log;
    EXPECT_TRUE(w.stop_service());
}

TEST(ServiceEndToEnd, RegisterClientAnswersTheErrorReplyWhenItsFilesCannotBeRead)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const std::string folder = w.launcher_path() + "dll_download/p2sp_game7/";
    ASSERT_TRUE(platform::create_folder(folder + "p2sp_config.ini"));
    ASSERT_TRUE(w.start_service());
    const std::string reply = w.command("register_client", {{"path", w.launcher_path()}});
    EXPECT_NE(reply.find("<error>params is null: the download manager cannot be built: "), std::string::npos) << reply;
    EXPECT_NE(reply.find("p2sp_config.ini"), std::string::npos) << reply;
    EXPECT_NE(w.service_log().find("register_client - "), std::string::npos);
    EXPECT_NE(w.service_log().find("p2sp_config.ini"), std::string::npos);
    // The service goes on; once the file is readable the launcher registers.
    ASSERT_EQ(::rmdir((folder + "p2sp_config.ini").c_str()), 0);
    EXPECT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    EXPECT_TRUE(w.stop_service());
}

TEST(ServiceEndToEnd, RegisterClientBuildsTheManagerOfItsOwnServicesGame)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    ASSERT_TRUE(w.start_service());
    // A second service of another game, built after the running one.
    platform::NamedEvent event;
    bool existed = false;
    ASSERT_TRUE(event.create(kx2dll::service_event_name(8), existed));
    {
        NetService other(8);
        EXPECT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    }
    EXPECT_TRUE(platform::folder_exists(w.launcher_path() + "dll_download/p2sp_game7/"));
    EXPECT_FALSE(platform::folder_exists(w.launcher_path() + "dll_download/p2sp_game8/"));
    EXPECT_TRUE(w.stop_service());
}

}   // namespace

namespace {

TEST(ServiceEndToEnd, AHighLevelDownloadPausesTheNormalOnes)
{
    download_test_env w("40k");
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& low = w.add_task(9401, "1-2", {1500000});
    const served_task& high = w.add_task(9402, "2-3", {400000});
    w.publish({&low, &high});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string low_key = low.file_md5();
    const std::string high_key = high.file_md5();
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "file0.bin"}, {"file_md5", low_key}, {"highlevel", "0"}})));
    ASSERT_TRUE(wait_until([&] { return task_state(w, low_key) == "1"; }, 15000)) << w.service_log();

    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "file0.bin"}, {"file_md5", high_key}, {"highlevel", "1"}})));
    // The normal download is stopped within a pass and the limits go off.
    EXPECT_TRUE(wait_until([&] { return w.service_log().find("CBE_TASK_STOP, ID[9401]") != std::string::npos; }, 5000))
        << w.service_log();
    IP2SP_Engine* engine = kx2dll::download_manager::instance()->engine();
    auto limits_on = [&] {
        float down = 0;
        float up = 0;
        std::uint8_t on = 1;
        engine->GetSpeedLimit(&down, &up, &on);
        return on != 0;
    };
    EXPECT_TRUE(wait_until([&] { return !limits_on(); }, 5000));
    ASSERT_TRUE(wait_completed(w, high_key, 60000)) << w.service_log();
    // Then the normal one runs again, with the limits back on, to its end.
    ASSERT_TRUE(wait_completed(w, low_key, 90000)) << w.service_log();
    EXPECT_TRUE(limits_on());
    expect_files_intact(w, low);
    expect_files_intact(w, high);
    EXPECT_TRUE(w.stop_service());
}

}   // namespace
