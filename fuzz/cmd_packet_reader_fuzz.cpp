// Command packets as a peer or server may send them: the reader on the raw
// input, and the framer fed in the chunk size the first byte picks.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "fuzz_check.h"

namespace {

bool inside(const uint8_t* p, size_t n, const uint8_t* q, size_t m)
{
    return q >= p && q <= p + n && m <= static_cast<size_t>(p + n - q);
}

void read_packet(const uint8_t* data, size_t size, uint32_t version)
{
    CCmdPacketReader r(data, size, version);
    const int status = r.check();
    FUZZ_CHECK(status >= kPacketNoBuffer && status <= kPacketBadVersion);
    if (!r.ok()) {
        CmdField f;
        FUZZ_CHECK(!r.next(f));
        return;
    }
    // Walk every field; they tile the packet exactly.
    size_t count = 0;
    size_t covered = cmd_packet::kHeaderSize;
    CmdField f;
    CCmdPacket rebuilt(r.command(), r.version(), r.flag());
    bool rebuildable = true;
    while (r.next(f)) {
        FUZZ_CHECK(inside(data, size, f.data, f.length));
        covered += cmd_packet::kFieldHeaderSize + f.length;
        ++count;
        CmdField last;
        FUZZ_CHECK(r.find(f.id, last));
        rebuildable = rebuildable && rebuilt.add_bytes(f.id, f.data, f.length);
        uint64_t v64;
        uint32_t v32;
        uint16_t v16;
        uint8_t v8;
        FUZZ_CHECK(r.get_u64(f.id, v64) == (last.length == 8));
        FUZZ_CHECK(r.get_u32(f.id, v32) == (last.length == 4));
        FUZZ_CHECK(r.get_u16(f.id, v16) == (last.length == 2));
        FUZZ_CHECK(r.get_u8(f.id, v8) == (last.length == 1));
    }
    FUZZ_CHECK(count == r.fields_present());
    FUZZ_CHECK(covered == size);
    // The builder writes the same bytes back, apart from the count byte that
    // the sender may have set to anything.
    if (rebuildable) {
        const auto& b = rebuilt.bytes();
        FUZZ_CHECK(b.size() == size);
        FUZZ_CHECK(std::memcmp(b.data(), data, cmd_packet::kCountOffset) == 0);
        FUZZ_CHECK(std::memcmp(b.data() + cmd_packet::kHeaderSize, data + cmd_packet::kHeaderSize,
                               size - cmd_packet::kHeaderSize) == 0);
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    read_packet(data, size, cmd_packet::kDefaultVersion);
    read_packet(data, size, cmd_packet::kRisLogonVersion);
    if (size == 0)
        return 0;

    const size_t chunk = 1 + data[0] % 97;
    CmdPacketFramer framer;
    for (size_t off = 1; off < size; off += chunk) {
        const size_t n = size - off < chunk ? size - off : chunk;
        FUZZ_CHECK(framer.feed(data + off, n));
        const uint8_t* packet = nullptr;
        size_t length = 0;
        CmdPacketFramer::Result res;
        while ((res = framer.next(packet, length)) == CmdPacketFramer::kPacket) {
            FUZZ_CHECK(length >= 5 && length <= 4 + static_cast<size_t>(cmd_packet::kMaxFramedBody));
            read_packet(packet, length, cmd_packet::kDefaultVersion);
        }
        if (res == CmdPacketFramer::kFramingError)
            break;
    }
    return 0;
}
