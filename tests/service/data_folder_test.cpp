#include "service/data_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <fstream>

#include "platform/paths.h"
#include "service_test_support.h"

using kx2dll::days_between;
using kx2dll::delete_expired_files;
using kx2dll::get_data_folder;

namespace {

// Seconds since 1970 of a local date and time.
std::int64_t local_time(int year, int month, int day, int hour, int minute)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&t));
}

void touch(const std::string& path, std::int64_t mtime)
{
    std::ofstream(path) << "x";
    utimbuf times{static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
    ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
}

}   // namespace

TEST(DataFolder, UnderTheAppDataFolderCreatedOnce)
{
    service_test::isolated_env env;
    for (const std::string suffix : {"", "/", "//", " \t"}) {
        SCOPED_TRACE("suffix '" + suffix + "'");
        test_support::ScopedEnv appdata("VR_APPDATA_DIR", env.appdata() + suffix);
        const std::string folder = get_data_folder();
        EXPECT_EQ(folder, env.appdata() + "/ZVK/");
        EXPECT_TRUE(platform::folder_exists(folder));
    }
}

TEST(DataFolder, EmptyWhenItCannotBeMade)
{
    service_test::isolated_env env;
    std::ofstream(env.root() + "/plain_file") << "x";
    test_support::ScopedEnv appdata("VR_APPDATA_DIR", env.root() + "/plain_file/below");
    EXPECT_EQ(get_data_folder(), "");
}

TEST(DaysBetween, CalendarDaysInLocalTime)
{
    struct row {
        const char* what;
        std::int64_t a;
        std::int64_t b;
        std::int64_t days;
    };
    const row rows[] = {
        {"same day", local_time(2026, 3, 10, 23, 59), local_time(2026, 3, 10, 0, 1), 0},
        {"two minutes over midnight", local_time(2026, 3, 11, 0, 1), local_time(2026, 3, 10, 23, 59), 1},
        {"23:59 eleven days ago at 00:01", local_time(2026, 3, 21, 0, 1), local_time(2026, 3, 10, 23, 59), 11},
        {"ten days", local_time(2026, 3, 20, 12, 0), local_time(2026, 3, 10, 18, 0), 10},
        {"across months", local_time(2026, 3, 1, 1, 0), local_time(2026, 2, 27, 23, 0), 2},
        {"backwards", local_time(2026, 3, 1, 1, 0), local_time(2026, 3, 4, 1, 0), -3},
        {"over a year", local_time(2027, 1, 1, 0, 0), local_time(2026, 1, 1, 0, 0), 365},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(days_between(r.a, r.b), r.days);
    }
}

TEST(DeleteExpiredFiles, OnlyTaskFilesOfListedIdsOlderThanTenDays)
{
    service_test::isolated_env env;
    const std::string dir = env.root() + "/data";
    ASSERT_TRUE(platform::create_folder(dir));
    const std::int64_t now = local_time(2026, 6, 20, 9, 30);
    const std::int64_t eleven = local_time(2026, 6, 9, 23, 59);   // 11 calendar days
    const std::int64_t ten = local_time(2026, 6, 10, 0, 0);       // 10 calendar days
    struct row {
        const char* name;
        std::int64_t mtime;
        bool deleted;
    };
    const row rows[] = {
        {"123.txt", eleven, true},
        {"124.txt", ten, false},
        {"125.BBM", eleven, true},
        {"126.Txt", eleven, true},
        {"123.dat", eleven, false},
        {"abc.txt", eleven, false},
        {"0.txt", eleven, false},
        {"-5.txt", eleven, false},
        {"127 copy.txt", eleven, false},                    // the whole base name must be the id
        {"999.txt", local_time(2020, 1, 1, 0, 0), false},   // not in the id set
    };
    for (const row& r : rows)
        touch(dir + "/" + r.name, r.mtime);
    ASSERT_TRUE(platform::create_folder(dir + "/128.txt"));   // a folder, skipped

    const std::map<std::int64_t, int> ids = {{123, 0}, {124, 0}, {125, 0}, {126, 0},
                                             {127, 0}, {128, 0}, {0, 0},   {-5, 0}};
    std::map<std::int64_t, int> deleted = {{42, 1}};   // cleared first
    delete_expired_files(dir + "/", ids, deleted, now);

    EXPECT_EQ(deleted, (std::map<std::int64_t, int>{{123, 1}, {125, 1}, {126, 1}}));
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(platform::file_exists(dir + "/" + r.name), !r.deleted);
    }
    EXPECT_TRUE(platform::folder_exists(dir + "/128.txt"));
}

TEST(DeleteExpiredFiles, NothingToDo)
{
    service_test::isolated_env env;
    const std::string dir = env.root() + "/data";
    ASSERT_TRUE(platform::create_folder(dir));
    touch(dir + "/5.txt", 0);
    std::map<std::int64_t, int> deleted = {{1, 1}};
    delete_expired_files(dir, {}, deleted, local_time(2026, 1, 1, 0, 0));   // no ids
    EXPECT_TRUE(deleted.empty());
    delete_expired_files(env.root() + "/missing", {{5, 0}}, deleted, local_time(2026, 1, 1, 0, 0));
    EXPECT_TRUE(deleted.empty());
    delete_expired_files(dir + "/5.txt", {{5, 0}}, deleted, local_time(2026, 1, 1, 0, 0));   // not a folder
    EXPECT_TRUE(deleted.empty());
    EXPECT_TRUE(platform::file_exists(dir + "/5.txt"));
}
