#include "report/debug_log.h"

#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "test_helpers.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

using report_test::FakeTick;
using report_test::read_all;
using test_support::wait_until;

namespace {

void write_conf(const test_support::TempDir& dir, const std::string& text)
{
    std::ofstream(dir.file("log.conf"), std::ios::binary | std::ios::trunc) << text;
}

// Stops the process-wide debug log even when a test ends early.
struct StopDebugLog {
    ~StopDebugLog() { DebugLog::Stop(); }
};

}   // namespace

TEST(DebugLog, ReadsTheSwitchesOfLogConf)
{
    struct Case {
        const char* conf;
        int log;
        int data;
        std::uint32_t scan;
    };
    const Case cases[] = {
        {nullptr, 0, 0, 60},
        {"", 0, 0, 60},
        {"LOGSWITCH=3\nDATSWITCH=2\nSCANCONFTIME=5\n", 3, 2, 5},
        {"[log]\r\nlogswitch : 1\r\n; comment\r\n# DATSWITCH=9\r\n", 1, 0, 60},
        {"LOGSWITCH=abc\nDATSWITCH=-1\nSCANCONFTIME=0\n", 0, 0, 60},
        {"LOGSWITCH 4\nSCANCONFTIME=99999999\n", 4, 0, 86400},
    };
    for (const Case& c : cases) {
        StopDebugLog stop;
        test_support::TempDir dir;
        if (c.conf)
            write_conf(dir, c.conf);
        ASSERT_TRUE(DebugLog::Start("p2pclient", dir.path()));
        EXPECT_EQ(DebugLog::LogSwitch(), c.log) << (c.conf ? c.conf : "(none)");
        EXPECT_EQ(DebugLog::DataSwitch(), c.data) << (c.conf ? c.conf : "(none)");
        EXPECT_EQ(DebugLog::ScanSeconds(), c.scan) << (c.conf ? c.conf : "(none)");
        DebugLog::Stop();
        EXPECT_FALSE(DebugLog::IsStarted());
        EXPECT_EQ(DebugLog::LogSwitch(), 0);
    }
}

TEST(DebugLog, WritesLinesAndDataWithinTheirSwitches)
{
    StopDebugLog stop;
    test_support::TempDir dir;
    write_conf(dir, "LOGSWITCH=2\nDATSWITCH=3\n");
    ASSERT_TRUE(DebugLog::Start("p2pclient", dir.path()));
    EXPECT_EQ(DebugLog::LogFilePath(), dir.file("p2pclient_debug.log"));
    DebugLog::WriteLog(3, "%s %d", "length err ", 70000);   // above LOGSWITCH
    DebugLog::WriteLog(2, "%s %d", "length err ", 65537);
    DebugLog::WriteLog(0, "level 0 is never written");
    const char bytes[] = {'a', '\0', 'b'};
    DebugLog::WriteData(3, bytes, sizeof bytes, "recv");
    DebugLog::WriteData(4, bytes, sizeof bytes, "too high");
    const std::string log = read_all(dir.file("p2pclient_debug.log"));
    EXPECT_EQ(log.find("70000"), std::string::npos);
    EXPECT_NE(log.find("length err  65537\n"), std::string::npos);
    EXPECT_EQ(log.find("never"), std::string::npos);
    const std::string data = read_all(dir.file("p2pclient_data.log"));
    EXPECT_NE(data.find(std::string("recv len=3\na\0b\n", 15)), std::string::npos);
    EXPECT_EQ(data.find("too high"), std::string::npos);
    DebugLog::Stop();
    // Stopped: nothing more is written.
    DebugLog::WriteLog(1, "after stop");
    EXPECT_EQ(read_all(dir.file("p2pclient_debug.log")).find("after stop"), std::string::npos);
}

TEST(DebugLog, ThreadRereadsLogConfEveryScanTime)
{
    FakeTick tick;
    StopDebugLog stop;
    test_support::TempDir dir;
    write_conf(dir, "LOGSWITCH=0\nSCANCONFTIME=5\n");
    ASSERT_TRUE(DebugLog::Start("p2pclient", dir.path()));
    DebugLog::WriteLog(1, "off");
    write_conf(dir, "LOGSWITCH=3\nDATSWITCH=1\nSCANCONFTIME=7\n");
    tick.advance(4000);
    platform::sleep_ms(250);
    EXPECT_EQ(DebugLog::LogSwitch(), 0) << "re-read before SCANCONFTIME";
    tick.advance(1000);
    ASSERT_TRUE(wait_until([] { return DebugLog::LogSwitch() == 3; }));
    EXPECT_EQ(DebugLog::DataSwitch(), 1);
    EXPECT_EQ(DebugLog::ScanSeconds(), 7u);
    DebugLog::WriteLog(1, "on");
    EXPECT_NE(read_all(dir.file("p2pclient_debug.log")).find("on\n"), std::string::npos);
    EXPECT_EQ(read_all(dir.file("p2pclient_debug.log")).find("off"), std::string::npos);

    // Deleting log.conf switches the log off at the next re-read.
    platform::delete_file(dir.file("log.conf"));
    tick.advance(7000);
    ASSERT_TRUE(wait_until([] { return DebugLog::LogSwitch() == 0; }));

    const auto start = std::chrono::steady_clock::now();
    DebugLog::Stop();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              1000);
}

TEST(DebugLog, SecondStartKeepsTheFirst)
{
    StopDebugLog stop;
    test_support::TempDir a, b;
    write_conf(a, "LOGSWITCH=1\n");
    ASSERT_TRUE(DebugLog::Start("one", a.path()));
    EXPECT_TRUE(DebugLog::Start("two", b.path()));
    EXPECT_EQ(DebugLog::LogFilePath(), a.file("one_debug.log"));
    DebugLog::Stop();
    DebugLog::Stop();   // idempotent
}
