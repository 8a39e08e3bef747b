#include "report/log_event.h"

#include <chrono>

#include <gtest/gtest.h>

// No statistics logger exists: a call must not even read its arguments, so a
// format whose arguments are missing or a null key is harmless, and a call
// costs next to nothing on the paths that raise events per block.
TEST(LogEvent, ReturnsAtOnceWithoutReadingItsArguments)
{
    LogEvent(32, "LOG::LOG_CRASH_ITEM", 0, 0, "%s %s %s %s %s");
    LogEvent(9, nullptr, 1, 2, nullptr);
    LogEvent(13, "LOG::LOG_DOWN_RATE", 0xFFFFFFFFu, 0xFFFFFFFFu, "%u", 5u);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000000; ++i)
        LogEvent(22, "LOG::LOG_PEER_CONN", static_cast<std::uint32_t>(i), 0, "%I64d,%d,%d", 1ull, 2, 1);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              2000);
}
