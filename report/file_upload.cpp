#include "report/file_upload.h"

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "foundation/tlv_packet.h"
#include <cstdio>

#include "platform/error_codes.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "foundation/bounded_socket.h"
#include "report/server_address.h"

namespace {
constexpr std::uint32_t connect_ms = 5000;
constexpr std::uint32_t send_ms = 5000;
constexpr std::uint32_t receipt_ms = 5000;
// The receipt is one small packet; anything longer is not a receipt.
constexpr std::size_t reply_cap = 1024;
}   // namespace

bool UploadLogFile(const std::string& host, std::uint16_t port, const std::string& file_name,
                   const std::string& contents, std::uint64_t client_id, const std::atomic<bool>* stop)
{
    const std::uint32_t ipv4 = ResolveServerHost(host);
    if (ipv4 == 0 || port == 0)
        return false;
    CBoundedSocket socket;
    if (socket.Connect(ipv4, port, connect_ms, stop) != 0)
        return false;

    const std::uint32_t parts =
        contents.empty() ? 1u
                         : static_cast<std::uint32_t>((contents.size() + kLogUploadPartSize - 1) / kLogUploadPartSize);
    std::uint8_t id_bytes[8];
    cmd_packet::store_u64(id_bytes, client_id);
    std::uint8_t count_bytes[4];
    cmd_packet::store_u32(count_bytes, parts);
    for (std::uint32_t part = 0; part < parts; ++part) {
        std::uint8_t index_bytes[4];
        cmd_packet::store_u32(index_bytes, part);
        CTlvPacket packet(kLogUploadCommand, cmd_packet::kDefaultVersion, 0);
        packet.AddItem(0, sizeof id_bytes, id_bytes);
        packet.AddItem(1, static_cast<std::uint32_t>(file_name.size()), file_name.data());
        packet.AddItem(2, sizeof index_bytes, index_bytes);
        packet.AddItem(3, sizeof count_bytes, count_bytes);
        if (!contents.empty()) {
            const std::size_t offset = static_cast<std::size_t>(part) * kLogUploadPartSize;
            const std::size_t left = contents.size() - offset;
            const std::uint32_t length = static_cast<std::uint32_t>(left < kLogUploadPartSize ? left
                                                                                              : kLogUploadPartSize);
            packet.AddItem(4, length, contents.data() + offset);
        }
        std::uint32_t total = 0;
        const std::uint8_t* bytes = packet.Build(total);
        if (!bytes || socket.SendAll(bytes, total, send_ms, stop) != 0)
            return false;
    }
    socket.ShutdownSend();
    std::string reply;
    if (socket.ReceiveUntilClose(reply, reply_cap, receipt_ms, stop) != 0)
        return false;
    // A server may close to refuse the file: only its receipt counts.
    CCmdPacketReader receipt(reply.data(), reply.size());
    std::uint32_t result = 1;
    return receipt.ok() && receipt.command() == kLogUploadCommand && receipt.get_u32(kLogUploadResultField, result) &&
           result == kLogUploadTaken;
}

bool AppendToCappedFile(const std::string& path, const std::string& text, std::size_t max_bytes)
{
    const std::int64_t size = platform::file_size(path);
    if (size > 0 && static_cast<std::uint64_t>(size) + text.size() > max_bytes)
        return false;
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) {
        platform::create_folder(platform::parent_folder(path));
        f = std::fopen(path.c_str(), "ab");
    }
    if (!f)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

void RemoveUploadedPrefix(const std::string& path, const std::string& uploaded)
{
    std::string now;
    platform::read_file(path, now);
    if (now.size() >= uploaded.size() && now.compare(0, uploaded.size(), uploaded) == 0)
        now.erase(0, uploaded.size());
    if (now.empty())
        platform::delete_file(path);
    else
        platform::write_file_atomically(path, now);
}
