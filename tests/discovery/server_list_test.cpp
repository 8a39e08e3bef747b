#include "discovery/server_list.h"

#include <thread>

#include <gtest/gtest.h>

namespace {

class ServerListTest : public ::testing::Test {
protected:
    void SetUp() override { CServerList::Instance().Clear(); }
    void TearDown() override { CServerList::Instance().Clear(); }
};

TEST_F(ServerListTest, AddTrimsAndKeepsOneRecordPerTypeHostAndPort)
{
    CServerList& list = CServerList::Instance();
    const struct {
        std::int32_t type;
        const char* host;
        std::uint32_t port;
        std::size_t size_after;
    } steps[] = {
        {1, "ris.example", 3334, 1},
        {1, " \tris.example\r\n", 3334, 1},   // same after trimming
        {1, "ris.example", 3335, 2},          // another port
        {2, "ris.example", 3334, 3},          // another type
        {1, "RIS.example", 3334, 4},          // hosts compare exactly
        {1, " \t\r\n", 3334, 4},              // only white space
        {1, "", 1, 4},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.host);
        list.Add(s.type, {s.host, s.port, -1});
        EXPECT_EQ(s.size_after, list.Size());
    }
    std::vector<ServerRecord> south;
    EXPECT_EQ(1, list.GetByType(1, south));
    ASSERT_EQ(3u, south.size());
    EXPECT_EQ("ris.example", south[0].host);
    EXPECT_EQ(3335u, south[1].port);
    EXPECT_EQ("RIS.example", south[2].host);
    EXPECT_EQ(1, south[0].type);
    std::vector<ServerRecord> none{{"stale", 1, 9}};
    EXPECT_EQ(1, list.GetByType(7, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(ServerListTest, ConcurrentAddsOfOneServerKeepOneRecord)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i)
                CServerList::Instance().Add(1 + i % 2, {"ris.example", 3334, -1});
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(2u, CServerList::Instance().Size());
}

}   // namespace
