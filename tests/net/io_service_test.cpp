#include "net/io/io_service.h"

#include "io_test_util.h"
#include "net/io/deadline_timer.h"
#include "net/io/iocp_io_service.h"
#include "platform/error_codes.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

struct recorder {
    std::mutex lock;
    std::vector<int> order;
    std::vector<std::uint32_t> errors;
    std::vector<std::thread::id> threads;
    std::atomic<int> calls{0};
};

struct tagged {
    recorder* r;
    int tag;
};

void record(void* context, const i_error_code& error)
{
    auto* t = static_cast<tagged*>(context);
    std::lock_guard<std::mutex> guard(t->r->lock);
    t->r->order.push_back(t->tag);
    t->r->errors.push_back(error.value);
    t->r->threads.push_back(std::this_thread::get_id());
    ++t->r->calls;
}

// A service that asks for another one in its constructor.
struct inner_service : i_service {
    explicit inner_service(i_io_service& o) : i_service(o) {}
    void shutdown_service() override { ++shutdowns; }
    int shutdowns = 0;
};
struct outer_service : i_service {
    explicit outer_service(i_io_service& o) : i_service(o), inner(o.use_service<inner_service>()) {}
    void shutdown_service() override {}
    inner_service& inner;
};

TEST(IoService, UseServiceCreatesOnceAndDependenciesFirst)
{
    i_io_service io;
    outer_service& outer = io.use_service<outer_service>();
    EXPECT_EQ(&outer, &io.use_service<outer_service>());
    EXPECT_EQ(&outer.inner, &io.use_service<inner_service>());
    EXPECT_EQ(&io.impl(), &io.use_service<i_iocp_io_service>());
}

TEST(IoService, HandlersRunOnTheRunThreadInPostOrder)
{
    recorder r;
    std::vector<tagged> tags;
    for (int i = 0; i < 50; ++i)
        tags.push_back({&r, i});
    net_test::io_thread t;
    for (auto& tag : tags)
        EXPECT_EQ(0u, t.io.post(&record, &tag));
    ASSERT_TRUE(test_support::wait_until([&] { return r.calls.load() == 50; }));
    std::lock_guard<std::mutex> guard(r.lock);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(i, r.order[i]);
        EXPECT_EQ(0u, r.errors[i]);
        EXPECT_EQ(t.thread_id(), r.threads[i]);
    }
}

TEST(IoService, PollRunsWhatIsQueuedOnTheCallingThreadAsTheIoThread)
{
    recorder r;
    std::vector<tagged> tags = {{&r, 0}, {&r, 1}, {&r, 2}};
    i_io_service io;
    for (auto& tag : tags)
        io.post(&record, &tag);
    EXPECT_FALSE(io.impl().on_io_thread());
    EXPECT_EQ(3u, io.poll());
    EXPECT_EQ(0u, io.poll());   // nothing queued: returns at once
    EXPECT_FALSE(io.impl().on_io_thread());
    EXPECT_EQ((std::vector<int>{0, 1, 2}), r.order);
    EXPECT_EQ((std::vector<std::uint32_t>{0, 0, 0}), r.errors);
    EXPECT_EQ(std::vector<std::thread::id>(3, std::this_thread::get_id()), r.threads);
    // A handler sees itself on the I/O thread while poll runs it.
    struct probe {
        i_io_service* io;
        bool inside = false;
    } p{&io};
    io.post(
        [](void* c, const i_error_code&) {
            auto* self = static_cast<probe*>(c);
            self->inside = self->io->impl().on_io_thread();
        },
        &p);
    EXPECT_EQ(1u, io.poll());
    EXPECT_TRUE(p.inside);
    // While another thread runs the service (here inside a handler), poll
    // leaves the queue to it.
    net_test::io_thread t;
    std::atomic<int> step{0};
    t.io.post(
        [](void* c, const i_error_code&) {
            auto* s = static_cast<std::atomic<int>*>(c);
            s->store(1);
            while (s->load() != 2)
                std::this_thread::yield();
        },
        &step);
    ASSERT_TRUE(test_support::wait_until([&] { return step.load() == 1; }));
    tagged late{&r, 3};
    t.io.post(&record, &late);
    EXPECT_EQ(0u, t.io.poll());
    step.store(2);
    ASSERT_TRUE(test_support::wait_until([&] { return r.calls.load() == 4; }));
    std::lock_guard<std::mutex> guard(r.lock);
    EXPECT_EQ(t.thread_id(), r.threads.back());
}

TEST(IoService, StopTwicePostsOneEmptyCompletionAndRunCountsHandlers)
{
    recorder r;
    tagged a{&r, 1};
    tagged b{&r, 2};
    i_io_service io;
    io.post(&record, &a);
    io.post(&record, &b);
    io.stop();
    io.stop();
    EXPECT_EQ(3u, io.impl().port().pending());   // two handlers and one empty completion
    EXPECT_EQ(2u, io.run());
    EXPECT_EQ(2, r.calls.load());
    EXPECT_EQ(0u, io.impl().port().pending());
}

TEST(IoService, SetStoppedEndsRunAfterTheCurrentCompletion)
{
    recorder r;
    tagged a{&r, 1};
    tagged b{&r, 2};
    i_io_service io;
    struct ctx {
        i_io_service* io;
        recorder* r;
    } c{&io, &r};
    io.post([](void* p, const i_error_code&) { static_cast<ctx*>(p)->io->set_stopped(); }, &c);
    io.post(&record, &a);
    io.post(&record, &b);
    EXPECT_EQ(0u, io.run());   // the completion that set the byte ends the loop uncounted
    EXPECT_EQ(0, r.calls.load());
}

TEST(IoService, PauseParksTheThreadAndRestartRunsWhatWasPostedInOrder)
{
    recorder r;
    std::vector<tagged> tags;
    for (int i = 0; i < 5; ++i)
        tags.push_back({&r, i});
    net_test::io_thread t;
    ASSERT_TRUE(t.io.pause());
    for (auto& tag : tags)
        t.io.post(&record, &tag);
    platform::sleep_ms(30);
    EXPECT_EQ(0, r.calls.load());   // parked: nothing runs
    t.io.restart();
    ASSERT_TRUE(test_support::wait_until([&] { return r.calls.load() == 5; }));
    {
        std::lock_guard<std::mutex> guard(r.lock);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(i, r.order[i]);
    }
    // Pause and restart repeat.
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(t.io.pause());
        t.io.restart();
    }
    EXPECT_TRUE(t.stop());
}

TEST(IoService, PausesNestUntilEachIsRestarted)
{
    recorder r;
    tagged a{&r, 1};
    net_test::io_thread t;
    ASSERT_TRUE(t.io.pause());
    ASSERT_TRUE(t.io.pause());   // already parked: returns at once, parked
    t.io.post(&record, &a);
    t.io.restart();
    platform::sleep_ms(30);
    EXPECT_EQ(0, r.calls.load());   // the second pause still holds the thread
    t.io.restart();
    ASSERT_TRUE(test_support::wait_until([&] { return r.calls.load() == 1; }));
    t.io.restart();   // without a pause: nothing
    ASSERT_TRUE(t.io.pause());
    t.io.restart();
}

TEST(IoService, PauseFromTheIoThreadOrWithoutRunnerReturns)
{
    {
        net_test::io_thread t;
        std::atomic<int> result{-1};
        struct ctx {
            i_io_service* io;
            std::atomic<int>* result;
        } c{&t.io, &result};
        t.io.post(
            [](void* p, const i_error_code&) {
                auto* x = static_cast<ctx*>(p);
                x->result->store(x->io->pause() ? 1 : 0);
            },
            &c);
        ASSERT_TRUE(test_support::wait_until([&] { return result.load() != -1; }));
        EXPECT_EQ(0, result.load());
    }
    i_io_service io;
    io.stop();
    EXPECT_FALSE(io.pause());   // stopped and nobody runs it: no hang
}

TEST(IoService, AFailedPauseLeavesNothingToRestart)
{
    i_io_service io;
    const std::uint64_t start = platform::tick_count64();
    EXPECT_FALSE(io.pause());   // nobody runs it: gives up within its bound
    EXPECT_LT(platform::tick_count64() - start, 5000u);
    EXPECT_FALSE(io.impl().is_paused());
    // A thread that starts running later is not parked by the stale pause.
    recorder r;
    tagged a{&r, 1};
    platform::Thread runner;
    runner.start([&] { io.run(); });
    io.post(&record, &a);
    EXPECT_TRUE(test_support::wait_until([&] { return r.calls.load() == 1; }));
    ASSERT_TRUE(io.pause());
    io.restart();
    io.stop();
    EXPECT_TRUE(runner.join_for(5000));
}

TEST(IoService, StopWhileParkedEndsRun)
{
    net_test::io_thread t;
    ASSERT_TRUE(t.io.pause());
    t.io.stop();
    EXPECT_TRUE(test_support::wait_until([&] { return t.done(); }, 3000));
    t.io.restart();
}

TEST(IoService, StoppedReportsEveryWayOfEnding)
{
    for (int way = 0; way < 3; ++way) {
        i_io_service io;
        EXPECT_FALSE(io.stopped());
        if (way == 0)
            io.stop();
        else if (way == 1)
            io.set_stopped();
        else
            io.shutdown();
        EXPECT_TRUE(io.stopped()) << way;
    }
}

TEST(IoService, ShutdownDropsQueuedHandlersAndRefusesPosts)
{
    recorder r;
    tagged a{&r, 1};
    i_io_service io;
    io.post(&record, &a);
    io.shutdown();
    EXPECT_NE(0u, io.post(&record, &a));
    EXPECT_EQ(0u, io.impl().port().pending());
    EXPECT_EQ(0, r.calls.load());
}

// What the completion of each transfer kind hands its handler.
TEST(IoService, TransferCompletionsMapTheirErrors)
{
    struct row {
        std::uint32_t kind;
        std::uint32_t error;
        std::uint32_t bytes;
        std::uint32_t expected;
    };
    const row rows[] = {
        {i_iocp_io_service::kind_send, 64, 0, 995},   // network name deleted: cancelled
        {i_iocp_io_service::kind_send, 0, 0, 0},
        {i_iocp_io_service::kind_send, 10054, 0, 10054},
        {i_iocp_io_service::kind_receive, 64, 0, 995},
        {i_iocp_io_service::kind_receive, 0, 0, 38},   // nothing read: the peer closed
        {i_iocp_io_service::kind_receive, 0, 5, 0},
        {i_iocp_io_service::kind_receive, 10054, 0, 10054},
        {i_iocp_io_service::kind_transfer, 0, 0, 0},   // a zero-length transfer stays 0
    };
    for (const row& r : rows) {
        i_io_service io;
        struct result {
            std::uint32_t error = 1;
            std::uint32_t bytes = 1;
        } got;
        io.impl().post_transfer(
            r.kind,
            [](void* p, const i_error_code& e, std::uint32_t n) {
                static_cast<result*>(p)->error = e.value;
                static_cast<result*>(p)->bytes = n;
            },
            &got, r.error, r.bytes);
        io.stop();
        EXPECT_EQ(1u, io.run());
        EXPECT_EQ(r.expected, got.error) << r.kind << " " << r.error;
        EXPECT_EQ(r.bytes, got.bytes);
    }
}

TEST(IoService, PostsFromManyThreadsAllRun)
{
    std::atomic<int> calls{0};
    net_test::io_thread t;
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i) {
        posters.emplace_back([&] {
            for (int j = 0; j < 1000; ++j)
                t.io.post([](void* p, const i_error_code&) { ++*static_cast<std::atomic<int>*>(p); }, &calls);
        });
    }
    for (auto& p : posters)
        p.join();
    EXPECT_TRUE(test_support::wait_until([&] { return calls.load() == 4000; }));
}

}   // namespace

// After the I/O thread has ended, whatever is still queued or waiting is
// completed as cancelled on the caller's thread, so nothing keeps holding
// what its handler would have released.
TEST(IoService, AbandonedOperationsCompleteAsCancelledOnceRunHasEnded)
{
    recorder r;
    tagged posted{&r, 1}, waited{&r, 2};
    i_io_service io;
    i_deadline_timer timer(io);
    timer.expires_from_now(60000);
    timer.async_wait(&record, &waited);
    io.post(&record, &posted);
    io.stop();
    // The stop marker is first in the queue only after the post; run takes
    // the post, then the stop.
    EXPECT_EQ(1u, io.run());
    ASSERT_EQ(1, r.calls.load());

    EXPECT_EQ(1u, io.run_abandoned());
    ASSERT_EQ(2, r.calls.load());
    EXPECT_EQ(2, r.order[1]);
    EXPECT_EQ(platform::err::operation_aborted, r.errors[1]);
    EXPECT_EQ(std::this_thread::get_id(), r.threads[1]);
    EXPECT_EQ(0u, io.run_abandoned());

    // After shutdown nothing is queued any more, so nothing runs.
    io.shutdown();
    EXPECT_EQ(0u, io.run_abandoned());
}
