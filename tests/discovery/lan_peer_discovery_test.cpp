#include "discovery/lan_peer_discovery.h"

#include <gtest/gtest.h>

#include "discovery_test_util.h"
#include "foundation/cmd_packet.h"
#include "platform/tick.h"

namespace {

using test_support::wait_until;

// A discovery on free ports whose queries go to `target` on 127.0.0.1.
void Prepare(CLanPeerDiscovery& lan, std::uint64_t client_id, std::uint16_t listen_port)
{
    lan.SetParams(client_id, listen_port);
    lan.SetPorts(0, 0);
    lan.SetQueryTarget("127.0.0.1", 0);
}

class LanPeerDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Prepare(a, 1, 9100);
        Prepare(b, 2, 9200);
        ASSERT_TRUE(a.Start());
        ASSERT_TRUE(b.Start());
        a.SetQueryTarget("127.0.0.1", b.GetQueryPort());
        b.SetQueryTarget("127.0.0.1", a.GetQueryPort());
    }

    CLanPeerDiscovery a;
    CLanPeerDiscovery b;
};

TEST_F(LanPeerDiscoveryTest, APeerAnswersForItsTasksOnly)
{
    a.AddTask(7);
    a.AddTask(8);
    b.AddTask(7);
    a.SendQuery(8);   // b does not run task 8
    a.SendQuery(7);
    std::map<std::uint64_t, LanPeer> peers;
    ASSERT_TRUE(wait_until([&] {
        a.GetPeers(7, peers);
        return peers.size() == 1;
    }));
    EXPECT_EQ(2u, peers.begin()->first);
    EXPECT_EQ(9200, peers[2].port);
    EXPECT_EQ("127.0.0.1", peers[2].ip);
    // Each side reads its datagrams in order on one thread: an answer for 8
    // would have come, and been taken, before the one for 7.
    a.GetPeers(8, peers);
    EXPECT_TRUE(peers.empty());

    // A removed task is not answered for any more and its peers go. The
    // answer to a later query for another task shows the query for 7 was
    // handled.
    b.RemoveTask(7);
    a.RemoveTask(7);
    a.AddTask(7);
    a.AddTask(10);
    b.AddTask(10);
    a.SendQuery(7);
    a.SendQuery(10);
    ASSERT_TRUE(wait_until([&] {
        a.GetPeers(10, peers);
        return peers.size() == 1;
    }));
    a.GetPeers(7, peers);
    EXPECT_TRUE(peers.empty());
}

TEST_F(LanPeerDiscoveryTest, OwnQueriesAndOddDatagramsGetNoAnswer)
{
    a.AddTask(7);
    a.SetQueryTarget("127.0.0.1", a.GetQueryPort());   // to itself
    a.SendQuery(7);

    platform::socket_t udp = platform::udp_socket();
    std::uint32_t error = 0;
    std::uint8_t query[17] = {0};
    cmd_packet::store_u64(query, 7);
    cmd_packet::store_u64(query + 8, 3);
    for (std::size_t length : {0u, 1u, 15u, 17u})
        platform::send_to(udp, query, length, discovery_test::Loopback(), a.GetQueryPort(), error);
    std::uint8_t answer[18] = {0};
    cmd_packet::store_u64(answer, 7);
    cmd_packet::store_u64(answer + 8, 5);
    cmd_packet::store_u16(answer + 16, 0);   // no port: not a usable peer
    platform::send_to(udp, answer, sizeof(answer), discovery_test::Loopback(), a.GetAnswerPort(), error);

    // A well-formed query of the right length is answered. The reader takes
    // one datagram of each socket per round, in order, so by its answer all
    // that came before on both sockets has been handled.
    platform::send_to(udp, query, 16, discovery_test::Loopback(), a.GetQueryPort(), error);
    ASSERT_EQ(1, platform::wait_readable(udp, 2000));
    std::uint8_t got[32];
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(18, platform::receive_from(udp, got, sizeof(got), &ip, &port, error));
    EXPECT_EQ(7u, cmd_packet::load_u64(got));
    EXPECT_EQ(1u, cmd_packet::load_u64(got + 8));
    EXPECT_EQ(9100, cmd_packet::load_u16(got + 16));
    EXPECT_EQ(0, platform::wait_readable(udp, 0)) << "one answer only: none for the odd queries";
    std::map<std::uint64_t, LanPeer> peers;
    a.GetPeers(7, peers);
    EXPECT_TRUE(peers.empty());
    platform::close_socket(udp);
}

// Answers are taken only for tasks of the set, and a flood of answers from
// ever new client ids keeps a bounded number of peers per task.
TEST_F(LanPeerDiscoveryTest, AnswerFloodsAreBoundedPerTask)
{
    a.AddTask(7);
    platform::socket_t udp = platform::udp_socket();
    std::uint32_t error = 0;
    std::uint8_t answer[18] = {0};
    for (std::uint64_t id = 100; id < 400; ++id) {
        cmd_packet::store_u64(answer, id % 3 == 0 ? 9 : 7);   // task 9 is not in the set
        cmd_packet::store_u64(answer + 8, id);
        cmd_packet::store_u16(answer + 16, 9300);
        platform::send_to(udp, answer, sizeof(answer), discovery_test::Loopback(), a.GetAnswerPort(), error);
        if (id % 50 == 0)
            platform::sleep_ms(5);   // let the reader keep up with the socket buffer
    }
    std::map<std::uint64_t, LanPeer> peers;
    std::size_t last = 0;
    // Settled: the count stays the same across two looks 100 ms apart.
    ASSERT_TRUE(wait_until([&] {
        a.GetPeers(7, peers);
        const bool settled = !peers.empty() && peers.size() == last;
        last = peers.size();
        platform::sleep_ms(100);
        return settled;
    }));
    EXPECT_GE(peers.size(), 32u);
    EXPECT_LE(peers.size(), 64u);
    for (const auto& p : peers) {
        EXPECT_EQ(p.first, p.second.clientid);
        EXPECT_NE(0u, p.first % 3);
        EXPECT_EQ(9300, p.second.port);
    }
    a.GetPeers(9, peers);
    EXPECT_TRUE(peers.empty());
    platform::close_socket(udp);
}

TEST(LanDefaultsTest, AnswersOnPort7000AndQueriesOnPort7001)
{
    CLanPeerDiscovery lan;
    EXPECT_EQ(7000, lan.GetAnswerPort());
    EXPECT_EQ(7001, lan.GetQueryPort());
}

TEST(LanConnCountTest, CountsLiveConnectionsAndNeverGoesBelowNone)
{
    CLanPeerDiscovery lan;
    lan.DecLanConnCount();
    EXPECT_EQ(0, lan.GetLanConnCount());
    lan.IncLanConnCount();
    lan.IncLanConnCount();
    EXPECT_EQ(2, lan.GetLanConnCount());
    lan.DecLanConnCount();
    lan.DecLanConnCount();
    EXPECT_EQ(0, lan.GetLanConnCount());   // the last connection gone: none left
    lan.DecLanConnCount();
    EXPECT_EQ(0, lan.GetLanConnCount());
}

TEST(LanInstanceTest, TheProcessWideInstanceIsClearedWithItsObject)
{
    EXPECT_EQ(nullptr, CLanPeerDiscovery::GetInstance());
    {
        CLanPeerDiscovery lan;
        CLanPeerDiscovery::SetInstance(&lan);
        EXPECT_EQ(&lan, CLanPeerDiscovery::GetInstance());
    }
    EXPECT_EQ(nullptr, CLanPeerDiscovery::GetInstance());
}

}   // namespace
