#include "net/conn/peer_wire.h"

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "foundation/tlv_packet.h"
#include "peer_test_packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace peer_wire;
using bytes = std::vector<std::uint8_t>;

using peer_test::Le;

using peer_test::Raw;

TEST(PeerWireTest, HaveIsFiftyBytesExactlyAsTheWireCarriesIt)
{
    bytes out;
    build_have({1, 2, 5}, out);
    const bytes expected = {0x2e, 0x00, 0x00, 0x00, 0x00, 0x44, 0x00, 0x02, 0x01, 0x00, 0x00, 0x03, 0x00,
                            0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(out, expected);
}

TEST(PeerWireTest, LengthPrefixBounds)
{
    struct Case {
        std::uint32_t raw;
        bool ok;
    } cases[] = {{0, false},           {1, true},           {65535, true}, {65536, true}, {65537, false},
                 {0x80000000u, false}, {0xFFFFFFFFu, false}};
    for (const Case& c : cases) {
        std::uint8_t p[4];
        cmd_packet::store_u32(p, c.raw);
        EXPECT_EQ(length_ok(read_length(p)), c.ok) << c.raw;
    }
}

TEST(PeerWireTest, PacketCheckStatusesInTheirOrder)
{
    bytes good;
    build_have({1, 2, 5}, good);
    EXPECT_EQ(check_packet(good.data(), good.size()), 5);
    EXPECT_EQ(check_packet(nullptr, 50), 0);
    EXPECT_EQ(check_packet(good.data(), 11), 3);

    bytes bad_prefix = good;
    bad_prefix[0] = 0x2f;
    EXPECT_EQ(check_packet(bad_prefix.data(), bad_prefix.size()), 2);

    bytes flag = good;
    flag[4] = 1;
    EXPECT_EQ(check_packet(flag.data(), flag.size()), 1);

    const bytes v257 = Raw(cmd_have, {{3, Le(5, 4)}}, 257);
    EXPECT_EQ(check_packet(v257.data(), v257.size()), 6);

    bytes past_end = good;
    cmd_packet::store_u32(&past_end[past_end.size() - 8], 5);   // the last field claims 5 bytes, holds 4
    EXPECT_EQ(check_packet(past_end.data(), past_end.size()), 4);

    bytes short_header = good;
    short_header.resize(good.size() - 7);   // 3 bytes of a field header left
    cmd_packet::store_u32(short_header.data(), std::uint32_t(short_header.size() - 4));
    EXPECT_EQ(check_packet(short_header.data(), short_header.size()), 4);
    EXPECT_EQ(packet_command(good.data(), good.size()), cmd_have);
}

TEST(PeerWireTest, EveryCommandRoundTripsWithItsWidths)
{
    bytes out;
    Handshake hs;
    hs.task_id = 0x1122334455667788ull;
    hs.sender = {99, 0x0a000002, 7001, 2};
    hs.piece_size = 1048576;
    build_handshake(hs, out);
    CCmdPacketReader r60(out.data(), out.size());
    ASSERT_TRUE(r60.ok());
    EXPECT_EQ(r60.command(), cmd_handshake);
    CmdField f;
    ASSERT_TRUE(r60.find(2, f));
    EXPECT_EQ(f.length, 15u);
    Handshake hs2;
    ASSERT_TRUE(parse_handshake(r60, hs2));
    EXPECT_EQ(hs2.task_id, hs.task_id);
    EXPECT_EQ(hs2.one, 1);
    EXPECT_EQ(hs2.sender.clientid, 99u);
    EXPECT_EQ(hs2.sender.natip, 0x0a000002u);
    EXPECT_EQ(hs2.sender.listen_port, 7001);
    EXPECT_EQ(hs2.sender.peertype, 2);
    EXPECT_EQ(hs2.piece_size, 1048576u);

    out.clear();
    build_handshake_reply({5, 6, 1, handshake_piece_size_mismatch}, out);
    CCmdPacketReader r61(out.data(), out.size());
    HandshakeReply rep;
    ASSERT_TRUE(parse_handshake_reply(r61, rep));
    EXPECT_EQ(rep.client_id, 5u);
    EXPECT_EQ(rep.task_id, 6u);
    EXPECT_EQ(rep.parent_offer, 1);
    EXPECT_EQ(rep.result, 2u);

    out.clear();
    build_son_list_request({5, 6, 50, 9}, out);
    CCmdPacketReader r62(out.data(), out.size());
    SonListRequest req;
    ASSERT_TRUE(parse_son_list_request(r62, req));
    EXPECT_EQ(req.max_records, 50);
    EXPECT_EQ(req.cookie, 9);

    out.clear();
    build_block_request({5, 6, {3, 32768, 100}}, out);
    CCmdPacketReader r66(out.data(), out.size());
    BlockAsk ask;
    ASSERT_TRUE(parse_block_request(r66, ask));
    EXPECT_EQ(ask.block.piece, 3u);
    EXPECT_EQ(ask.block.offset, 32768u);
    EXPECT_EQ(ask.block.length, 100u);

    out.clear();
    build_have({5, 6, 77}, out);
    CCmdPacketReader r68(out.data(), out.size());
    Have have;
    ASSERT_TRUE(parse_have(r68, have));
    EXPECT_EQ(have.piece, 77u);
    EXPECT_FALSE(r68.find(2, f)) << "67 and 68 carry no field 2";
}

TEST(PeerWireTest, SonListKeepsAtMostFiftyAndReadsWholeRecordsOnly)
{
    SonListReply m;
    m.client_id = 1;
    m.task_id = 2;
    for (int i = 0; i < 60; ++i) {
        PeerInfo p{};
        p.clientid = 100 + i;
        m.sons.push_back(p);
    }
    bytes out;
    build_son_list_reply(m, out);
    CCmdPacketReader r(out.data(), out.size());
    std::uint16_t count = 0;
    ASSERT_TRUE(r.get_u16(2, count));
    EXPECT_EQ(count, 50);
    CmdField f;
    ASSERT_TRUE(r.find(3, f));
    EXPECT_EQ(f.length, 7450u);
    SonListReply back;
    ASSERT_TRUE(parse_son_list_reply(r, back));
    ASSERT_EQ(back.sons.size(), 50u);
    EXPECT_EQ(std::uint64_t{back.sons[49].clientid}, 149u);

    // 300 bytes: two records and 2 spare bytes; texts filled to the end
    // are terminated inside their field; the count field is not trusted.
    bytes records(300, 'x');
    std::memset(records.data(), 0, 8);
    records[0] = 7;
    const bytes pkt = Raw(cmd_son_list_reply,
                          {{0, Le(1, 8)}, {1, Le(2, 8)}, {2, Le(9, 2)}, {3, records}, {4, Le(0, 4)}, {5, Le(4, 1)}});
    CCmdPacketReader r2(pkt.data(), pkt.size());
    ASSERT_TRUE(parse_son_list_reply(r2, back));
    ASSERT_EQ(back.sons.size(), 2u);
    EXPECT_EQ(std::uint64_t{back.sons[0].clientid}, 7u);
    EXPECT_EQ(back.sons[0].path[63], '\0');
    EXPECT_EQ(back.sons[1].hostname[63], '\0');
    EXPECT_EQ(back.cookie, 4);
}

TEST(PeerWireTest, BitfieldIsPackedMostSignificantBitFirst)
{
    std::vector<std::uint8_t> pieces(9, 0);
    pieces[0] = pieces[2] = pieces[8] = 1;
    bytes out;
    build_bitfield(1, 2, pieces, out);
    CCmdPacketReader r(out.data(), out.size());
    Bitfield bf;
    ASSERT_TRUE(parse_bitfield(r, bf));
    ASSERT_EQ(bf.bytes, 2u);
    EXPECT_EQ(bf.bits[0], 0xA0);
    EXPECT_EQ(bf.bits[1], 0x80) << "piece 8 is the top bit of the second byte";
    EXPECT_EQ(bf.serve_queue, 0) << "the requests answered are not said unless given";
    bytes said;   // given, they go as field 3
    build_bitfield(1, 2, pieces, said, 72);
    CCmdPacketReader rs(said.data(), said.size());
    ASSERT_TRUE(parse_bitfield(rs, bf));
    EXPECT_EQ(bf.serve_queue, 72);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(unpack_bitfield(bf.bits, bf.bytes, 9, back));
    EXPECT_EQ(back, pieces);
    // Longer or shorter than ceil(n / 8) is refused.
    EXPECT_FALSE(unpack_bitfield(bf.bits, 2, 8, back));
    EXPECT_FALSE(unpack_bitfield(bf.bits, 1, 9, back));
    EXPECT_TRUE(unpack_bitfield(nullptr, 0, 0, back));
    EXPECT_TRUE(back.empty());
}

TEST(PeerWireTest, BlockDataIsLaidOutAsTheBuilderWouldAndChecked)
{
    const BlockRecord block{4, 65536, 5};
    bytes direct;
    std::uint8_t* data = layout_block_data(11, 22, block, direct);
    std::memcpy(data, "abcde", 5);
    std::uint8_t field[17];
    cmd_packet::store_u32(field, 4);
    cmd_packet::store_u32(field + 4, 65536);
    cmd_packet::store_u32(field + 8, 5);
    std::memcpy(field + 12, "abcde", 5);
    const bytes built = Raw(cmd_block_data, {{0, Le(11, 8)}, {1, Le(22, 8)}, {3, bytes(field, field + 17)}});
    EXPECT_EQ(direct, built);

    CCmdPacketReader r(direct.data(), direct.size());
    BlockData m;
    ASSERT_TRUE(parse_block_data(r, m));
    EXPECT_EQ(m.block.piece, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data), 5), "abcde");

    // A data part that is not exactly the record's length is refused.
    for (std::uint32_t claimed : {4u, 6u, 0xFFFFFFFFu}) {
        cmd_packet::store_u32(field + 8, claimed);
        const bytes bad = Raw(cmd_block_data, {{0, Le(11, 8)}, {1, Le(22, 8)}, {3, bytes(field, field + 17)}});
        CCmdPacketReader rb(bad.data(), bad.size());
        EXPECT_FALSE(parse_block_data(rb, m)) << claimed;
    }
    const bytes short_record = Raw(cmd_block_data, {{0, Le(11, 8)}, {1, Le(22, 8)}, {3, bytes(11, 0)}});
    CCmdPacketReader rs(short_record.data(), short_record.size());
    EXPECT_FALSE(parse_block_data(rs, m));
}

TEST(PeerWireTest, FieldsOfTheWrongWidthOrMissingAreRefused)
{
    struct Case {
        const char* name;
        bytes packet;
        bool (*parse)(const CCmdPacketReader&);
    };
    auto p60 = [](const CCmdPacketReader& r) {
        Handshake m;
        return parse_handshake(r, m);
    };
    auto p61 = [](const CCmdPacketReader& r) {
        HandshakeReply m;
        return parse_handshake_reply(r, m);
    };
    auto p62 = [](const CCmdPacketReader& r) {
        SonListRequest m;
        return parse_son_list_request(r, m);
    };
    auto p63 = [](const CCmdPacketReader& r) {
        SonListReply m;
        return parse_son_list_reply(r, m);
    };
    auto p65 = [](const CCmdPacketReader& r) {
        Bitfield m;
        return parse_bitfield(r, m);
    };
    auto p66 = [](const CCmdPacketReader& r) {
        BlockAsk m;
        return parse_block_request(r, m);
    };
    auto p68 = [](const CCmdPacketReader& r) {
        Have m;
        return parse_have(r, m);
    };
    const bytes id8 = Le(1, 8);
    const Case cases[] = {
        {"60 task id 4 bytes", Raw(60, {{0, Le(1, 4)}, {1, Le(1, 1)}, {2, bytes(15)}, {3, Le(1, 4)}}), p60},
        {"60 sender 14 bytes", Raw(60, {{0, id8}, {1, Le(1, 1)}, {2, bytes(14)}, {3, Le(1, 4)}}), p60},
        {"60 sender 16 bytes", Raw(60, {{0, id8}, {1, Le(1, 1)}, {2, bytes(16)}, {3, Le(1, 4)}}), p60},
        {"60 no piece size", Raw(60, {{0, id8}, {1, Le(1, 1)}, {2, bytes(15)}}), p60},
        {"61 result 8 bytes", Raw(61, {{0, id8}, {1, id8}, {2, Le(0, 1)}, {3, Le(3, 8)}}), p61},
        {"61 client id 9 bytes", Raw(61, {{0, Le(1, 9)}, {1, id8}, {2, Le(0, 1)}, {3, Le(3, 4)}}), p61},
        {"62 cookie 2 bytes", Raw(62, {{0, id8}, {1, id8}, {2, Le(50, 2)}, {3, Le(0, 2)}}), p62},
        {"63 no records", Raw(63, {{0, id8}, {1, id8}, {2, Le(0, 2)}, {5, Le(0, 1)}}), p63},
        {"65 no task id", Raw(65, {{0, id8}, {2, Le(0xff, 1)}}), p65},
        {"66 record 11 bytes", Raw(66, {{0, id8}, {1, id8}, {2, bytes(11)}}), p66},
        {"66 record 13 bytes", Raw(66, {{0, id8}, {1, id8}, {2, bytes(13)}}), p66},
        {"68 index 2 bytes", Raw(68, {{0, id8}, {1, id8}, {3, Le(1, 2)}}), p68},
        {"68 index 8 bytes", Raw(68, {{0, id8}, {1, id8}, {3, Le(1, 8)}}), p68},
    };
    for (const Case& c : cases) {
        CCmdPacketReader r(c.packet.data(), c.packet.size());
        ASSERT_TRUE(r.ok()) << c.name;
        EXPECT_FALSE(c.parse(r)) << c.name;
    }
    // Unknown fields are skipped and a repeated field's later copy wins.
    const bytes extra = Raw(68, {{0, id8}, {1, id8}, {3, Le(1, 4)}, {9, bytes(40)}, {3, Le(2, 4)}});
    CCmdPacketReader r(extra.data(), extra.size());
    Have h;
    ASSERT_TRUE(parse_have(r, h));
    EXPECT_EQ(h.piece, 2u);
}

}   // namespace
