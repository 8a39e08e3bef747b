#include "net/io/deadline_timer.h"

#include "io_test_util.h"
#include "platform/error_codes.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

struct waits {
    std::mutex lock;
    std::vector<std::uint32_t> errors;
    std::vector<std::uint32_t> ticks;
    std::size_t size()
    {
        std::lock_guard<std::mutex> guard(lock);
        return errors.size();
    }
};

void on_wait(void* context, const i_error_code& error)
{
    auto* w = static_cast<waits*>(context);
    std::lock_guard<std::mutex> guard(w->lock);
    w->errors.push_back(error.value);
    w->ticks.push_back(platform::tick_count());
}

// A tick source the test moves by hand.
std::atomic<std::uint32_t> g_fake_tick{0};
std::uint32_t fake_tick()
{
    return g_fake_tick.load();
}

struct fake_clock {
    explicit fake_clock(std::uint32_t start)
    {
        g_fake_tick = start;
        platform::set_tick_source(&fake_tick);
    }
    ~fake_clock() { platform::set_tick_source(nullptr); }
};

TEST(DeadlineTimer, FiresAtOrShortlyAfterItsExpiry)
{
    net_test::io_thread t;
    waits w;
    i_deadline_timer timer(t.io);
    const std::uint64_t start = platform::tick_count64();
    timer.expires_from_now(40);
    timer.async_wait(&on_wait, &w);
    ASSERT_TRUE(test_support::wait_until([&] { return w.size() == 1; }, 2000));
    const std::uint64_t elapsed = platform::tick_count64() - start;
    EXPECT_EQ(0u, w.errors[0]);
    EXPECT_GE(elapsed, 40u);
    EXPECT_LT(elapsed, 40u + 200u);   // generous for a loaded machine; typically a few ms
}

TEST(DeadlineTimer, CancelCompletesEveryPendingWaitWith995)
{
    net_test::io_thread t;
    waits w;
    i_deadline_timer timer(t.io);
    timer.cancel();   // nothing pending: nothing happens
    timer.expires_from_now(60000);
    timer.async_wait(&on_wait, &w);
    timer.async_wait(&on_wait, &w);
    timer.cancel();
    ASSERT_TRUE(test_support::wait_until([&] { return w.size() == 2; }));
    EXPECT_EQ(platform::err::operation_aborted, w.errors[0]);
    EXPECT_EQ(platform::err::operation_aborted, w.errors[1]);
    ASSERT_TRUE(net_test::run_due_timers(t.io));
    EXPECT_EQ(2u, w.size());
}

TEST(DeadlineTimer, ExpiresFromNowCancelsThePendingWaitFirst)
{
    net_test::io_thread t;
    waits w;
    i_deadline_timer timer(t.io);
    timer.expires_from_now(60000);
    timer.async_wait(&on_wait, &w);
    timer.expires_from_now(20);
    timer.async_wait(&on_wait, &w);
    ASSERT_TRUE(test_support::wait_until([&] { return w.size() == 2; }, 2000));
    EXPECT_EQ(platform::err::operation_aborted, w.errors[0]);
    EXPECT_EQ(0u, w.errors[1]);
}

TEST(DeadlineTimer, DestructorCancels)
{
    net_test::io_thread t;
    waits w;
    {
        i_deadline_timer timer(t.io);
        timer.expires_from_now(60000);
        timer.async_wait(&on_wait, &w);
    }
    ASSERT_TRUE(test_support::wait_until([&] { return w.size() == 1; }));
    EXPECT_EQ(platform::err::operation_aborted, w.errors[0]);
}

TEST(DeadlineTimer, ManyTimersFireInExpiryOrder)
{
    net_test::io_thread t;
    waits w;
    std::vector<std::unique_ptr<i_deadline_timer>> timers;
    std::vector<std::uint32_t> delays = {90, 10, 50, 30, 70};
    std::vector<std::uint32_t> expiries;
    for (std::uint32_t d : delays) {
        timers.push_back(std::make_unique<i_deadline_timer>(t.io));
        timers.back()->expires_from_now(d);
        timers.back()->async_wait(&on_wait, &w);
    }
    ASSERT_TRUE(test_support::wait_until([&] { return w.size() == delays.size(); }, 3000));
    for (std::size_t i = 1; i < w.ticks.size(); ++i)
        EXPECT_LE(static_cast<std::int32_t>(w.ticks[i - 1] - w.ticks[i]), 0);
}

// Near the 32-bit wrap: judged by signed distance, a wait whose expiry
// wrapped past zero neither fires early nor sleeps 49.7 days.
TEST(DeadlineTimer, TickWrap)
{
    struct row {
        std::uint32_t start;
        std::uint32_t delay;
        std::uint32_t advance_before_due;   // still pending after this
        std::uint32_t advance_to_due;       // due after this
    };
    const row rows[] = {
        {0xFFFFFF00u, 0x200u, 0x100u, 0x200u},   // expiry 0x100 across the wrap
        {0xFFFFFFF0u, 0x20u, 0x10u, 0x20u},      // expiry 0x10
        {0x7FFFFFF0u, 0x20u, 0x1Fu, 0x20u},      // across the sign boundary
        {0x00000010u, 0x20u, 0x10u, 0x20u},      // no wrap
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.start);
        fake_clock clock(r.start);
        net_test::io_thread t;
        waits w;
        i_deadline_timer timer(t.io);
        timer.expires_from_now(r.delay);
        EXPECT_EQ(r.start + r.delay, timer.expiry());
        timer.async_wait(&on_wait, &w);
        ASSERT_TRUE(net_test::run_due_timers(t.io));
        EXPECT_EQ(0u, w.size());
        g_fake_tick = r.start + r.advance_before_due;
        ASSERT_TRUE(net_test::run_due_timers(t.io));
        EXPECT_EQ(0u, w.size());
        g_fake_tick = r.start + r.advance_to_due;
        ASSERT_TRUE(test_support::wait_until([&] { return w.size() == 1; }, 2000));
        EXPECT_EQ(0u, w.errors[0]);
    }
}

TEST(DeadlineTimer, ExpiryThatWrappedIsAlreadyReachedWhenTheCountHasWrappedToo)
{
    fake_clock clock(0xFFFFFFF0u);
    net_test::io_thread t;
    waits w;
    i_deadline_timer timer(t.io);
    timer.expires_from_now(0x10);   // expiry 0
    g_fake_tick = 0x20;             // the count wrapped past it
    timer.async_wait(&on_wait, &w);
    ASSERT_TRUE(test_support::wait_until([&] { return w.size() == 1; }, 2000));
    EXPECT_EQ(0u, w.errors[0]);
}

}   // namespace
