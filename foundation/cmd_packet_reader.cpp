#include "foundation/cmd_packet_reader.h"

#include <cstring>

using namespace cmd_packet;

CCmdPacketReader::CCmdPacketReader(const void* packet, size_t length, uint32_t expected_version)
    : p_(static_cast<const uint8_t*>(packet)), len_(packet ? length : 0)
{
    if (p_ == nullptr) {
        status_ = kPacketNoBuffer;
    } else if (len_ < kHeaderSize) {
        status_ = kPacketTooShort;
    } else if (uint64_t{load_u32(p_)} + kLengthSize != len_) {
        status_ = kPacketBadLength;
    } else if (p_[kFlagOffset] != 0) {
        status_ = kPacketBadFlag;
    } else if (load_u32(p_ + kVersionOffset) != expected_version) {
        status_ = kPacketBadVersion;
    } else {
        status_ = kPacketOk;
        size_t offset = kHeaderSize;
        CmdField field;
        while (offset < len_) {
            if (!field_at(offset, field, offset)) {
                status_ = kPacketBadField;
                fields_ = 0;
                break;
            }
            ++fields_;
        }
    }
}

// Reads the field at `offset`; false when its header or data runs past the
// end of the packet.
bool CCmdPacketReader::field_at(size_t offset, CmdField& out, size_t& next_offset) const
{
    if (offset > len_ || len_ - offset < kFieldHeaderSize)
        return false;
    const uint32_t length = load_u32(p_ + offset + 2);
    if (len_ - offset - kFieldHeaderSize < length)
        return false;
    out.id = load_u16(p_ + offset);
    out.length = length;
    out.data = p_ + offset + kFieldHeaderSize;
    next_offset = offset + kFieldHeaderSize + length;
    return true;
}

uint16_t CCmdPacketReader::command() const
{
    return len_ >= kHeaderSize ? load_u16(p_ + kCommandOffset) : 0;
}
uint32_t CCmdPacketReader::version() const
{
    return len_ >= kHeaderSize ? load_u32(p_ + kVersionOffset) : 0;
}
uint8_t CCmdPacketReader::flag() const
{
    return len_ >= kHeaderSize ? p_[kFlagOffset] : 0;
}
uint8_t CCmdPacketReader::field_count() const
{
    return len_ >= kHeaderSize ? p_[kCountOffset] : 0;
}

bool CCmdPacketReader::next(CmdField& out)
{
    if (!ok() || cursor_ >= len_)
        return false;
    return field_at(cursor_, out, cursor_);
}

bool CCmdPacketReader::find(uint16_t id, CmdField& out) const
{
    if (!ok())
        return false;
    bool found = false;
    CmdField field;
    for (size_t offset = kHeaderSize; offset < len_ && field_at(offset, field, offset);) {
        if (field.id == id) {
            out = field;
            found = true;
        }
    }
    return found;
}

bool CCmdPacketReader::find_first(uint16_t id, CmdField& out) const
{
    if (!ok())
        return false;
    CmdField field;
    for (size_t offset = kHeaderSize; offset < len_ && field_at(offset, field, offset);) {
        if (field.id == id) {
            out = field;
            return true;
        }
    }
    return false;
}

namespace {

// Reads the last copy of a field whose length is exactly sizeof(T).
template <typename T>
bool get_exact(const CCmdPacketReader& r, uint16_t id, T& out)
{
    CmdField f;
    if (!r.find(id, f) || f.length != sizeof(T))
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        v |= uint64_t{f.data[i]} << (8 * i);
    out = static_cast<T>(v);
    return true;
}

}   // namespace

bool CCmdPacketReader::get_u8(uint16_t id, uint8_t& out) const
{
    return get_exact(*this, id, out);
}
bool CCmdPacketReader::get_u16(uint16_t id, uint16_t& out) const
{
    return get_exact(*this, id, out);
}
bool CCmdPacketReader::get_u32(uint16_t id, uint32_t& out) const
{
    return get_exact(*this, id, out);
}
bool CCmdPacketReader::get_u64(uint16_t id, uint64_t& out) const
{
    return get_exact(*this, id, out);
}

bool CCmdPacketReader::get_bytes(uint16_t id, const uint8_t*& data, uint32_t& length) const
{
    CmdField f;
    if (!find(id, f))
        return false;
    data = f.data;
    length = f.length;
    return true;
}

bool CCmdPacketReader::get_string(uint16_t id, std::string& out) const
{
    CmdField f;
    if (!find(id, f))
        return false;
    const void* nul = f.length ? std::memchr(f.data, 0, f.length) : nullptr;
    const size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - f.data) : f.length;
    out.assign(reinterpret_cast<const char*>(f.data), n);
    return true;
}

bool CmdPacketFramer::feed(const void* data, size_t length)
{
    if (length == 0)
        return true;
    if (data == nullptr || length > kMaxBuffered - buffered())
        return false;
    if (read_ > 0) {   // drop what was already handed out
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + length);
    return true;
}

CmdPacketFramer::Result CmdPacketFramer::next(const uint8_t*& packet, size_t& length)
{
    packet = nullptr;
    length = 0;
    if (failed_)
        return kFramingError;
    const size_t avail = buffered();
    if (avail < kLengthSize)
        return kNeedMore;
    const auto body = static_cast<int32_t>(load_u32(buf_.data() + read_));
    if (body < 1 || body > kMaxFramedBody) {
        failed_ = true;
        bad_length_ = body;
        return kFramingError;
    }
    const size_t total = kLengthSize + static_cast<size_t>(body);
    if (avail < total)
        return kNeedMore;
    packet = buf_.data() + read_;
    length = total;
    read_ += total;
    return kPacket;
}

void CmdPacketFramer::reset()
{
    buf_.clear();
    read_ = 0;
    failed_ = false;
    bad_length_ = 0;
}
