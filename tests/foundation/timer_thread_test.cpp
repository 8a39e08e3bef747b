#include "foundation/timer_thread.h"

#include "platform/tick.h"
#include "support/ends_within.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records every call; a table of per-timer answers decides re-arming.
class Recorder : public ITimerEvent {
public:
    struct Call {
        std::uint32_t id;
        std::uintptr_t param;
        std::uint64_t at;
    };

    bool OnTimer(std::uint32_t id, std::uintptr_t param) override
    {
        std::function<bool()> hook;
        {
            std::lock_guard<std::mutex> g(mutex);
            calls.push_back(Call{id, param, platform::tick_count64()});
            auto it = hooks.find(id);
            if (it != hooks.end())
                hook = it->second;
        }
        return hook ? hook() : keep;
    }

    std::size_t count(std::uint32_t id)
    {
        std::lock_guard<std::mutex> g(mutex);
        std::size_t n = 0;
        for (const Call& c : calls)
            n += c.id == id;
        return n;
    }

    std::vector<Call> snapshot()
    {
        std::lock_guard<std::mutex> g(mutex);
        return calls;
    }

    std::mutex mutex;
    std::vector<Call> calls;
    std::map<std::uint32_t, std::function<bool()>> hooks;
    bool keep = true;
};

}   // namespace

TEST(TimerThread, FirstCallIsDueAtOnceAndCarriesThePointerSizedParameter)
{
    Recorder r;
    CTimerThread t;
    t.SetEventSink(&r);
    EXPECT_FALSE(t.IsRunning());
    int object = 0;
    const std::uint64_t start = platform::tick_count64();
    ASSERT_TRUE(t.AddTimer(7001, 600000, reinterpret_cast<std::uintptr_t>(&object)));
    EXPECT_TRUE(t.IsRunning());
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(7001) == 1; }, 3000));
    const auto calls = r.snapshot();
    EXPECT_EQ(calls[0].param, reinterpret_cast<std::uintptr_t>(&object));
    EXPECT_LT(calls[0].at - start, 1000u);   // not after its 600 s interval
    t.check_invariant();
    EXPECT_EQ(t.TimerCount(), 1u);
}

TEST(TimerThread, TrueReArmsAtItsIntervalFalseRemoves)
{
    Recorder r;
    r.hooks[2] = [] { return false; };
    CTimerThread t;
    t.SetEventSink(&r);
    ASSERT_TRUE(t.AddTimer(1, 100, 0));
    ASSERT_TRUE(t.AddTimer(2, 10, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(1) >= 4; }, 5000));
    EXPECT_EQ(r.count(2), 1u);   // false removed it
    EXPECT_EQ(t.TimerCount(), 1u);

    // Calls of timer 1 are about its interval apart, never closer.
    std::vector<std::uint64_t> at;
    for (const auto& c : r.snapshot())
        if (c.id == 1)
            at.push_back(c.at);
    for (std::size_t i = 1; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], 95u);
}

TEST(TimerThread, FireNowCallsAtOnceAndOnceMoreWhenAskedDuringACall)
{
    Recorder r;
    CTimerThread t;
    t.SetEventSink(&r);
    std::atomic<int> calls{0};
    r.hooks[1] = [&] {
        if (++calls == 2)
            t.FireNow(1);   // asked while the call runs
        return true;
    };
    ASSERT_TRUE(t.AddTimer(1, 600000, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(1) == 1; }, 3000));
    EXPECT_FALSE(t.FireNow(2));
    EXPECT_TRUE(t.FireNow(1));
    // Not after its 600 s interval: the second call, then the one asked for.
    EXPECT_TRUE(test_support::wait_until([&] { return r.count(1) == 3; }, 3000));
}

TEST(TimerThread, KillTimerAndAddFromInsideOnTimer)
{
    Recorder r;
    CTimerThread t;
    t.SetEventSink(&r);
    std::atomic<int> added{0};
    r.hooks[10] = [&] {
        // A callback adding a timer must not deadlock on the timer list.
        if (added++ == 0)
            t.AddTimer(11, 20, 5);
        return true;
    };
    ASSERT_TRUE(t.AddTimer(10, 20, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(11) >= 2; }, 3000));
    EXPECT_TRUE(t.KillTimer(11));
    EXPECT_FALSE(t.KillTimer(11));
    const std::size_t after_kill = r.count(11);
    // Timer 10 has the same interval: three more of its calls span passes
    // in which 11 would have been due again.
    const std::size_t ten = r.count(10);
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(10) >= ten + 3; }, 3000));
    EXPECT_LE(r.count(11), after_kill + 1);   // at most a call already under way
    EXPECT_EQ(t.TimerCount(), 1u);
}

TEST(TimerThread, StopEndsWithinTheBoundClearsAndCanRestart)
{
    Recorder r;
    std::atomic<bool> in_call{false};
    r.hooks[1] = [&] {
        in_call = true;
        platform::sleep_ms(200);   // a slow callback
        return true;
    };
    CTimerThread t;
    t.SetEventSink(&r);
    ASSERT_TRUE(t.AddTimer(1, 10, 0));
    ASSERT_TRUE(t.AddTimer(2, 100000, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return in_call.load(); }, 3000));
    const std::uint64_t start = platform::tick_count64();
    t.Stop();
    EXPECT_LT(platform::tick_count64() - start, static_cast<std::uint64_t>(CTimerThread::stop_wait_ms));
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.TimerCount(), 0u);
    const std::size_t calls = r.snapshot().size();
    platform::sleep_ms(100);
    EXPECT_EQ(r.snapshot().size(), calls);   // nothing runs after Stop

    ASSERT_TRUE(t.AddTimer(3, 1000, 0));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(test_support::wait_until([&] { return r.count(3) == 1; }, 3000));
}

TEST(TimerThread, StopFromInsideOnTimerAndDestructorStops)
{
    Recorder r;
    auto t = std::make_unique<CTimerThread>();
    t->SetEventSink(&r);
    std::atomic<int> calls{0};
    r.hooks[1] = [&] {
        ++calls;
        t->Stop();   // only asks: the thread cannot wait for itself
        return true;
    };
    ASSERT_TRUE(t->AddTimer(1, 10, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return calls.load() == 1; }, 3000));
    platform::sleep_ms(100);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(t->TimerCount(), 0u);
    const std::uint64_t start = platform::tick_count64();
    t.reset();   // joins the ended thread
    EXPECT_LT(platform::tick_count64() - start, 1000u);
}

TEST(TimerThread, NoWaitForTheThreadHoldsUpItsOtherOperations)
{
    // A Stop waits for a call that itself waits for another thread using
    // the timer: that thread must not queue behind the Stop.
    {
        Recorder r;
        CTimerThread t;
        t.SetEventSink(&r);
        std::atomic<bool> in_call{false};
        std::atomic<bool> stop_called{false};
        std::atomic<bool> seen_running{false};
        r.hooks[1] = [&] {
            in_call = true;
            test_support::wait_until([&] { return stop_called.load(); }, 5000);
            platform::sleep_ms(20);   // the Stop waits for this call by now
            std::thread other([&] { seen_running = t.IsRunning(); });
            other.join();
            return true;
        };
        ASSERT_TRUE(t.AddTimer(1, 600000, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return in_call.load(); }, 3000));
        test_support::ends_within(
            [&] {
                stop_called = true;
                t.Stop();
            },
            5000, "Stop while its last call uses the timer from another thread");
        EXPECT_TRUE(seen_running.load());   // asked while the thread was still held
        EXPECT_FALSE(t.IsRunning());
    }
    // A timer added while a thread asked to stop still finishes its call
    // neither waits for that call nor is lost: the thread carries on.
    {
        Recorder r;
        CTimerThread t;
        t.SetEventSink(&r);
        std::atomic<bool> release{false};
        std::atomic<bool> in_call{false};
        r.hooks[1] = [&] {
            in_call = true;
            test_support::wait_until([&] { return release.load(); }, 10000);
            return true;
        };
        ASSERT_TRUE(t.AddTimer(1, 600000, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return in_call.load(); }, 3000));
        t.RequestStop();
        test_support::ends_within([&] { EXPECT_TRUE(t.AddTimer(2, 600000, 0)); }, 2000,
                                  "AddTimer during the last call of a stopping thread");
        release = true;
        EXPECT_TRUE(test_support::wait_until([&] { return r.count(2) == 1; }, 3000));
        EXPECT_EQ(r.count(1), 1u);
        EXPECT_TRUE(t.IsRunning());
    }
    // Two Stops at once: both return once the thread has ended.
    {
        Recorder r;
        CTimerThread t;
        t.SetEventSink(&r);
        std::atomic<bool> in_call{false};
        r.hooks[1] = [&] {
            in_call = true;
            platform::sleep_ms(100);
            return true;
        };
        ASSERT_TRUE(t.AddTimer(1, 10, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return in_call.load(); }, 3000));
        std::thread first([&] { t.Stop(); });
        t.Stop();
        EXPECT_FALSE(t.IsRunning());
        first.join();
        EXPECT_FALSE(t.IsRunning());
        EXPECT_EQ(t.TimerCount(), 0u);
    }
}

namespace {
// Context switches (wake-ups) of thread `tid` of this process so far.
std::uint64_t thread_switches(long tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::uint64_t sum = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            sum += std::stoull(line.substr(line.find(':') + 1));
    return sum;
}
}   // namespace

TEST(TimerThread, SleepsUntilTheNextTimerIsDue)
{
    Recorder r;
    std::atomic<long> tid{0};
    r.hooks[1] = [&] {
        tid.store(static_cast<long>(::syscall(SYS_gettid)));
        return true;
    };
    CTimerThread t;
    t.SetEventSink(&r);
    const std::uint64_t start = platform::tick_count64();
    ASSERT_TRUE(t.AddTimer(1, 700, 0));
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(1) == 1; }, 3000));
    const std::uint64_t before = thread_switches(tid.load());
    ASSERT_TRUE(test_support::wait_until([&] { return r.count(1) == 2; }, 5000));
    // One wake-up for the call that was due, not one each 50 ms (about 14).
    EXPECT_LE(thread_switches(tid.load()) - before, 4u);
    EXPECT_GE(r.snapshot()[1].at - start, 695u) << "not before its interval";
}

TEST(TimerThread, NoSinkLeavesTimersWaiting)
{
    Recorder r;
    CTimerThread t;
    ASSERT_TRUE(t.AddTimer(1, 10, 0));
    platform::sleep_ms(120);
    EXPECT_EQ(t.TimerCount(), 1u);
    t.SetEventSink(&r);
    EXPECT_TRUE(test_support::wait_until([&] { return r.count(1) >= 1; }, 3000));
}

namespace {
std::atomic<std::uint32_t> g_fake_tick{0};
std::uint32_t fake_tick()
{
    return g_fake_tick.load();
}
struct FakeTick {
    FakeTick() { platform::set_tick_source(&fake_tick); }
    ~FakeTick() { platform::set_tick_source(nullptr); }
};
}   // namespace

TEST(TimerThread, ReArmedTimerAcrossTheTickWrapFiresNeitherEarlyNorLate)
{
    g_fake_tick = 0xFFFFFF00u;
    FakeTick fake;
    Recorder r;
    {
        CTimerThread t;
        t.SetEventSink(&r);
        ASSERT_TRUE(t.AddTimer(1, 0x200, 0));   // next due 0x100, past the wrap
        ASSERT_TRUE(test_support::wait_until([&] { return r.count(1) == 1; }, 3000));
        // Timer 1 is re-armed when its call returns: a timer added now is
        // called in a later pass, so the tick moves only after that.
        ASSERT_TRUE(t.AddTimer(3, 0x10000, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return r.count(3) == 1; }, 3000));
        g_fake_tick = 0xFFFFFFF0u;   // numerically above the due tick, yet before it
        // A new timer is due at once and comes after timer 1 in its pass:
        // once it was called, a pass at this tick has judged timer 1.
        ASSERT_TRUE(t.AddTimer(2, 0x10000, 0));
        ASSERT_TRUE(test_support::wait_until([&] { return r.count(2) == 1; }, 3000));
        EXPECT_EQ(r.count(1), 1u);
        g_fake_tick = 0x100u;
        EXPECT_TRUE(test_support::wait_until([&] { return r.count(1) == 2; }, 3000));
    }
}
