// The whole service as a launcher drives it: startService, XML-RPC
// commands, a real engine downloading from a real nginx, shutdownService.
#include "src/download_manager.h"

#include <gtest/gtest.h>

#include "download_test_env.h"
#include "engine/task_state_mgr.h"
#include "platform/paths.h"
#include "support/task_fixture.h"

using service_test::download_test_env;
using service_test::served_task;
using service_test::wait_until;

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
    w.publish({&a, &b});
    ASSERT_TRUE(w.start_service());

    EXPECT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string settings = w.command("getsetting");
    ASSERT_TRUE(download_test_env::ok(settings)) << settings;
    EXPECT_EQ(download_test_env::item(settings, "MAX_DOWNLOAD_NUM"), "5");
    EXPECT_EQ(download_test_env::item(settings, "MAX_DOWN_SPEED"), "5000.000");
    EXPECT_EQ(download_test_env::item(settings, "FILE_SAVE_PATCH"), w.downloads());
    EXPECT_TRUE(download_test_env::ok(w.command("setting", {{"item_name", "MAX_UP_SPEED"}, {"value", "2"}})));
    EXPECT_EQ(download_test_env::item(w.command("getsetting"), "MAX_UP_SPEED"), "10.000");

    const std::string key = a.file_md5(1);
    const std::string started =
        w.command("start_download_file", {{"filename", "file1.bin"}, {"file_md5", key}, {"highlevel", "1"}});
    ASSERT_TRUE(download_test_env::ok(started)) << started;
    EXPECT_NE(started.find("<file_md5>" + key + "</file_md5>"), std::string::npos);
    ASSERT_TRUE(wait_completed(w, key, 60000)) << w.service_log();
    expect_files_intact(w, a);
    const std::string info = w.command("get_task_info", {{"file_md5", key}});
    EXPECT_EQ(download_test_env::item(info, "SAVE_PATCH"),
              w.downloads() + "/game9001/data/file0.bin," + w.downloads() + "/game9001/data/file1.bin,");
    // The ".bbm" is written when the task completes; the list names it.
    ASSERT_TRUE(wait_until([&] { return w.service_log().find("CBE_TASK_BBM_SAVE_FINISHED id[9001]") !=
                                        std::string::npos; },
                           10000))
        << w.service_log();

    ASSERT_TRUE(w.stop_service());
    const std::string list = service_test::read_text(w.launcher_path() + "dll_download/p2sp_game7/local_task_list.cfg");
    EXPECT_NE(list.find("[9001]"), std::string::npos);
    EXPECT_NE(list.find("taskstate=2"), std::string::npos) << list;
    const std::size_t seeds_before = w.nginx().CountAccessLog("/seeds/9001.xml");
    const std::size_t files_before = file_requests(w, a);

    // Second life: the completed task comes back from its seed and bitmap.
    // A restarted host process starts with an empty task registry; this one
    // still holds the first life's tasks.
    CTaskStateMgr::Instance().Clear();
    ASSERT_TRUE(w.start_service());
    EXPECT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "file1.bin"}, {"file_md5", key}, {"highlevel", ""}})));
    EXPECT_TRUE(wait_until([&] { return w.service_log().find("add completed task to download success, task id[9001]") !=
                                        std::string::npos; },
                           15000))
        << w.service_log();
    EXPECT_EQ(task_state(w, key), "2");
    EXPECT_EQ(w.nginx().CountAccessLog("/seeds/9001.xml"), seeds_before);
    EXPECT_EQ(file_requests(w, a), files_before);
    expect_files_intact(w, a);
    EXPECT_TRUE(w.stop_service());
}

} // namespace
