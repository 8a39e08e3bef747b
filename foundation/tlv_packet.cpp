#include "foundation/tlv_packet.h"

#include <cstring>
#include <limits>
#include <new>

using namespace cmd_packet;

CTlvPacket::CTlvPacket(uint16_t command, uint32_t version, int copy_mode)
    : command_(command), version_(version), copy_(copy_mode != 0)
{
}

CTlvPacket::~CTlvPacket() = default;

bool CTlvPacket::AddItem(uint16_t id, uint32_t length, const void* data)
{
    if (data == nullptr)
        return false;
    if (items_.size() >= kMaxFields)
        return false;
    const uint64_t grown = uint64_t{body_length_} + kFieldHeaderSize + length;
    // The total (body + 4) must still fit the u32 that Build reports.
    if (grown + kLengthSize > std::numeric_limits<uint32_t>::max())
        return false;
    Item item;
    item.id = id;
    item.length = length;
    if (copy_) {
        const auto* src = static_cast<const uint8_t*>(data);
        item.copy.assign(src, src + length);
        item.data = nullptr;   // set from `copy` at Build: the vector may move
    } else {
        item.data = static_cast<const uint8_t*>(data);
    }
    items_.push_back(std::move(item));
    body_length_ = static_cast<uint32_t>(grown);
    return true;
}

const uint8_t* CTlvPacket::Build(uint32_t& total)
{
    total = 0;
    try {
        built_.assign(size_t{body_length_} + kLengthSize, 0);
    } catch (const std::bad_alloc&) {
        built_.clear();
        return nullptr;
    }
    uint8_t* p = built_.data();
    store_u32(p, body_length_);
    p[kFlagOffset] = 0;
    store_u16(p + kCommandOffset, command_);
    store_u32(p + kVersionOffset, version_);
    p[kCountOffset] = static_cast<uint8_t>(items_.size());
    p += kHeaderSize;
    for (const Item& item : items_) {
        store_u16(p, item.id);
        store_u32(p + 2, item.length);
        p += kFieldHeaderSize;
        const uint8_t* src = copy_ ? item.copy.data() : item.data;
        if (item.length > 0)
            std::memcpy(p, src, item.length);
        p += item.length;
    }
    total = body_length_ + static_cast<uint32_t>(kLengthSize);
    return built_.data();
}
