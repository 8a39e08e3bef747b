#include "discovery/peer_info.h"

#include <cstring>

#include <gtest/gtest.h>

#include "discovery/wire_records.h"

namespace {

TEST(PeerInfoTest, RecordsHaveTheirWireSizes)
{
    EXPECT_EQ(149u, sizeof(PeerInfo));
    EXPECT_EQ(298u, sizeof(HostRecord));
    EXPECT_EQ(143u, sizeof(VPeerInfo));
    EXPECT_EQ(7u, sizeof(CisAddress));
    const CisLogonParam param;
    EXPECT_EQ(0u, param.clientid);
    EXPECT_EQ(~std::uint64_t{0}, param.taskid);
    EXPECT_EQ(0, param.peertype);
    EXPECT_EQ(0, param.listenport);
}

TEST(PeerInfoTest, PeerInfoRoundTripsLittleEndianAtItsOffsets)
{
    PeerInfo p{};
    p.clientid = 0x0102030405060708ULL;
    p.publicip = 0x11223344;
    p.publicport = 0x5566;
    p.natip = 0x778899AA;
    p.natport = 0xBBCC;
    p.peertype = PEERTYPE_LAN;
    SetFixedText(p.path, "/a/b");
    SetFixedText(p.hostname, "host");
    std::uint8_t bytes[149];
    discovery::StorePeerInfo(p, bytes);
    EXPECT_EQ(0x08, bytes[0]);
    EXPECT_EQ(0x44, bytes[8]);
    EXPECT_EQ(0x66, bytes[12]);
    EXPECT_EQ(0xAA, bytes[14]);
    EXPECT_EQ(0xCC, bytes[18]);
    EXPECT_EQ(5, bytes[20]);
    EXPECT_EQ('/', bytes[21]);
    EXPECT_EQ('h', bytes[85]);
    const PeerInfo back = discovery::LoadPeerInfo(bytes);
    EXPECT_EQ(0, std::memcmp(&p, &back, sizeof(p)));
}

TEST(PeerInfoTest, TextFieldsFilledToTheEndAreCutAt63)
{
    const struct {
        std::string in;
        std::string stored;
    } cases[] = {
        {"", ""},
        {"short", "short"},
        {std::string(63, 'x'), std::string(63, 'x')},
        {std::string(64, 'y'), std::string(63, 'y')},
        {std::string(200, 'z'), std::string(63, 'z')},
    };
    for (const auto& c : cases) {
        PeerInfo p{};
        std::memset(p.path, 'Q', sizeof(p.path));
        SetFixedText(p.path, c.in);
        EXPECT_EQ(c.stored, FixedText(p.path));
        EXPECT_EQ('\0', p.path[63]);
    }
    // A received record whose texts have no NUL at all.
    std::uint8_t bytes[149];
    std::memset(bytes, 'w', sizeof(bytes));
    const PeerInfo wild = discovery::LoadPeerInfo(bytes);
    EXPECT_EQ(63u, std::strlen(wild.path));
    EXPECT_EQ(63u, std::strlen(wild.hostname));
    std::uint8_t vbytes[143];
    std::memset(vbytes, 'v', sizeof(vbytes));
    const VPeerInfo vwild = discovery::LoadVPeerInfo(vbytes);
    EXPECT_EQ(63u, std::strlen(vwild.path));
    EXPECT_EQ(63u, std::strlen(vwild.hostname));
    char unterminated[64];
    std::memset(unterminated, 'u', sizeof(unterminated));
    EXPECT_EQ(std::string(63, 'u'), FixedText(unterminated));
}

TEST(PeerInfoTest, ListsMustBeWholeRecords)
{
    std::vector<PeerInfo> peers(3);
    peers[2].clientid = 9;
    std::vector<std::uint8_t> bytes = discovery::StorePeerInfoList(peers);
    ASSERT_EQ(447u, bytes.size());
    std::vector<PeerInfo> back;
    ASSERT_TRUE(discovery::LoadPeerInfoList(bytes.data(), bytes.size(), back));
    ASSERT_EQ(3u, back.size());
    EXPECT_EQ(9u, +back[2].clientid);
    EXPECT_FALSE(discovery::LoadPeerInfoList(bytes.data(), bytes.size() - 1, back));
    EXPECT_TRUE(back.empty());
    EXPECT_TRUE(discovery::LoadPeerInfoList(nullptr, 0, back));
    EXPECT_FALSE(discovery::LoadPeerInfoList(nullptr, 149, back));

    std::vector<CisAddress> cis{{0x0A000001, 3334, 2}};
    bytes = discovery::StoreCisAddressList(cis);
    ASSERT_EQ(7u, bytes.size());
    EXPECT_EQ(0x01, bytes[0]);
    EXPECT_EQ(0x0A, bytes[3]);
    std::vector<CisAddress> cis_back;
    ASSERT_TRUE(discovery::LoadCisAddressList(bytes.data(), bytes.size(), cis_back));
    EXPECT_EQ(3334, +cis_back[0].port);
    EXPECT_FALSE(discovery::LoadCisAddressList(bytes.data(), 6, cis_back));
    std::vector<VPeerInfo> vpeers(2);
    bytes = discovery::StoreVPeerInfoList(vpeers);
    std::vector<VPeerInfo> vback;
    EXPECT_TRUE(discovery::LoadVPeerInfoList(bytes.data(), bytes.size(), vback));
    EXPECT_EQ(2u, vback.size());
    EXPECT_FALSE(discovery::LoadVPeerInfoList(bytes.data(), 200, vback));
}

}   // namespace
