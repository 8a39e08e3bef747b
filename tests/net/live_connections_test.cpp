#include "net/io/live_connections.h"

#include "platform/tick.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(LiveConnections, PairPerTaskAndWaitForZero)
{
    static std::uint64_t next_task = 0xB2F00000;   // fresh under --gtest_repeat
    const std::uint64_t task = ++next_task;
    EXPECT_EQ(0u, live_connections::running(task));   // created as (0, 0)
    live_connections::set(task, 1, 0);
    EXPECT_EQ(1u, live_connections::increment(task));
    EXPECT_EQ(2u, live_connections::increment(task));
    EXPECT_EQ(1u, live_connections::set_running(task, 0));
    EXPECT_FALSE(live_connections::wait_for_zero(task, 60, 10));   // bounded
    std::thread t([&] {
        platform::sleep_ms(30);   // the last ones go while the wait runs
        live_connections::decrement(task);
        live_connections::decrement(task);
    });
    EXPECT_TRUE(live_connections::wait_for_zero(task, 5000, 5));
    t.join();
    EXPECT_EQ(0u, live_connections::decrement(task));   // never below 0
    EXPECT_EQ(0u, live_connections::count(task));
    live_connections::increment(task);
    bool give_up_called = false;
    EXPECT_FALSE(live_connections::wait_for_zero(
        task, platform::infinite, 5, [](void* p) { return *static_cast<bool*>(p) = true; }, &give_up_called));
    EXPECT_TRUE(give_up_called);
    live_connections::decrement(task);
}

}   // namespace
