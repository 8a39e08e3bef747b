#include "platform/critical_section.h"

#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// Tries the lock from a second thread and reports whether it was free.
bool free_for_another_thread(CcsLocker& lock)
{
    std::atomic<bool> got{false};
    platform::Thread t;
    t.start(
        [&] {
            if (lock.TryLock()) {
                got = true;
                lock.Unlock();
            }
        },
        "try-lock");
    EXPECT_TRUE(t.join_for(5000));
    return got.load();
}

TEST(CriticalSection, ReenteredOnOneThreadAndHeldUntilTheLastUnlock)
{
    CcsLocker lock;
    lock.Lock();
    // The storage path re-enters its own lock; tried first so a lock that
    // is not recursive fails here instead of hanging.
    ASSERT_TRUE(lock.TryLock());
    lock.Lock();
    EXPECT_FALSE(free_for_another_thread(lock));
    lock.Unlock();
    lock.Unlock();
    EXPECT_FALSE(free_for_another_thread(lock));   // still held once
    lock.Unlock();
    EXPECT_TRUE(free_for_another_thread(lock));
}

TEST(CriticalSection, ScopedGuardLocksThroughTheBaseAndUnlocksOnEveryExit)
{
    CcsLocker lock;
    CLockBase* base = &lock;
    {
        CScopedLock guard(base);
        CScopedLock nested(lock);
        EXPECT_FALSE(free_for_another_thread(lock));
    }
    EXPECT_TRUE(free_for_another_thread(lock));

    try {
        CScopedLock guard(lock);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(free_for_another_thread(lock));
}

TEST(CriticalSection, ExcludesOtherThreads)
{
    CcsLocker lock;
    long counter = 0;   // guarded by the lock only
    constexpr int threads = 4, rounds = 20000;
    platform::Thread workers[threads];
    for (platform::Thread& w : workers)
        w.start(
            [&] {
                for (int i = 0; i < rounds; ++i) {
                    CScopedLock guard(lock);
                    ++counter;
                }
            },
            "counter");
    for (platform::Thread& w : workers)
        ASSERT_TRUE(w.join_for(20000));
    EXPECT_EQ(long(threads) * rounds, counter);
}

}   // namespace
