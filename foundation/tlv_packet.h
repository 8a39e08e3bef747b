#pragma once
// CTlvPacket: builds one command packet (flag 0) from a list of items.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/cmd_packet.h"

class CTlvPacket {
public:
    // Copy mode 0: an item keeps only a pointer to the caller's data, which
    // must stay valid until Build. Copy mode 1: the data is copied.
    CTlvPacket(uint16_t command, uint32_t version, int copy_mode);
    ~CTlvPacket();
    CTlvPacket(const CTlvPacket&) = delete;
    CTlvPacket& operator=(const CTlvPacket&) = delete;

    // Appends an item; false for null data, for a 256th item (the count is one
    // byte) and for a body that would outgrow the u32 length. A zero-length
    // item with non-null data is allowed.
    bool AddItem(uint16_t id, uint32_t length, const void* data);

    // Serialises the packet into a buffer owned by the builder (valid until
    // the next Build or the destructor) and sets `total` to its size, body
    // length + 4. Null only when the buffer cannot be allocated.
    const uint8_t* Build(uint32_t& total);

    // Body length so far: 8 plus 6 + length for each item.
    uint32_t BodyLength() const { return body_length_; }
    size_t ItemCount() const { return items_.size(); }

private:
    struct Item {
        uint16_t id;
        uint32_t length;
        const uint8_t* data;   // the caller's data or `copy`'s
        std::vector<uint8_t> copy;
    };

    uint16_t command_;
    uint32_t version_;
    bool copy_;
    uint32_t body_length_ = cmd_packet::kEmptyBodySize;
    std::vector<Item> items_;
    std::vector<uint8_t> built_;
};
