#include "platform/event_log.h"

#include "platform/debug_output.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

TEST(EventLog, OpensButHoldsNoRecords)
{
    platform::EventLogReader log;
    EXPECT_FALSE(log.open(""));
    ASSERT_TRUE(log.open("Application"));
    EXPECT_TRUE(log.is_open());
    EXPECT_EQ(log.record_count(), 0u);
    std::vector<platform::EventLogRecord> records(3);
    EXPECT_FALSE(log.read(records));
    EXPECT_TRUE(records.empty());
    log.close();
    EXPECT_FALSE(log.is_open());
}

TEST(DebugOutput, OffUnlessSwitchedOn)
{
    platform::set_debug_output_enabled(false);
    testing::internal::CaptureStderr();
    platform::debug_output("hidden\n");
    platform::set_debug_output_enabled(true);
    platform::debug_output(std::string("shown\n"));
    platform::debug_output(static_cast<const char*>(nullptr));
    platform::set_debug_output_enabled(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown\n");
}

// The switch is read from the environment once, at first use: each case runs
// in a freshly started copy of this program, which sees the variable as set.
TEST(DebugOutputDeathTest, TheEnvironmentSwitchesItOnAtStart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    {
        test_support::ScopedEnv on("VR_DEBUG_OUTPUT", "1");
        EXPECT_EXIT(
            {
                platform::debug_output("from the environment\n");
                std::_Exit(platform::debug_output_enabled() ? 0 : 1);
            },
            testing::ExitedWithCode(0), "from the environment");
    }
    for (const char* value : {"0", "", "yes"}) {
        test_support::ScopedEnv off("VR_DEBUG_OUTPUT", value);
        EXPECT_EXIT(
            {
                platform::debug_output("hidden\n");
                std::_Exit(platform::debug_output_enabled() ? 1 : 0);
            },
            testing::ExitedWithCode(0), "")
            << value;
    }
}
