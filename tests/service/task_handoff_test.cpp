// Handing tasks to the engine: resumed from the seed, bitmap and files on
// disk when they are intact, else from a seed fetched and checked again;
// the task limit counts the downloads under way.
#include "service/download_manager.h"

#include <gtest/gtest.h>

#include <fstream>

#include "download_test_env.h"
#include "platform/paths.h"
#include "platform/tick.h"

namespace {

using kx2dll::download_manager;
using kx2dll::LocalTaskRecord;
using service_test::download_test_env;
using service_test::served_task;
using test_support::wait_until;

// The local record of a served task. Another game's id keeps the
// one-second pass from handing it over by itself: the test does that.
LocalTaskRecord record_of(download_test_env& w, const served_task& t)
{
    LocalTaskRecord r;
    r.gameid = 8;
    r.taskid = t.fixture->task_id();
    r.taskstate = kx2dll::TASK_waiting;
    r.seed_md5 = t.seed_md5;
    r.seedurl = w.nginx().base_url() + "/seeds/" + std::to_string(r.taskid) + ".xml";
    r.now_version = "1";
    r.new_version = "2";
    for (const auto& f : t.fixture->files())
        r.file_list.push_back({"data/" + f.file_name, f.md5});
    return r;
}

std::size_t seed_requests(download_test_env& w, std::uint64_t id)
{
    return w.nginx().CountAccessLog("/seeds/" + std::to_string(id) + ".xml");
}

std::size_t file_requests(download_test_env& w, const served_task& t)
{
    std::size_t n = 0;
    for (const auto& f : t.fixture->files())
        n += w.nginx().CountAccessLog(f.url_path);
    return n;
}

bool completed(download_manager& m, std::uint64_t id)
{
    LocalTaskRecord r;
    return m.find_local_task(id, r) && r.taskstate == kx2dll::TASK_completed && !r.bitmap_filename.empty() &&
           platform::file_exists(r.bitmap_filename);
}

// One download manager's life downloads the task; its record as the engine
// events left it (seed file, bitmap, save folder) comes back.
LocalTaskRecord download_once(download_test_env& w, const served_task& t)
{
    download_manager m(w.launcher_path(), download_test_env::game_id);
    const LocalTaskRecord r = record_of(w, t);
    m.local_tasks().put(r);
    EXPECT_EQ(m.add_single_download_task_to_enginer(r), 0);
    EXPECT_TRUE(wait_until([&] { return completed(m, r.taskid); }, 30000)) << w.service_log();
    LocalTaskRecord done;
    m.find_local_task(r.taskid, done);
    return done;
}

TEST(TaskHandoff, IntactTasksResumeWithoutDownloadingAndLocalChecksNameWhatIsMissing)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& t = w.add_task(8101, "1-2", {150000, 20000});
    const LocalTaskRecord done = download_once(w, t);
    ASSERT_EQ(done.taskstate, kx2dll::TASK_completed);
    EXPECT_EQ(done.seedfile, w.env().appdata() + "/ZVK/8101.txt");
    EXPECT_EQ(service_test::read_text(done.seedfile), t.seed);
    const std::size_t seeds = seed_requests(w, 8101);
    const std::size_t files = file_requests(w, t);
    EXPECT_EQ(seeds, 1u);

    download_manager m(w.launcher_path(), download_test_env::game_id);
    std::string seed;
    std::string folder;
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    bool again = false;
    ASSERT_EQ(m.get_local_task_info(done, seed, folder, bitmap, tables, again), 0);
    EXPECT_FALSE(again);
    EXPECT_EQ(seed, t.seed);
    EXPECT_EQ(folder, done.save_path);
    EXPECT_FALSE(bitmap.empty());

    // Each broken part of the history gives its own code, the flag set.
    const std::string garbage = w.env().root() + "/garbage.bbm";
    std::ofstream(garbage) << "not a bitmap record";
    struct row {
        const char* what;
        void (*spoil)(LocalTaskRecord&, const std::string&);
        int code;
    };
    const row rows[] = {
        {"no seed file", [](LocalTaskRecord& r, const std::string&) { r.seedfile += ".gone"; }, 1},
        {"seed digest", [](LocalTaskRecord& r, const std::string&) { r.seed_md5 = std::string(32, '0'); }, 4},
        // Killed before the list recorded the bitmap: found where it is saved.
        {"bitmap not recorded", [](LocalTaskRecord& r, const std::string&) { r.bitmap_filename.clear(); }, 0},
        {"bitmap unreadable", [](LocalTaskRecord& r, const std::string& g) { r.bitmap_filename = g; }, 6},
        {"no save folder", [](LocalTaskRecord& r, const std::string&) { r.save_path += "/gone"; }, 7},
        {"no source folder", [](LocalTaskRecord& r, const std::string&) { r.srcdir = "gone"; }, 8},
        {"a file missing",
         [](LocalTaskRecord& r, const std::string&) {
             r.file_list.push_back({"data/x.bin", ""});
         },
         9},
    };
    for (const row& r : rows) {
        LocalTaskRecord spoilt = done;
        r.spoil(spoilt, garbage);
        again = false;
        EXPECT_EQ(m.get_local_task_info(spoilt, seed, folder, bitmap, tables, again), r.code) << r.what;
        EXPECT_EQ(again, r.code != 0) << r.what;
    }
    // No bitmap anywhere.
    const std::string moved = done.bitmap_filename + ".away";
    ASSERT_TRUE(platform::rename_over(done.bitmap_filename, moved));
    EXPECT_EQ(m.get_local_task_info(done, seed, folder, bitmap, tables, again), 5);
    ASSERT_TRUE(platform::rename_over(moved, done.bitmap_filename));
    // A seed digest in capitals and a name with backslashes are the same.
    LocalTaskRecord spelled = done;
    for (char& c : spelled.seed_md5)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    spelled.file_list[0].name = "data\\" + t.fixture->files()[0].file_name;
    EXPECT_EQ(m.get_local_task_info(spelled, seed, folder, bitmap, tables, again), 0);

    // Handed over: resumed from disk, not a byte fetched.
    m.local_tasks().put(done);
    EXPECT_EQ(m.add_single_download_task_to_enginer(done), 0);
    EXPECT_NE(w.service_log().find("id[8101]"), std::string::npos);
    std::vector<std::uint64_t> held;
    EXPECT_TRUE(wait_until([&] { return m.engine()->GetTaskListDetail(held) == 0 && !held.empty(); }, 5000));
    EXPECT_EQ(held, std::vector<std::uint64_t>{8101});
    // Offered again while the engine holds it: taken as it is.
    m.local_tasks().set_bool(8101, kx2dll::field_isactive, false);
    EXPECT_EQ(m.add_single_download_task_to_enginer(done), 0);
    LocalTaskRecord now;
    ASSERT_TRUE(m.find_local_task(8101, now));
    EXPECT_TRUE(now.isactive);
    EXPECT_EQ(seed_requests(w, 8101), seeds);
    EXPECT_EQ(file_requests(w, t), files);
}

TEST(TaskHandoff, RedownloadFetchesTheSeedAgainEvenWhenEverythingIsIntact)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& t = w.add_task(8201, "1-2", {70000});
    LocalTaskRecord done = download_once(w, t);
    ASSERT_EQ(done.taskstate, kx2dll::TASK_completed);
    ASSERT_EQ(seed_requests(w, 8201), 1u);

    download_manager m(w.launcher_path(), download_test_env::game_id);
    done.redownload = true;
    m.local_tasks().put(done);
    EXPECT_EQ(m.add_single_download_task_to_enginer(done), 0);
    // nginx logs an answer once it has sent it: the line may come just after.
    EXPECT_TRUE(wait_until([&] { return seed_requests(w, 8201) == 2u; }, 5000)) << seed_requests(w, 8201);
    EXPECT_NE(w.service_log().find("id[8201]"), std::string::npos);
}

TEST(TaskHandoff, SeedsAreCheckedAgainstTheirDigestCaseBlind)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& t = w.add_task(8301, "1-2", {3000});
    download_manager m(w.launcher_path(), download_test_env::game_id);
    LocalTaskRecord r = record_of(w, t);
    m.local_tasks().put(r);

    LocalTaskRecord wrong = r;
    wrong.seed_md5 = std::string(32, 'a');
    EXPECT_EQ(m.add_single_download_task_to_enginer(wrong), 5);
    LocalTaskRecord unreachable = r;
    unreachable.seedurl = "http://127.0.0.1:1/seeds/8301.xml";
    EXPECT_EQ(m.add_single_download_task_to_enginer(unreachable), 4);
    LocalTaskRecord now;
    ASSERT_TRUE(m.find_local_task(8301, now));
    EXPECT_TRUE(now.seedfile.empty()) << "a refused seed is not saved";

    for (char& c : r.seed_md5)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(m.add_single_download_task_to_enginer(r), 0);
    ASSERT_TRUE(m.find_local_task(8301, now));
    EXPECT_EQ(now.seedfile, w.env().appdata() + "/ZVK/8301.txt");
    EXPECT_EQ(service_test::read_text(now.seedfile), t.seed);
}

TEST(TaskHandoff, OnlyDownloadsUnderWayCountAgainstTheClampedLimit)
{
    download_test_env w("40k");
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& small = w.add_task(8401, "1-2", {2000});
    const served_task& big = w.add_task(8402, "2-3", {4000000});
    const served_task& third = w.add_task(8403, "3-4", {2000});
    download_manager m(w.launcher_path(), download_test_env::game_id);
    m.config().setSetting("Preferred_Settings", "max_download_task_num", "1");
    for (const served_task* t : {&small, &big, &third})
        m.local_tasks().put(record_of(w, *t));

    LocalTaskRecord r;
    ASSERT_TRUE(m.find_local_task(8401, r));
    ASSERT_EQ(m.add_single_download_task_to_enginer(r), 0);
    ASSERT_TRUE(wait_until([&] { return completed(m, 8401); }, 30000)) << w.service_log();
    // The completed task is still the engine's, yet no longer a download.
    ASSERT_TRUE(m.find_local_task(8402, r));
    ASSERT_EQ(m.add_single_download_task_to_enginer(r), 0);
    std::vector<std::uint64_t> running;
    ASSERT_TRUE(wait_until([&] { return m.engine()->GetTaskList(running) == 0 && running.size() == 1; }, 5000));

    ASSERT_TRUE(m.find_local_task(8403, r));
    struct row {
        const char* limit;
        int result;
    };
    for (const row& x : {row{"1", 2}, row{"0", 2}, row{"abc", 2}, row{"2", 0}}) {
        m.config().setSetting("Preferred_Settings", "max_download_task_num", x.limit);
        EXPECT_EQ(m.add_single_download_task_to_enginer(r), x.result) << x.limit;
    }
    EXPECT_NE(w.service_log().find("can not add tasks to download! max tasks[1]"), std::string::npos);
    std::vector<std::uint64_t> held;
    EXPECT_TRUE(wait_until([&] { return m.engine()->GetTaskListDetail(held) == 0 && held.size() == 3; }, 5000));
}

}   // namespace

namespace {

// Hand-overs of a new task the one-second pass makes, counted once
// `passes` more passes ran (each pass lists every task in the log).
std::size_t handovers_after_passes(download_test_env& w, std::uint64_t id, std::size_t passes)
{
    const std::string pass_line = " task id = " + std::to_string(id) + ";";
    const std::size_t seen = service_test::occurrences(w.service_log(), pass_line);
    EXPECT_TRUE(wait_until([&] { return service_test::occurrences(w.service_log(), pass_line) >= seen + passes; },
                           passes * 3000));
    return service_test::occurrences(w.service_log(), "引擎添加下载一个文件2 id[" + std::to_string(id) + "]");
}

TEST(TaskHandoff, ARefusedSeedIsFetchedAgainLessAndLessOftenAndTheLogSaysWhy)
{
    kx2dll::handoff_backoff backoff;
    std::uint32_t now = 0xfffff000u;   // the waits cross the tick's wrap
    for (std::uint32_t want : {2000u, 4000u, 8000u, 16000u, 32000u, 64000u, 128000u, 256000u, 300000u, 300000u}) {
        EXPECT_EQ(backoff.failed(1, now), want);
        EXPECT_FALSE(backoff.due(1, now + want - 1));
        now += want;
        EXPECT_TRUE(backoff.due(1, now));
    }
    EXPECT_TRUE(backoff.due(2, now));
    backoff.restart(1, now + 5);   // the wait runs again from the engine's stop
    EXPECT_FALSE(backoff.due(1, now + 300000));
    backoff.clear(1);
    EXPECT_EQ(backoff.failed(1, now), 2000u);

    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    // Its digest matches; the engine refuses to read it.
    const std::string seed = "<not a seed/>";
    platform::create_folder(w.www() + "/seeds");
    std::ofstream(w.www() + "/seeds/8601.xml") << seed;
    LocalTaskRecord r;
    r.gameid = download_test_env::game_id;
    r.taskid = 8601;
    r.taskstate = kx2dll::TASK_waiting;
    r.seed_md5 = kx2dll::string_md5(seed);
    r.seedurl = w.nginx().base_url() + "/seeds/8601.xml";
    download_manager m(w.launcher_path(), download_test_env::game_id);
    m.local_tasks().put(r);
    ASSERT_TRUE(wait_until([&] { return seed_requests(w, 8601) == 1; }, 5000));
    handovers_after_passes(w, 8601, 4);
    EXPECT_LE(seed_requests(w, 8601), 2u);   // again after 2 s, then not before 4 s more
    const std::string log = w.service_log();
    EXPECT_NE(log.find("CBE_ERROR_OUTPUT : seed refused: "), std::string::npos) << log;
    EXPECT_NE(log.find("task id[8601] is offered to the engine again in 2 s"), std::string::npos);
}

TEST(TaskHandoff, FilesThatCannotBeCreatedAreLoggedAndTheTaskIsNotOfferedInALoop)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    ASSERT_TRUE(w.nginx_ok()) << w.nginx().last_error();
    const served_task& t = w.add_task(8701, "1-2", {3000});
    // A file where the task's folder goes: nothing can be written there.
    std::ofstream(w.downloads() + "/" + t.fixture->srcdir()) << "x";
    LocalTaskRecord r = record_of(w, t);
    r.gameid = download_test_env::game_id;
    download_manager m(w.launcher_path(), download_test_env::game_id);
    m.local_tasks().put(r);
    const std::string reason = "task 8701: cannot open " + w.downloads() + "/" + t.fixture->srcdir() + "/data/";
    const auto logged = [&](const std::string& line) { return service_test::occurrences(w.service_log(), line); };
    ASSERT_TRUE(wait_until([&] { return logged("CBE_TASK_STOP, ID[8701]") == 1; }, 15000)) << w.service_log();
    const std::uint64_t stopped_at = platform::tick_count64();
    EXPECT_EQ(logged("引擎添加下载一个文件2 id[8701]"), 1u);
    // Offered again once the first wait is over, not at the next pass.
    ASSERT_TRUE(wait_until([&] { return logged("引擎添加下载一个文件2 id[8701]") == 2; }, 10000));
    EXPECT_GE(platform::tick_count64() - stopped_at, 1500u);
    const std::string log = w.service_log();
    EXPECT_NE(log.find(reason), std::string::npos) << log;
    EXPECT_NE(log.find("task id[8701] files cannot be prepared, offered to the engine again in 2 s"),
              std::string::npos);
}

}   // namespace
