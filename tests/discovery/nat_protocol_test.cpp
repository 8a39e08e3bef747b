#include "discovery/nat_protocol.h"

#include <gtest/gtest.h>

#include "discovery_test_util.h"
#include "foundation/cmd_packet.h"

namespace {

using discovery::DecodeNatMessage;
using discovery::EncodeNatMessage;
using discovery::NatMessage;

TEST(NatProtocolTest, EveryCommandRoundTrips)
{
    for (std::uint16_t command = discovery::NAT_HANDSHAKE; command <= discovery::NAT_HEARTBEAT_ACK; ++command) {
        SCOPED_TRACE(command);
        NatMessage m;
        m.command = command;
        m.task_id = 0x1122334455667788ULL;
        m.peer.clientid = 42;
        m.peer.publicport = 9000;
        m.kind = discovery::kNatConnectBack;
        m.request_id = 77;
        m.result = 3;
        m.client_id = 99;
        m.seen_ip = 0x0100007F;
        const std::vector<std::uint8_t> bytes = EncodeNatMessage(m);
        NatMessage back;
        ASSERT_TRUE(DecodeNatMessage(bytes.data(), bytes.size(), back));
        EXPECT_EQ(command, back.command);
        if (command != discovery::NAT_REQUEST_REPLY) {
            EXPECT_EQ(m.task_id, back.task_id);
        }
        if (command == discovery::NAT_HANDSHAKE || command == discovery::NAT_REQUEST ||
            command == discovery::NAT_CONNECT_BACK || command == discovery::NAT_HANDSHAKE_ACK) {
            EXPECT_EQ(42u, +back.peer.clientid);
        }
        if (command == discovery::NAT_CONNECT_BACK) {
            EXPECT_EQ(0x0100007Fu, back.seen_ip);
        }
    }
}

TEST(NatProtocolTest, MalformedMessagesAreRefused)
{
    NatMessage hello;
    hello.command = discovery::NAT_HANDSHAKE;
    hello.task_id = 5;
    const std::vector<std::uint8_t> good = EncodeNatMessage(hello);

    CCmdPacket bad_kind(discovery::NAT_HANDSHAKE);
    bad_kind.add_u64(0, 5);
    std::uint8_t record[149] = {0};
    bad_kind.add_bytes(1, record, sizeof(record));
    bad_kind.add_u8(2, 7);
    bad_kind.add_u32(3, 0);
    CCmdPacket long_record(discovery::NAT_HANDSHAKE);
    long_record.add_u64(0, 5);
    std::uint8_t too_long[150] = {0};
    long_record.add_bytes(1, too_long, sizeof(too_long));
    long_record.add_u8(2, 0);
    long_record.add_u32(3, 0);
    CCmdPacket missing(discovery::NAT_REQUEST_REPLY);
    missing.add_u32(0, 0);
    CCmdPacket unknown(68);
    unknown.add_u32(0, 0);
    CCmdPacket old_version(discovery::NAT_HEARTBEAT_ACK, 257);
    old_version.add_u64(0, 1);
    old_version.add_u64(1, 1);

    std::vector<std::uint8_t> truncated = good;
    truncated.resize(good.size() - 1);
    std::vector<std::uint8_t> flagged = good;
    flagged[4] = 1;
    std::vector<std::uint8_t> huge(5000, 0);
    cmd_packet::store_u32(huge.data(), 4996);

    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"kind out of range", bad_kind.build()},
        {"record of 150 bytes", long_record.build()},
        {"missing request id", missing.build()},
        {"not a NAT command", unknown.build()},
        {"version 257", old_version.build()},
        {"truncated", truncated},
        {"flag set", flagged},
        {"larger than the bound", huge},
        {"empty", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NatMessage out;
        EXPECT_FALSE(DecodeNatMessage(c.bytes.data(), c.bytes.size(), out));
    }
    NatMessage out;
    EXPECT_FALSE(DecodeNatMessage(nullptr, 10, out));
    EXPECT_TRUE(DecodeNatMessage(good.data(), good.size(), out));
}

TEST(NatProtocolTest, DamagedMessagesNeverReadOutOfBounds)
{
    std::mt19937 rng(20261207);
    std::vector<std::vector<std::uint8_t>> seeds;
    for (std::uint16_t command = discovery::NAT_HANDSHAKE; command <= discovery::NAT_HEARTBEAT_ACK; ++command) {
        NatMessage m;
        m.command = command;
        seeds.push_back(EncodeNatMessage(m));
    }
    int decoded = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::vector<std::uint8_t> bytes = discovery_test::Mutate(seeds[i % seeds.size()], rng);
        NatMessage out;
        if (DecodeNatMessage(bytes.data(), bytes.size(), out)) {
            ++decoded;
            EXPECT_GE(out.command, discovery::NAT_HANDSHAKE);
            EXPECT_LE(out.command, discovery::NAT_HEARTBEAT_ACK);
            EXPECT_EQ('\0', out.peer.path[63]);
        }
    }
    EXPECT_LT(decoded, 20000);
}

}   // namespace
