// Builds a task from a compact description for the storage-side engine
// tests: a list of file sizes and a piece size give deterministic file
// contents, the "filelist" markup with every piece's digest, and the whole
// seed document.
#pragma once

#include "foundation/md5.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace test_support {

struct FixtureFile {
    std::string name;
    std::string content;
};

class ChannelFixture {
public:
    ChannelFixture(std::vector<std::uint64_t> sizes, std::uint32_t piece_size, std::uint32_t seed = 1)
        : m_piece_size(piece_size)
    {
        std::uint32_t x = seed * 2654435761u + 12345u;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            FixtureFile f;
            f.name = "dir\\file" + std::to_string(i) + ".bin";
            f.content.resize(sizes[i]);
            for (char& c : f.content) {
                x = x * 1103515245u + 12345u;
                c = char(x >> 16);
            }
            m_files.push_back(std::move(f));
        }
    }

    std::uint32_t piece_size() const { return m_piece_size; }
    const std::vector<FixtureFile>& files() const { return m_files; }
    std::vector<FixtureFile>& files() { return m_files; }

    // Pieces over all files, each file starting a new piece.
    std::uint32_t piece_count() const
    {
        std::uint32_t n = 0;
        for (const auto& f : m_files)
            n += std::uint32_t((f.content.size() + m_piece_size - 1) / m_piece_size);
        return n;
    }

    // (file, offset in file, length) of piece p.
    void locate(std::uint32_t p, std::size_t& file, std::size_t& offset, std::size_t& length) const
    {
        for (file = 0; file < m_files.size(); ++file) {
            const std::size_t size = m_files[file].content.size();
            const std::size_t count = (size + m_piece_size - 1) / m_piece_size;
            if (p < count) {
                offset = std::size_t(p) * m_piece_size;
                length = std::min<std::size_t>(m_piece_size, size - offset);
                return;
            }
            p -= std::uint32_t(count);
        }
        offset = length = 0;
    }

    std::string piece_bytes(std::uint32_t p) const
    {
        std::size_t f = 0, off = 0, len = 0;
        locate(p, f, off, len);
        return m_files[f].content.substr(off, len);
    }

    std::uint32_t piece_length(std::uint32_t p) const
    {
        std::size_t f = 0, off = 0, len = 0;
        locate(p, f, off, len);
        return std::uint32_t(len);
    }

    // Digests of every piece of file i, 32 upper-case digits each.
    std::string block_md5(std::size_t i) const
    {
        std::string out;
        const std::string& c = m_files[i].content;
        for (std::size_t off = 0; off < c.size(); off += m_piece_size)
            out += md5_hex(c.data() + off, std::min<std::size_t>(m_piece_size, c.size() - off), true);
        return out;
    }

    std::string file_entry(std::size_t i) const
    {
        const std::string md5s = block_md5(i);
        return "<file><fileindex>" + std::to_string(i) + "</fileindex><filemd5>" +
               md5_hex(m_files[i].content.data(), m_files[i].content.size(), true) + "</filemd5><filename>" +
               m_files[i].name + "</filename><filesize>" + std::to_string(m_files[i].content.size()) +
               "</filesize><fileblock_md5len>" + std::to_string(md5s.size()) + "</fileblock_md5len><fileblock_md5>" +
               md5s + "</fileblock_md5></file>";
    }

    std::string file_list() const
    {
        std::string out = "<filelist>";
        for (std::size_t i = 0; i < m_files.size(); ++i)
            out += file_entry(i);
        return out + "</filelist>";
    }

    std::string seed(std::uint64_t task_id, const std::string& srcdir = "game") const
    {
        return "<?xml version=\"1.0\"?>\n<task gameid=\"7\"><taskid>" + std::to_string(task_id) +
               "</taskid><blocksize>" + std::to_string(m_piece_size) + "</blocksize><srcdir>" + srcdir +
               "</srcdir><filecount>" + std::to_string(m_files.size()) + "</filecount>" + file_list() + "\n</task>\n";
    }

private:
    std::uint32_t m_piece_size;
    std::vector<FixtureFile> m_files;
};

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

}   // namespace test_support
