#pragma once
// CCmdPacketReader checks a received command packet and reads its fields;
// CmdPacketFramer cuts a byte stream into packets.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/cmd_packet.h"

// Results of CCmdPacketReader::check, tested in the order
// 0, 3, 2, 1, 6, 4; 5 when none applies.
enum CmdPacketStatus : int {
    kPacketNoBuffer = 0,     // null buffer
    kPacketBadFlag = 1,      // flag byte is not 0
    kPacketBadLength = 2,    // L + 4 is not the buffer length
    kPacketTooShort = 3,     // fewer than 12 bytes
    kPacketBadField = 4,     // a field header or its data runs past the end
    kPacketOk = 5,           // well formed
    kPacketBadVersion = 6,   // version is not the expected one
};

// One field of a received packet; `data` points into the packet buffer.
struct CmdField {
    uint16_t id = 0;
    uint32_t length = 0;
    const uint8_t* data = nullptr;
};

class CCmdPacketReader {
public:
    // `packet` is the whole packet (length prefix included) and must outlive
    // the reader. The check runs here; nothing is read before it.
    CCmdPacketReader(const void* packet, size_t length, uint32_t expected_version = cmd_packet::kDefaultVersion);

    // The packet check status (a CmdPacketStatus).
    int check() const { return status_; }
    bool ok() const { return status_ == kPacketOk; }

    // Header values; 0 unless the packet has at least its 12 header bytes.
    uint16_t command() const;
    uint32_t version() const;
    uint8_t flag() const;
    // The count byte as sent (never trusted for the walk).
    uint8_t field_count() const;
    // Fields actually present; 0 unless ok().
    size_t fields_present() const { return fields_; }

    // Walks the fields in order: next() yields each in turn, false at the end
    // (or at once when the packet is not ok()); rewind() starts over.
    bool next(CmdField& out);
    void rewind() { cursor_ = cmd_packet::kHeaderSize; }

    // Finds a field by id: the last copy (the one a receiver takes) or the first.
    bool find(uint16_t id, CmdField& out) const;
    bool find_first(uint16_t id, CmdField& out) const;

    // Typed reads of the last copy of a field; true only when the field
    // exists and its length is exactly the width.
    bool get_u8(uint16_t id, uint8_t& out) const;
    bool get_u16(uint16_t id, uint16_t& out) const;
    bool get_u32(uint16_t id, uint32_t& out) const;
    bool get_u64(uint16_t id, uint64_t& out) const;
    // Any length: pointer into the packet and its length.
    bool get_bytes(uint16_t id, const uint8_t*& data, uint32_t& length) const;
    // The field's bytes as text, cut at the first NUL.
    bool get_string(uint16_t id, std::string& out) const;

private:
    bool field_at(size_t offset, CmdField& out, size_t& next_offset) const;

    const uint8_t* p_;
    size_t len_;
    int status_;
    size_t fields_ = 0;
    size_t cursor_ = cmd_packet::kHeaderSize;
};

// Cuts a received byte stream into packets of 1 <= L <= 65536 (L read as
// signed 32-bit). Data is fed in any chunk sizes.
class CmdPacketFramer {
public:
    enum Result { kNeedMore, kPacket, kFramingError };

    // Unread data the framer holds at most: a few full packets.
    static constexpr size_t kMaxBuffered = 4 * (cmd_packet::kLengthSize + cmd_packet::kMaxFramedBody);

    // Appends received bytes; false (nothing kept) when that would pass
    // kMaxBuffered; take packets out with next() first.
    bool feed(const void* data, size_t length);

    // The next complete packet (4 + L bytes, valid until the next feed or
    // next call), kNeedMore, or kFramingError once a bad length was seen
    // (sticky; bad_length() tells it).
    Result next(const uint8_t*& packet, size_t& length);

    int32_t bad_length() const { return bad_length_; }
    size_t buffered() const { return buf_.size() - read_; }
    void reset();

private:
    std::vector<uint8_t> buf_;
    size_t read_ = 0;
    bool failed_ = false;
    int32_t bad_length_ = 0;
};
