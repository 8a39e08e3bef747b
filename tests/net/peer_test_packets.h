// Packets of any shape for the peer protocol tests, including shapes the
// protocol's own builders never make.
#pragma once

#include "foundation/tlv_packet.h"
#include "net/conn/peer_wire.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace peer_test {

using bytes = std::vector<std::uint8_t>;

// A whole packet (prefix included) of `command` with the fields as given.
inline bytes Raw(std::uint16_t command, const std::vector<std::pair<std::uint16_t, bytes>>& fields,
                 std::uint32_t version = peer_wire::kVersion)
{
    CTlvPacket packet(command, version, 1);
    static const std::uint8_t kEmpty = 0;
    for (const auto& f : fields)
        packet.AddItem(f.first, std::uint32_t(f.second.size()), f.second.empty() ? &kEmpty : f.second.data());
    std::uint32_t total = 0;
    const std::uint8_t* p = packet.Build(total);
    return bytes(p, p + total);
}

// `v` little-endian in `width` bytes (zeros past the eighth).
inline bytes Le(std::uint64_t v, std::size_t width)
{
    bytes out(width);
    for (std::size_t i = 0; i < width; ++i)
        out[i] = i < 8 ? std::uint8_t(v >> (8 * i)) : 0;
    return out;
}

}   // namespace peer_test
