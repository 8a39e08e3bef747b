#include "platform/event_log.h"

#include "platform/debug_output.h"

#include <gtest/gtest.h>

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
