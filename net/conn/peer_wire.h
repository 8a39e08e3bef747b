// The peer wire protocol: how two running services exchange the pieces of
// one task over one TCP connection. Every message is one command packet
// (flag 0, version 258) framed by its u32 length; this header holds the
// framing rule, the packet check, and a builder and a strict parser for
// each of the commands 60 to 68.
//
// Parsers accept a field only when its length is exactly the width the
// sender must use (the son list and the block data excepted, see below);
// anything else is refused without reading past the packet, and the
// connection closes the peer that sent it.
#pragma once

#include "discovery/peer_info.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CCmdPacketReader;

namespace peer_wire {

// Command numbers. 64 is not part of the protocol (unknown, like any other).
enum command : std::uint16_t {
    cmd_handshake = 60,
    cmd_handshake_reply = 61,
    cmd_son_list_request = 62,
    cmd_son_list_reply = 63,
    cmd_bitfield = 65,
    cmd_block_request = 66,
    cmd_block_data = 67,
    cmd_have = 68,
};

constexpr std::uint32_t kVersion = 258;
// Bytes of the length prefix and the packet header (prefix included).
constexpr std::uint32_t kPrefixSize = 4;
constexpr std::uint32_t kHeaderSize = 12;
// Longest body (what follows the prefix) a receiver accepts.
constexpr std::int32_t kMaxBody = 65536;
// Most son records a son-list reply carries.
constexpr std::uint16_t kMaxSons = 50;
// Result of a handshake (field 3 of 61), as the receiver of 60 computes it.
enum handshake_result : std::uint32_t {
    handshake_task_mismatch = 0,
    handshake_client_mismatch = 1,
    handshake_piece_size_mismatch = 2,
    handshake_matched = 3,
};

#pragma pack(push, 1)

// Field 2 of 60 as it travels (see SenderRecord).
struct SenderRecordLayout {
    std::uint64_t clientid;
    std::uint32_t natip;
    std::uint16_t listen_port;
    std::uint8_t peertype;
};

// A block: piece index, byte offset inside the piece, length in bytes.
struct BlockRecord {
    std::uint32_t piece;
    std::uint32_t offset;
    std::uint32_t length;
};

#pragma pack(pop)

static_assert(sizeof(SenderRecordLayout) == 15, "the sender record is 15 bytes on the wire");

// Field 2 of 60: who is speaking (unpacked for use; encoded field by field).
struct SenderRecord {
    std::uint64_t clientid = 0;
    std::uint32_t natip = 0;         // the NAT address field of the sender's own record
    std::uint16_t listen_port = 0;   // the sender's peer listen port
    std::uint8_t peertype = 0;
};
static_assert(sizeof(BlockRecord) == 12, "the block record is 12 bytes on the wire");

// ---- Framing and the packet check ----

// The length prefix at `p` (4 bytes) as the receiver reads it: signed.
std::int32_t read_length(const std::uint8_t* p);
// True when a body of `length` bytes may follow (1 <= length <= 65536).
bool length_ok(std::int32_t length);

// Packet check over a whole packet (prefix included): 0 no buffer, 3 fewer
// than 12 bytes, 2 the prefix does not match, 1 flag not 0, 6 version not
// 258, 4 a field runs past the end, 5 well formed.
int check_packet(const std::uint8_t* packet, std::size_t length);

// The u16 command at offset 5 (0 for a packet shorter than 7 bytes).
std::uint16_t packet_command(const std::uint8_t* packet, std::size_t length);

// ---- Messages ----

struct Handshake {   // 60
    std::uint64_t task_id = 0;
    std::uint8_t one = 1;
    SenderRecord sender{};
    std::uint32_t piece_size = 0;
};

struct HandshakeReply {   // 61
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    std::uint8_t parent_offer = 0;
    std::uint32_t result = handshake_matched;
};

struct SonListRequest {   // 62
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    std::uint16_t max_records = kMaxSons;
    std::uint8_t cookie = 0;
};

struct SonListReply {   // 63
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    std::vector<PeerInfo> sons;   // the sender's count field is not trusted
    std::uint8_t cookie = 0;
};

struct Bitfield {   // 65; `bits` points into the packet
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    const std::uint8_t* bits = nullptr;
    std::uint32_t bytes = 0;
    // Field 3, u16: the block requests the sender answers in order (0: not
    // said, as older peers send it; they answer kLegacyServeQueue).
    std::uint16_t serve_queue = 0;
};

// Block requests a peer that does not say how many it answers (no field 3
// in its 65) answers in order; it leaves those beyond them unanswered.
constexpr std::uint16_t kLegacyServeQueue = 16;

struct BlockAsk {   // 66
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    BlockRecord block{};
};

struct BlockData {   // 67; `data` points into the packet
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    BlockRecord block{};
    const std::uint8_t* data = nullptr;
};

struct Have {   // 68
    std::uint64_t client_id = 0;
    std::uint64_t task_id = 0;
    std::uint32_t piece = 0;
};

// Builders: each appends one whole packet (prefix included) to `out`.
void build_handshake(const Handshake& m, std::vector<std::uint8_t>& out);
void build_handshake_reply(const HandshakeReply& m, std::vector<std::uint8_t>& out);
void build_son_list_request(const SonListRequest& m, std::vector<std::uint8_t>& out);
// At most kMaxSons records of `m.sons` go out; field 2 holds their number.
void build_son_list_reply(const SonListReply& m, std::vector<std::uint8_t>& out);
// `pieces[i]` != 0: piece i is held (packed most significant bit first).
// `serve_queue` != 0 goes out as field 3, which older peers skip.
void build_bitfield(std::uint64_t client_id, std::uint64_t task_id, const std::vector<std::uint8_t>& pieces,
                    std::vector<std::uint8_t>& out, std::uint16_t serve_queue = 0);
void build_block_request(const BlockAsk& m, std::vector<std::uint8_t>& out);
void build_have(const Have& m, std::vector<std::uint8_t>& out);

// Block data is written in place so that the block is copied once: the
// packet for `block` is laid out in `out` (resized, not appended) and the
// returned pointer is where its block.length data bytes go.
std::uint8_t* layout_block_data(std::uint64_t client_id, std::uint64_t task_id, const BlockRecord& block,
                                std::vector<std::uint8_t>& out);

// The bytes before the data of a block-data packet in that layout.
constexpr std::uint32_t kBlockDataHead = 58;
// Writes those bytes (with both ids 0) to `out`.
void block_data_head(const BlockRecord& block, std::uint8_t* out);
// True when the `n` bytes at `p` (n <= kBlockDataHead) begin what
// block_data_head wrote to `head`, whatever the ids. Such a packet is well
// formed and parses to that block (any other layout is parsed as usual).
bool block_data_head_matches(const std::uint8_t* p, std::uint32_t n, const std::uint8_t* head);

// Parsers over a reader whose check() is 5. False when a field the
// command needs is missing or its length differs from its width.
bool parse_handshake(const CCmdPacketReader& r, Handshake& out);
bool parse_handshake_reply(const CCmdPacketReader& r, HandshakeReply& out);
bool parse_son_list_request(const CCmdPacketReader& r, SonListRequest& out);
// Field 3 is cut into whole 149-byte records (spare bytes ignored); the
// text fields of each record are terminated inside their 64 bytes.
bool parse_son_list_reply(const CCmdPacketReader& r, SonListReply& out);
bool parse_bitfield(const CCmdPacketReader& r, Bitfield& out);
bool parse_block_request(const CCmdPacketReader& r, BlockAsk& out);
// Field 3 must hold the 12-byte record followed by exactly block.length bytes.
bool parse_block_data(const CCmdPacketReader& r, BlockData& out);
bool parse_have(const CCmdPacketReader& r, Have& out);

// Unpacks `bytes` of a bitfield into `pieces` entries of 0/1 (most
// significant bit first). False when the field is not exactly
// ceil(pieces / 8) bytes long.
bool unpack_bitfield(const std::uint8_t* bits, std::uint32_t bytes, std::uint32_t pieces,
                     std::vector<std::uint8_t>& out);

}   // namespace peer_wire
