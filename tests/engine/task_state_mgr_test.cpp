#include "engine/task_state_mgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<std::int64_t> g_now{1000000};
std::int64_t FakeNow()
{
    return g_now.load();
}

class TaskStateMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CTaskStateMgr::SetSecondsSource(&FakeNow);
        g_now = 1000000;
        reg().Clear();
    }
    void TearDown() override
    {
        reg().Clear();
        CTaskStateMgr::SetSecondsSource(nullptr);
    }
    static CTaskStateMgr& reg() { return CTaskStateMgr::Instance(); }
};

TEST_F(TaskStateMgrTest, SetOverwritesAndGetStateReportsIt)
{
    std::uint32_t state = 77;
    EXPECT_FALSE(reg().GetState(5, &state));
    EXPECT_EQ(state, 0u);
    EXPECT_TRUE(reg().Set(5, TASKSTATE_QUEUED));
    EXPECT_TRUE(reg().Exists(5));
    EXPECT_TRUE(reg().GetState(5, &state));
    EXPECT_EQ(state, 1u);
    EXPECT_TRUE(reg().Set(5, TASKSTATE_REMOVED));
    EXPECT_TRUE(reg().GetState(5, &state));
    EXPECT_EQ(state, 4u);
    EXPECT_EQ(reg().Size(), 1u);
}

TEST_F(TaskStateMgrTest, SetStateOnUnknownIdRecordsNothing)
{
    EXPECT_FALSE(reg().SetState(9, TASKSTATE_REMOVED));
    EXPECT_FALSE(reg().Exists(9));
    EXPECT_EQ(reg().Size(), 0u);
}

TEST_F(TaskStateMgrTest, RemoveErasesOnlyKnownIds)
{
    reg().Set(1, TASKSTATE_CREATED);
    EXPECT_TRUE(reg().Remove(1));
    EXPECT_FALSE(reg().Remove(1));
    EXPECT_FALSE(reg().Exists(1));
}

TEST_F(TaskStateMgrTest, DeleteQueueIsFirstInFirstOut)
{
    std::uint64_t id = 55;
    EXPECT_FALSE(reg().PopDeleted(&id));
    EXPECT_EQ(id, 0u);
    reg().PushDeleted(3);
    reg().PushDeleted(1);
    reg().PushDeleted(2);
    std::vector<std::uint64_t> out;
    while (reg().PopDeleted(&id))
        out.push_back(id);
    EXPECT_EQ(out, (std::vector<std::uint64_t>{3, 1, 2}));
}

TEST_F(TaskStateMgrTest, SweepKeepsThirtySecondsAndRunsAtMostEveryTenSeconds)
{
    // Stamp three deleted entries at different ages, one that is only removed.
    reg().Set(30, TASKSTATE_CREATED);
    reg().Set(31, TASKSTATE_CREATED);
    reg().Set(40, TASKSTATE_CREATED);
    reg().Set(4, TASKSTATE_CREATED);
    reg().SetState(4, TASKSTATE_REMOVED);
    g_now = 1000000;
    reg().SetState(31, TASKSTATE_DELETED);   // stamped at t
    g_now = 1000001;
    reg().SetState(30, TASKSTATE_DELETED);   // stamped at t+1
    g_now = 1000010;
    reg().SetState(40, TASKSTATE_DELETED);   // stamped at t+10

    struct Step {
        std::int64_t now;
        bool has30, has31, has40, has4;
    };
    const Step steps[] = {
        {1000031, true, false, true, true},     // 31 s old is swept, 30 s old survives
        {1000040, true, false, true, true},     // within 10 s of the last sweep: nothing
        {1000041, false, false, false, true},   // 40 and 31 s old: swept; state 4 stays
    };
    for (const Step& s : steps) {
        g_now = s.now;
        reg().Sweep();
        EXPECT_EQ(reg().Exists(30), s.has30) << s.now;
        EXPECT_EQ(reg().Exists(31), s.has31) << s.now;
        EXPECT_EQ(reg().Exists(40), s.has40) << s.now;
        EXPECT_EQ(reg().Exists(4), s.has4) << s.now;
    }
    reg().check_invariant();
}

TEST_F(TaskStateMgrTest, SweepOfAnEmptyRegistryDoesNotStartTheInterval)
{
    g_now = 2000000;
    reg().Sweep();   // empty: returns before recording a sweep time
    reg().Set(1, TASKSTATE_CREATED);
    reg().SetState(1, TASKSTATE_DELETED);
    g_now = 2000031;
    reg().Sweep();
    EXPECT_FALSE(reg().Exists(1));
}

TEST_F(TaskStateMgrTest, ConcurrentWritersKeepEveryEntry)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (std::uint64_t i = 0; i < 200; ++i) {
                const std::uint64_t id = std::uint64_t(t) * 1000 + i;
                CTaskStateMgr::Instance().Set(id, TASKSTATE_QUEUED);
                CTaskStateMgr::Instance().SetState(id, TASKSTATE_CREATED);
                CTaskStateMgr::Instance().PushDeleted(id);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(reg().Size(), 800u);
    std::uint64_t id = 0;
    int popped = 0;
    while (reg().PopDeleted(&id))
        ++popped;
    EXPECT_EQ(popped, 800);
    reg().check_invariant();
}

}   // namespace
