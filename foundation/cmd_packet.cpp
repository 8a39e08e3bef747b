#include "foundation/cmd_packet.h"

#include <cstring>
#include <limits>

using namespace cmd_packet;

CCmdPacket::CCmdPacket(uint16_t command, uint32_t version, uint8_t flag) : buf_(kHeaderSize, 0)
{
    store_u32(buf_.data(), kEmptyBodySize);
    buf_[kFlagOffset] = flag;
    store_u16(buf_.data() + kCommandOffset, command);
    store_u32(buf_.data() + kVersionOffset, version);
}

void CCmdPacket::set_flag(uint8_t flag)
{
    buf_[kFlagOffset] = flag;
}
void CCmdPacket::set_command(uint16_t command)
{
    store_u16(buf_.data() + kCommandOffset, command);
}
void CCmdPacket::set_version(uint32_t version)
{
    store_u32(buf_.data() + kVersionOffset, version);
}
uint16_t CCmdPacket::command() const
{
    return load_u16(buf_.data() + kCommandOffset);
}
uint32_t CCmdPacket::version() const
{
    return load_u32(buf_.data() + kVersionOffset);
}
uint8_t CCmdPacket::flag() const
{
    return buf_[kFlagOffset];
}

// Appends a field header for `length` data bytes and returns where the data
// goes, or null when the field does not fit the format.
uint8_t* CCmdPacket::begin_field(uint16_t id, size_t length)
{
    if (fields_ >= kMaxFields)
        return nullptr;
    const size_t old_size = buf_.size();
    const uint64_t limit = std::numeric_limits<uint32_t>::max();
    if (length > limit || old_size - kLengthSize + kFieldHeaderSize + length > limit)
        return nullptr;
    buf_.resize(old_size + kFieldHeaderSize + length);
    uint8_t* p = buf_.data() + old_size;
    store_u16(p, id);
    store_u32(p + 2, static_cast<uint32_t>(length));
    ++fields_;
    store_u32(buf_.data(), static_cast<uint32_t>(buf_.size() - kLengthSize));
    buf_[kCountOffset] = static_cast<uint8_t>(fields_);
    return p + kFieldHeaderSize;
}

bool CCmdPacket::add_u8(uint16_t id, uint8_t value)
{
    uint8_t* p = begin_field(id, 1);
    if (p)
        *p = value;
    return p != nullptr;
}

bool CCmdPacket::add_u16(uint16_t id, uint16_t value)
{
    uint8_t* p = begin_field(id, 2);
    if (p)
        store_u16(p, value);
    return p != nullptr;
}

bool CCmdPacket::add_u32(uint16_t id, uint32_t value)
{
    uint8_t* p = begin_field(id, 4);
    if (p)
        store_u32(p, value);
    return p != nullptr;
}

bool CCmdPacket::add_u64(uint16_t id, uint64_t value)
{
    uint8_t* p = begin_field(id, 8);
    if (p)
        store_u64(p, value);
    return p != nullptr;
}

bool CCmdPacket::add_bytes(uint16_t id, const void* data, size_t length)
{
    if (data == nullptr && length != 0)
        return false;
    uint8_t* p = begin_field(id, length);
    if (p && length > 0)
        std::memcpy(p, data, length);
    return p != nullptr;
}

bool CCmdPacket::add_string(uint16_t id, const std::string& text, bool with_nul)
{
    return add_bytes(id, text.c_str(), text.size() + (with_nul ? 1 : 0));
}
