#include "foundation/cmd_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/cmd_packet_reader.h"
#include "foundation/tlv_packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes built(CTlvPacket& p)
{
    uint32_t total = 0;
    const uint8_t* data = p.Build(total);
    if (data == nullptr)
        return {};
    return Bytes(data, data + total);
}

// The have message (68) from client 1 for task 2, piece 5.
const Bytes kHave = {0x2e, 0x00, 0x00, 0x00, 0x00, 0x44, 0x00, 0x02, 0x01, 0x00, 0x00, 0x03, 0x00,
                     0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};

// Host-order values turned into their little-endian bytes, so the layout
// is the same on any host.
Bytes le64(uint64_t v)
{
    Bytes b(8);
    cmd_packet::store_u64(b.data(), v);
    return b;
}

TEST(TlvPacketTest, HaveMessageIsByteExactInBothCopyModes)
{
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        const Bytes client = le64(1);
        const Bytes task = le64(2);
        uint8_t piece[4];
        cmd_packet::store_u32(piece, 5);
        CTlvPacket p(68, 258, mode);
        ASSERT_TRUE(p.AddItem(0, 8, client.data()));
        ASSERT_TRUE(p.AddItem(1, 8, task.data()));
        ASSERT_TRUE(p.AddItem(3, 4, piece));
        EXPECT_EQ(p.BodyLength(), 46u);
        uint32_t total = 0;
        const uint8_t* data = p.Build(total);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(total, 50u);
        EXPECT_EQ(Bytes(data, data + total), kHave);
    }
}

TEST(TlvPacketTest, CopyModeDecidesWhenDataIsTaken)
{
    uint8_t value[2] = {0xaa, 0xbb};
    CTlvPacket by_pointer(1, 258, 0);
    CTlvPacket by_copy(1, 258, 1);
    ASSERT_TRUE(by_pointer.AddItem(9, 2, value));
    ASSERT_TRUE(by_copy.AddItem(9, 2, value));
    value[0] = 0x11;   // changed between AddItem and Build
    const Bytes p = built(by_pointer);
    const Bytes c = built(by_copy);
    ASSERT_EQ(p.size(), 20u);
    ASSERT_EQ(c.size(), 20u);
    EXPECT_EQ(p[18], 0x11);
    EXPECT_EQ(c[18], 0xaa);
    EXPECT_EQ(c[19], 0xbb);
}

TEST(TlvPacketTest, EmptyPacketNullDataAndZeroLengthItems)
{
    CTlvPacket empty(0x1234, 0x01020304, 0);
    EXPECT_EQ(built(empty), (Bytes{8, 0, 0, 0, 0, 0x34, 0x12, 4, 3, 2, 1, 0}));

    CTlvPacket p(7, 258, 1);
    EXPECT_FALSE(p.AddItem(1, 4, nullptr));
    EXPECT_FALSE(p.AddItem(1, 0, nullptr));
    EXPECT_EQ(p.BodyLength(), 8u);
    const uint8_t dummy = 0;
    EXPECT_TRUE(p.AddItem(0xfffe, 0, &dummy));
    EXPECT_EQ(built(p), (Bytes{14, 0, 0, 0, 0, 7, 0, 2, 1, 0, 0, 1, 0xfe, 0xff, 0, 0, 0, 0}));
}

TEST(TlvPacketTest, RefusesA256thItem)
{
    const uint8_t b = 1;
    CTlvPacket p(1, 258, 0);
    for (int i = 0; i < 255; ++i)
        ASSERT_TRUE(p.AddItem(static_cast<uint16_t>(i), 1, &b));
    EXPECT_FALSE(p.AddItem(255, 1, &b));
    const Bytes out = built(p);
    ASSERT_EQ(out.size(), 12u + 255u * 7u);
    EXPECT_EQ(out[11], 255);
    CCmdPacketReader r(out.data(), out.size());
    EXPECT_EQ(r.check(), kPacketOk);
    EXPECT_EQ(r.fields_present(), 255u);
}

TEST(CmdPacketTest, BuildsTheSameBytesAsTheItemBuilder)
{
    CCmdPacket p(68);
    ASSERT_TRUE(p.add_u64(0, 1));
    ASSERT_TRUE(p.add_u64(1, 2));
    ASSERT_TRUE(p.add_u32(3, 5));
    EXPECT_EQ(p.bytes(), kHave);
    EXPECT_EQ(p.field_count(), 3u);
    EXPECT_EQ(p.command(), 68);
    EXPECT_EQ(p.version(), 258u);
}

TEST(CmdPacketTest, EveryFieldTypeReadsBack)
{
    CCmdPacket p(300, 257, 0);
    p.set_flag(0);
    ASSERT_TRUE(p.add_u8(1, 0xfe));
    ASSERT_TRUE(p.add_u16(2, 0xbeef));
    ASSERT_TRUE(p.add_u32(3, 0xdeadbeef));
    ASSERT_TRUE(p.add_u64(4, 0x0102030405060708ull));
    ASSERT_TRUE(p.add_string(5, "north"));
    ASSERT_TRUE(p.add_string(6, "with nul", true));
    ASSERT_TRUE(p.add_bytes(7, nullptr, 0));
    EXPECT_FALSE(p.add_bytes(8, nullptr, 1));
    const Bytes out = p.build();
    // 12 header + 6*7 field headers + 1+2+4+8+5+9+0 data
    ASSERT_EQ(out.size(), 12u + 42u + 29u);
    EXPECT_EQ(cmd_packet::load_u32(out.data()), out.size() - 4);
    EXPECT_EQ(out[11], 7);
    // Byte order on the wire is little-endian whatever the host.
    EXPECT_EQ(out[12 + 6 + 1 + 6], 0xef);
    EXPECT_EQ(out[12 + 6 + 1 + 6 + 1], 0xbe);

    CCmdPacketReader r(out.data(), out.size(), cmd_packet::kRisLogonVersion);
    ASSERT_EQ(r.check(), kPacketOk);
    EXPECT_EQ(r.command(), 300);
    EXPECT_EQ(r.version(), 257u);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    std::string s;
    EXPECT_TRUE(r.get_u8(1, u8));
    EXPECT_EQ(u8, 0xfe);
    EXPECT_TRUE(r.get_u16(2, u16));
    EXPECT_EQ(u16, 0xbeef);
    EXPECT_TRUE(r.get_u32(3, u32));
    EXPECT_EQ(u32, 0xdeadbeefu);
    EXPECT_TRUE(r.get_u64(4, u64));
    EXPECT_EQ(u64, 0x0102030405060708ull);
    EXPECT_TRUE(r.get_string(5, s));
    EXPECT_EQ(s, "north");
    EXPECT_TRUE(r.get_string(6, s));
    EXPECT_EQ(s, "with nul");
    const uint8_t* data = nullptr;
    uint32_t len = 99;
    EXPECT_TRUE(r.get_bytes(7, data, len));
    EXPECT_EQ(len, 0u);
    EXPECT_FALSE(r.get_bytes(8, data, len));

    // Flag changes are written in place.
    p.set_flag(1);
    p.set_command(61);
    p.set_version(258);
    EXPECT_EQ(p.flag(), 1);
    EXPECT_EQ(CCmdPacketReader(p.bytes().data(), p.size()).check(), kPacketBadFlag);
}

// A well-formed packet to damage: fields 0 (u64 7), 1 (u32 9).
Bytes good_packet()
{
    CCmdPacket p(60);
    p.add_u64(0, 7);
    p.add_u32(1, 9);
    return p.build();
}

TEST(CmdPacketReaderTest, StatusTableInPriorityOrder)
{
    struct Case {
        const char* what;
        Bytes bytes;
        int status;
    };
    auto with = [](auto change) {
        Bytes b = good_packet();
        change(b);
        return b;
    };
    const std::vector<Case> cases = {
        {"good", good_packet(), kPacketOk},
        {"eleven bytes", with([](Bytes& b) { b.resize(11); }), kPacketTooShort},
        {"empty", Bytes{}, kPacketTooShort},
        {"length says more", with([](Bytes& b) { b[0] += 1; }), kPacketBadLength},
        {"length says less", with([](Bytes& b) { b[0] -= 1; }), kPacketBadLength},
        {"length top bit", with([](Bytes& b) { b[3] = 0x80; }), kPacketBadLength},
        {"flag 1", with([](Bytes& b) { b[4] = 1; }), kPacketBadFlag},
        {"version 257", with([](Bytes& b) { b[7] = 1; }), kPacketBadVersion},
        {"field runs past the end", with([](Bytes& b) { b[12 + 2] = 9; }), kPacketBadField},
        {"field length huge", with([](Bytes& b) { b[12 + 5] = 0xff; }), kPacketBadField},
        {"half a field header", with([](Bytes& b) {
             b.insert(b.end(), {1, 0, 0});
             cmd_packet::store_u32(b.data(), static_cast<uint32_t>(b.size() - 4));
         }),
         kPacketBadField},
        // Priority: a too-short packet with a bad flag is still "too short";
        // bad length beats flag; flag beats version; version beats fields.
        {"short and flagged", Bytes{7, 0, 0, 0, 1, 0, 0, 2, 1, 0, 0}, kPacketTooShort},
        {"length and flag", with([](Bytes& b) {
             b[0] += 1;
             b[4] = 1;
         }),
         kPacketBadLength},
        {"flag and version", with([](Bytes& b) {
             b[4] = 1;
             b[7] = 1;
         }),
         kPacketBadFlag},
        {"version and field", with([](Bytes& b) {
             b[7] = 1;
             b[12 + 5] = 0xff;
         }),
         kPacketBadVersion},
        // The count byte is not checked: only the fields present count.
        {"count byte lies", with([](Bytes& b) { b[11] = 200; }), kPacketOk},
        {"no fields", Bytes{8, 0, 0, 0, 0, 60, 0, 2, 1, 0, 0, 0}, kPacketOk},
    };
    for (const Case& c : cases) {
        // Copy into an exactly sized heap buffer so ASan sees any over-read.
        std::vector<uint8_t> exact(c.bytes);
        exact.shrink_to_fit();
        CCmdPacketReader r(exact.empty() ? reinterpret_cast<const uint8_t*>("") : exact.data(), exact.size());
        EXPECT_EQ(r.check(), c.status) << c.what;
    }
    EXPECT_EQ(CCmdPacketReader(nullptr, 50).check(), kPacketNoBuffer);
}

TEST(CmdPacketReaderTest, ExpectedVersionIsAParameter)
{
    CCmdPacket p(1, 257);
    EXPECT_EQ(CCmdPacketReader(p.bytes().data(), p.size()).check(), kPacketBadVersion);
    EXPECT_EQ(CCmdPacketReader(p.bytes().data(), p.size(), 257).check(), kPacketOk);
}

TEST(CmdPacketReaderTest, DuplicatesUnknownIdsAndWidths)
{
    CCmdPacket p(63);
    p.add_u32(3, 1);
    p.add_u16(9, 77);   // unknown to a receiver: walked over
    p.add_u32(3, 2);
    p.add_bytes(4, "abcdef", 6);
    const Bytes b = p.build();
    CCmdPacketReader r(b.data(), b.size());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.fields_present(), 4u);
    uint32_t v = 0;
    EXPECT_TRUE(r.get_u32(3, v));
    EXPECT_EQ(v, 2u) << "the later copy wins";
    CmdField first;
    ASSERT_TRUE(r.find_first(3, first));
    EXPECT_EQ(cmd_packet::load_u32(first.data), 1u);

    // Widths must match exactly.
    uint64_t v64 = 0;
    uint16_t v16 = 0;
    uint8_t v8 = 0;
    EXPECT_FALSE(r.get_u64(3, v64));
    EXPECT_FALSE(r.get_u16(3, v16));
    EXPECT_FALSE(r.get_u8(4, v8));
    EXPECT_FALSE(r.get_u32(4, v));
    EXPECT_FALSE(r.get_u32(5, v));
    EXPECT_TRUE(r.get_u16(9, v16));
    EXPECT_EQ(v16, 77);

    // The walk yields every field in order, and starts over on rewind.
    std::vector<uint16_t> ids;
    CmdField f;
    while (r.next(f))
        ids.push_back(f.id);
    EXPECT_EQ(ids, (std::vector<uint16_t>{3, 9, 3, 4}));
    EXPECT_FALSE(r.next(f));
    r.rewind();
    ASSERT_TRUE(r.next(f));
    EXPECT_EQ(f.id, 3);
}

TEST(CmdPacketReaderTest, NothingIsReadFromABadPacket)
{
    Bytes b = good_packet();
    b[4] = 1;
    CCmdPacketReader r(b.data(), b.size());
    uint64_t v = 0;
    CmdField f;
    EXPECT_FALSE(r.get_u64(0, v));
    EXPECT_FALSE(r.next(f));
    EXPECT_EQ(r.fields_present(), 0u);
    EXPECT_EQ(r.command(), 60) << "the header is still readable";
    EXPECT_EQ(r.flag(), 1);

    const uint8_t tiny[3] = {1, 2, 3};
    CCmdPacketReader t(tiny, sizeof tiny);
    EXPECT_EQ(t.command(), 0);
    EXPECT_EQ(t.version(), 0u);
    EXPECT_EQ(t.field_count(), 0);
}

// Every truncation of a good packet is refused without reading past it.
TEST(CmdPacketReaderTest, TruncationsAndExtensionsAreRefused)
{
    const Bytes b = good_packet();
    for (size_t n = 0; n < b.size(); ++n) {
        std::vector<uint8_t> cut(b.begin(), b.begin() + static_cast<long>(n));
        cut.shrink_to_fit();
        CCmdPacketReader r(cut.data() ? cut.data() : b.data(), n);
        EXPECT_NE(r.check(), kPacketOk) << n;
    }
    Bytes longer = b;
    longer.push_back(0);
    EXPECT_EQ(CCmdPacketReader(longer.data(), longer.size()).check(), kPacketBadLength);
}

TEST(CmdPacketFramerTest, CutsPacketsFromAnyChunking)
{
    Bytes stream;
    for (int i = 0; i < 5; ++i) {
        CCmdPacket p(static_cast<uint16_t>(60 + i));
        p.add_u32(1, static_cast<uint32_t>(i));
        stream.insert(stream.end(), p.bytes().begin(), p.bytes().end());
    }
    for (size_t chunk = 1; chunk <= stream.size(); chunk += 3) {
        CmdPacketFramer framer;
        std::vector<uint16_t> commands;
        for (size_t off = 0; off < stream.size(); off += chunk) {
            ASSERT_TRUE(framer.feed(stream.data() + off, std::min(chunk, stream.size() - off)));
            const uint8_t* pkt = nullptr;
            size_t len = 0;
            CmdPacketFramer::Result res;
            while ((res = framer.next(pkt, len)) == CmdPacketFramer::kPacket) {
                CCmdPacketReader r(pkt, len);
                ASSERT_TRUE(r.ok());
                commands.push_back(r.command());
            }
            ASSERT_EQ(res, CmdPacketFramer::kNeedMore);
        }
        EXPECT_EQ(commands, (std::vector<uint16_t>{60, 61, 62, 63, 64})) << chunk;
        EXPECT_EQ(framer.buffered(), 0u);
    }
}

TEST(CmdPacketFramerTest, LengthLimits)
{
    const struct {
        uint32_t length;
        bool accepted;
    } kCases[] = {{0, false}, {1, true}, {65536, true}, {65537, false}, {0x80000000u, false}, {0xffffffffu, false}};
    for (const auto& c : kCases) {
        CmdPacketFramer framer;
        uint8_t prefix[4];
        cmd_packet::store_u32(prefix, c.length);
        ASSERT_TRUE(framer.feed(prefix, 4));
        const uint8_t* pkt = nullptr;
        size_t len = 0;
        const auto res = framer.next(pkt, len);
        if (c.accepted) {
            EXPECT_EQ(res, CmdPacketFramer::kNeedMore) << c.length;
            Bytes body(c.length, 0);
            ASSERT_TRUE(framer.feed(body.data(), body.size()));
            ASSERT_EQ(framer.next(pkt, len), CmdPacketFramer::kPacket);
            EXPECT_EQ(len, c.length + 4u);
        } else {
            EXPECT_EQ(res, CmdPacketFramer::kFramingError) << c.length;
            EXPECT_EQ(framer.bad_length(), static_cast<int32_t>(c.length));
            EXPECT_EQ(framer.next(pkt, len), CmdPacketFramer::kFramingError) << "sticky";
            framer.reset();
            EXPECT_EQ(framer.next(pkt, len), CmdPacketFramer::kNeedMore);
        }
    }
}

TEST(CmdPacketFramerTest, BufferIsBounded)
{
    CmdPacketFramer framer;
    Bytes big(CmdPacketFramer::kMaxBuffered, 0);
    EXPECT_TRUE(framer.feed(big.data(), big.size()));
    const uint8_t one = 0;
    EXPECT_FALSE(framer.feed(&one, 1));
    EXPECT_EQ(framer.buffered(), CmdPacketFramer::kMaxBuffered);
}

}   // namespace
