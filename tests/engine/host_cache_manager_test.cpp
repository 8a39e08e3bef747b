#include "engine/host_cache_manager.h"

#include "platform/debug_output.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

HostRecord Host(std::uint64_t id, std::uint32_t ip = 0)
{
    HostRecord h{};
    h.peer.clientid = id;
    h.peer.publicip = ip;
    return h;
}

std::uint32_t Ip(const char* dotted)
{
    return inet_addr(dotted);
}

std::vector<std::uint64_t> Ids(const std::vector<HostRecord>& hosts)
{
    std::vector<std::uint64_t> out;
    for (const HostRecord& h : hosts) {
        const std::uint64_t id = h.peer.clientid;   // packed: copy before use
        out.push_back(id);
    }
    return out;
}

class HostCacheManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cache.reset(static_cast<CHostCacheManager*>(CreateHostCacheManager()));
        cache->AddHostCache(task);
    }
    std::uint32_t Count() { return cache->GetHostCount(&task); }

    std::uint64_t task = 42;
    std::unique_ptr<CHostCacheManager> cache;
};

TEST_F(HostCacheManagerTest, At150HostsNothingMoreIsAdded)
{
    struct Case {
        std::size_t before;
        std::size_t batch;
        std::uint32_t after;
    } cases[] = {{150, 3, 150}, {149, 3, 150}, {0, 200, 150}, {10, 5, 15}, {148, 1, 149}};
    for (const Case& c : cases) {
        cache->ClearHosts(task);
        std::vector<HostRecord> first, batch;
        for (std::size_t i = 0; i < c.before; ++i)
            first.push_back(Host(i + 1));
        cache->AddHosts(task, first);
        for (std::size_t i = 0; i < c.batch; ++i)
            batch.push_back(Host(10000 + i));
        cache->AddHosts(task, batch);
        EXPECT_EQ(c.after, Count()) << c.before << "+" << c.batch;
    }
}

TEST_F(HostCacheManagerTest, AKnownClientIdKeepsItsRecord)
{
    cache->AddHosts(task, {Host(1, 111), Host(2, 222)});
    cache->AddHosts(task, {Host(1, 999), Host(1, 888)});
    std::vector<HostRecord> out;
    cache->GetManyHost(task, out, 0);
    ASSERT_EQ(2u, out.size());
    const std::uint32_t ip = out[0].peer.publicip;
    EXPECT_EQ(111u, ip);
}

TEST_F(HostCacheManagerTest, FiveOrFewerAreAllTaken)
{
    cache->AddHosts(task, {Host(3), Host(1), Host(2)});
    std::vector<HostRecord> out{Host(77)};
    cache->GetManyHost(task, out, Ip("10.0.0.2"));
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2, 3}), Ids(out));
    EXPECT_EQ(0u, Count());
    cache->GetManyHost(task, out, 0);
    EXPECT_TRUE(out.empty());
}

TEST_F(HostCacheManagerTest, NearestFiveByDistanceThenClientId)
{
    cache->AddHosts(task, {Host(9, Ip("10.0.0.9")), Host(7, Ip("10.0.0.1")), Host(5, Ip("10.0.0.3")),
                           Host(1, Ip("10.0.0.60")), Host(2, Ip("10.0.0.50")), Host(3, Ip("10.0.0.30")),
                           Host(4, Ip("10.0.0.20")), Host(6, Ip("10.0.0.40"))});
    std::vector<HostRecord> out;
    platform::set_debug_output_enabled(true);   // the trace of the hosts taken
    cache->GetManyHost(task, out, Ip("10.0.0.2"));
    platform::set_debug_output_enabled(false);
    // .3 and .1 (distance 1, ascending client id), .9, .20, .30.
    EXPECT_EQ((std::vector<std::uint64_t>{5, 7, 9, 4, 3}), Ids(out));
    EXPECT_EQ(3u, Count());
    cache->GetManyHost(task, out, Ip("10.0.0.2"));
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2, 6}), Ids(out));
}

TEST_F(HostCacheManagerTest, DistancesAcrossTheWholeAddressRange)
{
    // The difference is taken as a signed 32-bit value: from 0, 0xffffffff
    // is a neighbour (distance 1) and 0x80000000, the smallest difference,
    // the farthest of all.
    cache->AddHosts(task, {Host(1, 0xffffffffu), Host(2, 0x80000000u), Host(3, 1), Host(4, 0x7fffffffu),
                           Host(5, 0x80000001u), Host(6, 2), Host(7, 0xfffffffeu)});
    std::vector<HostRecord> out;
    cache->GetManyHost(task, out, 0);
    // 1 and 3 at distance 1, 6 and 7 at 2, then 4 and 5 at 0x7fffffff.
    EXPECT_EQ((std::vector<std::uint64_t>{1, 3, 6, 7, 4}), Ids(out));
    cache->AddHosts(task, {Host(10, 0), Host(11, 5), Host(12, 0xfffffff0u), Host(13, 0x10), Host(14, 0x20)});
    cache->GetManyHost(task, out, 0xffffffffu);
    // 10 at 1, 11 at 6, 12 at 15, 13 at 17, 14 at 33; 5 and 2 lie about
    // 2^31 away and stay.
    EXPECT_EQ((std::vector<std::uint64_t>{10, 11, 12, 13, 14}), Ids(out));
    cache->GetManyHost(task, out, 0);
    EXPECT_EQ((std::vector<std::uint64_t>{2, 5}), Ids(out));
}

TEST_F(HostCacheManagerTest, RandomHostsTakeATail)
{
    std::vector<HostRecord> hosts;
    for (std::uint64_t i = 1; i <= 12; ++i)
        hosts.push_back(Host(i));
    cache->AddHosts(task, hosts);
    std::vector<HostRecord> out;
    cache->GetRandomHosts(task, out);
    // A skip of 1..6 hosts: 6 to 11 taken, the last always among them.
    EXPECT_GE(out.size(), 6u);
    EXPECT_LE(out.size(), 11u);
    EXPECT_EQ(12u, Ids(out).back());
    EXPECT_EQ(12u - out.size(), Count());
    // Each call keeps the first `skip` hosts (1 to size - 6); five or fewer
    // are all taken at once.
    for (int i = 0; i < 12 && Count() > 0; ++i) {
        const std::uint32_t before = Count();
        cache->GetRandomHosts(task, out);
        EXPECT_EQ(before, out.size() + Count());
        if (before <= 5) {
            EXPECT_EQ(0u, Count());
        } else {
            EXPECT_GE(Count(), 1u);
            EXPECT_LE(Count(), std::max<std::uint32_t>(1, before - 6));
        }
    }
    EXPECT_EQ(0u, Count());
    for (std::uint32_t i = 0; i < 50; ++i) {
        const std::uint32_t r = CHostCache::RandomRange(3, 8);
        EXPECT_GE(r, 3u);
        EXPECT_LT(r, 8u);
    }
    EXPECT_EQ(5u, CHostCache::RandomRange(5, 5));
    EXPECT_EQ(9u, CHostCache::RandomRange(9, 2));
}

TEST_F(HostCacheManagerTest, UnknownTasksAndLifecycle)
{
    const std::uint64_t other = 7;
    cache->AddHosts(other, {Host(1)});
    EXPECT_EQ(0u, cache->GetHostCount(&other));
    EXPECT_EQ(0u, cache->GetHostCount(nullptr));
    std::vector<HostRecord> out{Host(1)};
    cache->GetManyHost(other, out, 0);
    EXPECT_EQ(1u, out.size());   // untouched for an unknown task
    cache->AddHosts(task, {Host(1), Host(2)});
    cache->AddHostCache(task);   // present already: keeps its hosts
    EXPECT_EQ(2u, Count());
    cache->RemoveHostCache(task);
    EXPECT_EQ(0u, Count());
    cache->SetCmdEvent(nullptr);
    DestroyHostCacheManager(nullptr);
}

}   // namespace
