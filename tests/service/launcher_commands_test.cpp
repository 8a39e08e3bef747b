// Launcher commands against slow servers and how soon a start reaches the
// engine: the whole service driven over XML-RPC, a real engine, nginx.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "download_test_env.h"
#include "platform/tick.h"
#include "support/shifted_tick.h"

using service_test::download_test_env;
using service_test::fields;
using service_test::served_task;
using test_support::shifted_tick_scope;
using test_support::wait_until;

namespace {

// Milliseconds one command takes; its decoded reply into `reply`.
std::uint64_t timed(download_test_env& w, const std::string& type, const fields& f, std::string& reply)
{
    const std::uint64_t start = platform::tick_count64();
    reply = w.command(type, f);
    return platform::tick_count64() - start;
}

TEST(LauncherCommands, ASlowServerHoldsNoCommandLong)
{
    // The update, task-list and md5task server drips a byte a second.
    download_test_env w("1");
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    // No configuration arrives to switch the service log on: the marker does.
    const std::string marker = w.env().root() + "/log-marker";
    std::ofstream(marker) << "1";
    test_support::ScopedEnv log_marker("VR_CLIENT_LOG_MARKER", marker);
    ASSERT_TRUE(w.start_service());

    std::string reply;
    EXPECT_LT(timed(w, "register_client", {{"path", w.launcher_path()}}, reply), 6000u);
    ASSERT_TRUE(download_test_env::ok(reply)) << reply;

    // A file only the task server could name, and a getsetting meanwhile.
    const std::string md5 = "0123456789abcdef0123456789abcdef";
    service_test::call_result started;
    std::uint64_t start_took = 0;
    std::thread starter([&] {
        const std::uint64_t t0 = platform::tick_count64();
        started = service_test::post_service(
            w.port(), service_test::request_doc("start_download_file", download_test_env::game_id,
                                                {{"filename", "a.pak"}, {"file_md5", md5}, {"highlevel", "1"}}));
        start_took = platform::tick_count64() - t0;
    });
    EXPECT_TRUE(
        wait_until([&] { return w.service_log().find("type='start_download_file'") != std::string::npos; }, 5000));
    EXPECT_LT(timed(w, "getsetting", {}, reply), 4000u);
    EXPECT_TRUE(download_test_env::ok(reply)) << reply;
    starter.join();
    EXPECT_LT(start_took, 4000u);
    EXPECT_TRUE(download_test_env::ok(service_test::decode(started.text))) << started.text;
    // Until the task server answers, the download waits at state 0.
    reply = w.command("get_task_info", {{"file_md5", md5}});
    EXPECT_EQ(download_test_env::item(reply, "TASK_STATE"), "0") << reply;
    EXPECT_EQ(download_test_env::item(reply, "DOWN_PROCESS"), "0.000");

    // A packet start waits a bounded time for the list, then answers.
    EXPECT_LT(
        timed(w, "start_download_packet", {{"old_version", "1"}, {"new_version", "2"}, {"highlevel", "1"}}, reply),
        4000u);
    w.nginx().stop();   // what still waits on it fails now
    EXPECT_TRUE(w.stop_service());
}

TEST(LauncherCommands, AStartedTaskIsHandedOverAtOnce)
{
    shifted_tick_scope clock;
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& a = w.add_task(9101, "1-2", {5000});
    const served_task& b = w.add_task(9102, "2-3", {5000});
    w.publish({&a, &b});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const auto handed = [&](std::uint64_t id) {
        return w.service_log().find("引擎添加下载一个文件2 id[" + std::to_string(id) + "]") != std::string::npos;
    };
    const auto start = [&](const served_task& t) {
        return download_test_env::ok(
            w.command("start_download_file", {{"filename", "f"}, {"file_md5", t.file_md5()}, {"highlevel", "0"}}));
    };
    ASSERT_TRUE(start(a));
    ASSERT_TRUE(wait_until([&] { return handed(9101); }, 5000));

    // With the clock held the one-second pass never falls due, so only the
    // start's own wake can hand the task over (a bound in time would judge
    // the machine's load instead).
    clock.hold();
    ASSERT_TRUE(start(b));
    EXPECT_TRUE(wait_until([&] { return handed(9102); }, 5000));
    clock.release();
    EXPECT_TRUE(w.stop_service());
}

}   // namespace
