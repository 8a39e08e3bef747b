#include "service/local_task_list.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include <utime.h>

#include "fagex/fagexConfigFile.h"
#include "foundation/md5.h"
#include "platform/paths.h"
#include "platform/thread.h"
#include "service_test_support.h"
#include "support/heap_peak.h"
#include "support/temp_dir.h"

namespace {

using kx2dll::local_task_list;
using kx2dll::LocalTaskRecord;

void write(const std::string& path, const std::string& text)
{
    platform::create_folder(platform::parent_folder(path));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Ages are counted in calendar days: noon of the day `days` before today,
// so the hour the test runs at does not move the file across a midnight.
void age_days(const std::string& path, int days)
{
    const std::time_t now = std::time(nullptr);
    std::tm day{};
    localtime_r(&now, &day);
    day.tm_mday -= days;
    day.tm_hour = 12;
    day.tm_min = day.tm_sec = 0;
    day.tm_isdst = -1;
    utimbuf times{};
    times.actime = times.modtime = std::mktime(&day);
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

// A task of game 7 whose bitmap and files exist under `root`.
LocalTaskRecord task_on_disk(const std::string& root, std::uint64_t id, int state = 2)
{
    LocalTaskRecord r;
    r.gameid = 7;
    r.taskid = id;
    r.taskstate = state;
    r.save_path = root + "/save";
    r.srcdir = "game" + std::to_string(id);
    r.bitmap_filename = root + "/" + std::to_string(id) + ".bbm";
    r.file_list = {{"data\\a.pak", "AAAA"}, {"b.pak", "bbbb"}};
    write(r.bitmap_filename, "bitmap");
    write(r.save_path + "/" + r.srcdir + "/data/a.pak", "a");
    write(r.save_path + "/" + r.srcdir + "/b.pak", "b");
    return r;
}

struct list_env {
    test_support::TempDir dir;
    std::string data() const { return dir.file("data"); }
    std::string file() const { return dir.file("local_task_list.cfg"); }
    list_env() { platform::create_folder(data()); }
};

TEST(LocalTaskList, FieldRanges)
{
    list_env e;
    local_task_list list(7, e.file(), e.data());
    LocalTaskRecord base;
    base.taskid = 5;
    base.taskstate = 0;
    list.put(base);
    struct row {
        int field;
        const char* text;
        bool changes;
    };
    const std::vector<row> rows = {
        {kx2dll::field_taskstate, "2", true},
        {kx2dll::field_taskstate, "3", false},
        {kx2dll::field_taskstate, "-1", true},
        {kx2dll::field_taskstate, "-2", false},
        {kx2dll::field_priority_level, "1", true},
        {kx2dll::field_priority_level, "2", false},
        {kx2dll::field_down_speed, "12.5", true},
        {kx2dll::field_down_speed, "0", true},
        {kx2dll::field_down_speed, "12.5", true},
        {kx2dll::field_down_speed, "-1", false},
        {kx2dll::field_down_speed, "104857700", false},
        {kx2dll::field_up_speed, "0.0002", true},
        {kx2dll::field_up_speed, "0", true},
        {kx2dll::field_progress, "0", false},
        {kx2dll::field_progress, "100.0001", true},
        {kx2dll::field_progress, "100.01", false},
        {kx2dll::field_progress, "abc", false},
        {kx2dll::field_isactive, "yes", true},
        {kx2dll::field_redownload, "TRUE", true},
        {kx2dll::field_seedfile, "/s/5.txt", true},
    };
    for (const row& r : rows) {
        LocalTaskRecord before;
        ASSERT_TRUE(list.find(5, before));
        list.set_value(5, r.field, r.text);
        LocalTaskRecord after;
        list.find(5, after);
        const bool changed = kx2dll::local_task_list::to_text({{5, before}}) !=
                                 kx2dll::local_task_list::to_text({{5, after}}) ||
                             before.down_speed != after.down_speed || before.up_speed != after.up_speed ||
                             before.isactive != after.isactive || before.redownload != after.redownload;
        EXPECT_EQ(changed, r.changes) << "field " << r.field << " text " << r.text;
    }
    LocalTaskRecord r;
    list.find(5, r);
    EXPECT_EQ(r.taskstate, -1);
    EXPECT_FLOAT_EQ(static_cast<float>(r.down_speed), 12.5f);
    // A boolean into a numeric field reads as 0.
    list.set_bool(5, kx2dll::field_priority_level, true);
    list.find(5, r);
    EXPECT_EQ(r.priority_level, 0);
    EXPECT_FALSE(list.set_value(99, kx2dll::field_taskstate, "1"));   // unknown id
    list.check_invariant();
}

TEST(LocalTaskList, SaveAndLoadKeepOnlyIntactTasksOfThisGame)
{
    list_env e;
    {
        local_task_list list(7, e.file(), e.data());
        LocalTaskRecord kept = task_on_disk(e.dir.path(), 100);
        kept.priority_level = 1;
        kept.isactive = true;
        kept.progress = 42.5;
        kept.decription = "with spaces = and colons: too";
        list.add(kept);
        LocalTaskRecord other_game = task_on_disk(e.dir.path(), 101);
        other_game.gameid = 8;
        list.add(other_game);
        LocalTaskRecord no_bitmap = task_on_disk(e.dir.path(), 102);
        no_bitmap.bitmap_filename.clear();
        list.add(no_bitmap);
        // Killed between the first bitmap save and its recording: the
        // bitmap is found where the engine saves it.
        LocalTaskRecord unrecorded = task_on_disk(e.dir.path(), 104);
        unrecorded.bitmap_filename.clear();
        write(e.data() + "/104.bbm", "bitmap");
        list.add(unrecorded);
        LocalTaskRecord missing_file = task_on_disk(e.dir.path(), 103);
        missing_file.file_list.push_back({"gone.pak", "x"});
        list.add(missing_file);
        EXPECT_TRUE(list.save());
    }
    local_task_list again(7, e.file(), e.data());
    EXPECT_EQ(again.load(), 2);
    LocalTaskRecord r;
    ASSERT_TRUE(again.find(104, r));
    EXPECT_EQ(r.bitmap_filename, e.data() + "/104.bbm");
    ASSERT_TRUE(again.find(100, r));
    EXPECT_EQ(r.priority_level, 0);   // levels and activity start afresh
    EXPECT_FALSE(r.isactive);
    EXPECT_DOUBLE_EQ(r.progress, 42.5);
    EXPECT_EQ(r.decription, "with spaces = and colons: too");
    ASSERT_EQ(r.file_list.size(), 2u);
    EXPECT_EQ(r.file_list[0].name, "data\\a.pak");
    EXPECT_EQ(r.file_list[0].md5, "AAAA");
    EXPECT_FALSE(again.find(101, r));
    EXPECT_FALSE(again.find(102, r));
    EXPECT_FALSE(again.find(103, r));
    EXPECT_EQ(local_task_list(7, e.dir.file("missing.cfg"), e.data()).load(), 0);
}

// New records are written by the next save_if_changed, all in one save;
// with nothing added since, it writes nothing.
TEST(LocalTaskList, AddsAreSavedTogetherLater)
{
    list_env e;
    local_task_list list(7, e.file(), e.data());
    list.add(task_on_disk(e.dir.path(), 120));
    list.add(task_on_disk(e.dir.path(), 121));
    EXPECT_FALSE(platform::path_exists(e.file()));
    EXPECT_TRUE(list.save_if_changed());
    EXPECT_EQ(local_task_list(7, e.file(), e.data()).load(), 2);
    ASSERT_TRUE(platform::delete_file(e.file()));
    EXPECT_TRUE(list.save_if_changed());
    EXPECT_FALSE(platform::path_exists(e.file()));
}

// Twelve files keep their order across a save and a load, although the
// keys are read back in text order (file_list_name_1, _10, _11, _2 ...).
TEST(LocalTaskList, ManyFilesKeepTheirOrder)
{
    list_env e;
    LocalTaskRecord r = task_on_disk(e.dir.path(), 110);
    r.file_list.clear();
    for (int i = 0; i < 12; ++i) {
        const std::string name = "f" + std::to_string(i) + ".pak";
        write(r.save_path + "/" + r.srcdir + "/" + name, "x");
        r.file_list.push_back({name, "md5_" + std::to_string(i)});
    }
    {
        local_task_list list(7, e.file(), e.data());
        list.add(r);
        ASSERT_TRUE(list.save());
    }
    local_task_list again(7, e.file(), e.data());
    ASSERT_EQ(again.load(), 1);
    LocalTaskRecord back;
    ASSERT_TRUE(again.find(110, back));
    ASSERT_EQ(back.file_list.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(back.file_list[i].name, "f" + std::to_string(i) + ".pak");
        EXPECT_EQ(back.file_list[i].md5, "md5_" + std::to_string(i));
    }
}

// The file is written straight from the records, as the configuration
// object would render it, and a task of very many files costs little more
// than its text to save and its records to load.
TEST(LocalTaskList, ATaskOfManyFilesIsSavedInPlace)
{
    list_env e;
    LocalTaskRecord nine = task_on_disk(e.dir.path(), 9);
    nine.decription = "two\nlines";
    for (int i = 0; i < 12; ++i)
        nine.file_list.push_back({"f" + std::to_string(i) + ".pak", "md5_" + std::to_string(i)});
    const LocalTaskRecord ten = task_on_disk(e.dir.path(), 10);
    const std::string text = local_task_list::to_text({{9, nine}, {10, ten}});
    fagex::ConfigFile rendered;
    rendered.loadFromString(text);
    EXPECT_EQ(rendered.saveToString(), text);
    EXPECT_LT(text.find("[10]"), text.find("[9]"));
    EXPECT_NE(text.find("decription=two lines\n"), std::string::npos);

    if (!test_support::HeapPeak::supported())
        GTEST_SKIP() << "heap use is counted through the address sanitizer";
    LocalTaskRecord big = task_on_disk(e.dir.path(), 11);
    for (int i = 0; i < 100000; ++i)
        big.file_list.push_back({"data/folder/file_" + std::to_string(i) + ".pak", std::string(32, 'a')});
    const local_task_list::map_type tasks{{11, big}};
    std::string saved;
    std::size_t transient = 0;
    {
        test_support::HeapPeak heap;
        saved = local_task_list::to_text(tasks);
        transient = heap.peak() - heap.now();
    }
    EXPECT_LT(transient, saved.size() / 4);
    write(e.file(), saved);
    local_task_list list(7, e.file(), e.data());
    test_support::HeapPeak heap;
    list.load();
    // The configuration object's settings and the record, not copies of them.
    EXPECT_LT(heap.peak(), saved.size() * 6);
}

TEST(LocalTaskList, ExpiredCompletedTasksAreDroppedAtLoad)
{
    list_env e;
    {
        local_task_list list(7, e.file(), e.data());
        list.add(task_on_disk(e.dir.path(), 200));      // completed, seed 11 days old
        list.add(task_on_disk(e.dir.path(), 201));      // completed, seed 10 days old
        list.add(task_on_disk(e.dir.path(), 202, 1));   // downloading, old seed
        EXPECT_TRUE(list.save_if_changed());
    }
    for (std::uint64_t id : {200, 201, 202})
        write(e.data() + "/" + std::to_string(id) + ".txt", "seed");
    age_days(e.data() + "/200.txt", 11);
    age_days(e.data() + "/201.txt", 10);
    age_days(e.data() + "/202.txt", 30);
    local_task_list again(7, e.file(), e.data());
    EXPECT_EQ(again.load(), 2);
    LocalTaskRecord r;
    EXPECT_FALSE(again.find(200, r));
    EXPECT_TRUE(again.find(201, r));
    EXPECT_TRUE(again.find(202, r));
    EXPECT_FALSE(platform::path_exists(e.data() + "/200.txt"));
    EXPECT_TRUE(platform::path_exists(e.data() + "/202.txt"));
}

TEST(LocalTaskList, RemoveDeletesOnlyFilesInsideTheTaskFolder)
{
    list_env e;
    local_task_list list(7, e.file(), e.data());
    LocalTaskRecord r = task_on_disk(e.dir.path(), 300);
    r.seedfile = e.data() + "/300.txt";
    write(r.seedfile, "seed");
    const std::string outside = e.dir.file("precious.txt");
    write(outside, "keep me");
    r.file_list.push_back({"../../precious.txt", "x"});
    r.file_list.push_back({"data\\..\\..\\..\\precious.txt", "x"});
    r.file_list.push_back({outside, "x"});
    list.add(r);
    EXPECT_TRUE(list.remove(300));
    EXPECT_FALSE(platform::path_exists(r.bitmap_filename));
    EXPECT_FALSE(platform::path_exists(r.seedfile));
    EXPECT_FALSE(platform::path_exists(r.save_path + "/game300/data/a.pak"));
    EXPECT_FALSE(platform::path_exists(r.save_path + "/game300/b.pak"));
    EXPECT_TRUE(platform::path_exists(outside));
    LocalTaskRecord gone;
    EXPECT_FALSE(list.find(300, gone));
    EXPECT_EQ(service_test::read_text(e.file()).find("[300]"), std::string::npos);
    // A source folder that climbs out deletes no data file at all.
    LocalTaskRecord climbing = task_on_disk(e.dir.path(), 301);
    climbing.srcdir = "../save/game301";
    list.add(climbing);
    list.remove(301);
    EXPECT_TRUE(platform::path_exists(e.dir.path() + "/save/game301/b.pak"));
}

TEST(LocalTaskList, LookupsAndHelpers)
{
    list_env e;
    local_task_list list(7, e.file(), e.data());
    LocalTaskRecord a;
    a.gameid = 7;
    a.taskid = 20;
    a.file_list = {{"x", "ABCDEF"}};
    LocalTaskRecord b = a;
    b.taskid = 10;
    list.put(a);
    list.put(b);
    std::uint64_t id = 0;
    EXPECT_TRUE(list.find_task_by_file_md5(7, "abcdef", id));
    EXPECT_EQ(id, 10u);   // the lower id
    EXPECT_FALSE(list.find_task_by_file_md5(8, "abcdef", id));
    // add() on a known id changes only its level.
    LocalTaskRecord c = a;
    c.priority_level = 1;
    c.taskstate = 2;
    list.add(c);
    LocalTaskRecord r;
    list.find(20, r);
    EXPECT_EQ(r.priority_level, 1);
    EXPECT_EQ(r.taskstate, -3);
    list.check_invariant();

    for (const char* bad : {"", "/etc/passwd", "\\x", "c:\\x", "..", "a/../../b", "a\\..\\b"})
        EXPECT_FALSE(kx2dll::is_contained_name(bad)) << bad;
    for (const char* good : {"a.pak", "data/a.pak", "data\\a.pak", "..a", "a..b/c"})
        EXPECT_TRUE(kx2dll::is_contained_name(good)) << good;
    EXPECT_EQ(kx2dll::join_task_path("/s/game/", "data\\a.pak"), "/s/game/data/a.pak");

    // Seed check: missing, no digest, mismatch (case-blind match).
    LocalTaskRecord s;
    EXPECT_EQ(kx2dll::check_seed_file(s), 2);
    s.seedfile = e.dir.file("9.txt");
    write(s.seedfile, "seed text");
    EXPECT_EQ(kx2dll::check_seed_file(s), 3);
    s.seed_md5 = " " + md5_hex("seed text", 9, true) + "\t";
    EXPECT_EQ(kx2dll::check_seed_file(s), 0);
    s.seed_md5 = md5_hex("other", 5);
    EXPECT_EQ(kx2dll::check_seed_file(s), 4);
    EXPECT_EQ(kx2dll::time_of_day_text().size(), 8u);
}

}   // namespace

namespace {

// Engine events, launcher commands and timer saves change the list at once;
// every save lands whole and the last one holds the final list.
TEST(LocalTaskList, ConcurrentChangesAndSaves)
{
    list_env e;
    local_task_list list(7, e.file(), e.data());
    std::vector<platform::Thread> threads(4);
    for (std::size_t t = 0; t < threads.size(); ++t) {
        threads[t].start([&list, t] {
            for (int i = 0; i < 200; ++i) {
                const std::uint64_t id = 1000 * (t + 1) + static_cast<std::uint64_t>(i % 20);
                LocalTaskRecord r;
                r.gameid = 7;
                r.taskid = id;
                list.add(r);
                list.set_value(id, kx2dll::field_progress, std::to_string(i % 100 + 1));
                list.set_value(id, kx2dll::field_taskstate, "1");
                if (i % 7 == 0)
                    list.remove(id);
                if (i % 5 == 0)
                    list.save();
            }
        });
    }
    for (platform::Thread& t : threads)
        ASSERT_TRUE(t.join_for(60000));
    list.check_invariant();
    ASSERT_TRUE(list.save());
    local_task_list::map_type now;
    list.copy(now);
    // The file is the list: every section and no other.
    std::size_t sections = 0;
    const std::string text = service_test::read_text(e.file());
    for (std::size_t at = text.find("\n["); at != std::string::npos; at = text.find("\n[", at + 1))
        ++sections;
    sections += text.compare(0, 1, "[") == 0 ? 1 : 0;
    EXPECT_EQ(sections, now.size());
    for (const auto& entry : now)
        EXPECT_NE(text.find("[" + std::to_string(entry.first) + "]"), std::string::npos);
    std::vector<platform::FolderEntry> files;
    ASSERT_TRUE(platform::list_folder(e.dir.path(), files));
    for (const platform::FolderEntry& f : files)
        EXPECT_TRUE(f.is_dir || f.name == "local_task_list.cfg") << f.name;   // no temporary file left
}

}   // namespace
