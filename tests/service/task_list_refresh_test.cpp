#include "service/task_list_refresh.h"

#include <gtest/gtest.h>

#include "download_test_env.h"
#include "service/download_manager.h"
#include "support/heap_peak.h"
#include "support/shifted_tick.h"

namespace {

const std::string md5a = "0123456789abcdef0123456789abcdef";
const std::string md5b = "fedcba9876543210fedcba9876543210";

TEST(TaskListParse, LineGrammar)
{
    const std::string body = "demo 10 501 3-4 " + md5a +
                             " http://h/s/501.xml -1 {(the big update, part one)} "
                             "(data/a.pak," +
                             md5a + " b.pak," + md5b.substr(0, 31) +
                             ")\r\n"
                             "\n"
                             "demo 10 502 4-5 " +
                             md5b + " http://h/s/502.xml 0 (no description) (c.pak," + md5b +
                             ")\n"
                             "other 11 503 1-2 " +
                             md5a + " http://h/s/503.xml -1 {(x)} (d.pak," + md5a +
                             ")\n"
                             "demo  10 \t504   5-6 " +
                             md5a + " http://h/s/504.xml 2 {( spaced )} ( e.pak," + md5a + "  f.pak," + md5b +
                             " )\n"
                             "demo\t10 505 6-7 " +
                             md5a + " url -1 {(tab)} (g.pak," + md5a +
                             ")\n"
                             "demo 10 506 6-7 " +
                             md5a +
                             " url -1 {(cut)}\n"
                             "demo 10 507 7-8 " +
                             md5a + "\n";
    int game_lines = 0;
    const kx2dll::server_task_map tasks = kx2dll::parse_task_list(body, 10, [&] { ++game_lines; });
    ASSERT_EQ(tasks.size(), 2u);

    const kx2dll::ServerTaskRecord& a = tasks.at(501);
    EXPECT_EQ(a.gamename, "demo");
    EXPECT_EQ(a.gameid, 10u);
    EXPECT_EQ(a.version, "3-4");
    EXPECT_EQ(a.seed_md5, md5a);
    EXPECT_EQ(a.seedurl, "http://h/s/501.xml");
    EXPECT_EQ(a.state, -1);
    EXPECT_EQ(a.description, "the big update, part one");
    ASSERT_EQ(a.file_list.size(), 1u);   // the 31-digit MD5 is dropped
    EXPECT_EQ(a.file_list[0].name, "data/a.pak");
    EXPECT_EQ(a.file_list[0].md5, md5a);

    const kx2dll::ServerTaskRecord& d = tasks.at(504);   // runs of blanks separate tokens
    EXPECT_EQ(d.version, "5-6");
    EXPECT_EQ(d.state, 2);
    EXPECT_EQ(d.description, " spaced ");
    ASSERT_EQ(d.file_list.size(), 2u);
    EXPECT_EQ(d.file_list[1].name, "f.pak");

    EXPECT_EQ(tasks.count(502), 0u);   // no "{(" ... ")}"
    EXPECT_EQ(tasks.count(503), 0u);   // another game
    EXPECT_EQ(tasks.count(505), 0u);   // a tab alone separates nothing
    EXPECT_EQ(tasks.count(506), 0u);   // no file list
    EXPECT_EQ(tasks.count(507), 0u);   // tokens missing
    EXPECT_EQ(game_lines, 5);          // every line of game 10 whose id was read
}

// Parsing holds no copy of the text: beyond the records it returns, what
// it holds at its worst stays a fraction of the text, for many lines and
// for one line of many files alike.
TEST(TaskListParse, HoldsNoCopyOfTheText)
{
    if (!test_support::HeapPeak::supported())
        GTEST_SKIP() << "heap use is counted through the address sanitizer";
    std::string many_lines;
    for (int i = 0; i < 20000; ++i)
        many_lines += "demo 10 " + std::to_string(100 + i) + " 1-2 " + md5a +
                      " http://h/s/x.xml -1 {(an update)} (a.pak," + md5a + " b.pak," + md5b + ")\n";
    std::string many_files = "demo 10 1 1-2 " + md5a + " u -1 {(d)} (";
    for (int i = 0; i < 100000; ++i)
        many_files += "data/file_" + std::to_string(i) + ".pak," + md5a + " ";
    many_files += ")\n";
    struct Case {
        const char* what;
        const std::string& body;
        std::size_t records;
    } cases[] = {{"many lines", many_lines, 20000}, {"one line of many files", many_files, 1}};
    for (const Case& c : cases) {
        kx2dll::server_task_map tasks;
        std::size_t transient = 0;
        {
            test_support::HeapPeak heap;
            tasks = kx2dll::parse_task_list(c.body, 10);
            transient = heap.peak() - heap.now();
        }
        EXPECT_EQ(tasks.size(), c.records) << c.what;
        EXPECT_LT(transient, c.body.size() / 4) << c.what;
    }

    // The manager's refresh fetched from a real server and applied (the
    // long line's task joins the local list and is saved): the records
    // once each, not the list twice.
    service_test::download_test_env w;
    ASSERT_TRUE(w.nginx_ok());
    const service_test::served_task& a = w.add_task(7101, "1-2", {1000});
    w.publish({&a});
    test_support::shifted_tick_scope tick;
    kx2dll::download_manager m(w.launcher_path(), 7);
    ASSERT_TRUE(test_support::wait_until([&] { return m.server_tasks()->size() == 1; }, 10000));
    ASSERT_TRUE(m.update_game_version(7, "1"));
    m.set_auto_download(true);
    std::string near_cap;
    for (int i = 0; near_cap.size() < 15u * 1000 * 1000; ++i)
        near_cap += "demo 7 " + std::to_string(100000 + i) + " 5-6 " + md5a + " http://127.0.0.1:1/seeds/" +
                    std::to_string(i) + ".xml -1 {(the update of one task, told in a sentence or two)} (d/a.pak," +
                    md5a + " d/b.pak," + md5b + " d/c/d.pak," + md5a + ")\r\n";
    std::string long_line = "demo 7 900 1-2 " + md5a + " http://127.0.0.1:1/seeds/900.xml -1 {(d)} (";
    for (int i = 0; i < 200000; ++i)
        long_line += "d/f" + std::to_string(i) + ".pak," + md5a + " ";
    long_line += ")\r\n";
    struct ManagerCase {
        const char* what;
        std::string body;
        std::size_t listed;
        std::size_t bound;   // times the text; the second allows the one-second pass's copy of the new task
    } refreshes[] = {{"a list near the cap", std::move(near_cap), 40000, 4},
                     {"a line of many files", std::move(long_line), 1, 8}};
    // The clock stands still while the refreshes are measured: a one-second
    // pass coming due twice in a slow refresh would count two copies.
    tick.hold();
    for (ManagerCase& c : refreshes) {
        w.publish({}, c.body);
        const std::size_t text = c.body.size();
        std::string().swap(c.body);
        std::size_t peak = 0;
        {
            test_support::HeapPeak heap;
            m.OnTimer(kx2dll::timer_refresh_task_list, 0);
            peak = heap.peak();
        }
        EXPECT_GE(m.server_tasks()->size(), c.listed) << c.what;
        EXPECT_LT(peak, text * c.bound) << c.what;
    }
    tick.release();
    kx2dll::LocalTaskRecord added;
    ASSERT_TRUE(m.find_local_task(900, added));
    EXPECT_EQ(added.file_list.size(), 200000u);
}

TEST(TaskListParse, LaterLineReplacesEarlier)
{
    const std::string line = " 10 600 1-2 " + md5a + " u -1 {(d)} (a," + md5a + ")\n";
    const auto tasks = kx2dll::parse_task_list("first" + line + "second" + line, 10);
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks.at(600).gamename, "second");
    EXPECT_TRUE(kx2dll::parse_task_list("", 10).empty());
}

TEST(TaskListParse, ToLocalTask)
{
    kx2dll::ServerTaskRecord s;
    s.gameid = 10;
    s.taskid = 77;
    s.gamename = "demo";
    s.version = "3-4";
    s.seed_md5 = md5a;
    s.seedurl = "http://h/s.xml";
    s.description = "d";
    s.state = -1;
    s.file_list = {{"a", md5a}};
    kx2dll::LocalTaskRecord r;
    r.progress = 50;
    r.save_path = "/x";
    r.isactive = true;
    s.to_local_task(r);
    EXPECT_EQ(r.taskid, 77u);
    EXPECT_EQ(r.now_version, "3");
    EXPECT_EQ(r.new_version, "4");
    EXPECT_EQ(r.taskstate, -1);
    EXPECT_EQ(r.progress, 0);
    EXPECT_FALSE(r.isactive);
    EXPECT_TRUE(r.save_path.empty());
    EXPECT_EQ(r.decription, "d");
    EXPECT_EQ(r.file_list.size(), 1u);
}

TEST(TaskListParse, VersionStepsAndFallbackUrl)
{
    struct row {
        const char* step;
        bool ok;
        int from, to;
    };
    for (const row& r : {row{"3-4", true, 3, 4}, row{"12-100", true, 12, 100}, row{"-4", false, 0, 0},
                         row{"34", false, 0, 0}, row{"a-b", true, 0, 0}}) {
        std::int32_t from = 0;
        std::int32_t to = 0;
        EXPECT_EQ(kx2dll::split_version_step(r.step, from, to), r.ok) << r.step;
        EXPECT_EQ(from, r.from) << r.step;
        EXPECT_EQ(to, r.to) << r.step;
    }
    EXPECT_EQ(kx2dll::fallback_task_list_url("HTTP://Tasks.Example/Update_Task/Task_List.txt", "10.0.0.9:81"),
              "http://10.0.0.9:81/Update_Task/Task_List.txt");
    EXPECT_EQ(kx2dll::fallback_task_list_url("http://hostonly", "f"), "");
    EXPECT_EQ(kx2dll::fallback_task_list_url("ftp://h/x", "f"), "");
}

}   // namespace
