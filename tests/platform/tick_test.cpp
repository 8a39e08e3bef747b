#include "platform/tick.h"

#include <gtest/gtest.h>

namespace {

std::uint32_t g_fake_now = 0;
std::uint32_t fake_tick()
{
    return g_fake_now;
}

struct FakeClock {
    FakeClock() { platform::set_tick_source(&fake_tick); }
    ~FakeClock() { platform::set_tick_source(nullptr); }
};

}   // namespace

TEST(Tick, ReachedComparesBySignedDistanceAcrossTheWrap)
{
    struct Case {
        std::uint32_t now, deadline;
        bool reached;
    };
    const Case cases[] = {
        {100, 100, true},
        {99, 100, false},
        {0xFFFFFFF0u, 0x10u, false},   // deadline wrapped past zero: not yet
        {0x20u, 0x10u, true},          // after the wrap: reached
        {0x10u, 0xFFFFFFF0u, true},    // deadline just before the wrap: reached
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::tick_reached(c.now, c.deadline), c.reached) << c.now << " vs " << c.deadline;
    EXPECT_EQ(platform::tick_remaining(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(platform::tick_remaining(0x20u, 0x10u), 0u);
}

TEST(Tick, SourceCanBeReplacedAndRestored)
{
    {
        FakeClock clock;
        g_fake_now = 0xFFFFFFFFu;
        EXPECT_EQ(platform::tick_count(), 0xFFFFFFFFu);
        g_fake_now += 2;   // wraps like GetTickCount
        EXPECT_EQ(platform::tick_count(), 1u);
    }
    const std::uint32_t a = platform::tick_count();
    platform::sleep_ms(20);
    const std::uint32_t b = platform::tick_count();
    EXPECT_GE(b - a, 15u);
}

TEST(Tick, SleepLastsAtLeastItsTimeAndWallClockIsSeconds)
{
    const std::uint64_t start = platform::tick_count64();
    platform::sleep_ms(30);
    const std::uint64_t slept = platform::tick_count64() - start;
    EXPECT_GE(slept, 30u);
    EXPECT_LT(slept, 3000u);
    const std::int64_t now = platform::unix_time();
    EXPECT_GT(now, 1500000000);   // seconds, not milliseconds
    EXPECT_LT(now, std::int64_t(1) << 34);
}
