// Reads back what an uploader sent to the raw fake server: the command
// packets of one connection and the file they carry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/cmd_packet_reader.h"

namespace report_test {

struct ParsedUpload {
    bool ok = false;
    std::uint64_t client_id = 0;
    std::string file_name;
    std::uint32_t parts = 0;
    std::string contents;
};

// Checks every packet (command 90, version 258, parts in order, same count
// and name throughout) and joins the parts.
inline ParsedUpload parse_upload(const std::string& bytes)
{
    ParsedUpload out;
    CmdPacketFramer framer;
    std::size_t fed = 0;
    std::uint32_t index = 0;
    while (fed < bytes.size() || framer.buffered() > 0) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - fed, 4096);
        if (chunk > 0 && !framer.feed(bytes.data() + fed, chunk))
            return out;
        fed += chunk;
        const std::uint8_t* packet = nullptr;
        std::size_t length = 0;
        for (;;) {
            const CmdPacketFramer::Result r = framer.next(packet, length);
            if (r == CmdPacketFramer::kFramingError)
                return out;
            if (r == CmdPacketFramer::kNeedMore)
                break;
            CCmdPacketReader reader(packet, length);
            std::uint32_t part = 0, parts = 0;
            std::uint64_t client = 0;
            std::string name;
            if (!reader.ok() || reader.command() != 90 || !reader.get_u64(0, client) || !reader.get_string(1, name) ||
                !reader.get_u32(2, part) || !reader.get_u32(3, parts) || part != index)
                return out;
            if (index > 0 && (parts != out.parts || name != out.file_name || client != out.client_id))
                return out;
            out.client_id = client;
            out.file_name = name;
            out.parts = parts;
            const std::uint8_t* data = nullptr;
            std::uint32_t data_length = 0;
            if (reader.get_bytes(4, data, data_length))
                out.contents.append(reinterpret_cast<const char*>(data), data_length);
            ++index;
        }
        if (chunk == 0)
            break;
    }
    out.ok = index > 0 && index == out.parts;
    return out;
}

}   // namespace report_test
