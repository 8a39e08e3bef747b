#include "net/io/counting_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(CountingEvent, LosesNoPost)
{
    CCountingEvent e;
    EXPECT_FALSE(e.Wait(0));
    e.Post();
    e.Post();
    e.Post();
    EXPECT_EQ(3u, e.Count());
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(10));
    EXPECT_EQ(0u, e.Count());
}

TEST(CountingEvent, OneWaiterManyPosters)
{
    CCountingEvent e;
    std::atomic<int> consumed{0};
    std::thread waiter([&] {
        while (consumed.load() < 4000 && e.Wait(5000))
            ++consumed;
    });
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i)
        posters.emplace_back([&] {
            for (int j = 0; j < 1000; ++j)
                e.Post();
        });
    for (auto& p : posters)
        p.join();
    waiter.join();
    EXPECT_EQ(4000, consumed.load());
}

}   // namespace
