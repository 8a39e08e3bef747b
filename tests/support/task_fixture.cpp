// Included from beside this file and free of the test framework: the HTTP
// download benchmark compiles this file into itself.
#include "task_fixture.h"

#include "foundation/md5.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace test_support {

namespace {

constexpr std::size_t kChunk = 1u << 20;

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Bytes of a file at any offset: word n of file `key` is mix(key ^ n).
void generate(std::uint64_t key, std::uint64_t offset, std::uint8_t* out, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t position = offset + done;
        const std::uint64_t word = mix(key ^ (position / 8));
        std::uint8_t bytes[8];
        std::memcpy(bytes, &word, 8);
        const std::size_t at = std::size_t(position % 8);
        const std::size_t n = std::min<std::size_t>(8 - at, length - done);
        std::memcpy(out + done, bytes + at, n);
        done += n;
    }
}

std::uint64_t file_key(std::uint32_t seed, std::size_t index)
{
    return mix((std::uint64_t(seed) << 32) ^ (index * 0x100000001B3ull)) << 16;
}

}   // namespace

namespace {

TaskFixture::Tree numbered(const std::vector<std::uint64_t>& sizes)
{
    TaskFixture::Tree tree;
    for (std::size_t i = 0; i < sizes.size(); ++i)
        tree.files.emplace_back("file" + std::to_string(i) + ".bin", sizes[i]);
    return tree;
}

}   // namespace

TaskFixture::TaskFixture(const std::string& folder, std::uint64_t task_id, std::uint32_t piece_size,
                         const std::vector<std::uint64_t>& sizes, const std::string& srcdir, std::uint32_t seed)
    : TaskFixture(folder, task_id, piece_size, numbered(sizes), srcdir, seed)
{
}

TaskFixture::TaskFixture(const std::string& folder, std::uint64_t task_id, std::uint32_t piece_size, const Tree& tree,
                         const std::string& srcdir, std::uint32_t seed)
    : m_task_id(task_id), m_piece_size(piece_size), m_srcdir(srcdir), m_seed(seed)
{
    const std::string dir = folder + "/" + srcdir + "/data";
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::vector<std::uint8_t> chunk(kChunk);
    const auto& named = tree.files;
    for (std::size_t i = 0; i < named.size(); ++i) {
        TaskFixtureFile f;
        f.file_name = named[i].first;
        f.seed_name = "data\\" + f.file_name;
        std::replace(f.seed_name.begin(), f.seed_name.end(), '/', '\\');
        f.path = dir + "/" + f.file_name;
        fs::create_directories(fs::path(f.path).parent_path(), ec);
        f.url_path = "/" + srcdir + "/data/" + f.file_name;
        f.size = named[i].second;
        std::ofstream out(f.path, std::ios::binary | std::ios::trunc);
        Md5Context whole;
        Md5Context piece;
        std::uint64_t in_piece = 0;
        const std::uint64_t key = file_key(m_seed, i);
        for (std::uint64_t offset = 0; offset < f.size;) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunk, f.size - offset));
            generate(key, offset, chunk.data(), n);
            out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n));
            whole.update(chunk.data(), n);
            // Digest piece by piece across chunk boundaries.
            std::size_t used = 0;
            while (used < n) {
                const std::size_t take = std::size_t(std::min<std::uint64_t>(piece_size - in_piece, n - used));
                piece.update(chunk.data() + used, take);
                used += take;
                in_piece += take;
                if (in_piece == piece_size || offset + used == f.size) {
                    unsigned char digest[16];
                    piece.final(digest);
                    f.block_md5 += md5_to_hex(digest, true);
                    in_piece = 0;
                }
            }
            offset += n;
        }
        unsigned char digest[16];
        whole.final(digest);
        f.md5 = md5_to_hex(digest, true);
        out.close();
        if (!out)
            m_ok = false;
        m_files.push_back(std::move(f));
    }
}

std::uint64_t TaskFixture::total_size() const
{
    std::uint64_t total = 0;
    for (const auto& f : m_files)
        total += f.size;
    return total;
}

std::uint32_t TaskFixture::piece_count() const
{
    std::uint64_t n = 0;
    for (const auto& f : m_files)
        n += (f.size + m_piece_size - 1) / m_piece_size;
    return std::uint32_t(n);
}

std::string TaskFixture::SeedXml() const
{
    std::string files;
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        const TaskFixtureFile& f = m_files[i];
        files += "<file><fileindex>" + std::to_string(i) + "</fileindex><filemd5>" + f.md5 + "</filemd5><filename>" +
                 f.seed_name + "</filename><filesize>" + std::to_string(f.size) + "</filesize><fileblock_md5len>" +
                 std::to_string(f.block_md5.size()) + "</fileblock_md5len><fileblock_md5>" + f.block_md5 +
                 "</fileblock_md5></file>\n";
    }
    return "<?xml version=\"1.0\"?>\n<task gameid=\"7\"><taskid>" + std::to_string(m_task_id) + "</taskid><blocksize>" +
           std::to_string(m_piece_size) + "</blocksize><srcdir>" + m_srcdir + "</srcdir><filecount>" +
           std::to_string(m_files.size()) + "</filecount><filelist>\n" + files + "</filelist>\n</task>\n";
}

std::string TaskFixture::CdnAnswer(const std::string& base_url) const
{
    std::string text;
    for (const auto& f : m_files)
        text += base_url + f.url_path + "\r\n";
    return text;
}

std::string TaskFixture::Bytes(std::size_t i, std::uint64_t offset, std::uint64_t length) const
{
    if (i >= m_files.size() || offset >= m_files[i].size)
        return std::string();
    length = std::min(length, m_files[i].size - offset);
    std::string out(std::size_t(length), '\0');
    generate(file_key(m_seed, i), offset, reinterpret_cast<std::uint8_t*>(&out[0]), out.size());
    return out;
}

std::string TaskFixture::FileMd5(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    Md5Context md5;
    std::vector<char> chunk(kChunk);
    while (in) {
        in.read(chunk.data(), std::streamsize(chunk.size()));
        const std::streamsize n = in.gcount();
        if (n > 0)
            md5.update(chunk.data(), std::size_t(n));
    }
    unsigned char digest[16];
    md5.final(digest);
    return md5_to_hex(digest, true);
}

}   // namespace test_support
