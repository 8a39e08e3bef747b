#include "discovery/nat_client.h"

#include <gtest/gtest.h>

namespace {

PeerInfo Peer(std::uint64_t id, std::uint32_t ip = 0x0100007F)
{
    PeerInfo p{};
    p.clientid = id;
    p.publicip = ip;
    p.publicport = 9000;
    return p;
}

struct TickResult {
    std::vector<std::pair<std::uint64_t, PeerInfo>> heartbeats;
    std::vector<PeerInfo> dropped;
    std::vector<CNatClient::PeerKey> expired;
};

TickResult Tick(CNatClient& client, std::uint32_t now)
{
    TickResult r;
    client.Tick(now, r.heartbeats, r.dropped, r.expired);
    return r;
}

TEST(NatClientTest, HeartbeatsEvery20SecondsAndSilentParentsDropAfter65)
{
    CNatClient client;
    client.AddParent(1, Peer(10), 0);
    client.AddParent(1, Peer(11), 0);
    client.AddParent(1, Peer(10), 0);   // known: no second entry
    std::vector<PeerInfo> parents;
    EXPECT_EQ(2, client.GetParents(1, parents));

    const struct {
        std::uint32_t now;
        bool ack_10_before;   // parent 10 answers before this pass
        std::size_t heartbeats;
        std::size_t dropped;
    } steps[] = {
        {0, false, 2, 0},                              // first heartbeats at once
        {19999, false, 0, 0},  {20000, true, 2, 0},    // due again
        {40000, true, 2, 0},   {65001, false, 1, 1},   // 11 never answered: dropped; 10 (acked at 40000) is due
        {105001, false, 0, 1},                         // 10 silent since 40000
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.now);
        if (s.ack_10_before)
            client.OnHeartbeatAck(1, 10, s.now);
        const TickResult r = Tick(client, s.now);
        EXPECT_EQ(s.heartbeats, r.heartbeats.size());
        EXPECT_EQ(s.dropped, r.dropped.size());
    }
    EXPECT_EQ(0, client.GetParents(1, parents));
}

TEST(NatClientTest, ParentAddressesAreCheckedPerTask)
{
    CNatClient client;
    client.AddParent(1, Peer(10, 0x0A000001), 0);
    EXPECT_TRUE(client.IsParentAddress(1, 0x0A000001));
    EXPECT_FALSE(client.IsParentAddress(1, 0x0A000002));
    EXPECT_FALSE(client.IsParentAddress(2, 0x0A000001));
}

TEST(NatClientTest, AwaitedConnectBacksMatchRequestTaskAndPeer)
{
    CNatClient client;
    ASSERT_TRUE(client.BeginNatting(1, 20));
    EXPECT_FALSE(client.BeginNatting(1, 20));   // being natted
    EXPECT_TRUE(client.BeginNatting(2, 20));    // another task
    client.AwaitConnectBack(7, 1, Peer(20), 15000);

    PeerInfo target{};
    EXPECT_FALSE(client.TakeConnectBack(8, 1, 20, target));   // another request
    EXPECT_FALSE(client.TakeConnectBack(7, 2, 20, target));   // another task
    EXPECT_FALSE(client.TakeConnectBack(7, 1, 21, target));   // another peer
    ASSERT_TRUE(client.TakeConnectBack(7, 1, 20, target));
    EXPECT_EQ(20u, +target.clientid);
    EXPECT_FALSE(client.TakeConnectBack(7, 1, 20, target));   // only once
    EXPECT_TRUE(client.BeginNatting(1, 20));                  // the mark went with it

    client.AwaitConnectBack(9, 1, Peer(20), 15000);
    EXPECT_TRUE(Tick(client, 14999).expired.empty());
    const TickResult late = Tick(client, 15000);
    ASSERT_EQ(1u, late.expired.size());
    EXPECT_EQ(CNatClient::PeerKey(1, 20), late.expired[0]);
    EXPECT_TRUE(client.BeginNatting(1, 20));

    client.AwaitConnectBack(10, 1, Peer(20), 15000);
    EXPECT_TRUE(client.CancelConnectBack(10));
    EXPECT_FALSE(client.CancelConnectBack(10));
}

TEST(NatClientTest, DeadlinesNearTheTickWrapAreNeitherEarlyNorLate)
{
    CNatClient client;
    client.BeginNatting(1, 20);
    client.AwaitConnectBack(1, 1, Peer(20), 0xFFFFFFF0u + 15000);   // wraps past zero
    EXPECT_TRUE(Tick(client, 0xFFFFFFF0u).expired.empty());
    EXPECT_TRUE(Tick(client, 100).expired.empty());
    EXPECT_EQ(1u, Tick(client, 0xFFFFFFF0u + 15000).expired.size());
}

TEST(NatClientTest, NattingMarksAreBounded)
{
    CNatClient client;
    int accepted = 0;
    for (std::uint64_t id = 0; id < 300; ++id)
        accepted += client.BeginNatting(1, id) ? 1 : 0;
    EXPECT_EQ(256, accepted);
    client.ClearRequests();
    EXPECT_TRUE(client.BeginNatting(1, 0));
}

}   // namespace
