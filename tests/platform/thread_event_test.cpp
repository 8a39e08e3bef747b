#include "platform/event.h"
#include "platform/thread.h"
#include "platform/tick.h"

#include <gtest/gtest.h>

#include <atomic>

TEST(Event, AutoResetReleasesOneWaitAndClears)
{
    platform::Event e(platform::Event::Reset::automatic);
    EXPECT_FALSE(e.wait(10));
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_FALSE(e.wait(10));
}

TEST(Event, ManualResetStaysSetUntilReset)
{
    platform::Event e(platform::Event::Reset::manual);
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(0));
    e.reset();
    EXPECT_FALSE(e.wait(5));
}

TEST(Event, TimedWaitLastsAboutItsBound)
{
    platform::Event e;
    const std::uint32_t start = platform::tick_count();
    EXPECT_FALSE(e.wait(50));
    const std::uint32_t waited = platform::tick_count() - start;
    EXPECT_GE(waited, 45u);
    EXPECT_LT(waited, 1000u);
}

TEST(Thread, BoundedJoinReportsARunningThreadAndThenJoinsIt)
{
    platform::Event stop(platform::Event::Reset::manual);
    std::atomic<bool> ran{false};
    platform::Thread t;
    ASSERT_TRUE(t.start([&] { ran = true; stop.wait(); }, "test"));
    EXPECT_FALSE(t.start([] {}));
    EXPECT_FALSE(t.join_for(30));
    EXPECT_TRUE(t.running());
    stop.set();
    EXPECT_TRUE(t.join_for(3000));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(t.joinable());
    EXPECT_TRUE(t.join_for(0));
}
