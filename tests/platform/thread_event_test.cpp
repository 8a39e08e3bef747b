#include "platform/event.h"
#include "platform/thread.h"
#include "platform/tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
    ASSERT_TRUE(t.start(
        [&] {
            ran = true;
            stop.wait();
        },
        "test"));
    EXPECT_FALSE(t.start([] {}));
    EXPECT_FALSE(t.join_for(30));
    EXPECT_TRUE(t.running());
    stop.set();
    EXPECT_TRUE(t.join_for(3000));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(t.joinable());
    EXPECT_TRUE(t.join_for(0));
}

TEST(Thread, EachThreadHasItsOwnStableId)
{
    const std::uint32_t mine = platform::current_thread_id();
    EXPECT_EQ(mine, platform::current_thread_id());
    std::atomic<std::uint32_t> first{0}, second{0}, again{0};
    platform::Thread a, b;
    ASSERT_TRUE(a.start(
        [&] {
            first = platform::current_thread_id();
            again = platform::current_thread_id();
        },
        "id-a"));
    ASSERT_TRUE(a.join_for(5000));
    ASSERT_TRUE(b.start([&] { second = platform::current_thread_id(); }, "id-b"));
    ASSERT_TRUE(b.join_for(5000));
    EXPECT_EQ(first.load(), again.load());
    EXPECT_NE(mine, first.load());
    EXPECT_NE(mine, second.load());
}

TEST(Thread, RunningIsSafeToAskWhileAnotherThreadStartsAndJoinsIt)
{
    // A logon thread restarted by one thread while another asks whether it
    // runs: the thread sanitizer sees any unguarded handle.
    platform::Thread t;
    std::atomic<bool> done{false};
    std::atomic<int> asked{0};
    std::thread watcher([&] {
        while (!done.load()) {
            static_cast<void>(t.running());
            ++asked;
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(t.start([] {}, "restarted"));
        EXPECT_TRUE(t.join_for(5000));
    }
    const std::uint32_t start = platform::tick_count();
    while (asked.load() == 0 && platform::tick_count() - start < 5000)
        std::this_thread::yield();
    done = true;
    watcher.join();
    EXPECT_GT(asked.load(), 0);
    EXPECT_FALSE(t.running());
}
