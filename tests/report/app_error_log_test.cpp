#include "report/app_error_log.h"

#include <fstream>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

TEST(AppErrorLog, SentStateRoundTripsThroughItsFile)
{
    test_support::TempDir dir;
    CAppErrorLog log(dir.path());
    EXPECT_EQ(log.StatePath(), dir.file("AppErrSentItem.dat"));
    EXPECT_FALSE(log.LoadSentState());
    EXPECT_EQ(log.LastSentTime(), 0);

    AppErrorRecord record;
    record.time = 1700000000;
    ASSERT_TRUE(log.SaveSentState(record));
    CAppErrorLog again(dir.path());
    ASSERT_TRUE(again.LoadSentState());
    EXPECT_EQ(again.LastSentTime(), 1700000000);

    struct Case {
        std::int64_t time;
        bool sent;
    };
    for (const Case& c : {Case{1699999999, true}, Case{1700000000, true}, Case{1700000001, false}}) {
        AppErrorRecord r;
        r.time = c.time;
        EXPECT_EQ(again.IsAlreadySent(r), c.sent) << c.time;
    }
}

TEST(AppErrorLog, DamagedStateFileCountsAsNothingSent)
{
    for (const char* text : {"", "abc", "-5", "\n\n"}) {
        test_support::TempDir dir;
        std::ofstream(dir.file("AppErrSentItem.dat")) << text;
        CAppErrorLog log(dir.path());
        EXPECT_FALSE(log.LoadSentState()) << text;
        EXPECT_EQ(log.LastSentTime(), 0) << text;
    }
}

TEST(AppErrorLog, ThisPlatformsEventLogYieldsNoRecords)
{
    test_support::TempDir dir;
    CAppErrorLog log(dir.path());
    EXPECT_TRUE(log.CollectAppErrorEvents("exe").empty());
    EXPECT_TRUE(log.CollectAppErrorEvents("").empty());
}
