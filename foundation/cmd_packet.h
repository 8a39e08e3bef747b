#pragma once
// Command packets: the little-endian TLV format every binary protocol of the
// service speaks.
//
//   u32 L (bytes that follow) | u8 flag | u16 command | u32 version |
//   u8 field count | fields: u16 id, u32 length, data
//
// CCmdPacket builds one field by field; CTlvPacket (tlv_packet.h) is the
// list-of-items builder the peer protocol uses; CCmdPacketReader
// (cmd_packet_reader.h) checks and reads a received one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cmd_packet {

// Offsets and sizes of the fixed header.
constexpr size_t kLengthSize = 4;
constexpr size_t kFlagOffset = 4;
constexpr size_t kCommandOffset = 5;
constexpr size_t kVersionOffset = 7;
constexpr size_t kCountOffset = 11;
constexpr size_t kHeaderSize = 12;
// Body bytes counted in L before any field: flag, command, version, count.
constexpr uint32_t kEmptyBodySize = 8;
// u16 id + u32 length.
constexpr size_t kFieldHeaderSize = 6;
// The field count is one byte.
constexpr size_t kMaxFields = 255;
// Version of the peer protocol and of most servers; 257 is the RIS logon's.
constexpr uint32_t kDefaultVersion = 258;
constexpr uint32_t kRisLogonVersion = 257;
// Largest L a stream receiver accepts.
constexpr int32_t kMaxFramedBody = 65536;

// Little-endian stores and loads, independent of the host's byte order.
inline void store_u16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_u32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void store_u64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t load_u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load_u64(const uint8_t* p)
{
    return static_cast<uint64_t>(load_u32(p)) | (static_cast<uint64_t>(load_u32(p + 4)) << 32);
}

}   // namespace cmd_packet

// Builds one command packet in a growing buffer; the length and field count
// in the header are kept current after every add, so bytes() is always a
// complete packet.
class CCmdPacket {
public:
    explicit CCmdPacket(uint16_t command, uint32_t version = cmd_packet::kDefaultVersion, uint8_t flag = 0);

    void set_flag(uint8_t flag);
    void set_command(uint16_t command);
    void set_version(uint32_t version);

    // Each add appends one field; false (and nothing appended) when the packet
    // already has 255 fields or would outgrow a u32 length.
    bool add_u8(uint16_t id, uint8_t value);
    bool add_u16(uint16_t id, uint16_t value);
    bool add_u32(uint16_t id, uint32_t value);
    bool add_u64(uint16_t id, uint64_t value);
    // Raw bytes; a null pointer is allowed only with length 0.
    bool add_bytes(uint16_t id, const void* data, size_t length);
    // The text's bytes, with a terminating NUL counted in the field when asked.
    bool add_string(uint16_t id, const std::string& text, bool with_nul = false);

    uint16_t command() const;
    uint32_t version() const;
    uint8_t flag() const;
    size_t field_count() const { return fields_; }
    // Whole packet, length prefix included.
    const std::vector<uint8_t>& bytes() const { return buf_; }
    size_t size() const { return buf_.size(); }
    // A copy of the whole packet.
    std::vector<uint8_t> build() const { return buf_; }

private:
    uint8_t* begin_field(uint16_t id, size_t length);

    std::vector<uint8_t> buf_;
    size_t fields_ = 0;
};
