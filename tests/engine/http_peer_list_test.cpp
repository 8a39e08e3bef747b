#include "engine/http_peer_list.h"

#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// Names the tests resolve, without asking any name server.
bool FakeResolve(const std::string& name, std::vector<std::uint32_t>& out)
{
    static const std::map<std::string, std::vector<std::string>> table = {
        {"cdn.example", {"10.0.0.7", "10.0.0.8"}},
        {"one.example", {"192.168.1.20"}},
        {"127.0.0.1", {"127.0.0.1"}},
        {std::string(63, 'a'), {"10.1.2.3"}},
    };
    const auto found = table.find(name);
    if (found == table.end())
        return false;
    for (const std::string& text : found->second)
        out.push_back(platform::parse_ipv4(text));
    return true;
}

PeerInfo Record(std::uint64_t id, const std::string& host, std::uint16_t port, std::uint8_t type = PEERTYPE_HTTP)
{
    PeerInfo p{};
    p.clientid = id;
    p.publicport = port;
    p.peertype = type;
    SetFixedText(p.hostname, host);
    return p;
}

class HttpPeerListTest : public ::testing::Test {
protected:
    void SetUp() override { list.SetResolver(&FakeResolve); }
    CHttpPeerList list;
};

TEST_F(HttpPeerListTest, AddResolvesAndKeepsThePortTheRecordGives)
{
    struct Case {
        const char* host;
        std::uint16_t port;
        bool added;
        const char* address;
        std::uint16_t stored_port;
    } cases[] = {
        {"cdn.example", 0, true, "10.0.0.7", 80},        // no port: the HTTP port
        {"cdn.example", 8080, true, "10.0.0.7", 8080},   // a URL's port stays
        {"one.example", 80, true, "192.168.1.20", 80},
        {"127.0.0.1", 3128, true, "127.0.0.1", 3128},    // a dotted address
        {"unknown.example", 80, false, "0.0.0.0", 80},   // refused, record untouched
        {"", 80, false, "0.0.0.0", 80},                  // no name at all
    };
    std::uint64_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        PeerInfo r = Record(id++, c.host, c.port);
        const std::int32_t before = list.GetCount();
        EXPECT_EQ(c.added, list.AddHttpPeer(&r));
        EXPECT_EQ(before + (c.added ? 1 : 0), list.GetCount());
        EXPECT_EQ(c.address, platform::ipv4_to_text(r.publicip));
        EXPECT_EQ(c.stored_port, +r.publicport);
    }
    std::vector<PeerInfo> all;
    list.GetAll(all);
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ(8080, +all[1].publicport);
    EXPECT_EQ(3128, +all[3].publicport);
    list.check_invariant();
}

TEST_F(HttpPeerListTest, SameClientIdReplacesTheRecord)
{
    PeerInfo first = Record(42, "cdn.example", 80);
    PeerInfo second = Record(42, "one.example", 81);
    ASSERT_TRUE(list.AddHttpPeer(&first));
    ASSERT_TRUE(list.AddHttpPeer(&second));
    EXPECT_EQ(1, list.GetCount());
    std::vector<PeerInfo> all;
    list.GetAll(all);
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ("one.example", FixedText(all[0].hostname));
    EXPECT_EQ(81, +all[0].publicport);
}

TEST_F(HttpPeerListTest, GetAllClearsItsOutputAndListsByClientId)
{
    for (std::uint64_t id : {30u, 10u, 20u}) {
        PeerInfo r = Record(id, "one.example", 80);
        ASSERT_TRUE(list.AddHttpPeer(&r));
    }
    std::vector<PeerInfo> all(5, PeerInfo{});
    list.GetAll(all);
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ(10u, +all[0].clientid);
    EXPECT_EQ(20u, +all[1].clientid);
    EXPECT_EQ(30u, +all[2].clientid);
}

TEST_F(HttpPeerListTest, AHostNameFilledToTheEndIsReadAsSixtyThreeCharacters)
{
    PeerInfo r{};
    r.clientid = 5;
    std::memset(r.hostname, 'a', sizeof(r.hostname));   // no NUL anywhere
    ASSERT_TRUE(list.AddHttpPeer(&r));
    EXPECT_EQ("10.1.2.3", platform::ipv4_to_text(r.publicip));
    std::vector<PeerInfo> all;
    list.GetAll(all);
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ('\0', all[0].hostname[63]);
}

TEST_F(HttpPeerListTest, RealResolverTakesADottedAddressWithoutAnyLookUp)
{
    list.SetResolver(nullptr);
    PeerInfo r = Record(7, "127.0.0.1", 0);
    ASSERT_TRUE(list.AddHttpPeer(&r));
    EXPECT_EQ("127.0.0.1", platform::ipv4_to_text(r.publicip));
    EXPECT_EQ(80, +r.publicport);
}

TEST_F(HttpPeerListTest, AFullListRefusesNewIdsButStillReplaces)
{
    for (std::uint64_t id = 0; id < CHttpPeerList::kMaxPeers; ++id) {
        PeerInfo r = Record(id, "one.example", 80);
        ASSERT_TRUE(list.AddHttpPeer(&r));
    }
    PeerInfo extra = Record(CHttpPeerList::kMaxPeers, "one.example", 80);
    EXPECT_FALSE(list.AddHttpPeer(&extra));
    PeerInfo again = Record(17, "cdn.example", 81);
    EXPECT_TRUE(list.AddHttpPeer(&again));
    EXPECT_EQ(std::int32_t(CHttpPeerList::kMaxPeers), list.GetCount());
}

TEST_F(HttpPeerListTest, ReadersAndWritersOnSeveralThreads)
{
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<PeerInfo> all;
        while (!stop.load()) {
            list.GetAll(all);
            for (const PeerInfo& p : all)
                ASSERT_NE(0, +p.publicport);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            for (std::uint64_t i = 0; i < 200; ++i) {
                PeerInfo r = Record(i % 50 + std::uint64_t(w) * 1000, "cdn.example", std::uint16_t(i % 3));
                list.AddHttpPeer(&r);
            }
        });
    }
    for (auto& t : writers)
        t.join();
    stop.store(true);
    reader.join();
    EXPECT_EQ(150, list.GetCount());
    list.check_invariant();
}

}   // namespace
