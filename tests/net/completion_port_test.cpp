#include "platform/completion_port.h"

#include "platform/tick.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using platform::CompletionPort;

struct recorder : platform::ready_target {
    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> last{0};
    std::atomic<std::thread::id> thread{};
    void on_ready(std::uint32_t events) override
    {
        last = events;
        thread = std::this_thread::get_id();
        ++calls;
    }
};

TEST(CompletionPort, PacketsComeOutInPostOrder)
{
    CompletionPort port;
    ASSERT_TRUE(port.valid());
    for (std::uint32_t i = 0; i < 40; ++i) {
        platform::completion_packet p;
        p.kind = i;
        p.bytes = i * 2;
        ASSERT_TRUE(port.post(p));
    }
    EXPECT_EQ(40u, port.pending());
    for (std::uint32_t i = 0; i < 40; ++i) {
        platform::completion_packet p;
        ASSERT_EQ(CompletionPort::wait_result::packet, port.get(p, 0));
        EXPECT_EQ(i, p.kind);
        EXPECT_EQ(i * 2, p.bytes);
    }
    platform::completion_packet p;
    EXPECT_EQ(CompletionPort::wait_result::timeout, port.get(p, 0));
}

TEST(CompletionPort, OrderSurvivesWrapAndGrowth)
{
    CompletionPort port;
    std::uint32_t next_in = 0;
    std::uint32_t next_out = 0;
    auto post = [&](int n) {
        for (int i = 0; i < n; ++i) {
            platform::completion_packet p;
            p.kind = next_in++;
            ASSERT_TRUE(port.post(p));
        }
    };
    auto take = [&](int n) {
        for (int i = 0; i < n; ++i) {
            platform::completion_packet p;
            ASSERT_EQ(CompletionPort::wait_result::packet, port.get(p, 0));
            EXPECT_EQ(next_out++, p.kind);
        }
    };
    post(50);
    take(40);
    post(60);   // wraps around the first ring
    take(10);
    post(500);   // grows while wrapped
    take(560);
    EXPECT_EQ(0u, port.pending());
}

TEST(CompletionPort, WaitIsBoundedAndAPostFromAnotherThreadWakesIt)
{
    CompletionPort port;
    platform::completion_packet p;
    const std::uint64_t start = platform::tick_count64();
    EXPECT_EQ(CompletionPort::wait_result::timeout, port.get(p, 30));
    EXPECT_GE(platform::tick_count64() - start, 25u);

    std::thread poster([&] {
        platform::sleep_ms(20);   // the post must come while the wait blocks
        platform::completion_packet q;
        q.kind = 7;
        port.post(q);
    });
    const std::uint64_t woke = platform::tick_count64();
    EXPECT_EQ(CompletionPort::wait_result::packet, port.get(p, 5000));
    EXPECT_LT(platform::tick_count64() - woke, 2000u);
    EXPECT_EQ(7u, p.kind);
    poster.join();
}

// A descriptor's readiness is served inside get, or by the port's transfer
// thread with nobody in get (that thread also takes kicks): either way
// only until it is detached.
TEST(CompletionPort, ReadinessReachesItsTargetUntilDetached)
{
    for (const bool on_transfer_thread : {false, true}) {
        SCOPED_TRACE(on_transfer_thread ? "transfer thread" : "inside get");
        CompletionPort port;
        int fds[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds));
        auto target = std::make_shared<recorder>();
        platform::completion_packet p;
        auto calls_reach = [&](int n) {
            return test_support::wait_until([&] {
                if (!on_transfer_thread)
                    port.get(p, 1);
                return target->calls.load() >= n;
            });
        };
        const std::uint64_t key = port.attach(fds[0], target, on_transfer_thread);
        ASSERT_NE(0u, key);
        ASSERT_TRUE(calls_reach(1));   // the initial writable edge
        EXPECT_NE(0u, target->last.load() & platform::ready_write);
        EXPECT_EQ(on_transfer_thread, std::this_thread::get_id() != target->thread.load());
        const int before = target->calls.load();
        ASSERT_EQ(1, ::write(fds[1], "x", 1));
        ASSERT_TRUE(calls_reach(before + 1));
        EXPECT_NE(0u, target->last.load() & platform::ready_read);
        int called = before + 1;
        if (on_transfer_thread) {
            port.kick(target, platform::ready_read);   // no edge: the call comes anyway
            ASSERT_TRUE(calls_reach(++called));
            EXPECT_EQ(platform::ready_read, target->last.load());
        }

        port.detach(key, fds[0]);
        ASSERT_EQ(1, ::write(fds[1], "y", 1));
        auto later = std::make_shared<recorder>();   // served after anything for `target`
        port.kick(later, platform::ready_read);
        port.get(p, 30);
        if (on_transfer_thread) {
            ASSERT_TRUE(test_support::wait_until([&] { return later->calls.load() == 1; }));
        }
        EXPECT_EQ(called, target->calls.load());
        EXPECT_EQ(1, target.use_count());   // the port let go of it
        port.stop_transfers();
        port.kick(target, platform::ready_read);   // refused once stopped
        EXPECT_EQ(1, target.use_count());
        EXPECT_EQ(0u, port.attach(fds[0], target, true));
        ::close(fds[0]);
        ::close(fds[1]);
    }
}

TEST(CompletionPort, AttachRefusesBadInput)
{
    CompletionPort port;
    EXPECT_EQ(0u, port.attach(-1, std::make_shared<recorder>()));
    EXPECT_EQ(0u, port.attach(0, nullptr));
    port.detach(0, -1);   // nothing to do
}

}   // namespace
