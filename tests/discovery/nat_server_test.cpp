#include "discovery/nat_server.h"

#include <gtest/gtest.h>

namespace {

PeerInfo Son(std::uint64_t id, std::uint32_t ip, std::uint16_t port)
{
    PeerInfo p{};
    p.clientid = id;
    p.publicip = ip;
    p.publicport = port;
    return p;
}

TEST(NatServerTest, ConnectBackOrdersGoWhereTheSonWasLastHeard)
{
    CNatServer server;
    std::uint32_t ip = 9;
    std::uint16_t port = 9;
    EXPECT_EQ(CNatServer::TASK_UNKNOWN, server.FindSon(1, 20, ip, port));
    EXPECT_EQ(0u, ip);
    server.AddSon(1, Son(20, 0x0A000001, 9000), 0);
    server.AddSon(1, Son(21, 0, 0), 0);
    EXPECT_EQ(CNatServer::SON_UNKNOWN, server.FindSon(1, 22, ip, port));
    EXPECT_EQ(CNatServer::SON_UNKNOWN, server.FindSon(1, 21, ip, port));   // no address known yet

    ASSERT_EQ(CNatServer::SON_FOUND, server.FindSon(1, 20, ip, port));
    EXPECT_EQ(0x0A000001u, ip);   // before any heartbeat: its record
    EXPECT_EQ(9000, port);
    EXPECT_TRUE(server.OnHeartbeat(1, 20, 0x0B000001, 40000, 10));
    EXPECT_FALSE(server.OnHeartbeat(1, 99, 0x0B000001, 40000, 10));   // not a son: no ack
    EXPECT_FALSE(server.OnHeartbeat(2, 20, 0x0B000001, 40000, 10));
    ASSERT_EQ(CNatServer::SON_FOUND, server.FindSon(1, 20, ip, port));
    EXPECT_EQ(0x0B000001u, ip);   // the NAT's mapping the heartbeats opened
    EXPECT_EQ(40000, port);
}

TEST(NatServerTest, SonsAreKeptOncePerClientAndForgottenAfter180Seconds)
{
    CNatServer server;
    std::vector<PeerInfo> sons;
    server.AddSon(1, Son(20, 1, 1), 0);
    server.AddSon(1, Son(20, 2, 2), 1000);   // refreshed, not added
    server.AddSon(1, Son(21, 1, 1), 0);
    EXPECT_EQ(2, server.GetSons(1, sons));
    EXPECT_EQ(2u, +sons[0].publicip);
    server.OnHeartbeat(1, 21, 5, 5, 100000);
    server.Expire(180000);   // 20 heard 179 s ago
    EXPECT_EQ(2, server.GetSons(1, sons));
    server.Expire(181001);
    ASSERT_EQ(1, server.GetSons(1, sons));
    EXPECT_EQ(21u, +sons[0].clientid);
    server.Expire(300000);
    EXPECT_EQ(0, server.GetSons(1, sons));
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    EXPECT_EQ(CNatServer::TASK_UNKNOWN, server.FindSon(1, 21, ip, port));

    for (std::uint64_t id = 0; id < 250; ++id)
        server.AddSon(3, Son(id, 1, 1), 0);
    EXPECT_EQ(200, server.GetSons(3, sons));
}

}   // namespace
