#include "engine/bitmap_file.h"

#include "platform/paths.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

namespace {

void put_u32(std::string& out, std::uint32_t v)
{
    const char b[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char((v >> 24) & 0xff)};
    out.append(b, 4);
}

// Reads a little-endian u32 at `pos`; false when fewer than 4 bytes remain.
bool get_u32(const std::uint8_t* p, std::size_t size, std::size_t& pos, std::uint32_t& v)
{
    if (size - pos < 4)
        return false;
    v = std::uint32_t(p[pos]) | (std::uint32_t(p[pos + 1]) << 8) | (std::uint32_t(p[pos + 2]) << 16) |
        (std::uint32_t(p[pos + 3]) << 24);
    pos += 4;
    return true;
}

// Saves of one path never overlap: each path hashes to one of these locks.
std::mutex& save_lock(const std::string& path)
{
    static std::array<std::mutex, 16> locks;
    return locks[std::hash<std::string>()(path) % locks.size()];
}

std::atomic<void (*)(const std::string&)> g_save_hook{nullptr};

}   // namespace

void SetBitmapSaveHook(void (*hook)(const std::string& path))
{
    g_save_hook.store(hook);
}

std::string EncodeBitmapRecord(const std::vector<std::uint8_t>& bitmap,
                               const std::vector<std::vector<std::uint8_t>>& tables)
{
    std::size_t size = 4 + bitmap.size();
    for (const auto& t : tables)
        size += 4 + t.size();
    std::string out;
    out.reserve(size);
    put_u32(out, std::uint32_t(bitmap.size()));
    out.append(reinterpret_cast<const char*>(bitmap.data()), bitmap.size());
    for (const auto& t : tables) {
        put_u32(out, std::uint32_t(t.size()));
        out.append(reinterpret_cast<const char*>(t.data()), t.size());
    }
    return out;
}

int DecodeBitmapRecord(const void* data, std::size_t size, std::vector<std::uint8_t>& bitmap,
                       std::vector<std::vector<std::uint8_t>>& tables)
{
    bitmap.clear();
    tables.clear();
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t pos = 0;
    std::uint32_t n = 0;
    if (!p || !get_u32(p, size, pos, n))
        n = 0;   // an unreadable length counts as 0
    if (n > size - pos)
        return kBitmapBadLength;
    bitmap.assign(p + pos, p + pos + n);
    pos += n;
    // Only the records present are kept: a short file gives fewer tables
    // than pieces, and no length in the file sizes an allocation beyond the
    // data that backs it.
    tables.reserve(std::min<std::size_t>(n, (size - pos) / 4));
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t m = 0;
        if (!get_u32(p, size, pos, m))
            break;
        if (m > size - pos) {
            bitmap.clear();
            tables.clear();
            return kBitmapBadRecord;
        }
        tables.emplace_back(p + pos, p + pos + m);
        pos += m;
    }
    return kBitmapOk;
}

int ReadBitmapFile(const std::string& path, std::vector<std::uint8_t>& bitmap,
                   std::vector<std::vector<std::uint8_t>>& tables)
{
    bitmap.clear();
    tables.clear();
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(save_lock(path));
        if (!platform::read_file(path, bytes, kMaxBitmapFileSize))
            return kBitmapCannotOpen;
    }
    return DecodeBitmapRecord(bytes.data(), bytes.size(), bitmap, tables);
}

bool WriteBitmapFile(const std::string& path, const std::vector<std::uint8_t>& bitmap,
                     const std::vector<std::vector<std::uint8_t>>& tables)
{
    if (auto hook = g_save_hook.load())
        hook(path);
    const std::string bytes = EncodeBitmapRecord(bitmap, tables);
    std::lock_guard<std::mutex> lock(save_lock(path));
    return platform::write_file_atomically(path, bytes);
}
