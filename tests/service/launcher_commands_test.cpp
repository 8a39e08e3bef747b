// Launcher commands against slow servers, how soon a start reaches the
// engine, what each failure says, settings and storage trouble: the whole
// service driven over XML-RPC, a real engine, nginx.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include <tinyxml.h>
#include <unistd.h>
#include "platform/paths.h"

#include "download_test_env.h"
#include "service/download_manager.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "support/range_server.h"
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

// A call on a connection of its own (post_service): milliseconds taken and
// the decoded reply.
struct posted {
    std::uint64_t ms = 0;
    std::string reply;
};
posted post(download_test_env& w, const std::string& type, const fields& f)
{
    const std::uint64_t start = platform::tick_count64();
    const service_test::call_result r =
        service_test::post_service(w.port(), service_test::request_doc(type, download_test_env::game_id, f));
    return {platform::tick_count64() - start, service_test::decode(r.text)};
}

// Far below the stops' and the task server's seconds, with room for a
// sanitizer build on a loaded machine.
constexpr std::uint64_t prompt_ms = 250;

TEST(LauncherCommands, NoCallWaitsForAnother)
{
    download_test_env w("64k");
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    // The task server's file lookups never answer.
    test_support::RangeServer silent;
    test_support::RangeServer::Behaviour quiet;
    quiet.silent = true;
    silent.SetBehaviour(quiet);
    ASSERT_TRUE(silent.Start());
    test_support::ScopedEnv md5task("VR_MD5TASK_SERVER", "127.0.0.1:" + std::to_string(silent.port()));
    std::vector<const served_task*> tasks;
    for (int i = 0; i < 5; ++i)
        tasks.push_back(&w.add_task(9401 + i, std::to_string(2 * i + 1) + "-" + std::to_string(2 * i + 2), {6000000}));
    w.publish(tasks);
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));

    // Five downloads (packets, found through the task list), all running.
    std::vector<std::string> keys;
    for (int i = 0; i < 5; ++i) {
        const std::string reply = w.command("start_download_packet", {{"old_version", std::to_string(2 * i + 1)},
                                                                      {"new_version", std::to_string(2 * i + 2)},
                                                                      {"highlevel", "0"}});
        ASSERT_TRUE(download_test_env::ok(reply)) << reply;
        keys.push_back(download_test_env::item(reply, "file_md5"));
    }
    for (const std::string& key : keys) {
        ASSERT_TRUE(wait_until(
            [&] {
                const std::string reply = w.command("get_task_info", {{"file_md5", key}});
                const std::string done = download_test_env::item(reply, "DOWN_PROCESS");
                return download_test_env::item(reply, "TASK_STATE") == "1" && done != "0.000" && done != "<missing>";
            },
            20000))
            << w.service_log();
    }

    // Every stop at once, and a getsetting among them: none waits for a
    // task's teardown.
    std::vector<posted> stops(keys.size());
    std::vector<std::thread> stoppers;
    for (std::size_t i = 0; i < keys.size(); ++i)
        stoppers.emplace_back([&, i] { stops[i] = post(w, "stop_download_file", {{"file_md5", keys[i]}}); });
    const posted setting = post(w, "getsetting", {});
    for (std::thread& t : stoppers)
        t.join();
    EXPECT_TRUE(download_test_env::ok(setting.reply)) << setting.reply;
    EXPECT_LT(setting.ms, prompt_ms);
    for (const posted& stop : stops) {
        EXPECT_TRUE(download_test_env::ok(stop.reply)) << stop.reply;
        EXPECT_LT(stop.ms, prompt_ms);
    }

    // A start that waits for the task server holds up no other connection.
    const std::string unknown = "0123456789abcdef0123456789abcdef";
    posted start;
    std::thread starter([&] {
        start = post(w, "start_download_file", {{"filename", "a.pak"}, {"file_md5", unknown}, {"highlevel", "1"}});
    });
    EXPECT_TRUE(wait_until([&] { return silent.Accepts() > 0; }, 5000));
    const posted info = post(w, "get_task_info", {{"file_md5", keys[0]}});
    const posted again = post(w, "getsetting", {});
    starter.join();
    EXPECT_TRUE(download_test_env::ok(info.reply)) << info.reply;
    EXPECT_LT(info.ms, prompt_ms);
    EXPECT_TRUE(download_test_env::ok(again.reply)) << again.reply;
    EXPECT_LT(again.ms, prompt_ms);
    EXPECT_TRUE(download_test_env::ok(start.reply)) << start.reply;
    EXPECT_GE(start.ms, 1500u);   // it did wait for the server
    silent.Stop();                // the lookup still waiting fails now
    EXPECT_TRUE(w.stop_service());
}

// The files of a task as the download left them: true when all are there
// with their digests.
bool files_intact(download_test_env& w, const served_task& t)
{
    for (const auto& f : t.fixture->files()) {
        const std::string path = w.downloads() + "/" + t.fixture->srcdir() + "/data/" + f.file_name;
        if (test_support::TaskFixture::FileMd5(path) != f.md5)
            return false;
    }
    return true;
}

bool completed(download_test_env& w, const std::string& key)
{
    const std::string reply = w.command("get_task_info", {{"file_md5", key}});
    // Whatever the state, a file listed is where the download puts it.
    const std::string paths = download_test_env::item(reply, "SAVE_PATCH");
    if (!paths.empty()) {
        EXPECT_EQ(0u, paths.find(w.downloads())) << paths;
    }
    return download_test_env::item(reply, "TASK_STATE") == "2" &&
           download_test_env::item(reply, "DOWN_PROCESS") == "1.000";
}

TEST(LauncherCommands, AFinishedTaskWhoseFilesWentIsNotShownFinished)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& a = w.add_task(9501, "1-2", {600000, 70000});
    w.publish({&a});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string key = a.file_md5(0);
    const auto start = [&] {
        return download_test_env::ok(
            w.command("start_download_file", {{"filename", "file0.bin"}, {"file_md5", key}, {"highlevel", "1"}}));
    };
    const std::uint64_t first = platform::tick_count64();
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_until([&] { return completed(w, key); }, 60000)) << w.service_log();
    std::printf("[ first download ] %llu ms\n", static_cast<unsigned long long>(platform::tick_count64() - first));

    const std::string folder = w.downloads() + "/" + a.fixture->srcdir() + "/data/";
    const std::string file0 = folder + a.fixture->files()[0].file_name;
    const std::string file1 = folder + a.fixture->files()[1].file_name;
    struct round {
        const char* what;
        std::function<void()> spoil;
    };
    const round rounds[] = {
        {"both files deleted",
         [&] {
             platform::delete_file(file0);
             platform::delete_file(file1);
         }},
        {"a file cut short", [&] { ::truncate(file0.c_str(), 1000); }},
    };
    for (const round& r : rounds) {
        SCOPED_TRACE(r.what);
        r.spoil();
        const std::uint64_t t0 = platform::tick_count64();
        ASSERT_TRUE(start());
        // A launcher polling now must never be told to run the game on
        // files that are not there.
        bool shown_finished_early = false;
        EXPECT_TRUE(wait_until(
            [&] {
                const bool done = completed(w, key);
                if (done && !files_intact(w, a))
                    shown_finished_early = true;
                return done && files_intact(w, a);
            },
            60000))
            << w.service_log();
        EXPECT_FALSE(shown_finished_early);
        std::printf("[ %s ] fetched again in %llu ms\n", r.what,
                    static_cast<unsigned long long>(platform::tick_count64() - t0));
    }
    EXPECT_TRUE(w.stop_service());
}

TEST(LauncherCommands, AWithdrawnTaskListedAgainStarts)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& a = w.add_task(9601, "1-2", {50000});
    const served_task& stays = w.add_task(9602, "2-3", {3000});
    w.publish({&a, &stays});
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const std::string key = a.file_md5(0);
    const auto start = [&] {
        return w.command("start_download_file", {{"filename", "file0.bin"}, {"file_md5", key}, {"highlevel", "1"}});
    };
    ASSERT_TRUE(download_test_env::ok(start()));
    ASSERT_TRUE(wait_until([&] { return completed(w, key); }, 60000)) << w.service_log();

    // The list refresh withdraws it, and the task server forgets the file.
    w.publish({&stays});
    std::string lower_md5 = key;
    for (char& c : lower_md5)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    platform::delete_file(w.www() + "/update_task/md5task/" + lower_md5);
    kx2dll::download_manager* manager = kx2dll::download_manager::instance();
    ASSERT_NE(manager, nullptr);
    manager->OnTimer(kx2dll::timer_refresh_task_list, 0);
    kx2dll::LocalTaskRecord record;
    ASSERT_TRUE(wait_until([&] { return !manager->find_local_task(9601, record); }, 15000)) << w.service_log();

    // A start nothing can carry out says so.
    const std::string refused = start();
    EXPECT_FALSE(download_test_env::ok(refused)) << refused;

    // Listed again (the next list refresh is minutes away): a start starts.
    w.publish({&a, &stays});
    const std::string accepted = start();
    EXPECT_TRUE(download_test_env::ok(accepted)) << accepted;
    EXPECT_TRUE(wait_until([&] { return completed(w, key); }, 60000)) << w.service_log();
    EXPECT_TRUE(files_intact(w, a));
    EXPECT_TRUE(w.stop_service());
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool well_formed(const std::string& reply)
{
    TiXmlDocument doc;
    doc.Parse(reply.c_str());
    return !doc.Error();
}

// The text of a reply's error element.
std::string error_of(const std::string& reply)
{
    return download_test_env::item(reply, "error");
}

// Registers and starts the download of a file at level 1.
void register_and_start(download_test_env& w, const std::string& md5)
{
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "f"}, {"file_md5", md5}, {"highlevel", "1"}})));
}

// Polls the download's information until `done` holds of the reply
// (bounded); the last reply in `reply`.
bool poll_info(download_test_env& w, const std::string& md5, std::uint32_t ms, std::string& reply,
               const std::function<bool(const std::string&)>& done)
{
    return wait_until(
        [&] {
            reply = w.command("get_task_info", {{"file_md5", md5}});
            return done(reply);
        },
        ms);
}

bool reply_completed(const std::string& reply)
{
    return download_test_env::item(reply, "TASK_STATE") == "2";
}

TEST(LauncherCommands, EachFailureSaysWhichItWasAndIsLogged)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    // The default configuration: the request trace is off.
    w.publish_config("[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nRIS_SOUTH_PORT=1\nRIS_NORTH=127.0.0.1\n"
                     "RIS_NORTH_PORT=1\nwrite_log=false\n");
    const served_task& a = w.add_task(9301, "1-2", {5000});
    w.publish({&a});
    ASSERT_TRUE(w.start_service());
    const std::string unknown_md5 = "0123456789abcdef0123456789abcdef";
    const std::string unlisted_md5 = "fedcba9876543210fedcba9876543210";
    const fields start_unknown = {{"filename", "f"}, {"file_md5", unknown_md5}, {"highlevel", "1"}};

    struct failure {
        std::string what;
        std::function<std::string()> send;
        std::string says;
        std::string logged = std::string();   // the log's line, when not `says`
    };
    const std::vector<failure> failures = {
        {"before register_client", [&] { return w.command("getsetting"); }, "register_client first"},
        {"wrong game id",
         [&] {
             return service_test::decode(
                 service_test::call_service(w.port(), service_test::request_doc("getsetting", 99)).text);
         },
         "wrong game id '99': this service runs game 7"},
        {"unknown command", [&] { return w.command("get_setting"); }, "unknown command 'get_setting'",
         "not find function 'get_setting'"},
        {"missing field", [&] { return w.command("register_client"); }, "missing field 'path'"},
        {"register",
         [&] {
             return w.command("register_client", {{"path", w.launcher_path()}});
         },
         ""},
        {"file the task server does not know", [&] { return w.command("start_download_file", start_unknown); },
         "the task server lists no task holding file_md5 '" + unknown_md5 + "'"},
        {"not an MD5",
         [&] {
             return w.command("start_download_file", {{"filename", "f"}, {"file_md5", "0123"}, {"highlevel", "1"}});
         },
         "file_md5 '0123' is not an MD5"},
        {"not hex",
         [&] {
             return w.command(
                 "start_download_file",
                 {{"filename", "f"}, {"file_md5", "0123456789abcdef0123456789abcdeg"}, {"highlevel", "1"}});
         },
         "is not an MD5"},
        {"empty",
         [&] {
             return w.command("start_download_file", {{"filename", "f"}, {"file_md5", ""}, {"highlevel", "1"}});
         },
         "file_md5 '' is not an MD5"},
        {"download never started",
         [&] {
             return w.command("get_task_info", {{"file_md5", "feed"}});
         },
         "no download 'feed' was started"},
        {"task server down",
         [&] {
             w.nginx().stop();
             return w.command("start_download_file",
                              {{"filename", "f"}, {"file_md5", unlisted_md5}, {"highlevel", "1"}});
         },
         "the task server cannot be reached: http://127.0.0.1:"},
    };
    for (const failure& f : failures) {
        const std::string reply = f.send();
        if (f.says.empty()) {
            ASSERT_TRUE(download_test_env::ok(reply)) << f.what << ": " << reply;
            continue;
        }
        EXPECT_NE(reply.find("return='-1'"), std::string::npos) << f.what << ": " << reply;
        EXPECT_EQ(error_of(reply).rfind("params is null: ", 0), 0u) << f.what << ": " << reply;
        EXPECT_NE(error_of(reply).find(f.says), std::string::npos) << f.what << ": " << reply;
        // With the trace off, the error still reaches the service log.
        EXPECT_NE(w.service_log().find(f.logged.empty() ? f.says : f.logged), std::string::npos) << f.what;
    }
    // Names that are no digest were not looked up.
    EXPECT_EQ(w.nginx().CountAccessLog("/update_task/md5task/0123 "), 0u);
    EXPECT_EQ(w.nginx().CountAccessLog("/update_task/md5task/ "), 0u);
    // The configuration turned the trace off once the launcher registered.
    EXPECT_EQ(w.service_log().find("recv request packet : <p2spcmd type='start_download_file'"), std::string::npos);
    EXPECT_TRUE(w.stop_service());
}

TEST(LauncherCommands, SettingsRefuseWhatTheyCannotTake)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    ASSERT_TRUE(w.start_service());
    ASSERT_TRUE(download_test_env::ok(w.command("register_client", {{"path", w.launcher_path()}})));
    const auto set = [&](const std::string& name, const std::string& value) {
        return w.command("setting", {{"item_name", name}, {"value", value}});
    };
    ASSERT_TRUE(download_test_env::ok(set("MAX_DOWN_SPEED", "500")));
    ASSERT_TRUE(download_test_env::ok(set("MAX_DOWNLOAD_NUM", "4")));
    const std::string before = w.command("getsetting");

    const struct {
        const char* name;
        const char* value;
        const char* says;
    } refused[] = {
        {"MAX_DOWN_SPEED", "-5", "MAX_DOWN_SPEED must be a number of KB/s from 10 to 102400, not '-5'"},
        {"MAX_UP_SPEED", "fast", "MAX_UP_SPEED must be a number of KB/s"},
        {"MAX_UP_SPEED", "200000", "not '200000'"},
        {"MAX_DOWNLOAD_NUM", "abc", "MAX_DOWNLOAD_NUM must be a whole number from 1 to 50, not 'abc'"},
        {"MAX_DOWNLOAD_NUM", "0", "not '0'"},
        {"MAX_DOWNLOAD_NUM", "3.5", "not '3.5'"},
        {"FILE_SAVE_PATH", "/tmp", "unknown setting 'FILE_SAVE_PATH'"},
        {"FILE_SAVE_PATCH", " ", "FILE_SAVE_PATCH must name a folder"},
    };
    for (const auto& r : refused) {
        const std::string reply = set(r.name, r.value);
        EXPECT_NE(reply.find("return='-1'"), std::string::npos) << r.name << "=" << r.value << ": " << reply;
        EXPECT_NE(error_of(reply).find(r.says), std::string::npos) << r.name << "=" << r.value << ": " << reply;
    }
    // Nothing refused changed anything.
    EXPECT_EQ(w.command("getsetting"), before);

    // A folder name holding "&" or "<" comes back escaped.
    const std::string odd = set("FILE_SAVE_PATCH", w.env().root() + "/a&amp;b&lt;c&gt;");
    ASSERT_TRUE(download_test_env::ok(odd)) << odd;
    EXPECT_TRUE(well_formed(w.command("getsetting")));
    EXPECT_NE(w.command("getsetting").find("<FILE_SAVE_PATCH>" + w.env().root() + "/a&amp;b&lt;c&gt;</"),
              std::string::npos);
    EXPECT_EQ(download_test_env::item(before, "MAX_DOWN_SPEED"), "500.000");
    EXPECT_EQ(download_test_env::item(before, "MAX_DOWNLOAD_NUM"), "4");
    EXPECT_TRUE(w.stop_service());
}

TEST(LauncherCommands, ATaskThatCannotStoreSaysWhyUntilANewSaveFolderTakesIt)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& a = w.add_task(9401, "1-2", {70000, 3000});
    w.publish({&a});
    // A file stands where the task's folder would go: nothing can be stored.
    std::ofstream(w.downloads() + "/game9401") << "in the way";
    ASSERT_TRUE(w.start_service());
    register_and_start(w, a.file_md5());
    std::string reply;
    EXPECT_TRUE(poll_info(w, a.file_md5(), 15000, reply, [](const std::string& r) {
        return error_of(r).find("task 9401: cannot store") != std::string::npos;
    })) << reply;
    EXPECT_TRUE(download_test_env::ok(reply)) << reply;

    // The launcher points the downloads elsewhere: the next try of the task
    // goes there, and the error is gone.
    // Its name holds what XML must escape: every reply stays well-formed.
    const std::string elsewhere = w.env().root() + "/else&where<1>";
    const std::string sent = w.env().root() + "/else&amp;where&lt;1&gt;";
    const std::string set = w.command("setting", {{"item_name", "FILE_SAVE_PATCH"}, {"value", sent}});
    ASSERT_TRUE(download_test_env::ok(set));
    EXPECT_TRUE(well_formed(set)) << set;
    EXPECT_TRUE(poll_info(w, a.file_md5(), 30000, reply, reply_completed)) << reply;
    EXPECT_TRUE(well_formed(reply)) << reply;
    EXPECT_TRUE(well_formed(w.command("getsetting")));
    reply = w.command("get_task_info", {{"file_md5", a.file_md5()}});
    EXPECT_NE(reply.find("<SAVE_PATCH>" + sent + "/game9401/"), std::string::npos) << reply;
    EXPECT_EQ(error_of(reply), "") << reply;

    EXPECT_TRUE(platform::file_exists(elsewhere + "/game9401/data/" + a.fixture->files()[0].file_name));
    EXPECT_TRUE(w.stop_service());
}

TEST(LauncherCommands, URLPathsKeepTheirCaseAndAMissingSeedIsReported)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    served_task& a = w.add_task(9501, "1-2", {5000});
    // The seed lives at a path with capitals only.
    platform::create_folder(w.www() + "/Seeds");
    std::ofstream(w.www() + "/Seeds/T9501.xml") << a.seed;
    const std::string lower_url = "/seeds/9501.xml";
    a.line.replace(a.line.find(lower_url), lower_url.size(), "/Seeds/T9501.xml");
    platform::delete_file(w.www() + lower_url);
    // Another task's seed is not there at all: the launcher and the log
    // learn it.
    const served_task& b = w.add_task(9502, "2-3", {5000});
    platform::delete_file(w.www() + "/seeds/9502.xml");
    w.publish({&a, &b});
    ASSERT_TRUE(w.start_service());
    register_and_start(w, a.file_md5());
    std::string reply;
    EXPECT_TRUE(poll_info(w, a.file_md5(), 20000, reply, reply_completed)) << reply << "\n" << w.service_log();
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "f"}, {"file_md5", b.file_md5()}, {"highlevel", "1"}})));
    EXPECT_TRUE(poll_info(w, b.file_md5(), 10000, reply, [](const std::string& r) {
        return error_of(r).find("task 9502: its seed cannot be fetched from http://") != std::string::npos;
    })) << reply;
    // The log names the task and what the server said, once however often
    // the seed is tried.
    const std::string said = "from server download seed file failed, err : 201 [" + w.nginx().base_url() +
                             "/seeds/9502.xml] task id[9502], the server answered 'HTTP/1.1 404 Not Found'";
    EXPECT_TRUE(wait_until([&] { return w.nginx().CountAccessLog("/seeds/9502.xml") >= 2; }, 15000));
    EXPECT_EQ(occurrences(w.service_log(), said), 1u) << w.service_log();
    EXPECT_TRUE(w.stop_service());
}

TEST(LauncherCommands, AFileTheCdnLacksAndAnUnusableCdnAnswerAreSaidOnceAndAskedForLessOften)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& a = w.add_task(9601, "1-2", {70000, 3000});
    const served_task& b = w.add_task(9602, "2-3", {5000});
    // The CDN names a file of a it does not have, and answers for b with a
    // typo.
    const auto& lacking = a.fixture->files()[1];
    platform::delete_file(w.www() + lacking.url_path);
    const std::string typo = "http:/" + w.nginx().base_url().substr(7) + b.fixture->files()[0].url_path;
    w.nginx().SetCdnAnswer(9602, typo + "\r\n");
    w.publish({&a, &b});
    ASSERT_TRUE(w.start_service());
    register_and_start(w, a.file_md5());
    ASSERT_TRUE(download_test_env::ok(
        w.command("start_download_file", {{"filename", "f"}, {"file_md5", b.file_md5()}, {"highlevel", "1"}})));

    const std::string url = w.nginx().base_url() + lacking.url_path;
    std::string reply;
    EXPECT_TRUE(poll_info(w, a.file_md5(), 20000, reply, [&](const std::string& r) {
        return error_of(r).find("task 9601: file ") != std::string::npos;
    })) << reply;
    const std::string said = error_of(reply);
    EXPECT_NE(said.find(lacking.file_name + " at " + url + ": "), std::string::npos) << said;
    EXPECT_NE(said.find("the server answered 'HTTP/1.1 404 Not Found'"), std::string::npos) << said;
    EXPECT_TRUE(poll_info(w, b.file_md5(), 20000, reply, [&](const std::string& r) {
        return error_of(r).find("task 9602: the CDN answer of http://") != std::string::npos;
    })) << reply;
    EXPECT_NE(error_of(reply).find("line '" + typo + "' cannot be used"), std::string::npos) << reply;

    // Asked again less and less often: two more queries take seconds (they
    // came every second before), and the file is asked for a few times
    // meanwhile, not twice a second.
    const std::uint64_t since = platform::tick_count64();
    const std::size_t files = w.nginx().CountAccessLog(lacking.url_path);
    const std::size_t queries = w.nginx().CountAccessLog("taskid=9602");
    EXPECT_TRUE(wait_until([&] { return w.nginx().CountAccessLog("taskid=9602") >= queries + 2; }, 30000));
    const std::uint64_t took = platform::tick_count64() - since;
    EXPECT_GE(took, 3500u);
    // The file's own back-off doubles from a second: however long a busy
    // machine makes that wait, far fewer than the two a second of before.
    EXPECT_LE(w.nginx().CountAccessLog(lacking.url_path) - files, 4u + took / 2000) << took << " ms";
    // Said once in the log, with the task id.
    const std::string log = w.service_log();
    EXPECT_EQ(occurrences(log, "CBE_ERROR_OUTPUT : task 9601: file "), 1u) << log;
    EXPECT_EQ(occurrences(log, "CBE_ERROR_OUTPUT : task 9602: the CDN answer of "), 1u) << log;
    EXPECT_TRUE(w.stop_service());
}

}   // namespace
