#include "net/conn/peer_wire.h"

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "foundation/tlv_packet.h"

#include <algorithm>
#include <cstring>

namespace peer_wire {

namespace {

using cmd_packet::load_u16;
using cmd_packet::load_u32;
using cmd_packet::load_u64;
using cmd_packet::store_u16;
using cmd_packet::store_u32;
using cmd_packet::store_u64;

void append_built(CTlvPacket& packet, std::vector<std::uint8_t>& out)
{
    std::uint32_t total = 0;
    const std::uint8_t* bytes = packet.Build(total);
    if (bytes)
        out.insert(out.end(), bytes, bytes + total);
}

// Little-endian images of the fixed-width values, alive until Build.
struct u64_field {
    explicit u64_field(std::uint64_t v) { store_u64(b, v); }
    std::uint8_t b[8];
};
struct u32_field {
    explicit u32_field(std::uint32_t v) { store_u32(b, v); }
    std::uint8_t b[4];
};
struct u16_field {
    explicit u16_field(std::uint16_t v) { store_u16(b, v); }
    std::uint8_t b[2];
};

void store_block(std::uint8_t* p, const BlockRecord& block)
{
    store_u32(p, block.piece);
    store_u32(p + 4, block.offset);
    store_u32(p + 8, block.length);
}

BlockRecord load_block(const std::uint8_t* p)
{
    BlockRecord block;
    block.piece = load_u32(p);
    block.offset = load_u32(p + 4);
    block.length = load_u32(p + 8);
    return block;
}

// The field `id`, which must be exactly `width` bytes long.
const std::uint8_t* exact(const CCmdPacketReader& r, std::uint16_t id, std::uint32_t width)
{
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    if (!r.get_bytes(id, data, length) || length != width)
        return nullptr;
    return data;
}

// Fields 0 and 1 of every command but 60: own client id and task id.
bool ids(const CCmdPacketReader& r, std::uint64_t& client_id, std::uint64_t& task_id)
{
    const std::uint8_t* c = exact(r, 0, 8);
    const std::uint8_t* t = exact(r, 1, 8);
    if (!c || !t)
        return false;
    client_id = load_u64(c);
    task_id = load_u64(t);
    return true;
}

}   // namespace

std::int32_t read_length(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(load_u32(p));
}

bool length_ok(std::int32_t length)
{
    return length >= 1 && length <= kMaxBody;
}

int check_packet(const std::uint8_t* packet, std::size_t length)
{
    return CCmdPacketReader(packet, length, kVersion).check();
}

std::uint16_t packet_command(const std::uint8_t* packet, std::size_t length)
{
    if (!packet || length < cmd_packet::kCommandOffset + 2)
        return 0;
    return load_u16(packet + cmd_packet::kCommandOffset);
}

// ---- Builders ----

void build_handshake(const Handshake& m, std::vector<std::uint8_t>& out)
{
    const u64_field task(m.task_id);
    std::uint8_t sender[sizeof(SenderRecordLayout)];
    store_u64(sender, m.sender.clientid);
    store_u32(sender + 8, m.sender.natip);
    store_u16(sender + 12, m.sender.listen_port);
    sender[14] = m.sender.peertype;
    const u32_field piece_size(m.piece_size);
    CTlvPacket packet(cmd_handshake, kVersion, 0);
    packet.AddItem(0, 8, task.b);
    packet.AddItem(1, 1, &m.one);
    packet.AddItem(2, sizeof(sender), sender);
    packet.AddItem(3, 4, piece_size.b);
    append_built(packet, out);
}

void build_handshake_reply(const HandshakeReply& m, std::vector<std::uint8_t>& out)
{
    const u64_field client(m.client_id), task(m.task_id);
    const u32_field result(m.result);
    CTlvPacket packet(cmd_handshake_reply, kVersion, 0);
    packet.AddItem(0, 8, client.b);
    packet.AddItem(1, 8, task.b);
    packet.AddItem(2, 1, &m.parent_offer);
    packet.AddItem(3, 4, result.b);
    append_built(packet, out);
}

void build_son_list_request(const SonListRequest& m, std::vector<std::uint8_t>& out)
{
    const u64_field client(m.client_id), task(m.task_id);
    const u16_field max(m.max_records);
    CTlvPacket packet(cmd_son_list_request, kVersion, 0);
    packet.AddItem(0, 8, client.b);
    packet.AddItem(1, 8, task.b);
    packet.AddItem(2, 2, max.b);
    packet.AddItem(3, 1, &m.cookie);
    append_built(packet, out);
}

void build_son_list_reply(const SonListReply& m, std::vector<std::uint8_t>& out)
{
    const std::size_t count = m.sons.size() < kMaxSons ? m.sons.size() : kMaxSons;
    const u64_field client(m.client_id), task(m.task_id);
    const u16_field n(static_cast<std::uint16_t>(count));
    const u32_field zero32(0);
    const std::uint8_t zero8 = 0;
    // PeerInfo is packed and little-endian, as it travels.
    static const std::uint8_t kEmpty = 0;
    const void* records = count ? static_cast<const void*>(m.sons.data()) : &kEmpty;
    CTlvPacket packet(cmd_son_list_reply, kVersion, 0);
    packet.AddItem(0, 8, client.b);
    packet.AddItem(1, 8, task.b);
    packet.AddItem(2, 2, n.b);
    packet.AddItem(3, static_cast<std::uint32_t>(count * sizeof(PeerInfo)), records);
    packet.AddItem(4, 4, zero32.b);
    packet.AddItem(5, 1, &zero8);
    append_built(packet, out);
}

void build_bitfield(std::uint64_t client_id, std::uint64_t task_id, const std::vector<std::uint8_t>& pieces,
                    std::vector<std::uint8_t>& out, std::uint16_t serve_queue)
{
    std::vector<std::uint8_t> bits((pieces.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i])
            bits[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    }
    const u64_field client(client_id), task(task_id);
    static const std::uint8_t kEmpty = 0;
    CTlvPacket packet(cmd_bitfield, kVersion, 0);
    packet.AddItem(0, 8, client.b);
    packet.AddItem(1, 8, task.b);
    packet.AddItem(2, static_cast<std::uint32_t>(bits.size()), bits.empty() ? &kEmpty : bits.data());
    const u16_field queue(serve_queue);
    if (serve_queue != 0)
        packet.AddItem(3, 2, queue.b);
    append_built(packet, out);
}

void build_block_request(const BlockAsk& m, std::vector<std::uint8_t>& out)
{
    const u64_field client(m.client_id), task(m.task_id);
    std::uint8_t record[sizeof(BlockRecord)];
    store_block(record, m.block);
    CTlvPacket packet(cmd_block_request, kVersion, 0);
    packet.AddItem(0, 8, client.b);
    packet.AddItem(1, 8, task.b);
    packet.AddItem(2, sizeof(record), record);
    append_built(packet, out);
}

void build_have(const Have& m, std::vector<std::uint8_t>& out)
{
    const u64_field client(m.client_id), task(m.task_id);
    const u32_field piece(m.piece);
    CTlvPacket packet(cmd_have, kVersion, 0);
    packet.AddItem(0, 8, client.b);
    packet.AddItem(1, 8, task.b);
    packet.AddItem(3, 4, piece.b);
    append_built(packet, out);
}

namespace {

// Offsets of the two ids in the block-data head.
constexpr std::uint32_t kClientIdAt = kHeaderSize + cmd_packet::kFieldHeaderSize;
constexpr std::uint32_t kTaskIdAt = kClientIdAt + 8 + cmd_packet::kFieldHeaderSize;

std::uint8_t* write_block_data_head(std::uint64_t client_id, std::uint64_t task_id, const BlockRecord& block,
                                    std::uint8_t* p)
{
    // The layout CTlvPacket gives fields 0, 1 and 3, written directly so
    // that the block is read from storage straight into the packet.
    constexpr std::size_t kField = cmd_packet::kFieldHeaderSize;
    store_u32(p, kBlockDataHead - kPrefixSize + block.length);
    p[4] = 0;
    store_u16(p + 5, cmd_block_data);
    store_u32(p + 7, kVersion);
    p[11] = 3;
    p += kHeaderSize;
    store_u16(p, 0);
    store_u32(p + 2, 8);
    store_u64(p + 6, client_id);
    p += kField + 8;
    store_u16(p, 1);
    store_u32(p + 2, 8);
    store_u64(p + 6, task_id);
    p += kField + 8;
    store_u16(p, 3);
    store_u32(p + 2, static_cast<std::uint32_t>(sizeof(BlockRecord) + block.length));
    store_block(p + 6, block);
    return p + kField + sizeof(BlockRecord);
}

}   // namespace

static_assert(kBlockDataHead == kHeaderSize + (cmd_packet::kFieldHeaderSize + 8) * 2 + cmd_packet::kFieldHeaderSize +
                                    sizeof(BlockRecord),
              "the block-data head is the header, two ids and the record's field head");

std::uint8_t* layout_block_data(std::uint64_t client_id, std::uint64_t task_id, const BlockRecord& block,
                                std::vector<std::uint8_t>& out)
{
    out.resize(kBlockDataHead + block.length);
    return write_block_data_head(client_id, task_id, block, out.data());
}

void block_data_head(const BlockRecord& block, std::uint8_t* out)
{
    write_block_data_head(0, 0, block, out);
}

bool block_data_head_matches(const std::uint8_t* p, std::uint32_t n, const std::uint8_t* head)
{
    auto same = [&](std::uint32_t from, std::uint32_t to) {
        to = std::min(to, n);
        return from >= to || std::memcmp(p + from, head + from, to - from) == 0;
    };
    return n <= kBlockDataHead && same(0, kClientIdAt) && same(kClientIdAt + 8, kTaskIdAt) &&
           same(kTaskIdAt + 8, kBlockDataHead);
}

// ---- Parsers ----

bool parse_handshake(const CCmdPacketReader& r, Handshake& out)
{
    const std::uint8_t* task = exact(r, 0, 8);
    const std::uint8_t* one = exact(r, 1, 1);
    const std::uint8_t* sender = exact(r, 2, sizeof(SenderRecordLayout));
    const std::uint8_t* piece_size = exact(r, 3, 4);
    if (!task || !one || !sender || !piece_size)
        return false;
    out.task_id = load_u64(task);
    out.one = *one;
    out.sender.clientid = load_u64(sender);
    out.sender.natip = load_u32(sender + 8);
    out.sender.listen_port = load_u16(sender + 12);
    out.sender.peertype = sender[14];
    out.piece_size = load_u32(piece_size);
    return true;
}

bool parse_handshake_reply(const CCmdPacketReader& r, HandshakeReply& out)
{
    const std::uint8_t* offer = exact(r, 2, 1);
    const std::uint8_t* result = exact(r, 3, 4);
    if (!ids(r, out.client_id, out.task_id) || !offer || !result)
        return false;
    out.parent_offer = *offer;
    out.result = load_u32(result);
    return true;
}

bool parse_son_list_request(const CCmdPacketReader& r, SonListRequest& out)
{
    const std::uint8_t* max = exact(r, 2, 2);
    const std::uint8_t* cookie = exact(r, 3, 1);
    if (!ids(r, out.client_id, out.task_id) || !max || !cookie)
        return false;
    out.max_records = load_u16(max);
    out.cookie = *cookie;
    return true;
}

bool parse_son_list_reply(const CCmdPacketReader& r, SonListReply& out)
{
    const std::uint8_t* records = nullptr;
    std::uint32_t length = 0;
    const std::uint8_t* cookie = exact(r, 5, 1);
    if (!ids(r, out.client_id, out.task_id) || !r.get_bytes(3, records, length) || !cookie)
        return false;
    // The count in field 2 is not trusted: the records are what field 3
    // holds, in whole records.
    const std::size_t count = length / sizeof(PeerInfo);
    out.sons.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        PeerInfo& son = out.sons[i];
        std::memcpy(&son, records + i * sizeof(PeerInfo), sizeof(PeerInfo));
        TerminateFixedText(son.path);
        TerminateFixedText(son.hostname);
    }
    out.cookie = *cookie;
    return true;
}

bool parse_bitfield(const CCmdPacketReader& r, Bitfield& out)
{
    if (!ids(r, out.client_id, out.task_id) || !r.get_bytes(2, out.bits, out.bytes))
        return false;
    // Field 3 is optional: absent, or of another width, it says nothing.
    const std::uint8_t* queue = exact(r, 3, 2);
    out.serve_queue = queue ? load_u16(queue) : 0;
    return true;
}

bool parse_block_request(const CCmdPacketReader& r, BlockAsk& out)
{
    const std::uint8_t* record = exact(r, 2, sizeof(BlockRecord));
    if (!ids(r, out.client_id, out.task_id) || !record)
        return false;
    out.block = load_block(record);
    return true;
}

bool parse_block_data(const CCmdPacketReader& r, BlockData& out)
{
    const std::uint8_t* field = nullptr;
    std::uint32_t length = 0;
    if (!ids(r, out.client_id, out.task_id) || !r.get_bytes(3, field, length) || length < sizeof(BlockRecord))
        return false;
    out.block = load_block(field);
    if (out.block.length != length - sizeof(BlockRecord))
        return false;
    out.data = field + sizeof(BlockRecord);
    return true;
}

bool parse_have(const CCmdPacketReader& r, Have& out)
{
    const std::uint8_t* piece = exact(r, 3, 4);
    if (!ids(r, out.client_id, out.task_id) || !piece)
        return false;
    out.piece = load_u32(piece);
    return true;
}

bool unpack_bitfield(const std::uint8_t* bits, std::uint32_t bytes, std::uint32_t pieces,
                     std::vector<std::uint8_t>& out)
{
    if (bytes != (static_cast<std::uint64_t>(pieces) + 7) / 8 || (bytes && !bits))
        return false;
    out.assign(pieces, 0);
    for (std::uint32_t i = 0; i < pieces; ++i)
        out[i] = (bits[i / 8] >> (7 - i % 8)) & 1u;
    return true;
}

}   // namespace peer_wire
